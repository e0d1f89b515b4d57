"""The program under test, run and steered like a user, and what it showed."""

import re, subprocess, threading, time  # noqa: E401

import dbus

from bluez_objects import READINGS, WAIT, requests, uuid


class Failure(Exception): pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Session:
    """The program under test, steered like a user through a scenario's steps:
    a command for the window driver ("scan on", "select NAME") or (action,
    arguments...) for a method below; an argument given as {"bluez": ..., "plain": ...}
    is what the program's stack gives. Waits are generators that the bus's
    main loop resumes, so that the fake answers meanwhile."""

    def __init__(self, fake, program, environment, stack):
        self.fake, self.output, self.errors, self.shown, self.stack = fake, [], [], None, stack
        self.app = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=environment)
        for stream, lines in ((self.app.stdout, self.output), (self.app.stderr, self.errors)):
            threading.Thread(target=lambda s=stream, l=lines: [l.append(raw.decode().rstrip("\n")) for raw in s],
                             daemon=True).start()

    def play(self, steps):
        for step in steps:
            action, *arguments = (step,) if isinstance(step, str) else step
            arguments = [argument[self.stack] if isinstance(argument, dict) else argument for argument in arguments]
            if not hasattr(self, action):
                arguments, action = [action], "ask"
            yield from getattr(self, action)(*arguments) or ()

    def until(self, condition, what, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while not condition():
            check(time.monotonic() < deadline, "waited %.0f s for %s" % (timeout, what))
            yield

    def sleep(self, seconds):
        until = time.monotonic() + seconds
        yield from self.until(lambda: time.monotonic() >= until, "time to pass")

    def log(self, pattern, count=1):  # the backend's own lines are on standard error
        lines = self.errors if pattern.startswith("Bluetooth: ") else self.output
        yield from self.until(lambda: sum(bool(re.fullmatch(pattern, line)) for line in list(lines)) >= count,
                              "%d log line(s) %r" % (count, pattern))

    def event(self, event, count=1):
        yield from self.until(lambda: self.fake.events.count(event) >= count, "%d call(s) %r" % (count, event))

    def polled(self, count=1):  # measurement requests that reached the meter, either way
        yield from self.until(lambda: requests(self.fake.events) >= count, "%d measurement request(s)" % count)

    def ask(self, command):
        """Sends the window driver a command; keeps what the window then shows:
        whether Scan is on, the listed names, the temperature and humidity, and the status line."""
        answers = lambda: [line[8:] for line in list(self.errors) if line.startswith("driver: ")]  # noqa: E731
        answered = len(answers())
        self.app.stdin.write((command + "\n").encode())
        self.app.stdin.flush()
        yield from self.until(lambda: answers()[answered:], "the answer to " + command)
        scan, rows, temperature, humidity, battery, status = answers()[answered].split("|", 5)
        self.shown, self.battery_line = (scan == "on", rows.split(";") if rows else [], [temperature, humidity], status), battery

    def shows(self, condition, what):
        for _ in range(int(WAIT / 0.02)):
            yield from self.ask("show")
            if condition(*self.shown):
                return
            yield from self.sleep(0.02)
        raise Failure("waited for " + what)

    def rows(self, *names):
        yield from self.shows(lambda scan, rows, *_: set(names) <= set(rows), "rows %s" % (names,))

    def readings(self):
        yield from self.shows(lambda scan, rows, readings, status: readings == READINGS, "the readings")

    def status(self, pattern):
        yield from self.shows(lambda *shown: re.fullmatch(pattern, shown[3]), "the status %r" % pattern)

    def battery_shown(self, pattern):
        yield from self.shows(lambda *_: re.fullmatch(pattern, self.battery_line), "the battery %r" % pattern)

    def battery(self, percent):  # the meter notifies its new level to subscribers
        self.fake.devices[0].kind["battery"] = percent
        self.gatt(0x2A19).notify_value(bytes([percent]))

    def gatt(self, short):  # the first device's characteristic
        return next(obj for obj in self.fake.devices[0].gatt if obj.props["UUID"] == uuid(short))

    def notify(self, value):  # a notification of FF02 that is no answer to a request
        self.gatt(0xFF02).notify_value(value)

    def close_channel(self):  # bluetoothd closes FF02's acquired socket, as another client's StopNotify makes it
        self.gatt(0xFF02).StopNotify()

    def answering(self, on):  # the meter stops answering measurement requests while its link stays up, or starts again
        self.fake.answering = on

    def quit(self, by_signal=None):  # as the window's user, or by a signal as the terminal or the system does
        self.app.send_signal(by_signal) if by_signal else self.app.stdin.close()
        yield from self.until(lambda: self.app.poll() is not None, "the program to end")
        self.fake.events.append("Program ended")
        check(self.app.returncode == 0, "the program ended with exit code %s" % self.app.returncode)

    def absent(self, text, what):
        check(not any(text.lower() in line.lower() for line in list(self.output) + self.fake.events), what)

    def check(self, condition, what):
        check(condition(self), what)

    def mark(self):  # the time, the number of measurement requests and of log lines so far
        self.marked = time.monotonic(), requests(self.fake.events), len(self.output)

    def resumed(self):  # a frame shown since the mark
        yield from self.until(lambda: "data update value Optional(19 bytes)" in self.output[self.marked[2]:],
                              "a reading after the mark")

    def power(self, on=True):  # off drops the links (the kernel's), then ends every discovery session, as BlueZ does
        self.fake.power_cycles += not on
        if not on:
            for device in self.fake.devices:
                self.fake.drop(device)
            self.fake.others_discover = False
            self.fake.discover(False)
        self.fake.adapter.update({"Powered": on})

    def bluetoothd(self, running, clean=False):  # exits (cleanly: adapters powered off first; otherwise its
        if running:                              # links end without a word), or starts again
            self.fake.bus.request_name("org.bluez")
            return
        if clean:
            yield from self.power(False) or ()
        self.fake.bus.release_name("org.bluez")
        self.fake.sessions.clear()
        self.fake.filters.clear()
        for device in self.fake.devices:
            self.fake.drop(device)

    def services_change(self):  # the meter's FFF0 goes (Service Changed); a new connection finds it again
        device = self.fake.devices[0]
        for obj in [obj for obj in reversed(device.gatt) if "/service01" in obj.path]:
            device.gatt.remove(obj)
            del self.fake.objects[obj.path]
            obj.remove_from_connection()
            self.fake.InterfacesRemoved(obj.path, [obj.interface])
        device.update({"UUIDs": dbus.Array([uuid(0x180A)], "s")})

    def unplug(self):  # the adapter is pulled out: BlueZ removes its devices, their links and objects, then the adapter
        for device in [device for device in self.fake.devices if device.path in self.fake.objects]:
            for obj in reversed(device.gatt + [device]):
                del self.fake.objects[obj.path]
                self.fake.InterfacesRemoved(obj.path, [obj.interface])
            device.gatt = []
            device.props.update(Connected=False, ServicesResolved=False)  # unsaid: the object is gone
        del self.fake.objects[self.fake.adapter.path]
        self.fake.InterfacesRemoved(self.fake.adapter.path, [self.fake.adapter.interface])

    def replug(self):  # the adapter the devices are on is pulled out and plugged in again
        adapter = self.fake.adapter
        del self.fake.objects[adapter.path]
        self.fake.InterfacesRemoved(adapter.path, [adapter.interface])
        yield from self.sleep(0.3)
        self.fake.export(adapter, signal=True)
