#!/usr/bin/python3
"""A stand-in for bluetoothd on a private system bus.

It owns org.bluez and exports what BlueZ's D-Bus API exports: the object
manager at /, one adapter (org.bluez.Adapter1), devices (org.bluez.Device1)
and, while a device is connected, its GATT services, characteristics and
descriptors as child objects of the device (GattService1,
GattCharacteristic1, GattDescriptor1). A discovery session makes the devices
in range advertise every half second. The meter answers the measurement
request 0x5E, written to FF01, with a temperature and a humidity frame
notified on FF02.

Tests steer it through the interface test.FakeBluez.Control at
/test/control: SetPowered, Events (what the application asked of BlueZ, in
order) and Notify (the frames sent so far).
"""

import argparse
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"
PROPERTIES = "org.freedesktop.DBus.Properties"
ADAPTER = "org.bluez.Adapter1"
DEVICE = "org.bluez.Device1"
SERVICE = "org.bluez.GattService1"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
DESCRIPTOR = "org.bluez.GattDescriptor1"
CONTROL = "test.FakeBluez.Control"
ADAPTER_PATH = "/org/bluez/hci0"

ADVERTISING_INTERVAL_MS = 500
MEASUREMENT_REQUEST = b"\x5e"


def full_uuid(short):
    return "0000%04x-0000-1000-8000-00805f9b34fb" % short


def frame(kind, value_text):
    """A 19-byte measurement frame: the kind at offset 4, the reading at 7 to 10."""
    body = bytearray(19)
    body[0:4] = b"\xaa\x55\x13\x01"
    body[4] = ord(kind)
    body[5:7] = b"\x00\x04"
    body[7:11] = value_text.encode("ascii")
    return bytes(body)


MEASUREMENT_FRAMES = [frame("0", "23.5"), frame("4", "45.6")]


class BluezError(dbus.DBusException):
    def __init__(self, name, message):
        super().__init__(message)
        self._dbus_error_name = "org.bluez.Error." + name


def byte_array(data):
    return dbus.Array([dbus.Byte(b) for b in data], signature="y")


class World:
    """The objects on the bus and the record of what clients asked."""

    def __init__(self, bus):
        self.bus = bus
        self.objects = {}
        self.events = []
        self.manager = ObjectManager(self)

    def record(self, event):
        self.events.append(event)
        print("fake-bluez:", event, file=sys.stderr, flush=True)

    def add(self, obj):
        self.objects[obj.path] = obj
        self.manager.InterfacesAdded(dbus.ObjectPath(obj.path), {obj.interface: obj.properties})

    def remove(self, obj):
        del self.objects[obj.path]
        obj.remove_from_connection()
        self.manager.InterfacesRemoved(dbus.ObjectPath(obj.path), [obj.interface])


class ObjectManager(dbus.service.Object):
    def __init__(self, world):
        super().__init__(world.bus, "/")
        self.world = world

    @dbus.service.method(OBJECT_MANAGER, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {
            dbus.ObjectPath(path): {obj.interface: obj.properties}
            for path, obj in sorted(self.world.objects.items())
        }

    @dbus.service.signal(OBJECT_MANAGER, signature="oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OBJECT_MANAGER, signature="oas")
    def InterfacesRemoved(self, path, interfaces):
        pass


class BluezObject(dbus.service.Object):
    """One exported object with one BlueZ interface and its properties."""

    interface = None

    def __init__(self, world, path, properties):
        super().__init__(world.bus, path)
        self.world = world
        self.path = path
        self.properties = dbus.Dictionary(properties, signature="sv")

    def update(self, changed=None, invalidated=()):
        changed = changed or {}
        self.properties.update(changed)
        for name in invalidated:
            self.properties.pop(name, None)
        self.PropertiesChanged(self.interface, dbus.Dictionary(changed, signature="sv"),
                               dbus.Array(invalidated, signature="s"))

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != self.interface or name not in self.properties:
            raise dbus.DBusException("No such property " + name,
                                     name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.properties[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties if interface == self.interface else {}

    @dbus.service.method(PROPERTIES, in_signature="ssv")
    def Set(self, interface, name, value):
        self.world.record("Set %s %s" % (name, value))
        self.update({name: value})

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Adapter(BluezObject):
    interface = ADAPTER

    def __init__(self, world, powered):
        super().__init__(world, ADAPTER_PATH, {
            "Address": dbus.String("00:1A:7D:DA:71:13"),
            "AddressType": dbus.String("public"),
            "Name": dbus.String("fake-hci0"),
            "Alias": dbus.String("fake-hci0"),
            "Class": dbus.UInt32(0x6c010c),
            "Powered": dbus.Boolean(powered),
            "Discoverable": dbus.Boolean(False),
            "DiscoverableTimeout": dbus.UInt32(180),
            "Pairable": dbus.Boolean(False),
            "PairableTimeout": dbus.UInt32(0),
            "Discovering": dbus.Boolean(False),
            "UUIDs": dbus.Array([], signature="s"),
            "Modalias": dbus.String("usb:v1D6Bp0246d0542"),
            "Roles": dbus.Array(["central", "peripheral"], signature="s"),
        })
        self.devices = []
        self.advertising = None

    def powered(self):
        return bool(self.properties["Powered"])

    def set_powered(self, powered):
        if not powered:
            self.stop_advertising()
        self.update({"Powered": dbus.Boolean(powered)})

    @dbus.service.method(ADAPTER, in_signature="a{sv}")
    def SetDiscoveryFilter(self, properties):
        self.world.record("SetDiscoveryFilter %s" % dict(properties))

    @dbus.service.method(ADAPTER, out_signature="as")
    def GetDiscoveryFilters(self):
        return dbus.Array(["UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData"], signature="s")

    @dbus.service.method(ADAPTER)
    def StartDiscovery(self):
        self.world.record("StartDiscovery")
        if not self.powered():
            raise BluezError("NotReady", "Resource Not Ready")
        if self.advertising is None:
            self.update({"Discovering": dbus.Boolean(True)})
            self.advertising = GLib.timeout_add(ADVERTISING_INTERVAL_MS, self.advertise)
            GLib.idle_add(lambda: self.advertise() and False)

    @dbus.service.method(ADAPTER)
    def StopDiscovery(self):
        self.world.record("StopDiscovery")
        if self.advertising is None:
            raise BluezError("Failed", "No discovery started")
        self.stop_advertising()

    @dbus.service.method(ADAPTER, in_signature="o")
    def RemoveDevice(self, path):
        self.world.record("RemoveDevice %s" % path)

    def stop_advertising(self):
        if self.advertising is None:
            return
        GLib.source_remove(self.advertising)
        self.advertising = None
        self.update({"Discovering": dbus.Boolean(False)})
        # Once discovery ends BlueZ forgets the signal strengths it heard.
        for device in self.devices:
            if device.exported and "RSSI" in device.properties:
                device.update(invalidated=["RSSI"])

    def advertise(self):
        for device in self.devices:
            device.advertise()
        return self.advertising is not None


class Device(BluezObject):
    interface = DEVICE

    def __init__(self, world, adapter, kind):
        self.kind = kind
        self.address = kind["address"]
        super().__init__(world, ADAPTER_PATH + "/dev_" + self.address.replace(":", "_"), {
            "Address": dbus.String(self.address),
            "AddressType": dbus.String("public"),
            # BlueZ names a device it has no name for by its address.
            "Alias": dbus.String(self.address.replace(":", "-")),
            "Paired": dbus.Boolean(False),
            "Bonded": dbus.Boolean(False),
            "Trusted": dbus.Boolean(False),
            "Blocked": dbus.Boolean(False),
            "LegacyPairing": dbus.Boolean(False),
            "Connected": dbus.Boolean(False),
            "ServicesResolved": dbus.Boolean(False),
            "Adapter": dbus.ObjectPath(ADAPTER_PATH),
            "UUIDs": dbus.Array([s["uuid"] for s in kind.get("services", [])], signature="s"),
        })
        self.adapter = adapter
        self.exported = False
        self.adverts_sent = 0
        self.gatt = []
        self.pending_connect = None
        self.frames_sent = 0
        self.measurement = None
        if kind.get("cached_name"):
            self.properties["Name"] = dbus.String(kind["cached_name"])
            self.properties["Alias"] = dbus.String(kind["cached_name"])

    def export(self):
        self.exported = True
        self.world.add(self)

    def advertise(self):
        if not self.kind.get("in_range", True):
            return
        self.adverts_sent += 1
        rssi = dbus.Int16(self.kind["rssi"] - self.adverts_sent % 3)
        names = self.kind.get("names", [])
        name = names[min(self.adverts_sent, len(names)) - 1] if names else None
        changed = {"RSSI": rssi}
        if name is not None and self.properties.get("Name") != name:
            changed["Name"] = dbus.String(name)
            changed["Alias"] = dbus.String(name)
        if not self.exported:
            self.properties.update(changed)
            self.export()
        else:
            self.update(changed)

    @dbus.service.method(DEVICE, async_callbacks=("reply", "error"))
    def Connect(self, reply, error):
        self.world.record("Connect %s" % self.address)
        behaviour = self.kind.get("connect", "accept")
        if self.properties["Connected"]:
            reply()
        elif behaviour == "refuse":
            GLib.timeout_add(100, lambda: error(BluezError("Failed", "le-connection-abort-by-remote")))
        elif behaviour == "silent":
            self.pending_connect = error
        else:
            self.update({"Connected": dbus.Boolean(True)})
            reply()
            GLib.timeout_add(150, self.resolve_services)

    @dbus.service.method(DEVICE, async_callbacks=("reply", "error"))
    def Disconnect(self, reply, error):
        self.world.record("Disconnect %s" % self.address)
        if self.pending_connect is not None:
            self.pending_connect(BluezError("Failed", "le-connection-abort-by-local"))
            self.pending_connect = None
        self.drop()
        reply()

    def resolve_services(self):
        if self.properties["Connected"]:
            self.build_gatt()
            self.update({"ServicesResolved": dbus.Boolean(True)})
        return False

    def drop(self):
        if self.measurement is not None:
            GLib.source_remove(self.measurement)
            self.measurement = None
        if self.properties["Connected"]:
            self.update({"ServicesResolved": dbus.Boolean(False)})
            for obj in reversed(self.gatt):
                self.world.remove(obj)
            self.gatt = []
            self.update({"Connected": dbus.Boolean(False)})

    def build_gatt(self):
        handle = 0x000a
        for service_kind in self.kind.get("services", []):
            service = GattService(self.world, "%s/service%04x" % (self.path, handle), self, service_kind["uuid"])
            self.gatt.append(service)
            handle += 1
            for char_kind in service_kind["characteristics"]:
                characteristic = GattCharacteristic(self.world, "%s/char%04x" % (service.path, handle),
                                                    self, service.path, char_kind)
                self.gatt.append(characteristic)
                handle += 2
                for descriptor_uuid in char_kind.get("descriptors", []):
                    self.gatt.append(GattDescriptor(self.world, "%s/desc%04x" % (characteristic.path, handle),
                                                    characteristic.path, descriptor_uuid))
                    handle += 1
        for obj in self.gatt:
            self.world.add(obj)

    def characteristic(self, uuid):
        return next(obj for obj in self.gatt
                    if isinstance(obj, GattCharacteristic) and obj.properties["UUID"] == full_uuid(uuid))

    def answer_measurement_request(self):
        """Notifies the two frames one after the other, as the meter does."""
        pending = list(MEASUREMENT_FRAMES)

        def notify_next():
            measurement = self.characteristic(0xFF02)
            if measurement.properties.get("Notifying"):
                measurement.update({"Value": byte_array(pending.pop(0))})
                self.frames_sent += 1
            else:
                pending.clear()
            drop_after = self.kind.get("drop_after_frames")
            if drop_after is not None and self.frames_sent >= drop_after:
                self.world.record("Dropped %s" % self.address)
                pending.clear()
                GLib.idle_add(lambda: self.drop() and False)
            if not pending:
                self.measurement = None
            return bool(pending)

        if self.measurement is None:
            self.measurement = GLib.timeout_add(20, notify_next)


class GattService(BluezObject):
    interface = SERVICE

    def __init__(self, world, path, device, uuid):
        super().__init__(world, path, {
            "UUID": dbus.String(uuid),
            "Device": dbus.ObjectPath(device.path),
            "Primary": dbus.Boolean(True),
            "Includes": dbus.Array([], signature="o"),
        })


class GattCharacteristic(BluezObject):
    interface = CHARACTERISTIC

    def __init__(self, world, path, device, service_path, kind):
        properties = {
            "UUID": dbus.String(full_uuid(kind["uuid"])),
            "Service": dbus.ObjectPath(service_path),
            "Value": byte_array(kind.get("value", b"")),
            "Flags": dbus.Array(kind["flags"], signature="s"),
            "MTU": dbus.UInt16(23),
        }
        if "notify" in kind["flags"]:
            properties["Notifying"] = dbus.Boolean(False)
        super().__init__(world, path, properties)
        self.device = device
        self.uuid = kind["uuid"]

    @dbus.service.method(CHARACTERISTIC, in_signature="a{sv}", out_signature="ay")
    def ReadValue(self, options):
        self.world.record("ReadValue %04X" % self.uuid)
        if "read" not in self.properties["Flags"] or self.device.kind.get("refuses_requests"):
            raise BluezError("NotPermitted", "Read not permitted")
        return self.properties["Value"]

    @dbus.service.method(CHARACTERISTIC, in_signature="aya{sv}")
    def WriteValue(self, value, options):
        data = bytes(value)
        self.world.record("WriteValue %04X %s %s" % (self.uuid, data.hex(), options.get("type", "")))
        if data == MEASUREMENT_REQUEST and self.uuid == 0xFF01:
            self.device.answer_measurement_request()

    @dbus.service.method(CHARACTERISTIC)
    def StartNotify(self):
        self.world.record("StartNotify %04X" % self.uuid)
        if "Notifying" not in self.properties:
            raise BluezError("NotSupported", "Operation is not supported")
        if self.device.kind.get("refuses_requests"):
            raise BluezError("NotPermitted", "Notify not permitted")
        if not self.properties["Notifying"]:
            self.update({"Notifying": dbus.Boolean(True)})

    @dbus.service.method(CHARACTERISTIC)
    def StopNotify(self):
        self.world.record("StopNotify %04X" % self.uuid)
        if self.properties.get("Notifying"):
            self.update({"Notifying": dbus.Boolean(False)})


class GattDescriptor(BluezObject):
    interface = DESCRIPTOR

    def __init__(self, world, path, characteristic_path, uuid):
        super().__init__(world, path, {
            "UUID": dbus.String(full_uuid(uuid)),
            "Characteristic": dbus.ObjectPath(characteristic_path),
            "Value": byte_array(b""),
            "Flags": dbus.Array(["read", "write"], signature="s"),
        })
        self.characteristic_path = characteristic_path

    @dbus.service.method(DESCRIPTOR, in_signature="a{sv}", out_signature="ay")
    def ReadValue(self, options):
        characteristic = self.world.objects.get(self.characteristic_path)
        notifying = characteristic is not None and characteristic.properties.get("Notifying")
        return byte_array(b"\x01\x00" if notifying else b"\x00\x00")

    @dbus.service.method(DESCRIPTOR, in_signature="aya{sv}")
    def WriteValue(self, value, options):
        # BlueZ keeps the client configuration to itself: StartNotify sets it.
        raise BluezError("NotPermitted", "Write not permitted")


class Control(dbus.service.Object):
    def __init__(self, world, adapter):
        super().__init__(world.bus, "/test/control")
        self.world = world
        self.adapter = adapter

    @dbus.service.method(CONTROL, in_signature="b")
    def SetPowered(self, powered):
        self.adapter.set_powered(bool(powered))

    @dbus.service.method(CONTROL, out_signature="as")
    def Events(self):
        return dbus.Array(self.world.events, signature="s")


METER_SERVICES = [
    {"uuid": full_uuid(0x180A), "characteristics": [
        {"uuid": 0x2A29, "flags": ["read"], "value": b"Fake Instruments"},
    ]},
    {"uuid": full_uuid(0xFFF0), "characteristics": [
        {"uuid": 0xFF01, "flags": ["write-without-response", "write"]},
        {"uuid": 0xFF02, "flags": ["notify"], "descriptors": [0x2902]},
    ]},
]


def meter(**changes):
    kind = {"address": "C4:7C:8D:6A:11:01", "names": ["TH-Meter"], "rssi": -58, "services": METER_SERVICES}
    kind.update(changes)
    return kind


METER_WITHOUT_CLIENT_CONFIGURATION = [
    {"uuid": full_uuid(0xFFF0), "characteristics": [
        {"uuid": 0xFF01, "flags": ["write-without-response"]},
        {"uuid": 0xFF02, "flags": ["notify"]},
    ]},
]

DEVICE_KINDS = {
    "meter": meter(),
    "refusing-meter": meter(connect="refuse"),
    "silent-meter": meter(connect="silent"),
    "dropping-meter": meter(drop_after_frames=4),
    "meter-without-cccd": meter(services=METER_WITHOUT_CLIENT_CONFIGURATION),
    # Refuses every read and every notification request.
    "refusing-requests-meter": meter(refuses_requests=True),
    # Advertises without a name: BlueZ's alias is then the address.
    "unnamed": {"address": "E8:10:00:00:00:07", "rssi": -70},
    # Its name arrives with the third advertisement.
    "late-name": {"address": "E8:10:00:00:00:08", "names": [None, None, "Late Sensor"], "rssi": -75},
    # Remembered by BlueZ from an earlier session but out of range now.
    "cached": {"address": "E8:10:00:00:00:09", "cached_name": "Cached Sensor", "rssi": -80, "in_range": False},
    # Remembered, and in range again.
    "remembered": {"address": "E8:10:00:00:00:0A", "cached_name": "Remembered Sensor",
                   "names": ["Remembered Sensor"], "rssi": -66},
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--adapter", choices=["on", "off", "none"], default="on")
    parser.add_argument("--device", action="append", default=[], choices=sorted(DEVICE_KINDS))
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    world = World(bus)
    if args.adapter != "none":
        adapter = Adapter(world, powered=args.adapter == "on")
        world.objects[adapter.path] = adapter
        Control(world, adapter)
        for kind in args.device:
            device = Device(world, adapter, DEVICE_KINDS[kind])
            adapter.devices.append(device)
            if "cached_name" in DEVICE_KINDS[kind]:
                device.exported = True
                world.objects[device.path] = device
    # Own the name last, so that a client finds the objects complete.
    name = dbus.service.BusName(BLUEZ, bus)
    print("fake-bluez: ready", file=sys.stderr, flush=True)
    loop = GLib.MainLoop()
    try:
        loop.run()
    finally:
        del name


if __name__ == "__main__":
    main()
