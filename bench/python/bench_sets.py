"""Per-operation timings of brindle's set classes against set, in one run.

    PYTHONPATH=<dir with brindle> python bench/python/bench_sets.py [--quick]

Built on the harness of bench_maps.py (same timing, inputs and table): the
workloads register under the family "set", whose baseline is the builtin
set.  Times are the best of a few repeats, in nanoseconds per element of the
left operand (N elements).  Each binary operation is timed twice, with an
argument of the set's own class (the fast path that moves cached hashes)
and with a builtin set (iterated and hashed through Python); for the builtin
set both rows are the same operation.
"""

from __future__ import annotations

import argparse
import operator
import sys

import brindle
from bench_maps import FAMILIES, Data, Workload, format_table, register, run

FAMILIES["set"] = [set, brindle.ElasticHashSet, brindle.FunnelHashSet]


# ---- element operations --------------------------------------------------------------------


def _add(state):
    s, keys = state
    for k in keys:
        s.add(k)


def _contains(state):
    s, keys = state
    for k in keys:
        k in s  # noqa: B015 - the lookup is what is timed


def _discard(state):
    s, keys = state
    for k in keys:
        s.discard(k)


def _iterate(state):
    s, _ = state
    for _ in s:
        pass


def _copy(state):
    s, _ = state
    s.copy()


register(Workload("s.add(x) (new)", "set", lambda c, d: (c(), d.keys), _add, fresh=True))
register(Workload("x in s (hit)", "set", lambda c, d: (c(d.keys), d.keys), _contains))
register(Workload("x in s (miss)", "set", lambda c, d: (c(d.keys), d.missing), _contains))
register(Workload("s.discard(x)", "set", lambda c, d: (c(d.keys), d.keys), _discard, fresh=True))
register(Workload("for x in s", "set", lambda c, d: (c(d.keys), None), _iterate))
register(Workload("s.copy()", "set", lambda c, d: (c(d.keys), None), _copy))


# ---- algebra and subset ---------------------------------------------------------------------


def _overlapping(d: Data) -> list:
    """Half of the keys and as many others: every operation both keeps and drops."""
    half = len(d.keys) // 2
    return d.keys[half:] + d.missing[:half]


def _superset(d: Data) -> list:
    """All the keys and half as many others, so that issubset checks every element."""
    return d.keys + d.missing[: len(d.keys) // 2]


def _binary(op):
    def timed(state):
        a, b = state
        op(a, b)

    return timed


def _issubset(state):
    a, b = state
    a.issubset(b)


ALGEBRA = [
    ("s | t", _binary(operator.or_), _overlapping),
    ("s & t", _binary(operator.and_), _overlapping),
    ("s - t", _binary(operator.sub), _overlapping),
    ("s ^ t", _binary(operator.xor), _overlapping),
    ("s.issubset(t)", _issubset, _superset),
]
for name, timed, other in ALGEBRA:
    register(
        Workload(f"{name}, t same class", "set", lambda c, d, other=other: (c(d.keys), c(other(d))), timed)
    )
    register(Workload(f"{name}, t set", "set", lambda c, d, other=other: (c(d.keys), set(other(d))), timed))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small sizes (10^3, 10^4) and fewer repeats")
    p.add_argument("--sizes", type=lambda s: [int(float(x)) for x in s.split(",")], help="e.g. 1e3,1e5")
    p.add_argument("--keys", default="int,str", help="element kinds: int,str")
    p.add_argument("--repeat", type=int, help="repeats per measurement (best is kept)")
    p.add_argument("--only", help="run only workloads whose name contains this text")
    p.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = p.parse_args(argv)

    sizes = args.sizes or ([10**3, 10**4] if args.quick else [10**3, 10**5, 10**6])
    repeat = args.repeat or (3 if args.quick else 5)
    kinds = args.keys.split(",")
    print(
        f"# python {sys.version.split()[0]} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}),"
        f" best of {repeat}, ns per element; ratio = brindle / set",
        file=sys.stderr,
    )
    rows = run(
        "set",
        sizes,
        kinds,
        repeat,
        args.only,
        progress=lambda r: print(f"  {r.workload} {r.kind} {r.n}", file=sys.stderr, flush=True),
    )
    print(format_table("set", rows, markdown=args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
