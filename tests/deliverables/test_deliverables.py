"""What a board gets, checked on the built files themselves: the programs'
architecture, libraries, imports and hardening; what `cmake --install` puts
where; the manual pages; the systemd units; and the Debian package."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = os.environ["GLOW_BUILD_DIR"]
SOURCE_DIR = os.environ["GLOW_SOURCE_DIR"]
PROGRAM_DIR = os.environ["GLOW_PROGRAM_DIR"]
HARDENING_PROBE = os.environ["GLOW_HARDENING_PROBE"]
WATCHER = os.environ["GLOW_WATCHER"]  # the failure light's program, glow-degraded
ARCHITECTURE = os.environ.get("GLOW_ARCHITECTURE", "host")  # armhf, arm64 or host
# The project's version, as the build has it.
with open(os.path.join(BUILD_DIR, "CMakeCache.txt"), encoding="utf-8") as cache:
    VERSION = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache.read(), re.M).group(1)
CMAKE = os.environ.get("GLOW_CMAKE", "cmake")
CPACK = os.environ.get("GLOW_CPACK", "cpack")
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "glowtrace"))
import glowtrace  # noqa: E402

PROGRAMS = tuple(glowtrace.programs(os.path.join(BUILD_DIR, "programs.txt")))

# The C libraries' names; libpthread only where the C library keeps it apart.
ALLOWED_LIBRARIES = {"libwiringPi.so", "libc.so.6", "libpthread.so.0"}
WIRINGPI_CALLS = {"wiringPiSetup", "pinMode", "digitalWrite", "softPwmCreate", "softPwmWrite"}
SLEEPS = {"delay", "usleep"}
# The C runtime's start-up and hardening helpers, and what the one-line
# failure message needs. Nothing that reads the environment or files, and
# nothing that writes to stdout.
ALLOWED_IMPORTS = WIRINGPI_CALLS | SLEEPS | {
    "__libc_start_main", "__cxa_finalize", "__gmon_start__", "abort", "__progname",
    "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable",
    "__stack_chk_fail", "__stack_chk_guard",
    "__fprintf_chk", "stderr", "exit", "program_invocation_short_name",
}
# A unit per program; for the device's story one per program while booting,
# after a failure and while shutting down, and one per program that ends by
# itself after a power-off; the wait for the GPIO device and the hand-over
# to the ready pattern, at boot and after a failure (a template).
STORY_UNITS = tuple(f"glow-{part}@{p}" for part in ("booting", "failed", "shutdown", "degraded")
                    for p in PROGRAMS) + ("glow-poweroff@glowfull", "glow-poweroff@glowoff")
UNITS = PROGRAMS + STORY_UNITS + ("glow-gpio", "glow-ready", "glow-ready@")
LED_UNITS = PROGRAMS + ("glow-booting@", "glow-failed@", "glow-shutdown@")
INSTALLED_FILES = {f"bin/{p}" for p in PROGRAMS} | {
    f"share/man/man1/{p}.1.gz" for p in PROGRAMS
} | {f"lib/systemd/system/{u}.service" for u in UNITS} | {
    f"lib/systemd/system/{u}.service.d/glow-confinement.conf"
    for u in LED_UNITS + ("glow-poweroff@", "glow-gpio", "glow-ready", "glow-ready@", "glow-degraded@")
} | {f"lib/systemd/system/{u}.service.d/glow-led-access.conf" for u in LED_UNITS} | {
    f"lib/systemd/system/{u}.service.d/glow-user-at-shutdown.conf"
     for u in ("glow-shutdown@", "glow-poweroff@")
} | {f"lib/systemd/system/{u}.service.d/glow-hand-over.conf"
     for u in ("glow-ready", "glow-ready@", "glow-degraded@")
} | {
    "lib/sysusers.d/glow.conf", "share/doc/glow/copyright", "share/doc/glow/changelog.gz",
    "lib/systemd/system-preset/80-glow.preset", "lib/systemd/system-generators/glow-boot-generator",
    "libexec/glow/glow-degraded",
    "lib/systemd/system-shutdown/glow-poweroff", "share/polkit-1/rules.d/50-glow.rules",
    "share/lintian/overrides/glow", "libexec/glow/glow-run"
}
# systemd-analyze security's verdicts that count as confined enough.
HIGHEST_EXPOSURE = 0.5


def run(*command: str, **options) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=300,
                          **options).stdout


def readelf(option: str, path: str) -> str:
    return run("readelf", "-W", option, path)


def imports(path: str) -> set[str]:
    symbols = set()
    for line in readelf("--dyn-syms", path).splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND":
            symbols.add(fields[7].split("@")[0])
    return symbols


def needed(path: str) -> set[str]:
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", path)))


class Binaries(unittest.TestCase):
    def each_program(self, watcher: bool = False):
        for program in PROGRAMS + (("glow-degraded",) if watcher else ()):
            with self.subTest(program):
                yield program, (WATCHER if program == "glow-degraded" else
                                os.path.join(PROGRAM_DIR, program))

    @unittest.skipUnless(ARCHITECTURE in ("armhf", "arm64"), "a board build")
    def test_architecture(self):
        for _, path in self.each_program(watcher=True):
            header = readelf("-h", path)
            if ARCHITECTURE == "armhf":
                self.assertRegex(header, r"Class:\s+ELF32")
                self.assertRegex(header, r"Machine:\s+ARM\n")
                self.assertRegex(header, r"Flags:.*Version5 EABI.*hard-float ABI")
                attributes = readelf("-A", path)
                self.assertRegex(attributes, r"Tag_CPU_arch: v7\n")
                self.assertRegex(attributes, r"Tag_ABI_VFP_args: VFP registers")
            else:
                self.assertRegex(header, r"Class:\s+ELF64")
                self.assertRegex(header, r"Machine:\s+AArch64")

    def test_needs_only_wiringpi_and_the_c_library(self):
        for _, path in self.each_program():
            libraries = needed(path)
            self.assertLessEqual(libraries, ALLOWED_LIBRARIES)
            self.assertLessEqual({"libwiringPi.so", "libc.so.6"}, libraries)
        # The watcher: libsystemd's bus and event loop, no C++ runtime (on
        # the boards the stack guard comes from the dynamic loader).
        loader = {name for name in needed(WATCHER) if name.startswith("ld-linux-")}
        self.assertEqual(needed(WATCHER) - loader, {"libsystemd.so.0", "libc.so.6"})

    def test_imports_only_wiringpi_usleep_and_the_c_runtime(self):
        for program, path in self.each_program():
            symbols = imports(path)
            self.assertEqual(symbols - ALLOWED_IMPORTS, set())
            self.assertLessEqual(WIRINGPI_CALLS, symbols)
            self.assertEqual("usleep" in symbols, program in ("glowtwice", "glowfive"))
            self.assertEqual("delay" in symbols, program != "glowoff")

    def test_hardened(self):
        for _, path in self.each_program(watcher=True):
            self.assertRegex(readelf("-h", path), r"Type:\s+DYN")
            dynamic = readelf("-d", path)
            self.assertRegex(dynamic, r"\(FLAGS_1\)\s+Flags:.*\bPIE\b")
            self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW")
            self.assertIn("GNU_RELRO", readelf("-l", path))
            # _FORTIFY_SOURCE: the one-line message goes through the checked printf.
            self.assertIn("__fprintf_chk", imports(path))
            self.assertNotIn(".GCC.command.line", readelf("-S", path))
        # The stack protector shows where there is a buffer to guard.
        probe = imports(HARDENING_PROBE)
        self.assertIn("__stack_chk_fail", probe)
        self.assertIn("__strcpy_chk", probe)

class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        run(CMAKE, "--install", BUILD_DIR, "--prefix", cls.folder.name, "--strip")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_puts_the_programs_and_their_pages_and_nothing_else(self):
        found = set()
        for folder, _, files in os.walk(self.folder.name):
            for name in files:
                found.add(os.path.relpath(os.path.join(folder, name), self.folder.name))
        self.assertEqual(found, INSTALLED_FILES)

    def test_by_hand_to_usr_local_the_hook_and_the_rule_go_where_they_are_read(self):
        # systemd-shutdown and polkit read no folder of /usr/local; the rest does.
        moved = {"lib/systemd/system-shutdown/glow-poweroff": "usr/lib/systemd/system-shutdown/",
                 "share/polkit-1/rules.d/50-glow.rules": "etc/polkit-1/rules.d/"}
        with tempfile.TemporaryDirectory() as root:
            run(CMAKE, "--install", BUILD_DIR, "--prefix", "/usr/local",
                env=dict(os.environ, DESTDIR=root))
            found = {os.path.relpath(os.path.join(folder, name), root)
                     for folder, _, files in os.walk(root) for name in files}
            self.assertEqual(found, {"usr/local/" + path for path in INSTALLED_FILES - set(moved)} |
                             {folder + os.path.basename(path) for path, folder in moved.items()})
            with open(os.path.join(root, "usr/lib/systemd/system-shutdown/glow-poweroff")) as hook:
                self.assertIn("exec /usr/local/bin/glowoff", hook.read())

    def test_installed_programs_carry_no_path_of_the_build_machine(self):
        for program in PROGRAMS:
            with open(os.path.join(self.folder.name, "bin", program), "rb") as binary:
                content = binary.read()
            for root in (SOURCE_DIR, BUILD_DIR):
                self.assertNotIn(os.path.realpath(root).encode(), content, program)

    def test_installed_programs_carry_no_rpath(self):
        for program in PROGRAMS:
            dynamic = readelf("-d", os.path.join(self.folder.name, "bin", program))
            self.assertNotIn("RPATH", dynamic, program)
            self.assertNotIn("RUNPATH", dynamic, program)

    def test_manual_pages_render_without_a_warning(self):
        environment = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
        for program in PROGRAMS:
            with self.subTest(program):
                page = os.path.join(self.folder.name, "share/man/man1", program + ".1.gz")
                rendered = subprocess.run(["man", "--warnings", "-l", page], env=environment,
                                          capture_output=True, text=True, timeout=60)
                self.assertEqual(rendered.returncode, 0)
                self.assertEqual(rendered.stderr, "")
                text = re.sub(r"\s+", " ", rendered.stdout)
                for heading in ("OPTIONS", "EXIT STATUS", "SIGNALS", "HARDWARE", "PERMISSIONS"):
                    self.assertIn(heading, text)
                self.assertIn("BCM GPIO 23, pin 16", text)
                self.assertIn("None. Any arguments are ignored.", text)
                self.assertIn(f"glow {VERSION}", text)  # the build's, in the page's footer

    @unittest.skipUnless(ARCHITECTURE == "host", "runs the programs on this machine's board")
    def test_glow_run_passes_on_a_stop_that_meets_its_program_starting(self):
        # systemd's stop reaches every process of the unit at once; the one
        # that meets the child between fork and exec must still end it.
        environment = glowtrace.board_environment(
            "real", os.devnull, os.path.join(BUILD_DIR, "virtual-board.env"))
        command = [os.path.join(self.folder.name, path)
                   for path in ("libexec/glow/glow-run", "bin/glowfive")]
        for attempt in range(40):
            unit = subprocess.Popen(command, env=environment, start_new_session=True)
            children = f"/proc/{unit.pid}/task/{unit.pid}/children"
            while unit.poll() is None and not open(children, encoding="ascii").read():
                pass
            os.killpg(unit.pid, signal.SIGTERM)
            try:
                self.assertEqual(unit.wait(timeout=10), 0, f"attempt {attempt}")
            except subprocess.TimeoutExpired:
                os.killpg(unit.pid, signal.SIGKILL)
                unit.wait()
                self.fail(f"attempt {attempt}: the stop was lost")

    def test_glow_run_reports_a_failure_of_glowoff(self):
        # The program stopped: glowoff's status is the unit's; the program
        # failed: its own status is, whatever glowoff's.
        glow_run = os.path.join(self.folder.name, "libexec/glow/glow-run")
        with tempfile.TemporaryDirectory() as bin_folder:
            for name, text in (("glowoff", "exit 1"), ("looping", "exec sleep 60"),
                               ("failing", "exit 4")):
                with open(os.path.join(bin_folder, name), "w") as script:
                    script.write(f"#!/bin/sh\n{text}\n")
                os.chmod(os.path.join(bin_folder, name), 0o755)
            stopped = subprocess.Popen([glow_run, os.path.join(bin_folder, "looping")])
            time.sleep(0.5)
            stopped.send_signal(signal.SIGTERM)
            self.assertEqual(stopped.wait(timeout=30), 1)
            failed = subprocess.run([glow_run, os.path.join(bin_folder, "failing")], timeout=30)
            self.assertEqual(failed.returncode, 4)

    @unittest.skipUnless(ARCHITECTURE == "host", "runs the watcher on this machine")
    def test_the_watcher_without_a_bus_fails_once_with_one_line(self):
        watcher = os.path.join(self.folder.name, "libexec/glow/glow-degraded")
        with tempfile.TemporaryDirectory() as runtime:
            environment = dict(os.environ, RUNTIME_DIRECTORY=runtime,
                               DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={runtime}/no-bus",
                               GLOW_RECOVERED_AFTER_S="soon")
            environment.pop("JOURNAL_STREAM", None)
            ended = subprocess.run([watcher, "glowfive"], env=environment, capture_output=True,
                                   text=True, timeout=30)
        # Status 3, which its unit does not restart; a bad setting is said, with what is used.
        self.assertEqual(ended.returncode, 3)
        self.assertEqual(ended.stderr.splitlines(), [
            "glow-degraded: GLOW_RECOVERED_AFTER_S=soon is not a number of seconds from 1 to "
            "86400: 10 used",
            "glow-degraded: no system bus to watch the units on (is dbus installed?)"])
        unit = os.path.join(self.folder.name, "lib/systemd/system/glow-degraded@glowfive.service")
        with open(unit) as text:
            self.assertRegex(text.read(), r"(?m)^RestartPreventExitStatus=3$")

    def test_units_verify_clean_and_are_confined(self):
        units = os.path.join(self.folder.name, "lib/systemd/system")
        # A template is judged as an instance an application's drop-in names;
        # verify reads files, so it takes the instances only.
        names = [u + ("glow-test-app.service" if u.endswith("@") else "") + ".service"
                 for u in UNITS]
        paths = [os.path.join(units, u + ".service") for u in UNITS if not u.endswith("@")]
        # The units name the installed programs and, for documentation, their pages.
        environment = dict(os.environ, MANPATH=os.path.join(self.folder.name, "share/man"))
        verified = subprocess.run(["systemd-analyze", "verify", *paths], env=environment,
                                  capture_output=True, text=True, timeout=120)
        self.assertEqual((verified.returncode, verified.stdout + verified.stderr), (0, ""))
        for program, name in zip(UNITS, names):
            with self.subTest(program):
                # Read with the drop-ins beside it, as systemd reads them.
                security = run("systemd-analyze", "security", "--offline=yes",
                               f"--root={self.folder.name}", name)
                level = re.search(r"Overall exposure level for \S+: ([\d.]+) (\w+)", security)
                self.assertIsNotNone(level, security)
                print(f"{program}.service: exposure {level.group(1)} {level.group(2)}")
                self.assertLessEqual(float(level.group(1)), HIGHEST_EXPOSURE, security)
                self.assertIn(level.group(2), ("OK", "SAFE"))


@unittest.skipUnless(ARCHITECTURE in ("armhf", "arm64"), "packages are made for boards")
class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        run(CPACK, "-G", "DEB", "-B", cls.folder.name, cwd=BUILD_DIR)
        debs = [n for n in os.listdir(cls.folder.name) if n.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.folder.name, debs[0])

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_control_fields(self):
        self.assertEqual(os.path.basename(self.deb), f"glow_{VERSION}_{ARCHITECTURE}.deb")
        field = lambda name: run("dpkg-deb", "-f", self.deb, name).strip()  # noqa: E731
        self.assertEqual(field("Package"), "glow")
        self.assertEqual(field("Architecture"), ARCHITECTURE)
        depends = [d.split(" ")[0] for d in field("Depends").split(", ")]
        self.assertEqual(depends, ["libc6", "libsystemd0", "wiringpi", "init-system-helpers",
                                   "systemd"])
        # wiringPi 2.x cannot tell the newer boards.
        self.assertIn("wiringpi (>= 3.0)", field("Depends"))
        self.assertEqual(field("Recommends"), "polkitd")  # for the gpio group's switching
        with open(os.path.join(BUILD_DIR, "virtual-board.env"), encoding="utf-8") as wiring:
            pin = re.search(r"^GLOW_BOARD_LED=(\d+)$", wiring.read(), re.M).group(1)
        self.assertIn(f"on wiringPi pin {pin}", field("Description"), "the pin it was built for")

    def test_holds_the_programs_and_pages_and_never_the_virtual_board(self):
        files = {
            line.split()[-1].removeprefix("./usr/")
            for line in run("dpkg-deb", "-c", self.deb).splitlines()
            if not line.startswith("d")
        }
        self.assertEqual(files, INSTALLED_FILES)

    # What the maintainer scripts do under dpkg is the system test's; here,
    # which there are, and the armhf package's refusal of ARMv6 boards.
    def test_maintainer_scripts(self):
        with tempfile.TemporaryDirectory() as control:
            run("dpkg-deb", "-e", self.deb, control)
            expected = {"postinst", "prerm", "postrm"} | ({"preinst"} if ARCHITECTURE == "armhf" else set())
            self.assertEqual({n for n in os.listdir(control) if os.access(os.path.join(control, n), os.X_OK)},
                             expected)
            for name in expected:
                run("sh", "-n", os.path.join(control, name))

    def test_armhf_preinst_refuses_armv6(self):
        if ARCHITECTURE != "armhf":
            self.skipTest("only the armhf package has a preinst")
        if os.geteuid() != 0:
            self.skipTest("showing the preinst another /proc/cpuinfo needs root")
        control = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, control)
        run("dpkg-deb", "-e", self.deb, control)
        preinst = os.path.join(control, "preinst")
        samples = os.path.join(SOURCE_DIR, "tests", "data", "cpuinfo")
        for sample in sorted(os.listdir(samples)):
            with self.subTest(sample):
                result = subprocess.run(
                    ["unshare", "--mount", "sh", "-c",
                     'mount --bind "$0" /proc/cpuinfo && exec sh "$1" install',
                     os.path.join(samples, sample), preinst],
                    capture_output=True, text=True, timeout=60)
                if sample.startswith("armv6"):
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertRegex(result.stderr, r"^glow: this is an ARMv6 board \(Raspberry Pi 1, "
                                     r"Zero or Zero W\).*build both packages on this board.*"
                                     r"\./build debian.*scripts/package.*\n$")
                    self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                else:
                    self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_a_build_of_armv6_code_does_not_refuse_armv6_boards(self):
        """As on a Zero W, whose compiler makes ARMv6 code: no refusal."""
        if ARCHITECTURE != "armhf":
            self.skipTest("only an armhf package refuses")
        with tempfile.TemporaryDirectory() as build:
            run(CMAKE, "-S", SOURCE_DIR, "-B", build, "-DBUILD_TESTING=OFF", "-DGLOW_WIRINGPI=VIRTUAL",
                f"-DCMAKE_TOOLCHAIN_FILE={SOURCE_DIR}/cmake/toolchains/armhf.cmake",
                "-DCMAKE_CXX_FLAGS=-march=armv6+fp -marm")
            scripts = os.listdir(os.path.join(build, "packaging", "debian"))
        self.assertEqual(sorted(scripts), ["postinst", "postrm", "prerm"])

    def test_lintian_finds_no_error_or_warning(self):
        result = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb],
                                capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^[EW]: ")


if __name__ == "__main__":
    unittest.main()
