"""Measures what the plots of `make bench` show, and writes the numbers down.

    python bench/python/suite.py [--quick] [--out bench/results] [--sections time,probes,memory,fill]

Sections, each a list of rows in <out>/python.json and a CSV file of its own:

  time    ns per operation against N for dict, ElasticHashMap and
          FunnelHashMap: `m[k]`, `k in m (miss)`, `m[k] = v (new)` and
          `for k in m`, int and str keys.  Timed by bench_maps.measure, the
          harness of bench_maps.py (interleaved rounds, medians).
  probes  probe_stats() of both maps, each made for N items at a reserve
          fraction and filled to its capacity.
  memory  sys.getsizeof per item of dict, set and the four classes, grown
          by insertion, at the default reserve fraction and at 0.01: each
          length at which the size changes.
  fill    `m[k]` hits and misses in both maps at reserve fraction 0.01,
          made for N items and filled to 50% ... 100% of their capacity,
          each against a dict of the same keys in the same rounds.

One progress line per measurement goes to standard error.  Rounds are timed
by the thread's CPU time (--clock wall for wall time): on a machine shared
with other work a round that lost its core for a few milliseconds would
otherwise count those in.  The cache misses another process causes still
count, so a quiet machine gives the steadiest numbers.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import gc
import json
import os
import platform
import random
import subprocess
import sys
import time
from pathlib import Path

import bench_maps
import brindle
from bench_maps import WORKLOADS, Data, make_keys, measure

MAPS = [brindle.ElasticHashMap, brindle.FunnelHashMap]
SETS = [brindle.ElasticHashSet, brindle.FunnelHashSet]
# The defaults the classes use when given no reserve fraction (README:
# Capacity and reserve fraction), passed explicitly so that a label can
# never disagree with the table it names.
DEFAULT_DELTA = {"Elastic": 0.25, "Funnel": 0.125}
FUNNEL_MAX_DELTA = 0.125

TIME_WORKLOADS = ["m[k]", "k in m (miss)", "m[k] = v (new)", "for k in m"]
PROBE_DELTAS = [0.25, 0.1, 0.05, 0.01, 0.005, 0.001]
FILLS = [0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99, 1.0]
FILL_DELTA = 0.01
# Lookups timed per fill level, drawn from all the keys present.
FILL_SAMPLE = 100_000
PROBE_COLUMNS = ["hit_avg", "hit_max", "miss_avg", "miss_max"]

# Interleaved rounds per measurement (bench_maps.measure); set by main.
QUICK_ROUNDS = 5
FULL_ROUNDS = 7
rounds = FULL_ROUNDS
# Least CPU time per implementation and round: four times bench_maps.py's,
# as a run here is short enough to afford rounds that average more.
MIN_ROUND = 0.02


def family_of(cls) -> str:
    return "Elastic" if cls.__name__.startswith("Elastic") else "Funnel"


def default_delta(cls) -> float:
    return DEFAULT_DELTA[family_of(cls)]


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def workload(name: str):
    return next(w for w in WORKLOADS if w.family == "map" and w.name == name)


# ---- time per operation against N ---------------------------------------------------------


def section_time(quick: bool) -> list[dict]:
    sizes = [10**3, 3 * 10**3, 10**4, 3 * 10**4, 10**5]
    if not quick:
        sizes += [3 * 10**5, 10**6]
    impls = [dict, *MAPS]
    rows = []
    for kind in ("int", "str"):
        for n in sizes:
            data = make_keys(kind, n)
            for name in TIME_WORKLOADS:
                r = measure(workload(name), impls, data, rounds, MIN_ROUND)
                rows.append({
                    "workload": name, "keys": kind, "n": n, "rounds": rounds,
                    "impls": [c.__name__ for c in impls],
                    "ns": r.ns, "ns_rounds": r.rounds_ns,
                    "ratio": [r.ratio(i) for i in range(len(MAPS))],
                })
                log(f"  time {name:<16} {kind} N={n:<9,} ns: "
                    + ", ".join(f"{c.__name__} {t:.1f}" for c, t in zip(impls, r.ns)))
            del data
            gc.collect()
    return rows


# ---- probe groups against the reserve fraction --------------------------------------------


def fill_to_capacity(c, rng: random.Random, kind: str = "int") -> list:
    """Inserts fresh random keys until `c` holds `c.capacity` of them, the
    most it takes without growing, and returns them."""
    cap = c.capacity
    keys = []
    setter = c.add if hasattr(c, "add") else (lambda k: c.__setitem__(k, None))
    while len(c) < cap:
        k = rng.getrandbits(62)
        setter(k)
        keys.append(k)
    if c.capacity != cap:
        raise RuntimeError(f"{type(c).__name__} grew while being filled to its capacity {cap}")
    return keys


def probe_deltas(cls) -> list[float]:
    """The funnel classes take at most 1/8: 0.125 stands in for 0.25."""
    if family_of(cls) == "Funnel":
        return [min(d, FUNNEL_MAX_DELTA) for d in PROBE_DELTAS]
    return list(PROBE_DELTAS)


def section_probes(quick: bool) -> list[dict]:
    n = 10**5 if quick else 10**6
    rows = []
    for cls in MAPS:
        if not hasattr(cls, "probe_stats"):
            log(f"  probes: {cls.__name__} has no probe_stats(); section skipped")
            return []
        for delta in probe_deltas(cls):
            m = cls.with_options(capacity=n, reserve_fraction=delta)
            t0 = time.perf_counter()
            fill_to_capacity(m, random.Random(1))
            # Every present key, and as many absent hash words: the maximum
            # is then the table's own worst hit, not a sample's.
            stats = m.probe_stats(sample=len(m), seed=0)
            rows.append({"cls": cls.__name__, "reserve_fraction": delta, "n": n, **stats})
            log(f"  probes {cls.__name__} delta={delta:<6} len={stats['len']:,} load={stats['load']:.4f}: "
                f"hit {stats['hit_avg']:.2f}/{stats['hit_max']}, miss {stats['miss_avg']:.2f}/{stats['miss_max']}"
                f" ({time.perf_counter() - t0:.1f} s)")
            del m
            gc.collect()
    return rows


# ---- bytes per item -------------------------------------------------------------------------


def size_steps(make, is_set: bool, keys: list, start: int) -> list[list[int]]:
    """Inserts `keys` one by one into `make()`, and returns [first, last,
    bytes] for each run of lengths at which sys.getsizeof stays the same,
    from the run that holds length `start` on: the exact sawtooth that
    growth draws, rather than samples of it."""
    c = make()
    add = c.add if is_set else (lambda k: c.__setitem__(k, None))
    steps: list[list[int]] = []
    size = -1
    for i, k in enumerate(keys, 1):
        add(k)
        now = sys.getsizeof(c)
        if now != size:
            if steps:
                steps[-1][1] = i - 1
            steps.append([i, i, now])
            size = now
    steps[-1][1] = len(keys)
    return [st for st in steps if st[1] >= start]


def section_memory(quick: bool) -> list[dict]:
    start, top = 10**3, 10**5 if quick else 10**6
    keys = random.Random(2).sample(range(8 * top), top)
    makers = [("dict", None, dict, False), ("set", None, set, True)]
    for cls in MAPS + SETS:
        for delta in (default_delta(cls), 0.01):
            makers.append((cls.__name__, delta, (lambda c=cls, d=delta: c.with_options(reserve_fraction=d)),
                           cls in SETS))
    rows = []
    for name, delta, make, is_set in makers:
        steps = size_steps(make, is_set, keys, start)
        per_item = [b / n for first, last, b in steps for n in (max(first, start), last)]
        rows.append({"cls": name, "reserve_fraction": delta, "start": start, "steps": steps})
        log(f"  memory {name:<14} {'' if delta is None else f'delta={delta:g}':<11} bytes per item from"
            f" {start:,} to {top:,}: {min(per_item):.1f} to {max(per_item):.1f}, {per_item[-1]:.1f} at {top:,}")
    return rows


# ---- lookup time against fill ---------------------------------------------------------------


class Sized:
    """Stands in for a class in the harness, which makes its containers by
    calling the class: a map of a fixed capacity and reserve fraction."""

    def __init__(self, cls, capacity: int, delta: float):
        self.cls, self.capacity, self.delta = cls, capacity, delta
        self.__name__ = cls.__name__

    def __call__(self):
        return self.cls.with_options(capacity=self.capacity, reserve_fraction=self.delta)


def section_fill(quick: bool) -> list[dict]:
    n = 10**5 if quick else 10**6
    hit, miss = workload("m[k]"), workload("k in m (miss)")
    rows = []
    for cls in MAPS:
        sized = Sized(cls, n, FILL_DELTA)
        m, d = sized(), {}
        cap = m.capacity
        rng = random.Random(3)
        pool = rng.sample(range(16 * cap), 2 * cap)
        present, absent = pool[:cap], pool[cap:]
        for f in FILLS:
            # Filled further for each level: the same insertions, in the same
            # order, as a map built afresh to that count would see.
            for k in present[len(m):round(f * cap)]:
                m[k] = k
                d[k] = k
            if m.capacity != cap:
                raise RuntimeError(f"{cls.__name__} grew at {f:.0%} of its capacity {cap}")
            # Lookups of a random sample of the keys: the same mix of levels
            # and cache misses as all of them, in a fraction of the time.
            sample = rng.sample(present[:len(m)], min(len(m), FILL_SAMPLE))
            data = Data("int", sample, absent[:len(sample)])
            # The harness's shared containers: these two, not ones it builds.
            data.cache[(dict, "keys")], data.cache[(sized, "keys")] = d, m
            row = {"cls": cls.__name__, "reserve_fraction": FILL_DELTA, "n": n, "capacity": cap, "fill": f,
                   "len": len(m), "sample": len(sample)}
            for w, key in ((hit, "hit"), (miss, "miss")):
                r = measure(w, [dict, sized], data, rounds, MIN_ROUND)
                row[f"{key}_ns"], row[f"{key}_dict_ns"], row[f"{key}_ratio"] = r.ns[1], r.ns[0], r.ratio(0)
            if hasattr(m, "probe_stats"):
                stats = m.probe_stats(sample=len(m), seed=0)
                row.update({f"probe_{k}": stats[k] for k in PROBE_COLUMNS})
            rows.append(row)
            log(f"  fill {cls.__name__} {f:>4.0%} ({len(m):,} of {cap:,}): hit {row['hit_ns']:.1f} ns"
                f" (dict {row['hit_dict_ns']:.1f}), miss {row['miss_ns']:.1f} ns (dict {row['miss_dict_ns']:.1f})")
            del data
        del m, d, pool, present, absent
        gc.collect()
    return rows


# ---- the run ----------------------------------------------------------------------------------

SECTIONS = {"time": section_time, "probes": section_probes, "memory": section_memory, "fill": section_fill}


def _git(root: Path, *args: str) -> str:
    try:
        return subprocess.run(["git", "-C", str(root), *args], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def machine() -> dict:
    root = Path(__file__).resolve().parents[2]
    commit = _git(root, "rev-parse", "--short", "HEAD")
    if commit and _git(root, "status", "--porcelain", "--untracked-files=no"):
        commit += " with uncommitted changes"
    os_name = cpu = ""
    try:
        os_name = dict(line.rstrip().split("=", 1) for line in open("/etc/os-release") if "=" in line)[
            "PRETTY_NAME"].strip('"')
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    except (OSError, KeyError, StopIteration):
        pass
    try:
        gxx = subprocess.run(["g++", "-dumpfullversion"], capture_output=True, text=True).stdout.strip()
    except OSError:
        gxx = ""
    return {
        "commit": commit, "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "os": os_name or platform.platform(), "cpu": cpu, "cores": os.cpu_count(), "gxx": gxx,
        "python": sys.version.split()[0] + ("" if sys._is_gil_enabled() else " free-threaded"),
        "brindle": brindle.__file__,
    }


CSV_COLUMNS = {
    "time": ["workload", "keys", "n", "impl", "ns", "ns_min", "ns_max", "ratio"],
    "probes": ["cls", "reserve_fraction", "n", "len", "capacity", "slots", "load", *PROBE_COLUMNS],
    "memory": ["cls", "reserve_fraction", "first", "last", "bytes"],
    "fill": ["cls", "reserve_fraction", "n", "capacity", "fill", "len", "sample", "hit_ns", "hit_dict_ns", "hit_ratio",
             "miss_ns", "miss_dict_ns", "miss_ratio", *(f"probe_{k}" for k in PROBE_COLUMNS)],
}


def csv_rows(section: str, result) -> list[dict]:
    if section == "memory":
        return [{"cls": r["cls"], "reserve_fraction": r["reserve_fraction"], "first": first, "last": last,
                 "bytes": size} for r in result for first, last, size in r["steps"]]
    if section == "time":
        out = []
        for r in result:
            for i, impl in enumerate(r["impls"]):
                out.append({"workload": r["workload"], "keys": r["keys"], "n": r["n"], "impl": impl, "ns": r["ns"][i],
                            "ns_min": min(r["ns_rounds"][i]), "ns_max": max(r["ns_rounds"][i]),
                            "ratio": 1.0 if i == 0 else r["ratio"][i - 1]})
        return out
    return result


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help=f"smaller N (10^5 at most) and {QUICK_ROUNDS} rounds")
    p.add_argument("--out", type=Path, default=Path(__file__).resolve().parents[1] / "results")
    p.add_argument("--clock", choices=list(bench_maps.CLOCKS), default="cpu")
    p.add_argument("--rounds", type=int, help=f"interleaved rounds per measurement (default {FULL_ROUNDS},"
                   f" {QUICK_ROUNDS} with --quick)")
    p.add_argument("--sections", default=",".join(SECTIONS), help=f"comma-separated, of {', '.join(SECTIONS)}")
    args = p.parse_args(argv)
    sections = args.sections.split(",")
    unknown = [s for s in sections if s not in SECTIONS]
    if unknown:
        p.error(f"unknown sections {unknown}")

    bench_maps.clock = bench_maps.CLOCKS[args.clock]
    global rounds
    rounds = args.rounds or (QUICK_ROUNDS if args.quick else FULL_ROUNDS)
    args.out.mkdir(parents=True, exist_ok=True)
    meta = {**machine(), "quick": args.quick, "clock": args.clock, "rounds": rounds, "seconds": {}}
    log(f"# brindle {meta['commit']} on Python {meta['python']}, {meta['os']}, {meta['cores']} cores;"
        f" from {meta['brindle']}")
    results: dict = {"meta": meta}
    for name in sections:
        log(f"{name}:")
        t0 = time.perf_counter()
        results[name] = SECTIONS[name](args.quick)
        meta["seconds"][name] = round(time.perf_counter() - t0, 1)
        log(f"  ({meta['seconds'][name]:.0f} s)")
        with open(args.out / f"{name}.csv", "w", newline="") as f:
            w = csv.DictWriter(f, CSV_COLUMNS[name], extrasaction="ignore")
            w.writeheader()
            w.writerows(csv_rows(name, results[name]))
        # After every section, so that a run cut short keeps what it measured.
        with open(args.out / "python.json", "w") as f:
            json.dump(results, f, indent=1)
    log(f"# wrote {args.out / 'python.json'} and {', '.join(s + '.csv' for s in sections)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
