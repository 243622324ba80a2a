"""A trace drawn as a picture: the duty written and the pin's brightness
against time, each phase shaded and labelled with its measured length."""

from __future__ import annotations

from trace_pattern import brightness, pattern_steps, phases
from trace_format import Trace, TraceError


# A program that writes its pin once and ends is drawn this long, to show
# what it left.
SHORTEST_WINDOW_US = 50_000

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
    end_us = max(trace.end_us, origin + SHORTEST_WINDOW_US)

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
    # The eye blends a few cycles into one brightness: each point is the mean
    # of three cycles, so that one cycle a busy machine stretched shows as
    # the small step it is to the eye, not as a flash.
    if trace.pwm_cycle_us is None:
        # No channel: the pin holds what a plain write left on it.
        levels = [(t, 100 * trace.light(v)) for t, v in trace.levels()] or \
            [(s.time_us, s.value) for s in steps]
        light_axes.step([seconds(t) for t, _ in levels] + [seconds(end_us)],
                        [b for _, b in levels] + [levels[-1][1]], where="post",
                        color="#c47f00", linewidth=1.0)
        light_axes.set_title("the pin's level as a plain write left it (no soft-PWM channel)",
                             fontsize=8, loc="left")
    else:
        light = brightness(trace)
        blended = [sum(b for _, b in light[max(0, i - 1):i + 2]) / len(light[max(0, i - 1):i + 2])
                   for i in range(len(light))]
        light_axes.plot([seconds(t) for t, _ in light], [100 * b for b in blended],
                        color="#c47f00", linewidth=1.0)
        source = "pin levels" if trace.levels() else "writes (virtual time)"
        cycle_ms = trace.pwm_cycle_us / 1000
        light_axes.set_title(f"mean pin level over three {cycle_ms:g} ms cycles, as an eye "
                             f"blends them, from {source}", fontsize=8, loc="left")
    light_axes.set_ylabel("brightness %")
    light_axes.set_ylim(-5, 105)
    light_axes.set_xlabel("seconds from the first write")

    # A phase that the end of the window cut off is not measured: the trace
    # ended by a signal before its last sleep was over.
    last_step = pattern_steps(trace)[-1]
    exited = bool(trace.events) and trace.events[-1].kind == "exit"
    cut_off = not exited and (
        last_step.kind == "write" or last_step.time_us + last_step.value > end_us)
    found = phases(trace)
    for number, phase in enumerate(found):
        start, end = seconds(phase.start_us), seconds(phase.end_us)
        length = "cut off" if cut_off and phase is found[-1] else f"{phase.length_ms:.0f} ms"
        for axes in (duty_axes, light_axes):
            axes.axvspan(start, end, color=PHASE_COLOURS[phase.name], alpha=0.25, linewidth=0)
        # Label a phase where it is wide enough to read; neighbours alternate
        # between two heights so that short phases do not overprint.
        if end - start >= 0.12:
            duty_axes.text((start + end) / 2, 104 if number % 2 == 0 else 124,
                           f"{phase.name}\n{length}",
                           ha="center", va="bottom", fontsize=7)
    duty_axes.set_title(title, loc="left")
    duty_axes.set_xlim(seconds(origin), seconds(end_us))
    for output in outputs:
        figure.savefig(output, dpi=110)
    pyplot.close(figure)
