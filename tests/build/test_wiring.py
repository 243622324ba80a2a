"""The other wiring: a second build of the other polarity on another pin
(pin 25, active low, beside a build of the default; the default beside any
other) runs glowtwice and glowoff on its virtual board beside this build's.
Its channel must be on its pin, every value mirrored, the LED dark after
glowoff, and the light, in the trace tool and in the live view, the same as
this build's. Its own whole suite must pass, and values the build cannot
use must stop the configure."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ["GLOW_SOURCE_DIR"]
BUILD_DIR = os.environ["GLOW_BUILD_DIR"]
CMAKE = os.environ.get("GLOW_CMAKE", "cmake")
CTEST = os.environ.get("GLOW_CTEST", "ctest")
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "glowtrace"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "glowview"))
import glowtrace  # noqa: E402
import glowview  # noqa: E402

WIRING = glowtrace.build_settings(os.path.join(BUILD_DIR, "virtual-board.env"))
# The other build's pin and polarity: always the other polarity, so that
# every value is mirrored; pin 25 is BCM GPIO 26, header pin 37.
OTHER_PIN = 4 if WIRING["GLOW_BOARD_LED"] == "25" else 25
OTHER_ACTIVE_LOW = WIRING["GLOW_BOARD_LED_ACTIVE"] == "high"
CYCLE_MS = {name: length_ms for name, _, length_ms in
            glowtrace.program_table(os.path.join(BUILD_DIR, "programs.txt"))}


# Built as this build is: the hardening the suite checks needs the optimiser.
BUILD_TYPE = os.environ.get("GLOW_BUILD_TYPE", "")


def configure(folder: str, *options: str, testing: str = "OFF") -> subprocess.CompletedProcess:
    return subprocess.run([CMAKE, "-S", SOURCE_DIR, "-B", folder, f"-DBUILD_TESTING={testing}",
                           "-DGLOW_WIRINGPI=VIRTUAL", f"-DCMAKE_BUILD_TYPE={BUILD_TYPE}", *options],
                          capture_output=True, text=True, timeout=300)


def run(build: str, program: str, trace: str, clock: str) -> subprocess.Popen:
    # One cycle of glowtwice; glowoff ends well before.
    limit = {"limit_ms": str(CYCLE_MS["glowtwice"])} if clock == "virtual" else {}
    environment = glowtrace.board_environment(clock, trace, os.path.join(build, "virtual-board.env"),
                                              **limit)
    return subprocess.Popen([os.path.join(build, "programs", program)], env=environment)


def calls(trace: glowtrace.Trace) -> list[tuple[int, str, list[int]]]:
    return [(e.time_us, e.words[0], e.numbers) for e in trace.events
            if e.kind == "call" and e.words[0] in ("pinMode", "digitalWrite", "softPwmCreate",
                                                   "softPwmWrite")]


def mirrored(call: tuple[int, str, list[int]]) -> tuple[int, str, list[int]]:
    """A call of this build as the other build must make it."""
    time_us, name, numbers = call
    if name == "pinMode":
        return time_us, name, [OTHER_PIN, *numbers[1:]]
    if name == "digitalWrite":
        return time_us, name, [OTHER_PIN, 1 - numbers[1]]
    return time_us, name, [OTHER_PIN, 100 - numbers[1], *numbers[2:]]


class OtherWiring(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.other = os.path.join(cls.folder.name, "other")
        configured = configure(cls.other, f"-DGLOW_PIN={OTHER_PIN}",
                               f"-DGLOW_ACTIVE_LOW={'ON' if OTHER_ACTIVE_LOW else 'OFF'}",
                               testing="ON")
        assert configured.returncode == 0, configured.stderr
        built = subprocess.run([CMAKE, "--build", cls.other, "-j", str(os.cpu_count())],
                               capture_output=True, text=True, timeout=1200)
        assert built.returncode == 0, built.stdout[-2000:]

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def traces(self, program: str, clock: str) -> list[str]:
        """The program's trace on this build's board, then on the other's."""
        paths = []
        for build in (BUILD_DIR, self.other):
            paths.append(os.path.join(self.folder.name, f"{program}.{clock}.{len(paths)}.trace"))
            process = run(build, program, paths[-1], clock)
            if clock == "real" and program == "glowtwice":
                time.sleep(CYCLE_MS[program] / 1000 + 0.05)  # one cycle, then ended as a unit's stop ends it
                process.send_signal(signal.SIGTERM)
            process.wait(timeout=60)
        return paths

    def test_every_value_is_mirrored_on_the_other_pin(self):
        for program in ("glowtwice", "glowoff"):
            with self.subTest(program):
                default, other = map(glowtrace.read_trace, self.traces(program, "virtual"))
                self.assertEqual((other.led_pin, other.active_low), (OTHER_PIN, OTHER_ACTIVE_LOW))
                self.assertEqual(calls(other), [mirrored(call) for call in calls(default)])
                if program == "glowtwice":
                    self.assertEqual(glowtrace.brightness(other), glowtrace.brightness(default))
        # glowoff: one plain write of the level that leaves the LED dark, and no channel.
        self.assertEqual([name for _, name, _ in calls(other)], ["digitalWrite", "pinMode"])
        self.assertEqual(calls(other)[0][2], [OTHER_PIN, 1 if OTHER_ACTIVE_LOW else 0])
        self.assertEqual(other.light(other.levels()[-1][1]), 0)

    def test_the_live_view_shows_the_same_light(self):
        for program in ("glowtwice", "glowoff"):
            with self.subTest(program):
                shown = []
                for path in self.traces(program, "real"):
                    view = glowview.LiveTrace(path)
                    view.poll(glowtrace.read_trace(path).end_us)
                    shown.append((view.means, view.brightness, view.duty))
                (default_means, default_last, _), (other_means, other_last, other_duty) = shown
                if program == "glowoff":
                    # No channel, no cycle: the view shows the plain write's darkness.
                    self.assertEqual((other_means, other_last, other_duty), ([], 0.0, 0))
                    continue
                # Real time: about the same share of each cycle lit and the same light at
                # the end.
                self.assertTrue(other_means, "the view saw no whole cycle")
                # A view that did not mirror the other polarity shows 1 - share:
                # the share shown must be nearer the right one than that.
                share = sum(default_means) / len(default_means)
                other_share = sum(other_means) / len(other_means)
                self.assertLess(abs(other_share - share), abs(other_share - (1 - share)),
                                (other_share, share))
                self.assertAlmostEqual(other_last, default_last, delta=0.05)

    def test_what_the_wiring_changes_passes(self):
        # The programs, the board, the traces and pictures, and the installed
        # and packaged files: the units, the contract and the docs hold for
        # any wiring and run once, in this build.
        result = subprocess.run([CTEST, "--test-dir", self.other, "-j", "2", "-L",
                                 "^(programs|board|tools|deliverables)$",
                                 "--output-on-failure", "--timeout", "600"],
                                capture_output=True, text=True, timeout=2400)
        self.assertEqual(result.returncode, 0, result.stdout[-6000:] + result.stderr[-2000:])
        self.assertRegex(result.stdout, r"100% tests passed")

    def test_values_the_build_cannot_use_stop_the_configure(self):
        for option, message in (
            ("-DGLOW_PIN=17", "GLOW_PIN must be a wiringPi pin of the 40-pin header, 0-16 or 21-31, not '17'"),
            ("-DGLOW_PIN=four", "GLOW_PIN must be a wiringPi pin of the 40-pin header, 0-16 or 21-31, not 'four'"),
            ("-DGLOW_ACTIVE_LOW=maybe", "GLOW_ACTIVE_LOW must be ON or OFF, not 'maybe'"),
        ):
            with self.subTest(option):
                result = configure(os.path.join(self.folder.name, option), option)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, " ".join(result.stderr.split()))


if __name__ == "__main__":
    unittest.main()
