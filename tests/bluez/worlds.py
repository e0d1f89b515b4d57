"""The worlds the program is tried in: the adapter, the devices, and the scenario."""

import os, signal, time  # noqa: E401

from bluez_objects import ADDRESS, CONNECT_TIMEOUT, HURRIED_PACE, METER, READINGS, REQUEST, requests


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
# BlueZ's extras take FF02's notifications through AcquireNotify's socket; Qt Bluetooth alone starts them over D-Bus.
SUBSCRIPTION = {"bluez": "AcquireNotify FF02", "plain": "StartNotify FF02"}
# Every frame the meter notified reached the controller once (checked once the meter stopped answering).
SAME_FRAMES = ("check", lambda s: s.output.count("data update value Optional(19 bytes)") == s.fake.devices[0].frames,
               "frames were lost or doubled")
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
        ("sleep", 3 * HURRIED_PACE["advertising_ms"] / 1000), "show",  # let repeats come: they must not be reported
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
        ("check", lambda s: requests(s.fake.events) == 1, "the first request went out before the subscription"),
        ("log", r"Subscribed\. Notification has begun for: FF02"),
        ("event", "StopDiscovery"), ("event", SUBSCRIPTION), ("polled", 2),  # the poll repeats
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
        ("rows", METER), ("sleep", {stack: budget + 0.2 for stack, budget in CONNECT_TIMEOUT.items()}),
        ("absent", "Failed to connect", "a withdrawn attempt was reported as failed"),
        ("absent", "Disconnect error", "a withdrawn attempt was reported as an error"), "quit"]),
    # Drops after its first answer: the loss is reported, the poll stops, the readings stay.
    "meter_drops": ("on", ["dropping-meter"], CONNECT_TO_METER + [
        ("readings",), ("event", "Dropped " + ADDRESS), ("log", r'Disconnect error: Optional\("%s"\)' % LOST),
        ("mark",), ("sleep", 1.1),  # past the next poll: the driver polls every second
        ("check", lambda s: requests(s.fake.events) == s.marked[1], "requests went on after the drop"),
        "show", ("check", lambda s: s.shown[2] == READINGS, "the last readings were lost"),
        ("status", r"Disconnected from %s\. Is the meter still in range and switched on\? Reconnect connects again\." % METER),
        ("mark",), "reconnect", ("status", "Connecting to " + METER + "…|Connected to " + METER),
        ("event", "Connect " + ADDRESS, 2), ("resumed",), ("status", "Connected to " + METER), "quit"]),
    # FF02 without its 0x2902 descriptor cannot notify: the request fails at once.
    "meter_without_cccd": ("on", ["meter-without-cccd"], CONNECT_TO_METER + [
        ("log", r'Error changing notification state:Optional\(".*0x2902.*"\)', 2), ("polled",),
        ("absent", "StartNotify", "notifications were asked of BlueZ without a descriptor"),
        ("absent", "Subscribed.", "a subscription was reported"), "quit"]),
    # Refused reads and notification requests reach the controller as errors, each its own. BlueZ leaves the
    # AcquireNotify of a refused subscription unanswered and its StartNotify refused: the failure is the backend's
    # to report, with what the user may do.
    "meter_refuses_requests": ("on", ["refusing-requests-meter"], CONNECT_TO_METER + [
        ("log", {"bluez": r"Bluetooth: TH-Meter did not confirm notifications of FF02 within 1\.5 s; if BlueZ is pairing "
                          r"the meter, accept the system's pairing request, or pair it: bluetoothctl pair " + ADDRESS,
                 "plain": r'Error changing notification state:Optional\("DescriptorWriteError"\)'}),
        ("log", r'Error changing notification state:Optional\("DescriptorWriteError"\)', 2),
        ("log", "didUpdateValueFor characteristic UUID: 2A29"),
        ("check", lambda s: s.output[s.output.index("didUpdateValueFor characteristic UUID: 2A29") + 1]
         == "data update value nil", "a refused read came with a value"),
        ("absent", "Subscribed.", "a refused subscription was reported as made"), "quit",
        ("check", lambda s: s.stack == "plain" or "StartNotify FF02" not in s.fake.events,
         "Qt's StartNotify was sent where BlueZ refuses it")]),
    # Refusals the user can act on end in a status line that says what to do.
    "connection_needs_rights": ("on", ["pairing-meter", "forbidden-meter"], CONNECT_TO_METER + [
        ("status", r"Could not connect to %s: Authentication Failed; the meter asks for pairing: bluetoothctl pair %s\. .*"
         % (METER, ADDRESS)), "scan on", ("rows", "TH-Meter 5"), "select TH-Meter 5",
        ("status", r"Could not connect to TH-Meter 5: Rejected send message; this user may not use Bluetooth: join the "
                   r"bluetooth group \(sudo usermod -aG bluetooth \$USER\) and log in again\. .*"), "quit"], EXTRAS),
    # Its subscription waits while BlueZ pairs, then is refused "Not paired": the wait and then the refusal are said
    # with what to do, within seconds; the poll's writes do not pile up behind the subscription meanwhile. A meter
    # BlueZ has paired already is to be paired anew.
    "meter_asks_for_pairing": ("on", ["gatt-pairing-meter", "gatt-paired-meter"], CONNECT_TO_METER + [
        ("status", r"%s has not answered a request for 1\.5 s; writes to it wait for that answer; if BlueZ is pairing "
                   r"the meter, accept the system's pairing request, or pair it: bluetoothctl pair %s" % (METER, ADDRESS)),
        ("event", "Refused StartNotify FF02"), ("mark",), ("sleep", 0.3),  # the first request and a poll wait: one goes out
        ("check", lambda s: s.fake.events.count(REQUEST) <= 1 + s.output[s.marked[2]:].count("sending data"),
         "writes piled up behind the unanswered subscription"),
        ("status", r"%s refused to notify FF02: Not paired; the meter asks for pairing: bluetoothctl pair %s" % (METER, ADDRESS)),
        ("log", r'Error changing notification state:Optional\("DescriptorWriteError"\)'),
        ("check", lambda s: sum(line.startswith("Bluetooth: ") and "refused to notify" in line for line in s.errors) == 1
         and s.fake.events.count("StartNotify FF02") == 3, "the refusal was not asked about and said once"),
        "scan on", ("rows", "TH-Meter 6"), "select TH-Meter 6", ("status", r"TH-Meter 6 refused to read 2A29: Not paired; "
        r"the meter no longer takes its pairing: bluetoothctl remove (C4:7C:8D:6A:11:06), then bluetoothctl pair \1"),
        "quit"], EXTRAS),
    # The meter changes its services while connected: the link is closed and said lost; Reconnect reads it again.
    "services_changed": ("on", ["meter"], CONNECT_TO_METER + [("readings",), ("services_change",),
        ("log", r'Disconnect error: Optional\("The meter changed its services; a new connection reads them again\."\)'),
        ("event", "Disconnect " + ADDRESS), ("mark",), "reconnect", ("resumed",), "quit"]),
    # Connect is never answered and a second one is refused while resolving: the link is taken up all the same.
    "dual_mode_meter": ("on", ["dual-mode-meter"], CONNECT_TO_METER + [("readings",),
        ("check", lambda s: s.fake.events.count("Connect " + ADDRESS) == 1, "Connect was asked again while resolving"),
        "quit", ("event", "Disconnect " + ADDRESS)]),
    # Connected and resolved before it is selected: the link is taken over as it is.
    "meter_left_connected": ("on", ["left-connected-meter"], CONNECT_TO_METER + [("readings",), "quit"]),
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
        "select " + METER, ("readings",), ("polled", 2), ("sleep", 0.8), ("mark",), "quit",
        ("check", lambda s: time.monotonic() - s.marked[0] < 2.5, "the quit waited too long for BlueZ"),
        ("check", lambda s: s.output.count("sending data") == requests(s.fake.events), "a poll was logged after the quit")], EXTRAS),
    # Stops answering while its link stays up: named silent within three polls; Reconnect gives a new link. (Answering
    # again on the same link is the window's own rule, shown over the simulated radio.)
    "meter_falls_silent": ("on", ["meter"], CONNECT_TO_METER + [
        ("readings",), ("answering", False), ("status", FALLEN_SILENT), ("mark",), "reconnect", ("event", "Disconnect " + ADDRESS),
        ("event", "Connect " + ADDRESS, 2), ("resumed",), ("status", "Connected to " + METER),
        ("absent", "Disconnect error", "the window's own closing was reported as a drop"), "quit"]),
    # Its Battery Level is read, then notified as it falls below 20 %.
    "meter_battery": ("on", ["battery-meter"], CONNECT_TO_METER + [
        ("readings",), ("battery_shown", "Battery 87 %"), ("event", {"bluez": "AcquireNotify 2A19", "plain": "StartNotify 2A19"}), ("battery", 15),
        ("battery_shown", r"Battery 15 % \(low\)"), "quit"]),
    # Each loss in its own words: Bluetooth switched off, then a clean stop of bluetoothd (which powers the adapter
    # off first, so that Qt Bluetooth alone can only tell the power).
    "link_losses": ("on", ["meter"], CONNECT_TO_METER + [
        ("readings",), ("power", False), ("log", r'Disconnect error: Optional\("Bluetooth was switched off\."\)'),
        ("power", True), ("log", "Bluetooth Enabled", 2), ("mark",), "reconnect", ("resumed",), ("bluetoothd", False, True),
        ("log", {"bluez": r'Disconnect error: Optional\("The Bluetooth service \(bluetoothd\) stopped\."\)',
                 "plain": r'Disconnect error: Optional\("Bluetooth was switched off\."\)'}, {"bluez": 1, "plain": 2}),
        ("absent", "The connection was lost", "a loss the stack explained was called unexplained"), "quit"]),
    # The adapter is unplugged while connected: the loss names it, and no adapter is usable. (Qt Bluetooth alone names
    # the device BlueZ removed first, and does not notice the adapter gone.)
    "adapter_unplugged": ("on", ["meter"], CONNECT_TO_METER + [("readings",), ("unplug",), ("log", {
        "bluez": r'Disconnect error: Optional\("The Bluetooth adapter was removed\."\)',
        "plain": r'Disconnect error: Optional\("Remote device cannot be found"\)'}),
        ("status", {"bluez": "No usable Bluetooth adapter.*", "plain": "Disconnected from TH-Meter: Remote device .*"}),
        "quit"]),
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
    # BlueZ's extras poll through the sockets of AcquireWrite and AcquireNotify: no D-Bus call a poll, each frame
    # passed on once; an empty or oversized notification passes on like any other.
    "acquired_channels": ("on", ["meter"], CONNECT_TO_METER + [
        ("readings",), ("event", "AcquireWrite FF01"), ("event", "AcquireNotify FF02"), ("polled", 2),
        ("check", lambda s: s.gatt(0xFF01).props["WriteAcquired"] and s.gatt(0xFF02).props["NotifyAcquired"],
         "the characteristics were not acquired"),
        ("absent", "StartNotify", "notifications were started over D-Bus"), ("absent", "WriteValue", "a request went over D-Bus"),
        ("notify", b""), ("notify", bytes(300)), ("log", r"data update value Optional\(0 bytes\)"),
        ("log", r"data update value Optional\(300 bytes\)"), ("mark",), ("resumed",), ("answering", False), ("sleep", 0.5),
        SAME_FRAMES, "quit"], EXTRAS),
    # BlueZ refuses the sockets: a BlueZ before 5.46 knows neither call; another program's notify session holds FF02
    # (and BlueZ's WriteValue is refused while a write socket is held). Qt's D-Bus calls carry the poll then.
    "acquiring_unknown_to_bluez": ("on", ["meter-on-old-bluez"], CONNECT_TO_METER + [
        ("readings",), ("event", "AcquireNotify FF02"), ("event", "StartNotify FF02"), ("event", REQUEST, 2),
        ("absent", "Acquired write", "a request went through a socket BlueZ never gave"), "quit"], EXTRAS),
    "notifications_shared_with_another_program": ("on", ["shared-meter"], CONNECT_TO_METER + [
        ("readings",), ("event", "AcquireNotify FF02"), ("event", "StartNotify FF02"), ("event", REQUEST, 2),
        ("check", lambda s: not s.gatt(0xFF01).props["WriteAcquired"], "FF01's socket was kept beside Qt's subscription"),
        ("answering", False), ("sleep", 0.5), SAME_FRAMES, "quit"], EXTRAS),
    # The link drops while the sockets are held: the loss is reported once, as a loss; a new link acquires them again.
    "acquired_link_lost": ("on", ["dropping-meter"], CONNECT_TO_METER + [
        ("readings",), ("event", "Dropped " + ADDRESS), ("log", r'Disconnect error: Optional\("%s"\)' % LOST), ("sleep", 0.5),
        ("check", lambda s: sum(line.startswith("Disconnect error") for line in s.output) == 1, "the loss was reported twice"),
        ("check", lambda s: not any("notification channel" in line for line in s.errors), "the loss was taken for a closed socket"),
        ("mark",), "reconnect", ("event", "AcquireNotify FF02", 2), ("resumed",), "quit"], EXTRAS),
    # BlueZ closes FF02's socket while the link stays up: said on standard error, and Qt's D-Bus calls carry on.
    "notify_socket_closed": ("on", ["meter"], CONNECT_TO_METER + [("readings",), ("close_channel",),
        ("log", r"Bluetooth: the stack closed the notification channel of FF02 of TH-Meter; subscribing through Qt again"),
        ("event", "StartNotify FF02"), ("mark",), ("event", REQUEST), ("resumed",),
        ("check", lambda s: "Disconnect " + ADDRESS not in s.fake.events, "the link was closed"), "quit"], EXTRAS),
    # Connected, but with nothing to read: the status says so. Quitting closes the link.
    "no_measurement_service": ("on", ["meter-without-services"], CONNECT_TO_METER + [
        ("status", METER + r" offers no measurement service \(no FF01/FF02\)"), "quit", ("event", "Closed " + ADDRESS),
        ("check", lambda s: s.fake.events.index("Closed " + ADDRESS) < s.fake.events.index("Program ended"),
         "the program ended before BlueZ closed the link")]),
}
