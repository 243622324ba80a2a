"""The virtual board against wiringPi itself. The real wiringPi, built from
its released source, drives a register file in place of /dev/gpiomem (a Pi
3) or /dev/gpiomem0 (a Pi 5), in a private mount namespace whose
/proc/cpuinfo names the board; register_probe takes each write out of the
file as the chip would and traces the pin's levels. The same built programs
run on the virtual board, and the two must agree: the pattern phase by
phase and the light cycle by cycle within each phase, the soft-PWM cycle's
length, the exit status, and every word on stderr, also when GPIO cannot be
reached, with and without WIRINGPI_CODES."""

from __future__ import annotations

import bisect
import dataclasses
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ["GLOW_SOURCE_DIR"]
BUILD_DIR = os.environ["GLOW_BUILD_DIR"]
PROBE = os.environ["GLOW_REGISTER_PROBE"]
WIRINGPI_SOURCE = os.environ["GLOW_WIRINGPI_SOURCE"]
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "glowtrace"))
import glowtrace  # noqa: E402


def board(name: str) -> tuple[str, str, int, str]:
    """What a board model needs, as the probe knows it: the revision for
    /proc/cpuinfo, the node wiringPi maps and its size, and the layout."""
    told = subprocess.run([PROBE, "--board", name], check=True, capture_output=True, text=True)
    values = dict(line.split("=", 1) for line in told.stdout.split())
    return values["REVISION"], values["NODE"], int(values["NODE_BYTES"]), name


MODELS = {"Pi 3": board("pi3"), "Pi 5": board("pi5")}
LOOK_US = 20  # the probe's pause between looks; a pulse lasts 100 µs or more
LOOPING_RUN_S = 4.0  # longer than one cycle of every looping pattern
ONE_SHOT_LIMIT_S = 10.0
NO_NODE = ""  # a run with no file bound at the board's node
# Measurements of one program before boards that disagree fail: a busy
# machine now and then stalls either board or the probe for longer than a
# phase may be off; a fault disagrees every time.
ATTEMPTS = 2
# How closely the two boards must agree, phase by phase, so that a stall
# shifts no more than the phase it falls in. Each soft-PWM cycle's light is
# the median of it and its two neighbours: a cycle that a stall stretched
# moves light into the next, and the median takes both out. The light's
# edges (where it enters the dark, in-between or full band, each entered by
# a margin past its bound, so that a ramp crosses once) come in the same
# order on both boards, and each phase between two edges lasts as long
# within 40 ms, and 1 ms more for each sleep the program took in it: each
# wakes late by a little on either board, and a ramp is made of 50 or
# more. Set against the other board's time phase by phase, each
# cycle's light lies within 6 points of what the other shows within 40 ms
# of it, for all but 3% of the cycles. The median soft-PWM cycle agrees
# within 0.5 ms.
SMOOTHING_CYCLES = 3
BAND_BOUNDS = (0.25, 0.75)
BAND_MARGIN = 0.05
SHORTEST_PHASE_CYCLES = 3
LIGHT_TOLERANCE = 0.06
SHIFT_TOLERANCE_US = 40000
SLEEP_LATENESS_US = 1000
STRAY_CYCLES = 0.03
CYCLE_TOLERANCE_US = 500

# Runs the rest of its arguments with a private /dev that holds only the
# register file, if one is named, and /proc/cpuinfo replaced; an empty /sys
# keeps wiringPi from any PCI device of this machine.
IN_NAMESPACE = r"""set -e
registers=$1 node=$2 cpuinfo=$3; shift 3
mount -t tmpfs -o mode=755 glow-dev /dev
if [ -n "$registers" ]; then touch "$node" && mount --bind "$registers" "$node"; fi
mount --bind "$cpuinfo" /proc/cpuinfo
mount -t tmpfs glow-sys /sys
exec "$@"
"""


def unshare_command() -> list[str] | None:
    """How this machine makes a private mount namespace, if it can."""
    for command in (["unshare", "--mount", "--propagation", "private"],
                    ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"]):
        if subprocess.run([*command, "true"], capture_output=True).returncode == 0:
            return command
    return None


def ahead_of_other_work() -> list[str]:
    """How a program runs ahead of the machine's other work, where allowed:
    at the lowest real-time priority, so that each board's pattern keeps
    its time however busy the machine is. wiringPi's channel thread raises
    itself higher on either board."""
    command = ["chrt", "--fifo", "1"]
    allowed = subprocess.run([*command, "true"], capture_output=True).returncode == 0
    return command if allowed else []


def build_wiringpi(folder: str) -> tuple[str, dict[int, int]]:
    """The real libwiringPi.so, built here, and its wiringPi-to-BCM pin map."""
    subprocess.run([os.path.join(SOURCE_DIR, "tests", "contract", "build-wiringpi.sh"),
                    WIRINGPI_SOURCE, os.environ.get("CC", "cc"), folder],
                   check=True, capture_output=True)
    with open(os.path.join(folder, "pin-to-gpio"), encoding="utf-8") as table:
        return folder, dict(enumerate(int(gpio) for gpio in table.read().split()))


class Run:
    """One program's run on one board: its exit status, stderr and trace,
    and whether the register probe said it had looked late."""

    def __init__(self, status: int | None, stderr: str, trace: glowtrace.Trace | None,
                 looked_late: bool = False):
        self.status, self.stderr, self.trace = status, stderr, trace
        self.looked_late = looked_late


class Contract(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="glow-contract-")
        cls.unshare = unshare_command()
        cls.priority = ahead_of_other_work()
        cls.wiringpi, cls.bcm_of = build_wiringpi(os.path.join(cls.folder, "wiringpi"))
        cls.wiring = glowtrace.build_settings(os.path.join(BUILD_DIR, "virtual-board.env"))
        cls.pin = int(cls.wiring["GLOW_BOARD_LED"])
        cls.programs = glowtrace.programs(os.path.join(BUILD_DIR, "programs.txt"))
        cls.virtual_runs = {p: cls.on_virtual_board(p) for p in cls.programs}
        # The probe sees levels only: the cycle is the one the virtual board
        # created, as the programs ask both boards for the same.
        cls.cycle_us = next(run.trace.pwm_cycle_us for run in cls.virtual_runs.values()
                            if run.trace.pwm_cycle_us)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def cpuinfo(cls, revision: str | None) -> str:
        """A /proc/cpuinfo of the board, without its revision if None."""
        path = os.path.join(cls.folder, f"cpuinfo-{revision}")
        with open(path, "w") as cpuinfo:
            cpuinfo.write("processor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\n"
                          "Hardware\t: BCM2835\n" + (f"Revision\t: {revision}\n" if revision else ""))
        return path

    @classmethod
    def launch(cls, program: str, environment: dict[str, str], model: str,
               registers: str = NO_NODE, known_board: bool = True) -> tuple[subprocess.Popen, str]:
        revision, node, _, _ = MODELS[model]
        revision = revision if known_board else None
        stderr_path = os.path.join(cls.folder, "stderr")
        with open(stderr_path, "w") as stderr:
            process = subprocess.Popen(
                [*cls.unshare, "sh", "-c", IN_NAMESPACE, "in-namespace", registers, node,
                 cls.cpuinfo(revision), *cls.priority,
                 os.path.join(BUILD_DIR, "programs", program)],
                env=environment, stdout=subprocess.DEVNULL, stderr=stderr)
        return process, stderr_path

    @classmethod
    def finish(cls, process: subprocess.Popen, stderr_path: str) -> tuple[int | None, str]:
        """Waits for a one-shot; ends a looping program after its window."""
        try:
            status = process.wait(timeout=ONE_SHOT_LIMIT_S)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()
            status = None
        with open(stderr_path) as stderr:
            return status, stderr.read()

    @classmethod
    def run_program(cls, program: str, environment: dict[str, str], model: str,
                    registers: str = NO_NODE, known_board: bool = True) -> tuple[int | None, str]:
        process, stderr_path = cls.launch(program, environment, model, registers, known_board)
        try:
            status = process.wait(timeout=LOOPING_RUN_S)
            with open(stderr_path) as stderr:
                return status, stderr.read()
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGTERM)  # the unshare's exec is the program itself
            return cls.finish(process, stderr_path)

    @classmethod
    def on_virtual_board(cls, program: str, model: str = "Pi 3", **settings: str) -> Run:
        trace_path = os.path.join(cls.folder, f"{program}.virtual.trace")
        environment = glowtrace.board_environment(
            "real", trace_path, os.path.join(BUILD_DIR, "virtual-board.env"), **settings)
        status, stderr = cls.run_program(program, environment, model)
        return Run(status, stderr, glowtrace.read_trace(trace_path))

    @classmethod
    def on_wiringpi(cls, program: str, model: str, node_file: str | None = None,
                    known_board: bool = True, **variables: str) -> Run:
        """The program on the real wiringPi, the file bound at its node the
        probe's register file unless another is given, or none (NO_NODE), as
        run_program takes it."""
        revision, node, size, layout = MODELS[model]
        registers = os.path.join(cls.folder, "registers")
        with open(registers, "wb") as file:
            file.truncate(size)
        trace_path = os.path.join(cls.folder, f"{program}.wiringpi.trace")
        probe = subprocess.Popen([PROBE, registers, layout, str(cls.bcm_of[cls.pin]), str(cls.pin),
                                  cls.wiring["GLOW_BOARD_LED_ACTIVE"], trace_path, str(LOOK_US)])
        environment = {"PATH": os.environ["PATH"], "LD_LIBRARY_PATH": cls.wiringpi, **variables}
        time.sleep(0.1)  # the probe watches before the first write
        node_file = registers if node_file is None else node_file
        status, stderr = cls.run_program(program, environment, model, node_file, known_board)
        ended_us = time.monotonic_ns() // 1000
        probe.send_signal(signal.SIGTERM)
        probe.wait(timeout=10)
        trace = glowtrace.read_trace(trace_path)
        if status is not None:
            trace.events.append(glowtrace.Event(ended_us, "exit", [], [], 0))
        with open(trace_path) as text:
            looked_late = "# late look" in text.read()
        return Run(status, stderr, trace, looked_late)

    @staticmethod
    def light_cycles(trace: glowtrace.Trace, cycle_us: int) -> list[tuple[int, float]]:
        """The light of each soft-PWM cycle from the channel's first high, the
        times made relative to it (the low at the channel's start is no cycle)."""
        levels = trace.levels()
        first_high = next((t for t, level in levels if level == 1), None)
        if first_high is None:
            return []
        kept = [e for e in trace.events if e.kind != "level" or e.time_us >= first_high]
        cycles = glowtrace.brightness(dataclasses.replace(trace, events=kept), cycle_us)
        return [(t - first_high, light) for t, light in cycles]

    @staticmethod
    def median_cycle_us(trace: glowtrace.Trace) -> float | None:
        rises = [t for t, level in trace.levels() if level == 1]
        periods = [later - earlier for earlier, later in zip(rises, rises[1:])]
        return statistics.median(periods) if len(periods) >= 10 else None

    @staticmethod
    def smoothed(cycles: list[tuple[int, float]]) -> list[tuple[int, float]]:
        """Each cycle's light as the median of the cycles around it."""
        side = SMOOTHING_CYCLES // 2
        return [(t, statistics.median(light for _, light in cycles[max(i - side, 0):i + side + 1]))
                for i, (t, _) in enumerate(cycles)]

    @classmethod
    def edges(cls, cycles: list[tuple[int, float]]) -> list[tuple[int, int]]:
        """Where the light enters another band (0 dark, 1 in between, 2 full)
        and stays for a phase, as (µs, band); the first cycle enters its own.
        A cycle that an edge of a flash cuts is lit in between: no phase."""
        found: list[tuple[int, int]] = []
        for t, light in cycles:
            if not found:
                band = sum(light >= bound for bound in BAND_BOUNDS)
            while band < 2 and light >= BAND_BOUNDS[band] + BAND_MARGIN:
                band += 1
            while band > 0 and light <= BAND_BOUNDS[band - 1] - BAND_MARGIN:
                band -= 1
            if not found or found[-1][1] != band:
                found.append((t, band))
        kept: list[tuple[int, int]] = []
        ends = [t for t, _ in found[1:]] + [cycles[-1][0] + cls.cycle_us] if cycles else []
        for (t, band), end in zip(found, ends):
            lasts = end - t >= SHORTEST_PHASE_CYCLES * cls.cycle_us
            if lasts and (not kept or kept[-1][1] != band):
                kept.append((t, band))
        return kept

    @staticmethod
    def warped(t: int, anchors: list[tuple[int, int]]) -> int:
        """A time of one board as the other's: stretched between the two edges
        around it as the phase there was, shifted as the last one after them."""
        if not anchors:
            return t
        index = max(bisect.bisect_right([mine for mine, _ in anchors], t) - 1, 0)
        (mine, theirs), following = anchors[index], anchors[index + 1:index + 2]
        if following and following[0][0] > mine:
            return theirs + (t - mine) * (following[0][1] - theirs) // (following[0][0] - mine)
        return theirs + t - mine

    def assert_same_light(self, virtual: list[tuple[int, float]], real: list[tuple[int, float]],
                          what: str, sleeps_us: list[int]) -> int:
        """Fails if the phases differ, or too many cycles of either board;
        returns how many cycles did."""
        # Each run was ended after its own window: compare the time both
        # cover, from the second cycle (the first has a check of its own).
        common_us = min(virtual[-1][0], real[-1][0]) if virtual and real else 0
        virtual, real = (self.smoothed([c for c in cycles[1:] if c[0] <= common_us])
                         for cycles in (virtual, real))
        both = self.edges(virtual), self.edges(real)
        matched = min(len(found) for found in both)
        anchors = [(v, r) for (v, _), (r, _) in zip(*(found[:matched] for found in both))]
        # An edge close to the window's end may have come to one board only:
        # the other, as far behind as at the last edge both show and late by
        # as much as the phase since allows, may not have got there yet.
        last_v, last_r = anchors[-1] if anchors else (0, 0)
        behind_us = abs(last_v - last_r) + SHIFT_TOLERANCE_US + \
            SLEEP_LATENESS_US * sum(1 for t in sleeps_us if t >= last_v)
        for name, found in zip(("virtual board", "wiringPi"), both):
            self.assertEqual([band for _, band in found[:matched]],
                             [band for _, band in both[0][:matched]], f"{what}: the bands")
            late = [t for t, _ in found[matched:] if t < common_us - behind_us]
            self.assertEqual(late, [], f"{what}: edges only the {name} shows")
        for (v_start, r_start), (v_end, r_end) in zip(anchors, anchors[1:]):
            sleeps = sum(1 for t in sleeps_us if v_start <= t < v_end)
            self.assertAlmostEqual(v_end - v_start, r_end - r_start,
                                   delta=SHIFT_TOLERANCE_US + sleeps * SLEEP_LATENESS_US,
                                   msg=f"{what}: how long the phase from {v_start} µs lasts "
                                       f"({sleeps} sleeps)")

        def strays(these, those, anchors):
            # A cycle that an edge of the pattern cuts is lit in between: it
            # must lie within what the other board shows around that time.
            found = []
            for t, light in these:
                there = self.warped(t, anchors)
                near = [other for u, other in those if abs(there - u) <= SHIFT_TOLERANCE_US]
                if not near or not min(near) - LIGHT_TOLERANCE <= light <= max(near) + LIGHT_TOLERANCE:
                    found.append((t, light))
            return found
        most = 0
        for these, those, order, name in ((virtual, real, 1, "virtual board"),
                                          (real, virtual, -1, "wiringPi")):
            found = strays(these, those, [pair[::order] for pair in anchors])
            self.assertLessEqual(len(found), STRAY_CYCLES * max(len(these), 1),
                                 f"{what}: cycles of the {name} the other has not: {found[:5]}")
            most = max(most, len(found))
        return most

    def assert_same_pattern(self, virtual: Run, real: Run, what: str) -> None:
        self.assertEqual((real.status, real.stderr), (virtual.status, virtual.stderr),
                         "exit status and stderr")
        first = real.trace.levels()[:1]
        self.assertEqual([level for _, level in first], [0] if first else [],
                         "the channel starts low")
        lights = (self.light_cycles(virtual.trace, self.cycle_us),
                  self.light_cycles(real.trace, self.cycle_us))
        self.assertEqual(*(bool(light) for light in lights), "only one board lit the LED")
        created, written = self.first_values(virtual.trace)
        if lights[0] and abs(created - written) > 2 * LIGHT_TOLERANCE:
            # The channel's first cycle shows the value it was created with,
            # not the first one written. One cycle's light is as exact as
            # the machine wakes the channel's thread: which of the two it is
            # nearer to is what a stall leaves alone.
            for name, cycles in zip(("virtual board", "wiringPi"), lights):
                first = cycles[0][1]
                self.assertLess(abs(first - created), abs(first - written),
                                f"the first cycle on the {name}: {first} is nearer the first "
                                f"value written ({written}) than the created one ({created})")
        if virtual.status == 0 and any(light >= BAND_BOUNDS[0] for _, light in lights[0]):
            # A one-shot that ended by itself, after a light one can see.
            # Its end is when the test saw the process gone: within a tenth.
            lit_us = lights[0][-1][0]
            self.assertAlmostEqual(lit_us, lights[1][-1][0], msg="how long it was lit",
                                   delta=max(SHIFT_TOLERANCE_US, lit_us / 10))
        # When the virtual board's program slept, on the cycles' time.
        first_high = next((t for t, level in virtual.trace.levels() if level == 1), 0)
        sleeps_us = [step.time_us - first_high for step in glowtrace.pattern_steps(virtual.trace)
                     if step.kind == "sleep"]
        strays = self.assert_same_light(*lights, what, sleeps_us)
        cycles = self.median_cycle_us(virtual.trace), self.median_cycle_us(real.trace)
        print(f"contract: {what}: {len(lights[1])} cycles, {strays} astray, median soft-PWM cycle "
              f"(virtual, wiringPi) {cycles} µs", file=sys.stderr)
        if None not in cycles:
            self.assertLessEqual(abs(cycles[0] - cycles[1]), CYCLE_TOLERANCE_US,
                                 f"median soft-PWM cycle (virtual, wiringPi): {cycles} µs")

    @staticmethod
    def first_values(trace: glowtrace.Trace) -> tuple[float, float]:
        """The light the channel was created with and the first one written,
        from the virtual board's calls."""
        calls = [e for e in trace.events if e.kind == "call" and e.numbers
                 and e.numbers[0] == trace.led_pin]
        created = next(e.numbers[1] for e in calls if e.words[0] == "softPwmCreate")
        written = next((e.numbers[1] for e in calls if e.words[0] == "softPwmWrite"), created)
        return trace.light(created, 100) / 100, trace.light(written, 100) / 100

    def test_each_program_shows_the_same_light_on_both_boards(self):
        for model in MODELS:
            for program in self.programs:
                with self.subTest(model=model, program=program):
                    virtual = self.virtual_runs[program]
                    for attempt in range(ATTEMPTS):
                        real = self.on_wiringpi(program, model)
                        try:
                            self.assert_same_pattern(virtual, real, f"{program} on a {model}")
                            break
                        except AssertionError as disagreement:
                            if attempt == ATTEMPTS - 1:
                                raise
                            said = str(disagreement).splitlines()[0]
                            late = "; the probe looked late" if real.looked_late else ""
                            print(f"contract: {program} on a {model}: {said}{late}; measured again",
                                  file=sys.stderr)
                            virtual = self.on_virtual_board(program)

    def test_both_boards_fail_alike(self):
        # Each way wiringPi's set-up fails before the first write: the node
        # missing, a node that opens but will not map (a FIFO there), no
        # board revision; the virtual board meets the same.
        program = self.programs[0]
        unmappable = os.path.join(self.folder, "unmappable")
        os.mkfifo(unmappable)
        cases = [(model, codes, registers, settings)
                 for model, (_, node, _, _) in MODELS.items() for codes in (False, True)
                 for registers, settings in ((NO_NODE, {"gpio_device": node}),
                                             (unmappable, {"gpio_device": node}))]
        cases += [("Pi 3", False, None, {"fail": "board-model"})]
        for model, codes, node_file, settings in cases:
            with self.subTest(model=model, WIRINGPI_CODES=codes, node_file=node_file, **settings):
                variables = {"WIRINGPI_CODES": "1"} if codes else {}
                known_board = "fail" not in settings
                real = self.on_wiringpi(program, model, node_file, known_board, **variables)
                virtual_environment = glowtrace.board_environment(
                    "real", os.path.join(self.folder, "failed.trace"),
                    os.path.join(BUILD_DIR, "virtual-board.env"), **settings)
                virtual_environment.update(variables)
                virtual = self.run_program(program, virtual_environment, model,
                                           node_file or NO_NODE, known_board)
                self.assertEqual((real.status, real.stderr), virtual)
                self.assertEqual(real.status, 1)
                self.assertEqual(real.trace.levels(), [], "a failed set-up wrote the pin")


def main() -> int:
    if not os.path.exists(WIRINGPI_SOURCE):
        print(f"contract: needs wiringPi's released source at {WIRINGPI_SOURCE} "
              "(set GLOW_WIRINGPI_SOURCE); skipped")
        return 77
    if unshare_command() is None:
        print("contract: needs a private mount namespace (root, or user namespaces); skipped")
        return 77
    program = unittest.main(exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
