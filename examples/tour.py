"""A one-minute tour of brindle: dict and set replacements backed by elastic
and funnel hashing, tables that never move an entry once it is placed."""

import sys
import sysconfig
import time

from brindle import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet


def section(title: str) -> None:
    print(f"\n== {title}")


def drop_in() -> None:
    section("Drop-in use")
    for cls in (ElasticHashMap, FunnelHashMap):
        m = cls({"apple": 3, "pear": 5}, plum=7)
        m["fig"] = 1
        m.update([("kiwi", 2)])
        del m["pear"]
        merged = m | {"apple": 10}
        print(f"{cls.__name__:15} {m!r}")
        print(f"{'':15} sorted items {sorted(m.items())}; merged apple={merged['apple']}; "
              f"'fig' in m: {'fig' in m}; m == dict(m.items()): {m == dict(m.items())}")
    for cls in (ElasticHashSet, FunnelHashSet):
        s = cls("abracadabra")
        s |= "xyz"
        s -= {"a"}
        print(f"{cls.__name__:15} {s!r} elements {sorted(s)}; & 'bcx' -> {sorted(s & 'bcx')}; "
              f"s == set(s): {s == set(s)}")


def time_per_op(fn, n: int, repeat: int = 3) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best / n * 1e9


def full_table() -> None:
    section("A table filled to 99% of its capacity")
    n = 200_000
    m = ElasticHashMap.with_options(capacity=n, reserve_fraction=0.01)
    cap = m.capacity
    keys = list(range(cap))
    for k in keys:
        m[k] = k
    print(f"ElasticHashMap.with_options(capacity={n}, reserve_fraction=0.01): "
          f"{len(m)} items at capacity {m.capacity} (no growth: every slot choice is final)")
    d = dict.fromkeys(keys, 0)

    def lookups(c):
        def run():
            for k in keys:
                c[k]
        return run

    full_ns = time_per_op(lookups(m), len(keys))
    half = ElasticHashMap.fromkeys(range(cap // 2), 0)
    half_keys = keys[: cap // 2]

    def half_run():
        for k in half_keys:
            half[k]

    print(f"lookup: {full_ns:.0f} ns at 99% full, {time_per_op(half_run, len(half_keys)):.0f} ns "
          f"at {len(half) / half.capacity:.0%} full, dict {time_per_op(lookups(d), len(keys)):.0f} ns")


def side_by_side() -> None:
    section("Side by side (int keys, 100,000 items; ns per item, 1st item = next(iter(c)) in ns; bytes per item)")
    n = 100_000
    keys = list(range(n))
    misses = list(range(n, 2 * n))
    rows = []
    for label, make, is_set in (
        ("dict", dict, False),
        ("ElasticHashMap", ElasticHashMap, False),
        ("FunnelHashMap", FunnelHashMap, False),
        ("set", set, True),
        ("ElasticHashSet", ElasticHashSet, True),
        ("FunnelHashSet", FunnelHashSet, True),
    ):
        c = make()

        def insert():
            c.clear()
            if is_set:
                for k in keys:
                    c.add(k)
            else:
                for k in keys:
                    c[k] = k

        def hit():
            for k in keys:
                k in c

        def miss():
            for k in misses:
                k in c

        def iterate():
            for _ in c:
                pass

        def copy():
            c.copy()

        def first():  # an iterator reads the table as it goes: no up-front copy
            for _ in range(1000):
                next(iter(c))

        row = [label, time_per_op(insert, n), time_per_op(hit, n), time_per_op(miss, n), time_per_op(iterate, n),
               time_per_op(copy, n), time_per_op(first, 1000)]
        row.append(sys.getsizeof(c) / len(c))
        rows.append(row)
    print(f"{'':16}{'insert':>9}{'hit':>9}{'miss':>9}{'iterate':>9}{'copy':>9}{'1st item':>9}{'bytes':>9}")
    for label, *vals in rows:
        print(f"{label:16}" + "".join(f"{v:9.1f}" for v in vals))


def main() -> None:
    ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    build = "free-threaded" if ft else "GIL"
    print(f"brindle on Python {sys.version.split()[0]} ({build} build)", end="")
    print(f"; GIL enabled after import: {sys._is_gil_enabled()}" if ft else "")
    drop_in()
    full_table()
    side_by_side()


if __name__ == "__main__":
    main()
