#!/usr/bin/python3
"""The application over Qt Bluetooth, end to end, against a fake BlueZ.

One run serves one world of WORLDS: it starts a private dbus-daemon as the
system bus, exports from this process what bluetoothd would (an adapter,
devices that advertise while discovery runs and, while connected, their GATT
objects), starts the window driver on that bus, steers it like a user and
checks the application's log, the window and what it asked of BlueZ.

Usage: fake_bluez.py --driver PATH --app PATH WORLD
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WAIT, CONNECT_TIMEOUT, ADVERTISING_MS = 20.0, 1.0, 200  # the driver's connect time-out is 1 s
METER, ADDRESS, READINGS = "TH-Meter", "C4:7C:8D:6A:11:01", ["23.5 \u02daC", "45.6 %RH"]
REQUEST = "WriteValue FF01 5e command"
HCI, BLUEZ, PROPERTIES = "/org/bluez/hci0", "org.bluez.", "org.freedesktop.DBus.Properties"
BUS_CONFIG = """<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth><policy
context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>"""


def uuid(short):
    return "0000%04x-0000-1000-8000-00805f9b34fb" % short


def frame(kind, reading):
    """A 19-byte measurement frame: the kind at offset 4, the reading at 7 to 10."""
    return dbus.ByteArray(b"\xaa\x55\x13\x01" + kind + b"\x00\x04" + reading + bytes(8))


class BluezError(dbus.DBusException):
    def __init__(self, name, text):
        super().__init__(text)
        self._dbus_error_name = BLUEZ + "Error." + name


# GATT tables: services as (UUID, characteristics); characteristics as (UUID, flags, with 0x2902).
METER_GATT = [(0x180A, [(0x2A29, ["read"], False)]),
              (0xFFF0, [(0xFF01, ["write-without-response", "write"], False), (0xFF02, ["notify"], True)])]
NO_CCCD_GATT = [(0xFFF0, [(0xFF01, ["write-without-response"], False), (0xFF02, ["notify"], False)])]
DEVICES = {
    "meter": {},
    "refusing-meter": {"connect": "refuse"},
    "silent-meter": {"connect": "silent"},
    "dropping-meter": {"drop_after_frames": 2},
    "meter-without-cccd": {"gatt": NO_CCCD_GATT},
    "refusing-requests-meter": {"refuses_requests": True},  # every read and notification request
    "unnamed": {"address": "E8:10:00:00:00:07", "names": [None], "rssi": -70, "gatt": []},
    "late-name": {"address": "E8:10:00:00:00:08", "names": [None, None, "Late Sensor"], "rssi": -75, "gatt": []},
    # Remembered by BlueZ from an earlier session: out of range, or in range again.
    "cached": {"address": "E8:10:00:00:00:09", "cached": "Cached Sensor", "names": [], "gatt": []},
    "remembered": {"address": "E8:10:00:00:00:0A", "cached": "Remembered Sensor", "names": ["Remembered Sensor"],
                   "rssi": -66, "gatt": []},
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
            self.props.pop(name)
        self.PropertiesChanged(self.interface, changed or {}, invalidated)

    @dbus.service.method(PROPERTIES, "ss", "v")
    def Get(self, interface, name):
        if name not in self.props:
            raise dbus.DBusException(name, name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.props[name]

    @dbus.service.signal(PROPERTIES, "sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(BLUEZ + "Adapter1", "a{sv}")
    def SetDiscoveryFilter(self, properties):
        pass

    @dbus.service.method(BLUEZ + "Adapter1")
    def StartDiscovery(self):
        self.fake.record("StartDiscovery")
        if not self.props["Powered"]:
            raise BluezError("NotReady", "Resource Not Ready")
        self.fake.discover(True)

    @dbus.service.method(BLUEZ + "Adapter1")
    def StopDiscovery(self):
        self.fake.record("StopDiscovery")
        self.fake.discover(False)

    @dbus.service.method(BLUEZ + "Device1", async_callbacks=("reply", "error"))
    def Connect(self, reply, error):
        self.fake.record("Connect " + self.props["Address"])
        if self.kind.get("connect") == "refuse":
            GLib.timeout_add(100, error, BluezError("Failed", "le-connection-abort-by-remote"))
        elif self.kind.get("connect") == "silent":
            self.pending = error
        else:
            self.update({"Connected": True})
            reply()
            GLib.timeout_add(150, self.fake.resolve_services, self)

    @dbus.service.method(BLUEZ + "Device1", async_callbacks=("reply", "error"))
    def Disconnect(self, reply, error):
        self.fake.record("Disconnect " + self.props["Address"])
        if self.pending:
            self.pending(BluezError("Failed", "le-connection-abort-by-local"))
        self.pending = None
        self.fake.drop(self)
        reply()

    @dbus.service.method(BLUEZ + "GattCharacteristic1", "a{sv}", "ay")
    def ReadValue(self, options):
        self.fake.record("ReadValue %04X" % self.uuid)
        if self.device.kind.get("refuses_requests"):
            raise BluezError("NotPermitted", "Read not permitted")
        return dbus.ByteArray(b"Fake Instruments")

    @dbus.service.method(BLUEZ + "GattCharacteristic1", "aya{sv}")
    def WriteValue(self, value, options):
        self.fake.record("WriteValue %04X %s %s" % (self.uuid, bytes(value).hex(), options.get("type", "")))
        if self.uuid == 0xFF01 and bytes(value) == b"\x5e":
            self.fake.answer_measurement_request(self.device)

    @dbus.service.method(BLUEZ + "GattCharacteristic1")
    def StartNotify(self):
        self.fake.record("StartNotify %04X" % self.uuid)
        if "Notifying" not in self.props:
            raise BluezError("NotSupported", "Operation is not supported")
        if self.device.kind.get("refuses_requests"):
            raise BluezError("NotPermitted", "Notify not permitted")
        self.update({"Notifying": True})

    @dbus.service.method(BLUEZ + "GattCharacteristic1")
    def StopNotify(self):
        self.update({"Notifying": False})


class Fake(dbus.service.Object):
    """bluetoothd's object manager, its objects and the record of what the application asked."""

    def __init__(self, bus, adapter, devices):
        super().__init__(bus, "/")
        self.bus, self.objects, self.events, self.advertising = bus, {}, [], None
        if adapter in ("on", "off"):
            self.adapter = self.export(Obj(self, HCI, "Adapter1", {
                "Address": "00:1A:7D:DA:71:13", "Name": "fake-hci0", "Alias": "fake-hci0",
                "Powered": adapter == "on", "Discoverable": False, "Discovering": False}))
        self.devices = [self.make_device({"address": ADDRESS, "names": [METER], "rssi": -58, "gatt": METER_GATT,
                                          **DEVICES[kind]}) for kind in devices]

    def make_device(self, kind):
        address = kind["address"]
        device = Obj(self, HCI + "/dev_" + address.replace(":", "_"), "Device1", {
            # BlueZ names a device it has no name for by its address.
            "Address": address, "AddressType": "public", "Alias": kind.get("cached", address.replace(":", "-")),
            "Paired": False, "Connected": False, "ServicesResolved": False, "Adapter": dbus.ObjectPath(HCI),
            "UUIDs": dbus.Array([uuid(service) for service, _ in kind["gatt"]], "s")},
            kind=kind, adverts=0, frames=0, gatt=[], pending=None, sending=None)
        if "cached" in kind:
            device.props["Name"] = kind["cached"]
            self.objects[device.path] = device
        return device

    def record(self, event):
        self.events.append(event)

    def export(self, obj, signal=False):
        self.objects[obj.path] = obj
        if signal:
            self.InterfacesAdded(obj.path, {obj.interface: obj.props})
        return obj

    @dbus.service.method("org.freedesktop.DBus.ObjectManager", "", "a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {path: {obj.interface: obj.props} for path, obj in sorted(self.objects.items())}

    @dbus.service.signal("org.freedesktop.DBus.ObjectManager", "oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal("org.freedesktop.DBus.ObjectManager", "oas")
    def InterfacesRemoved(self, path, interfaces):
        pass

    def set_powered(self, powered):
        self.adapter.update({"Powered": powered})

    def discover(self, on):
        if on and self.advertising is None:
            self.adapter.update({"Discovering": True})
            self.advertising = GLib.timeout_add(ADVERTISING_MS, self.advertise)
            GLib.idle_add(lambda: self.advertise() and False)
        elif not on and self.advertising is not None:
            GLib.source_remove(self.advertising)
            self.advertising = None
            self.adapter.update({"Discovering": False})
            for device in self.devices:  # BlueZ forgets the signal strengths it heard
                if "RSSI" in device.props:
                    device.update(invalidated=["RSSI"])

    def advertise(self):
        for device in (device for device in self.devices if device.kind["names"]):
            device.adverts += 1
            name = device.kind["names"][min(device.adverts, len(device.kind["names"])) - 1]
            changed = {"RSSI": dbus.Int16(device.kind["rssi"] - device.adverts % 3)}
            if name is not None and device.props.get("Name") != name:
                changed.update(Name=name, Alias=name)
            if device.path in self.objects:
                device.update(changed)
            else:
                device.props.update(changed)
                self.export(device, signal=True)
        return self.advertising is not None

    def resolve_services(self, device):
        if device.props["Connected"]:
            for number, (service_uuid, characteristics) in enumerate(device.kind["gatt"]):
                service = self.export(Obj(self, "%s/service%02x" % (device.path, number), "GattService1", {
                    "UUID": uuid(service_uuid), "Device": dbus.ObjectPath(device.path), "Primary": True}), True)
                device.gatt.append(service)
                for short, flags, with_cccd in characteristics:
                    props = {"UUID": uuid(short), "Service": dbus.ObjectPath(service.path),
                             "Flags": dbus.Array(flags, "s"), "Value": dbus.ByteArray(b"")}
                    if "notify" in flags:
                        props["Notifying"] = False
                    device.gatt.append(self.export(Obj(self, "%s/char%04x" % (service.path, short),
                                                       "GattCharacteristic1", props, uuid=short, device=device), True))
                    if with_cccd:
                        device.gatt.append(self.export(Obj(self, device.gatt[-1].path + "/desc2902", "GattDescriptor1", {
                            "UUID": uuid(0x2902), "Characteristic": dbus.ObjectPath(device.gatt[-1].path),
                            "Flags": dbus.Array(["read", "write"], "s")}), True))
            device.update({"ServicesResolved": True})

    def drop(self, device):
        if device.sending is not None:
            GLib.source_remove(device.sending)
            device.sending = None
        if device.props["Connected"]:
            device.update({"ServicesResolved": False})
            for obj in reversed(device.gatt):
                del self.objects[obj.path]
                obj.remove_from_connection()
                self.InterfacesRemoved(obj.path, [obj.interface])
            device.gatt = []
            device.update({"Connected": False})

    def answer_measurement_request(self, device):
        """Notifies a temperature frame, then a humidity frame, as the meter does."""
        frames = [frame(b"0", b"23.5"), frame(b"4", b"45.6")]
        measurement = next(obj for obj in device.gatt if obj.props["UUID"] == uuid(0xFF02))

        def notify_next():
            if measurement.props.get("Notifying"):
                measurement.update({"Value": frames.pop(0)})
                device.frames += 1
                if device.frames == device.kind.get("drop_after_frames"):
                    self.record("Dropped " + ADDRESS)
                    GLib.idle_add(self.drop, device)
                    return False
            if measurement.props.get("Notifying") and frames:
                return True
            device.sending = None
            return False

        if device.sending is None:
            device.sending = GLib.timeout_add(20, notify_next)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Session:
    """The program under test, steered like a user through the steps of a
    scenario: a command for the window driver ("scan on", "select NAME") or
    (action, arguments...) for a method below. Waits are generators that the
    bus's main loop resumes, so that the fake answers meanwhile."""

    def __init__(self, fake, environment, program):
        self.fake, self.output, self.errors, self.shown = fake, [], [], None
        self.app = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=environment)
        for stream, lines in ((self.app.stdout, self.output), (self.app.stderr, self.errors)):
            threading.Thread(target=lambda s=stream, l=lines: [l.append(raw.decode().rstrip("\n")) for raw in s],
                             daemon=True).start()

    def play(self, steps):
        for step in steps:
            action, *arguments = (step,) if isinstance(step, str) else step
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

    def log(self, pattern, count=1):
        yield from self.until(lambda: sum(bool(re.fullmatch(pattern, line)) for line in list(self.output)) >= count,
                              "%d log line(s) %r" % (count, pattern))

    def event(self, event, count=1):
        yield from self.until(lambda: self.fake.events.count(event) >= count, "%d call(s) %r" % (count, event))

    def ask(self, command):
        """Sends the window driver a command; keeps what the window shows then:
        whether Scan is on, the listed names, the temperature and the humidity."""
        answered = len(self.answers())
        self.app.stdin.write((command + "\n").encode())
        self.app.stdin.flush()
        yield from self.until(lambda: self.answers()[answered:], "the answer to " + command)
        scan, rows, *readings = self.answers()[answered].split("|")
        self.shown = scan == "on", rows.split(";") if rows else [], readings

    def answers(self):
        return [line[8:] for line in list(self.errors) if line.startswith("driver: ")]

    def shows(self, condition, what):
        yield from self.ask("show")
        while not condition(*self.shown):
            yield from self.sleep(0.05)
            yield from self.ask("show")
        check(condition(*self.shown), what)

    def rows(self, *names):
        yield from self.shows(lambda scan, rows, readings: set(names) <= set(rows), "rows %s" % (names,))

    def readings(self):
        yield from self.shows(lambda scan, rows, readings: readings == READINGS, "the readings")

    def quit(self):
        self.app.stdin.close()
        yield from self.until(lambda: self.app.poll() is not None, "the window to close")
        check(self.app.returncode == 0, "the application ended with exit code %s" % self.app.returncode)

    def absent(self, text, what):
        check(not any(text in line for line in list(self.output) + self.fake.events), what)

    def check(self, condition, what):
        check(condition(self), what)

    def mark(self):
        self.marked = time.monotonic(), self.fake.events.count(REQUEST)

    def power(self):
        self.fake.adapter.update({"Powered": True})

    def terminate(self):
        self.app.send_signal(signal.SIGTERM)
        yield from self.until(lambda: self.app.poll() is not None, "the application to end")


def reports_of(s, address):
    return [line for line in s.output if line.startswith("Peripheral info: ") and address in line]


SCAN_FOR_METER = ["scan on", ("rows", METER)]
CONNECT_TO_METER = SCAN_FOR_METER + ["select " + METER]
SCAN_REFUSED = [("log", r"Bluetooth Disabled- Make sure your Bluetooth is turned on"), "scan on",
                ("log", r"Bluetooth: scan failed: .+"), "scan off", ("log", "Scan Stopped"),
                ("check", lambda s: s.shown[1] == [], "devices were listed without a usable adapter")]
NO_ADAPTER = [("log", r"Bluetooth: no usable Bluetooth adapter .*")] + SCAN_REFUSED + ["quit"]
SILENT_ATTEMPT = CONNECT_TO_METER + [("event", "Connect " + ADDRESS), ("mark",)]

# Each world: the adapter ("on", "off", "none", or "absent": no BlueZ on the bus), its devices, the scenario.
WORLDS = {
    # From the scan to both readings; nameless, late-named and remembered devices; the poll; a rescan.
    "meter_readings": ("on", ["meter", "unnamed", "late-name", "cached", "remembered"], [
        ("log", "Bluetooth Enabled"), "scan on", ("rows", METER, "Late Sensor", "Remembered Sensor"),
        ("sleep", 3 * ADVERTISING_MS / 1000), "show",  # let repeats come: they must not be reported
        ("check", lambda s: len(s.shown[1]) == 3 and len(reports_of(s, ADDRESS)) == 1, "each device listed once"),
        ("check", lambda s: [" name = nil" in line for line in reports_of(s, "E8:10:00:00:00:07")] == [True],
         "the nameless device is reported once, without a name"),
        ("check", lambda s: ["Late Sensor" in line for line in reports_of(s, "E8:10:00:00:00:08")] == [False, True],
         "the device whose name comes late is reported again with it"),
        ("absent", "E8-10-00-00-00", "an address stood in for a name"),
        ("absent", "Cached Sensor", "a remembered device that was not heard was reported"),
        "select " + METER, ("readings",), ("log", r"Subscribed\. Notification has begun for: FF02"),
        ("event", "StopDiscovery"), ("event", "StartNotify FF02"), ("event", REQUEST, 2),  # the poll repeats
        "scan on", ("event", "Disconnect " + ADDRESS), ("log", "Disconnected from peripheral: .*" + ADDRESS + ".*"),
        ("rows", METER), ("absent", "Disconnect error", "a closing the user asked for was an error"), "quit"]),
    "no_bluez": ("absent", [], NO_ADAPTER),
    "no_adapter": ("none", [], NO_ADAPTER),
    # Refuses the scan while off; once switched on the next scan finds the meter.
    "adapter_powered_off": ("off", ["meter"], [("log", r"Bluetooth: adapter .* is powered off")] + SCAN_REFUSED + [
        ("log", r"Bluetooth: scan failed: Device is powered off"),
        ("absent", "StartDiscovery", "discovery was asked of a powered-off adapter"),
        ("power",), ("log", r"Bluetooth: adapter .* is powered on"), ("log", "Bluetooth Enabled"),
        ("check", lambda s: s.output.count("centralManagerDidUpdateState") == 2, "each state is reported once"),
        ] + SCAN_FOR_METER + ["quit"]),
    "connection_refused": ("on", ["refusing-meter"], CONNECT_TO_METER + [
        ("log", "Failed to connect to peripheral"),
        ("log", r"Bluetooth: connection to .*" + ADDRESS + r".* failed: (?!The connection attempt timed out).+"),
        ("absent", "Connection complete", "a refused connection was reported as made")] + SCAN_FOR_METER + ["quit"]),
    # Fails after the backend's time-out and withdraws the attempt from BlueZ.
    "connection_times_out": ("on", ["silent-meter"], SILENT_ATTEMPT + [
        ("log", r"Bluetooth: connection to .* failed: The connection attempt timed out\..*"),
        ("check", lambda s: 0.7 <= (time.monotonic() - s.marked[0]) / CONNECT_TIMEOUT <= 2.5, "the attempt's length"),
        ("log", "Failed to connect to peripheral"), ("event", "Disconnect " + ADDRESS), "quit"]),
    # A new scan withdraws the pending attempt: no failure follows, and the meter is found again.
    "connection_cancelled": ("on", ["silent-meter"], SILENT_ATTEMPT + [
        "scan on", ("event", "Disconnect " + ADDRESS), ("log", "Disconnected from peripheral: .*" + ADDRESS + ".*"),
        ("rows", METER), ("sleep", CONNECT_TIMEOUT + 0.5),
        ("absent", "Failed to connect", "a withdrawn attempt was reported as failed"),
        ("absent", "Disconnect error", "a withdrawn attempt was reported as an error"), "quit"]),
    # Drops after its first answer: the loss is reported, the poll stops, the readings stay.
    "meter_drops": ("on", ["dropping-meter"], CONNECT_TO_METER + [
        ("readings",), ("event", "Dropped " + ADDRESS), ("log", r'Disconnect error: Optional\(".+"\)'),
        ("mark",), ("sleep", 2.1),  # past the next poll: it polls every 2 s
        ("check", lambda s: s.fake.events.count(REQUEST) == s.marked[1], "requests went on after the drop"),
        "show", ("check", lambda s: s.shown[2] == READINGS, "the last readings were lost"), "quit"]),
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
    # The thermohygro program itself (not the driver) starts on BlueZ and reports the radio.
    "application_starts": ("on", ["meter"], [
        ("log", r"Bluetooth: adapter .* is powered on"), ("log", "Bluetooth Enabled"), ("log", "View Cleared"),
        ("terminate",)]),
}


def run(steps):
    """Runs the scenario's steps on the bus's main loop; returns its failure, if any."""
    loop, outcome = GLib.MainLoop(), []

    def step():
        try:
            next(steps)
            return True
        except StopIteration:
            outcome.append(None)
        except Exception as failure:  # a failed check, or a broken scenario
            outcome.append(failure)
        loop.quit()
        return False

    GLib.timeout_add(20, step)
    loop.run()
    return outcome[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("world", choices=WORLDS)
    options = parser.parse_args()
    adapter, devices, scenario = WORLDS[options.world]

    with tempfile.TemporaryDirectory(prefix="fake-bluez-") as folder:
        socket, config = os.path.join(folder, "bus"), os.path.join(folder, "bus.conf")
        with open(config, "w") as out:
            out.write(BUS_CONFIG % socket)
        children = [subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork"],
                                     stderr=subprocess.DEVNULL)]
        try:
            while not os.path.exists(socket):
                time.sleep(0.01)
            dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
            fake = Fake(dbus.bus.BusConnection("unix:path=" + socket), adapter, devices)
            if adapter != "absent":
                fake.bus.request_name("org.bluez")
            # Qt takes BlueZ's GATT API from bluetoothd 5.42 on; it learns the version from the
            # bus name's owner, here a Python.
            environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + socket,
                               QT_QPA_PLATFORM="offscreen", BLUETOOTH_FORCE_DBUS_LE_VERSION="5.66")
            program = options.app if options.world == "application_starts" else options.driver
            session = Session(fake, environment, program)
            children.append(session.app)
            failure = run(session.play(scenario))
        finally:
            for child in reversed(children):
                if child.poll() is None:
                    child.kill()
                child.wait()
    if failure:
        print("\n".join(["---- log ----", *session.output, "---- errors ----", *session.errors,
                         "---- BlueZ calls ----", *fake.events, "FAIL: %s: %r" % (options.world, failure)]))
        return 1
    print("PASS: " + options.world)
    return 0


if __name__ == "__main__":
    sys.exit(main())
