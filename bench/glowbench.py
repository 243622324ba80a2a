"""glowbench: how close to their nominal timing the programs run on the
virtual board in real time, and what they cost; beside them, the same breath
done with gpiozero's PWMLED on its mock pins. Prints a Markdown table.

    glowbench [--cycles N]      the table (about N cycles of glowbreathe long)
    glowbench --soak MINUTES    resident memory and open files over a long run
    glowbench --flicker SECONDS the soft-PWM channel's timing with every core
                                busy, at normal and at real-time priority
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "glowtrace"))
import glowtrace  # noqa: E402

# The looping patterns' nominal cycles, from the build; every other program
# ends by itself.
NOMINAL_CYCLE_MS = {name: length_ms for name, kind, length_ms in glowtrace.program_table()
                    if kind == "looping"}
TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
GPIOZERO_BREATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gpiozero_breath.py")


def board_environment(trace_path: str | None) -> dict[str, str]:
    # Levels stay out of the trace, so that the soft-PWM thread's time is the
    # emulation's own and not that of writing two lines a cycle.
    return glowtrace.board_environment("real", trace_path, trace_levels="0")


program_path = glowtrace.program_path


def thread_cpu_seconds(pid: int) -> dict[int, float]:
    """Time on the CPU of each thread so far, in seconds: from schedstat in
    nanoseconds where the kernel has it, else from stat in clock ticks."""
    times = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as file:
                times[int(tid)] = int(file.read().split()[0]) / 1e9
        except (OSError, IndexError, ValueError):
            with open(f"/proc/{pid}/task/{tid}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
            times[int(tid)] = (int(fields[11]) + int(fields[12])) / TICKS_PER_SECOND
    return times


def cpu_per_hour(before: dict[int, float], after: dict[int, float], main_tid: int,
                 seconds: float) -> tuple[float, float]:
    """Seconds of CPU an hour, the main thread's and the other threads',
    over the interval between two samples (start-up left out)."""
    main = after.get(main_tid, 0.0) - before.get(main_tid, 0.0)
    others = sum(t - before.get(tid, 0.0) for tid, t in after.items() if tid != main_tid)
    return main / seconds * 3600, others / seconds * 3600


def peak_resident_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def stripped_size(path: str, strip: str = "strip") -> int | None:
    if not os.path.exists(path) or not shutil.which(strip):
        return None
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "program")
        subprocess.run([strip, "-o", copy, path], check=True)
        return os.path.getsize(copy)


class Looping:
    """One looping program, started on the virtual board with its trace."""

    def __init__(self, program: str, folder: str):
        self.program = program
        self.trace_path = os.path.join(folder, program + ".trace")
        self.started_ns = time.monotonic_ns()
        self.process = subprocess.Popen([program_path(program)],
                                        env=board_environment(self.trace_path))
        self.cpu_before: dict[int, float] = {}
        self.sampled_at = 0.0

    def sample(self) -> None:
        """The CPU times once started, so that start-up is left out."""
        self.cpu_before = thread_cpu_seconds(self.process.pid)
        self.sampled_at = time.monotonic()

    def finish(self) -> dict:
        cpu = thread_cpu_seconds(self.process.pid)
        seconds = time.monotonic() - self.sampled_at
        peak = peak_resident_kib(self.process.pid)
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()
        trace = glowtrace.read_trace(self.trace_path)
        main, pwm = cpu_per_hour(self.cpu_before, cpu, self.process.pid, seconds)
        return {
            "trace": trace,
            "start_latency_ms": (first_write_us(trace) - self.started_ns / 1000) / 1000,
            "cpu_main_s_per_h": main,
            "cpu_pwm_s_per_h": pwm,
            "peak_rss_kib": peak,
        }


def first_write_us(trace: glowtrace.Trace) -> int:
    return next(s.time_us for s in glowtrace.pattern_steps(trace) if s.kind == "write")


def cycle_lengths_ms(trace: glowtrace.Trace) -> list[float]:
    """Each cycle from its first write to the first write after its rest."""
    starts = []
    after_rest = True
    for step in glowtrace.pattern_steps(trace):
        if step.kind == "write" and after_rest:
            starts.append(step.time_us)
        after_rest = step.kind == "sleep" and step.value == 1_000_000
    return [(b - a) / 1000 for a, b in zip(starts, starts[1:])]


def flash_times_ms(trace: glowtrace.Trace) -> tuple[float, float]:
    """Median time from a write of 100 to the write of 0, and from the 0 to
    the next call."""
    steps = glowtrace.pattern_steps(trace)
    on, off = [], []
    for index, step in enumerate(steps[:-2]):
        if step.kind == "write" and step.value == 100 and steps[index + 2].kind == "write":
            on.append((steps[index + 2].time_us - step.time_us) / 1000)
        if step.kind == "write" and step.value == 0:
            off.append((steps[index + 2].time_us - step.time_us) / 1000)
    return statistics.median(on), statistics.median(off)


def measure_once(program: str, runs: int) -> dict:
    """A program that ends by itself, from start to exit: the median of several runs."""
    lengths = []
    for _ in range(runs):
        started = time.monotonic_ns()
        process = subprocess.Popen([program_path(program)], env=board_environment(None))
        process.wait()
        lengths.append((time.monotonic_ns() - started) / 1e6)
    return {"start_to_exit_ms": statistics.median(lengths), "worst_ms": max(lengths)}


def run_gpiozero(seconds: float) -> dict:
    started = time.monotonic_ns()
    result = subprocess.run([sys.executable, GPIOZERO_BREATH, str(seconds)],
                            capture_output=True, text=True, check=True)
    report = json.loads(result.stdout)
    changes = report["changes"]  # [monotonic ns, value]
    starts = [t for (t, v), (_, before) in zip(changes[1:], changes) if v > 0 and before == 0]
    report["cycles_ms"] = [(b - a) / 1e6 for a, b in zip(starts, starts[1:])]
    report["start_latency_ms"] = (changes[0][0] - started) / 1e6 if changes else None
    return report


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as file:
            model = next(line.split(":", 1)[1].strip() for line in file if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    system = platform.freedesktop_os_release().get("PRETTY_NAME", "Linux")
    return f"{model}, {os.cpu_count()} cores, {system}, kernel {platform.release()}"


def row(cells) -> str:
    return "| " + " | ".join(cells) + " |"


def table(cycles: int) -> None:
    seconds = max(NOMINAL_CYCLE_MS.values()) / 1000 * (cycles + 1) + 1
    print(f"Running each looping program for {seconds:.0f} s in real time "
          f"(at least {cycles} cycles), all at once, on the virtual board...", file=sys.stderr)
    with tempfile.TemporaryDirectory(prefix="glowbench-") as folder:
        running = [Looping(p, folder) for p in NOMINAL_CYCLE_MS]
        time.sleep(1)
        for program in running:
            program.sample()
        zero = run_gpiozero(seconds)
        results = {r.program: r.finish() for r in running}
    once = {p: measure_once(p, 10) for p in glowtrace.programs() if p not in NOMINAL_CYCLE_MS}

    print(f"Machine: {machine()}\n")
    print(row(["program", "nominal cycle", "median cycle (ratio)", "worst cycle (ratio)",
               "cycles", "flash on / off, median", "start latency", "CPU s/h: program",
               "CPU s/h: soft-PWM", "peak RSS", "stripped size"]))
    print(row(["---"] * 11))
    for program, nominal in NOMINAL_CYCLE_MS.items():
        result = results[program]
        lengths = cycle_lengths_ms(result["trace"])
        median, worst = statistics.median(lengths), max(lengths)
        flashes = "-"
        if program != "glowbreathe":
            on, off = flash_times_ms(result["trace"])
            flashes = f"{on:.1f} / {off:.1f} ms"
        print(row([program, f"{nominal} ms", f"{median:.1f} ms ({median / nominal:.4f})",
                   f"{worst:.1f} ms ({worst / nominal:.4f})", str(len(lengths)), flashes,
                   f"{result['start_latency_ms']:.2f} ms", f"{result['cpu_main_s_per_h']:.1f}",
                   f"{result['cpu_pwm_s_per_h']:.1f}", f"{result['peak_rss_kib']} KiB",
                   sizes(program)]))
    for program, full in once.items():
        print(row([program, "-", f"start to exit {full['start_to_exit_ms']:.1f} ms",
                   f"{full['worst_ms']:.1f} ms", "10 runs", "-", "-", "-", "-", "-",
                   sizes(program)]))
    zero_median = statistics.median(zero["cycles_ms"])
    zero_worst = max(zero["cycles_ms"])
    breathe, breath_ms = results["glowbreathe"], NOMINAL_CYCLE_MS["glowbreathe"]
    print(row(["gpiozero PWMLED breath", f"{breath_ms} ms", f"{zero_median:.1f} ms ({zero_median / breath_ms:.4f})",
               f"{zero_worst:.1f} ms ({zero_worst / breath_ms:.4f})", str(len(zero["cycles_ms"])), "-",
               f"{zero['start_latency_ms']:.1f} ms", f"{zero['cpu_main_s_per_h']:.1f}",
               f"{zero['cpu_fade_s_per_h']:.1f} (fade thread)", f"{zero['peak_rss_kib']} KiB", "-"]))
    ours_cpu = breathe["cpu_main_s_per_h"] + breathe["cpu_pwm_s_per_h"]
    zero_cpu = zero["cpu_main_s_per_h"] + zero["cpu_fade_s_per_h"]
    print()
    print(f"gpiozero against glowbreathe: start latency x{zero['start_latency_ms'] / breathe['start_latency_ms']:.0f}, "
          f"CPU x{zero_cpu / ours_cpu:.1f} (gpiozero's mock pin runs no PWM at all), "
          f"peak RSS x{zero['peak_rss_kib'] / breathe['peak_rss_kib']:.1f}, "
          f"worst cycle {zero_worst - breath_ms:+.0f} ms against "
          f"{max(cycle_lengths_ms(breathe['trace'])) - breath_ms:+.0f} ms.")


def sizes(program: str) -> str:
    host = stripped_size(program_path(program))
    text = f"{host} B" if host else "-"
    armhf = os.path.join(os.environ["GLOW_PROGRAM_DIR"], "..", "..", "armhf", "programs", program)
    armhf_size = stripped_size(armhf, "arm-linux-gnueabihf-strip")
    if armhf_size:
        text += f" (armhf {armhf_size} B)"
    return text


BOARD_DRIVER = os.path.join(os.path.dirname(os.environ.get("GLOW_PROGRAM_DIR", ".")),
                            "virtual-board", "board_driver")
PULSE_UNIT_US = 100
FLICKER_DUTY = 50
CAP_SYS_NICE = 23
PR_CAPBSET_DROP = 24


def without_real_time() -> None:
    """In the child before exec: as an ordinary user without a real-time
    limit, so that the channel thread's request for SCHED_RR is refused."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0)
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))


def pulse_errors_us(trace: glowtrace.Trace, duty: int) -> list[int]:
    """How far each high and each low part of the channel's cycles was from
    its nominal length, in µs."""
    high_us, low_us = duty * PULSE_UNIT_US, (100 - duty) * PULSE_UNIT_US
    levels = trace.levels()
    errors = []
    for (start, level), (end, _) in zip(levels, levels[1:]):
        errors.append(abs(end - start - (high_us if level == 1 else low_us)))
    return errors[2:]  # past the first cycle, whose start the thread's set-up delays


def percentile(values: list[int], share: float) -> int:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(share * (len(ordered) - 1)))]


def flicker(seconds: int) -> None:
    """The channel held at duty 50 while every core runs a busy loop, once
    refused real-time priority and once with it, as the systemd units allow."""
    loads = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
             for _ in range(os.cpu_count() or 1)]
    results = []
    try:
        time.sleep(1)
        with tempfile.TemporaryDirectory(prefix="glowbench-") as folder:
            for name, preexec in (("normal", without_real_time), ("real-time", None)):
                path = os.path.join(folder, name + ".trace")
                environment = glowtrace.board_environment("real", path)
                # The channel on the LED's pin, held at the duty for the whole run.
                pin = environment["GLOW_BOARD_LED"]
                subprocess.run([BOARD_DRIVER, "setup", "create", pin, str(FLICKER_DUTY), "100",
                                "delay", str(seconds * 1000)], env=environment,
                               preexec_fn=preexec, check=True, stdout=subprocess.DEVNULL)
                trace = glowtrace.read_trace(path)
                sched = next((e for e in trace.events if e.kind == "sched"), None)
                got = f"{sched.words[0]} {sched.numbers[1]}" if sched else "?"
                results.append((name, got, pulse_errors_us(trace, FLICKER_DUTY)))
    finally:
        for load in loads:
            load.kill()
            load.wait()
    print(f"Flicker at duty {FLICKER_DUTY}, {seconds} s each, {len(loads)} busy loops on "
          f"{machine()}\n")
    print(row(["priority asked for", "thread got", "parts timed", "median error",
               "99th percentile", "worst"]))
    print(row(["---"] * 6))
    for name, got, errors in results:
        print(row([name, got, str(len(errors)), f"{statistics.median(errors):.0f} µs",
                   f"{percentile(errors, 0.99)} µs", f"{max(errors)} µs"]))


def soak(minutes: float) -> None:
    """Resident memory and open files of each looping program, sampled every
    10 s; the first minute against the last."""
    processes = {p: subprocess.Popen([program_path(p)], env=board_environment(None))
                 for p in NOMINAL_CYCLE_MS}
    samples = {p: [] for p in processes}
    time.sleep(2)  # past the exec, whose pipe to the parent is still open at first
    end = time.monotonic() + minutes * 60
    try:
        while time.monotonic() < end:
            for program, process in processes.items():
                with open(f"/proc/{process.pid}/status") as file:
                    rss = next(int(l.split()[1]) for l in file if l.startswith("VmRSS:"))
                files = len(os.listdir(f"/proc/{process.pid}/fd"))
                samples[program].append((time.monotonic(), rss, files))
            time.sleep(10)
    finally:
        for process in processes.values():
            process.send_signal(signal.SIGTERM)
            process.wait()
    print(f"Soak of {minutes:g} min on the virtual board, {machine()}\n")
    print(row(["program", "RSS first minute", "RSS last minute", "RSS max", "open files first", "open files last"]))
    print(row(["---"] * 6))
    for program, taken in samples.items():
        first = [s for s in taken if s[0] - taken[0][0] < 60]
        last = [s for s in taken if taken[-1][0] - s[0] < 60]
        print(row([program, f"{max(s[1] for s in first)} KiB", f"{max(s[1] for s in last)} KiB",
                   f"{max(s[1] for s in taken)} KiB", str(first[0][2]), str(last[-1][2])]))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="glowbench", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cycles", type=int, default=20, help="cycles of glowbreathe at the least")
    parser.add_argument("--soak", type=float, metavar="MINUTES", help="run the soak instead")
    parser.add_argument("--flicker", type=int, metavar="SECONDS",
                        help="time the channel under load instead")
    arguments = parser.parse_args(argv)
    if arguments.cycles < 2:
        parser.error("--cycles must be 2 or more")
    problem = glowtrace.missing_board_path("glowbench")
    if problem:
        print(f"glowbench: {problem}", file=sys.stderr)
        return 2
    if arguments.flicker:
        flicker(arguments.flicker)
    elif arguments.soak:
        soak(arguments.soak)
    else:
        table(arguments.cycles)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
