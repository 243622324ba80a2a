"""The trace tool: the phases it finds and measures, the pictures it draws,
and how it refuses bad input."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "glowtrace"))
import glowtrace  # noqa: E402

TOOL = os.environ.get("GLOW_TRACE_TOOL", "glowtrace")
SAMPLE_LINES = os.path.join(os.path.dirname(__file__), "..", "data", "trace-lines.txt")

# A hand-made trace with uneven timing, so that measured lengths can only come
# from the timestamps: a rise of 7 ms steps to 2, a fall back to 0 with
# 9, 8 and 10 ms steps, a rest of 990 ms, then one flash and its gap.
UNEVEN = """# glow-board-trace 1 clock=virtual pid=1 pulse_us=100
0 call wiringPiSetup = 0
0 call pinMode 4 1
0 call softPwmCreate 4 1 100 = 0
100 call softPwmWrite 4 0
100 call delay 10
7100 call softPwmWrite 4 1
7100 call delay 10
14100 call softPwmWrite 4 2
14100 call delay 10
21100 call softPwmWrite 4 2
21100 call delay 10
30100 call softPwmWrite 4 1
30100 call delay 10
38100 call softPwmWrite 4 0
38100 call delay 10
48100 call delay 1000
1038100 call softPwmWrite 4 100
1038100 call usleep 200000
1248100 call softPwmWrite 4 0
1248100 call usleep 150000
1398100 end SIGTERM
"""


def run_tool(*arguments):
    return subprocess.run([TOOL, *arguments], capture_output=True, text=True, timeout=120)


class Lines(unittest.TestCase):
    def test_reads_every_sample_line_as_the_board_documents_it(self):
        # The C++ test reader is held to the same file.
        with open(SAMPLE_LINES, encoding="utf-8") as samples:
            for sample in samples.read().splitlines():
                if not sample or sample.startswith("#"):
                    continue
                line, expected = sample.split(" => ")
                with self.subTest(line):
                    try:
                        event = glowtrace.parse_event(line)
                    except glowtrace.TraceError:
                        self.assertEqual(expected, "error")
                        continue
                    result = "-" if event.result is None else str(event.result)
                    self.assertEqual(f"{event.time_us} {event.kind} [{','.join(event.words)}] "
                                     f"[{','.join(map(str, event.numbers))}] {result}", expected)


class Phases(unittest.TestCase):
    def test_lengths_come_from_the_trace_timestamps(self):
        found = glowtrace.phases(glowtrace.parse_trace(UNEVEN))
        self.assertEqual(
            [(p.name, p.start_us, p.end_us) for p in found],
            [
                ("rise", 100, 21100),
                ("fall", 21100, 48100),
                ("rest", 48100, 1038100),
                ("flash", 1038100, 1248100),
                ("gap", 1248100, 1398100),
            ],
        )

    def test_a_recorded_breath_has_its_nominal_phases(self):
        with tempfile.TemporaryDirectory() as folder:
            trace_path = os.path.join(folder, "trace")
            recorded = run_tool("record", "glowbreathe", "-o", trace_path,
                                "--seconds", "7", "--virtual-time")
            self.assertEqual(recorded.returncode, 0, recorded.stderr)
            found = glowtrace.phases(glowtrace.read_trace(trace_path))
        whole = [(p.name, p.length_ms) for p in found[:6]]
        self.assertEqual(whole, [("rise", 1010), ("fall", 1010), ("rest", 1000)] * 2)
        self.assertEqual(found[6].name, "rise")

    def test_a_full_glow_is_one_hold(self):
        trace = glowtrace.parse_trace(UNEVEN.split("1038100 call")[0]
                                      .replace("48100 call delay 1000", "48100 exit"))
        self.assertEqual(glowtrace.phases(trace)[-1].name, "fall")
        held = glowtrace.parse_trace("# glow-board-trace 1 clock=virtual\n"
                                     "0 call softPwmWrite 4 100\n0 call delay 1000\n1000000 exit\n")
        self.assertEqual([(p.name, p.length_ms) for p in glowtrace.phases(held)], [("hold", 1000)])


class Brightness(unittest.TestCase):
    def test_measured_over_the_cycle_the_trace_names(self):
        # A channel of range 50 in steps of 100 µs cycles every 5 ms.
        halved = glowtrace.parse_trace(UNEVEN.replace("softPwmCreate 4 1 100", "softPwmCreate 4 1 50"))
        starts = [t for t, _ in glowtrace.brightness(halved)]
        self.assertEqual({later - earlier for earlier, later in zip(starts, starts[1:])}, {5000})
        for unnamed in (UNEVEN.replace(" pulse_us=100", ""),
                        UNEVEN.replace("call softPwmCreate", "call pinMode")):
            with self.assertRaisesRegex(glowtrace.TraceError, "no soft-PWM cycle"):
                glowtrace.brightness(glowtrace.parse_trace(unnamed))


class Summary(unittest.TestCase):
    def test_one_line_a_cycle_with_measured_lengths(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace")
            with open(path, "w") as file:
                file.write(UNEVEN)
            result = run_tool("summary", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
            "cycle 1: rise 0->2 21 ms, fall 2->0 27 ms, rest 990 ms; 1038 ms",
            "cycle 2: flash 210 ms, gap 150 ms; 360 ms (cut off)",
            "misuse flagged: 0",
        ])


class Pictures(unittest.TestCase):
    def test_writes_png_and_svg_labelled_with_the_measured_phases(self):
        with tempfile.TemporaryDirectory() as folder:
            trace_path = os.path.join(folder, "uneven.trace")
            with open(trace_path, "w") as file:
                file.write(UNEVEN)
            png, svg = os.path.join(folder, "p.png"), os.path.join(folder, "p.svg")
            drawn = run_tool("plot", trace_path, "-o", png, "-o", svg)
            self.assertEqual(drawn.returncode, 0, drawn.stderr)
            with open(png, "rb") as file:
                self.assertEqual(file.read(8), b"\x89PNG\r\n\x1a\n")
            with open(svg) as file:
                picture = file.read()
        # Phases too narrow to label (the 21 ms rise) are shaded only.
        labels = [">rest<", ">990 ms<", ">flash<", ">210 ms<", ">gap<", ">150 ms<"]
        self.assertEqual([label for label in labels if label not in picture], [])

    def test_a_phase_the_window_cut_off_is_not_measured(self):
        with tempfile.TemporaryDirectory() as folder:
            trace_path, svg = os.path.join(folder, "cut.trace"), os.path.join(folder, "p.svg")
            with open(trace_path, "w") as file:
                file.write(UNEVEN.replace("1398100 end SIGTERM", "1380000 end SIGTERM"))
            drawn = run_tool("plot", trace_path, "-o", svg)
            self.assertEqual(drawn.returncode, 0, drawn.stderr)
            with open(svg) as file:
                picture = file.read()
        # The gap was 132 ms into its 150 when the signal came.
        self.assertEqual([">cut off<" in picture, ">132 ms<" in picture], [True, False])


class BadInput(unittest.TestCase):
    def assert_refused(self, result, fragment):
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertNotIn("Traceback", result.stderr)
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertTrue(result.stderr.startswith("glowtrace: "), result.stderr)
        self.assertIn(fragment, result.stderr)

    def refused(self, text, *extra):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace")
            with open(path, "w") as file:
                file.write(text)
            return run_tool("summary", path, *extra)

    def test_missing_file(self):
        self.assert_refused(run_tool("summary", "/nonexistent/trace"), "No such file")

    def test_cut_trace(self):
        self.assert_refused(self.refused(UNEVEN[:-7]), "cut off")

    def test_malformed_line(self):
        self.assert_refused(self.refused(UNEVEN.replace("7100 call delay", "7100 cal delay")),
                            ":8:")
        self.assert_refused(self.refused(UNEVEN.replace("21100 call delay", "oops call delay")), ":12:")
        self.assert_refused(self.refused(UNEVEN.replace("pulse_us=100", "pulse_us=0")), "pulse_us")

    def test_not_a_trace(self):
        self.assert_refused(self.refused("hello\n"), "not a glow virtual board trace")

    def test_picture_of_another_kind(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace")
            with open(path, "w") as file:
                file.write(UNEVEN)
            self.assert_refused(run_tool("plot", path, "-o", os.path.join(folder, "p.gif")),
                                ".png or .svg")


if __name__ == "__main__":
    unittest.main()
