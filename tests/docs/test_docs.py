"""What the manual pages and the README say the programs do, against what
they do: each stated length of a pattern's phase or cycle, measured in a
trace of the built program on the virtual board in virtual time, and so
is each one in the build's table of the programs; and every
link between the project's pages leading to a file and heading that exist."""

import fnmatch
import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ["GLOW_SOURCE_DIR"]
TOOL = os.environ["GLOW_TRACE_TOOL"]
PROGRAM_TABLE = os.environ["GLOW_PROGRAM_TABLE"]
BUILD_DIR = os.path.dirname(PROGRAM_TABLE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "glowtrace"))
import glowtrace  # noqa: E402

# Where a page states a length: the page (a program's manual page, or its
# row of the README's table), the words around the figure, and the phase of
# the program's first cycle it names ("cycle" for the whole).
STATED = [
    ("man", "glowbreathe", r"One cycle lasts (\d+) (ms)", "cycle"),
    ("man", "glowbreathe", r"\.IP rise 8 [^.]*\.\.\.[^:]*: (\d+) (ms)", "rise"),
    ("man", "glowbreathe", r"\.IP fall 8 [^.]*\.\.\.[^:]*: (\d+) (ms)", "fall"),
    ("man", "glowbreathe", r"\.IP rest 8 (\d+) (ms)", "rest"),
    ("man", "glowtwice", r"One cycle lasts (\d+) (ms)", "cycle"),
    ("man", "glowtwice", r"(\d+) (ms) at full brightness", "flash"),
    ("man", "glowtwice", r"then (\d+) (ms) dark", "gap"),
    ("man", "glowtwice", r"\.IP rest 8 (\d+) (ms)", "rest"),
    ("man", "glowfive", r"One cycle lasts (\d+) (ms)", "cycle"),
    ("man", "glowfive", r"(\d+) (ms) at full brightness", "flash"),
    ("man", "glowfive", r"then (\d+) (ms) dark", "gap"),
    ("man", "glowfive", r"\.IP rest 8 (\d+) (ms)", "rest"),
    ("man", "glowfull", r"holds it for (\d+) (ms)", "hold"),
    ("README", "glowbreathe", r"\((\d+) (ms) a cycle\)", "cycle"),
    ("README", "glowbreathe", r"then (\d+) (s) dark", "rest"),
    ("README", "glowtwice", r"\((\d+) (ms) a cycle\)", "cycle"),
    ("README", "glowtwice", r"(\d+) (ms) on", "flash"),
    ("README", "glowtwice", r"(\d+) (ms) off", "gap"),
    ("README", "glowtwice", r"then (\d+) (s) dark", "rest"),
    ("README", "glowfive", r"\((\d+) (ms) a cycle\)", "cycle"),
    ("README", "glowfull", r"full brightness for (\d+) (s)", "hold"),
]


def page(kind: str, program: str) -> str:
    """The page's text with groff's fixed spaces as spaces, on one line."""
    if kind == "man":
        path = os.path.join(SOURCE_DIR, "packaging", "man", f"{program}.1")
    else:
        path = os.path.join(SOURCE_DIR, "README.md")
    with open(path, encoding="utf-8") as file:
        text = file.read().replace("\\ ", " ")
    if kind == "README":
        text = next(line for line in text.splitlines() if line.startswith(f"| `{program}` |"))
    return " ".join(text.split())


def first_cycle(program: str, folder: str) -> dict[str, int]:
    """The lengths in ms of the first cycle's phases, by name, and of the
    whole cycle, in the program's trace as the trace tool records it."""
    trace = os.path.join(folder, f"{program}.trace")
    subprocess.run([TOOL, "record", program, "-o", trace, "--seconds", "4", "--virtual-time"],
                   check=True, timeout=120)
    found = glowtrace.phases(glowtrace.read_trace(trace))
    # The first cycle ends with its rest, or is the one-shot's only run.
    end = next((index for index, phase in enumerate(found) if phase.name in ("rest", "hold")),
               len(found) - 1)
    lengths = {"cycle": round((found[end].end_us - found[0].start_us) / 1000)}
    for phase in found[:end + 1]:
        lengths.setdefault(phase.name, round(phase.length_ms))
    return lengths


class StatedTimings(unittest.TestCase):
    def test_every_stated_length_is_the_traced_one(self):
        table = glowtrace.program_table(PROGRAM_TABLE)
        with tempfile.TemporaryDirectory() as folder:
            measured = {name: first_cycle(name, folder) for name, _, _ in table}
        # The build's table, which the benchmark and the pictures read.
        for name, _, length_ms in table:
            with self.subTest(page="programs.txt", program=name):
                self.assertEqual(length_ms, measured[name]["cycle"])
        for kind, program, words, phase in STATED:
            with self.subTest(page=kind, program=program, phase=phase):
                found = re.search(words, page(kind, program))
                self.assertIsNotNone(found, f"the {kind} page of {program} no longer says '{words}'")
                stated_ms = int(found.group(1)) * (1000 if found.group(2) == "s" else 1)
                self.assertEqual(stated_ms, measured[program][phase])


def anchor(heading: str) -> str:
    """A heading's anchor as the project's host makes it."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def heading_anchors(path: str) -> list[str]:
    """The anchors of a page's headings; a '#' line in a fenced block is code."""
    found, fenced = [], False
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.startswith("```"):
                fenced = not fenced
            elif line.startswith("#") and not fenced:
                found.append(anchor(line.lstrip("#")))
    return found


class Links(unittest.TestCase):
    def test_every_link_between_pages_resolves(self):
        for path in pages():
            with open(path, encoding="utf-8") as file:
                text = file.read()
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                if re.match(r"[a-z]+:", target):
                    continue  # another site's page
                with self.subTest(page=os.path.relpath(path, SOURCE_DIR), link=target):
                    name, _, heading = target.partition("#")
                    linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
                    self.assertTrue(os.path.exists(linked), f"no file {linked}")
                    if heading:
                        self.assertIn(heading, heading_anchors(linked))


def pages() -> list[str]:
    return [os.path.join(SOURCE_DIR, "README.md"), *glob.glob(os.path.join(SOURCE_DIR, "*", "*.md"))]


def command_lines(path: str) -> list[str]:
    """The lines of a page's shell blocks and its inline code, comments cut."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    lines = [line for block in re.findall(r"```sh\n(.*?)```", text, re.S)
             for line in block.splitlines()]
    lines += re.findall(r"`([^`\n]+)`", text)
    return [line.split(" #")[0] for line in lines]


class Commands(unittest.TestCase):
    """The commands the pages give: each script, each of its options named,
    each glow unit that systemctl is told of, and what CI runs."""

    def test_every_command_a_page_gives_exists(self):
        units = {os.path.basename(path).removesuffix(".in") for path in
                 glob.glob(os.path.join(BUILD_DIR, "units", "systemd", "*.service*")) +
                 glob.glob(os.path.join(SOURCE_DIR, "units", "*.service"))}
        bench_help = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "bench"), "--help"],
                                    capture_output=True, text=True, timeout=60).stdout
        for path in pages():
            for line in command_lines(path):
                with self.subTest(page=os.path.relpath(path, SOURCE_DIR), command=line):
                    for script in re.findall(r"(?<![\w/.])scripts/([\w-]+)", line):
                        self.assertTrue(os.access(os.path.join(SOURCE_DIR, "scripts", script),
                                                  os.X_OK), f"no scripts/{script}")
                    for option in re.findall(r"scripts/bench (--[\w-]+)", line):
                        self.assertIn(option, bench_help)
                    # A launcher of this machine's build that the build makes.
                    for launcher in re.findall(r"\bbuild/host/(\w+)(?![\w.-])", line):
                        self.assertTrue(os.access(os.path.join(BUILD_DIR, launcher), os.X_OK),
                                        f"no build/host/{launcher}")
                    verb = re.search(r"systemctl (?:start|stop|restart|enable|disable) (.*)", line)
                    for unit in re.findall(r"\bglow[\w@*-]*(?:\.service)?", verb.group(1)
                                           if verb else ""):
                        unit = unit if unit.endswith(".service") else unit + ".service"
                        # A pattern names at least one unit.
                        self.assertTrue(fnmatch.filter(units | {"glow-boot.service"}, unit), unit)

    def test_every_script_answers_help_and_the_readme_stays_short(self):
        for script in ("bench", "demo", "package"):
            with self.subTest(script):
                helped = subprocess.run([os.path.join(SOURCE_DIR, "scripts", script), "--help"],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual((helped.returncode, helped.stderr), (0, ""))
                self.assertIn(f"scripts/{script}", helped.stdout)
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as readme:
            self.assertLessEqual(len(readme.readlines()), 250)

    def test_the_testing_page_names_what_ci_runs(self):
        with open(os.path.join(SOURCE_DIR, "docs", "testing.md"), encoding="utf-8") as file:
            said = re.search(r"`\.ci/run` runs `([^`]+)` and `([^`]+)`", " ".join(file.read().split()))
        with open(os.path.join(SOURCE_DIR, ".ci", "run"), encoding="utf-8") as file:
            run = [line.strip() for line in file if not line.startswith("#")]
        self.assertIsNotNone(said)
        self.assertEqual([command for command in said.groups() if command not in run], [])


# A measured figure that one page quotes from another, where it was measured:
# (quoting page, its words, measuring page, its words). Re-measured in one
# place, it must be changed in both.
QUOTED_FIGURES = [
    ("README.md", r"glowbreathe's cycle measured (\d+) ms",
     "docs/benchmark.md", r"\| glowbreathe \| \d+ ms \| ([\d.]+) ms"),
    ("README.md", r"builds \((\d+) s and (\d+) s on a 2-core",
     "docs/services.md", r"(\d+) s for Debian 12 and (\d+) s for Debian 13"),
    ("README.md", r"tool-chains: (\d+) s for both on a fresh Debian 12, a\s+2-core x86-64 "
     r"machine; a second run took (\d+) s",
     "scripts/package", r"tool-chains \((\d+) s for both on a\s+# fresh 2-core Debian 12 "
     r"machine; a second run, (\d+) s"),
]


class QuotedFigures(unittest.TestCase):
    def test_every_quoted_measurement_is_the_measuring_pages(self):
        for quoting, words, measuring, measured_words in QUOTED_FIGURES:
            with self.subTest(quoting=quoting, measuring=measuring, words=words):
                found = []
                for path, pattern in ((quoting, words), (measuring, measured_words)):
                    with open(os.path.join(SOURCE_DIR, path), encoding="utf-8") as file:
                        match = re.search(pattern, file.read())
                    self.assertIsNotNone(match, f"{path} no longer says '{pattern}'")
                    found.append([round(float(figure)) for figure in match.groups()])
                self.assertEqual(found[0], found[1])


if __name__ == "__main__":
    unittest.main()
