"""The package's life on a Debian system under a real systemd, run inside
the virtual machine by run-in-vm.sh, one step after another: install with
apt, a pattern on the pin and its dark stop, the channel thread's real-time
priority, the units' device policy, a reboot and a power-off. What the
board's processor and kernel do not change (switching, who may switch, the
story's hand-overs, upgrade, removal and purge) the containers' scenarios
prove. The programs run on the real wiringPi, in the wiringpi package
run-in-vm.sh made, whose writes to a register file register_probe turns
into the pin's levels. Writes a report to the folder it is given (the
shared folder, /opt/glow) and exits 0 only if every step passed."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "services"))
import scenarios  # noqa: E402  (the container's scenarios, reused here)
from scenarios import check, glowtrace, show, start, systemctl, wait_until  # noqa: E402

# Under software emulation a program takes seconds to start, and each look
# at the traces takes CPU from the programs.
scenarios.SLOWNESS = 4
WORK = sys.argv[1] if len(sys.argv) > 1 else "/opt/glow"
DEBS = os.path.join(WORK, "debs")

# The board run-in-vm.sh made this guest: which wiringPi, which node.
with open(os.path.join(WORK, "board.env")) as settings:
    BOARD = dict(line.split("=", 1) for line in settings.read().split())
NODE = BOARD["NODE"]
OTHER_NODE = "/dev/gpiomem0" if NODE == "/dev/gpiomem" else "/dev/gpiomem"
WIRING = glowtrace.build_settings(os.path.join(WORK, "virtual-board.env"))
# Byte offsets of the set, clear and level words in the register file
# that wiringPi maps.
WORDS = tuple(int(BOARD[word]) for word in ("SET_BYTE", "CLEAR_BYTE", "LEVEL_BYTE"))
REGISTERS_TRACE = "/run/glow-registers.trace"


def run(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(arguments, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def apt(*arguments: str) -> None:
    started = time.monotonic()
    result = run("apt-get", "-y", "-q", *arguments)
    # To the console file, for a failure, and what it cost under emulation.
    print(result.stdout, result.stderr, f"apt-get {arguments[0]}: {time.monotonic() - started:.0f} s",
          file=sys.stderr)
    check(result.returncode == 0, f"apt-get {' '.join(arguments)}: {result.stdout[-800:]}"
          f"{result.stderr[-800:]}")


def make_node(path: str, mode: int, kind: str | None = None) -> None:
    """By default a register file as large as the map, in place of the node
    wiringPi maps, or else a node of the kind given ("c 240"); owned by gpio
    as a board's is."""
    if os.path.exists(path):
        os.remove(path)
    if kind is None:
        write_registers(path)
    else:
        run("mknod", path, *kind.split(), "0")
    run("chgrp", "gpio", path)
    os.chmod(path, mode)


def write_registers(path: str) -> None:
    """A register file as large as the map, written out: a page first
    written after the file systems went read-only at a shutdown would be
    refused (SIGBUS)."""
    with open(path, "wb") as registers:
        registers.write(bytes(int(BOARD["NODE_BYTES"])))


def program_pid(unit: str) -> str | None:
    """The unit's program, once glow-run has started it."""
    try:
        return scenarios.program_pid(unit)
    except (IndexError, OSError):
        return None


def start_register_probe() -> None:
    """The pin's levels from the node's file, from now on, as the chip would
    show them, through the shutdown hooks: its unit has no default
    dependencies, so that no shutdown stops it, and its name starts with
    '@', which systemd-shutdown's last kill spares."""
    systemctl("stop", "glow-test-registers.service")
    systemctl("reset-failed", "glow-test-registers.service")
    probe = "/usr/local/sbin/glow-register-probe"  # on the root, which is never unmounted
    shutil.copy(os.path.join(WORK, "register_probe"), probe)
    run("systemd-run", "--unit=glow-test-registers", "-p", "DefaultDependencies=no",
        "/bin/bash", "-c", 'exec -a @register_probe "$0" "$@"', probe, NODE, BOARD["BOARD"],
        BOARD["BCM"], WIRING["GLOW_BOARD_LED"], WIRING["GLOW_BOARD_LED_ACTIVE"],
        REGISTERS_TRACE, "2000")
    wait_until(lambda: os.path.exists(REGISTERS_TRACE), "the register probe")


def pin_levels() -> list[tuple[int, int]]:
    """The LED pin's levels so far, as (µs, level), from the probe's trace."""
    try:
        return glowtrace.read_trace(REGISTERS_TRACE).levels()
    except glowtrace.TraceError:
        return []  # a line still being written: the next look reads it


def now_us() -> int:
    return time.monotonic_ns() // 1000  # the traces' clock


def light(level: int) -> int:
    return 1 - level if WIRING["GLOW_BOARD_LED_ACTIVE"] == "low" else level


def shows_a_pattern(what: str, since_us: int) -> None:
    """The LED changes, twice at least, from since_us on."""
    wait_until(lambda: sum(1 for t, _ in pin_levels() if t >= since_us) >= 2,
               f"{what} on the pin", 60)


def settles(lit: int, what: str) -> None:
    """The LED comes to rest, lit or dark, and stays so for a second."""
    def at_rest() -> bool:
        levels = pin_levels()
        return bool(levels) and light(levels[-1][1]) == lit and now_us() - levels[-1][0] > 1000000
    wait_until(at_rest, f"the LED {'lit' if lit else 'dark'} and at rest {what}", 60)


def scheduling(unit: str) -> str:
    """The channel thread's policy and priority, from procfs: SCHED_RR and
    its priority where a thread of the program has it, else SCHED_OTHER 0."""
    def threads() -> list[tuple[int, int]]:
        pid, found = program_pid(unit), []
        try:
            for task in os.listdir(f"/proc/{pid}/task") if pid else []:
                with open(f"/proc/{pid}/task/{task}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                found.append((int(fields[38]), int(fields[37])))  # policy, rt_priority
        except OSError:
            return []
        return found
    wait_until(lambda: len(threads()) >= 2, "the channel thread")
    round_robin = [priority for policy, priority in threads() if policy == 2]
    return f"SCHED_RR {round_robin[0]}" if round_robin else "SCHED_OTHER 0"


def installs_and_makes_the_gpio_group():
    # The units' states and recorded state after an install are the
    # containers' to check; the group is made here alone, as the containers'
    # test users make it too.
    apt("install", f"{DEBS}/wiringpi.deb", f"{DEBS}/glow.deb")
    prepare()
    check(run("getent", "group", "gpio").returncode == 0, "no gpio group")


def prepare() -> None:
    """What the later steps need: the GPIO node and the probe that reads it."""
    make_node(NODE, 0o660)
    start_register_probe()
    open("/run/glow-prepared", "w").close()


def starts_and_stops_dark():
    since = now_us()
    start("glowtwice")
    shows_a_pattern("glowtwice", since)
    check(systemctl("stop", "glowtwice").returncode == 0, "systemctl stop glowtwice failed")
    settles(0, "after glowtwice stopped")


def channel_thread_is_real_time_only_under_the_units_limit():
    start("glowbreathe")
    got = scheduling("glowbreathe.service")
    check(got == "SCHED_RR 90", f"under LimitRTPRIO=99 the channel thread got {got}")
    scenarios.drop_in("glowbreathe.service", "[Service]\nLimitRTPRIO=0\n")
    systemctl("restart", "glowbreathe")
    got = scheduling("glowbreathe.service")
    check(got == "SCHED_OTHER 0", f"without the limit the channel thread got {got}")


def mapped_node(unit: str) -> str | None:
    """The GPIO node the unit's program has mapped, if any."""
    try:
        with open(f"/proc/{program_pid(unit)}/maps") as maps:
            text = maps.read()
    except OSError:
        return None
    return next((node for node in ("/dev/gpiomem0", "/dev/gpiomem") if node in text), None)


def open_fails_with(reason: str) -> None:
    systemctl("restart", "glowtwice")
    wait_until(lambda: show("glowtwice.service", "ActiveState") == "failed", "glowtwice to fail")
    # wiringPi's own words, which the virtual board also uses.
    wait_until(lambda: f"or {NODE}: {reason}." in
               run("journalctl", "-u", "glowtwice", "-n", "12", "-o", "cat").stdout,
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
    scenarios.drop_in("glowtwice.service", "[Service]\nDeviceAllow=\n")
    open_fails_with("Operation not permitted")
    scenarios.remove_drop_ins()
    os.chmod(NODE, 0o600)
    open_fails_with("Permission denied")
    make_node(NODE, 0o660)


def a_board_with_only_one_of_the_two_nodes_runs_the_units():
    # /dev/gpiomem alone, as on a Pi 4, then /dev/gpiomem0 alone, as on a Pi
    # 5. wiringPi takes only its board's node and fails on the other.
    for present, missing in (("/dev/gpiomem", "/dev/gpiomem0"), ("/dev/gpiomem0", "/dev/gpiomem")):
        if os.path.exists(missing):
            os.remove(missing)
        make_node(present, 0o660)
        start("glowfive")
        if present != NODE:
            wait_until(lambda: show("glowfive.service", "ActiveState") == "failed",
                       f"glowfive to fail with only {present}")
            systemctl("reset-failed", "glowfive")
        else:
            wait_until(lambda: mapped_node("glowfive.service") == present, f"{present} mapped")
        systemctl("stop", "glowfive")
    os.remove("/dev/gpiomem0")
    make_node(NODE, 0o660)


# The second boot, after the reboot that the last step of the first asks for.
REBOOTED = "/var/lib/glow-system-test/rebooted"
TEST_HOOK = "/usr/lib/systemd/system-shutdown/glow-system-test"
# Run with glow's own hook once the file systems are unmounted: waits for
# the program that hook runs, then tells the console what is left on the
# LED: the level words of the node's file (GPLEV0 and GPLEV1, or RIO's input
# word), the set and clear words (what the real wiringPi wrote once the
# probe had ended), and how often the shutdown pattern flashed: lit for
# 50 ms or more (a channel's first cycle lights 1 ms at most), in the
# probe's trace.
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
word() { od -An -tu4 -j"$1" -N4 @NODE@ | tr -d ' '; }
sleep 3
while running; do sleep 0.2; done
sleep 0.5  # the probe's last look
levels="$(word @LEVEL@) @LEVEL_HIGH@"
writes="$(word @SET@) $(word @CLEAR@)"
flashes=$(awk 'FNR == 1 { on = 0 }
                $2 == "level" && $4 == @LIT@ { on = $1 }
                $2 == "level" && $4 != @LIT@ && on { if ($1 - on >= 50000) n++; on = 0 }
                END { print n + 0 }' @TRACES@ </dev/null 2>/dev/null)
echo "glow-system-test: $1: levels $levels; writes $writes; shutdown pattern ${flashes:-0}" >/dev/console
"""


def test_hook_text() -> str:
    set_byte, clear_byte, level_byte = WORDS
    # GPLEV1 follows GPLEV0; a Pi 5's 28 GPIOs have one input word.
    high = "0" if BOARD["BOARD"] == "pi5" else f"$(word {level_byte + 4})"
    lit_level = 0 if WIRING["GLOW_BOARD_LED_ACTIVE"] == "low" else 1
    text = TEST_HOOK_TEXT
    for name, value in (("@NODE@", NODE), ("@LEVEL@", level_byte), ("@LEVEL_HIGH@", high),
                        ("@SET@", set_byte), ("@CLEAR@", clear_byte), ("@LIT@", lit_level),
                        ("@TRACES@", REGISTERS_TRACE)):
        text = text.replace(name, str(value))
    return text


def arm_the_shutdown(then: str) -> None:
    """A register file for the LED, its probe, and the test's end made an
    orderly reboot or power-off."""
    if os.path.exists(NODE):
        os.remove(NODE)
    write_registers(NODE)
    if os.path.exists("/dev/mem"):
        # glow's shutdown hook runs its program as root, unconfined, where
        # wiringPi maps /dev/mem first: this machine has no BCM chip there,
        # so the node it falls back to is the register file.
        os.remove("/dev/mem")
    run("chgrp", "gpio", NODE)
    os.chmod(NODE, 0o660)
    if os.path.exists(REGISTERS_TRACE):
        os.remove(REGISTERS_TRACE)
    start_register_probe()
    os.makedirs("/run/systemd/system/system-test.service.d", exist_ok=True)
    with open("/run/systemd/system/system-test.service.d/then.conf", "w") as drop_in:
        drop_in.write(f"[Unit]\nSuccessAction={then}\n")
    systemctl("daemon-reload")


def the_story_is_enabled_for_a_reboot_and_a_power_off():
    for unit in ("glow-shutdown@glowtwice.service", "glow-poweroff@glowfull.service"):
        check(systemctl("enable", unit).returncode == 0, f"could not enable {unit}")
    with open(TEST_HOOK, "w") as hook:
        hook.write(test_hook_text())
    os.chmod(TEST_HOOK, 0o755)
    os.makedirs(os.path.dirname(REBOOTED), exist_ok=True)
    open(REBOOTED, "w").close()
    arm_the_shutdown("reboot")


def the_story_stays_enabled_for_a_power_off():
    for unit in ("glow-shutdown@glowtwice.service", "glow-poweroff@glowfull.service"):
        check(systemctl("is-enabled", unit).stdout.strip() == "enabled", f"{unit} is not enabled")
    arm_the_shutdown("poweroff")


STEPS = [
    installs_and_makes_the_gpio_group,
    starts_and_stops_dark,
    channel_thread_is_real_time_only_under_the_units_limit,
    the_gpio_node_passes_every_check_and_each_check_can_refuse,
    a_board_with_only_one_of_the_two_nodes_runs_the_units,
    the_story_is_enabled_for_a_reboot_and_a_power_off,
]


def fresh() -> None:
    """No running unit, no scenario drop-in, the node as made."""
    systemctl("stop", *scenarios.UNITS)
    if os.path.exists("/run/glow-prepared"):
        make_node(NODE, 0o660)
        if os.path.exists(OTHER_NODE):
            os.remove(OTHER_NODE)
    systemctl("reset-failed")
    scenarios.remove_drop_ins()


def diagnosis() -> str:
    """What the units and the nodes looked like when a step failed."""
    nodes = run("sh", "-c", "ls -l /dev/gpiomem*").stdout
    nodes += "the probe's last changes:\n" + run("tail", "-n", "6", REGISTERS_TRACE).stdout
    journal = run("journalctl", "-b", "-n", "40", "-o", "short-monotonic").stdout
    return "  " + (nodes + journal).replace("\n", "\n  ")


def main() -> int:
    if os.path.exists(REBOOTED):
        return scenarios.run_all("shutdown", [the_story_stays_enabled_for_a_power_off], fresh, WORK,
                                 diagnosis)
    return scenarios.run_all("system", STEPS, fresh, WORK, diagnosis)


if __name__ == "__main__":
    sys.exit(main())
