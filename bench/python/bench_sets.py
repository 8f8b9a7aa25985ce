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

import operator
import sys

import brindle
# The lookup, iteration and copy loops are the same for maps and sets.
from bench_maps import FAMILIES, Data, Workload, _contains, _copy, _iterate, cli, register

FAMILIES["set"] = [set, brindle.ElasticHashSet, brindle.FunnelHashSet]


# ---- element operations --------------------------------------------------------------------


def _add(state):
    s, keys = state
    for k in keys:
        s.add(k)


def _discard(state):
    s, keys = state
    for k in keys:
        s.discard(k)


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


if __name__ == "__main__":
    sys.exit(cli("set", "element"))
