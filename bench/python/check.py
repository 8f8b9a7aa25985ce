"""Holds brindle's maps and sets to their performance targets, in one run.

    PYTHONPATH=<dir with brindle> python bench/python/check.py [--sizes 1e3,1e6] [--keys int] [--only TEXT]

Runs the map workloads of bench_maps.py and the set workloads of
bench_sets.py with --check on, prints both tables, then a PASS or MISS line
for each brindle class of each row that TARGETS (in bench_maps.py) bounds,
and exits 1 if any target is missed.  Takes the same flags as the two
scripts.
"""

import sys

import bench_sets  # noqa: F401 - registers the set family
from bench_maps import cli

if __name__ == "__main__":
    sys.exit(cli(["map", "set"], check_default=True))
