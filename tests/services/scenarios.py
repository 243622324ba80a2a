"""The glow units under a real systemd, run inside the test container by
run-in-container.sh: how starting, stopping and failing units drive the
LED, judged from each process's virtual board trace and from systemd.
Writes a report to the folder it is given and exits 0 only if all passed."""

from __future__ import annotations

import glob
import grp
import os
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tools", "glowtrace"))
import glowtrace  # noqa: E402

TRACES = "/run/glow-traces"
# The build's own list of programs, one unit each; the build folder is bound here.
with open("/opt/glow/programs.txt", encoding="utf-8") as listed:
    UNITS = tuple(name + ".service" for name in listed.read().split())


class Failed(Exception):
    pass


def check(condition: bool, message: str) -> None:
    if not condition:
        raise Failed(message)


def systemctl(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(["systemctl", *arguments], capture_output=True, text=True, timeout=60)


def show(unit: str, name: str) -> str:
    return systemctl("show", "--value", "-p", name, unit).stdout.strip()


def wait_until(condition, what: str, seconds: float = 15) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
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
        return any(level == 1 for _, level in self.trace.levels())


def runs(program: str) -> list[Run]:
    """Every process of the program so far, oldest first."""
    found = [Run(path) for path in glob.glob(f"{TRACES}/{program}.*.trace")]
    return sorted((run for run in found if run.events), key=lambda run: run.first_us)


def has_written(program: str, count: int) -> bool:
    try:
        return len(runs(program)) >= count and bool(runs(program)[count - 1].calls("softPwmWrite"))
    except glowtrace.TraceError:
        return False  # a line still being written


def start(unit: str) -> None:
    result = systemctl("start", unit)
    check(result.returncode == 0, f"systemctl start {unit}: {result.stderr.strip()}")


def stop_all() -> None:
    systemctl("stop", *UNITS)
    systemctl("reset-failed", *UNITS)


def expect_dark_after(run: Run, what: str) -> None:
    check(run.exited(), f"{what}: glowoff did not exit by itself")
    check(run.calls("softPwmWrite") and run.calls("softPwmWrite")[-1].numbers == [4, 0],
          f"{what}: glowoff did not write dark")
    check(run.last_level() == 0, f"{what}: the pin did not end low")


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
    check(breathe.last_us <= dark.first_us,
          f"glowoff started at {dark.first_us} us, before glowbreathe's last event at {breathe.last_us}")
    expect_dark_after(dark, "after glowbreathe")
    check(dark.last_us <= twice.first_us,
          f"glowtwice started at {twice.first_us} us, before glowoff ended at {dark.last_us}")


def stopping_leaves_the_pin_low():
    start("glowfive")
    wait_until(lambda: has_written("glowfive", 1), "glowfive's first write")
    check(systemctl("stop", "glowfive").returncode == 0, "systemctl stop glowfive failed")
    five, = runs("glowfive")
    dark = runs("glowoff")[-1]
    check(five.last_us <= dark.first_us, "glowoff ran before glowfive had ended")
    expect_dark_after(dark, "after stopping glowfive")


def full_glow_stays_active_lit_until_glowoff():
    start("glowfull")
    check(show("glowfull.service", "ActiveState") == "active",
          "glowfull.service is not active after its program exited")
    full, = runs("glowfull")
    check(full.exited() and full.last_level() == 1, "glowfull did not exit with the pin high")
    offs_before = len(runs("glowoff"))
    start("glowoff")
    check(show("glowfull.service", "ActiveState") == "inactive", "glowfull.service still active")
    check(show("glowoff.service", "ActiveState") == "active",
          "glowoff.service is not active after its program exited")
    offs = runs("glowoff")
    check(len(offs) == offs_before + 2, "expected the glowfull stop's glowoff and glowoff.service's")
    for dark in offs[offs_before:]:
        check(full.last_us <= dark.first_us, "glowoff ran before glowfull had ended")
        expect_dark_after(dark, "after glowfull")


def failed_set_up_fails_the_unit_lights_nothing_and_is_not_restarted():
    folder = "/run/systemd/system/glowtwice.service.d"
    os.makedirs(folder, exist_ok=True)
    with open(f"{folder}/fail.conf", "w") as drop_in:
        drop_in.write("[Service]\nEnvironment=GLOW_BOARD_FAIL=gpio-access\n")
    try:
        systemctl("daemon-reload")
        before = len(runs("glowtwice"))
        systemctl("start", "glowtwice")
        wait_until(lambda: show("glowtwice.service", "ActiveState") == "failed", "the unit to fail")
        time.sleep(2.5)  # longer than RestartSec: a restart would have come by now
        check(show("glowtwice.service", "ActiveState") == "failed", "the unit did not stay failed")
        check(show("glowtwice.service", "NRestarts") == "0", "the unit was restarted")
        check(show("glowtwice.service", "ExecMainStatus") == "1", "the program's status was not 1")
        failed = runs("glowtwice")[before:]
        check(len(failed) == 1, f"{len(failed)} glowtwice processes, expected one")
        check(any(e.kind == "fatal" for e in failed[0].events), "no failure in the trace")
        check(not failed[0].calls("softPwmWrite") and not failed[0].lit(), "something was lit")
    finally:
        os.remove(f"{folder}/fail.conf")
        systemctl("daemon-reload")
        systemctl("reset-failed", "glowtwice")


def killed_pattern_is_restarted():
    start("glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    first_pid = show("glowbreathe.service", "MainPID")
    systemctl("kill", "--signal=SIGKILL", "--kill-whom=main", "glowbreathe")
    wait_until(lambda: show("glowbreathe.service", "NRestarts") == "1", "a restart")
    wait_until(lambda: show("glowbreathe.service", "ActiveState") == "active", "the unit to run")
    check(show("glowbreathe.service", "MainPID") not in ("0", first_pid), "no new main process")
    wait_until(lambda: has_written("glowbreathe", 2), "the restarted glowbreathe's write")


def runs_as_an_unprivileged_user_in_the_gpio_group():
    start("glowbreathe")
    # Until the program itself runs, systemd may still be setting it up as root.
    wait_until(lambda: has_written("glowbreathe", 1), "glowbreathe's first write")
    pid = show("glowbreathe.service", "MainPID")
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


SCENARIOS = [
    switching_stops_the_first_then_darkens_then_starts_the_second,
    stopping_leaves_the_pin_low,
    full_glow_stays_active_lit_until_glowoff,
    failed_set_up_fails_the_unit_lights_nothing_and_is_not_restarted,
    killed_pattern_is_restarted,
    runs_as_an_unprivileged_user_in_the_gpio_group,
]

report: list[str] = []


def main(out: str) -> int:
    failed = 0
    for scenario in SCENARIOS:
        # Each scenario starts from no traces and no running unit.
        stop_all()
        for path in glob.glob(f"{TRACES}/*"):
            os.remove(path)
        os.makedirs(TRACES, exist_ok=True)
        os.chmod(TRACES, 0o1777)
        try:
            scenario()
            report.append(f"ok - {scenario.__name__}")
        except Exception as error:  # a crash in a scenario is its failure, not the run's end
            failed += 1
            detail = str(error) if isinstance(error, Failed) else traceback.format_exc()
            report.append(f"not ok - {scenario.__name__}: {detail}")
    stop_all()
    report.append(f"services: {len(SCENARIOS) - failed} passed, {failed} failed")
    with open(os.path.join(out, "report"), "w") as file:
        file.write("\n".join(report) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
