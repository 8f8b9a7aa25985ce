"""Borrow conflicts provoked from __hash__ and __eq__, reference counts and late
releases, for the maps and the sets."""

import gc
import sys

import pytest

from support import BORROWED, MAP_CLASSES, MUT, SET_CLASSES, HookKey, bumped, filled, raises_exactly, raising_after


# Per kind: calls that hash the key they are given while they hold the
# container exclusively, calls that do so while holding it shared, and what
# the key's __hash__ then does to the container, with the error a call
# holding it exclusively meets.
COMMON = {
    "len": (len, MUT),
    "iter": (iter, MUT),
    "clear": (lambda c: c.clear(), BORROWED),
}
KINDS = {
    MAP_CLASSES: {
        "mutating": {
            "setitem": lambda m, k: m.__setitem__(k, "v"),
            "setdefault": lambda m, k: m.setdefault(k),
            "update-pairs": lambda m, k: m.update([(k, 1)]),
        },
        "reading": {"get": lambda m, k: m.get(k)},
        "inner": {**COMMON, "eq-dict": (lambda m: m == {0: 0}, MUT), "ror": (lambda m: {} | m, MUT),
                  "setitem": (lambda m: m.__setitem__(1, 1), BORROWED)},
    },
    SET_CLASSES: {
        "mutating": {
            "add": lambda s, k: s.add(k),
            "ior": lambda s, k: s.__ior__([k]),
            "intersection_update": lambda s, k: s.intersection_update([k]),
        },
        "reading": {"contains": lambda s, k: k in s, "union": lambda s, k: s.union([k])},
        "inner": {**COMMON, "set-eq": (lambda s: {0} == s, MUT),
                  "add": (lambda s: s.add(1), BORROWED)},
    },
}  # fmt: skip


def cases(outer_kind):
    return [
        pytest.param(cls, outer, inner, message, id=f"{cls.__name__}-{on}-{name}")
        for classes, kind in KINDS.items()
        for cls in classes
        for on, outer in kind[outer_kind].items()
        for name, (inner, message) in kind["inner"].items()
    ]


@pytest.mark.parametrize("cls, outer, inner, message", cases("mutating") + cases("reading"))
def test_hash_touching_the_container_during_a_call(cls, outer, inner, message):
    c = filled(cls, [0])
    it = iter(c)
    reading = outer in KINDS[SET_CLASSES if cls in SET_CLASSES else MAP_CLASSES]["reading"].values()
    if reading and message == MUT:  # a read, which goes ahead beside another
        outer(c, HookKey("k", lambda: inner(c)))
    else:
        with raises_exactly(RuntimeError, message):
            outer(c, HookKey("k", lambda: inner(c)))
    assert list(c) == [0] and not bumped(it)  # the version did not move
    c.clear()  # and every borrow was given back


@pytest.mark.parametrize(
    "inner, message",
    [(len, MUT), (lambda m: m.__setitem__(1, 1), BORROWED), (lambda m: m.clear(), BORROWED), (iter, MUT)],
    ids=["read", "setitem", "clear", "iter"],
)
def test_eq_touching_the_map_is_unequal(map_cls, inner, message):
    m = map_cls()
    m[HookKey("same")] = "stored"
    seen = []

    def hook():
        try:
            inner(m)
        except BaseException as e:
            seen.append(str(e))
            raise

    m[HookKey("same", on_eq=hook)] = "probe"  # the comparison failed, so the probe is a new key
    assert seen == [message] and len(m) == len(list(m)) == 2


# ---- reference counts -------------------------------------------------------------------


def swallowing(*calls):
    for call in calls:
        try:
            call()
        except (TypeError, KeyError, LookupError):
            pass


NONE = (0, 0, 0, 0, 0, 0)
# The container holds k1 (a map: with v1; a set: and v1). k2 equals k1, k3 is absent.
# Each case: the operation, then the changes of the counts of k1, v1, k2, v2, k3, v3.
REFCOUNTS = {
    "map-reads": (lambda m, k1, v1, k2, v2, k3, v3: (
        m[k2], m.get(k3, v3), k2 in m, k3 in m, list(m), iter(m), list(m.items()), repr(m), m.copy(), m == {k2: v1},
        m == {k3: v3}, m.setdefault(k2, v2), m.pop(k3, v3), type(m).fromkeys([k3, k3], v3)), NONE),
    "map-failures": (lambda m, k1, v1, k2, v2, k3, v3: swallowing(lambda: m.__setitem__([], v3),
        lambda: m.__delitem__(k3), lambda: m.pop(k3), lambda: type(m)(raising_after([(k3, v3)]))), NONE),
    "map-store-new": (lambda m, k1, v1, k2, v2, k3, v3: m.__setitem__(k3, v3), (0, 0, 0, 0, 1, 1)),
    "map-store-replace": (lambda m, k1, v1, k2, v2, k3, v3: m.__setitem__(k2, v2), (0, -1, 0, 1, 0, 0)),
    "map-update": (lambda m, k1, v1, k2, v2, k3, v3: m.update({k2: v2, k3: v3}), (0, -1, 0, 1, 1, 1)),
    "map-pop": (lambda m, k1, v1, k2, v2, k3, v3: m.pop(k2), (-1, -1, 0, 0, 0, 0)),
    "map-clear": (lambda m, k1, v1, k2, v2, k3, v3: m.clear(), (-1, -1, 0, 0, 0, 0)),
    "set-reads": (lambda s, k1, v1, k2, v2, k3, v3: (
        k2 in s, k3 in s, list(s), repr(s), s.copy(), s == {k2, v1}, s | [k3], [k3] | s, s.union([k3]), s & [k2],
        [k3] - s, s ^ [k3], s.issubset([k3]), s.isdisjoint([k2]), s.discard(k3)), NONE),
    "set-failures": (lambda s, k1, v1, k2, v2, k3, v3: swallowing(lambda: s.add([]), lambda: s.remove(k3),
        lambda: type(s)([k3, []]), lambda: type(s)(raising_after([k3]))), NONE),
    "set-ior": (lambda s, k1, v1, k2, v2, k3, v3: s.__ior__([k2, k3]), (0, 0, 0, 0, 1, 0)),
    "set-iand": (lambda s, k1, v1, k2, v2, k3, v3: s.__iand__([k2, *range(30)]), (0, -1, 0, 0, 0, 0)),
    "set-ixor": (lambda s, k1, v1, k2, v2, k3, v3: s.__ixor__([k2, k3]), (-1, 0, 0, 0, 1, 0)),
    "set-pop": (lambda s, k1, v1, k2, v2, k3, v3: [s.pop() for _ in range(len(s))], (-1, -1, 0, 0, 0, 0)),
}  # fmt: skip


def run_case(case, twin):
    """Runs one case on a container holding k1 (and v1) among 30 others; returns the six objects."""
    op, _ = REFCOUNTS[case]
    cls = (MAP_CLASSES if case.startswith("map") else SET_CLASSES)[twin]
    objs = k1, v1, *_ = HookKey("a"), object(), HookKey("a"), object(), HookKey("c"), object()
    c = filled(cls, range(30))  # company, so the table is not trivially small
    c.update({k1: v1} if cls in MAP_CLASSES else [k1, v1])
    return c, op, objs


@pytest.mark.parametrize("twin", [0, 1])
@pytest.mark.parametrize("case", REFCOUNTS)
def test_reference_counts(twin, case):
    c, op, objs = run_case(case, twin)
    base = [sys.getrefcount(o) for o in objs]
    op(c, *objs)
    after = [sys.getrefcount(o) for o in objs]
    assert [a - b for a, b in zip(after, base)] == list(REFCOUNTS[case][1])
    del c
    assert [sys.getrefcount(o) for o in objs] == [b - held for b, held in zip(base, (1, 1, 0, 0, 0, 0))]


def test_no_memory_blocks_leak():
    def rounds(n):
        for _ in range(n):
            for case in REFCOUNTS:
                for twin in (0, 1):
                    c, op, objs = run_case(case, twin)
                    op(c, *objs)

    # The interpreter's caches and free lists take a while to settle, and then
    # still move by a hundred blocks or so now and then.  A leak of one block
    # per run of any case adds 200 to every window; noise leaves one of three
    # nearly flat.
    rounds(100)
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        rounds(100)
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    assert min(growth) < 100, growth


class ReadsOnDel:
    """Writes to the map when finalised, then records what it looks like."""

    def __init__(self, m, log):
        self.m, self.log = m, log

    def __del__(self):
        self.m["written-from-del"] = 1  # a map still borrowed would raise here, and nothing be logged
        del self.m["written-from-del"]
        self.log.append((len(self.m), self.m.get("k"), sorted(map(str, self.m))))


@pytest.mark.parametrize(
    "as_key, op, seen",
    [
        (False, lambda m: m.__delitem__("k"), (1, None, ["other"])),
        (False, lambda m: m.__setitem__("k", "new"), (2, "new", ["k", "other"])),
        (True, lambda m: m.clear(), (0, None, [])),
    ],
    ids=["del", "replace", "clear-key"],
)
def test_finalizers_of_removed_objects_can_use_the_map(map_cls, as_key, op, seen):
    m, log = map_cls(), []
    if as_key:
        m[ReadsOnDel(m, log)] = "v"
    else:
        m["k"] = ReadsOnDel(m, log)
    m["other"] = 0
    op(m)
    assert log == [seen]
