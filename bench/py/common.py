"""Pieces the pyperf benchmark scripts share."""

import sys
import time


def time_loops(fn, *args):
    """A pyperf time function: `loops` calls of fn(*args), in seconds."""

    def timed(loops):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn(*args)
        return time.perf_counter() - t0

    return timed


def main_or_table(main, table):
    """`script.py table RESULTS.json` prints the table, anything else runs."""
    if len(sys.argv) == 3 and sys.argv[1] == "table":
        table(sys.argv[2])
    else:
        main()
