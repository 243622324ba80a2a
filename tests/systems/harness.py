"""The glow package on a Debian system under a real systemd, run inside it
by run-system.sh, one check after another, those of the system's kind:
- a container, on the virtual board: how starting, stopping and failing
  units drive the LED, judged from each process's virtual board trace and
  from systemd; then the package's upgrade, removal, purge and a new
  install; and, as the container shuts down, the shutdown pattern;
- a guest of the board's processor, on the real wiringPi, whose writes to a
  register file register_probe turns into the pin's levels: install, a
  pattern on the pin, the channel thread's real-time priority, the device
  policy, then a reboot and a power-off, each judged by a shutdown hook
  once the file systems are unmounted.
  harness.py OUT [--install | --shutdown | --hook reboot|poweroff]
OUT holds the row (test.env), the build's programs and wiring and the
packages; each phase writes OUT/PHASE.report (a hook, to the console), and
the harness exits 0 only if all its checks passed."""

from __future__ import annotations

import glob
import grp
import os
import re
import shutil
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
# glowtrace from the source, or beside the harness where a shutdown hook runs it.
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools", "glowtrace"), os.path.join(HERE, "glowtrace")]
import glowtrace  # noqa: E402

OUT = sys.argv[1] if len(sys.argv) > 1 else "/opt/glow-out"
with open(os.path.join(OUT, "test.env")) as settings:
    ROW = dict(line.rstrip("\n").split("=", 1) for line in settings if "=" in line)
KIND = ROW["KIND"]
DEBS = os.path.join(OUT, "debs")
TRACES = "/run/glow-traces"
BOOT_TRACES = "/run/glow-boot-traces"  # what the LED did while the container booted
DEVICE = "/run/glow-gpio/gpiomem"  # the virtual board opens it as wiringPi opens /dev/gpiomem
# The build's own table of programs, one unit each, a name first on each line.
PROGRAMS = glowtrace.programs(os.path.join(OUT, "programs.txt"))
WIRING = glowtrace.build_settings(os.path.join(OUT, "virtual-board.env"))
UNITS = tuple(name + ".service" for name in PROGRAMS)
# The device's story: a pattern while booting, after an application failed
# and while shutting down, any program each.
STORY_UNITS = tuple(f"glow-{part}@{program}.service" for part in ("booting", "failed", "shutdown")
                    for program in PROGRAMS)
# How much slower than this machine the system runs: an emulated one waits
# longer, and pauses longer between its looks, which take the programs' CPU.
SLOWNESS = 4 if KIND == "guest" else 1


class Failed(Exception):
    pass


def check(condition: bool, message: str) -> None:
    if not condition:
        raise Failed(message)


def systemctl(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(["systemctl", *arguments], capture_output=True, text=True,
                          timeout=60 * SLOWNESS)


def show(unit: str, name: str) -> str:
    return systemctl("show", "--value", "-p", name, unit).stdout.strip()


def wait_until(condition, what: str, seconds: float = 15) -> None:
    seconds *= SLOWNESS
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1 * SLOWNESS)
    raise Failed(f"waited {seconds:g} s for {what}")


class Run:
    """One process's trace, read whole."""

    def __init__(self, path: str):
        self.path = path
        self.trace = glowtrace.read_trace(path)
        self.events = self.trace.events

    @property
    def first_us(self) -> int:
        return self.events[0].time_us

    @property
    def last_us(self) -> int:
        return self.events[-1].time_us

    def calls(self, name: str) -> list[glowtrace.Event]:
        return [e for e in self.events if e.kind == "call" and e.words[0] == name]

    def exited(self) -> bool:
        return any(e.kind == "exit" for e in self.events)

    def last_level(self) -> int | None:
        levels = self.trace.levels()
        return levels[-1][1] if levels else None

    def lit(self) -> bool:
        return any(self.trace.light(level) == 1 for _, level in self.trace.levels())

    def lit_at_end(self) -> bool:
        return self.trace.light(self.last_level()) == 1


def runs(program: str, folder: str = TRACES) -> list[Run]:
    """Every process of the program so far, oldest first."""
    found = [Run(path) for path in glob.glob(f"{folder}/{program}.*.trace")]
    return sorted((run for run in found if run.events), key=lambda run: run.first_us)


def program_pid(unit: str) -> str:
    """The unit's program, which runs under its main process, glow-run."""
    main = show(unit, "MainPID")
    with open(f"/proc/{main}/task/{main}/children") as children:
        return children.read().split()[0]


def has_written(program: str, count: int) -> bool:
    try:
        return len(runs(program)) >= count and bool(runs(program)[count - 1].calls("softPwmWrite"))
    except glowtrace.TraceError:
        return False  # a line still being written


def start(unit: str) -> None:
    result = systemctl("start", unit)
    check(result.returncode == 0, f"systemctl start {unit}: {result.stderr.strip()}")


def stop_all() -> None:
    """Stops the patterns and story units that are not at rest: a stop of
    all twenty by name takes over a second here, and half a minute under
    emulation."""
    # Names given to list-units are patterns: they match loaded units only.
    listed = systemctl("list-units", "--all", "--plain", "--no-legend", *UNITS, *STORY_UNITS)
    rows = (line.lstrip("● ").split() for line in listed.stdout.splitlines())  # failed: marked
    busy = [row[0] for row in rows if len(row) >= 3 and row[2] != "inactive"]
    if busy:
        systemctl("stop", *busy)


def make_device(mode: int, group: str = "gpio", path: str = DEVICE) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "a"):
        pass
    os.chown(path, 0, grp.getgrnam(group).gr_gid)
    os.chmod(path, mode)


def drop_in(unit: str, text: str) -> None:
    """A run-time drop-in of the scenario's, gone before the next scenario."""
    path = f"/run/systemd/system/{unit}.d/scenario.conf"
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)
    systemctl("daemon-reload")


def remove_drop_ins() -> None:
    drop_ins = glob.glob("/run/systemd/system/*.d/scenario.conf")
    for path in drop_ins:
        os.remove(path)
    if drop_ins:
        systemctl("daemon-reload")  # seconds under emulation: only when needed


# Restarts come sooner in the scenarios than the units' 10 s, to keep them short.
SOON = "[Service]\nRestartSec=1\n"


def as_user(user: str, *arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups",
                           "systemctl", *arguments], capture_output=True, text=True, timeout=60)


def expect_dark_after(run: Run, what: str, before: Run | None = None,
                      then: Run | None = None) -> None:
    """glowoff's run left the LED dark, after the run before it had ended and
    before the run that followed began."""
    check(before is None or before.last_us <= run.first_us,
          f"{what}: glowoff started at {run.first_us} us, before the last event at "
          f"{before and before.last_us}")
    check(then is None or run.last_us <= then.first_us,
          f"{what}: the next run started at {then and then.first_us} us, before glowoff "
          f"ended at {run.last_us}")
    check(run.exited(), f"{what}: glowoff did not exit by itself")
    writes = run.calls("digitalWrite")
    check(writes and run.trace.light(writes[-1].numbers[1]) == 0,
          f"{what}: glowoff did not write dark")
    check(not run.lit_at_end(), f"{what}: the LED did not end dark")


def switching_stops_the_first_then_darkens_then_starts_the_second():
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    start("glowtwice")
    check(show("glowbreathe.service", "ActiveState") == "inactive", "glowbreathe still runs")
    check(show("glowtwice.service", "ActiveState") == "active", "glowtwice is not running")
    breathe, = runs("glowbreathe")
    dark, = runs("glowoff")
    wait_until(lambda: has_written("glowtwice", 1), "glowtwice's first write")
    twice, = runs("glowtwice")
    expect_dark_after(dark, "from glowbreathe to glowtwice", breathe, twice)


def stopping_leaves_the_pin_low():
    start("glowfive")
    wait_until(lambda: has_written("glowfive", 1), "glowfive's first write")
    check(systemctl("stop", "glowfive").returncode == 0, "systemctl stop glowfive failed")
    five, = runs("glowfive")
    dark = runs("glowoff")[-1]
    expect_dark_after(dark, "after stopping glowfive", five)


def full_glow_and_dark_act_whatever_ran_before():
    start("glowfull")
    full, = runs("glowfull")
    check(full.exited() and full.lit_at_end(), "glowfull did not exit with the pin high")
    start("glowoff")
    expect_dark_after(runs("glowoff")[-1], "after glowfull.service")
    # A program run by hand lights the LED behind systemd's back, on the
    # build's wiring as the units' drop-ins give it ...
    wiring = {name: value for name, value in WIRING.items() if name.startswith("GLOW_BOARD_LED")}
    environment = dict(os.environ, **wiring, GLOW_BOARD_TRACE_DIR=TRACES,
                       GLOW_BOARD_GPIO_DEVICE=DEVICE)
    subprocess.run(["glowfull"], env=environment, check=True, timeout=10)
    by_hand = runs("glowfull")[-1]
    check(by_hand.lit_at_end(), "glowfull run by hand did not light the pin")
    # ... and starting the units again still acts on it.
    start("glowoff")
    dark = runs("glowoff")[-1]
    expect_dark_after(dark, "after glowfull run by hand", by_hand)
    start("glowfull")
    check(len(runs("glowfull")) == 3 and runs("glowfull")[-1].lit_at_end(),
          "a second start of glowfull.service did not light the LED again")
    for unit in ("glowfull.service", "glowoff.service"):
        check(show(unit, "ActiveState") == "inactive" and show(unit, "Result") == "success",
              f"{unit} is {show(unit, 'ActiveState')}, result {show(unit, 'Result')}")


def monotonic_us(unit: str, timestamp: str) -> int:
    return int(show(unit, f"{timestamp}TimestampMonotonic"))


def keep_the_boot_traces() -> None:
    """What the LED did while the container booted, kept from every reset:
    it booted with glow-booting@glowbreathe and glowfull enabled."""
    wait_until(lambda: any(run.exited() for run in runs("glowfull")), "the ready pattern at boot",
               seconds=60)
    shutil.copytree(TRACES, BOOT_TRACES)
    # Undone as a person would, so that every scenario starts with none enabled.
    for unit in BOOT_ENABLED:
        disabled[unit] = systemctl("disable", unit).returncode == 0 and \
            systemctl("is-enabled", unit).stdout.strip() == "disabled"


BOOT_ENABLED = ("glow-booting@glowbreathe.service", "glowfull.service")
disabled: dict[str, bool] = {}


def booting_pattern_shows_until_boot_is_complete_then_the_ready_one():
    booting, = runs("glowbreathe", BOOT_TRACES)
    dark, = runs("glowoff", BOOT_TRACES)
    ready, = runs("glowfull", BOOT_TRACES)
    # The device was the gpio group's only 3 s into the boot: waited for.
    device_us = monotonic_us("glow-gpio.service", "ActiveEnter")
    waited_s = (device_us - monotonic_us("glow-gpio.service", "ExecMainStart")) / 1e6
    check(waited_s > 1, f"the booting pattern's device wait ended after {waited_s:.1f} s")
    check(device_us <= booting.first_us and booting.lit(),
          "the booting pattern did not show once the device was there")
    reached_us = monotonic_us("multi-user.target", "ActiveEnter")
    check(booting.first_us < reached_us <= ready.first_us,
          f"booting pattern from {booting.first_us} us, multi-user.target reached at "
          f"{reached_us} us, ready pattern from {ready.first_us} us")
    expect_dark_after(dark, "from the booting pattern to the ready one", booting, ready)
    check(ready.exited() and ready.lit_at_end(), "the ready glowfull did not leave the LED lit")
    report.append(f"# boot: device after {waited_s:.1f} s, booting pattern "
                  f"{(reached_us - booting.first_us) / 1e6:.1f} s until multi-user.target, "
                  f"the ready one {(ready.first_us - reached_us) / 1e3:.0f} ms after it")
    check(all(disabled.values()), f"disabled: {disabled}")


def a_missing_gpio_device_after_boot_fails_fast():
    systemctl("stop", "glow-gpio.service")  # nobody has waited yet since boot
    os.remove(DEVICE)
    drop_in("glowtwice.service", SOON)
    started = time.monotonic()
    systemctl("start", "glowtwice")
    wait_until(lambda: show("glowtwice.service", "ActiveState") == "failed", "the unit to fail")
    failed_s = time.monotonic() - started
    # The boot-time wait would take a minute; well under 10 s is a fast fail.
    check(failed_s < 10 * SLOWNESS, f"failed only after {failed_s:.1f} s")
    report.append(f"# no GPIO device after boot: glowtwice failed {failed_s:.1f} s after its start")
    time.sleep(2.5)  # longer than RestartSec: a restart would have come by now
    check(show("glowtwice.service", "ActiveState") == "failed", "the unit did not stay failed")
    check(show("glowtwice.service", "NRestarts") == "0", "the unit was restarted")
    check(show("glowtwice.service", "ExecMainStatus") == "1", "the program's status was not 1")
    check(show("glow-gpio.service", "ActiveState") == "failed", "the wait did not fail")
    journal = subprocess.run(["journalctl", "-u", "glowtwice", "-o", "cat"], capture_output=True,
                             text=True, timeout=60).stdout
    check(f"Unable to open /dev/mem or {DEVICE}" in journal, f"no explanation from wiringPi: {journal[-400:]}")
    failed, = runs("glowtwice")
    check(not failed.calls("softPwmWrite") and not failed.lit(), "something was lit")


def an_application_failure_shows_until_it_starts_again():
    """The recipe: two lines of the application's drop-in."""
    check(systemctl("enable", "glowtwice").returncode == 0, "could not enable glowtwice")
    try:
        with open("/run/systemd/system/glow-test-app.service", "w") as unit:
            unit.write("[Service]\nExecStart=/bin/sh -c 'test -e /run/glow-test-app-mended && "
                       "exec sleep infinity'\n")
        drop_in("glow-test-app.service", "[Unit]\nOnFailure=glow-failed@glowfive.service\n"
                                          "Wants=glow-ready@%n.service\n")
        systemctl("start", "glow-test-app")
        wait_until(lambda: has_written("glowfive", 1), "the failure pattern's first write")
        check(show("glow-failed@glowfive.service", "ActiveState") == "active",
              "glow-failed@glowfive is not running")
        # The hand-over at the end of a boot leaves a failure shown.
        systemctl("restart", "glow-ready.service")
        check(show("glow-failed@glowfive.service", "ActiveState") == "active" and
              show("glowtwice.service", "ActiveState") not in ("active", "activating"),
              "the hand-over after boot hid the failure")
        open("/run/glow-test-app-mended", "w").close()
        start("glow-test-app")
        wait_until(lambda: show("glowtwice.service", "ActiveState") == "active",
                   "the ready pattern again")
        wait_until(lambda: has_written("glowtwice", 1), "the ready pattern's first write")
        five, = runs("glowfive")
        expect_dark_after(runs("glowoff")[-1], "from the failure pattern to the ready one", five,
                          runs("glowtwice")[0])
        check(show("glow-failed@glowfive.service", "ActiveState") == "inactive",
              "the failure pattern still shows")
        # A switch by hand since is left alone by the next restart.
        start("glowbreathe")
        systemctl("restart", "glow-test-app")
        time.sleep(1)
        check(show("glowbreathe.service", "ActiveState") == "active", "the restart took over")
    finally:
        systemctl("disable", "glowtwice")
        systemctl("stop", "glow-test-app")
        for path in ("/run/glow-test-app-mended", "/run/systemd/system/glow-test-app.service"):
            if os.path.exists(path):
                os.remove(path)


# The failure light: glow-degraded@glowfive watches, glowtwice is the ready
# pattern (enabled for boot), and test units of no one's fail in each row.
LIGHT = "glow-degraded@glowfive.service"
FAILURE = "glow-failed@glowfive.service"
READY = "glowtwice.service"
RECOVERED_AFTER_S = 10  # a failed unit counts until it has run this long again
TEST_UNITS = "/run/systemd/system"
MENDED = "/run/test-mended"  # the test units' programs succeed once it is there
# Fails while not mended; once mended, runs until stopped.
MENDABLE = f"[Service]\nExecStart=/bin/sh -c 'test -e {MENDED} && exec sleep infinity'\n"


def active(unit: str) -> bool:
    return show(unit, "ActiveState") == "active"


def light_up(units: dict[str, str]) -> None:
    """Writes the row's test units, enables the ready pattern and the light."""
    for name, text in units.items():
        with open(f"{TEST_UNITS}/{name}", "w") as file:
            file.write(text)
    # enable reloads the manager, which loads the test units too.
    enabled = systemctl("enable", READY, LIGHT)
    check(enabled.returncode == 0, f"could not enable {READY} and {LIGHT}: {enabled.stderr}")
    started = systemctl("start", LIGHT)
    check(started.returncode == 0 and active(LIGHT), f"start {LIGHT}: {started.stderr}")


def light_down(units) -> None:
    systemctl("stop", LIGHT, *units)
    for name in units:
        if os.path.exists(f"{TEST_UNITS}/{name}"):
            os.remove(f"{TEST_UNITS}/{name}")
    if os.path.exists(MENDED):
        os.remove(MENDED)
    # disable reloads the manager, which forgets the removed test units.
    systemctl("disable", READY, LIGHT)
    systemctl("reset-failed")


def failure_row(units: dict[str, str]):
    """A row's body runs with the light up and its units in place."""
    def decorate(body):
        def row():
            try:
                light_up(units)
                body()
            finally:
                light_down(units)
        row.__name__ = body.__name__
        row.__doc__ = body.__doc__
        return row
    return decorate


def fail(unit: str) -> int:
    """Starts a unit that fails; the monotonic µs at which it failed."""
    systemctl("start", unit)
    wait_until(lambda: show(unit, "ActiveState") == "failed", f"{unit} to fail")
    return monotonic_us(unit, "StateChange")


def reset_failed(unit: str) -> int:
    """Resets a failed unit; the monotonic µs just before (a reset unit that
    nothing holds is unloaded, its timestamps with it)."""
    before_us = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
    systemctl("reset-failed", unit)
    return before_us


def shows_failure_since(failed_us: int, what: str) -> float:
    """The failure pattern came; ms from the failure to its start."""
    wait_until(lambda: active(FAILURE), f"the failure pattern for {what}")
    return (monotonic_us(FAILURE, "InactiveExit") - failed_us) / 1000


def shows_ready_since(recovered_us: int, what: str) -> float:
    """The ready pattern came back; ms from the recovery to the failure pattern's stop."""
    wait_until(lambda: active(READY) and not active(FAILURE), f"the ready pattern after {what}",
               seconds=RECOVERED_AFTER_S + 15)
    return (monotonic_us(FAILURE, "ActiveExit") - recovered_us) / 1000


@failure_row({"test-app.service": MENDABLE})
def failed_for_good_shows_until_reset_or_run_again():
    shown_ms = shows_failure_since(fail("test-app.service"), "a failed unit")
    check(show("test-app.service", "OnFailure") == "", "the light added to another unit")
    ready_ms = shows_ready_since(reset_failed("test-app.service"), "a reset")
    # Mended and started: shown until it has run RECOVERED_AFTER_S.
    shows_failure_since(fail("test-app.service"), "a second failure")
    open(MENDED, "w").close()
    start("test-app.service")
    time.sleep(RECOVERED_AFTER_S / 2)
    check(active(FAILURE), "the failure pattern ended before the unit had run a while")
    settled_us = monotonic_us("test-app.service", "ActiveEnter") + RECOVERED_AFTER_S * 10**6
    settled_ms = shows_ready_since(settled_us, "running again")
    report.append(f"# failure light: failure pattern {shown_ms:.0f} ms after the failure, ready "
                  f"pattern {ready_ms:.0f} ms after a reset and {settled_ms:.0f} ms after "
                  f"{RECOVERED_AFTER_S} s running again")


# Crashes three times, half a second into each run, and runs at the fourth;
# a second between, for the check that nothing showed before the restart.
CRASHING = ("[Service]\nRestart=on-failure\nRestartSec=1\nExecStart=/bin/sh -c 'n=$(cat "
            "/run/test-crashes 2>/dev/null || echo 0); echo $((n + 1)) >/run/test-crashes; "
            "test $n -ge 3 && exec sleep infinity; sleep 0.5; exit 3'\n")


@failure_row({"test-crashing.service": CRASHING})
def crash_loop_shows_steadily_until_it_has_run_a_while():
    systemctl("start", "test-crashing.service")
    wait_until(lambda: active(FAILURE), "the failure pattern at the first crash")
    check(show("test-crashing.service", "NRestarts") == "0", "not shown before the first restart")
    shown_us = monotonic_us(FAILURE, "ActiveEnter")
    wait_until(lambda: show("test-crashing.service", "NRestarts") == "3", "three restarts")
    wait_until(lambda: active("test-crashing.service"), "the fourth run")
    check(active(FAILURE) and monotonic_us(FAILURE, "ActiveEnter") == shown_us and
          not runs("glowtwice"), "the ready pattern showed between crashes")
    shows_ready_since(monotonic_us("test-crashing.service", "ActiveEnter") +
                      RECOVERED_AFTER_S * 10**6, "the crash loop")
    os.remove("/run/test-crashes")


MOUNT = "[Mount]\nWhat=none\nWhere=/mnt/glowtest\nType=nonexistentfs\n"


@failure_row({"mnt-glowtest.mount": MOUNT})
def failed_mount_shows():
    shows_failure_since(fail("mnt-glowtest.mount"), "a failed mount")
    shows_ready_since(reset_failed("mnt-glowtest.mount"), "the mount's reset")


@failure_row({"test-rescue.target": "[Unit]\nAllowIsolate=yes\nRequires=multi-user.target\n"
                                    "After=multi-user.target\n",
              "test-isolating.service": "[Unit]\nOnFailure=test-rescue.target\n"
                                        "OnFailureJobMode=isolate\n"
                                        "[Service]\nExecStart=/bin/false\n"})
def isolate_on_failure_unit_loads_and_reaches_its_target():
    loaded = (show("test-isolating.service", "LoadState"),
              show("test-isolating.service", "LoadError"))
    check(loaded[0] == "loaded", f"the unit did not load: {loaded}")
    fail("test-isolating.service")
    wait_until(lambda: active("test-rescue.target"), "its own target")
    systemctl("stop", "test-rescue.target")


OWN_TARGET = {"test-own.target": "[Unit]\n",
              "test-app.service": "[Unit]\nOnFailure=test-own.target\n" + MENDABLE}


def properties(unit: str) -> dict[str, tuple[str, ...]]:
    """systemctl show, each list of units in one order."""
    lines = systemctl("show", unit).stdout.splitlines()
    return {key: tuple(sorted(value.split())) for key, _, value in (l.partition("=") for l in lines)}


def own_target_unit_reads_the_same_and_reaches_its_target():
    """systemctl show of another unit, with the light enabled and not."""
    try:
        light_up(OWN_TARGET)
        lit = properties("test-app.service")
        light_down(())
        unlit = properties("test-app.service")
        check(lit == unlit, f"systemctl show differs: {set(lit.items()) ^ set(unlit.items())}")
        light_up({})
        fail("test-app.service")
        wait_until(lambda: active("test-own.target"), "its own target")
        wait_until(lambda: active(FAILURE), "the failure pattern")
    finally:
        light_down(OWN_TARGET)


@failure_row({"test-app.service": MENDABLE})
def chosen_pattern_stays_when_the_failure_ends():
    shows_failure_since(fail("test-app.service"), "a failure")
    start("glowbreathe")
    systemctl("reset-failed", "test-app.service")
    time.sleep(1)
    check(active("glowbreathe.service") and not active(READY) and not active(FAILURE),
          "the choice made since did not stay")


def readme_line(start: str) -> str:
    with open("/opt/glow-src/README.md") as readme:
        return next(line for line in readme if line.startswith(start))


# A mount's name as systemd-escape --path makes it, which a pattern matches as it stands.
LEFT_OUT_MOUNT = "mnt-glow\\x2dleft\\x2dout.mount"


@failure_row({"test-left-out.service": MENDABLE,
              LEFT_OUT_MOUNT: "[Mount]\nWhat=none\nWhere=/mnt/glow-left-out\nType=nonexistentfs\n"})
def glow_units_and_units_left_out_count_for_nothing():
    drop_in("glowbreathe.service", "[Service]\nExecStart=\nExecStart=/bin/false\n")
    # The README's line, for units of the test's own.
    line = readme_line("echo 'GLOW_IGNORED_UNITS=").replace("backup.service", "test-left-out.service") \
        .replace("mnt-backup\\x2ddisk.mount", LEFT_OUT_MOUNT)
    check(LEFT_OUT_MOUNT in line, f"the README's line names no escaped mount: {line}")
    os.makedirs("/etc/default", exist_ok=True)
    try:
        check(subprocess.run(["sh", "-c", line.replace("sudo ", "")], capture_output=True,
                             timeout=60).returncode == 0,
              f"the README's line failed: {line}")
        fail("glowbreathe.service")
        fail("test-left-out.service")
        fail(LEFT_OUT_MOUNT)
        time.sleep(1)
        check(show(FAILURE, "ActiveState") == "inactive", "a glow unit's or a left-out unit's failure showed")
    finally:
        os.remove("/etc/default/glow")


@failure_row({"test-app.service": MENDABLE})
def second_light_stands_by_and_says_why():
    other = "glow-degraded@glowbreathe.service"
    try:
        check(systemctl("start", other).returncode == 0, f"{other} did not start")
        status = show(other, "StatusText")
        check(status == f"Standing by: {LIGHT} shows failed units", f"{other} says {status!r}")
        shows_failure_since(fail("test-app.service"), "a failure")
        check(show("glow-failed@glowbreathe.service", "ActiveState") == "inactive",
              "the one standing by showed too")
        # The holder ends: the one standing by takes over and shows what is failed.
        systemctl("stop", LIGHT)
        wait_until(lambda: show(other, "StatusText") == "Shows failed units", "the take-over")
        wait_until(lambda: active("glow-failed@glowbreathe.service"),
                   "the failure shown by the one that took over")
    finally:
        systemctl("stop", other)


def watcher_complaints(since_us: int) -> list[str]:
    """What the watcher could not do, in the journal since then: its warnings
    and errors, and any line that says so at a lower priority."""
    def said(priority: str) -> list[str]:
        lines = subprocess.run(
            ["journalctl", "-u", LIGHT, "-p", priority, "-o", "cat", "--no-pager",
             f"--since=@{since_us / 10**6 + time.time() - time.monotonic():.6f}"],
            capture_output=True, text=True, timeout=60).stdout.splitlines()
        return [line for line in lines if line.startswith("glow-degraded:")]
    warnings = said("warning")
    return warnings + [line for line in said("info") if line not in warnings
                       and re.search(r"\b(cannot|could not)\b", line)]


@failure_row({"test-app.service": MENDABLE})
def light_follows_daemon_reexec_and_a_bus_restart():
    watcher = show(LIGHT, "MainPID")
    began_us = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
    shows_failure_since(fail("test-app.service"), "a failure")
    # The reset sent while the manager re-executes, again until it is taken
    # (the manager drops the calls it gets on its way out).
    reexec = subprocess.Popen(["systemctl", "daemon-reexec"])
    reset_us = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
    wait_until(lambda: systemctl("reset-failed", "test-app.service").returncode == 0,
               "the reset to be taken")
    check(reexec.wait(timeout=60) == 0, "daemon-reexec failed")
    # A reset that the old manager answered on its way out may not reach the
    # new one, which then still has the unit failed, rightly shown: it is
    # sent again. A light left on for a unit not failed is still caught.
    if show("test-app.service", "ActiveState") == "failed":
        report.append("# the reset was lost in the re-exec: sent again")
        reset_us = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
        systemctl("reset-failed", "test-app.service")
    shows_ready_since(reset_us, "a reset during daemon-reexec")
    # Once the new manager has said it has loaded its units, the light stays.
    time.sleep(1)
    check(active(READY) and not active(FAILURE), "the failure pattern came back after the reset")
    check(watcher_complaints(began_us) == [], f"the watcher complained: {watcher_complaints(began_us)}")
    systemctl("restart", "dbus.service")
    wait_until(lambda: active("dbus.service"), "the bus again")
    shows_failure_since(fail("test-app.service"), "a failure after the bus's restart")
    check(show(LIGHT, "MainPID") == watcher, "the watcher was restarted, not followed")
    # logind does not follow a new bus; apt asks it for a shutdown lock.
    systemctl("restart", "systemd-logind.service")


STORM = 100


def storm_units() -> list[str]:
    return [f"test-storm{i}.service" for i in range(STORM)]


@failure_row({})
def a_storm_of_failures_shows_and_clears_at_the_last_reset():
    began_us = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
    # A hundred transient units that fail at once, kept for the resets.
    subprocess.run(["sh", "-c", f"for i in $(seq 0 {STORM - 1}); do systemd-run --quiet "
                    "--no-block --unit=test-storm$i /bin/false; done"],
                   check=True, timeout=300)
    wait_until(lambda: show(storm_units()[-1], "ActiveState") == "failed", "the last to fail",
               seconds=60 * SLOWNESS)
    shown_ms = shows_failure_since(began_us, "a storm")
    for unit in storm_units()[:-1]:
        systemctl("reset-failed", unit)
    check(active(FAILURE), "cleared before the last reset")
    ready_ms = shows_ready_since(reset_failed(storm_units()[-1]), "the last reset")
    complaints = watcher_complaints(began_us)
    check(complaints == [], f"the watcher complained: {complaints[:3]}")
    report.append(f"# storm of {STORM} failures: failure pattern {shown_ms:.0f} ms after the first "
                  f"was asked for, ready pattern {ready_ms:.0f} ms after the last reset, "
                  f"{len(complaints)} journal lines of complaint")


@failure_row({})
def a_failure_pattern_started_by_hand_is_left_alone():
    start(FAILURE)
    # Unit changes of no one's, while nothing has failed.
    for _ in range(5):
        systemctl("start", "systemd-tmpfiles-clean.service")
    subprocess.run(["systemd-run", "--quiet", "--wait", "/bin/true"], timeout=60)
    time.sleep(1)
    check(active(FAILURE), "the watcher stopped a failure pattern it had not started")


def resident_by_file(pid: str) -> str:
    """Where a process's resident memory is, per file mapped (or anonymous)."""
    by_file: dict[str, int] = {}
    name = "anonymous"
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                name = os.path.basename(fields[5]) if len(fields) > 5 else "anonymous"
            elif fields[0] == "Rss:":
                by_file[name] = by_file.get(name, 0) + int(fields[1])
    return ", ".join(f"{name} {kb}" for name, kb in sorted(by_file.items(), key=lambda i: -i[1]) if kb)


def the_failure_light_at_rest():
    """Figures only: what the watcher costs while nothing changes."""
    try:
        light_up({})
        pid = show(LIGHT, "MainPID")
        idle_s = float(ROW["IDLE_S"])

        def status() -> dict[str, str]:
            with open(f"/proc/{pid}/status") as file:
                return dict(line.split(":", 1) for line in file if ":" in line)
        switches = lambda s: int(s["voluntary_ctxt_switches"]) + int(s["nonvoluntary_ctxt_switches"])  # noqa: E731
        before = status()
        time.sleep(idle_s)
        after = status()
        with open(f"/proc/{pid}/smaps_rollup") as rollup:
            proportional = next(line.split()[1] for line in rollup if line.startswith("Pss:"))
        report.append(f"# failure light at rest: {switches(after) - switches(before)} context "
                      f"switches in {idle_s:.0f} s; resident {after['VmRSS'].strip()} (peak "
                      f"{after['VmHWM'].strip()}), of it its own (anonymous) "
                      f"{after['RssAnon'].strip()}; proportional share {proportional} kB; "
                      f"kB resident by mapping: {resident_by_file(pid)}")
    finally:
        light_down(())


def the_failure_light_under_churn():
    """Figures only: what the watcher costs while 300 short-lived units come and go."""
    try:
        light_up({})
        pid = show(LIGHT, "MainPID")

        def costs() -> tuple[int, int]:
            with open(f"/proc/{pid}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/status") as file:
                status = dict(line.split(":", 1) for line in file if ":" in line)
            ticks = int(fields[11]) + int(fields[12])  # utime, stime
            return ticks, int(status["voluntary_ctxt_switches"]) + int(status["nonvoluntary_ctxt_switches"])
        units = 300
        before, started = costs(), time.monotonic()
        subprocess.run(["sh", "-c", f"for i in $(seq 1 {units}); do systemd-run --quiet --wait "
                        "--unit=test-churn$i /bin/true; done"], check=True, timeout=600)
        after, took = costs(), time.monotonic() - started
        tick_ms = 1000 / os.sysconf("SC_CLK_TCK")
        report.append(f"# failure light under churn: {units} short-lived units in {took:.1f} s, the "
                      f"watcher {(after[0] - before[0]) * tick_ms:.0f} ms of CPU and "
                      f"{after[1] - before[1]} wake-ups (context switches); complaints: "
                      f"{len(watcher_complaints(int(started * 10**6)))}")
    finally:
        light_down(())


def demo_says_which_unit_drives_the_led():
    """scripts/demo on a board whose LED a glow unit drives: one line, and
    nothing of the demo's runs."""
    start("glowtwice")
    demo = subprocess.run(["/opt/glow-src/scripts/demo", "glowfive"], capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL,
                          env=dict(os.environ, GLOW_DEMO_PROGRAMS="/opt/glow/programs"))
    check(demo.returncode == 1 and demo.stderr.startswith(
        "demo: glowtwice.service is driving the LED: stop it first") and
        demo.stderr.count("\n") == 1, f"the demo said {demo.returncode} {demo.stderr!r}")
    check(not runs("glowfive") and not runs("glowoff"), "the demo drove the LED")


def story_instances_other_than_the_programs_are_refused():
    start("glowtwice")
    pid = show("glowtwice.service", "MainPID")
    for unit in ("glow-booting@nonsense.service", "glow-poweroff@glowbreathe.service"):
        for verb in ("enable", "start"):
            result = systemctl(verb, unit)
            check(result.returncode != 0 and unit in result.stderr and
                  len(result.stderr.strip().splitlines()) == 1,
                  f"{verb} {unit}: {result.returncode}, {result.stderr.strip()}")
    check((show("glowtwice.service", "ActiveState"), show("glowtwice.service", "MainPID")) ==
          ("active", pid), "a refused unit changed the pattern shown")
    check(len(runs("glowoff")) == 0, "a refused unit darkened the LED")


def one_pattern_is_enabled_for_boot_and_presets_enable_none():
    # Chosen for boot while it shows: it must go on as the same running unit.
    start("glowtwice")
    pid = show("glowtwice.service", "MainPID")
    enabled = systemctl("enable", "glowtwice")
    check(enabled.returncode == 0, f"enable glowtwice: {enabled.stderr.strip()}")
    try:
        running = (show("glowtwice.service", "ActiveState"), show("glowtwice.service", "MainPID"))
        check(running == ("active", pid), f"once enabled, glowtwice is {running}, was active {pid}")
        second = systemctl("enable", "glowbreathe")
        check(second.returncode != 0 and "glowtwice.service" in second.stderr,
              f"a second enable gave {second.returncode}: {second.stderr.strip()}")
        check(systemctl("is-enabled", "glowbreathe").stdout.strip() == "disabled",
              "glowbreathe was enabled beside glowtwice")
        # Once boot is complete, glow-ready.service starts glow-boot.service,
        # which now names glowtwice.
        check("glow-ready.service" in show("multi-user.target", "Wants").split() and
              show("glow-boot.service", "Id") == "glowtwice.service",
              "booting would not start glowtwice")
        # The story's line for the ready pattern takes the place of the one chosen.
        forced = systemctl(*readme_line("sudo systemctl enable --force glowfull").split()[2:4],
                           "glowfull")
        states = systemctl("is-enabled", "glowtwice", "glowfull").stdout.split()
        check(forced.returncode == 0 and states == ["disabled", "enabled"] and
              show("glow-boot.service", "Id") == "glowfull.service",
              f"enable --force glowfull gave {forced.returncode}, {states}")
    finally:
        systemctl("disable", "glowtwice", "glowfull")
    preset = systemctl("preset", *UNITS, "glow-gpio.service")
    check(preset.returncode == 0, f"preset: {preset.stderr.strip()}")
    states = systemctl("is-enabled", *UNITS).stdout.split()
    check(set(states) == {"disabled"}, f"after presets: {states}")


def gpio_members_switch_patterns_and_nothing_else():
    for arguments in (("start", "glowtwice"), ("start", "glowfive"), ("restart", "glowfive"),
                      ("stop", "glowfive")):
        result = as_user("switcher", *arguments)
        check(result.returncode == 0, f"a gpio member's {arguments}: {result.stderr.strip()}")
    check(show("glowfive.service", "ActiveState") == "inactive", "glowfive was not stopped")
    refused = [as_user("stranger", "start", "glowtwice"),
               as_user("switcher", "start", "systemd-hostnamed.service"),
               as_user("switcher", "enable", "glowtwice")]
    for result in refused:
        check(result.returncode != 0, f"not refused: {result.args[-2:]}")
    check(show("systemd-hostnamed.service", "ActiveState") == "inactive", "hostnamed started")
    check(show("glowtwice.service", "ActiveState") == "inactive", "a stranger started glowtwice")


def a_service_user_switches_by_the_readme_recipe():
    """A device's service user switches patterns without a password where
    /etc/group has it in gpio, as the README's recipe makes it, on either
    release; in gpio only through its unit (SupplementaryGroups=), only on
    Debian 13; a dynamic user, on neither."""
    recipe = readme_line("sudo useradd ").split("  #")[0].removeprefix("sudo ")
    subprocess.run(["userdel", "mydevice"], capture_output=True)
    subprocess.run(recipe.split(), check=True)
    try:
        outcomes = {}
        for name, unit_settings, program in (
                ("recipe", ["User=mydevice"], "glowtwice"),
                ("SupplementaryGroups=", ["User=stranger", "SupplementaryGroups=gpio"], "glowfive"),
                ("DynamicUser=", ["DynamicUser=yes", "SupplementaryGroups=gpio"], "glowbreathe")):
            properties = [argument for setting in unit_settings for argument in ("-p", setting)]
            result = subprocess.run(["systemd-run", "--wait", "--quiet", "--pipe", *properties,
                                     "systemctl", "start", program],
                                    capture_output=True, text=True, timeout=60)
            outcomes[name] = (result.returncode == 0, show(f"{program}.service", "ActiveState"))
            report.append(f"# a service user by {name}: {result.returncode} "
                          f"{result.stderr.strip()[:120]!r}, {program} {outcomes[name][1]}")
        # Debian 13's polkit (126) takes the caller's own groups too, over dbus 1.16.
        with open("/etc/os-release") as release:
            own_groups_count = "VERSION_CODENAME=bookworm\n" not in release.read()
        check(outcomes == {"recipe": (True, "active"),
                           "SupplementaryGroups=": (own_groups_count, "active" if own_groups_count
                                                    else "inactive"),
                           "DynamicUser=": (False, "inactive")}, f"switching: {outcomes}")
    finally:
        subprocess.run(["userdel", "mydevice"], capture_output=True)


def killed_pattern_is_restarted():
    drop_in("glowbreathe.service", SOON)
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    first_pid = show("glowbreathe.service", "MainPID")
    os.kill(int(program_pid("glowbreathe.service")), 9)
    wait_until(lambda: show("glowbreathe.service", "NRestarts") == "1", "a restart")
    wait_until(lambda: show("glowbreathe.service", "ActiveState") == "active", "the unit to run")
    check(show("glowbreathe.service", "MainPID") not in ("0", first_pid), "no new main process")
    wait_until(lambda: has_written("glowbreathe", 2), "the restarted glowbreathe's write")
    killed, restarted = runs("glowbreathe")
    expect_dark_after(runs("glowoff")[0], "after the killed pattern", killed, restarted)


def a_program_the_processor_cannot_run_is_said_and_not_restarted():
    """A program killed by SIGILL, as ARMv7 code on an ARMv6 board is, in a
    looping pattern's place and a one-shot's: each unit fails for good and
    its journal says why in one line, naming the processor."""
    for unit in ("glowbreathe.service", "glowfull.service"):
        name = unit.removesuffix(".service")
        program = "/usr/bin/" + name
        drop_in(unit, SOON)  # a restart, were there one, within a second
        subprocess.run(["mount", "--bind", "/opt/glow/tests/illegal_instruction", program],
                       check=True)
        try:
            systemctl("start", unit)
            wait_until(lambda: show(unit, "ActiveState") == "failed", f"{unit} to fail")
            time.sleep(3)
            states = [show(unit, name) for name in ("ActiveState", "SubState", "NRestarts")]
            check(states == ["failed", "failed", "0"], f"{unit} after SIGILL: {states}")

            def said() -> list[str]:
                journal = subprocess.run(["journalctl", "-b", "-u", unit, "-o", "cat"],
                                         capture_output=True, text=True, timeout=60).stdout
                return [line for line in journal.splitlines() if "SIGILL" in line and
                        not line.startswith(unit)]  # systemd's own words about the unit
            wait_until(lambda: said(), f"{unit}'s word about SIGILL")
            expected = (f"{name}: killed by SIGILL: this processor ({os.uname().machine}) "
                        f"cannot run the installed wiringPi or {name}")
            check(len(said()) == 1 and said()[0].startswith(expected), f"{unit} said {said()}")
        finally:
            subprocess.run(["umount", program])
            systemctl("reset-failed", unit)


def switching_back_and_forth_is_never_refused():
    """Twenty switches back to back, each timed from systemctl start to the
    new pattern's first write: through the old one's stop and its glowoff."""
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    latencies_ms = []
    # Where each switch's time goes: the old pattern's stop and glowoff's
    # start, glowoff's run, and the new pattern's start up to its first write.
    stages_ms: list[list[float]] = [[], [], []]
    for switch in range(SWITCHES):
        program = ("glowtwice", "glowbreathe")[switch % 2]
        before = len(runs(program))
        started_us = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
        start(program)
        wait_until(lambda: has_written(program, before + 1), f"switch {switch + 1}'s first write")
        first_write = runs(program)[before].calls("softPwmWrite")[0]
        latencies_ms.append((first_write.time_us - started_us) / 1000)
        dark = runs("glowoff")[-1]
        marks = (started_us, dark.first_us, dark.last_us, first_write.time_us)
        for stage, (begin, end) in enumerate(zip(marks, marks[1:])):
            stages_ms[stage].append((end - begin) / 1000)
    active = [unit for unit in UNITS if show(unit, "ActiveState") != "inactive"]
    check(active == [f"{program}.service"], f"after {SWITCHES} switches: {active}")
    latencies_ms.sort()
    report.append(f"# {SWITCHES} switches, ms from start to first write: median "
                  f"{latencies_ms[len(latencies_ms) // 2]:.0f}, "
                  f"p95 {latencies_ms[-(-len(latencies_ms) * 95 // 100) - 1]:.0f}, "
                  f"all {' '.join(f'{ms:.0f}' for ms in latencies_ms)}")
    medians = [sorted(stage)[len(stage) // 2] for stage in stages_ms]
    report.append("# median ms: old pattern stopped and glowoff started {:.0f}, glowoff ran "
                  "{:.0f}, new pattern started and wrote {:.0f}".format(*medians))


def runs_as_an_unprivileged_user_in_the_gpio_group():
    start("glowbreathe")
    # Until the program itself runs, systemd may still be setting it up as root.
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    pid = program_pid("glowbreathe.service")
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.rstrip("\n").split(":\t", 1) for line in status if ":\t" in line)
    uids = fields["Uid"].split()
    check(all(uid != "0" for uid in uids), f"runs as uid {uids}")
    gpio = str(grp.getgrnam("gpio").gr_gid)
    check(gpio in fields["Groups"].split(), f"not in the gpio group ({gpio}): {fields['Groups']}")
    check(int(fields["CapEff"], 16) == 0, f"has capabilities {fields['CapEff']}")
    wait_until(lambda: any(e.kind == "sched" for e in runs("glowbreathe")[-1].events),
               "the channel thread's scheduling")
    sched = next(e for e in runs("glowbreathe")[-1].events if e.kind == "sched")
    got = f"{sched.words[0]} {sched.numbers[1]}"
    check(show("glowbreathe.service", "LimitRTPRIO") == "99", "the unit sets no real-time limit")
    with open(f"/proc/{pid}/limits") as limits:
        soft = next(line.split()[3] for line in limits if line.startswith("Max realtime priority"))
    # systemd grants the limit only as far as its own hard limit allows: in a
    # sandbox without CAP_SYS_RESOURCE that may be 0, and the thread must then
    # go on at normal priority, as wiringPi's does.
    expected = "SCHED_RR 90" if int(soft) >= 90 else "SCHED_OTHER 0"
    check(got == expected, f"with a real-time limit of {soft} the channel thread got {got}")
    report.append(f"# real-time limit in force {soft}: the channel thread got {got}")


STATE = "/var/lib/systemd/deb-systemd-helper-enabled"  # what the maintainer scripts record
ALL_UNITS = UNITS + ("glow-gpio.service",)


def apt(*arguments: str) -> None:
    started = time.monotonic()
    result = subprocess.run(["apt-get", "-y", "-q", *arguments],
                            capture_output=True, text=True, timeout=600,
                            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    report.append(f"# apt-get {arguments[0]}: {time.monotonic() - started:.1f} s")
    check(result.returncode == 0, f"apt-get {' '.join(arguments)}: {result.stdout[-800:]}"
          f"{result.stderr[-800:]}")


def install() -> None:
    """The package and a wiringpi package; in a container on a system that
    has no polkit until the package brings it: its packages wait in apt's
    cache, offline."""
    polkit = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "polkitd"], capture_output=True,
                            text=True).stdout
    check(KIND == "guest" or not polkit.endswith(" installed"), "polkitd was installed before glow")
    for deb in glob.glob("/var/cache/test-debs/*.deb"):
        shutil.copy(deb, "/var/cache/apt/archives/")
    apt("install", f"{DEBS}/wiringpi.deb", f"{DEBS}/glow.deb")


def upgrade_restarts_the_running_pattern_on_the_new_programs_and_keeps_it_enabled():
    start("glowtwice")
    wait_until(lambda: has_written("glowtwice", 1), "glowtwice's first write")
    check(systemctl("enable", "glowtwice").returncode == 0, "could not enable glowtwice")
    try:
        old_pid = program_pid("glowtwice.service")
        apt("install", f"{DEBS}/glow-upgrade.deb")
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "glow"],
                                 capture_output=True, text=True).stdout
        check(version.endswith("+1"), f"glow {version} is installed, not the upgrade")
        check(systemctl("is-enabled", "glowtwice").stdout.strip() == "enabled",
              "the upgrade did not keep glowtwice enabled")
        wait_until(lambda: has_written("glowtwice", 2), "the new glowtwice's first write")
        old, new = runs("glowtwice")
        check(not os.path.exists(f"/proc/{old_pid}"), "the old process still runs")
        executable = os.readlink(f"/proc/{program_pid('glowtwice.service')}/exe")
        check(executable == "/usr/bin/glowtwice", f"the pattern runs {executable}")
        expect_dark_after(runs("glowoff")[-1], "between the old and the new glowtwice", old, new)
    finally:
        systemctl("disable", "glowtwice")


def removal_stops_the_pattern_dark_and_forgets_the_units():
    start("glowtwice")
    wait_until(lambda: has_written("glowtwice", 1), "glowtwice's first write")
    # Chosen for boot too, so that the purge has links to remove.
    check(systemctl("enable", "glowtwice").returncode == 0, "could not enable glowtwice")
    apt("remove", "glow")
    twice, = runs("glowtwice")
    expect_dark_after(runs("glowoff")[-1], "after the removal", twice)
    for unit in ALL_UNITS:
        check(show(unit, "LoadState") == "not-found", f"{unit} is still known")
    check(not glob.glob("/usr/bin/glow*"), "programs left behind")


def purge_leaves_nothing():
    listed = subprocess.run(["dpkg-query", "-L", "glow"], capture_output=True, text=True).stdout
    apt("purge", "glow")
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "glow"], capture_output=True,
                            text=True)
    check(status.returncode != 0 or status.stdout.endswith("not-installed"), "dpkg still knows glow")
    left = [path for path in listed.split() if os.path.isfile(path) or os.path.islink(path)]
    left += glob.glob("/etc/systemd/system/**/glow*", recursive=True)
    left += glob.glob(f"{STATE}/**/glow*", recursive=True)
    left += glob.glob("/var/lib/dpkg/info/glow.*")
    check(not left, f"left after purge: {left}")


def installs_on_a_running_system_with_every_unit_disabled_and_its_state_recorded():
    apt("install", f"{DEBS}/glow.deb")
    for unit in ALL_UNITS:
        state = "static" if unit == "glow-gpio.service" else "disabled"
        check(systemctl("is-enabled", unit).stdout.strip() == state, f"{unit} is not {state}")
        check(show(unit, "ActiveState") == "inactive", f"{unit} was started")
        check(os.path.exists(f"{STATE}/{unit}.dsh-also"), f"no state recorded for {unit}")
    start("glowfive")
    wait_until(lambda: has_written("glowfive", 1), "glowfive's first write")


# The package's life after the scenarios above, in this order.
LIFE = [
    upgrade_restarts_the_running_pattern_on_the_new_programs_and_keeps_it_enabled,
    removal_stops_the_pattern_dark_and_forgets_the_units,
    purge_leaves_nothing,
    installs_on_a_running_system_with_every_unit_disabled_and_its_state_recorded,
]


def the_shutdown_pattern_shows_while_the_services_stop():
    """Run by a test service's stop while the container shuts down, after
    main() left glowbreathe shown and glow-shutdown@glowtwice enabled: the
    shutdown pattern takes over while the ordinary services still stop."""
    wait_until(lambda: has_written("glowtwice", 1), "the shutdown pattern's first write")
    breathe, = runs("glowbreathe")
    twice, = runs("glowtwice")
    expect_dark_after(runs("glowoff")[-1], "from the pattern shown to the shutdown one", breathe,
                      twice)
    check(show("glow-shutdown@glowtwice.service", "ActiveState") == "active",
          "the shutdown pattern does not run")
    # The failure light ends with the system, at once: it holds nothing up.
    wait_until(lambda: show(LIGHT, "ActiveState") in ("inactive", "failed"), "the light to end")
    light_stop_ms = (monotonic_us(LIGHT, "InactiveEnter") - monotonic_us(LIGHT, "ActiveExit")) / 1000
    check(show(LIGHT, "Result") == "success" and light_stop_ms < 5000,
          f"the light ended with {show(LIGHT, 'Result')} after {light_stop_ms:.0f} ms")
    report.append(f"# shutdown: the shutdown pattern wrote "
                  f"{(twice.calls('softPwmWrite')[0].time_us - breathe.last_us) / 1e3:.0f} ms "
                  f"after the pattern shown had ended; the failure light ended in "
                  f"{light_stop_ms:.0f} ms")


def show_a_pattern_for_the_shutdown() -> None:
    check(systemctl("enable", "glow-shutdown@glowtwice.service").returncode == 0,
          "could not enable glow-shutdown@glowtwice")
    check(systemctl("enable", "--now", LIGHT).returncode == 0, f"could not enable {LIGHT}")
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")


def mapped_node(unit: str) -> str | None:
    """The GPIO node the unit's program has mapped, if any."""
    try:
        with open(f"/proc/{program_pid(unit)}/maps") as maps:
            text = maps.read()
    except (IndexError, OSError):
        return None
    return next((node for node in ("/dev/gpiomem0", "/dev/gpiomem") if node in text), None)


def a_board_with_only_one_of_the_two_nodes_runs_the_units():
    # /dev/gpiomem alone, as on a Pi 4, then /dev/gpiomem0 alone, as on a Pi
    # 5: the units bind the one there and the program maps it, through the
    # virtual board, which takes the node the system has, as wiringPi does.
    drop_in("glowfive.service", "[Service]\nUnsetEnvironment=GLOW_BOARD_GPIO_DEVICE\n")
    try:
        for present, missing in (("/dev/gpiomem", "/dev/gpiomem0"), ("/dev/gpiomem0", "/dev/gpiomem")):
            if os.path.exists(missing):
                os.remove(missing)
            make_device(0o660, path=present)
            start("glowfive")
            wait_until(lambda: mapped_node("glowfive.service") == present, f"{present} mapped")
            systemctl("stop", "glowfive")
    finally:
        for node in ("/dev/gpiomem", "/dev/gpiomem0"):
            if os.path.exists(node):
                os.remove(node)


# A guest's board, as run-system.sh made it: which node, the byte offsets of
# the set, clear and level words in the register file that wiringPi maps.
BOARD = {}
if KIND == "guest":
    with open(os.path.join(OUT, "board.env")) as board_settings:
        BOARD = dict(line.split("=", 1) for line in board_settings.read().split())
NODE = BOARD.get("NODE", "")
REGISTERS_TRACE = "/run/glow-registers.trace"
PREPARED = "/run/glow-prepared"


def make_node(path: str, mode: int, kind: str | None = None) -> None:
    """By default a register file as large as the map, in place of the node
    wiringPi maps, or else a node of the kind given ("c 240"); owned by gpio
    as a board's is."""
    if os.path.exists(path):
        os.remove(path)
    if kind is None:
        # Written out: a page first written after the file systems went
        # read-only at a shutdown would be refused (SIGBUS).
        with open(path, "wb") as registers:
            registers.write(bytes(int(BOARD["NODE_BYTES"])))
    else:
        subprocess.run(["mknod", path, *kind.split(), "0"], check=True)
    os.chown(path, 0, grp.getgrnam("gpio").gr_gid)
    os.chmod(path, mode)


def start_register_probe() -> None:
    """The pin's levels from the node's file, from now on, as the chip would
    show them, through the shutdown hooks: its unit has no default
    dependencies, so that no shutdown stops it, and its name starts with
    '@', which systemd-shutdown's last kill spares."""
    systemctl("stop", "glow-test-registers.service")
    systemctl("reset-failed", "glow-test-registers.service")
    if os.path.exists(REGISTERS_TRACE):
        os.remove(REGISTERS_TRACE)
    probe = "/usr/local/sbin/glow-register-probe"  # on the root, which is never unmounted
    shutil.copy(os.path.join(OUT, "register_probe"), probe)
    subprocess.run(["systemd-run", "--unit=glow-test-registers", "-p", "DefaultDependencies=no",
                    "/bin/bash", "-c", 'exec -a @register_probe "$0" "$@"', probe, NODE,
                    BOARD["BOARD"], BOARD["BCM"], WIRING["GLOW_BOARD_LED"],
                    WIRING["GLOW_BOARD_LED_ACTIVE"], REGISTERS_TRACE, "2000"],
                   capture_output=True, timeout=60 * SLOWNESS)
    wait_until(lambda: os.path.exists(REGISTERS_TRACE), "the register probe")


def pin_levels() -> list[tuple[int, int]]:
    """The LED pin's levels so far, as (µs, level), from the probe's trace."""
    try:
        return glowtrace.read_trace(REGISTERS_TRACE).levels()
    except (glowtrace.TraceError, OSError):
        return []  # a line still being written: the next look reads it


def light(level: int) -> int:
    return 1 - level if WIRING["GLOW_BOARD_LED_ACTIVE"] == "low" else level


def installs_and_makes_the_gpio_group():
    # The units' states and recorded state after an install are checked on a
    # running container; the group is made here alone, as the containers'
    # test users make it too.
    install()
    check(subprocess.run(["getent", "group", "gpio"], capture_output=True).returncode == 0, "no gpio group")
    make_node(NODE, 0o660)
    start_register_probe()
    open(PREPARED, "w").close()


def starts_and_stops_dark():
    since_us = time.monotonic_ns() // 1000  # the traces' clock
    start("glowtwice")
    wait_until(lambda: sum(1 for t, _ in pin_levels() if t >= since_us) >= 2,
               "glowtwice on the pin", 60)
    check(systemctl("stop", "glowtwice").returncode == 0, "systemctl stop glowtwice failed")

    def dark_at_rest() -> bool:
        levels = pin_levels()
        return bool(levels) and light(levels[-1][1]) == 0 and \
            time.monotonic_ns() // 1000 - levels[-1][0] > 1000000
    wait_until(dark_at_rest, "the LED dark and at rest after glowtwice stopped", 60)


def scheduling(unit: str) -> str:
    """The channel thread's policy and priority, from procfs: SCHED_RR and
    its priority where a thread of the program has it, else SCHED_OTHER 0."""
    def threads() -> list[tuple[int, int]]:
        found = []
        try:
            pid = program_pid(unit)
            for task in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{task}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                found.append((int(fields[38]), int(fields[37])))  # policy, rt_priority
        except (IndexError, OSError):
            return []
        return found
    wait_until(lambda: len(threads()) >= 2, "the channel thread")
    round_robin = [priority for policy, priority in threads() if policy == 2]
    return f"SCHED_RR {round_robin[0]}" if round_robin else "SCHED_OTHER 0"


def channel_thread_is_real_time_only_under_the_units_limit():
    start("glowbreathe")
    got = scheduling("glowbreathe.service")
    check(got == "SCHED_RR 90", f"under LimitRTPRIO=99 the channel thread got {got}")
    drop_in("glowbreathe.service", "[Service]\nLimitRTPRIO=0\n")
    systemctl("restart", "glowbreathe")
    got = scheduling("glowbreathe.service")
    check(got == "SCHED_OTHER 0", f"without the limit the channel thread got {got}")


def open_fails_with(reason: str) -> None:
    systemctl("restart", "glowtwice")
    wait_until(lambda: show("glowtwice.service", "ActiveState") == "failed", "glowtwice to fail")
    # wiringPi's own words, which the virtual board also uses.
    wait_until(lambda: f"or {NODE}: {reason}." in
               subprocess.run(["journalctl", "-u", "glowtwice", "-n", "12", "-o", "cat"],
                              capture_output=True, text=True).stdout,
               f"'{reason}' in the journal")
    systemctl("reset-failed", "glowtwice")


def the_gpio_node_passes_every_check_and_each_check_can_refuse():
    # Root:gpio 0660, through the group, under the shipped units' confinement.
    start("glowtwice")
    wait_until(lambda: mapped_node("glowtwice.service") == NODE, f"{NODE} mapped")
    # Which check refuses, told apart by the error: a char node of a major
    # with no driver passes them all and only then fails (ENXIO); the
    # device policy refuses with EPERM, the file's mode with EACCES.
    make_node(NODE, 0o660, "c 240")
    open_fails_with("No such device or address")
    drop_in("glowtwice.service", "[Service]\nDeviceAllow=\n")
    open_fails_with("Operation not permitted")
    remove_drop_ins()
    os.chmod(NODE, 0o600)
    open_fails_with("Permission denied")


# The second boot, after the reboot that the last check of the first asks for.
REBOOTED = "/var/lib/glow-system-test/rebooted"
# The test's shutdown hook runs beside glow's own once the file systems are
# unmounted: this harness, copied to the root with what it reads.
HOOK = "/usr/lib/systemd/system-shutdown/glow-system-test"
HOOK_FOLDER = "/usr/local/lib/glow-system-test"


def arm_the_shutdown(then: str) -> None:
    """A register file for the LED, its probe, and the test's end made an
    orderly reboot or power-off."""
    make_node(NODE, 0o660)
    if os.path.exists("/dev/mem"):
        # glow's shutdown hook runs its program as root, unconfined, where
        # wiringPi maps /dev/mem first: this machine has no BCM chip there,
        # so the node it falls back to is the register file.
        os.remove("/dev/mem")
    start_register_probe()
    os.makedirs("/run/systemd/system/test-system.service.d", exist_ok=True)
    with open("/run/systemd/system/test-system.service.d/then.conf", "w") as drop_in_file:
        drop_in_file.write(f"[Unit]\nSuccessAction={then}\n")
    systemctl("daemon-reload")


def the_story_is_enabled_for_a_reboot_and_a_power_off():
    for unit in ("glow-shutdown@glowtwice.service", "glow-poweroff@glowfull.service"):
        check(systemctl("enable", unit).returncode == 0, f"could not enable {unit}")
    shutil.rmtree(HOOK_FOLDER, ignore_errors=True)
    shutil.copytree(os.path.join(HERE, "..", "..", "tools", "glowtrace"),
                    os.path.join(HOOK_FOLDER, "glowtrace"))
    shutil.copy(os.path.abspath(__file__), HOOK_FOLDER)
    for name in ("test.env", "programs.txt", "virtual-board.env", "board.env"):
        shutil.copy(os.path.join(OUT, name), HOOK_FOLDER)
    with open(HOOK, "w") as hook:
        hook.write(f"#!/bin/sh\nexec /usr/bin/python3 -B {HOOK_FOLDER}/harness.py {HOOK_FOLDER} "
                   "--hook \"$1\" >/dev/console 2>&1\n")
    os.chmod(HOOK, 0o755)
    os.makedirs(os.path.dirname(REBOOTED), exist_ok=True)
    open(REBOOTED, "w").close()
    arm_the_shutdown("reboot")


def the_story_stays_enabled_for_a_power_off():
    for unit in ("glow-shutdown@glowtwice.service", "glow-poweroff@glowfull.service"):
        check(systemctl("is-enabled", unit).stdout.strip() == "enabled", f"{unit} is not enabled")
    arm_the_shutdown("poweroff")


def left_lit_after_a_power_off_and_dark_after_a_reboot():
    """Once glow's own hook has run its program: what the LED was left at,
    from the node's level words (GPLEV0 and GPLEV1, or RIO's one input word
    on a Pi 5) and its set and clear words (what wiringPi wrote once the
    probe had ended); and the shutdown pattern's flashes, lit for 50 ms or
    more (a channel's first cycle lights 1 ms at most), in the probe's trace."""
    def running() -> bool:
        # A glow program that has ended stays a zombie until systemd-shutdown reaps it.
        for status in glob.glob("/proc/[0-9]*/status"):
            try:
                with open(status) as file:
                    fields = dict(line.split(":", 1) for line in file if ":" in line)
            except OSError:
                continue
            if fields["Name"].strip() in ("glowfull", "glowoff") and fields["State"].split()[0] in "RSD":
                return True
        return False
    time.sleep(3)
    wait_until(lambda: not running(), "glow's shutdown program to end", 30)
    time.sleep(0.5)  # the probe's last look
    with open(NODE, "rb") as registers:
        data = registers.read()
    def word(byte: int) -> int:
        return int.from_bytes(data[byte:byte + 4], "little")
    levels = word(int(BOARD["LEVEL_BYTE"]))
    if BOARD["BOARD"] != "pi5":
        levels |= word(int(BOARD["LEVEL_BYTE"]) + 4) << 32  # GPLEV1 follows GPLEV0
    set_word, clear_word = word(int(BOARD["SET_BYTE"])), word(int(BOARD["CLEAR_BYTE"]))
    # Only the LED's pin is driven: its level is the one bit set, if any.
    check(levels & (levels - 1) == 0, f"more than one pin high ({levels:#x})")
    check(not (set_word and clear_word), "both set and cleared after the probe ended")
    level = 1 if set_word else 0 if clear_word else int(levels != 0)
    flashes, lit_since = 0, None
    for time_us, pin in pin_levels():
        if light(pin) and lit_since is None:
            lit_since = time_us
        elif not light(pin) and lit_since is not None:
            flashes += time_us - lit_since >= 50000
            lit_since = None
    expected = 1 if PHASE == "poweroff" else 0
    report.append(f"# after the {PHASE}: the LED {'lit' if light(level) else 'dark'}, "
                  f"shutdown pattern {flashes} flashes")
    check(light(level) == expected, f"the LED was left {'lit' if light(level) else 'dark'}")
    check(flashes >= 1, "the shutdown pattern did not show")


PHASE = ""  # what this run checks: boot, rebooted, shutdown, or a hook's reboot or poweroff


# The checks of each kind, in this order; a container's figures at rest take
# a minute, and run only where asked for by name.
CONTAINER = [
    booting_pattern_shows_until_boot_is_complete_then_the_ready_one,
    switching_stops_the_first_then_darkens_then_starts_the_second,
    stopping_leaves_the_pin_low,
    full_glow_and_dark_act_whatever_ran_before,
    a_missing_gpio_device_after_boot_fails_fast,
    an_application_failure_shows_until_it_starts_again,
    failed_for_good_shows_until_reset_or_run_again,
    crash_loop_shows_steadily_until_it_has_run_a_while,
    failed_mount_shows,
    isolate_on_failure_unit_loads_and_reaches_its_target,
    own_target_unit_reads_the_same_and_reaches_its_target,
    chosen_pattern_stays_when_the_failure_ends,
    glow_units_and_units_left_out_count_for_nothing,
    second_light_stands_by_and_says_why,
    light_follows_daemon_reexec_and_a_bus_restart,
    a_storm_of_failures_shows_and_clears_at_the_last_reset,
    a_failure_pattern_started_by_hand_is_left_alone,
    story_instances_other_than_the_programs_are_refused,
    demo_says_which_unit_drives_the_led,
    killed_pattern_is_restarted,
    a_program_the_processor_cannot_run_is_said_and_not_restarted,
    runs_as_an_unprivileged_user_in_the_gpio_group,
    switching_back_and_forth_is_never_refused,
    one_pattern_is_enabled_for_boot_and_presets_enable_none,
    gpio_members_switch_patterns_and_nothing_else,
    a_service_user_switches_by_the_readme_recipe,
    a_board_with_only_one_of_the_two_nodes_runs_the_units,
] + LIFE
GUEST = [
    installs_and_makes_the_gpio_group,
    starts_and_stops_dark,
    channel_thread_is_real_time_only_under_the_units_limit,
    the_gpio_node_passes_every_check_and_each_check_can_refuse,
    the_story_is_enabled_for_a_reboot_and_a_power_off,
]
BY_NAME_ONLY = [the_failure_light_at_rest, the_failure_light_under_churn]
SWITCHES = 20

report: list[str] = []


def run_all(name: str, steps: list) -> int:
    """Runs each step after reset() and adds it to the report; whether all
    passed. diagnose() adds what a failure left behind."""
    failed = 0
    for step in steps:
        started = time.monotonic()
        try:
            reset()  # in the step's account: a reset that fails fails the step, not the run
            step()
            report.append(f"ok - {step.__name__} ({time.monotonic() - started:.0f} s)")
        except Exception as error:  # a crash in a step is its failure, not the run's end
            failed += 1
            detail = str(error) if isinstance(error, Failed) else traceback.format_exc()
            report.append(f"not ok - {step.__name__} ({time.monotonic() - started:.0f} s): {detail}")
            report.append(diagnose())
    report.append(f"{name}: {len(steps) - failed} passed, {failed} failed")
    return 1 if failed else 0


def reset() -> None:
    """No running unit, no scenario drop-in, the units as shipped; in a
    container no traces and the device there, in a guest the node as made."""
    if PHASE in ("shutdown", "reboot", "poweroff"):
        return  # the system is shutting down: what it does is what is checked
    stop_all()
    remove_drop_ins()
    if KIND == "container":
        for path in glob.glob(f"{TRACES}/*"):
            os.remove(path)
        os.makedirs(TRACES, exist_ok=True)
        os.chmod(TRACES, 0o1777)
        make_device(0o660)
    elif os.path.exists(PREPARED):
        make_node(NODE, 0o660)
        systemctl("reset-failed")


def diagnose() -> str:
    """The journal's last lines, and a guest's nodes and pin, for a failed step."""
    text = ""
    if KIND == "guest":
        text = subprocess.run(["sh", "-c", f"ls -l /dev/gpiomem*; tail -n 6 {REGISTERS_TRACE}"],
                              capture_output=True, text=True).stdout
    if PHASE not in ("reboot", "poweroff"):  # a hook's journal is gone
        text += subprocess.run(["journalctl", "-b", "-n", "30", "-o", "short-monotonic"],
                               capture_output=True, text=True, timeout=60).stdout
    return "  " + text.replace("\n", "\n  ")


def mask_idle_generators() -> None:
    """Until the next boot, a reload runs only the generators that make the
    system's units (its mounts, any init script's) and the package's: the
    others find nothing here, and the scenarios reload often, under
    emulation seconds a generator."""
    os.makedirs("/run/systemd/system-generators", exist_ok=True)
    for path in glob.glob("/usr/lib/systemd/system-generators/systemd-*"):
        name = os.path.basename(path)
        mask = f"/run/systemd/system-generators/{name}"
        if name not in ("systemd-fstab-generator", "systemd-sysv-generator") and \
                not os.path.lexists(mask):
            os.symlink("/dev/null", mask)


def main(mode: list[str]) -> int:
    global PHASE
    if mode == ["--install"]:
        # Before a container's boot, with nothing running.
        try:
            install()
        except Failed as error:
            print(f"install: {error}", file=sys.stderr)
            return 1
        print("\n".join(report))
        return 0
    if mode[:1] == ["--hook"]:
        PHASE = mode[1]
        status = run_all(PHASE, [left_lit_after_a_power_off_and_dark_after_a_reboot])
        print("\n".join(f"glow-test-report: {line}" for line in "\n".join(report).splitlines()),
              flush=True)
        return status
    mask_idle_generators()
    if mode == ["--shutdown"]:
        PHASE, steps = "shutdown", [the_shutdown_pattern_shows_while_the_services_stop]
    elif KIND == "guest":
        PHASE, steps = ("rebooted", [the_story_stays_enabled_for_a_power_off]) \
            if os.path.exists(REBOOTED) else ("boot", GUEST)
    else:
        keep_the_boot_traces()
        chosen = ROW["STEPS"].split()
        PHASE = "boot"
        steps = [step for step in CONTAINER + BY_NAME_ONLY
                 if step.__name__ in chosen or not chosen and step not in BY_NAME_ONLY]
        # A name asked for that is no step (renamed, mistyped) fails the run.
        unknown = sorted(set(chosen) - {step.__name__ for step in steps})
        if unknown:
            def steps_asked_for_exist():
                raise Failed(f"no such step: {' '.join(unknown)}")
            steps.insert(0, steps_asked_for_exist)
        # The container's shutdown comes next, with a pattern to take over from.
        steps.append(show_a_pattern_for_the_shutdown)
    status = run_all(PHASE, steps)
    with open(os.path.join(OUT, f"{PHASE}.report"), "w") as file:
        file.write("\n".join(report) + "\n")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[2:]))
