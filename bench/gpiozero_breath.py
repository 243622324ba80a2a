"""The breath of glowbreathe as many users would write it: gpiozero's PWMLED
on its mock pin factory, fading in and out over 1010 ms each with a 1 s rest.
pulse() is blink() with no on or off time; the rest needs off_time=1.
Runs for the given seconds, then prints its pin's changes and its costs as JSON."""

import json
import os
import sys
import time

from gpiozero import Device, PWMLED
from gpiozero.pins.mock import MockFactory, MockPWMPin

changes = []


class RecordingPin(MockPWMPin):
    """Records each change of the duty with the monotonic clock the
    benchmark reads too."""

    def _change_state(self, value):
        changed = super()._change_state(value)
        if changed:
            changes.append((time.monotonic_ns(), value))
        return changed


def thread_seconds():
    times = {}
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/schedstat") as file:
            times[int(tid)] = int(file.read().split()[0]) / 1e9
    return times


def main():
    seconds = float(sys.argv[1])
    started = time.monotonic()
    Device.pin_factory = MockFactory(pin_class=RecordingPin)
    led = PWMLED(4)
    led.blink(on_time=0, off_time=1, fade_in_time=1.01, fade_out_time=1.01)
    # CPU from here on: the imports and set-up are start-up, not running.
    before, sampled = thread_seconds(), time.monotonic()
    time.sleep(max(0.0, seconds - (sampled - started)))
    after = thread_seconds()
    elapsed = time.monotonic() - sampled
    main_thread = after.pop(os.getpid()) - before.pop(os.getpid())
    fade_threads = sum(t - before.get(tid, 0.0) for tid, t in after.items())
    with open("/proc/self/status") as file:
        peak = next(int(line.split()[1]) for line in file if line.startswith("VmHWM:"))
    led.close()
    json.dump({
        "changes": changes,
        "cpu_main_s_per_h": main_thread / elapsed * 3600,
        "cpu_fade_s_per_h": fade_threads / elapsed * 3600,
        "peak_rss_kib": peak,
    }, sys.stdout)


main()
