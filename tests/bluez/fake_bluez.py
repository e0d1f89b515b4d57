#!/usr/bin/python3
"""The application over Qt Bluetooth against a fake BlueZ: serves one of WORLDS
on a private system bus from this process (what bluetoothd exports: an adapter,
devices advertising while discovery runs, their GATT objects while connected),
runs the window driver on it like a user, and checks the log, the window and
the calls made to BlueZ. STACK says how the program was built: "bluez" with
BlueZ's extras, "plain" on Qt Bluetooth alone, as on macOS and Windows.
Usage: fake_bluez.py DRIVER APP WORLD STACK, or fake_bluez.py --worlds STACK"""

import os, subprocess, sys, tempfile  # noqa: E401

import dbus, dbus.mainloop.glib  # noqa: E401
from gi.repository import GLib

from bluez_objects import BUS_CONFIG, HURRIED_PACE, Fake
from session import Failure, Session, check
from worlds import BLUETOOTHD, EXTRAS, UNFORCED, WORLDS


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

    GLib.timeout_add(5, step)
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
            fake = Fake(dbus.bus.BusConnection("unix:path=" + socket), adapter, devices, HURRIED_PACE)
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
