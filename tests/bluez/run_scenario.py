#!/usr/bin/python3
"""Runs one end-to-end scenario of the application against the fake BlueZ.

Each scenario starts its own private dbus-daemon as the system bus, the fake
org.bluez service on it (unless the scenario has none), and the window
driver: the application's window over the Qt Bluetooth backend on the
offscreen platform, steered through its standard input like a user would.
The scenario then checks the application's log (its standard output), what
the window shows and what the application asked of BlueZ.

Usage: run_scenario.py --driver PATH --app PATH --fake PATH [--show] SCENARIO
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

WAIT = 20.0
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

METER = "TH-Meter"
METER_ADDRESS = "C4:7C:8D:6A:11:01"
TEMPERATURE = "23.5 \u02daC"
HUMIDITY = "45.6 %RH"


class ScenarioFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise ScenarioFailure(message)


def wait_until(condition, message, timeout=WAIT):
    """Waits until condition() gives a true value, which it returns."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise ScenarioFailure("waited %.0f s for %s" % (timeout, message))
        time.sleep(0.1)


class Lines:
    """The lines a child writes on one stream, collected as they come."""

    def __init__(self, stream):
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def snapshot(self):
        with self.lock:
            return list(self.lines)


class Processes:
    """The children of one scenario, ended in reverse order of their start."""

    def __init__(self):
        self.children = []

    def start(self, command, **options):
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **options)
        self.children.append(child)
        return child

    def end_all(self):
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()


class Scenario:
    def __init__(self, options, folder, processes):
        self.options = options
        self.processes = processes
        self.socket = os.path.join(folder, "system_bus_socket")
        config = os.path.join(folder, "bus.conf")
        with open(config, "w") as out:
            out.write(BUS_CONFIG.format(socket=self.socket))
        self.address = "unix:path=" + self.socket
        daemon = processes.start(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"])
        wait_until(lambda: os.path.exists(self.socket), "the private system bus")
        self.daemon_output = Lines(daemon.stdout)
        self.fake_output = None
        self.control_proxy = None
        self.app = None
        self.app_output = None
        self.app_errors = None

    # The fake BlueZ.

    def start_bluez(self, *arguments):
        fake = self.processes.start([sys.executable, self.options.fake, *arguments], env=self.environment())
        self.fake_output = Lines(fake.stderr)
        wait_until(lambda: "fake-bluez: ready" in self.fake_output.snapshot(), "the fake BlueZ")

    def control(self):
        if self.control_proxy is None:
            bus = dbus.bus.BusConnection(self.address)
            self.control_proxy = dbus.Interface(bus.get_object("org.bluez", "/test/control"),
                                                "test.FakeBluez.Control")
        return self.control_proxy

    def events(self):
        return [str(event) for event in self.control().Events()]

    def wait_event(self, pattern, message):
        return wait_until(lambda: [e for e in self.events() if re.fullmatch(pattern, e)], message)

    # The application.

    def environment(self):
        environment = dict(os.environ)
        environment.update({
            "DBUS_SYSTEM_BUS_ADDRESS": self.address,
            "QT_QPA_PLATFORM": "offscreen",
            # Qt takes BlueZ's D-Bus GATT API only from bluetoothd 5.42 on; it
            # learns the version from the bus name's owner, here a Python.
            "BLUETOOTH_FORCE_DBUS_LE_VERSION": "5.66",
        })
        return environment

    def start_app(self, program=None):
        self.app = self.processes.start([program or self.options.driver], stdin=subprocess.PIPE,
                                        env=self.environment())
        self.app_output = Lines(self.app.stdout)
        self.app_errors = Lines(self.app.stderr)

    def log(self):
        return self.app_output.snapshot()

    def wait_log(self, pattern, timeout=WAIT, count=1):
        """Waits for count log lines that match the pattern; returns them all."""
        def matching():
            found = [line for line in self.log() if re.fullmatch(pattern, line)]
            return found if len(found) >= count else None
        return wait_until(matching, "%d log line(s) matching %r" % (count, pattern), timeout)

    def ask(self, command):
        """Sends a command to the window driver and returns its answer."""
        answers_before = len(self.answers())
        self.app.stdin.write((command + "\n").encode())
        self.app.stdin.flush()
        return wait_until(lambda: self.answers()[answers_before:], "the driver's answer to " + command)[0]

    def answers(self):
        return [line[len("driver: "):] for line in self.app_errors.snapshot() if line.startswith("driver: ")]

    def rows(self):
        answer = self.ask("rows")
        names = answer[len("rows "):]
        return names.split("|") if names else []

    def wait_rows(self, *names):
        return wait_until(lambda: set(names) <= set(self.rows()), "rows %s" % ", ".join(names))

    def readings(self):
        return tuple(self.ask("readings")[len("readings "):].split("|"))

    def quit(self):
        check(self.ask("quit") == "quitting", "the driver did not quit")
        self.app.stdin.close()
        check(self.app.wait(timeout=WAIT) == 0, "the application ended with exit code %s" % self.app.returncode)

    def report(self):
        print("---- application log ----")
        print("\n".join(self.log() if self.app_output else []))
        print("---- application errors ----")
        print("\n".join(self.app_errors.snapshot() if self.app_errors else []))
        print("---- fake BlueZ ----")
        print("\n".join(self.fake_output.snapshot() if self.fake_output else []))


def reports_of(log, identifier):
    """The discovery reports in the log that name the peripheral."""
    return [line for line in log if line.startswith("Peripheral info: ") and identifier in line]


def scan_finds_meter(scenario):
    check(scenario.ask("scan on") == "scan on", "the scan button did not switch on")
    scenario.wait_rows(METER)


def scan_and_connect(scenario):
    scan_finds_meter(scenario)
    check(scenario.ask("select " + METER).startswith("selected"), "the meter's row could not be selected")


def scenario_meter_readings(scenario):
    """From the scan to both readings; unnamed and remembered devices; poll; rescan."""
    scenario.start_bluez("--device", "meter", "--device", "unnamed", "--device", "late-name",
                         "--device", "cached", "--device", "remembered")
    scenario.start_app()
    scenario.wait_log(r"Bluetooth Enabled")
    check(scenario.ask("scan on") == "scan on", "the scan button did not switch on")
    scenario.wait_rows(METER, "Late Sensor", "Remembered Sensor")
    # Let every device advertise a few more times: repeats must not be reported.
    time.sleep(1.5)
    log = scenario.log()
    rows = scenario.rows()
    check(len(rows) == 3, "the device list shows %s" % rows)
    check(len(reports_of(log, METER_ADDRESS)) == 1, "the meter was reported more than once in one scan")
    unnamed = reports_of(log, "E8:10:00:00:00:07")
    check(len(unnamed) == 1 and "name = nil" in unnamed[0],
          "a device without a name must be reported once, without a name: %s" % unnamed)
    check(not any("E8-10-00-00-00" in line for line in log), "an address stood in for a name")
    late = reports_of(log, "E8:10:00:00:00:08")
    check(len(late) == 2 and "name = nil" in late[0] and "Late Sensor" in late[1],
          "a device whose name came later must be reported again with it: %s" % late)
    check(not any("Cached Sensor" in line for line in log), "a remembered device that was not heard was reported")

    check(scenario.ask("select " + METER).startswith("selected"), "the meter's row could not be selected")
    wait_until(lambda: scenario.readings() == (TEMPERATURE, HUMIDITY), "both readings in the window")
    scenario.wait_log(r'Optional\("23\.5"\)')
    scenario.wait_log(r'Optional\("45\.6"\)')
    scenario.wait_log(r"Subscribed\. Notification has begun for: FF02")
    events = scenario.events()
    check("StopDiscovery" in events, "the scan was not stopped on selection")
    check("StartNotify FF02" in events, "notifications on FF02 were not enabled")
    check("WriteValue FF01 5e command" in events, "the measurement request was not written without response")
    # The poll repeats the request every 2 s.
    wait_until(lambda: scenario.events().count("WriteValue FF01 5e command") >= 3, "two polled requests")

    # A new scan closes the meter's connection: asked for, so without an error.
    scenario.ask("scan on")  # the selection switched the button off
    scenario.wait_event(r"Disconnect " + METER_ADDRESS, "the connection to be closed")
    scenario.wait_log(r"Disconnected from peripheral: .*" + METER_ADDRESS + ".*")
    check(not any(line.startswith("Disconnect error") for line in scenario.log()),
          "a disconnection the user asked for was reported as an error")
    scenario.wait_rows(METER)
    scenario.quit()


def check_scan_refused(scenario, reason):
    scenario.wait_log(r"Bluetooth Disabled- Make sure your Bluetooth is turned on")
    check(scenario.ask("scan on") == "scan on", "the scan button did not switch on")
    scenario.wait_log(r"Bluetooth: scan failed: " + reason)
    check(scenario.rows() == [], "devices were listed without a usable adapter")
    check(scenario.ask("scan off") == "scan off", "the scan button did not switch off")
    scenario.wait_log(r"Scan Stopped")


def check_without_adapter(scenario):
    scenario.start_app()
    scenario.wait_log(r"Bluetooth: no usable Bluetooth adapter.*")
    check_scan_refused(scenario, r".+")
    scenario.quit()


def scenario_no_bluez(scenario):
    """No org.bluez on the system bus: the radio is unusable, and the log says why."""
    check_without_adapter(scenario)


def scenario_no_adapter(scenario):
    """BlueZ runs but has no adapter."""
    scenario.start_bluez("--adapter", "none")
    check_without_adapter(scenario)


def scenario_adapter_powered_off(scenario):
    """A powered-off adapter refuses the scan; switched on, the next scan finds the meter."""
    scenario.start_bluez("--adapter", "off", "--device", "meter")
    scenario.start_app()
    scenario.wait_log(r"Bluetooth: adapter .* is powered off")
    check_scan_refused(scenario, r"Device is powered off")
    check("StartDiscovery" not in scenario.events(), "discovery was asked of a powered-off adapter")
    scenario.control().SetPowered(True)
    scenario.wait_log(r"Bluetooth: adapter .* is powered on")
    scenario.wait_log(r"Bluetooth Enabled")
    check(scenario.log().count("centralManagerDidUpdateState") == 2, "each radio state is reported once")
    scan_finds_meter(scenario)
    scenario.quit()


def scenario_connection_refused(scenario):
    """The meter refuses the connection: a failed connection with Qt's text."""
    scenario.start_bluez("--device", "refusing-meter")
    scenario.start_app()
    scan_and_connect(scenario)
    scenario.wait_log(r"Failed to connect to peripheral")
    scenario.wait_log(r"Bluetooth: connection to .*" + METER_ADDRESS + r".* failed: .+")
    check("Connection complete" not in scenario.log(), "a refused connection was reported as made")
    # The application stays usable.
    scan_finds_meter(scenario)
    scenario.quit()


def start_attempt_on_silent_meter(scenario):
    scenario.start_bluez("--device", "silent-meter")
    scenario.start_app()
    scan_and_connect(scenario)
    scenario.wait_event(r"Connect " + METER_ADDRESS, "the connection attempt")


def scenario_connection_times_out(scenario):
    """A meter that never answers: the attempt fails after 10 s, not Qt's 25 s."""
    start_attempt_on_silent_meter(scenario)
    started = time.monotonic()
    scenario.wait_log(r"Failed to connect to peripheral", timeout=WAIT)
    elapsed = time.monotonic() - started
    check(8.0 <= elapsed <= 17.0, "the attempt failed after %.1f s instead of 10 s" % elapsed)
    scenario.wait_log(r"Bluetooth: connection to .* failed: The connection attempt timed out\..*")
    # The attempt is withdrawn from BlueZ too.
    scenario.wait_event(r"Disconnect " + METER_ADDRESS, "the attempt to be withdrawn")
    scenario.quit()


def scenario_connection_cancelled(scenario):
    """A new scan withdraws a pending attempt: no failure follows, and the meter is found again."""
    start_attempt_on_silent_meter(scenario)
    check(scenario.ask("scan on") == "scan on", "the scan button did not switch on")
    scenario.wait_event(r"Disconnect " + METER_ADDRESS, "the attempt to be withdrawn")
    scenario.wait_log(r"Disconnected from peripheral: .*" + METER_ADDRESS + ".*")
    scenario.wait_rows(METER)
    time.sleep(11)  # past the connect time-out of the withdrawn attempt
    check("Failed to connect to peripheral" not in scenario.log(), "a withdrawn attempt was reported as failed")
    check(not any(line.startswith("Disconnect error") for line in scenario.log()),
          "a withdrawn attempt was reported as an error")
    scenario.quit()


def scenario_meter_drops(scenario):
    """The meter drops after a few frames: the loss is reported and the poll stops."""
    scenario.start_bluez("--device", "dropping-meter")
    scenario.start_app()
    scan_and_connect(scenario)
    wait_until(lambda: scenario.readings() == (TEMPERATURE, HUMIDITY), "both readings in the window")
    scenario.wait_event(r"Dropped " + METER_ADDRESS, "the meter to drop the connection")
    scenario.wait_log(r"Disconnected from peripheral: .*" + METER_ADDRESS + ".*")
    scenario.wait_log(r'Disconnect error: Optional\(".+"\)')
    requests = scenario.events().count("WriteValue FF01 5e command")
    time.sleep(4.5)  # two poll periods
    check(scenario.events().count("WriteValue FF01 5e command") == requests,
          "measurement requests were still sent after the connection dropped")
    check(scenario.readings() == (TEMPERATURE, HUMIDITY), "the last readings were lost")
    scenario.quit()


def scenario_meter_without_cccd(scenario):
    """FF02 without its 0x2902 descriptor cannot notify: the request fails at once."""
    scenario.start_bluez("--device", "meter-without-cccd")
    scenario.start_app()
    scan_and_connect(scenario)
    scenario.wait_log(r'Error changing notification state:Optional\(".*0x2902.*"\)', count=2)
    check("StartNotify FF02" not in scenario.events(), "notifications were asked of BlueZ without a descriptor")
    wait_until(lambda: scenario.events().count("WriteValue FF01 5e command") >= 2, "the polled requests")
    check(not any(line.startswith("Subscribed.") for line in scenario.log()), "a subscription was reported")
    check(scenario.readings() == ("", ""), "readings appeared without notifications: %s" % (scenario.readings(),))
    scenario.quit()


def scenario_meter_refuses_requests(scenario):
    """Refused reads and notification requests reach the controller as errors, each its own."""
    scenario.start_bluez("--device", "refusing-requests-meter")
    scenario.start_app()
    scan_and_connect(scenario)
    scenario.wait_log(r'Error changing notification state:Optional\("DescriptorWriteError"\)', count=2)
    log = scenario.log()
    read_answer = log.index("didUpdateValueFor characteristic UUID: 2A29")
    check(log[read_answer + 1] == "data update value nil", "a refused read came with a value")
    check(not any(line.startswith("Subscribed.") for line in log), "a refused subscription was reported as made")
    check(scenario.readings() == ("", ""), "readings appeared without notifications")
    scenario.quit()


def scenario_application_starts(scenario):
    """The thermohygro program itself starts on BlueZ and reports the radio."""
    scenario.start_bluez("--device", "meter")
    scenario.start_app(scenario.options.app)
    scenario.wait_log(r"Bluetooth: adapter .* is powered on")
    scenario.wait_log(r"Bluetooth Enabled")
    scenario.wait_log(r"View Cleared")
    scenario.app.send_signal(signal.SIGTERM)
    scenario.app.wait(timeout=WAIT)


SCENARIOS = {name[len("scenario_"):]: function for name, function in globals().items()
             if name.startswith("scenario_")}


def main():
    parser = argparse.ArgumentParser(description="Runs one scenario against the fake BlueZ.")
    parser.add_argument("--driver", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("--fake", required=True)
    parser.add_argument("--show", action="store_true", help="print the logs of a passing scenario too")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    options = parser.parse_args()

    processes = Processes()
    scenario = None
    with tempfile.TemporaryDirectory(prefix="fake-bluez-") as folder:
        try:
            scenario = Scenario(options, folder, processes)
            SCENARIOS[options.scenario](scenario)
            if options.show:
                scenario.report()
        except ScenarioFailure as failure:
            processes.end_all()
            if scenario:
                scenario.report()
            print("FAIL: %s: %s" % (options.scenario, failure))
            return 1
        finally:
            processes.end_all()
    print("PASS: %s" % options.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
