"""The virtual board's trace format: a first line naming the clock, the
LED's wiring and the soft-PWM step, then one event a line; read into a
Trace, or refused with a TraceError that says where and why."""

from __future__ import annotations

import dataclasses


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
    # The board's soft-PWM step, from the first line too: a channel's cycle
    # is its range of them. None where the trace does not say.
    pulse_us: int | None = None

    @property
    def pwm_cycle_us(self) -> int | None:
        """The LED channel's soft-PWM cycle: the range it was created with in
        the board's steps; None before a trace shows both."""
        ranges = [e.numbers[2] for e in self.events if e.kind == "call" and e.result == 0
                  and e.words[0] == "softPwmCreate" and len(e.numbers) == 3
                  and e.numbers[0] == self.led_pin]
        return self.pulse_us * ranges[0] if ranges and self.pulse_us else None

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
    pulse_us = _integer(fields.get("pulse_us", "")) if "pulse_us" in fields else None
    if "pulse_us" in fields and not (pulse_us and pulse_us > 0):
        raise TraceError(f"{source}: the first line's pulse_us is no length in µs")
    return Trace(fields.get("clock", "real"), [], led_pin, fields.get("active") == "low", pulse_us)


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
