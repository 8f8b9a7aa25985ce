"""Per-operation timings of brindle's map classes against dict, in one run.

    PYTHONPATH=<dir with brindle> python bench/python/bench_maps.py [--quick]

Every workload runs the same Python loop over each implementation, so the
interpreter's loop overhead is in every number and the ratios compare like
with like.  Times are the best of a few repeats, in nanoseconds per item.

The module is meant to be extended: a workload is a `Workload` registered
under a family ("map" here); a family names the implementations it compares,
the first being the baseline that ratios are taken against.  Later workloads
(update, views, sets) register themselves the same way and reuse `run`,
`make_keys` and the table printer.
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import brindle

# ---- registry ---------------------------------------------------------------------

FAMILIES: dict[str, list[type]] = {
    "map": [dict, brindle.ElasticHashMap, brindle.FunnelHashMap],
}


@dataclass
class Workload:
    """`prepare(cls, data)` builds what one timed call needs (outside the
    clock); `timed(state)` is what the clock measures.  `prepare` runs again
    before every repeat when `fresh` is set (for workloads that consume
    their input, such as deletion)."""

    name: str
    family: str
    prepare: Callable
    timed: Callable
    fresh: bool = False


WORKLOADS: list[Workload] = []


def register(workload: Workload) -> Workload:
    WORKLOADS.append(workload)
    return workload


# ---- inputs ---------------------------------------------------------------------------


@dataclass
class Data:
    """Keys present in the map (in a shuffled order), keys that are not, and
    one value per key."""

    kind: str
    keys: list
    missing: list
    values: list = field(default_factory=list)


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


def filled(cls, data: Data):
    m = cls()
    for k, v in zip(data.keys, data.values):
        m[k] = v
    return m


# ---- the map workloads ------------------------------------------------------------


def _setitem(state):
    m, keys, values = state
    for k, v in zip(keys, values):
        m[k] = v


def _getitem(state):
    m, keys = state
    for k in keys:
        m[k]


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


def _copy(state):
    m, _ = state
    m.copy()


register(Workload("m[k] = v (new)", "map", lambda c, d: (c(), d.keys, d.values), _setitem, fresh=True))
register(Workload("m[k] = v (replace)", "map", lambda c, d: (filled(c, d), d.keys, d.values), _setitem))
register(Workload("m[k]", "map", lambda c, d: (filled(c, d), d.keys), _getitem))
register(Workload("k in m (hit)", "map", lambda c, d: (filled(c, d), d.keys), _contains))
register(Workload("k in m (miss)", "map", lambda c, d: (filled(c, d), d.missing), _contains))
register(Workload("del m[k]", "map", lambda c, d: (filled(c, d), d.keys), _delitem, fresh=True))
register(Workload("len(m)", "map", lambda c, d: (filled(c, d), d.keys), _len))
register(Workload("for k in m", "map", lambda c, d: (filled(c, d), None), _iterate))
register(Workload("m.copy()", "map", lambda c, d: (filled(c, d), None), _copy))


# ---- bulk insertion: update and | ---------------------------------------------------


def _update(state):
    m, source = state
    m.update(source)


def _merge(state):
    m, other = state
    m | other


def _pairs(data: Data) -> list:
    return list(zip(data.keys, data.values))


def _others(data: Data) -> Data:
    """The missing keys as a data set of their own."""
    return Data(data.kind, data.missing, [], data.values)


# Each update adds N new items to a map that already holds N other keys, so
# the target is rebuilt for every repeat.  (Into an empty dict, CPython copies
# a dict source's whole table at once, which says nothing about insertion.)
# For dict, "same class" and "dict" are the same operation.
register(Workload("update(same class)", "map", lambda c, d: (filled(c, _others(d)), filled(c, d)), _update, fresh=True))
register(Workload("update(dict)", "map", lambda c, d: (filled(c, _others(d)), dict(_pairs(d))), _update, fresh=True))
register(Workload("update(list of pairs)", "map", lambda c, d: (filled(c, _others(d)), _pairs(d)), _update, fresh=True))
# N items | N other items of the same class: a new map of 2N.
register(Workload("m | same class", "map", lambda c, d: (filled(c, d), filled(c, _others(d))), _merge))


# ---- running ------------------------------------------------------------------------------


def best_time(workload: Workload, cls, data: Data, repeat: int) -> float:
    """Best seconds of `repeat` timed calls."""
    state = None if workload.fresh else workload.prepare(cls, data)
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    try:
        for _ in range(repeat):
            if workload.fresh:
                state = None
                state = workload.prepare(cls, data)
            gc.disable()
            t0 = time.perf_counter()
            workload.timed(state)
            t1 = time.perf_counter()
            if gc_was_enabled:
                gc.enable()
            best = min(best, t1 - t0)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


@dataclass
class Row:
    workload: str
    kind: str
    n: int
    ns_per_item: list[float]  # one per implementation, baseline first


def run(family: str, sizes, kinds, repeat: int, select: str | None = None, progress=None) -> list[Row]:
    impls = FAMILIES[family]
    rows = []
    for n in sizes:
        for kind in kinds:
            data = make_keys(kind, n)
            for w in WORKLOADS:
                if w.family != family or (select and select not in w.name):
                    continue
                times = [best_time(w, cls, data, repeat) / n * 1e9 for cls in impls]
                rows.append(Row(w.name, kind, n, times))
                if progress:
                    progress(rows[-1])
    return rows


def format_table(family: str, rows: list[Row], markdown: bool = False) -> str:
    names = [c.__name__ for c in FAMILIES[family]]
    header = ["operation", "keys", "N", f"{names[0]} ns"]
    for name in names[1:]:
        header += [f"{name} ns", "ratio"]
    body = []
    for r in rows:
        base = r.ns_per_item[0]
        line = [r.workload, r.kind, f"{r.n:.0e}".replace("e+0", "e"), f"{base:.1f}"]
        for t in r.ns_per_item[1:]:
            line += [f"{t:.1f}", f"{t / base:.2f}"]
        body.append(line)
    if markdown:
        out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
        out += ["| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |" for line in body]
        return "\n".join(out)
    widths = [max(len(str(x)) for x in col) for col in zip(header, *body)]
    fmt = "  ".join(f"{{:<{w}}}" if i < 2 else f"{{:>{w}}}" for i, w in enumerate(widths))
    return "\n".join(fmt.format(*line) for line in [header, *body])


def cli(family: str, unit: str, argv=None) -> int:
    """The command line shared by the benchmark scripts: runs the workloads
    registered under `family` and prints them against its baseline."""
    baseline = FAMILIES[family][0].__name__
    p = argparse.ArgumentParser(description=sys.modules["__main__"].__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small sizes (10^3, 10^4) and fewer repeats")
    p.add_argument("--sizes", type=lambda s: [int(float(x)) for x in s.split(",")], help="e.g. 1e3,1e5")
    p.add_argument("--keys", default="int,str", help=f"{unit} kinds: int,str")
    p.add_argument("--repeat", type=int, help="repeats per measurement (best is kept)")
    p.add_argument("--only", help="run only workloads whose name contains this text")
    p.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = p.parse_args(argv)

    sizes = args.sizes or ([10**3, 10**4] if args.quick else [10**3, 10**5, 10**6])
    repeat = args.repeat or (3 if args.quick else 5)
    kinds = args.keys.split(",")
    print(f"# python {sys.version.split()[0]} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}),"
          f" best of {repeat}, ns per {unit}; ratio = brindle / {baseline}", file=sys.stderr)
    rows = run(family, sizes, kinds, repeat, args.only,
               progress=lambda r: print(f"  {r.workload} {r.kind} {r.n}", file=sys.stderr, flush=True))
    print(format_table(family, rows, markdown=args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(cli("map", "item"))
