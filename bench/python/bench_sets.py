"""Per-operation timings of brindle's set classes against set, in one run.

    PYTHONPATH=<dir with brindle> python bench/python/bench_sets.py [--quick]

Built on the harness of bench_maps.py (same interleaved rounds, inputs,
table and --check): the workloads register under the family "set", whose
baseline is the builtin set.  Times are medians over the rounds, in
nanoseconds per element of the left operand (N elements); a binary
operation is one call per timed call, its result released inside the clock
as a program's would be.  Each binary operation is timed twice, with an
argument of the set's own class (the fast path that moves cached hashes)
and with a builtin set (iterated and hashed through Python); for the builtin
set both rows are the same operation.
"""

from __future__ import annotations

import operator
import sys

import brindle
# The lookup, iteration and copy loops are the same for maps and sets.
from bench_maps import FAMILIES, Data, Family, Workload, _contains, _copy, _iterate, cli, register, shared

FAMILIES["set"] = Family([set, brindle.ElasticHashSet, brindle.FunnelHashSet], "element")


def full(cls, d: Data):
    """A set of all the keys, shared by the workloads that only read it."""
    return shared(d, cls, "keys", lambda: cls(d.keys))


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
register(Workload("x in s (hit)", "set", lambda c, d: (full(c, d), d.keys), _contains))
register(Workload("x in s (miss)", "set", lambda c, d: (full(c, d), d.missing), _contains))
register(Workload("s.discard(x)", "set", lambda c, d: (c(d.keys), d.keys), _discard, fresh=True))
register(Workload("for x in s", "set", lambda c, d: (full(c, d), None), _iterate))
register(Workload("s.copy()", "set", lambda c, d: (full(c, d), None), _copy))


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


def _operands(other, t_class=None):
    """s of all the keys and t of `other(d)`, of the set's own class unless
    `t_class` says otherwise; both shared, as no operation here changes its
    operands."""

    def prepare(c, d):
        tc = t_class or c
        return full(c, d), shared(d, tc, other.__name__, lambda: tc(other(d)))

    return prepare


for name, timed, other in ALGEBRA:
    register(Workload(f"{name}, t same class", "set", _operands(other), timed))
    register(Workload(f"{name}, t set", "set", _operands(other, set), timed))


if __name__ == "__main__":
    sys.exit(cli(["set"]))
