"""glowview: runs one glow program on the virtual board and shows its LED
live in the terminal, from the trace that the board writes as it goes."""

from __future__ import annotations

import argparse
import curses
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "glowtrace"))
import glowtrace  # noqa: E402

STRIP_SECONDS = 6  # long enough for a whole breath or burst
FRAME_SECONDS = 1 / 30
LAMP_ON_RGB = (255, 176, 40)  # a warm status LED
LAMP_OFF_RGB = (28, 24, 20)
SHADE_CHARACTERS = " .:-=+*#%@"
QUIT_KEYS = (ord("q"), ord("Q"), 3)  # 3: Ctrl-C, read as a key in raw mode


class LiveTrace:
    """Follows a trace file as the board writes it and turns the pin's level
    changes into the mean brightness of each soft-PWM cycle."""

    def __init__(self, path: str):
        self.path = path
        self.offset = 0
        self.partial = ""
        self.duty: int | None = None
        # Cycles are measured once the channel's creation gives their length;
        # the levels before it wait.
        self.cycles: glowtrace.CycleMeans | None = None
        self.waiting: list[tuple[int, float]] = []
        self.misuses = 0
        self.wiring = glowtrace.Trace("real", [])  # pin 4, lit by a high level, until the trace says

    def poll(self, now_us: int) -> None:
        try:
            with open(self.path, encoding="utf-8") as file:
                file.seek(self.offset)
                chunk = file.read()
                self.offset = file.tell()
        except FileNotFoundError:
            return
        lines = (self.partial + chunk).split("\n")
        self.partial = lines.pop()
        for line in lines:
            if line.startswith("# glow-board-trace"):
                # The build's wiring: a low pin may be what lights the LED.
                self.wiring = glowtrace.parse_header(line, self.path)
            elif line and not line.startswith("#"):
                try:
                    self._take(glowtrace.parse_event(line))
                except glowtrace.TraceError:
                    pass  # a line the view cannot read shows nothing; the lamp goes on
        if self.cycles is not None:
            # The pin holds its level between changes: cycles up to now are whole.
            self.cycles.close(now_us)
            del self.cycles.means[: -STRIP_SECONDS * 1_000_000 // self.cycles.cycle_us]

    def _take(self, event: glowtrace.Event) -> None:
        # Shown as the LED's light: the duty lit and the lit share of each cycle.
        if event.kind == "call" and event.words[0] == "softPwmWrite":
            self.duty = self.wiring.light(event.numbers[1], 100)
        elif event.kind == "call" and event.words[0] == "digitalWrite":
            self.duty = self.wiring.light(event.numbers[1]) * 100
        elif event.kind == "call" and event.words[0] == "softPwmCreate" and self.cycles is None:
            self.wiring.events.append(event)
            if self.wiring.pwm_cycle_us:
                self.cycles = glowtrace.CycleMeans(self.wiring.pwm_cycle_us)
                for change in self.waiting:
                    self.cycles.change(*change)
                self.waiting = []
        elif event.kind == "level" and event.numbers[0] == self.wiring.led_pin:
            change = event.time_us, float(self.wiring.light(event.numbers[1]))
            if self.cycles is not None:
                self.cycles.change(*change)
            else:
                self.waiting.append(change)
        elif event.kind == "misuse":
            self.misuses += 1

    @property
    def means(self) -> list[float]:
        """One mean level a completed cycle, oldest first."""
        return [mean for _, mean in self.cycles.means] if self.cycles is not None else []

    @property
    def brightness(self) -> float:
        return self.cycles.means[-1][1] if self.cycles is not None and self.cycles.means else 0.0


class Palette:
    """24-bit colour where the terminal has it, else grey shades, else
    characters: each level from 0 to 1 gets a colour pair and a character."""

    STEPS = 24

    def __init__(self):
        self.mode = "characters"
        if curses.has_colors():
            curses.start_color()
            curses.use_default_colors()
            if curses.COLORS >= 1 << 24:
                self.mode = "24-bit colour"
            elif curses.COLORS >= 256:
                self.mode = "256 colours"
        for step in range(self.STEPS + 1):
            level = step / self.STEPS
            if self.mode == "24-bit colour":
                rgb = [round(off + (on - off) * level) for on, off in zip(LAMP_ON_RGB, LAMP_OFF_RGB)]
                curses.init_pair(step + 1, rgb[0] << 16 | rgb[1] << 8 | rgb[2], -1)
            elif self.mode == "256 colours":
                curses.init_pair(step + 1, 232 + round(level * 23), -1)  # xterm's grey ramp

    def cell(self, level: float) -> tuple[str, int]:
        step = round(min(1.0, max(0.0, level)) * self.STEPS)
        if self.mode == "characters":
            return SHADE_CHARACTERS[round(step * (len(SHADE_CHARACTERS) - 1) / self.STEPS)], 0
        return "\u2588", curses.color_pair(step + 1)


def use_direct_colour_terminfo() -> None:
    """ncurses draws 24-bit colour through a '-direct' terminfo entry; use it
    when the terminal announces 24-bit colour and such an entry exists."""
    term = os.environ.get("TERM", "")
    if os.environ.get("COLORTERM") not in ("truecolor", "24bit") or term.endswith("-direct"):
        return
    direct = term.split("-")[0] + "-direct"
    for folder in ("/etc/terminfo", "/lib/terminfo", "/usr/share/terminfo"):
        if os.path.exists(os.path.join(folder, direct[0], direct)):
            os.environ["TERM"] = direct
            return


def start_program(program_path: str, trace_path: str, errors_path: str) -> subprocess.Popen:
    environment = glowtrace.board_environment("real", trace_path)
    with open(errors_path, "w") as errors:
        # A session of its own: keys typed here never reach the program as signals.
        return subprocess.Popen(
            [program_path],
            env=environment,
            stdin=subprocess.DEVNULL,
            stdout=errors,
            stderr=errors,
            start_new_session=True,
        )


def describe_end(status: int) -> str:
    if status < 0:
        return f"ended by {signal.Signals(-status).name}"
    return f"exited with status {status}"


def draw(screen, palette: Palette, program: str, live: LiveTrace, elapsed: float, end: str | None):
    screen.erase()
    height, width = screen.getmaxyx()

    def put(row: int, column: int, text: str, attributes: int = 0) -> None:
        if 0 <= row < height and column < width:
            screen.addnstr(row, column, text, max(0, width - column - 1), attributes)

    put(0, 0, f"glowview: {program} on the virtual board ({palette.mode})", curses.A_BOLD)
    character, attributes = palette.cell(live.brightness)
    for row in range(2, 7):
        put(row, 2, character * 14, attributes)
    duty = "-" if live.duty is None else str(live.duty)
    put(2, 20, f"brightness {live.brightness * 100:5.1f} %")
    put(3, 20, f"duty       {duty:>5} / 100")
    put(4, 20, f"elapsed    {elapsed:7.2f} s")
    if live.misuses:
        put(5, 20, f"misuse flagged: {live.misuses}", curses.A_BOLD)

    # The last few seconds, oldest on the left: one column a bucket of cycles.
    columns = max(10, min(width - 4, 120))
    cycles_shown = STRIP_SECONDS * 1_000_000 // live.cycles.cycle_us if live.cycles is not None else 0
    per_column = max(1, cycles_shown // columns)
    means = live.means[-columns * per_column :]
    buckets = [means[i : i + per_column] for i in range(0, len(means), per_column)]
    levels = [sum(b) / len(b) for b in buckets if b]
    strip_rows = 6
    put(8, 2, f"last {STRIP_SECONDS} s of brightness")
    for offset, level in enumerate(levels):
        character, attributes = palette.cell(level)
        bar = round(level * strip_rows)
        for row in range(strip_rows):
            if strip_rows - row <= bar or row == strip_rows - 1:
                put(9 + row, 2 + offset, character if level > 0 else "_", attributes)
    if end:
        put(9 + strip_rows + 1, 2, f"{program} {end}; press q to leave", curses.A_BOLD)
    else:
        put(9 + strip_rows + 1, 2, "q or Ctrl-C ends the program with SIGTERM")
    screen.refresh()


def exit_status(status: int) -> int:
    """A shell's figure for how the program ended: its own status, or 128
    and the number of the signal that ended it."""
    return 128 - status if status < 0 else status


def view(screen, program: str, process: subprocess.Popen, live: LiveTrace,
         stop_after: float | None) -> tuple[str, int]:
    """Draws until q, Ctrl-C or a signal; returns how the program ended and
    glowview's own exit status: 0 where glowview ended the program, the
    program's where it ended by itself."""
    curses.raw()
    try:
        curses.curs_set(0)
    except curses.error:
        pass  # a terminal that cannot hide its cursor shows it
    screen.timeout(round(FRAME_SECONDS * 1000))
    palette = Palette()
    started = time.monotonic()
    ended_at = None
    end = None
    while True:
        live.poll(time.monotonic_ns() // 1000)
        status = process.poll()
        if status is not None and end is None:
            end, ended_at = describe_end(status), time.monotonic()
        elapsed = (ended_at or time.monotonic()) - started
        draw(screen, palette, program, live, elapsed, end)
        key = screen.getch()
        timed_out = stop_after is not None and time.monotonic() - started > stop_after
        if key in QUIT_KEYS or timed_out or signal_received:
            if end is not None:
                return end, exit_status(status)
            process.send_signal(signal.SIGTERM)
            return describe_end(process.wait()), 0


signal_received = False


def note_signal(number, frame):
    global signal_received
    signal_received = True


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="glowview", description="Show a glow program's LED live, on the virtual board."
    )
    parser.add_argument("program", help="one of the programs the build made")
    parser.add_argument("--seconds", type=float, help="end the program after this many seconds")
    arguments = parser.parse_args(argv)
    problem = glowtrace.missing_board_path("glowview")
    if problem:
        print(f"glowview: {problem}", file=sys.stderr)
        return 2
    if arguments.program not in glowtrace.programs():
        print(f"glowview: unknown program '{arguments.program}'; "
              f"choose one of {', '.join(glowtrace.programs())}", file=sys.stderr)
        return 2
    if not (sys.stdin.isatty() and sys.stdout.isatty()):
        print("glowview: needs a terminal to draw in", file=sys.stderr)
        return 1

    with tempfile.TemporaryDirectory(prefix="glowview-") as folder:
        trace_path = os.path.join(folder, "trace")
        errors_path = os.path.join(folder, "errors")
        program_path = glowtrace.program_path(arguments.program)
        for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(number, note_signal)
        process = start_program(program_path, trace_path, errors_path)
        use_direct_colour_terminfo()
        try:
            end, status = curses.wrapper(view, arguments.program, process,
                                         LiveTrace(trace_path), arguments.seconds)
        finally:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                process.wait()
        with open(errors_path) as errors:
            sys.stderr.write(errors.read())
    print(f"glowview: {arguments.program} {end}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
