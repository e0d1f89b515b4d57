#!/usr/bin/python3
"""The application over Qt Bluetooth against a fake BlueZ: serves one of WORLDS
on a private system bus from this process (what bluetoothd exports: an adapter,
devices advertising while discovery runs, their GATT objects while connected),
runs the window driver on it like a user, and checks the log, the window and
the calls made to BlueZ. STACK says how the program was built: "bluez" with
BlueZ's extras, "plain" on Qt Bluetooth alone, as on macOS and Windows.
Usage: fake_bluez.py DRIVER APP WORLD STACK, or fake_bluez.py --worlds STACK"""

import os, re, signal, subprocess, sys, tempfile, threading, time  # noqa: E401

import dbus, dbus.mainloop.glib, dbus.service  # noqa: E401
from gi.repository import GLib

WAIT, ADVERTISING_MS = 20.0, 200
# The driver gives the link 1 s and its resolution 2 s; on Qt Bluetooth alone one budget covers both.
CONNECT_TIMEOUT = {"bluez": 1.0, "plain": 3.0}
METER, ADDRESS, READINGS = "TH-Meter", "C4:7C:8D:6A:11:01", ["23.5 \u02daC", "45.6 %RH"]
REQUEST = "WriteValue FF01 5e command"
BLUEZ, MANAGER = "org.bluez.", "org.freedesktop.DBus.ObjectManager"
# Powered; discovering for another client (without a filter); refusing to discover (the kernel did).
ADAPTERS = {"on": (True, False, False), "off": (False, False, False), "busy": (True, True, False),
            "refusing": (True, False, True)}
BUS_CONFIG = """<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth><policy
context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
</policy></busconfig>"""


def uuid(short):
    return "0000%04x-0000-1000-8000-00805f9b34fb" % short


def error(name, text):
    return dbus.DBusException(text, name=BLUEZ + "Error." + name)


# GATT tables: services as (UUID, characteristics); characteristics as (UUID, flags, with 0x2902).
METER_GATT = [(0x180A, [(0x2A29, ["read"], False)]),
              (0xFFF0, [(0xFF01, ["write-without-response", "write"], False), (0xFF02, ["notify"], True)])]
BATTERY_GATT = METER_GATT + [(0x180F, [(0x2A19, ["read", "notify"], True)])]  # BlueZ 5.66 leaves it exported
REQUESTS_ONLY_GATT = [(0xFFF0, [(0xFF01, ["write"], False), (0xFF02, ["notify"], True)])]
ECHOING_GATT = [(0x180A, [(0x2A29, ["read", "notify"], True)])] + METER_GATT[1:]
NO_CCCD_GATT = [(0xFFF0, [(0xFF01, ["write-without-response"], False), (0xFF02, ["notify"], False)])]
DEVICES = {
    "meter": {}, "refusing-meter": {"aborts": 99}, "silent-meter": {"connect": "silent"},
    "dropping-meter": {"drop_after_frames": 2}, "meter-without-cccd": {"gatt": NO_CCCD_GATT},
    "refusing-requests-meter": {"refuses_requests": True},  # every read and notification request
    # Refused: bonding failed (a meter that asks for pairing), or the bus's policy forbids this user BlueZ.
    "pairing-meter": {"refusal": (BLUEZ + "Error.AuthenticationFailed", "Authentication Failed")},
    "forbidden-meter": {"address": "C4:7C:8D:6A:11:05", "names": ["TH-Meter 5"], "refusal": (
        "org.freedesktop.DBus.Error.AccessDenied", "Rejected send message")},
    # Advertises without "BR/EDR Not Supported": BlueZ takes it for dual-mode.
    "dual-mode-meter": {"dual_mode": True, "resolve_ms": 400},
    "late-exporting-meter": {"export_ms": 400},  # its services are on the bus 400 ms after they are resolved
    "echoing-meter": {"gatt": ECHOING_GATT},
    "requests-only-meter": {"gatt": REQUESTS_ONLY_GATT},  # FF01 takes write requests only; it drops write commands  # a read of 2A29 changes its value, which notifies too
    "unnamed": {"address": "E8:10:00:00:00:07", "alias": "e8-10-00-00-00-07", "names": [None], "rssi": -70, "gatt": []},
    "late-name": {"address": "E8:10:00:00:00:08", "names": [None, None, "Late Sensor"], "rssi": -75, "gatt": []},
    # Remembered by BlueZ from an earlier session: out of range, or in range again.
    "cached": {"address": "E8:10:00:00:00:09", "cached": "Cached Sensor", "names": [], "gatt": []},
    "remembered": {"address": "E8:10:00:00:00:0A", "cached": "Remembered Sensor", "names": ["Remembered Sensor"],
                   "rssi": -66, "gatt": []},
    # A real adapter: aborted first attempts, slow resolution, removal, a closing link kept up.
    "flaky-slow-meter": {"aborts": 2, "resolve_ms": 1400},
    "forgetful-meter": {"forget_ms": 300},  # removed once not heard for a while, like BlueZ's 30 s
    "slow-closing-meter": {"disconnect_ms": 1000, "resolve_ms": 1000},  # like BlueZ's 2 s
    # Connects, but BlueZ's GATT discovery failed: services resolved, none exported.
    "meter-without-services": {"gatt": [], "disconnect_ms": 300},
    "slowly-closing-meter": {"disconnect_ms": 3000},
    "unresolved-meter": {"address": "C4:7C:8D:6A:11:02", "names": ["TH-Meter 2"], "resolve_ms": 10**6},
    # Links that drop while BlueZ reads the services: every one, or the first one.
    "dropped-while-resolving": {"address": "C4:7C:8D:6A:11:03", "names": ["TH-Meter 3"], "resolve_ms": 10**6,
                                "drop_ms": 200, "drops": 99},
    "dropped-once-while-resolving": {"resolve_ms": 400, "drop_ms": 200, "drops": 1},
    "late-named-meter": {"names": [None, METER]},  # its first report (an advert without the scan response) has no name
    "battery-meter": {"gatt": BATTERY_GATT, "battery": 87},
    "newcomer": {"address": "E8:10:00:00:00:0B", "names": ["Newcomer"], "rssi": -62, "gatt": [], "after_power_cycle": True},
}


class Obj(dbus.service.Object):
    """An exported BlueZ object: an adapter, a device, or a GATT service, characteristic or descriptor."""

    def __init__(self, fake, path, interface, props, **state):
        super().__init__(fake.bus, path)
        self.fake, self.path, self.interface, self.props = fake, path, BLUEZ + interface, props
        self.__dict__.update(state)

    def update(self, changed=None, invalidated=()):
        self.props.update(changed or {})
        for name in invalidated:
            del self.props[name]
        self.PropertiesChanged(self.interface, changed or {}, invalidated)

    @dbus.service.method(dbus.PROPERTIES_IFACE, "ss", "v")
    def Get(self, interface, name):
        return self.props[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, "s", "a{sv}")
    def GetAll(self, interface):
        return self.props

    @dbus.service.signal(dbus.PROPERTIES_IFACE, "sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated): pass

    # Discovery sessions and filters are per client (per connection), as in BlueZ's adapter.c.
    @dbus.service.method(BLUEZ + "Adapter1", sender_keyword="sender")
    def StartDiscovery(self, sender):
        self.fake.events.append("StartDiscovery")
        if not self.props["Powered"]:
            raise error("NotReady", "Resource Not Ready")
        if sender in self.fake.sessions or ADAPTERS[self.state][2]:  # the client has one; the kernel refused
            raise error("Busy", "Operation already in progress")
        self.fake.sessions.add(sender)
        self.fake.discover(True)

    @dbus.service.method(BLUEZ + "Adapter1", sender_keyword="sender")
    def StopDiscovery(self, sender):
        self.fake.events.append("StopDiscovery")
        if sender not in self.fake.sessions:
            raise error("Failed", "No discovery started")
        self.fake.sessions.discard(sender)
        self.fake.discover(self.fake.others_discover)

    @dbus.service.method(BLUEZ + "Adapter1", "a{sv}", sender_keyword="sender")
    def SetDiscoveryFilter(self, filter, sender):
        self.fake.filters[sender] = dict(filter)

    @dbus.service.method(BLUEZ + "Device1", async_callbacks=("reply", "failed"), message_keyword="message")
    def Connect(self, reply, failed, message):
        self.fake.called("Connect " + self.props["Address"], message)
        if self.path not in self.fake.objects:
            failed(dbus.DBusException("Unknown object", name="org.freedesktop.DBus.Error.UnknownObject"))
        elif self.props["Connected"] and "dual_mode" in self.kind and not self.props["ServicesResolved"]:
            failed(error("InProgress", "In Progress"))  # routed to BR/EDR, whose connection is still pending
        elif self.props["Connected"]:
            reply()
        elif "dual_mode" in self.kind:  # BR/EDR paged first, then LE: the link comes, the answer never does
            self.pending = failed
            GLib.timeout_add(200, self.link_up, reply)
        elif "refusal" in self.kind:
            failed(dbus.DBusException(self.kind["refusal"][1], name=self.kind["refusal"][0]))
        elif self.aborts < self.kind.get("aborts", 0):
            self.aborts += 1
            GLib.timeout_add(100, failed, error("Failed", "le-connection-abort-by-local"))
        elif self.kind.get("connect") == "silent":
            self.pending = failed
        else:
            self.link_up(reply)

    def link_up(self, reply):
        self.update({"Connected": True})
        if "dual_mode" not in self.kind:
            reply()  # BlueZ answers once ATT is connected, and reads the services after that
        self.links += 1
        GLib.timeout_add(self.kind.get("resolve_ms", 150), self.fake.resolve_services, self, self.links)
        if self.links <= self.kind.get("drops", 0):
            GLib.timeout_add(self.kind["drop_ms"], self.fake.drop, self)

    @dbus.service.method(BLUEZ + "Device1", async_callbacks=("reply", "failed"), message_keyword="message")
    def Disconnect(self, reply, failed, message):
        self.fake.called("Disconnect " + self.props["Address"], message)
        if self.pending:
            self.pending(error("Failed", "le-connection-abort-by-local"))
        self.pending = None
        self.closing = self.props["Connected"] and self.kind.get("disconnect_ms", 0)  # the link stays up meanwhile
        GLib.timeout_add(self.closing or 0, self.fake.close, self, reply)

    @dbus.service.method(BLUEZ + "GattCharacteristic1", "a{sv}", "ay")
    def ReadValue(self, options):
        if self.device.kind.get("refuses_requests"):
            raise error("NotPermitted", "Read not permitted")
        value = bytes([self.device.kind["battery"]]) if self.uuid == 0x2A19 else b"Fake Instruments"
        self.update({"Value": dbus.ByteArray(value)})  # BlueZ's cache announces it before the answer
        return dbus.ByteArray(value)

    @dbus.service.method(BLUEZ + "GattCharacteristic1", "aya{sv}")
    def WriteValue(self, value, options):
        self.fake.events.append("WriteValue %04X %s %s" % (self.uuid, bytes(value).hex(), options.get("type", "")))
        # BlueZ sends a write command whatever the flags say (gatt-client.c); a device drops one it does not allow.
        dropped = options.get("type") == "command" and "write-without-response" not in self.props["Flags"]
        if self.uuid == 0xFF01 and bytes(value) == b"\x5e" and not dropped:
            self.fake.answer_measurement_request(self.device)

    @dbus.service.method(BLUEZ + "GattCharacteristic1")
    def StartNotify(self):
        self.fake.events.append("StartNotify %04X" % self.uuid)
        if self.device.closing:  # characteristic_start_notify() in gatt-client.c
            raise error("NotConnected", "Not Connected")
        if "Notifying" not in self.props:
            raise error("NotSupported", "Operation is not supported")
        if self.device.kind.get("refuses_requests"):
            raise error("NotPermitted", "Notify not permitted")
        self.update({"Notifying": True})

    @dbus.service.method(BLUEZ + "GattCharacteristic1")
    def StopNotify(self):
        self.update({"Notifying": False})


class Fake(dbus.service.Object):
    """bluetoothd's object manager, its objects, and the calls the application made."""

    def __init__(self, bus, adapters, devices):
        super().__init__(bus, "/")
        self.bus, self.objects, self.events, self.power_cycles, self.auto_starting = bus, {}, [], 0, []
        self.sessions, self.filters = set(), {}  # the clients discovering, and the clients' filters
        self.answering = True  # the meters answer measurement requests
        self.adapters = [self.export(Obj(self, "/org/bluez/hci%d" % number, "Adapter1", {
            "Address": "00:1A:7D:DA:71:%02X" % (0x13 + number), "Name": "fake-hci%d" % number,
            "Alias": "fake-hci%d" % number, "Powered": ADAPTERS[state][0], "Discoverable": False,
            "Discovering": ADAPTERS[state][1]}, state=state)) for number, state in enumerate(adapters.split())
            if state in ADAPTERS]
        # The devices are heard by the first powered adapter.
        self.adapter = next((a for a in self.adapters if a.props["Powered"]), (self.adapters or [None])[0])
        self.others_discover = bool(self.adapter and self.adapter.props["Discovering"])
        hci = self.adapter.path if self.adapter else "/org/bluez/hci0"
        if self.adapter:
            GLib.timeout_add(ADVERTISING_MS, self.advertise)  # devices in range advertise while discovery runs
        self.devices = []
        for kind in ({"address": ADDRESS, "names": [METER], "rssi": -58, "gatt": METER_GATT, **DEVICES[name]}
                     for name in devices):
            address = kind["address"]
            self.devices.append(Obj(self, hci + "/dev_" + address.replace(":", "_"), "Device1", {
                # BlueZ names a device it has no name for by its address.
                "Address": address, "Alias": kind.get("cached", kind.get("alias", address.replace(":", "-"))), "Paired": False,
                "AddressType": "public", "Connected": False, "ServicesResolved": False,
                "Adapter": dbus.ObjectPath(hci), "UUIDs": dbus.Array([uuid(s) for s, _ in kind["gatt"]], "s"),
                "ManufacturerData": dbus.Dictionary({dbus.UInt16(0x004C): dbus.ByteArray(b"\x02\x15\xab")}, "qv"),
                "ServiceData": dbus.Dictionary({uuid(0xFFF0): dbus.ByteArray(b"\x01\x02")}, "sv")},
                kind=kind, adverts=0, frames=0, gatt=[], pending=None, aborts=0, closing=0, links=0))
            if "cached" in kind:
                self.export(self.devices[-1]).props["Name"] = kind["cached"]

    def export(self, obj, signal=False):
        self.objects[obj.path] = obj
        if signal:
            self.InterfacesAdded(obj.path, {obj.interface: obj.props})
        return obj

    def called(self, event, message):  # and whether the call would have started bluetoothd had it not run
        self.events.append(event)
        if message.get_auto_start():
            self.auto_starting.append(event)

    @dbus.service.method(MANAGER, "", "a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {path: {obj.interface: obj.props} for path, obj in sorted(self.objects.items())}

    @dbus.service.signal(MANAGER, "oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces): pass

    @dbus.service.signal(MANAGER, "oas")
    def InterfacesRemoved(self, path, interfaces): pass

    def discover(self, on):
        if not on:
            self.sessions.clear()
        self.adapter.update({"Discovering": on})
        for device in (device for device in self.devices if not on and "RSSI" in device.props):
            device.update(invalidated=["RSSI"])  # BlueZ forgets the strengths it heard
            if "forget_ms" in device.kind:
                GLib.timeout_add(device.kind["forget_ms"], self.forget, device)

    def forget(self, device):  # BlueZ removes a device it no longer hears, unless connected
        if device.path in self.objects and not (device.props["Connected"] or self.adapter.props["Discovering"]):
            del self.objects[device.path]
            self.InterfacesRemoved(device.path, [device.interface])
            self.events.append("Forgot " + device.props["Address"])

    def advertise(self):
        discovering = self.adapter.props["Discovering"]
        for device in (device for device in self.devices if discovering and device.kind["names"]
                       and self.power_cycles >= device.kind.get("after_power_cycle", 0)):
            device.adverts += 1
            name = device.kind["names"][min(device.adverts, len(device.kind["names"])) - 1]
            changed = {"RSSI": dbus.Int16(device.kind["rssi"] - device.adverts % 3)}
            # Without a filtered session BlueZ passes a strength on only when it changed by 8 dB.
            if "RSSI" in device.props and abs(changed["RSSI"] - device.props["RSSI"]) < 8 and not any(
                    self.filters.get(client) for client in self.sessions):
                del changed["RSSI"]
            if name is not None and device.props.get("Name") != name:
                changed.update(Name=name, Alias=name)
            if device.path in self.objects:
                device.update(changed)
            else:
                device.props.update(changed)
                self.export(device, signal=True)
        return True

    def resolve_services(self, device, link):
        if not device.props["Connected"] or device.links != link:
            return
        if "export_ms" in device.kind:  # resolved first, exported later, as BlueZ has done under load
            device.update({"ServicesResolved": True})
            GLib.timeout_add(device.kind["export_ms"], self.export_services, device, link)
        else:
            self.export_services(device, link)
            device.update({"ServicesResolved": True})

    def export_services(self, device, link):
        if not device.props["Connected"] or device.links != link:
            return
        device.update({"UUIDs": dbus.Array([uuid(s) for s, _ in device.kind["gatt"]], "s")})
        for number, (service_uuid, characteristics) in enumerate(device.kind["gatt"]):
            service = self.export(Obj(self, "%s/service%02x" % (device.path, number), "GattService1", {
                "UUID": uuid(service_uuid), "Device": dbus.ObjectPath(device.path), "Primary": True}), True)
            device.gatt.append(service)
            for short, flags, with_cccd in characteristics:
                props = {"UUID": uuid(short), "Service": dbus.ObjectPath(service.path),
                         "Flags": dbus.Array(flags, "s"), "Value": dbus.ByteArray(b"")}
                props.update({"Notifying": False} if "notify" in flags else {})
                path = "%s/char%04x" % (service.path, short)
                device.gatt.append(self.export(Obj(self, path, "GattCharacteristic1", props, uuid=short,
                                                   device=device), True))
                if with_cccd:
                    device.gatt.append(self.export(Obj(self, path + "/desc2902", "GattDescriptor1", {
                        "UUID": uuid(0x2902), "Characteristic": dbus.ObjectPath(path)}), True))

    def close(self, device, reply):
        if device.closing:
            self.events.append("Closed " + device.props["Address"])
        device.closing = 0
        self.drop(device)
        reply()

    def drop(self, device):
        self.answering = True  # a meter that fell silent answers on a new link
        if device.props["Connected"]:
            device.update({"ServicesResolved": False})
            for obj in reversed(device.gatt):
                del self.objects[obj.path]
                obj.remove_from_connection()
                self.InterfacesRemoved(obj.path, [obj.interface])
            device.gatt = []
            device.update({"Connected": False})

    def answer_measurement_request(self, device):
        """Notifies a temperature frame at once, then a humidity frame, as the meter does: to subscribers only."""
        if not self.answering:
            return
        for delay, answer in ((0, b"0\x00\x0423.5"), (20, b"4\x00\x0445.6")):  # kind, channel, reading
            GLib.timeout_add(delay, self.notify, device, b"\xaa\x55\x13\x01" + answer + bytes(8))

    def notify(self, device, frame):
        measurement = next((obj for obj in device.gatt if obj.props["UUID"] == uuid(0xFF02)), None)
        if measurement and measurement.props.get("Notifying"):
            measurement.update({"Value": dbus.ByteArray(frame)})
            device.frames += 1
            if device.frames == device.kind.get("drop_after_frames"):
                self.events.append("Dropped " + ADDRESS)
                self.drop(device)


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
        for _ in range(int(WAIT / 0.05)):
            yield from self.ask("show")
            if condition(*self.shown):
                return
            yield from self.sleep(0.05)
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
        level = next(obj for obj in self.fake.devices[0].gatt if obj.props["UUID"] == uuid(0x2A19))
        if level.props.get("Notifying"):
            level.update({"Value": dbus.ByteArray(bytes([percent]))})

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
        self.marked = time.monotonic(), self.fake.events.count(REQUEST), len(self.output)

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

    def replug(self):  # the adapter the devices are on is pulled out and plugged in again
        adapter = self.fake.adapter
        del self.fake.objects[adapter.path]
        self.fake.InterfacesRemoved(adapter.path, [adapter.interface])
        yield from self.sleep(0.3)
        self.fake.export(adapter, signal=True)


def reports_of(s, address):
    return [line for line in s.output if line.startswith("Peripheral info: ") and address in line]


SCAN_FOR_METER = ["scan on", ("rows", METER)]
CONNECT_TO_METER = SCAN_FOR_METER + ["select " + METER]
SCAN_REFUSED = [("log", r"Bluetooth Disabled- Make sure your Bluetooth is turned on"), "scan on",
                ("log", r"Bluetooth: scan failed: .+"), "scan off", ("log", "Scan Stopped"),
                ("check", lambda s: s.shown[1] == [], "devices were listed without a usable adapter")]
NO_ADAPTER = [("log", r"Bluetooth: no usable Bluetooth adapter .*")] + SCAN_REFUSED + ["quit"]
SILENT_ATTEMPT = CONNECT_TO_METER + [("event", "Connect " + ADDRESS), ("mark",)]
LOST = r"The connection was lost; the meter may be out of range or switched off\."  # a loss the stack does not explain
REFUSAL = {"bluez": r"le-connection-abort-by-local \(3 attempts\)", "plain": "Unknown Error"}
FALLEN_SILENT = "Connected to " + METER + ", but it has not answered for 6 s"

# Each world: the adapter ("on", "off", "none", or "absent": no BlueZ on the bus), its devices, the scenario, and
# EXTRAS where it tests what only BlueZ's extras do: the program built without them does not run it.
EXTRAS = "needs BlueZ's extras"
# UNFORCED where Qt finds BlueZ's version itself: it runs the name owner's program (/proc/PID/cmdline) with --version.
UNFORCED, BLUETOOTHD = "Qt detects BlueZ's version", os.path.join(os.path.dirname(os.path.abspath(__file__)), "bluetoothd")
WORLDS = {
    # From the scan to both readings; nameless, late-named and remembered devices; the poll; a rescan.
    "meter_readings": ("on", ["meter", "unnamed", "late-name", "cached", "remembered"], [
        ("log", "Bluetooth Enabled"), "scan on", ("rows", METER, "Late Sensor", "Remembered Sensor"),
        ("sleep", 3 * ADVERTISING_MS / 1000), "show",  # let repeats come: they must not be reported
        ("check", lambda s: len(s.shown[1]) == 3 and len(reports_of(s, ADDRESS)) == 1, "each device listed once"),
        ("log", r'Advertisement Data : \["kCBAdvDataLocalName": "TH-Meter", "kCBAdvDataManufacturerData": "004C: 0215AB", '
                r'"kCBAdvDataServiceData": "FFF0: 0102", "kCBAdvDataServiceUUIDs": "180A, FFF0"\]'),
        ("check", lambda s: [" name = nil" in line for line in reports_of(s, "E8:10:00:00:00:07")] == [True],
         "the nameless device is reported once, without a name"),
        ("check", lambda s: ["Late Sensor" in line for line in reports_of(s, "E8:10:00:00:00:08")] == [False, True],
         "the device whose name comes late is reported again with it"),
        ("absent", "e8-10-00-00-00", "an address stood in for a name"),
        ("absent", "Cached Sensor", "a remembered device that was not heard was reported"),
        ("status", r"Scanning: 3 devices listed"),
        "select " + METER, ("readings",), ("status", "Connected to " + METER),
        ("check", lambda s: s.fake.events.count(REQUEST) == 1, "the first request went out before the subscription"),
        ("log", r"Subscribed\. Notification has begun for: FF02"),
        ("event", "StopDiscovery"), ("event", "StartNotify FF02"), ("event", REQUEST, 2),  # the poll repeats
        "scan on", ("event", "Disconnect " + ADDRESS), ("log", "Disconnected from peripheral: .*" + ADDRESS + ".*"),
        ("rows", METER), ("absent", "Disconnect error", "a closing the user asked for was an error"), "quit"]),
    "no_bluez": ("absent", [], NO_ADAPTER),
    "no_adapter": ("none", [], NO_ADAPTER),
    # Refuses the scan while off; once switched on the next scan finds the meter.
    "adapter_powered_off": ("off", ["meter"], [("log", r"Bluetooth: adapter .* is powered off")] + SCAN_REFUSED + [
        ("log", r"Bluetooth: scan failed: Device is powered off"),
        ("absent", "StartDiscovery", "discovery was asked of a powered-off adapter"),
        ("status", r"scan failed: Device is powered off"),
        ("power",), ("log", r"Bluetooth: adapter .* is powered on"), ("log", "Bluetooth Enabled"),
        ("status", r"Idle\. Switch Scan on .*"),
        ("check", lambda s: s.output.count("centralManagerDidUpdateState") == 2, "each state is reported once"),
        ] + SCAN_FOR_METER + ["quit"]),
    # BlueZ's extras try three times and pass BlueZ's words on; Qt Bluetooth alone does neither.
    "connection_refused": ("on", ["refusing-meter", "dropped-while-resolving"], CONNECT_TO_METER + [
        ("log", "Failed to connect to peripheral"),
        ("log", {stack: r"Bluetooth: connection to .*" + ADDRESS + ".* failed: " + text for stack, text in REFUSAL.items()}),
        "scan off", ("status", {"bluez": "Could not connect to " + METER + ": " + REFUSAL["bluez"] + r"\. .*",
                                "plain": "Could not connect to " + METER + r"\. Is the meter in range .*"}),  # Qt's words say nothing
        ("absent", "Connection complete", "a refused connection was reported as made")] + SCAN_FOR_METER + [
        ("rows", "TH-Meter 3"), "select TH-Meter 3",  # its link drops while BlueZ resolves, each time: Qt says nothing more
        ("log", {"bluez": r"Bluetooth: connection to .* failed: The link dropped while the device's services were read \(3 attempts\)",
                 "plain": r"Bluetooth: connection to .* failed: Error occurred trying to connect to remote device\."}), "quit"]),
    # Its first link drops while BlueZ reads the services: the next attempt reads the meter.
    "meter_drops_while_resolving": ("on", ["dropped-once-while-resolving"], CONNECT_TO_METER + [
        ("log", r"Bluetooth: attempt 1 to connect to .* failed: The link dropped while the device's services were read; trying again"),
        ("readings",), ("event", "Connect " + ADDRESS, 2), "quit"], EXTRAS),
    # Fails after the backend's time-out and withdraws the attempt from BlueZ; so does a link whose services never resolve.
    "connection_times_out": ("on", ["silent-meter", "unresolved-meter"], SILENT_ATTEMPT + [
        ("log", r"Bluetooth: connection to .* failed: The connection attempt timed out\..*"),
        ("check", lambda s: 0.7 <= (time.monotonic() - s.marked[0]) / CONNECT_TIMEOUT[s.stack] <= 2.5, "the attempt's length"),
        ("log", "Failed to connect to peripheral"), ("event", "Disconnect " + ADDRESS), "scan on", ("rows", "TH-Meter 2"),
        "select TH-Meter 2", ("log", {"bluez": r"Bluetooth: connection to .* failed: The device's services were not resolved in time\..*",
                                      "plain": r"Bluetooth: connection to .* failed: The connection attempt timed out\..*"}),
        ("event", "Disconnect C4:7C:8D:6A:11:02"), "quit"]),
    # A new scan withdraws the pending attempt: no failure follows, and the meter is found again.
    # BlueZ's extras connect and withdraw without bus activation (a stopped bluetoothd stays stopped); Qt's calls do not.
    "connection_cancelled": ("on", ["silent-meter"], SILENT_ATTEMPT + [
        "scan on", ("event", "Disconnect " + ADDRESS), ("log", "Disconnected from peripheral: .*" + ADDRESS + ".*"),
        ("check", {"bluez": lambda s: s.fake.auto_starting == [],
                   "plain": lambda s: s.fake.auto_starting == ["Connect " + ADDRESS, "Disconnect " + ADDRESS]},
         "calls that would start bluetoothd"),
        ("rows", METER), ("sleep", {stack: budget + 0.5 for stack, budget in CONNECT_TIMEOUT.items()}),
        ("absent", "Failed to connect", "a withdrawn attempt was reported as failed"),
        ("absent", "Disconnect error", "a withdrawn attempt was reported as an error"), "quit"]),
    # Drops after its first answer: the loss is reported, the poll stops, the readings stay.
    "meter_drops": ("on", ["dropping-meter"], CONNECT_TO_METER + [
        ("readings",), ("event", "Dropped " + ADDRESS), ("log", r'Disconnect error: Optional\("%s"\)' % LOST),
        ("mark",), ("sleep", 2.1),  # past the next poll: it polls every 2 s
        ("check", lambda s: s.fake.events.count(REQUEST) == s.marked[1], "requests went on after the drop"),
        "show", ("check", lambda s: s.shown[2] == READINGS, "the last readings were lost"),
        ("status", r"Disconnected from %s: %s Reconnect connects again\." % (METER, LOST)),
        ("mark",), "reconnect", ("status", "Connecting to " + METER + "…|Connected to " + METER),
        ("event", "Connect " + ADDRESS, 2), ("resumed",), ("status", "Connected to " + METER), "quit"]),
    # FF02 without its 0x2902 descriptor cannot notify: the request fails at once.
    "meter_without_cccd": ("on", ["meter-without-cccd"], CONNECT_TO_METER + [
        ("log", r'Error changing notification state:Optional\(".*0x2902.*"\)', 2), ("event", REQUEST),
        ("absent", "StartNotify", "notifications were asked of BlueZ without a descriptor"),
        ("absent", "Subscribed.", "a subscription was reported"), "quit"]),
    # Refused reads and notification requests reach the controller as errors, each its own.
    "meter_refuses_requests": ("on", ["refusing-requests-meter"], CONNECT_TO_METER + [
        ("log", r'Error changing notification state:Optional\("DescriptorWriteError"\)', 2),
        ("log", "didUpdateValueFor characteristic UUID: 2A29"),
        ("check", lambda s: s.output[s.output.index("didUpdateValueFor characteristic UUID: 2A29") + 1]
         == "data update value nil", "a refused read came with a value"),
        ("absent", "Subscribed.", "a refused subscription was reported as made"), "quit"]),
    # Refusals the user can act on end in a status line that says what to do.
    "connection_needs_rights": ("on", ["pairing-meter", "forbidden-meter"], CONNECT_TO_METER + [
        ("status", r"Could not connect to %s: Authentication Failed; the meter asks for pairing: bluetoothctl pair %s\. .*"
         % (METER, ADDRESS)), "scan on", ("rows", "TH-Meter 5"), "select TH-Meter 5",
        ("status", r"Could not connect to TH-Meter 5: Rejected send message; this user may not use Bluetooth: join the "
                   r"bluetooth group \(sudo usermod -aG bluetooth \$USER\) and log in again\. .*"), "quit"], EXTRAS),
    # The meter changes its services while connected: the link is closed and said lost; Reconnect reads it again.
    "services_changed": ("on", ["meter"], CONNECT_TO_METER + [("readings",), ("services_change",),
        ("log", r'Disconnect error: Optional\("The meter changed its services; a new connection reads them again\."\)'),
        ("event", "Disconnect " + ADDRESS), ("mark",), "reconnect", ("resumed",), "quit"]),
    # Connect is never answered and a second one is refused while resolving: the link is taken up all the same.
    "dual_mode_meter": ("on", ["dual-mode-meter"], CONNECT_TO_METER + [("readings",),
        ("check", lambda s: s.fake.events.count("Connect " + ADDRESS) == 1, "Connect was asked again while resolving"),
        "quit", ("event", "Disconnect " + ADDRESS)]),
    # Services resolved before they are on the bus: read once they are, and not called missing.
    "services_exported_late": ("on", ["late-exporting-meter"], CONNECT_TO_METER + [("readings",),
        ("check", lambda s: not any("offers no measurement service" in line for line in s.errors),
         "the meter was said to offer no measurement service"), "quit"], EXTRAS),
    # The value a read brings is announced as a change first: it reaches the controller once.
    "read_announced_as_change": ("on", ["echoing-meter"], CONNECT_TO_METER + [
        ("readings",), ("log", "didUpdateValueFor characteristic UUID: 2A29"),
        ("check", lambda s: s.output.count("didUpdateValueFor characteristic UUID: 2A29") == 1, "a read was delivered twice")
        , "quit"]),
    # Polled with writes its FF01 does not allow: said once on standard error, not at every poll.
    "meter_without_write_commands": ("on", ["requests-only-meter"], CONNECT_TO_METER + [("event", REQUEST, 2),
        ("check", lambda s: sum("FF01" in line and "does not allow writes without response" in line
                                for line in s.errors) == 1, "the unanswerable write was not said once"), "quit"]),
    # The thermohygro program itself (not the driver) starts on BlueZ and reports the radio.
    "application_starts": ("on", ["meter"], [
        ("log", r"Bluetooth: adapter .* is powered on"), ("log", "Bluetooth Enabled"), ("log", "View Cleared"),
        ("quit", signal.SIGTERM)]),
    # Retried after two aborts; its services take longer than the link may.
    "meter_aborts_then_resolves_slowly": ("on", ["flaky-slow-meter"], CONNECT_TO_METER + [
        ("log", r"Bluetooth: attempt 2 to connect to .* failed: le-connection-abort-by-local; trying again"),
        ("readings",), "quit"], EXTRAS),
    # Removed by BlueZ after the scan: the backend listens for it again and connects.
    "meter_forgotten": ("on", ["forgetful-meter"], SCAN_FOR_METER + [
        "scan off", ("event", "Forgot " + ADDRESS), "select " + METER, ("readings",), ("event", "StartDiscovery", 2),
        "quit"], EXTRAS),
    # Selected again while its old link closes, given up while resolving, then connected: the new link waits.
    "meter_reselected_while_closing": ("on", ["slow-closing-meter"], CONNECT_TO_METER + [("event", "Connect " + ADDRESS)]
        + 2 * ["scan on", ("rows", METER), ("mark",), "select " + METER,
               ("check", lambda s: s.fake.events.count("Closed " + ADDRESS) < s.fake.events.count("Disconnect " + ADDRESS),
                "the old link closed before the reselect"), ("resumed",)]
        + [("absent", "Error changing notification state", "a subscription was refused"), "quit"]),
    # bluetoothd exits while connected: the loss is reported, the radio is unusable until bluetoothd returns.
    # Then it exits while a reselect waits for the old link to close: the reselect fails for that reason.
    "bluetoothd_restarts": ("on", ["slow-closing-meter"], CONNECT_TO_METER + [
        ("readings",), ("bluetoothd", False),
        ("log", r'Disconnect error: Optional\("The Bluetooth service \(bluetoothd\) stopped\."\)'),
        ("log", "Bluetooth Disabled- Make sure your Bluetooth is turned on"), ("status", "No usable Bluetooth adapter.*"),
        ("mark",), ("bluetoothd", True), ("log", "Bluetooth Enabled", 2), "reconnect", ("resumed",),
        "scan on", ("rows", METER), "select " + METER, ("bluetoothd", False),
        ("log", r"Bluetooth: connection to .* failed: The Bluetooth service \(bluetoothd\) stopped\."), "quit"], EXTRAS),
    # Discovery goes on across power cycles, also for a scan asked while off; BlueZ's own is stopped with the scan.
    "scan_across_power_cycle": ("busy", ["meter", "newcomer"], SCAN_FOR_METER + [
        "scan off", ("event", "StopDiscovery"), "scan on", ("power", False), ("power", True), ("rows", METER, "Newcomer"),
        ("power", False), "scan off", "scan on", ("power", True), ("rows", METER, "Newcomer"),
        ("status", "Scanning: 2 devices listed"), "quit"], EXTRAS),
    # The powered adapter is used, and found again when its dongle is replugged. A quit (just before a poll) waits
    # for BlueZ, but not for long, and polls no more meanwhile.
    "two_adapters": ("off on", ["slowly-closing-meter"], [("log", r"Bluetooth: adapter fake-hci1 .* is powered on")] + SCAN_FOR_METER + [
        ("replug",), ("log", r"Bluetooth: adapter fake-hci0 .* is powered off"), ("log", "Bluetooth Enabled", 2),
        "select " + METER, ("readings",), ("event", REQUEST, 2), ("sleep", 1.8), ("mark",), "quit",
        ("check", lambda s: time.monotonic() - s.marked[0] < 2.5, "the quit waited too long for BlueZ"),
        ("check", lambda s: s.output.count("sending data") == s.fake.events.count(REQUEST), "a poll was logged after the quit")], EXTRAS),
    # Stops answering while its link stays up: named silent within three polls; Reconnect gives a new link. (Answering
    # again on the same link is the window's own rule, shown over the simulated radio.)
    "meter_falls_silent": ("on", ["meter"], CONNECT_TO_METER + [
        ("readings",), ("answering", False), ("status", FALLEN_SILENT), ("mark",), "reconnect", ("event", "Disconnect " + ADDRESS),
        ("event", "Connect " + ADDRESS, 2), ("resumed",), ("status", "Connected to " + METER),
        ("absent", "Disconnect error", "the window's own closing was reported as a drop"), "quit"]),
    # Its Battery Level is read, then notified as it falls below 20 %.
    "meter_battery": ("on", ["battery-meter"], CONNECT_TO_METER + [
        ("readings",), ("battery_shown", "Battery 87 %"), ("event", "StartNotify 2A19"), ("battery", 15),
        ("battery_shown", r"Battery 15 % \(low\)"), "quit"]),
    # Each loss in its own words: Bluetooth switched off, then a clean stop of bluetoothd (which powers the adapter
    # off first, so that Qt Bluetooth alone can only tell the power).
    "link_losses": ("on", ["meter"], CONNECT_TO_METER + [
        ("readings",), ("power", False), ("log", r'Disconnect error: Optional\("Bluetooth was switched off\."\)'),
        ("power", True), ("log", "Bluetooth Enabled", 2), ("mark",), "reconnect", ("resumed",), ("bluetoothd", False, True),
        ("log", {"bluez": r'Disconnect error: Optional\("The Bluetooth service \(bluetoothd\) stopped\."\)',
                 "plain": r'Disconnect error: Optional\("Bluetooth was switched off\."\)'}, {"bluez": 1, "plain": 2}),
        ("absent", "The connection was lost", "a loss the stack explained was called unexplained"), "quit"]),
    # Ctrl+C in the terminal ends the program as closing its window does: the link is closed first.
    # Qt learns BlueZ's version from the name's owner here, as on a real system.
    "stopped_by_signal": ("on", ["meter"], CONNECT_TO_METER + [("readings",), ("quit", signal.SIGINT),
        ("check", lambda s: "Disconnect " + ADDRESS in s.fake.events[:s.fake.events.index("Program ended")],
         "the program ended without closing the link")], UNFORCED),
    # Another program discovers without a filter: the program's own filtered session still hears the late name.
    "adapter_busy": ("busy", ["late-named-meter"], SCAN_FOR_METER + [
        ("check", lambda s: list(s.fake.filters.values()) == [{"Transport": "le", "DuplicateData": True}],
         "Qt's filter (without repeats) replaced the program's"), "quit"], EXTRAS),
    # The kernel refuses discovery: said on standard error and in the status line, not "0 devices listed" for ever.
    "discovery_refused": ("refusing", ["meter"], ["scan on", ("log", r"Bluetooth: scan failed: BlueZ refused to discover: "
        r"Operation already in progress \(org\.bluez\.Error\.Busy\)\. Switch Scan off and on again\."),
        ("status", r"scan failed: BlueZ refused to discover: .*"), "quit"], EXTRAS),
    # Connected, but with nothing to read: the status says so. Quitting closes the link.
    "no_measurement_service": ("on", ["meter-without-services"], CONNECT_TO_METER + [
        ("status", METER + r" offers no measurement service \(no FF01/FF02\)"), "quit", ("event", "Closed " + ADDRESS),
        ("check", lambda s: s.fake.events.index("Closed " + ADDRESS) < s.fake.events.index("Program ended"),
         "the program ended before BlueZ closed the link")]),
}


def run(steps):
    """Runs the scenario's steps on the bus's main loop; returns its failure, if any."""
    loop, outcome = GLib.MainLoop(), []

    def step():
        try:
            return next(steps) or True
        except StopIteration:
            outcome.append(None)
        except Exception as failure:  # a failed check, or a broken scenario
            outcome.append(failure)
        loop.quit()

    GLib.timeout_add(20, step)
    loop.run()
    return outcome[0]


def worlds(stack):
    return [name for name, world in WORLDS.items() if stack == "bluez" or EXTRAS not in world[3:]]


def main(driver, app, world, stack):
    check(world in worlds(stack), "%s cannot run on the %s stack" % (world, stack))
    adapter, devices, scenario, *marks = WORLDS[world]
    if UNFORCED in marks and "FAKE_BLUEZ_AS_BLUETOOTHD" not in os.environ:  # serve as bluetoothd, by its name
        os.execve("/usr/bin/python3", [BLUETOOTHD, os.path.abspath(__file__), driver, app, world, stack],
                  dict(os.environ, FAKE_BLUEZ_AS_BLUETOOTHD="1", PYTHONHOME=sys.base_prefix))
    version = {} if UNFORCED in marks else {"BLUETOOTH_FORCE_DBUS_LE_VERSION": "5.66"}
    with tempfile.TemporaryDirectory() as folder:
        socket = os.path.join(folder, "bus")
        with open(socket + ".conf", "w") as out:
            out.write(BUS_CONFIG % socket)
        children = [subprocess.Popen(["dbus-daemon", "--config-file=" + socket + ".conf", "--nofork",
                                      "--print-address"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)]
        try:
            children[0].stdout.readline()  # written once the bus listens
            dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
            fake = Fake(dbus.bus.BusConnection("unix:path=" + socket), adapter, devices)
            if adapter != "absent":
                fake.bus.request_name("org.bluez")
            # Qt takes BlueZ's GATT API from bluetoothd 5.42 on.
            environment = {name: value for name, value in os.environ.items() if name != "BLUETOOTH_FORCE_DBUS_LE_VERSION"}
            session = Session(fake, app if world == "application_starts" else driver, dict(
                environment, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + socket, QT_QPA_PLATFORM="offscreen", **version), stack)
            children.append(session.app)
            failure = run(session.play(scenario))
            if not failure and any(line.startswith("Bluetooth: ") for line in session.output):
                failure = Failure("a backend line on standard output")
        finally:
            for child in reversed(children):
                child.kill()
                child.wait()
    print("\n".join(["---- log ----", *session.output, "---- errors ----", *session.errors, "---- BlueZ calls ----",
                     *fake.events, "FAIL: %r" % failure]) if failure else "PASS")
    return 1 if failure else 0


if __name__ == "__main__":
    if sys.argv[1] == "--worlds":
        print(";".join(worlds(sys.argv[2])))
    else:
        sys.exit(main(*sys.argv[1:]))
