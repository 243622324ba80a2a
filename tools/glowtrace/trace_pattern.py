"""What a trace shows of the pattern: its duty writes and sleeps, the
phases they make (rise, fall, rest; flash, gap, rest; hold) with their
measured lengths, and the pin's brightness cycle by cycle as an eye sees it."""

from __future__ import annotations

import dataclasses

from trace_format import Trace, TraceError


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
        elif name == "digitalWrite" and len(event.numbers) == 2:
            # A plain write of the pin's level: the whole cycle lit or dark.
            steps.append(Step("write", trace.light(event.numbers[1]) * 100, event.time_us))
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


def held_values(steps: list[Step]) -> list[tuple[int | None, int]]:
    """Each value the pattern held, as (duty, µs it began): a write and the
    sleep after it are one; a sleep after a sleep is a rest (duty None)."""
    held = []
    for step, before in zip(steps, [None, *steps]):
        if step.kind == "write":
            held.append((step.value, step.time_us))
        elif before is None or before.kind == "sleep":
            held.append((None, step.time_us))
    return held


def ramp_length(duties: list[int | None]) -> tuple[str, int] | None:
    """A rise or fall at the start of duties: three values or more, each one
    step from the last; its name and how many values it takes."""
    for direction, name in ((1, "rise"), (-1, "fall")):
        length = 1
        while (length < len(duties) and duties[length] is not None and duties[length - 1] is not None
               and duties[length] == duties[length - 1] + direction):
            length += 1
        if length >= 3:
            return name, length
    return None


def phases(trace: Trace) -> list[Phase]:
    """Splits the pattern into its phases, each measured from the trace's own
    timestamps: a phase lasts from its first step to the step after its last
    one (or the end of the trace)."""
    held = held_values(pattern_steps(trace))
    duties = [duty for duty, _ in held]
    found: list[Phase] = []
    index = 0
    while index < len(held):
        duty, start = held[index]
        ramp = ramp_length(duties[index:]) if duty is not None else None
        if ramp:
            name, length = ramp
        else:
            name, length = ("rest" if duty is None else "flash" if duty > 0 else "gap"), 1
        after = index + length
        end = held[after][1] if after < len(held) else trace.end_us
        first = duty if duty is not None else (found[-1].last_duty if found else 0)
        last = duties[after - 1] if duties[after - 1] is not None else first
        found.append(Phase(name, start, end, first, last))
        index = after
    # A write held until the program exits by itself is a hold, not a flash or a gap.
    if found and found[-1].name in ("flash", "gap") and trace.events and trace.events[-1].kind == "exit":
        found[-1].name = "hold"
    return found


class CycleMeans:
    """The mean of a level over each whole cycle, from the level's changes fed
    in time order; cycles start at the first change. Both the pictures and the
    live view measure brightness with it."""

    def __init__(self, cycle_us: int):
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


def brightness(trace: Trace, cycle_us: int | None = None) -> list[tuple[int, float]]:
    """The pin's mean level over each soft-PWM cycle, as an eye sees the LED.
    Real-time traces carry the pin's levels; in virtual time the levels follow
    from the writes, so the written duty stands for them. The cycle is the
    trace's own unless given."""
    cycle_us = cycle_us or trace.pwm_cycle_us
    if cycle_us is None:
        raise TraceError("the trace shows no soft-PWM cycle: no pulse_us in its first line, "
                         f"or no channel created on pin {trace.led_pin}")
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
