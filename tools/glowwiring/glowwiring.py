"""Draws how to wire the status LED for this build: the 40-pin header with
the LED's pin and the pin its other side goes to, the resistor, and the LED
with its anode (the longer leg). An LED lit by a high pin runs from its pin
to ground; one lit by a low pin runs from 3.3 V to its pin."""

from __future__ import annotations

import math
import os
import sys
from typing import NamedTuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "glowtrace"))
from board_run import build_settings  # noqa: E402

# The BCM GPIO of each wiringPi pin, 0 to 31, on the 40-pin header's boards;
# 17 to 20 are the first boards' P5 header, on no 40-pin one.
BCM_OF_WIRINGPI_PIN = (17, 18, 27, 22, 23, 24, 25, 4, 2, 3, 8, 7, 10, 9, 11, 14, 15,
                       28, 29, 30, 31, 5, 6, 13, 19, 26, 12, 16, 20, 21, 0, 1)
# The 40-pin header from pin 1: a BCM GPIO number, or what the pin supplies.
HEADER = (None, "3.3 V", "5 V", 2, "5 V", 3, "GND", 4, 14, "GND", 15, 17, 18, 27, "GND", 22, 23,
          "3.3 V", 24, 10, "GND", 9, 25, 11, 8, "GND", 7, 0, 1, 5, "GND", 6, 12, 13, "GND",
          19, 16, 26, 20, "GND", 21)
HEADER_PINS = 40


class Wiring(NamedTuple):
    """The chain from the first pin through the resistor, then the LED from
    its anode to its cathode, to the second pin; each pin by its header
    number and name."""
    first: tuple[int, str]
    second: tuple[int, str]
    led_pin: int
    active_low: bool


def pin_name(header_pin: int) -> str:
    what = HEADER[header_pin]
    return f"GPIO {what}" if isinstance(what, int) else what


def nearest(header_pin: int, supply: str) -> int:
    """The header's pin of that supply nearest the given one, by row."""
    pins = [p for p in range(1, HEADER_PINS + 1) if HEADER[p] == supply]
    return min(pins, key=lambda p: (abs((p - 1) // 2 - (header_pin - 1) // 2), p))


def wiring(wiringpi_pin: int, active_low: bool) -> Wiring:
    bcm = BCM_OF_WIRINGPI_PIN[wiringpi_pin]
    if bcm not in HEADER:
        raise ValueError(f"wiringPi pin {wiringpi_pin} is on no 40-pin header")
    led = HEADER.index(bcm)
    led_end = (led, f"{pin_name(led)} (wiringPi {wiringpi_pin})")
    if active_low:
        supply = nearest(led, "3.3 V")
        return Wiring((supply, "3.3 V"), led_end, led, True)
    ground = nearest(led, "GND")
    return Wiring(led_end, (ground, "GND"), led, False)


# Where the wires run, right of the header: the first pin's wire rises at
# RISER_X to the resistor on the TOP row; the second's runs out to RIGHT_X
# and up to the LED.
TOP, RISER_X, RESISTOR_X, LED_X, RIGHT_X = 3.2, 2.6, 3.6, 7.0, 10.4


def position(header_pin: int) -> tuple[float, float]:
    """A header pin's place: odd pins in the left column, pin 1 at the top."""
    return (0.0 if header_pin % 2 else 1.0), -float((header_pin - 1) // 2)


def lead(header_pin: int) -> tuple[list[float], list[float]]:
    """From the pin out to the right of the header: an odd pin's wire
    leaves through the gap above its row, past its even neighbour."""
    x, y = position(header_pin)
    if x == 0.0:
        return [x, 0.5, 1.5], [y, y + 0.5, y + 0.5]
    return [x, 1.5], [y, y]


def crossing(chain: Wiring) -> float | None:
    """The height at which the first pin's riser passes the second pin's
    wire, where the second pin is the higher of the two: drawn as a hop."""
    first_y, second_y = lead(chain.first[0])[1][-1], lead(chain.second[0])[1][-1]
    return second_y if first_y < second_y else None


def draw(chain: Wiring, output: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.hashsalt"] = "glow"
    import matplotlib.pyplot as pyplot
    from matplotlib.patches import Circle, FancyBboxPatch, Polygon, Rectangle

    figure, axes = pyplot.subplots(figsize=(6.4, 9.6), layout="constrained")
    axes.set_aspect("equal")
    axes.axis("off")
    gpio_colour, supply_colour = "#3c78d8", ("#d9534f" if chain.active_low else "#5a5a5a")
    colours = {chain.led_pin: gpio_colour}
    colours[chain.first[0] if chain.active_low else chain.second[0]] = supply_colour

    # The header, pin 1 at the top left, every pin numbered on its outer side;
    # the two wired ones in their wire's colour, above the wire.
    axes.add_patch(FancyBboxPatch((-0.45, -19.45), 1.9, 19.9, boxstyle="round,pad=0.1",
                                  facecolor="#1f5130", edgecolor="none"))
    for header_pin in range(1, HEADER_PINS + 1):
        x, y = position(header_pin)
        axes.add_patch(Rectangle((x - 0.3, y - 0.3), 0.6, 0.6, facecolor="#111111"))
        axes.add_patch(Circle((x, y), 0.3 if header_pin in colours else 0.18,
                              facecolor=colours.get(header_pin, "#c9a227"),
                              edgecolor="white" if header_pin in colours else "none",
                              linewidth=1.5, zorder=5))
        marked = header_pin in colours
        odd = header_pin % 2
        axes.text(x - 0.55 if odd else x + 0.4, y + (0.0 if odd or not marked else 0.12),
                  str(header_pin), ha="right" if odd else "left",
                  va="center" if odd or not marked else "bottom",
                  fontsize=10 if marked else 7, fontweight="bold" if marked else "normal",
                  color=colours.get(header_pin, "#8a8a8a"))
    axes.text(0.5, 0.75, "40-pin header\npin 1: the square pad, at\nthe end away from "
              "the USB ports\nodd pins: the inner row\neven pins: by the board's edge",
              ha="center", va="bottom", fontsize=9)

    # The chain, right of the header: first pin, resistor, LED, second pin.
    top, resistor_x, led_x, right = TOP, RESISTOR_X, LED_X, RIGHT_X
    first_xs, first_ys = lead(chain.first[0])
    second_xs, second_ys = lead(chain.second[0])
    first_colour, second_colour = colours[chain.first[0]], colours[chain.second[0]]
    # The riser hops over the other wire where it passes it: no joint there.
    riser_xs, riser_ys = [RISER_X, RISER_X], [first_ys[-1], top]
    hop_y = crossing(chain)
    if hop_y is not None:
        bend = [i / 12 * 3.14159 for i in range(13)]
        riser_xs = [RISER_X] + [RISER_X + 0.3 * math.sin(a) for a in bend] + [RISER_X]
        riser_ys = [first_ys[-1]] + [hop_y - 0.3 * math.cos(a) for a in bend] + [top]
    axes.plot(first_xs + riser_xs + [resistor_x], first_ys + riser_ys + [top],
              color=first_colour, linewidth=2.5, zorder=4)
    axes.add_patch(Rectangle((resistor_x, top - 0.3), 1.8, 0.6, facecolor="#e8d3a9",
                             edgecolor="#6b5a3a", linewidth=1.2))
    for stripe_x in (resistor_x + 0.35, resistor_x + 0.7, resistor_x + 1.05):
        axes.add_patch(Rectangle((stripe_x, top - 0.3), 0.15, 0.6, facecolor="#7a4b1e"))
    axes.text(resistor_x + 0.9, top + 0.55, "resistor\n330 Ω to 1 kΩ", ha="center",
              va="bottom", fontsize=9)
    axes.plot([resistor_x + 1.8, led_x], [top, top], color="#555555", linewidth=2.5)
    # The LED: the current runs from its anode (the longer leg) to its
    # cathode (the shorter leg, on the flat side of its rim).
    axes.add_patch(Polygon([(led_x, top + 0.55), (led_x, top - 0.55), (led_x + 1.0, top)],
                           closed=True, facecolor="#ffb000", edgecolor="#7a5200", linewidth=1.2))
    axes.plot([led_x + 1.0] * 2, [top - 0.55, top + 0.55], color="#7a5200", linewidth=2.5)
    for offset in (0.0, 0.35):
        axes.annotate("", xy=(led_x + 1.4 + offset, top + 1.15),
                      xytext=(led_x + 0.8 + offset, top + 0.6),
                      arrowprops={"arrowstyle": "->", "color": "#ffb000", "linewidth": 1.5})
    axes.text(led_x - 0.1, top - 0.75, "anode (+)\nlonger leg", ha="right", va="top",
              fontsize=9, fontweight="bold")
    axes.text(led_x + 1.1, top - 0.75, "cathode (−)\nshorter leg,\nflat rim", ha="left",
              va="top", fontsize=9)
    axes.plot([led_x + 1.0, right, right] + second_xs[::-1],
              [top, top, second_ys[-1]] + second_ys[::-1], color=second_colour, linewidth=2.5,
              zorder=4)
    for (header_pin, name), y, colour in ((chain.first, first_ys[-1], first_colour),
                                          (chain.second, second_ys[-1], second_colour)):
        axes.text(3.0, y + 0.2, f"pin {header_pin}: {name}", fontsize=10,
                  fontweight="bold", color=colour, ha="left", va="bottom")
    lit = "low" if chain.active_low else "high"
    axes.set_title(f"Wiring the status LED: lit when header pin {chain.led_pin} "
                   f"({pin_name(chain.led_pin)}) is {lit}", fontsize=11)
    axes.set_xlim(-1.2, right + 0.6)
    axes.set_ylim(-20, top + 2.0)
    figure.savefig(output, dpi=100, metadata={"Software": None} if output.endswith(".png")
                   else None)
    pyplot.close(figure)


def main(argv: list[str]) -> int:
    import argparse

    parser = argparse.ArgumentParser(prog="glowwiring", description=__doc__)
    parser.add_argument("-o", "--output", required=True, help="picture to write, .png or .svg")
    arguments = parser.parse_args(argv)
    if not arguments.output.endswith((".png", ".svg")):
        print(f"glowwiring: {arguments.output}: a picture is written as .png or .svg",
              file=sys.stderr)
        return 1
    settings = build_settings()
    chain = wiring(int(settings["GLOW_BOARD_LED"]), settings["GLOW_BOARD_LED_ACTIVE"] == "low")
    draw(chain, arguments.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
