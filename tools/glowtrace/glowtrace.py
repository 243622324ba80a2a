"""Reads a virtual board trace and tells what the LED did: the pattern's
phases (rise, fall, rest; flash, gap, rest; hold) with their measured
lengths, and the pin's brightness as an eye would see it."""

from __future__ import annotations

import os
import sys

# The trace tool's parts, each in a module of its own; the other tools and
# the tests use them through this one.
from board_run import (BOARD_PATHS, board_environment, build_settings,  # noqa: F401
                       missing_board_path, program_path, program_table, programs, record)
from trace_pattern import (CycleMeans, Phase, Step, brightness,  # noqa: F401
                           pattern_steps, phases, summary)
from trace_picture import plot
from trace_format import (EVENT_SHAPES, Event, Trace, TraceError, parse_event,  # noqa: F401
                          parse_header, parse_trace, read_trace)


def main(argv: list[str]) -> int:
    import argparse

    parser = argparse.ArgumentParser(prog="glowtrace", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    summary_command = commands.add_parser("summary", help="print the phases of each cycle")
    summary_command.add_argument("trace")
    plot_command = commands.add_parser("plot", help="draw the trace as a picture")
    plot_command.add_argument("trace")
    plot_command.add_argument("-o", "--output", action="append", required=True,
                              help="picture to write, .png or .svg; may be given twice")
    plot_command.add_argument("--title", help="title over the picture")
    record_command = commands.add_parser("record", help="run a program and keep its trace")
    record_command.add_argument("program")
    record_command.add_argument("-o", "--output", required=True)
    record_command.add_argument("--seconds", type=float, default=5.0)
    record_command.add_argument("--virtual-time", action="store_true")
    arguments = parser.parse_args(argv)

    try:
        if arguments.command == "record":
            status = record(arguments.program, arguments.output, arguments.seconds,
                            arguments.virtual_time)
            return 0 if status in (0, -15) else 1
        trace = read_trace(arguments.trace)
        if arguments.command == "summary":
            print(summary(trace))
        else:
            for output in arguments.output:
                if not output.endswith((".png", ".svg")):
                    raise TraceError(f"{output}: a picture is written as .png or .svg")
            plot(trace, arguments.output, arguments.title or os.path.basename(arguments.trace))
    except TraceError as error:
        print(f"glowtrace: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
