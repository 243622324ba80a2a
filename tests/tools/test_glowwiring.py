"""The wiring picture's facts: its pin tables against wiringPi's own, the
chain it draws for each polarity, and the picture the build's tool writes."""

import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "glowwiring"))
import glowwiring  # noqa: E402

TOOL = os.environ.get("GLOW_WIRING_TOOL", "glowwiring")
WIRINGPI_SOURCE = os.environ.get("GLOW_WIRINGPI_SOURCE", "")


def wiringpi_table(source: str, name: str) -> list[int]:
    """One of wiringPi.c's pin tables for the boards since the Pi 2."""
    body = re.search(name + r"\s*\[64\]\s*=\s*\{(.*?)\}", source, re.S).group(1)
    return [int(number) for number in re.findall(r"-?\d+", re.sub(r"//.*", "", body))]


class Tables(unittest.TestCase):
    @unittest.skipUnless(os.path.isfile(WIRINGPI_SOURCE),
                         f"needs wiringPi's released source at GLOW_WIRINGPI_SOURCE ({WIRINGPI_SOURCE!r})")
    def test_pins_are_wiringpis_own(self):
        with tarfile.open(WIRINGPI_SOURCE) as archive:
            member = next(m for m in archive.getmembers() if m.name.endswith("wiringPi/wiringPi.c"))
            source = archive.extractfile(member).read().decode()
        to_gpio = wiringpi_table(source, "pinToGpioR2")
        for pin in (*range(17), *range(21, 32)):
            self.assertEqual(glowwiring.BCM_OF_WIRINGPI_PIN[pin], to_gpio[pin], f"wiringPi {pin}")
        physical = wiringpi_table(source, "physToGpioR2")
        for header_pin in range(1, glowwiring.HEADER_PINS + 1):
            what = glowwiring.HEADER[header_pin]
            self.assertEqual(what if isinstance(what, int) else -1, physical[header_pin],
                             f"header pin {header_pin}")


class Chains(unittest.TestCase):
    def test_each_polarity_wires_its_own_chain(self):
        rows = [
            # wiringPi pin, lit when low: (first pin, name), (second pin, name),
            # and the height where the first's riser hops the second's wire
            (4, False, (16, "GPIO 23 (wiringPi 4)"), (14, "GND"), -6.0),
            (25, True, (17, "3.3 V"), (37, "GPIO 26 (wiringPi 25)"), None),
            (30, False, (27, "GPIO 0 (wiringPi 30)"), (25, "GND"), -11.5),
            (8, True, (1, "3.3 V"), (3, "GPIO 2 (wiringPi 8)"), None),
        ]
        for pin, active_low, first, second, hop in rows:
            with self.subTest(pin=pin, active_low=active_low):
                chain = glowwiring.wiring(pin, active_low)
                self.assertEqual((chain.first, chain.second, glowwiring.crossing(chain)),
                                 (first, second, hop))
        with self.assertRaises(ValueError):
            glowwiring.wiring(17, False)  # the first boards' P5 header


class Tool(unittest.TestCase):
    def test_draws_the_builds_wiring_and_refuses_other_formats(self):
        with tempfile.TemporaryDirectory() as folder:
            picture = os.path.join(folder, "wiring.png")
            subprocess.run([TOOL, "-o", picture], check=True, timeout=60)
            with open(picture, "rb") as file:
                self.assertEqual(file.read(8), b"\x89PNG\r\n\x1a\n")
            refused = subprocess.run([TOOL, "-o", os.path.join(folder, "wiring.jpg")],
                                     capture_output=True, text=True, timeout=60)
        self.assertEqual(refused.returncode, 1)
        self.assertRegex(refused.stderr, r"^glowwiring: [^\n]*\.png or \.svg\n$")


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    # The rest passed; the pin tables unchecked are a skip, not a pass.
    if result.skipped:
        print(f"glowwiring: its pin tables need wiringPi's released source at "
              f"GLOW_WIRINGPI_SOURCE ({WIRINGPI_SOURCE!r}); skipped")
        sys.exit(77)
