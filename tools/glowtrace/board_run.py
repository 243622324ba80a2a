"""A built program run on the build's virtual board: the build's table of
programs, the environment that runs one, and a run whose trace is kept."""

from __future__ import annotations

import os

from trace_format import TraceError


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


def programs(path: str | None = None) -> list[str]:
    """Every program the build makes, as program_table reads them."""
    return [name for name, _, _ in program_table(path)]


def program_path(program: str) -> str:
    return os.path.join(os.environ["GLOW_PROGRAM_DIR"], program)


def build_settings(path: str | None = None) -> dict[str, str]:
    """What the build wrote for running its programs on its virtual board,
    the LED's wiring among it: the build's virtual-board.env, or another's."""
    with open(path or os.environ["GLOW_BOARD_ENVIRONMENT"], encoding="utf-8") as variables:
        return dict(line.split("=", 1) for line in variables.read().splitlines()
                    if line and not line.startswith("#"))


def board_environment(clock: str, trace_path: str | None = None, build_file: str | None = None,
                      **settings: str) -> dict[str, str]:
    """The environment that runs a built program on the virtual board: the
    board's library and the usleep interposer, and GLOW_BOARD_* settings;
    from build_file, another build's virtual-board.env, if given."""
    environment = dict(os.environ, **build_settings(build_file))
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
