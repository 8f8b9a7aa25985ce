"""Per-operation timings of brindle's map classes against dict, in one run.

    PYTHONPATH=<dir with brindle> python bench/python/bench_maps.py [--quick] [--check]

Every workload runs the same Python loop over each implementation, so the
interpreter's loop overhead is in every number and the ratios compare like
with like.

A workload is measured in interleaved rounds: each round times the baseline
and both brindle classes back to back (the order rotating from round to
round), so that a burst of load from another process lands on all three
rather than on whichever happened to run then.  The ratio of a round is
brindle / baseline within that round, and the figure reported is the median
of those ratios over the rounds; the nanoseconds shown are the medians of
each implementation's own per-round times.  A round repeats the workload
until each implementation has run for at least MIN_ROUND seconds, so that
the small sizes are not timed on a few microseconds.

The module is meant to be extended: a workload is a `Workload` registered
under a family ("map" here); a family names the implementations it compares,
the first being the baseline that ratios are taken against.  bench_sets.py
registers the "set" family the same way and reuses `cli`.  The bounds that
`--check` holds the ratios to are in TARGETS, for both families.
"""

from __future__ import annotations

import argparse
import gc
import math
import random
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import brindle

# ---- registry ---------------------------------------------------------------------


@dataclass
class Family:
    impls: list[type]  # the baseline first
    unit: str  # what the per-item times are per


FAMILIES: dict[str, Family] = {
    "map": Family([dict, brindle.ElasticHashMap, brindle.FunnelHashMap], "item"),
}


@dataclass
class Workload:
    """`prepare(cls, data)` builds what one timed call needs (outside the
    clock); `timed(state)` is what the clock measures.  With `fresh`, every
    timed call gets a state of its own (for workloads that consume their
    input, such as deletion).  Times are per key of the input, or, when
    `batch` is set, per call of an operation that `timed` makes `batch`
    times."""

    name: str
    family: str
    prepare: Callable
    timed: Callable
    fresh: bool = False
    batch: int = 0


WORKLOADS: list[Workload] = []


def register(workload: Workload) -> Workload:
    WORKLOADS.append(workload)
    return workload


# ---- targets -----------------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    """A bound on the median brindle / baseline ratio (at most `limit`), or,
    when `absolute`, on brindle's own median time (under `limit` ns)."""

    limit: float
    absolute: bool = False

    def met(self, ratio: float, ns: float) -> bool:
        return ns < self.limit if self.absolute else ratio <= self.limit

    def __str__(self) -> str:
        return f"< {self.limit:g} ns" if self.absolute else f"<= {self.limit:g}"


def _bounds(by_n: dict[int, Target]) -> Callable[[int], Target | None]:
    return by_n.get


def _ratio(small: float, large: float) -> Callable[[int], Target | None]:
    """Ratio bounds at N = 10^3 and 10^6; other sizes are not held to one."""
    return _bounds({10**3: Target(small), 10**6: Target(large)})


# family -> workload name -> (N -> bound, or None where that size has none).
# Every bound holds for both brindle classes.  Rows not named here are
# measured and printed, but not checked.
TARGETS: dict[str, dict[str, Callable[[int], Target | None]]] = {
    "map": {
        "m[k]": _ratio(1.25, 1.15),
        "k in m (hit)": _ratio(1.25, 1.15),
        "m[k] = v (replace)": _ratio(1.25, 1.15),
        "m[k] = v (new)": _ratio(1.5, 1.2),
        "m[k] (miss, KeyError caught)": _ratio(1.3, 1.3),
        "for k in m": _ratio(1.3, 1.3),
        "next(iter(m))": _bounds({10**6: Target(1000, absolute=True)}),
        "m.copy()": _ratio(1.5, 1.5),
    },
    "set": {
        "x in s (hit)": _ratio(1.25, 1.15),
        "s.add(x) (new)": _ratio(1.5, 1.2),
        "for x in s": _ratio(1.3, 1.3),
        "s.copy()": _ratio(1.5, 1.5),
        "s | t, t same class": _ratio(1.5, 1.5),
        "s & t, t same class": _ratio(1.5, 1.5),
        "s - t, t same class": _ratio(1.5, 1.5),
        "s ^ t, t same class": _ratio(1.5, 1.5),
    },
}


def target_for(family: str, workload: str, n: int) -> Target | None:
    bound = TARGETS.get(family, {}).get(workload)
    return bound(n) if bound else None


# ---- inputs ---------------------------------------------------------------------------


@dataclass
class Data:
    """Keys present in the map (in a shuffled order), keys that are not, and
    one value per key.  `cache` holds containers that several workloads read
    without changing them, so that N = 10^6 is not rebuilt for each."""

    kind: str
    keys: list
    missing: list
    values: list = field(default_factory=list)
    cache: dict = field(default_factory=dict)


def make_keys(kind: str, n: int, seed: int = 1) -> Data:
    rng = random.Random(seed)
    if kind == "int":
        pool = rng.sample(range(8 * n), 2 * n)
        keys, missing = pool[:n], pool[n:]
    elif kind == "str":
        # Distinct objects whose hashes CPython caches after the first use,
        # as it would for keys that live in a program's data.
        keys = [f"key:{i:08x}" for i in range(n)]
        missing = [f"miss:{i:08x}" for i in range(n)]
        rng.shuffle(keys)
        for k in keys + missing:
            hash(k)
    else:
        raise ValueError(kind)
    return Data(kind, keys, missing, list(range(n)))


def shared(data: Data, cls, what: str, build: Callable):
    """The container `build()` makes, built once per input and class.  Only
    for workloads that leave it as it was."""
    key = (cls, what)
    if key not in data.cache:
        data.cache[key] = build()
    return data.cache[key]


def filled(cls, data: Data):
    m = cls()
    for k, v in zip(data.keys, data.values):
        m[k] = v
    return m


def full(cls, data: Data):
    """A map of all the keys, shared by the workloads that only read it."""
    return shared(data, cls, "keys", lambda: filled(cls, data))


# ---- the map workloads ------------------------------------------------------------


def _setitem(state):
    m, keys, values = state
    for k, v in zip(keys, values):
        m[k] = v


def _getitem(state):
    m, keys = state
    for k in keys:
        m[k]


def _getitem_missing(state):
    m, keys = state
    for k in keys:
        try:
            m[k]
        except KeyError:
            pass


def _contains(state):
    m, keys = state
    for k in keys:
        k in m  # noqa: B015 - the lookup is what is timed


def _delitem(state):
    m, keys = state
    for k in keys:
        del m[k]


def _len(state):
    m, keys = state
    for _ in keys:
        len(m)


def _iterate(state):
    m, _ = state
    for _ in m:
        pass


# Calls per timed call of `next(iter(m))`: enough that the call of the timed
# function itself is lost in the figure, few enough that a slow iterator
# still finishes a round quickly at N = 10^6.
FIRST_ITEM_BATCH = 32


def _first_item(state):
    m, _ = state
    for _ in range(FIRST_ITEM_BATCH):
        next(iter(m))


def _copy(state):
    m, _ = state
    m.copy()


register(Workload("m[k] = v (new)", "map", lambda c, d: (c(), d.keys, d.values), _setitem, fresh=True))
# Its own map: it is written to, if with the values it already holds.
register(Workload("m[k] = v (replace)", "map", lambda c, d: (filled(c, d), d.keys, d.values), _setitem))
register(Workload("m[k]", "map", lambda c, d: (full(c, d), d.keys), _getitem))
register(Workload("m[k] (miss, KeyError caught)", "map", lambda c, d: (full(c, d), d.missing), _getitem_missing))
register(Workload("k in m (hit)", "map", lambda c, d: (full(c, d), d.keys), _contains))
register(Workload("k in m (miss)", "map", lambda c, d: (full(c, d), d.missing), _contains))
register(Workload("del m[k]", "map", lambda c, d: (filled(c, d), d.keys), _delitem, fresh=True))
register(Workload("len(m)", "map", lambda c, d: (full(c, d), d.keys), _len))
register(Workload("for k in m", "map", lambda c, d: (full(c, d), None), _iterate))
register(Workload("next(iter(m))", "map", lambda c, d: (full(c, d), None), _first_item, batch=FIRST_ITEM_BATCH))
register(Workload("m.copy()", "map", lambda c, d: (full(c, d), None), _copy))


# ---- bulk insertion: update and | ---------------------------------------------------


def _update(state):
    m, source = state
    m.update(source)


def _merge(state):
    m, other = state
    m | other


def _pairs(data: Data) -> list:
    return shared(data, None, "pairs", lambda: list(zip(data.keys, data.values)))


def _others(data: Data) -> Data:
    """The missing keys as a data set of their own."""
    return Data(data.kind, data.missing, [], data.values)


def _full_others(cls, data: Data):
    return shared(data, cls, "others", lambda: filled(cls, _others(data)))


# Each update adds N new items to a map that already holds N other keys, so
# the target is rebuilt for every call.  (Into an empty dict, CPython copies
# a dict source's whole table at once, which says nothing about insertion.)
# For dict, "same class" and "dict" are the same operation.
register(Workload("update(same class)", "map", lambda c, d: (filled(c, _others(d)), full(c, d)), _update, fresh=True))
register(
    Workload(
        "update(dict)",
        "map",
        lambda c, d: (filled(c, _others(d)), shared(d, None, "dict", lambda: dict(_pairs(d)))),
        _update,
        fresh=True,
    )
)
register(Workload("update(list of pairs)", "map", lambda c, d: (filled(c, _others(d)), _pairs(d)), _update, fresh=True))
# N items | N other items of the same class: a new map of 2N.
register(Workload("m | same class", "map", lambda c, d: (full(c, d), _full_others(c, d)), _merge))


# ---- running ------------------------------------------------------------------------------

# Least time each implementation spends on a workload in one round.
MIN_ROUND = 0.005
# What the rounds are timed with: wall time by default.  On a shared machine
# the thread's CPU time (--clock cpu) leaves out the slices in which another
# process had the core, which medians over a few rounds cannot always drop.
CLOCKS = {"wall": time.perf_counter, "cpu": time.thread_time}
clock = CLOCKS["wall"]
DEFAULT_ROUNDS = 7
QUICK_ROUNDS = 3
# Rounds at N >= LARGE_N unless --rounds says otherwise: a round there is a
# second or more of work, and the full run has to fit in a sitting.
LARGE_N = 10**6
LARGE_ROUNDS = 5


def _clock(timed: Callable, states: list) -> float:
    """Seconds for one timed call on each of `states`, with the garbage
    collector held off.  A workload that does not consume its input gets the
    same state repeated, so that both kinds run the same loop."""
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = clock()
        for state in states:
            timed(state)
        return clock() - t0
    finally:
        if gc_was_enabled:
            gc.enable()


def _states(workload: Workload, cls, data: Data, state, calls: int) -> list:
    if workload.fresh:
        return [workload.prepare(cls, data) for _ in range(calls)]
    return [state] * calls


def _calibrate(workload: Workload, cls, data: Data, state, min_round: float) -> int:
    """How many timed calls take this implementation at least `min_round`.
    The first trials double as its warm-up."""
    calls = 1
    while True:
        states = _states(workload, cls, data, state, calls)
        elapsed = _clock(workload.timed, states)
        del states
        if elapsed >= min_round:
            return calls
        # Aim a little past the goal so that one more trial usually settles it,
        # without trusting a first timing of a few microseconds too far.
        wanted = math.ceil(calls * 1.2 * min_round / max(elapsed, 1e-7))
        calls = min(max(wanted, calls * 2), calls * 100)


@dataclass
class Row:
    family: str
    workload: str
    kind: str
    n: int
    ns: list[float]  # median time per unit, one per implementation, baseline first
    ratios: list[list[float]]  # per-round brindle / baseline, one list per brindle class
    rounds_ns: list[list[float]]  # per-round time per unit, one list per implementation
    target: Target | None = None

    def ratio(self, i: int) -> float:
        """Median of the per-round ratios of the i-th brindle class."""
        return statistics.median(self.ratios[i])


def measure(workload: Workload, impls: list[type], data: Data, rounds: int, min_round: float = MIN_ROUND) -> Row:
    units = workload.batch or len(data.keys)
    base_states = [None if workload.fresh else workload.prepare(cls, data) for cls in impls]
    calls = [_calibrate(workload, cls, data, st, min_round) for cls, st in zip(impls, base_states)]
    ns: list[list[float]] = [[] for _ in impls]
    for r in range(rounds):
        # Built before any clock starts, so that a round's three timings follow
        # each other without the preparation in between.
        states = None
        states = [_states(workload, cls, data, st, k) for cls, st, k in zip(impls, base_states, calls)]
        for j in range(len(impls)):
            i = (r + j) % len(impls)
            ns[i].append(_clock(workload.timed, states[i]) / (calls[i] * units) * 1e9)
        del states
    ratios = [[t / b for t, b in zip(ns[i], ns[0])] for i in range(1, len(impls))]
    return Row(workload.family, workload.name, data.kind, len(data.keys),
               [statistics.median(t) for t in ns], ratios, ns)


def rounds_for(n: int, rounds: int | None, quick: bool) -> int:
    if rounds:
        return rounds
    if quick:
        return QUICK_ROUNDS
    return LARGE_ROUNDS if n >= LARGE_N else DEFAULT_ROUNDS


def run(family: str, sizes, kinds, rounds: int | None = None, select: str | None = None, quick: bool = False,
        progress=None) -> list[Row]:
    impls = FAMILIES[family].impls
    rows = []
    for n in sizes:
        for kind in kinds:
            data = make_keys(kind, n)
            for w in WORKLOADS:
                if w.family != family or (select and select not in w.name):
                    continue
                row = measure(w, impls, data, rounds_for(n, rounds, quick))
                row.target = target_for(family, w.name, n)
                rows.append(row)
                if progress:
                    progress(row)
            del data
            gc.collect()
    return rows


def _size(n: int) -> str:
    return f"{n:.0e}".replace("e+0", "e")


def format_table(family: str, rows: list[Row], markdown: bool = False) -> str:
    names = [c.__name__ for c in FAMILIES[family].impls]
    header = ["operation", "keys", "N", f"{names[0]} ns"]
    for name in names[1:]:
        header += [f"{name} ns", "ratio", "min-max"]
    header.append("target")
    body = []
    for r in rows:
        line = [r.workload, r.kind, _size(r.n), f"{r.ns[0]:.1f}"]
        for i, t in enumerate(r.ns[1:]):
            line += [f"{t:.1f}", f"{r.ratio(i):.2f}", f"{min(r.ratios[i]):.2f}-{max(r.ratios[i]):.2f}"]
        line.append(str(r.target) if r.target else "")
        body.append(line)
    if markdown:
        align = ["---", "---", "---:"] + ["---:"] * (len(header) - 4) + ["---"]
        out = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
        out += ["| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |" for line in body]
        return "\n".join(out)
    widths = [max(len(str(x)) for x in col) for col in zip(header, *body)]
    fmt = "  ".join(f"{{:<{w}}}" if i < 2 or i == len(widths) - 1 else f"{{:>{w}}}" for i, w in enumerate(widths))
    return "\n".join(fmt.format(*line).rstrip() for line in [header, *body])


def check(rows: list[Row]) -> tuple[list[str], int, int]:
    """One PASS or MISS line per brindle class of each row that has a target,
    and the counts of both."""
    lines, passed, missed = [], 0, 0
    for r in rows:
        if not r.target:
            continue
        impls = FAMILIES[r.family].impls
        for i, cls in enumerate(impls[1:]):
            ratio, ns = r.ratio(i), r.ns[i + 1]
            ok = r.target.met(ratio, ns)
            passed += ok
            missed += not ok
            if r.target.absolute:
                rounds = r.rounds_ns[i + 1]
                got, spread = f"{ns:.0f} ns", f"rounds {min(rounds):.0f}-{max(rounds):.0f} ns"
            else:
                got, spread = f"{ratio:.2f}", f"rounds {min(r.ratios[i]):.2f}-{max(r.ratios[i]):.2f}"
            spread += f", {impls[0].__name__} {r.ns[0]:.1f} ns"
            lines.append(f"{'PASS' if ok else 'MISS'}  {r.workload:<28} {r.kind:<3} {_size(r.n):>3}  "
                         f"{cls.__name__:<14} {got:>8} {r.target}  ({spread})")
    return lines, passed, missed


def _check_targets_registered(families) -> None:
    """A misspelt name in TARGETS would drop its rows from --check unnoticed."""
    for family in families:
        names = {w.name for w in WORKLOADS if w.family == family}
        unknown = sorted(set(TARGETS.get(family, {})) - names)
        if unknown:
            raise SystemExit(f"TARGETS names {family} workloads that are not registered: {unknown}")


def cli(families: list[str], argv=None, check_default: bool = False) -> int:
    """The command line shared by the benchmark scripts: runs the workloads
    registered under `families` and prints each against its baseline."""
    p = argparse.ArgumentParser(description=sys.modules["__main__"].__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help=f"N = 10^3 and 10^4, {QUICK_ROUNDS} rounds")
    p.add_argument("--sizes", type=lambda s: [int(float(x)) for x in s.split(",")],
                   help="e.g. 1e3,1e5 (default 1e3,1e6)")
    p.add_argument("--keys", default="int,str", help="key kinds: int,str")
    p.add_argument("--rounds", type=int,
                   help=f"interleaved rounds per workload (default {DEFAULT_ROUNDS}, {LARGE_ROUNDS} at N >= 10^6)")
    p.add_argument("--only", help="run only workloads whose name contains this text")
    p.add_argument("--markdown", action="store_true", help="print Markdown tables")
    p.add_argument("--clock", choices=list(CLOCKS), default="wall",
                   help="time rounds by wall time (default) or by the thread's CPU time")
    p.add_argument("--check", action="store_true", default=check_default,
                   help="hold the ratios to TARGETS; exit 1 if any is missed")
    args = p.parse_args(argv)
    _check_targets_registered(families)
    global clock
    clock = CLOCKS[args.clock]

    sizes = args.sizes or ([10**3, 10**4] if args.quick else [10**3, 10**6])
    kinds = args.keys.split(",")
    rounds = ", ".join(f"{_size(n)}: {rounds_for(n, args.rounds, args.quick)}" for n in sizes)
    print(f"# python {sys.version.split()[0]} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}),"
          f" brindle from {brindle.__file__}", file=sys.stderr)
    per_call = ", ".join(w.name for w in WORKLOADS if w.batch and w.family in families)
    per_call = f" (per call for {per_call})" if per_call else ""
    print(f"# interleaved rounds ({rounds}), each >= {MIN_ROUND * 1e3:g} ms of {args.clock} time per implementation;"
          f" ns = median per item{per_call};"
          f" ratio = median of per-round brindle / builtin, min-max over the rounds", file=sys.stderr)

    def progress(r: Row) -> None:
        ratios = " ".join(f"{r.ratio(i):.2f}" for i in range(len(r.ratios)))
        print(f"  {r.family} {r.workload} {r.kind} {_size(r.n)}: {r.ns[0]:.1f} ns, ratios {ratios}",
              file=sys.stderr, flush=True)

    started = time.perf_counter()
    all_rows = []
    for family in families:
        rows = run(family, sizes, kinds, args.rounds, args.only, args.quick, progress)
        if not rows:
            continue
        all_rows += rows
        if len(families) > 1:
            impls = FAMILIES[family].impls
            print(f"\n{', '.join(c.__name__ for c in impls[1:])} vs {impls[0].__name__},"
                  f" ns per {FAMILIES[family].unit}\n")
        print(format_table(family, rows, markdown=args.markdown))
    print(f"# {time.perf_counter() - started:.0f} s", file=sys.stderr)
    if not args.check:
        return 0

    lines, passed, missed = check(all_rows)
    if not lines:
        print("\ncheck: no row run has a target (targets are at N = 10^3 and 10^6)")
        return 2
    print("\n" + "\n".join(lines))
    print(f"check: {passed} of {passed + missed} targets met, {missed} missed")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(cli(["map"]))
