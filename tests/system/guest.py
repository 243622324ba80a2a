"""The package's life on an armhf Debian 12 system under a real systemd,
run inside the virtual machine by run-in-vm.sh, one step after another:
install with apt, switch and stop, the channel thread's real-time priority,
the units' device policy, who may switch, upgrade, removal and purge. The
programs run on a wiringpi package made of the virtual board, whose traces
tell what the LED did. Writes a report to the folder it is given (the
shared folder, /opt/glow) and exits 0 only if every step passed."""

from __future__ import annotations

import glob
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "services"))
import scenarios  # noqa: E402  (the container's scenarios, reused here)
from scenarios import check, runs, has_written, show, start, systemctl, wait_until  # noqa: E402

# Under software emulation a program takes seconds to start, and each look
# at the traces takes CPU from the programs.
scenarios.SLOWNESS = 4
WORK = sys.argv[1] if len(sys.argv) > 1 else "/opt/glow"
DEBS = os.path.join(WORK, "debs")
UNITS = scenarios.UNITS + ("glow-gpio.service",)
STATE = "/var/lib/systemd/deb-systemd-helper-enabled"
installed_files: list[str] = []


def run(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(arguments, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def apt(*arguments: str) -> None:
    result = run("apt-get", "-y", "-q", *arguments)
    print(result.stdout, result.stderr, file=sys.stderr)  # to the console file, for a failure
    check(result.returncode == 0, f"apt-get {' '.join(arguments)}: {result.stdout[-800:]}"
          f"{result.stderr[-800:]}")


def make_node(path: str, minor: int, mode: int, kind: str = "b 7") -> None:
    """By default a block node of the loop driver: one that opens and maps as
    /dev/gpiomem does, owned by gpio as a board's is."""
    if os.path.exists(path):
        os.remove(path)
    run("mknod", path, *kind.split(), str(minor))
    run("chgrp", "gpio", path)
    os.chmod(path, mode)


def scheduling(program: str) -> str:
    wait_until(lambda: runs(program) and any(e.kind == "sched" for e in runs(program)[-1].events),
               "the channel thread's scheduling")
    sched = next(e for e in runs(program)[-1].events if e.kind == "sched")
    return f"{sched.words[0]} {sched.numbers[1]}"


def installs_with_every_unit_disabled_and_its_state_recorded():
    apt("install", f"{DEBS}/wiringpi.deb", f"{DEBS}/glow.deb")
    installed_files.extend(run("dpkg", "-L", "glow").stdout.split())
    prepare()
    check(run("getent", "group", "gpio").returncode == 0, "no gpio group")
    for unit in UNITS:
        # The device wait has no [Install] section: the patterns pull it in.
        state = "static" if unit == "glow-gpio.service" else "disabled"
        check(systemctl("is-enabled", unit).stdout.strip() == state, f"{unit} is not {state}")
        check(show(unit, "ActiveState") == "inactive", f"{unit} was started")
        check(os.path.exists(f"{STATE}/{unit}.dsh-also"), f"no state recorded for {unit}")


def prepare() -> None:
    """What the later steps need: a trace of every process, the GPIO node
    and users who switch."""
    for unit in scenarios.UNITS:
        os.makedirs(f"/run/systemd/system/{unit}.d", exist_ok=True)
        with open(f"/run/systemd/system/{unit}.d/trace.conf", "w") as drop_in:
            drop_in.write(f"[Service]\nEnvironment=GLOW_BOARD_TRACE_DIR={scenarios.TRACES}\n"
                          f"ReadWritePaths={scenarios.TRACES}\n")
    run("modprobe", "loop")
    make_node("/dev/gpiomem", 0, 0o660)
    open("/run/glow-prepared", "w").close()
    run("useradd", "--groups", "gpio", "switcher")
    run("useradd", "stranger")
    systemctl("daemon-reload")


def starts_switches_and_stops_dark():
    scenarios.switching_stops_the_first_then_darkens_then_starts_the_second()
    fresh()
    scenarios.stopping_leaves_the_pin_low()


def channel_thread_is_real_time_only_under_the_units_limit():
    start("glowbreathe")
    got = scheduling("glowbreathe")
    check(got == "SCHED_RR 90", f"under LimitRTPRIO=99 the channel thread got {got}")
    scenarios.drop_in("glowbreathe.service", "[Service]\nLimitRTPRIO=0\n")
    systemctl("restart", "glowbreathe")
    wait_until(lambda: has_written("glowbreathe", 2), "the restarted glowbreathe's write")
    got = scheduling("glowbreathe")
    check(got == "SCHED_OTHER 0", f"without the limit the channel thread got {got}")


def mapped_node(unit: str) -> str | None:
    """The GPIO node the unit's program has mapped, if any."""
    with open(f"/proc/{scenarios.program_pid(unit)}/maps") as maps:
        text = maps.read()
    return next((node for node in ("/dev/gpiomem0", "/dev/gpiomem") if node in text), None)


def open_fails_with(reason: str) -> None:
    systemctl("restart", "glowtwice")
    wait_until(lambda: show("glowtwice.service", "ActiveState") == "failed", "glowtwice to fail")
    wait_until(lambda: f"cannot open /dev/gpiomem: {reason}" in
               run("journalctl", "-u", "glowtwice", "-n", "6", "-o", "cat").stdout,
               f"'{reason}' in the journal")
    systemctl("reset-failed", "glowtwice")


def the_gpio_node_passes_every_check_and_each_check_can_refuse():
    # Root:gpio 0660, through the group, under the shipped units' confinement.
    start("glowtwice")
    wait_until(lambda: has_written("glowtwice", 1), "glowtwice's first write")
    check(mapped_node("glowtwice.service") == "/dev/gpiomem", "/dev/gpiomem is not mapped")
    # Which check refuses, told apart by the error: a char node of a major
    # with no driver passes them all and only then fails (ENXIO); the
    # device policy refuses with EPERM, the file's mode with EACCES.
    make_node("/dev/gpiomem", 0, 0o660, "c 240")
    open_fails_with("No such device or address")
    scenarios.drop_in("glowtwice.service", "[Service]\nDeviceAllow=\n")
    open_fails_with("Operation not permitted")
    scenarios.remove_drop_ins()
    os.chmod("/dev/gpiomem", 0o600)
    open_fails_with("Permission denied")
    make_node("/dev/gpiomem", 0, 0o660)


def a_board_with_only_one_of_the_two_nodes_runs_the_units():
    # This system has /dev/gpiomem and no /dev/gpiomem0, as a Pi 4 has; then
    # only /dev/gpiomem0, as a Pi 5 has. The missing node is left out.
    for present, missing in (("/dev/gpiomem", "/dev/gpiomem0"), ("/dev/gpiomem0", "/dev/gpiomem")):
        if os.path.exists(missing):
            os.remove(missing)
        make_node(present, 0, 0o660)
        start("glowfive")
        wait_until(lambda: has_written("glowfive", 1 + (present == "/dev/gpiomem0")),
                   f"glowfive's first write with only {present}")
        check(mapped_node("glowfive.service") == present, f"{present} is not mapped")
        systemctl("stop", "glowfive")
    os.remove("/dev/gpiomem0")
    make_node("/dev/gpiomem", 0, 0o660)


def gpio_members_switch_patterns_and_nothing_else():
    scenarios.gpio_members_switch_patterns_and_nothing_else()


def upgrade_restarts_the_running_pattern_on_the_new_programs():
    start("glowtwice")
    wait_until(lambda: has_written("glowtwice", 1), "glowtwice's first write")
    old_pid = show("glowtwice.service", "MainPID")
    apt("install", f"{DEBS}/glow-upgrade.deb")
    version = run("dpkg-query", "-W", "-f=${Version}", "glow").stdout
    check(version.endswith("+1"), f"glow {version} is installed, not the upgrade")
    check(show("glowtwice.service", "ActiveState") == "active", "glowtwice is not running")
    pid = show("glowtwice.service", "MainPID")
    check(pid != old_pid and not os.path.exists(f"/proc/{old_pid}"), "the old process still runs")
    wait_until(lambda: has_written("glowtwice", 2), "the restarted glowtwice's write")
    executable = os.readlink(f"/proc/{scenarios.program_pid('glowtwice.service')}/exe")
    check(executable == "/usr/bin/glowtwice", f"the pattern runs {executable}")
    old, new = runs("glowtwice")
    scenarios.expect_dark_after(runs("glowoff")[-1], "between the old and the new glowtwice", old, new)


def removal_stops_the_pattern_dark_and_forgets_the_units():
    start("glowtwice")
    wait_until(lambda: has_written("glowtwice", 1), "glowtwice's first write")
    # Chosen for boot too, so that the purge has links to remove.
    check(systemctl("enable", "glowtwice").returncode == 0, "could not enable glowtwice")
    apt("remove", "glow")
    twice, = runs("glowtwice")
    dark = runs("glowoff")[-1]
    scenarios.expect_dark_after(dark, "after removal", twice)
    for unit in UNITS:
        check(show(unit, "LoadState") == "not-found", f"{unit} is still known")
    check(not glob.glob("/usr/bin/glow*"), "programs left behind")


def purge_leaves_nothing():
    apt("purge", "glow")
    check(run("dpkg-query", "-W", "glow").returncode != 0
          or run("dpkg-query", "-W", "-f=${Status}", "glow").stdout.endswith("not-installed"),
          "dpkg still knows glow")
    left = [path for path in installed_files if os.path.isfile(path) or os.path.islink(path)]
    left += glob.glob("/etc/systemd/system/**/glow*", recursive=True)
    left += glob.glob(f"{STATE}/**/glow*", recursive=True)
    left += glob.glob("/var/lib/dpkg/info/glow.*")
    check(not left, f"left after purge: {left}")


# The second boot, after the reboot that the last step of the first asks for.
REBOOTED = "/var/lib/glow-system-test/rebooted"
TEST_HOOK = "/usr/lib/systemd/system-shutdown/glow-system-test"
# Run with glow's own hook once the file systems are unmounted: waits for
# the program that hook runs, then tells the console what is left on the LED
# (GPLEV0 and GPLEV1 of the register file) and how many glowtwice processes
# showed the shutdown pattern.
TEST_HOOK_TEXT = """#!/bin/sh
# A glow program that has ended stays a zombie until systemd-shutdown reaps it.
running() {
    for process in /proc/[0-9]*; do
        case $(cat "$process/comm" 2>/dev/null) in
            glowfull | glowoff) grep -qs '^State:[[:space:]]*[RSD]' "$process/status" && return 0 ;;
        esac
    done
    return 1
}
sleep 3
while running; do sleep 0.2; done
levels=$(od -An -tu4 -j52 -N8 /dev/gpiomem | tr -s ' ')
runs=$(ls /run/glow-traces/glowtwice.*.trace 2>/dev/null | wc -l)
echo "glow-system-test: $1: levels$levels; glowtwice runs $runs" >/dev/console
"""


def arm_the_shutdown(then: str) -> None:
    """A register file for the LED, the shutdown pattern traced, and the
    test's end made an orderly reboot or power-off."""
    if os.path.exists("/dev/gpiomem"):
        os.remove("/dev/gpiomem")
    with open("/dev/gpiomem", "wb") as registers:
        registers.write(bytes(4096))
    run("chgrp", "gpio", "/dev/gpiomem")
    os.chmod("/dev/gpiomem", 0o660)
    for unit in ("glow-shutdown@glowtwice.service", "system-test.service"):
        os.makedirs(f"/run/systemd/system/{unit}.d", exist_ok=True)
    with open("/run/systemd/system/glow-shutdown@glowtwice.service.d/trace.conf", "w") as drop_in:
        drop_in.write(f"[Service]\nEnvironment=GLOW_BOARD_TRACE_DIR={scenarios.TRACES}\n"
                      f"ReadWritePaths={scenarios.TRACES}\n")
    with open("/run/systemd/system/system-test.service.d/then.conf", "w") as drop_in:
        drop_in.write(f"[Unit]\nSuccessAction={then}\n")
    systemctl("daemon-reload")


def the_story_is_enabled_for_a_reboot_and_a_power_off():
    apt("install", f"{DEBS}/glow.deb")
    for unit in ("glow-shutdown@glowtwice.service", "glow-poweroff@glowfull.service"):
        check(systemctl("enable", unit).returncode == 0, f"could not enable {unit}")
    with open(TEST_HOOK, "w") as hook:
        hook.write(TEST_HOOK_TEXT)
    os.chmod(TEST_HOOK, 0o755)
    os.makedirs(os.path.dirname(REBOOTED), exist_ok=True)
    open(REBOOTED, "w").close()
    arm_the_shutdown("reboot")


def the_story_stays_enabled_for_a_power_off():
    for unit in ("glow-shutdown@glowtwice.service", "glow-poweroff@glowfull.service"):
        check(systemctl("is-enabled", unit).stdout.strip() == "enabled", f"{unit} is not enabled")
    arm_the_shutdown("poweroff")


STEPS = [
    installs_with_every_unit_disabled_and_its_state_recorded,
    starts_switches_and_stops_dark,
    channel_thread_is_real_time_only_under_the_units_limit,
    the_gpio_node_passes_every_check_and_each_check_can_refuse,
    a_board_with_only_one_of_the_two_nodes_runs_the_units,
    gpio_members_switch_patterns_and_nothing_else,
    upgrade_restarts_the_running_pattern_on_the_new_programs,
    removal_stops_the_pattern_dark_and_forgets_the_units,
    purge_leaves_nothing,
    the_story_is_enabled_for_a_reboot_and_a_power_off,
]


def fresh() -> None:
    """No running unit, no scenario drop-in, no trace, the node as made."""
    systemctl("stop", *scenarios.UNITS)
    if os.path.exists("/run/glow-prepared"):
        make_node("/dev/gpiomem", 0, 0o660)
        if os.path.exists("/dev/gpiomem0"):
            os.remove("/dev/gpiomem0")
    systemctl("reset-failed")
    scenarios.remove_drop_ins()
    os.makedirs(scenarios.TRACES, exist_ok=True)
    os.chmod(scenarios.TRACES, 0o1777)
    for path in glob.glob(f"{scenarios.TRACES}/*"):
        os.remove(path)


def diagnosis() -> str:
    """What the units and the nodes looked like when a step failed."""
    nodes = run("sh", "-c", "ls -l /dev/gpiomem*").stdout
    journal = run("journalctl", "-b", "-n", "40", "-o", "short-monotonic").stdout
    return "  " + (nodes + journal).replace("\n", "\n  ")


def main() -> int:
    if os.path.exists(REBOOTED):
        return scenarios.run_all("shutdown", [the_story_stays_enabled_for_a_power_off], fresh, WORK,
                                 diagnosis)
    return scenarios.run_all("system", STEPS, fresh, WORK, diagnosis)


if __name__ == "__main__":
    sys.exit(main())
