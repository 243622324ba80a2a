"""Reads a virtual board trace and tells what the LED did: the pattern's
phases (rise, fall, rest; flash, gap, rest; hold) with their measured
lengths, and the pin's brightness as an eye would see it."""

from __future__ import annotations

import dataclasses
import os
import sys


class TraceError(Exception):
    """The trace cannot be read; the message says where and why."""


@dataclasses.dataclass
class Event:
    time_us: int
    kind: str
    words: list[str]
    numbers: list[int]
    line_number: int
    result: int | None = None  # a call's "= R"


@dataclasses.dataclass
class Trace:
    clock: str
    events: list[Event]
    # The build's wiring, from the trace's first line: the LED's pin, and
    # whether a low pin lights it. Traces that do not say are of pin 4, high.
    led_pin: int = 4
    active_low: bool = False

    def levels(self) -> list[tuple[int, int]]:
        """The LED pin's levels as the board drove them."""
        return [(e.time_us, e.numbers[1]) for e in self.events
                if e.kind == "level" and e.numbers[0] == self.led_pin]

    def light(self, pin_value: int, full: int = 1) -> int:
        """The LED's light for a pin's level (full 1) or a written duty (full 100)."""
        return full - pin_value if self.active_low else pin_value

    @property
    def end_us(self) -> int:
        return self.events[-1].time_us if self.events else 0


# What each kind of line carries after its kind: how many words, then the
# fewest and the most numbers. Only a call may end in "= R", its result.
EVENT_SHAPES = {
    "call": (1, 0, 3),
    "level": (0, 2, 2),
    "sched": (1, 2, 2),
    "misuse": (2, 0, 2),
    "fatal": (2, 0, 0),
    "end": (1, 0, 0),
    "exit": (0, 0, 0),
}


def _integer(text: str) -> int | None:
    try:
        return int(text, 10) if text.lstrip("-").isdigit() else None
    except ValueError:
        return None


def parse_trace(text: str, source: str = "trace") -> Trace:
    lines = text.split("\n")
    if not text.endswith("\n"):
        raise TraceError(f"{source}: the trace is cut off in its last line")
    trace = parse_header(lines[0], source)
    events = trace.events
    for number, line in enumerate(lines[1:-1], start=2):
        if not line or line.startswith("#"):
            continue
        events.append(parse_event(line, number, source))
    for earlier, later in zip(events, events[1:]):
        if later.time_us < earlier.time_us - 1000:
            raise TraceError(f"{source}:{later.line_number}: time goes backwards")
    return trace


def parse_header(line: str, source: str = "trace") -> Trace:
    """A trace's first line: its clock and the LED's wiring, with no events yet."""
    header = line.split()
    if len(header) < 3 or header[:2] != ["#", "glow-board-trace"]:
        raise TraceError(f"{source}: not a glow virtual board trace")
    fields = dict(w.split("=", 1) for w in header[3:] if "=" in w)
    led_pin = _integer(fields.get("led", "4"))
    if led_pin is None or fields.get("active", "high") not in ("high", "low"):
        raise TraceError(f"{source}: the first line names no LED pin and polarity")
    return Trace(fields.get("clock", "real"), [], led_pin, fields.get("active") == "low")


def parse_event(line: str, number: int = 0, source: str = "trace") -> Event:
    fields = line.split()
    time_us = _integer(fields[0]) if fields else None
    if time_us is None:
        raise TraceError(f"{source}:{number}: no timestamp in '{line}'")
    if len(fields) < 2 or fields[1] not in EVENT_SHAPES:
        raise TraceError(f"{source}:{number}: unknown event in '{line}'")
    kind, rest, result = fields[1], fields[2:], None
    if kind == "call" and len(rest) >= 2 and rest[-2] == "=":
        result = _integer(rest[-1])
        if result is None:
            raise TraceError(f"{source}:{number}: malformed result in '{line}'")
        rest = rest[:-2]
    word_count, fewest, most = EVENT_SHAPES[kind]
    words, numbers = rest[:word_count], [_integer(field) for field in rest[word_count:]]
    if (len(words) != word_count or any(_integer(word) is not None for word in words)
            or None in numbers or not fewest <= len(numbers) <= most):
        raise TraceError(f"{source}:{number}: malformed {kind} event '{line}'")
    return Event(time_us, kind, words, numbers, number, result)


def read_trace(path: str) -> Trace:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise TraceError(f"{path}: {getattr(error, 'strerror', None) or error}") from None
    return parse_trace(text, path)


@dataclasses.dataclass
class Step:
    """A duty write or a sleep."""

    kind: str  # "write" or "sleep"
    value: int  # duty, or sleep length in µs
    time_us: int


def pattern_steps(trace: Trace) -> list[Step]:
    steps = []
    for event in trace.events:
        if event.kind != "call":
            continue
        name = event.words[0]
        if name == "softPwmWrite" and len(event.numbers) == 2:
            # The share of the cycle the LED is lit, whatever its wiring.
            steps.append(Step("write", trace.light(event.numbers[1], 100), event.time_us))
        elif name == "delay" and event.numbers:
            steps.append(Step("sleep", event.numbers[0] * 1000, event.time_us))
        elif name == "usleep" and event.numbers:
            steps.append(Step("sleep", event.numbers[0], event.time_us))
    return steps


@dataclasses.dataclass
class Phase:
    name: str  # rise, fall, rest, flash, gap, hold
    start_us: int
    end_us: int
    first_duty: int
    last_duty: int

    @property
    def length_ms(self) -> float:
        return (self.end_us - self.start_us) / 1000


def phases(trace: Trace) -> list[Phase]:
    """Splits the pattern into its phases, each measured from the trace's own
    timestamps: a phase lasts from its first step to the step after its last
    one (or the end of the trace)."""
    steps = pattern_steps(trace)
    # Pair each write with the sleep after it; a sleep after a sleep is a rest.
    held = []  # (duty or None for a rest, start_us)
    index = 0
    while index < len(steps):
        step = steps[index]
        if step.kind == "write":
            held.append((step.value, step.time_us))
            index += 2 if index + 1 < len(steps) and steps[index + 1].kind == "sleep" else 1
        else:
            held.append((None, step.time_us))
            index += 1
    found: list[Phase] = []
    index = 0
    while index < len(held):
        duty, start = held[index]
        end_index = index + 1
        if duty is not None:
            for direction, name in ((1, "rise"), (-1, "fall")):
                run_end = index + 1
                while (
                    run_end < len(held)
                    and held[run_end][0] is not None
                    and held[run_end][0] == held[run_end - 1][0] + direction
                ):
                    run_end += 1
                if run_end - index >= 3:
                    end_index = run_end
                    break
            else:
                name = "flash" if duty > 0 else "gap"
        else:
            name = "rest"
        end = held[end_index][1] if end_index < len(held) else trace.end_us
        first = duty if duty is not None else (found[-1].last_duty if found else 0)
        last = held[end_index - 1][0] if held[end_index - 1][0] is not None else first
        found.append(Phase(name, start, end, first, last))
        index = end_index
    # A full write held until the program exits by itself is a hold, not a flash.
    if found and found[-1].name == "flash" and trace.events and trace.events[-1].kind == "exit":
        found[-1].name = "hold"
    return found


# One soft-PWM cycle of the channel: range 100 in wiringPi's pulses of 100 µs.
PWM_CYCLE_US = 10000


class CycleMeans:
    """The mean of a level over each whole cycle, from the level's changes fed
    in time order; cycles start at the first change. Both the pictures and the
    live view measure brightness with it."""

    def __init__(self, cycle_us: int = PWM_CYCLE_US):
        self.cycle_us = cycle_us
        self.means: list[tuple[int, float]] = []  # (cycle start µs, mean level)
        self._cycle_start: int | None = None
        self._level = 0.0
        self._since = 0
        self._weighted = 0.0

    def change(self, time_us: int, level: float) -> None:
        if self._cycle_start is None:
            self._cycle_start = self._since = time_us
        self.close(time_us)
        self._weighted += self._level * (time_us - self._since)
        self._since = time_us
        self._level = level

    def close(self, until_us: int) -> None:
        """Completes every cycle that has ended by until_us."""
        if self._cycle_start is None:
            return
        while until_us >= self._cycle_start + self.cycle_us:
            cycle_end = self._cycle_start + self.cycle_us
            self._weighted += self._level * (cycle_end - self._since)
            self.means.append((self._cycle_start, self._weighted / self.cycle_us))
            self._cycle_start = self._since = cycle_end
            self._weighted = 0.0


def brightness(trace: Trace, cycle_us: int = PWM_CYCLE_US) -> list[tuple[int, float]]:
    """The pin's mean level over each soft-PWM cycle, as an eye sees the LED.
    Real-time traces carry the pin's levels; in virtual time the levels follow
    from the writes, so the written duty stands for them."""
    changes = [(t, float(trace.light(v))) for t, v in trace.levels()]
    if not changes:
        changes = [(s.time_us, s.value / 100) for s in pattern_steps(trace) if s.kind == "write"]
    means = CycleMeans(cycle_us)
    for time_us, level in changes:
        means.change(time_us, level)
    means.close(trace.end_us)
    return means.means


def summary(trace: Trace) -> str:
    """A few readable lines: the phases of each cycle and their lengths."""
    found = phases(trace)
    if not found:
        return "no duty value was written"
    lines = []
    cycle: list[Phase] = []
    for phase in found:
        cycle.append(phase)
        if phase.name in ("rest", "hold"):
            lines.append(_describe_cycle(cycle, len(lines) + 1))
            cycle = []
    if cycle:
        lines.append(_describe_cycle(cycle, len(lines) + 1) + " (cut off)")
    misuses = [e for e in trace.events if e.kind == "misuse"]
    lines.append(f"misuse flagged: {len(misuses)}")
    return "\n".join(lines)


def _describe_cycle(cycle: list[Phase], number: int) -> str:
    parts = []
    for phase in cycle:
        if phase.name in ("rise", "fall"):
            parts.append(f"{phase.name} {phase.first_duty}->{phase.last_duty} {phase.length_ms:.0f} ms")
        else:
            parts.append(f"{phase.name} {phase.length_ms:.0f} ms")
    total = (cycle[-1].end_us - cycle[0].start_us) / 1000
    return f"cycle {number}: " + ", ".join(parts) + f"; {total:.0f} ms"


PHASE_COLOURS = {
    "rise": "#f6c453",
    "fall": "#e59c3c",
    "rest": "#9aa5b1",
    "flash": "#f6c453",
    "gap": "#cfd6dd",
    "hold": "#f6c453",
}


def plot(trace: Trace, outputs: list[str], title: str) -> None:
    """Draws the duty written and the pin's brightness against time, with
    each phase shaded and labelled with its measured length."""
    import matplotlib

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.fonttype"] = "none"  # labels stay text in the SVG
    matplotlib.rcParams["svg.hashsalt"] = "glow"  # the same trace gives the same SVG
    import matplotlib.pyplot as pyplot

    steps = [s for s in pattern_steps(trace) if s.kind == "write"]
    if not steps:
        raise TraceError("the trace holds no duty write to draw")
    origin = steps[0].time_us
    end_us = trace.end_us

    def seconds(time_us):
        return (time_us - origin) / 1e6

    figure, (duty_axes, light_axes) = pyplot.subplots(
        2, 1, sharex=True, figsize=(10, 4.2), height_ratios=(1, 1), layout="constrained"
    )
    duty_times = [seconds(s.time_us) for s in steps] + [seconds(end_us)]
    duty_values = [s.value for s in steps] + [steps[-1].value]
    duty_axes.step(duty_times, duty_values, where="post", color="#333333", linewidth=1.2)
    duty_axes.set_ylabel("duty lit, written mirrored" if trace.active_low else "duty written")
    duty_axes.set_ylim(-5, 150)
    duty_axes.set_yticks([0, 50, 100])
    light = brightness(trace)
    light_axes.plot([seconds(t) for t, _ in light], [100 * b for _, b in light],
                    color="#c47f00", linewidth=1.0)
    light_axes.set_ylabel("brightness %")
    light_axes.set_ylim(-5, 105)
    light_axes.set_xlabel("seconds from the first write")
    source = "pin levels" if trace.levels() else "writes (virtual time)"
    light_axes.set_title(f"mean pin level per {PWM_CYCLE_US // 1000} ms cycle, from {source}",
                         fontsize=8, loc="left")

    for number, phase in enumerate(phases(trace)):
        start, end = seconds(phase.start_us), seconds(phase.end_us)
        for axes in (duty_axes, light_axes):
            axes.axvspan(start, end, color=PHASE_COLOURS[phase.name], alpha=0.25, linewidth=0)
        # Label a phase where it is wide enough to read; neighbours alternate
        # between two heights so that short phases do not overprint.
        if end - start >= 0.12:
            duty_axes.text((start + end) / 2, 104 if number % 2 == 0 else 124,
                           f"{phase.name}\n{phase.length_ms:.0f} ms",
                           ha="center", va="bottom", fontsize=7)
    duty_axes.set_title(title, loc="left")
    duty_axes.set_xlim(seconds(origin), seconds(end_us))
    for output in outputs:
        figure.savefig(output, dpi=110)
    pyplot.close(figure)


BOARD_PATHS = ("GLOW_PROGRAM_DIR", "GLOW_PROGRAM_TABLE", "GLOW_BOARD_ENVIRONMENT")


def missing_board_path(tool: str) -> str | None:
    """What is wrong when a tool was not started through the build's launcher."""
    for name in BOARD_PATHS:
        if name not in os.environ:
            return f"{name} is not set; run the {tool} that the build made"
    return None


def program_table(path: str | None = None) -> list[tuple[str, str, int]]:
    """Every program the build makes, in the build's order, with its kind
    ("looping" or "once") and nominal length in ms (a cycle, or a run), from
    the build's programs.txt or another build's."""
    with open(path or os.environ["GLOW_PROGRAM_TABLE"], encoding="utf-8") as table:
        rows = [line.split() for line in table if line.strip()]
    return [(name, kind, int(length_ms)) for name, kind, length_ms in rows]


def programs() -> list[str]:
    """Every program the build makes."""
    return [name for name, _, _ in program_table()]


def program_path(program: str) -> str:
    return os.path.join(os.environ["GLOW_PROGRAM_DIR"], program)


def board_environment(clock: str, trace_path: str | None = None, build_file: str | None = None,
                      **settings: str) -> dict[str, str]:
    """The environment that runs a built program on the virtual board: the
    board's library and the usleep interposer, and GLOW_BOARD_* settings;
    from build_file, another build's virtual-board.env, if given."""
    environment = dict(os.environ)
    # The build writes what the board needs, the tests read the same file.
    with open(build_file or os.environ["GLOW_BOARD_ENVIRONMENT"], encoding="utf-8") as variables:
        for line in variables.read().splitlines():
            if line and not line.startswith("#"):
                name, value = line.split("=", 1)
                environment[name] = value
    environment["GLOW_BOARD_CLOCK"] = clock
    if trace_path:
        environment["GLOW_BOARD_TRACE"] = trace_path
    environment.update({"GLOW_BOARD_" + name.upper(): value for name, value in settings.items()})
    return environment


def record(program: str, output: str, seconds: float, virtual: bool) -> int:
    """Runs a built program on the virtual board and keeps its trace: in
    virtual time up to the limit, in real time until it is ended by SIGTERM."""
    import signal
    import subprocess

    problem = missing_board_path("glowtrace")
    if problem:
        raise TraceError(problem)
    path = program_path(program)
    if not os.path.exists(path):
        raise TraceError(f"no program {program} in {os.environ['GLOW_PROGRAM_DIR']}")
    if virtual:
        environment = board_environment("virtual", output, limit_ms=str(round(seconds * 1000)))
    else:
        environment = board_environment("real", output)
    process = subprocess.Popen([path], env=environment)
    try:
        return process.wait(timeout=None if virtual else seconds)
    except subprocess.TimeoutExpired:
        process.send_signal(signal.SIGTERM)
        return process.wait()


def main(argv: list[str]) -> int:
    import argparse

    parser = argparse.ArgumentParser(prog="glowtrace", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    summary_command = commands.add_parser("summary", help="print the phases of each cycle")
    summary_command.add_argument("trace")
    plot_command = commands.add_parser("plot", help="draw the trace as a picture")
    plot_command.add_argument("trace")
    plot_command.add_argument("-o", "--output", action="append", required=True,
                              help="picture to write, .png or .svg; may be given twice")
    plot_command.add_argument("--title", help="title over the picture")
    record_command = commands.add_parser("record", help="run a program and keep its trace")
    record_command.add_argument("program")
    record_command.add_argument("-o", "--output", required=True)
    record_command.add_argument("--seconds", type=float, default=5.0)
    record_command.add_argument("--virtual-time", action="store_true")
    arguments = parser.parse_args(argv)

    try:
        if arguments.command == "record":
            status = record(arguments.program, arguments.output, arguments.seconds,
                            arguments.virtual_time)
            return 0 if status in (0, -15) else 1
        trace = read_trace(arguments.trace)
        if arguments.command == "summary":
            print(summary(trace))
        else:
            for output in arguments.output:
                if not output.endswith((".png", ".svg")):
                    raise TraceError(f"{output}: a picture is written as .png or .svg")
            plot(trace, arguments.output, arguments.title or os.path.basename(arguments.trace))
    except TraceError as error:
        print(f"glowtrace: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
