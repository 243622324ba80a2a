"""The glow units under a real systemd, run inside the test container by
run-in-container.sh: how starting, stopping and failing units drive the
LED, judged from each process's virtual board trace and from systemd.
Writes a report to the folder it is given and exits 0 only if all passed."""

from __future__ import annotations

import glob
import grp
import os
import shutil
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tools", "glowtrace"))
import glowtrace  # noqa: E402

TRACES = "/run/glow-traces"
BOOT_TRACES = "/run/glow-boot-traces"  # what the LED did while the container booted
DEVICE = "/run/glow-gpio/gpiomem"  # the virtual board opens it as wiringPi opens /dev/gpiomem
# The build's own table of programs, one unit each, a name first on each
# line; the build folder is bound here.
PROGRAMS = glowtrace.programs("/opt/glow/programs.txt")
UNITS = tuple(name + ".service" for name in PROGRAMS)
# The device's story: a pattern while booting, after an application failed
# and while shutting down, any program each.
STORY_UNITS = tuple(f"glow-{part}@{program}.service" for part in ("booting", "failed", "shutdown")
                    for program in PROGRAMS)


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


# How much slower than this machine the scenarios' system runs: an emulated
# one sets more, for its waits and for the pauses between its looks.
SLOWNESS = 1


def wait_until(condition, what: str, seconds: float = 15) -> None:
    seconds *= SLOWNESS
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05 * SLOWNESS)
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
    systemctl("stop", *UNITS, *STORY_UNITS)


def make_device(mode: int, group: str = "gpio") -> None:
    os.makedirs(os.path.dirname(DEVICE), exist_ok=True)
    with open(DEVICE, "a"):
        pass
    os.chown(DEVICE, 0, grp.getgrnam(group).gr_gid)
    os.chmod(DEVICE, mode)


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
    writes = run.calls("softPwmWrite")
    check(writes and run.trace.light(writes[-1].numbers[1], 100) == 0,
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
    built = glowtrace.build_settings("/opt/glow/virtual-board.env")
    wiring = {name: value for name, value in built.items() if name.startswith("GLOW_BOARD_LED")}
    environment = dict(os.environ, **wiring, LD_LIBRARY_PATH="/opt/glow/virtual-board",
                       GLOW_BOARD_TRACE_DIR=TRACES, GLOW_BOARD_GPIO_DEVICE=DEVICE)
    subprocess.run(["/opt/glow/programs/glowfull"], env=environment, check=True, timeout=10)
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


def any_failed_service_shows_until_none_is():
    """One command, and no drop-in of the application's: any failed service
    shows the failure pattern until none is failed, glow's own never."""
    broken = "test-app-broken.service"  # not a glow-* name
    check(systemctl("enable", "glowtwice").returncode == 0, "could not enable glowtwice")
    try:
        enabled = systemctl("enable", "glow-degraded@glowfive.service")
        check(enabled.returncode == 0, f"enable glow-degraded@glowfive: {enabled.stderr.strip()}")
        with open(f"/run/systemd/system/{broken}", "w") as unit:
            unit.write("[Service]\nExecStart=/bin/sh -c 'test -e /run/glow-test-app-mended && "
                       "exec sleep infinity'\n")
        # A glow unit that fails is not a failed service, and starts nothing.
        drop_in("glowbreathe.service", "[Service]\nExecStart=\nExecStart=/bin/false\n")
        check(show("glowbreathe.service", "OnFailure") == "" and
              set(show(broken, "OnFailure").split()) == {"glow-failed@glowfive.service",
                                                         "glow-degraded@glowfive.service"},
              f"OnFailure: glowbreathe {show('glowbreathe.service', 'OnFailure')!r}, "
              f"a service {show(broken, 'OnFailure')!r}")
        systemctl("start", "glowbreathe")
        wait_until(lambda: show("glowbreathe.service", "ActiveState") == "failed",
                   "glowbreathe to fail")
        time.sleep(1)
        check([show(u, "ActiveState") for u in ("glow-failed@glowfive.service",
                                                "glow-degraded@glowfive.service")] ==
              ["inactive", "inactive"], "a glow unit's failure started the failure pattern")
        systemctl("start", broken)
        wait_until(lambda: has_written("glowfive", 1), "the failure pattern's first write")
        check(show("glow-degraded@glowfive.service", "ActiveState") == "active",
              "nothing looks for the failure's end")
        # Mended and running again: the ready pattern, though glowbreathe is failed.
        open("/run/glow-test-app-mended", "w").close()
        start(broken)
        wait_until(lambda: show("glowtwice.service", "ActiveState") == "active",
                   "the ready pattern again")
        check([show(u, "ActiveState") for u in ("glow-failed@glowfive.service",
                                                "glow-degraded@glowfive.service")] ==
              ["inactive", "inactive"], "the failure pattern or its look goes on")
        # A failure again, then a pattern chosen by hand: reset, the choice stays.
        os.remove("/run/glow-test-app-mended")
        systemctl("restart", broken)
        wait_until(lambda: show("glow-failed@glowfive.service", "ActiveState") == "active",
                   "the failure pattern for the second failure")
        start("glowoff")
        systemctl("reset-failed", broken)
        wait_until(lambda: show("glow-degraded@glowfive.service", "ActiveState") == "inactive",
                   "the look to end after the reset")
        check(show("glowtwice.service", "ActiveState") == "inactive",
              "the ready pattern replaced one chosen since")
    finally:
        systemctl("disable", "glowtwice", "glow-degraded@glowfive.service")
        systemctl("stop", broken, "glow-degraded@glowfive.service")
        systemctl("reset-failed")
        for path in ("/run/glow-test-app-mended", f"/run/systemd/system/{broken}"):
            if os.path.exists(path):
                os.remove(path)


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
    finally:
        systemctl("disable", "glowtwice")
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


def switching_back_and_forth_is_never_refused():
    """Twenty switches back to back, each timed from systemctl start to the
    new pattern's first write: through the old one's stop and its glowoff."""
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    latencies_ms = []
    # Where each switch's time goes: the old pattern's stop and glowoff's
    # start, glowoff's hold, and the new pattern's start up to its first write.
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
    report.append("# median ms: old pattern stopped and glowoff started {:.0f}, glowoff held "
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
    report.append(f"# shutdown: the shutdown pattern wrote "
                  f"{(twice.calls('softPwmWrite')[0].time_us - breathe.last_us) / 1e3:.0f} ms "
                  "after the pattern shown had ended")


def show_a_pattern_for_the_shutdown() -> None:
    check(systemctl("enable", "glow-shutdown@glowtwice.service").returncode == 0,
          "could not enable glow-shutdown@glowtwice")
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")


SCENARIOS = [
    booting_pattern_shows_until_boot_is_complete_then_the_ready_one,
    switching_stops_the_first_then_darkens_then_starts_the_second,
    stopping_leaves_the_pin_low,
    full_glow_and_dark_act_whatever_ran_before,
    a_missing_gpio_device_after_boot_fails_fast,
    an_application_failure_shows_until_it_starts_again,
    any_failed_service_shows_until_none_is,
    story_instances_other_than_the_programs_are_refused,
    killed_pattern_is_restarted,
    runs_as_an_unprivileged_user_in_the_gpio_group,
    switching_back_and_forth_is_never_refused,
    one_pattern_is_enabled_for_boot_and_presets_enable_none,
    gpio_members_switch_patterns_and_nothing_else,
]
SWITCHES = 20

report: list[str] = []


def run_all(name: str, steps: list, reset, out: str, diagnose=None) -> int:
    """Runs each step after reset(), writes the report to out and tells
    whether all passed; diagnose() adds what a failure left behind."""
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
            if diagnose:
                report.append(diagnose())
    report.append(f"{name}: {len(steps) - failed} passed, {failed} failed")
    with open(os.path.join(out, "report"), "w") as file:
        file.write("\n".join(report) + "\n")
    return 1 if failed else 0


def reset() -> None:
    """No traces, no running unit, the units as shipped, the device there."""
    stop_all()
    remove_drop_ins()
    for path in glob.glob(f"{TRACES}/*"):
        os.remove(path)
    os.makedirs(TRACES, exist_ok=True)
    os.chmod(TRACES, 0o1777)
    make_device(0o660)


def diagnose() -> str:
    """The journal's last lines, for a failed scenario."""
    journal = subprocess.run(["journalctl", "-b", "-n", "30", "-o", "short-monotonic"],
                             capture_output=True, text=True, timeout=60).stdout
    return "  " + journal.replace("\n", "\n  ")


def main(out: str, chosen: list[str]) -> int:
    if chosen == ["--while-shutting-down"]:
        os.makedirs(os.path.join(out, "shutdown"), exist_ok=True)
        return run_all("shutdown", [the_shutdown_pattern_shows_while_the_services_stop],
                       lambda: None, os.path.join(out, "shutdown"), diagnose)
    keep_the_boot_traces()
    status = run_all("services", [s for s in SCENARIOS if not chosen or s.__name__ in chosen],
                     reset, out, diagnose)
    reset()
    # The container's shutdown comes next.
    status |= run_all("before the shutdown", [show_a_pattern_for_the_shutdown], lambda: None, out)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
