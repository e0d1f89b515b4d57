#!/usr/bin/python3
"""The application figures: runs bench/app_bench_demo, the window as
thermohygro-demo builds it (the simulated radio), bench/app_bench_bluez, as
thermohygro does (Qt Bluetooth, over the
fake BlueZ of tests/bluez on a private system bus), and bench/app_bench_plain, a
plain Qt Widgets reader over the same radio, each with accessibility off
and on. Off, the window is offscreen; on, it is on a virtual X display
(Xvfb), because Qt's offscreen platform has no accessibility bridge: a private
session bus runs the accessibility bus, and Qt's bridge is forced on as if a
screen reader listened. The six runs are started a few seconds apart, so that
their start-ups do not meet, and then poll side by side. Prints the rows of
bench/run.sh's table, "row|FIGURE|VALUE|UNIT|TARGET" or "note|TEXT"; the plain
reader's figures come in a table of their own, beside thermohygro's.
Usage: app_bench.py BENCH_FOLDER SECONDS_OF_POLLING
For profiling, BENCH_RUNS="bluez-a11y-on plain-a11y-on" picks runs by their labels, and
BENCH_WRAP="valgrind --tool=callgrind" puts a command before each program."""

import os, shlex, subprocess, sys, tempfile, threading, time  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "bluez"))
import dbus, dbus.mainloop.glib  # noqa: E401,E402
from gi.repository import GLib  # noqa: E402
import bluez_objects  # noqa: E402

STAGGER_S, ANSWER_SLACK_MS = 4, 20
STEPS = [("connected", "connect"), ("services", "services"), ("characteristics", "characteristics"),
         ("first_request", "first request"), ("subscribed", "subscription"), ("first_frame", "first frame")]


class StampedEvents(list):
    """The fake's record of the calls made to BlueZ, each with its monotonic time."""

    def __init__(self):
        super().__init__()
        self.times = []

    def append(self, event):
        self.times.append((event, time.monotonic()))
        super().append(event)


def bus(config_text, folder, name):
    """A private dbus-daemon in its own process group, so that what it starts ends with it."""
    config = os.path.join(folder, name + ".conf")
    with open(config, "w") as out:
        out.write(config_text % os.path.join(folder, name))
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    return daemon, daemon.stdout.readline().decode().strip()


# The standard session bus, which starts the accessibility bus launcher on demand.
SESSION_CONFIG = """<busconfig><type>session</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>
<standard_session_servicedirs/><policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>"""


class Run:
    def __init__(self, programs, program, accessible, seconds, folder, display):
        radio = "demo" if program == "demo" else "bluez"
        self.program, self.accessible, self.figures, self.events = program, accessible, {}, {}
        self.label = "%s a11y %s" % (program, "on" if accessible else "off")
        self.daemons, self.fake = [], None
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("DBUS_SESSION_BUS_ADDRESS", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "QT_ACCESSIBILITY")}
        environment.update(QT_QPA_PLATFORM="offscreen")
        tag = self.label.replace(" ", "-")
        if accessible:
            runtime = os.path.join(folder, tag)
            os.mkdir(runtime, 0o700)
            environment.update(XDG_RUNTIME_DIR=runtime)  # where the accessibility bus puts its socket
            daemon, address = bus(SESSION_CONFIG, folder, tag + "-session")
            self.daemons.append(daemon)
            environment.update(DBUS_SESSION_BUS_ADDRESS=address, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                               QT_QPA_PLATFORM="xcb", DISPLAY=display)
            # Qt's bridge looks for a running accessibility bus, as a desktop session starts it.
            subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                            "org.a11y.Bus.GetAddress"], env=environment, stdout=subprocess.DEVNULL, check=True)
        if radio == "bluez":
            daemon, address = bus(bluez_objects.BUS_CONFIG, folder, tag + "-system")
            self.daemons.append(daemon)
            self.fake = bluez_objects.Fake(dbus.bus.BusConnection(address), "on", ["meter"])
            self.fake.bus.request_name("org.bluez")
            self.fake.events = StampedEvents()
            self.resolved, self.frames = [], []
            for method, times in (("resolve_services", self.resolved), ("notify", self.frames)):
                self.stamp(method, times)
            environment.update(DBUS_SYSTEM_BUS_ADDRESS=address, BLUETOOTH_FORCE_DBUS_LE_VERSION="5.66")
        environment["BENCH_SPAWNED_AT"] = repr(time.monotonic())
        wrap = shlex.split(os.environ.get("BENCH_WRAP", ""))
        self.app = subprocess.Popen(wrap + [os.path.join(programs, "app_bench_" + program), str(seconds)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment)
        threading.Thread(target=self.read, daemon=True).start()

    def stamp(self, method, times):
        original = getattr(self.fake, method)

        def stamped(*arguments):
            times.append(time.monotonic())
            return original(*arguments)
        setattr(self.fake, method, stamped)

    def read(self):
        for raw in self.app.stderr:
            kind, _, rest = raw.decode(errors="replace").strip().partition(" ")
            name, _, value = rest.rpartition(" ")
            if kind in ("bench", "bench-events") and name:
                (self.figures if kind == "bench" else self.events)[name] = float(value)

    def end(self):
        if self.app.poll() is None:
            self.app.kill()
        self.app.wait()
        for daemon in self.daemons:
            os.killpg(daemon.pid, 9)
            daemon.wait()

    def radio_ms(self):
        """What the fake itself takes from the selection to the first frame: its wait before the
        services are resolved after the connection, and before it answers the request it answers."""
        times = self.fake.events.times
        connect = next((t for event, t in times if event.startswith("Connect ")), None)
        if connect is None or not self.resolved or not self.frames:
            return None
        request = max((t for event, t in times if event in (bluez_objects.REQUEST, bluez_objects.ACQUIRED_REQUEST)
                       and t < self.frames[0]), default=None)
        return None if request is None else (
            1000 * ((self.resolved[0] - connect) + (self.frames[0] - request)) + bluez_objects.CCC_WRITE_MS)

    def rows(self, seconds, short):
        f, name = self.figures.get, self.label
        yield "row", name + ": start to window shown", f("start_to_shown"), "ms", ""
        yield "row", name + ": scan start to meter's row", f("scan_to_row"), "ms", ""
        radio = self.radio_ms() if self.fake else None
        target = "%.0f" % (radio + ANSWER_SLACK_MS) if radio is not None else ""
        yield "row", name + ": selection to first reading", f("selection_to_reading"), "ms", target
        steps = ", ".join("%s %.0f" % (text, f("timeline_" + key)) for key, text in STEPS
                          if f("timeline_" + key) is not None)
        yield "note", "    after selection (ms): " + steps + (", the fake's own waits %.0f" % radio if radio else "")
        frames = "%d frames" % f("frames", 0)
        yield "row", name + ": frame to field p50 (%s)" % frames, f("frame_to_field_p50"), "ms", ""
        yield "row", name + ": frame to field p99 (%s)" % frames, f("frame_to_field_p99"), "ms", "2"
        polls = "%d polls" % f("polls", 0)
        yield "row", name + ": CPU per 100 polls (%s)" % polls, f("cpu_per_100_polls_ms"), "ms", \
            "200" if self.accessible else "100"
        yield "row", name + ": wake-ups per 100 polls, process", f("wakeups_per_100_polls"), "", ""
        yield "row", name + ": wake-ups per 100 polls, GUI thread", f("gui_wakeups_per_100_polls"), "", ""
        yield "row", name + ": timer wake-ups not due per 100 polls", f("undue_timers_per_100_polls"), "", "1"
        first = f("rss_first_reading_kb")
        yield "row", name + ": RSS after first reading", first and first / 1024, "MB", ""
        span = "%.0f s" % f("poll_span_s", 0) if short else "5 min"
        within = "%.2f" % (min(first * 1.02, 30 * 1024) / 1024) if first else "30"
        yield "row", name + ": RSS after %s of polling" % span, f("rss_end_kb") and f("rss_end_kb") / 1024, "MB", within
        if not self.accessibility_as_asked():
            yield "note", "    accessibility was %s" % ("not active" if self.accessible else "active")

    def accessibility_as_asked(self):
        active = {self.figures.get(key) for key in ("accessibility_active", "accessibility_active_at_end")}
        return active == {1.0 if self.accessible else 0.0}


# The plain reader's figures beside thermohygro's over the fake BlueZ, with the targets of the
# program's: name, figure, scale, unit, target (from the plain reader's value, or fixed).
SIDE_BY_SIDE = [
    ("CPU per 100 polls", "cpu_per_100_polls_ms", 1, "ms", lambda plain, accessible: plain if accessible else 100),
    ("wake-ups per 100 polls, process", "wakeups_per_100_polls", 1, "", None),
    # The reading and the poll tick, as the plain reader; at most one age refresh more.
    ("wake-ups per 100 polls, GUI thread", "gui_wakeups_per_100_polls", 1, "", lambda plain, _: plain + 100),
    ("frame to field p50", "frame_to_field_p50", 1, "ms", None),
    ("RSS after first reading", "rss_first_reading_kb", 1 / 1024, "MB", None),
    ("RSS after the polling", "rss_end_kb", 1 / 1024, "MB", lambda plain, _: plain + 1),
]


def side_by_side(runs):
    """Lines of the table that sets thermohygro's figures beside the plain reader's."""
    by_label = {run.label: run for run in runs}
    yield "%-46s %12s %12s %10s  %s" % ("over the fake BlueZ, in the same run", "plain reader", "thermohygro",
                                        "target", "met")
    for accessible in ("off", "on"):
        plain, program = by_label.get("plain a11y " + accessible), by_label.get("bluez a11y " + accessible)
        if not plain or not program:
            continue
        for name, key, scale, unit, target_of in SIDE_BY_SIDE:
            values = [run.figures.get(key) for run in (plain, program)]
            values = [None if value is None else value * scale for value in values]
            target = target_of(values[0], accessible == "on") if target_of and values[0] is not None else None
            met = "-" if target is None else "-" if values[1] is None else "yes" if values[1] <= target else "no"
            shown = ["-" if value is None else "%.2f" % value for value in values + [target]]
            yield "%-46s %12s %12s %10s  %s" % ("a11y %s: %s%s" % (accessible, name, " (%s)" % unit if unit else ""),
                                                *shown, met)
        for run in (plain, program):
            if not run.accessibility_as_asked():
                yield "    %s: accessibility was %s" % (run.label, "not active" if run.accessible else "active")


def virtual_display():
    """An Xvfb server and its display name, or (None, None) when Xvfb is missing."""
    read, write = os.pipe()
    try:
        server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1280x800x24"],
                                  pass_fds=[write], stderr=subprocess.DEVNULL)
    except FileNotFoundError:
        return None, None
    finally:
        os.close(write)
    with os.fdopen(read) as numbers:
        return server, ":" + numbers.readline().strip()


def main(programs, seconds, short):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop, runs = GLib.MainLoop(), []
    server, display = virtual_display()
    kinds = [(program, accessible) for accessible in ((False, True) if server else (False,))
             for program in ("demo", "bluez", "plain")]
    if os.environ.get("BENCH_RUNS"):
        chosen = os.environ["BENCH_RUNS"].split()
        kinds = [(program, accessible) for program, accessible in kinds
                 if "%s-a11y-%s" % (program, "on" if accessible else "off") in chosen]
    if not server:
        print("note|    no Xvfb: the runs with accessibility on were left out")
    deadline = time.monotonic() + len(kinds) * STAGGER_S + seconds + 60
    with tempfile.TemporaryDirectory() as folder:
        def start():
            runs.append(Run(programs, *kinds[len(runs)], seconds, folder, display))
            return len(runs) < len(kinds)

        def watch():
            if len(runs) == len(kinds) and all(run.app.poll() is not None for run in runs) \
                    or time.monotonic() > deadline:
                loop.quit()
            return True

        try:
            start()
            GLib.timeout_add_seconds(STAGGER_S, start)
            GLib.timeout_add(200, watch)
            loop.run()
        finally:
            for run in runs:
                run.end()
            if server:
                server.kill()
                server.wait()
    failed = [run.label for run in runs if run.app.returncode != 0]
    for run in runs:
        if run.program == "plain":
            continue
        for row in run.rows(seconds, short):
            print("|".join("%.2f" % part if isinstance(part, float) else "-" if part is None else str(part)
                           for part in row))
    for line in side_by_side(runs):
        print("note|" + line)
    if os.environ.get("BENCH_EVENTS"):  # what woke the GUI thread, per 100 polls
        for run in runs:
            for what, count in sorted(run.events.items()):
                print("%s: %s %.0f" % (run.label, what, count), file=sys.stderr)
    if failed:
        print("app_bench failed: %s" % ", ".join(failed), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[2]) < 300))
