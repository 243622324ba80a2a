"""The live view, run in a real terminal under tmux: what the screen shows
through a breath and through bursts, and how q ends the program and gives
the terminal back."""

import glob
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "glowtrace"))
import glowtrace  # noqa: E402

VIEW = os.environ.get("GLOW_VIEW", "glowview")
DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo")
BUILD = os.environ.get("GLOW_BUILD_DIR", "build/host")
ILLEGAL = os.environ.get("GLOW_ILLEGAL_INSTRUCTION", os.path.join(BUILD, "tests", "illegal_instruction"))


class Terminal:
    """A detached tmux session of its own, 100 by 30, running one command."""

    def __init__(self, command: str):
        self.socket = "glowview-test-" + uuid.uuid4().hex[:8]
        self.tmux("new-session", "-d", "-x", "100", "-y", "30",
                  f"{command}; echo EXIT=$?; sleep 120")

    def tmux(self, *arguments) -> str:
        return subprocess.run(["tmux", "-L", self.socket, *arguments], check=True,
                              capture_output=True, text=True, timeout=20).stdout

    def screen(self, escapes: bool = False) -> str:
        return self.tmux("capture-pane", "-p", *(["-e"] if escapes else []))

    def wait_for(self, pattern: str, seconds: float = 15) -> str:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            text = self.screen()
            if re.search(pattern, text):
                return text
            time.sleep(0.05)
        raise AssertionError(f"screen never showed {pattern!r}:\n{self.screen()}")

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


def brightness(screen: str) -> float | None:
    found = re.search(r"brightness\s+([\d.]+) %", screen)
    return float(found.group(1)) if found else None


def strip_bottom_row(screen: str) -> str:
    """The strip's bottom row: lit columns drawn, dark ones as '_'."""
    lines = screen.split("\n")
    heading = next(i for i, line in enumerate(lines) if "last 6 s of brightness" in line)
    return lines[heading + 6][2:].rstrip()


def bursts(row: str) -> list[int]:
    """Flashes per burst in a strip row of 60 ms columns: lit runs less than
    300 ms apart belong to one burst, which counts once the dark after it has
    lasted longer than that (the last one may still be under way)."""
    groups: list[list[int]] = []
    for run in re.finditer(r"[^_ ]+", row):
        if groups and run.start() - groups[-1][-1] <= 5:
            groups[-1].append(run.end())
        else:
            groups.append([run.end()])
    if groups and len(row) - groups[-1][-1] <= 5:
        groups.pop()
    return [len(group) for group in groups]


class LiveView(unittest.TestCase):
    def setUp(self):
        self.terminal = None

    def tearDown(self):
        if self.terminal:
            self.terminal.close()

    def test_lamp_brightens_and_dims_through_a_breath(self):
        self.terminal = Terminal(f"{VIEW} glowbreathe")
        self.terminal.wait_for(r"brightness")
        # Dark, then bright, then dark again, read as the screen shows them;
        # a loaded machine may read few of them, so it reads until it has.
        goals = ((lambda level: level < 10), (lambda level: level > 90), (lambda level: level < 5))
        reached, seen = 0, []
        deadline = time.monotonic() + 15
        while reached < len(goals) and time.monotonic() < deadline:
            level = brightness(self.terminal.screen())
            if level is not None:
                seen.append(level)
                reached += goals[reached](level)
            time.sleep(0.05)
        self.assertEqual(reached, len(goals), seen)

    def test_strip_shows_bursts_of_two_and_of_five(self):
        for program, flashes in (("glowtwice", 2), ("glowfive", 5)):
            with self.subTest(program):
                self.terminal = Terminal(f"{VIEW} {program}")
                self.terminal.wait_for(r"elapsed\s+5\.[0-5]", seconds=20)
                row = strip_bottom_row(self.terminal.screen())
                counted = bursts(row)
                self.assertGreaterEqual(len(counted), 1, row)
                self.assertEqual(set(counted), {flashes}, row)
                self.terminal.close()

    def test_q_ends_the_program_by_sigterm_and_restores_the_terminal(self):
        self.terminal = Terminal(f"{VIEW} glowtwice")
        self.terminal.wait_for(r"elapsed\s+1\.")
        self.assertEqual(self.terminal.tmux("display", "-p", "#{alternate_on}").strip(), "1")
        self.terminal.tmux("send-keys", "q")
        screen = self.terminal.wait_for(r"EXIT=\d+")
        self.assertIn("glowview: glowtwice ended by SIGTERM", screen)
        self.assertIn("EXIT=0", screen)
        self.assertEqual(self.terminal.tmux("display", "-p", "#{alternate_on}").strip(), "0")

    def test_ctrl_c_also_ends_it_by_sigterm(self):
        self.terminal = Terminal(f"{VIEW} glowbreathe")
        self.terminal.wait_for(r"elapsed\s+0\.[5-9]")
        self.terminal.tmux("send-keys", "C-c")
        screen = self.terminal.wait_for(r"EXIT=\d+")
        self.assertIn("glowview: glowbreathe ended by SIGTERM", screen)

    def test_full_glow_stays_lit_with_its_exit_status(self):
        self.terminal = Terminal(f"{VIEW} glowfull")
        screen = self.terminal.wait_for(r"glowfull exited with status 0; press q")
        self.assertEqual(brightness(screen), 100.0)
        self.terminal.tmux("send-keys", "q")
        self.assertIn("glowview: glowfull exited with status 0", self.terminal.wait_for("EXIT=0"))

    def test_exits_with_the_status_of_a_program_that_ended_by_itself(self):
        self.terminal = Terminal(f"GLOW_BOARD_FAIL=channel-refused {VIEW} glowtwice")
        self.terminal.wait_for(r"glowtwice exited with status 1; press q")
        self.terminal.tmux("send-keys", "q")
        screen = self.terminal.wait_for("EXIT=")
        # The program's own line, whichever pin this build drives.
        self.assertRegex(screen, r"glowtwice: cannot start the soft-PWM channel on pin \d+\n")
        self.assertIn("EXIT=1", screen)

    def test_draws_in_24_bit_colour_or_in_characters_as_the_terminal_allows(self):
        self.terminal = Terminal(f"COLORTERM=truecolor {VIEW} glowfull")
        self.terminal.wait_for(r"\(24-bit colour\)")
        self.terminal.wait_for(r"exited with status 0")
        # The lit lamp in the LED's full colour, 255 176 40, as a 24-bit foreground.
        self.assertIn("\x1b[38;2;255;176;40m", self.terminal.screen(escapes=True))
        self.terminal.close()

        self.terminal = Terminal(f"TERM=vt100 {VIEW} glowfull")
        screen = self.terminal.wait_for(r"exited with status 0")
        self.assertIn("(characters)", screen)
        self.assertIn("@" * 14, screen)  # the lit lamp, in the brightest shade

    def test_without_a_terminal_says_so_and_fails(self):
        result = subprocess.run([VIEW, "glowbreathe"], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=20)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stderr, "glowview: needs a terminal to draw in\n")


class DemoOnABoard(unittest.TestCase):
    """scripts/demo as on a board with wiringPi, the build's programs on the
    virtual board: q and Ctrl-C end it with the LED dark, and GPIO access
    that is missing is said in one line before anything starts."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        os.chmod(self.folder.name, 0o1777)  # for the demo run as another user
        self.device = os.path.join(self.folder.name, "gpiomem")
        open(self.device, "w").close()
        settings = glowtrace.build_settings(os.path.join(BUILD, "virtual-board.env"))
        settings.update(GLOW_BOARD_CLOCK="real", GLOW_BOARD_TRACE_DIR=self.folder.name,
                        GLOW_BOARD_GPIO_DEVICE=self.device,
                        GLOW_DEMO_PROGRAMS=os.path.join(BUILD, "programs"))
        self.environment = settings

    def runs(self, program: str) -> list[glowtrace.Trace]:
        return [glowtrace.read_trace(path)
                for path in glob.glob(os.path.join(self.folder.name, f"{program}.*.trace"))]

    def wait_until(self, program: str, seen, never: str, seconds: float = 15) -> None:
        """Until one of the program's traces shows what seen() looks for."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                if any(seen(trace) for trace in self.runs(program)):
                    return
            except glowtrace.TraceError:
                pass  # a line still being written
            time.sleep(0.05)
        self.fail(f"{program} {never}")

    def wait_until_lit(self, program: str) -> None:
        self.wait_until(program, lambda trace: any(trace.light(level) == 1
                                                   for _, level in trace.levels()),
                        "never lit the LED")

    def test_q_ctrl_c_and_a_hang_up_end_it_with_the_led_dark(self):
        command = "env " + " ".join(f"{name}={shlex.quote(value)}"
                                    for name, value in self.environment.items())
        for key in ("q", "C-c", "hang-up"):
            with self.subTest(key):
                for path in glob.glob(os.path.join(self.folder.name, "*.trace")):
                    os.remove(path)
                terminal = Terminal(f"{command} {DEMO} glowtwice")
                self.addCleanup(terminal.close)
                terminal.wait_for("q or Ctrl-C ends it, dark")
                self.wait_until_lit("glowtwice")
                if key == "hang-up":  # the terminal goes, as a lost SSH connection's does
                    terminal.close()
                    self.wait_until("glowoff", lambda trace: any(
                        event.kind == "exit" for event in trace.events), "never ran to its end")
                else:
                    terminal.tmux("send-keys", key)
                    self.assertIn("EXIT=0", terminal.wait_for("EXIT="))
                twice, = self.runs("glowtwice")
                dark, = self.runs("glowoff")
                self.assertLessEqual(twice.events[-1].time_us, dark.events[0].time_us)
                self.assertEqual(dark.light(dark.levels()[-1][1]), 0)

    def test_help_answers_before_anything_runs(self):
        result = subprocess.run([DEMO, "--help"], env=dict(os.environ, **self.environment),
                                capture_output=True, text=True, timeout=10)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertIn("scripts/demo [PROGRAM]", result.stdout)
        self.assertEqual(self.runs("glowbreathe"), [])

    def test_a_program_the_processor_cannot_run_is_said_in_one_line(self):
        """As ARMv7 code on an ARMv6 board: killed by SIGILL, and glowoff,
        on the same wiringPi, is not tried."""
        programs = os.path.join(self.folder.name, "board", "programs")
        os.makedirs(programs)
        os.symlink(os.path.join(BUILD, "programs.txt"), os.path.join(programs, "..", "programs.txt"))
        os.symlink(ILLEGAL, os.path.join(programs, "glowbreathe"))
        os.symlink(os.path.join(BUILD, "programs", "glowoff"), os.path.join(programs, "glowoff"))
        environment = dict(os.environ, **self.environment)
        environment["GLOW_DEMO_PROGRAMS"] = programs
        del environment["LD_PRELOAD"]  # whose clock would trace every command the demo runs
        result = subprocess.run([DEMO], env=environment,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 132, result.stderr)
        self.assertRegex(result.stderr, r"^demo: glowbreathe was killed by SIGILL: this processor "
                         rf"\({re.escape(os.uname().machine)}\) cannot run the installed wiringPi "
                         r"or glowbreathe[^\n]*\n$")
        self.assertEqual(self.runs("glowoff"), [])

    @unittest.skipUnless(os.geteuid() == 0, "runs the demo as another user")
    def test_without_gpio_access_says_what_is_missing_before_anything_starts(self):
        for mode, missing in ((0o600, "no access to " + self.device), (None, "no GPIO device")):
            with self.subTest(missing):
                if mode is None:
                    os.remove(self.device)
                else:
                    os.chmod(self.device, mode)
                # Without the usleep interposer, which the other user may not be
                # able to read in another build's folder; a program that started
                # would still fail or leave a trace.
                environment = dict(os.environ, **self.environment)
                del environment["LD_PRELOAD"]
                result = subprocess.run(
                    ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", DEMO],
                    env=environment, capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertRegex(result.stderr, f"^demo: {missing}[^\n]*: run as root[^\n]*\n$")
                self.assertEqual(self.runs("glowbreathe"), [])


if __name__ == "__main__":
    unittest.main()
