"""The virtual board against wiringPi itself, at the library's boundary.
The real wiringPi, built from its released source, drives a register file
in place of /dev/gpiomem (a Pi 3) or /dev/gpiomem0 (a Pi 5), in a private
mount namespace whose /proc/cpuinfo names the board; register_probe takes
each write out of the file as the chip would and traces the pin's levels.
The board's test driver makes the same short run of wiringPi calls on
either board, and the two must agree call by call (what each returned) and
duty by duty (the soft-PWM cycle's length and its high time), on the
channel's first cycle, the level it starts at and the level it leaves when
the process ends; plain writes of a pin's level (digitalWrite, before and
after pinMode) must drive it alike; and both must fail alike when GPIO cannot be reached,
with and without WIRINGPI_CODES."""

from __future__ import annotations

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
DRIVER = os.environ["GLOW_BOARD_DRIVER"]
LOOK_US = 20  # the probe's pause between looks; a pulse lasts 100 µs or more
RUN_LIMIT_S = 10.0
NO_NODE = ""  # a run with no file bound at the board's node
# The driver's run: the channel created at CREATED, shown for FIRST_MS, then
# each duty written and held for HOLD_MS, the last one full, so that the
# level left when the process ends is not the one the channel starts at.
CREATED = 20
FIRST_MS = 50
DUTIES = (0, 1, 30, 50, 99, 100)
HOLD_MS = 300
# Of each hold, the middle is measured: the first and last EDGE_MS may hold
# the duty before or after on a board whose sleeps wake a little late.
EDGE_MS = 60
# Medians of some twenty cycles each: a stall on a busy machine stretches a
# cycle or two, a fault every one. A board may see a high time one look of
# the probe off.
CYCLE_TOLERANCE_US = 500
HIGH_TOLERANCE_US = 150
# The first cycle is as exact as the machine starts the channel's thread:
# it must show the created duty, not the first one written (full), and end
# low within the cycle.
FIRST_CYCLE_TOLERANCE_US = 4000
# Measurements before boards that disagree fail: a fault disagrees every time.
ATTEMPTS = 2

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


@dataclasses.dataclass
class Run:
    """One run on one board: its exit status, stdout, stderr and the pin's
    levels, and whether the register probe said it had looked late."""
    status: int
    stdout: str
    stderr: str
    trace: glowtrace.Trace
    looked_late: bool = False


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
    def launch(cls, command: list[str], environment: dict[str, str], model: str,
               registers: str = NO_NODE, known_board: bool = True) -> tuple[subprocess.Popen, str]:
        revision, node, _, _ = MODELS[model]
        revision = revision if known_board else None
        stderr_path = os.path.join(cls.folder, "stderr")
        with open(stderr_path, "w") as stderr:
            process = subprocess.Popen(
                [*cls.unshare, "sh", "-c", IN_NAMESPACE, "in-namespace", registers, node,
                 cls.cpuinfo(revision), *cls.priority, *command],
                env=environment, stdout=subprocess.PIPE, stderr=stderr, text=True)
        return process, stderr_path

    @classmethod
    def run_program(cls, command: list[str], environment: dict[str, str], model: str,
                    registers: str = NO_NODE, known_board: bool = True) -> tuple[int, str, str]:
        """Its exit status, stdout and stderr; a run that hangs is killed."""
        process, stderr_path = cls.launch(command, environment, model, registers, known_board)
        try:
            stdout, _ = process.communicate(timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            stdout, _ = process.communicate()
        with open(stderr_path) as stderr:
            return process.returncode, stdout, stderr.read()

    @classmethod
    def on_virtual_board(cls, command: list[str], model: str) -> Run:
        trace_path = os.path.join(cls.folder, "virtual.trace")
        environment = glowtrace.board_environment(
            "real", trace_path, os.path.join(BUILD_DIR, "virtual-board.env"))
        return Run(*cls.run_program(command, environment, model), glowtrace.read_trace(trace_path))

    @classmethod
    def on_wiringpi(cls, command: list[str], model: str, node_file: str | None = None,
                    known_board: bool = True, **variables: str) -> Run:
        """The program on the real wiringPi, the file bound at its node the
        probe's register file unless another is given, or none (NO_NODE), as
        run_program takes it."""
        revision, node, size, layout = MODELS[model]
        registers = os.path.join(cls.folder, "registers")
        with open(registers, "wb") as file:
            file.truncate(size)
        trace_path = os.path.join(cls.folder, "wiringpi.trace")
        probe = subprocess.Popen([PROBE, registers, layout, str(cls.bcm_of[cls.pin]), str(cls.pin),
                                  cls.wiring["GLOW_BOARD_LED_ACTIVE"], trace_path, str(LOOK_US)])
        environment = {"PATH": os.environ["PATH"], "LD_LIBRARY_PATH": cls.wiringpi, **variables}
        time.sleep(0.1)  # the probe watches before the first write
        node_file = registers if node_file is None else node_file
        status, stdout, stderr = cls.run_program(command, environment, model, node_file,
                                                 known_board)
        time.sleep(0.1)  # the probe's look at the level left
        probe.send_signal(signal.SIGTERM)
        probe.wait(timeout=10)
        with open(trace_path) as text:
            looked_late = "# late look" in text.read()
        return Run(status, stdout, stderr, glowtrace.read_trace(trace_path), looked_late)

    def script(self) -> list[str]:
        steps = ["setup", "create", str(self.pin), str(CREATED), "100", "delay", str(FIRST_MS)]
        for duty in DUTIES:
            steps += ["write", str(self.pin), str(duty), "delay", str(HOLD_MS)]
        return [DRIVER, *steps]

    @staticmethod
    def measured(run: Run) -> dict:
        """What the pin did, from its levels: where it started and ended, the
        first cycle's high time, and per duty the median cycle and high time."""
        levels = run.trace.levels()
        start_us = levels[0][0] if levels else 0
        rises = [t for t, level in levels if level == 1]
        falls = [t for t, level in levels if level == 0 and t > (rises or [0])[0]]
        found = {"starts at": levels[0][1] if levels else None,
                 "ends at": levels[-1][1] if levels else None,
                 "first high µs": falls[0] - rises[0] if rises and falls else None}
        for index, duty in enumerate(DUTIES):
            begin = start_us + (FIRST_MS + index * HOLD_MS + EDGE_MS) * 1000
            end = begin + (HOLD_MS - 2 * EDGE_MS) * 1000
            up = [t for t in rises if begin <= t < end]
            highs = [min(t for t in falls if t > rise) - rise for rise in up[:-1]
                     if any(t > rise for t in falls)]
            at_begin = [level for t, level in levels if t < begin][-1:] or [None]
            found[duty] = (statistics.median(b - a for a, b in zip(up, up[1:])) if len(up) > 2 else None,
                           statistics.median(highs) if highs else None, at_begin[0] if not up else None)
        return found

    def assert_same_driver_run(self, virtual: Run, real: Run, what: str) -> None:
        self.assertEqual((real.status, real.stdout, real.stderr),
                         (virtual.status, virtual.stdout, virtual.stderr),
                         f"{what}: each call's result, stderr and exit status")
        mine, theirs = self.measured(virtual), self.measured(real)
        for name in ("starts at", "ends at"):
            self.assertEqual(mine[name], theirs[name], f"{what}: the level the channel {name}")
        for name, found in (("virtual board", mine), ("wiringPi", theirs)):
            self.assertIsNotNone(found["first high µs"], f"{what}: no first cycle on the {name}")
            self.assertAlmostEqual(found["first high µs"], CREATED * 100,
                                   delta=FIRST_CYCLE_TOLERANCE_US,
                                   msg=f"{what}: the first cycle's high time on the {name}")
        for duty in DUTIES:
            (cycle, high, level), (other_cycle, other_high, other_level) = mine[duty], theirs[duty]
            self.assertEqual((cycle is None, high is None, level), (other_cycle is None,
                             other_high is None, other_level), f"{what}: duty {duty}'s edges")
            if cycle is not None:
                self.assertAlmostEqual(cycle, other_cycle, delta=CYCLE_TOLERANCE_US,
                                       msg=f"{what}: duty {duty}'s cycle")
            if high is not None:
                self.assertAlmostEqual(high, other_high, delta=HIGH_TOLERANCE_US,
                                       msg=f"{what}: duty {duty}'s high time")
        print(f"contract: {what}: per duty (cycle, high) µs, virtual board "
              f"{[mine[d][:2] for d in DUTIES]}, wiringPi {[theirs[d][:2] for d in DUTIES]}",
              file=sys.stderr)

    def test_the_same_calls_drive_the_pin_alike_on_both_boards(self):
        looks: list[int] = []
        for model in MODELS:
            with self.subTest(model=model):
                for attempt in range(ATTEMPTS):
                    virtual = self.on_virtual_board(self.script(), model)
                    real = self.on_wiringpi(self.script(), model)
                    try:
                        self.assert_same_driver_run(virtual, real, f"the driver on a {model}")
                        looks.append(attempt + 1)
                        break
                    except AssertionError as disagreement:
                        if attempt == ATTEMPTS - 1:
                            raise
                        late = "; the probe looked late" if real.looked_late else ""
                        print(f"contract: {model}: {str(disagreement).splitlines()[0]}{late}; "
                              "measured again", file=sys.stderr)
        # For the run's summary, passing or not: how often a second look was needed.
        print(f"contract: {looks.count(1)} of {len(MODELS)} boards agreed at the first look, "
              f"{looks.count(2)} at the second", file=sys.stderr)

    def test_plain_writes_and_modes_drive_the_pin_alike_on_both_boards(self):
        # glowoff's calls, a write before the pin is an output and after,
        # each level held long enough for the probe to look.
        pin = str(self.pin)
        script = [DRIVER, "setup", "digital", pin, "1", "mode", pin, "1", "delay", "50",
                  "digital", pin, "0", "delay", "50", "digital", pin, "1", "delay", "50",
                  "mode", pin, "1", "digital", pin, "0", "delay", "50"]
        for model in MODELS:
            with self.subTest(model=model):
                virtual = self.on_virtual_board(script, model)
                real = self.on_wiringpi(script, model)
                self.assertEqual((real.status, real.stdout, real.stderr),
                                 (virtual.status, virtual.stdout, virtual.stderr))
                self.assertEqual([level for _, level in real.trace.levels()], [1, 0, 1, 0])
                self.assertEqual([level for _, level in virtual.trace.levels()],
                                 [level for _, level in real.trace.levels()])

    def test_both_boards_fail_alike(self):
        # Each way wiringPi's set-up fails before the first write: the node
        # missing, a node that opens but will not map (a FIFO there), no
        # board revision; the virtual board meets the same.
        program = [os.path.join(BUILD_DIR, "programs", self.programs[0])]
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
                self.assertEqual((real.status, real.stdout, real.stderr), virtual)
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
