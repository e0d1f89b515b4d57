"""What bluetoothd exports on the system bus, as BlueZ 5.66 behaves: an adapter,
devices advertising while discovery runs, their GATT objects while connected,
and the calls made to them, recorded as events for the scenarios to check."""

import socket

import dbus, dbus.service  # noqa: E401
from gi.repository import GLib

WAIT = 20.0
# How often a meter advertises, and how long BlueZ takes to read its services, as the bench has them; the
# worlds hurry both, since each world waits for them.
PACE, HURRIED_PACE = {"advertising_ms": 200, "resolve_ms": 150}, {"advertising_ms": 100, "resolve_ms": 50}
# The driver gives the link 1 s and its resolution 2 s; on Qt Bluetooth alone one budget covers both.
CONNECT_TIMEOUT = {"bluez": 1.0, "plain": 3.0}
METER, ADDRESS, READINGS = "TH-Meter", "C4:7C:8D:6A:11:01", ["23.5 \u02daC", "45.6 %RH"]
# A measurement request through Qt's WriteValue, or through the socket of AcquireWrite.
REQUEST, ACQUIRED_REQUEST = "WriteValue FF01 5e command", "Acquired write FF01 5e"
MTU = 23  # the ATT default, which the meter keeps
CCC_WRITE_MS = 30  # the meter's answer to the write of a 0x2902, which StartNotify and AcquireNotify await
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


def requests(events):
    return events.count(REQUEST) + events.count(ACQUIRED_REQUEST)


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
    # Its FF02 subscription needs encryption: BlueZ holds it while pairing, which fails. On a BlueZ without
    # AcquireNotify, so that Qt's StartNotify is what waits.
    "gatt-pairing-meter": {"pairing_ms": 1700, "acquiring": False},  # a poll comes meanwhile
    # Paired by BlueZ, but the meter lost the keys: its 2A29 asks for encryption that BlueZ cannot raise.
    "gatt-paired-meter": {"address": "C4:7C:8D:6A:11:06", "names": ["TH-Meter 6"], "paired": True, "unpaired_read": True},
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
    "slow-closing-meter": {"disconnect_ms": 700, "resolve_ms": 400},  # like BlueZ's 2 s
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
    # A BlueZ before 5.46 has neither AcquireWrite nor AcquireNotify; another program subscribed to FF02 already.
    "meter-on-old-bluez": {"acquiring": False}, "shared-meter": {"others_notified": True},
    "left-connected-meter": {"left_connected": True},  # another program's link, or one a killed run left up
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
        resolve_ms = self.kind.get("resolve_ms", self.fake.pace["resolve_ms"])
        GLib.timeout_add(resolve_ms, self.fake.resolve_services, self, self.links)
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
        if self.device.kind.get("unpaired_read") and self.uuid == 0x2A29:
            raise error("NotPermitted", "Not paired")
        value = bytes([self.device.kind["battery"]]) if self.uuid == 0x2A19 else b"Fake Instruments"
        self.update({"Value": dbus.ByteArray(value)})  # BlueZ's cache announces it before the answer
        return dbus.ByteArray(value)

    @dbus.service.method(BLUEZ + "GattCharacteristic1", "aya{sv}")
    def WriteValue(self, value, options):
        self.fake.events.append("WriteValue %04X %s %s" % (self.uuid, bytes(value).hex(), options.get("type", "")))
        if "WriteAcquired" in self.sockets:
            raise error("NotPermitted", "Write acquired")
        # BlueZ sends a write command whatever the flags say (gatt-client.c); a device drops one it does not allow.
        dropped = options.get("type") == "command" and "write-without-response" not in self.props["Flags"]
        self.written(bytes(value), dropped)

    def written(self, value, dropped=False):
        if self.uuid == 0xFF01 and value == b"\x5e" and not dropped:
            self.fake.answer_measurement_request(self.device)

    # AcquireWrite and AcquireNotify as characteristic_acquire_write/_notify() and create_sock() in gatt-client.c:
    # one end of a socket pair and the MTU; closing either end gives the characteristic back.
    @dbus.service.method(BLUEZ + "GattCharacteristic1", "a{sv}", "hq")
    def AcquireWrite(self, options):
        self.fake.events.append("AcquireWrite %04X" % self.uuid)
        self.acquirable("WriteAcquired")
        return self.acquire("WriteAcquired")

    @dbus.service.method(BLUEZ + "GattCharacteristic1", "a{sv}", "hq", async_callbacks=("reply", "failed"))
    def AcquireNotify(self, options, reply, failed):
        self.fake.events.append("AcquireNotify %04X" % self.uuid)
        self.acquirable("NotifyAcquired")
        if self.props.get("Notifying") or self.others_notified:  # a notify session is on: this client's or another's
            raise error("InProgress", "In Progress")
        refused = self.device.kind.get("refuses_requests") or ("pairing_ms" in self.device.kind and self.uuid == 0xFF02)
        if refused:  # the device refused the subscription: register_notify_io_cb() drops it, and 5.66 never answers;
            self.sockets["NotifyAcquired"] = None  # its notify_io stays, so that StartNotify says "Notify acquired"
            return
        self.sockets["NotifyAcquired"] = None  # answered once the meter confirmed its 0x2902 written
        GLib.timeout_add(CCC_WRITE_MS, self.notify_acquired, reply, failed)

    def notify_acquired(self, reply, failed):
        if self.path in self.fake.objects and "NotifyAcquired" in self.sockets:
            reply(*self.acquire("NotifyAcquired"))
        else:
            failed(error("Failed", "Not connected"))

    def acquirable(self, lock):
        if not self.device.kind.get("acquiring", True):
            raise dbus.DBusException("Unknown method", name="org.freedesktop.DBus.Error.UnknownMethod")
        if lock in self.sockets:
            raise error("NotPermitted", lock.replace("Acquired", " acquired"))
        if lock not in self.props:  # no write-without-response or notify flag
            raise error("NotSupported", "Operation is not supported")

    def acquire(self, lock):
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        ours.setblocking(False)
        passed = dbus.types.UnixFd(theirs)  # a duplicate, which the reply carries
        theirs.close()
        self.sockets[lock] = ours
        GLib.io_add_watch(ours.fileno(), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, self.on_socket, lock, ours)
        self.update({lock: True})
        return passed, dbus.UInt16(MTU)

    def on_socket(self, fd, condition, lock, sock):
        if self.sockets.get(lock) is not sock:
            return False
        try:
            value = sock.recv(512)
        except BlockingIOError:
            return True
        except OSError:
            value = b""
        if value and lock == "WriteAcquired":  # sock_read(): each message is a write command
            self.fake.events.append("Acquired write %04X %s" % (self.uuid, value.hex()))
            self.written(value, "write-without-response" not in self.props["Flags"])
            return True
        self.release(lock)  # the client closed its end
        return False

    def release(self, lock, link_lost=False):
        sock = self.sockets.pop(lock, None)
        if sock is not None:
            if link_lost:  # btd_gatt_client_disconnected() shuts the sockets down
                sock.shutdown(socket.SHUT_RDWR)
            sock.close()
        if not link_lost and self.path in self.fake.objects:
            self.update({lock: False})

    def notify_value(self, value):
        """Sends a notification to the subscribers: through the acquired socket, or as Value (not both)."""
        if self.sockets.get("NotifyAcquired"):
            try:
                self.sockets["NotifyAcquired"].send(value)
            except OSError:  # notify_io_cb() only logs a failed sendmsg
                pass
        elif self.props.get("Notifying") or self.others_notified:
            self.update({"Value": dbus.ByteArray(value)})
        else:
            return False
        return True

    @dbus.service.method(BLUEZ + "GattCharacteristic1", async_callbacks=("reply", "failed"))
    def StartNotify(self, reply, failed):
        self.fake.events.append("StartNotify %04X" % self.uuid)
        if self.device.closing:  # characteristic_start_notify() in gatt-client.c
            raise error("NotConnected", "Not Connected")
        if "NotifyAcquired" in self.sockets:
            raise error("NotPermitted", "Notify acquired")
        if "Notifying" not in self.props:
            raise error("NotSupported", "Operation is not supported")
        if self.device.kind.get("refuses_requests"):
            raise error("NotPermitted", "Notify not permitted")
        if "pairing_ms" in self.device.kind and self.uuid == 0xFF02:  # its CCCD asks for encryption
            return self.refuse_unpaired(failed)
        if self.props["Notifying"]:  # this client's session is on already
            return reply()
        GLib.timeout_add(CCC_WRITE_MS, self.notifying, reply, failed)

    def notifying(self, reply, failed):  # register_notify_cb(): once the meter confirmed its 0x2902 written
        if self.path not in self.fake.objects:
            return failed(error("Failed", "Not connected"))
        self.update({"Notifying": True})
        reply()

    def refuse_unpaired(self, failed):
        """BlueZ raises the link's security and holds the request while it pairs; pairing fails (no agent, or the user
        declined): "Not paired". A repeat on the same link is refused at once."""
        refusal = error("NotPermitted", "Not paired")
        if self.device.refusals:
            raise refusal
        self.device.refusals += 1
        GLib.timeout_add(self.device.kind["pairing_ms"], lambda: self.fake.events.append(
            "Refused StartNotify %04X" % self.uuid) or failed(refusal))

    @dbus.service.method(BLUEZ + "GattCharacteristic1")
    def StopNotify(self):
        if "NotifyAcquired" in self.sockets:  # closes the acquired socket, whoever asks
            self.release("NotifyAcquired", link_lost=True)
            self.update({"NotifyAcquired": False})
        else:
            self.update({"Notifying": False})


class Fake(dbus.service.Object):
    """bluetoothd's object manager, its objects, and the calls the application made."""

    def __init__(self, bus, adapters, devices, pace=PACE):
        super().__init__(bus, "/")
        self.pace = pace
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
            GLib.timeout_add(pace["advertising_ms"], self.advertise)  # devices in range advertise while discovery runs
        self.devices = []
        for kind in ({"address": ADDRESS, "names": [METER], "rssi": -58, "gatt": METER_GATT, **DEVICES[name]}
                     for name in devices):
            address = kind["address"]
            self.devices.append(Obj(self, hci + "/dev_" + address.replace(":", "_"), "Device1", {
                # BlueZ names a device it has no name for by its address.
                "Address": address, "Alias": kind.get("cached", kind.get("alias", address.replace(":", "-"))),
                "Paired": kind.get("paired", False),
                "AddressType": "public", "Connected": False, "ServicesResolved": False,
                "Adapter": dbus.ObjectPath(hci), "UUIDs": dbus.Array([uuid(s) for s, _ in kind["gatt"]], "s"),
                "ManufacturerData": dbus.Dictionary({dbus.UInt16(0x004C): dbus.ByteArray(b"\x02\x15\xab")}, "qv"),
                "ServiceData": dbus.Dictionary({uuid(0xFFF0): dbus.ByteArray(b"\x01\x02")}, "sv")},
                kind=kind, adverts=0, frames=0, gatt=[], pending=None, aborts=0, closing=0, links=0, refusals=0))
            if "cached" in kind:
                self.export(self.devices[-1]).props["Name"] = kind["cached"]
            if "left_connected" in kind:  # its services read already
                device = self.export(self.devices[-1])
                device.props["Connected"], device.links = True, 1
                self.resolve_services(device, 1)

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
        if not device.props["Connected"] or device.links != link or device.closing:  # Disconnect ends the reading
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
                props.update({"Notifying": False, "NotifyAcquired": False} if "notify" in flags else {})
                props.update({"WriteAcquired": False} if "write-without-response" in flags else {})
                path = "%s/char%04x" % (service.path, short)
                device.gatt.append(self.export(Obj(self, path, "GattCharacteristic1", props, uuid=short, device=device,
                                                   sockets={}, others_notified=device.kind.get("others_notified")), True))
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
            for obj in device.gatt:  # the sockets first, before the link is said to be down
                for lock in list(getattr(obj, "sockets", {})):
                    obj.release(lock, link_lost=True)
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
        if measurement and measurement.notify_value(frame):
            device.frames += 1
            if device.frames == device.kind.get("drop_after_frames"):
                self.events.append("Dropped " + ADDRESS)
                self.drop(device)
