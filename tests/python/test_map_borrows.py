"""Borrow conflicts, PanicException, reference counts and late releases of both map classes."""

import sys
import threading

import pytest

from support import BORROWED, MUT


class HookKey:
    """Runs `hook` (once armed) from __hash__ or __eq__; equal by name."""

    def __init__(self, name, on_hash=None, on_eq=None):
        self.name = name
        self.on_hash = on_hash
        self.on_eq = on_eq

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return 42

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return isinstance(other, HookKey) and other.name == self.name


READS = {
    "len": lambda m: len(m),
    "get": lambda m: m.get(0),
    "getitem": lambda m: m[0],
    "contains": lambda m: 0 in m,
    "repr": lambda m: repr(m),
    "capacity": lambda m: m.capacity,
    "copy": lambda m: m.copy(),
    "eq-dict": lambda m: m == {0: 0},
    "dict-eq": lambda m: {0: 0} == m,
}
WRITES = {
    "setitem": lambda m: m.__setitem__(1, 1),
    "delitem": lambda m: m.__delitem__(0),
    "pop": lambda m: m.pop(0),
    "popitem": lambda m: m.popitem(),
    "setdefault": lambda m: m.setdefault(5),
    "clear": lambda m: m.clear(),
}
MUTATING_WITH_KEY = {
    "setitem": lambda m, k: m.__setitem__(k, "v"),
    "delitem": lambda m, k: m.__delitem__(k),
    "pop": lambda m, k: m.pop(k, "d"),
    "setdefault": lambda m, k: m.setdefault(k),
}
READING_WITH_KEY = {
    "getitem": lambda m, k: pytest.raises(KeyError, m.__getitem__, k),
    "get": lambda m, k: m.get(k),
    "contains": lambda m, k: k in m,
}


def seeded(cls):
    m = cls()
    m[0] = 0
    return m


def assert_untouched(m, it):
    assert list(m) == [0] and m[0] == 0
    assert list(it) == [0]  # the version did not move
    m[1] = 1  # and every borrow was given back
    del m[1]


@pytest.mark.parametrize("outer", MUTATING_WITH_KEY.values(), ids=MUTATING_WITH_KEY.keys())
@pytest.mark.parametrize(
    "inner, message",
    [(f, MUT) for f in READS.values()] + [(f, BORROWED) for f in WRITES.values()],
    ids=[f"read-{n}" for n in READS] + [f"write-{n}" for n in WRITES],
)
def test_hash_touching_the_map_during_a_mutation(map_cls, outer, inner, message):
    m = seeded(map_cls)
    it = iter(m)
    with pytest.raises(RuntimeError) as ei:
        outer(m, HookKey("k", on_hash=lambda: inner(m)))
    assert str(ei.value) == message
    assert_untouched(m, it)


@pytest.mark.parametrize("outer", READING_WITH_KEY.values(), ids=READING_WITH_KEY.keys())
def test_hash_reading_or_writing_during_a_read(map_cls, outer):
    m = seeded(map_cls)
    it = iter(m)
    seen = []
    outer(m, HookKey("k", on_hash=lambda: seen.append((len(m), m.get(0), list(m)))))
    assert seen == [(1, 0, [0])]  # shared borrows coexist
    for inner in WRITES.values():
        with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
            outer(m, HookKey("k", on_hash=lambda: inner(m)))
    assert_untouched(m, it)


@pytest.mark.parametrize("outer", MUTATING_WITH_KEY.values(), ids=MUTATING_WITH_KEY.keys())
@pytest.mark.parametrize(
    "inner",
    [
        lambda m, it, same: iter(m),
        lambda m, it, same: next(it),
        lambda m, it, same: same == m,
    ],
    ids=["iter", "next", "same-class-eq"],
)
def test_other_objects_borrow_during_a_mutation_is_a_panic(map_cls, panic_exception, outer, inner):
    m = seeded(map_cls)
    it, probe = iter(m), iter(m)
    same = seeded(map_cls)
    with pytest.raises(panic_exception) as ei:
        try:
            outer(m, HookKey("k", on_hash=lambda: inner(m, probe, same)))
        except Exception:  # noqa: BLE001 - a PanicException must pass through
            pytest.fail("PanicException was caught by `except Exception`")
    assert ei.value.args == (MUT,)
    assert_untouched(m, it)


def test_comparing_with_itself_during_a_mutation_is_its_own_borrow(map_cls):
    m = seeded(map_cls)
    with pytest.raises(RuntimeError, match=f"^{MUT}$"):
        m[HookKey("k", on_hash=lambda: m == m)] = 1


@pytest.mark.parametrize(
    "inner, swallowed",
    [
        (lambda m: len(m), MUT),
        (lambda m: m.__setitem__(1, 1), BORROWED),
        (lambda m: m.clear(), BORROWED),
    ],
    ids=["read", "setitem", "clear"],
)
def test_eq_touching_the_map_is_swallowed_as_unequal(map_cls, inner, swallowed):
    m = map_cls()
    stored = HookKey("same")
    m[stored] = "stored"
    errors = []

    def hook():
        try:
            inner(m)
        except RuntimeError as e:
            errors.append(str(e))
            raise

    probe = HookKey("same", on_eq=hook)
    m[probe] = "probe"  # the comparison failed, so the probe is a new key
    assert errors == [swallowed]
    assert len(m) == 2 and list(m).count(stored) == 2


def test_panic_from_eq_is_not_swallowed(map_cls, panic_exception):
    m = map_cls()
    m[HookKey("same")] = "stored"
    with pytest.raises(panic_exception, match=f"^{MUT}$"):
        m[HookKey("same", on_eq=lambda: iter(m))] = "probe"
    assert len(m) == len(list(m))
    m.clear()
    assert len(m) == 0


# ---- reference counts -------------------------------------------------------------------


class Key:
    """A fresh, non-interned key; equal by name."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Key) and other.name == self.name


def _swallow(exc, fn):
    def run(*args):
        try:
            fn(*args)
        except exc:
            pass

    return run


# Each case: the operation (m, k1 stored with v1, k2 equal to k1, k3 absent,
# v2, v3), then the expected change of the counts of k1, v1, k2, v2, k3, v3.
REFCOUNT_CASES = {
    "getitem": (lambda m, k1, v1, k2, v2, k3, v3: m[k2], (0, 0, 0, 0, 0, 0)),
    "get": (lambda m, k1, v1, k2, v2, k3, v3: (m.get(k1), m.get(k3, v3)), (0, 0, 0, 0, 0, 0)),
    "contains": (lambda m, k1, v1, k2, v2, k3, v3: (k2 in m, k3 in m), (0, 0, 0, 0, 0, 0)),
    "store-new": (lambda m, k1, v1, k2, v2, k3, v3: m.__setitem__(k3, v3), (0, 0, 0, 0, 1, 1)),
    "store-replace": (lambda m, k1, v1, k2, v2, k3, v3: m.__setitem__(k2, v2), (0, -1, 0, 1, 0, 0)),
    "store-same": (lambda m, k1, v1, k2, v2, k3, v3: m.__setitem__(k1, v1), (0, 0, 0, 0, 0, 0)),
    "store-unhashable": (_swallow(TypeError, lambda m, k1, v1, k2, v2, k3, v3: m.__setitem__([], v3)), (0,) * 6),
    "del": (lambda m, k1, v1, k2, v2, k3, v3: m.__delitem__(k2), (-1, -1, 0, 0, 0, 0)),
    "del-missing": (_swallow(KeyError, lambda m, k1, v1, k2, v2, k3, v3: m.__delitem__(k3)), (0,) * 6),
    "pop": (lambda m, k1, v1, k2, v2, k3, v3: m.pop(k2), (-1, -1, 0, 0, 0, 0)),
    "pop-default": (lambda m, k1, v1, k2, v2, k3, v3: m.pop(k3, v3), (0,) * 6),
    "pop-missing": (_swallow(KeyError, lambda m, k1, v1, k2, v2, k3, v3: m.pop(k3)), (0,) * 6),
    "popitem": (lambda m, k1, v1, k2, v2, k3, v3: [m.popitem() for _ in range(len(m))], (-1, -1, 0, 0, 0, 0)),
    "setdefault-present": (lambda m, k1, v1, k2, v2, k3, v3: m.setdefault(k2, v2), (0,) * 6),
    "setdefault-new": (lambda m, k1, v1, k2, v2, k3, v3: m.setdefault(k3, v3), (0, 0, 0, 0, 1, 1)),
    "clear": (lambda m, k1, v1, k2, v2, k3, v3: m.clear(), (-1, -1, 0, 0, 0, 0)),
    "copy": (lambda m, k1, v1, k2, v2, k3, v3: m.copy(), (0,) * 6),
    "iterate": (lambda m, k1, v1, k2, v2, k3, v3: (list(m), next(iter(m))), (0,) * 6),
    "iter-unused": (lambda m, k1, v1, k2, v2, k3, v3: iter(m), (0,) * 6),
    "eq": (lambda m, k1, v1, k2, v2, k3, v3: (m == {k2: v1}, m == m.copy(), m == {k3: v3}), (0,) * 6),
    "fromkeys": (lambda m, k1, v1, k2, v2, k3, v3: type(m).fromkeys([k3, k3], v3), (0,) * 6),
    "repr": (lambda m, k1, v1, k2, v2, k3, v3: repr(m), (0,) * 6),
}


@pytest.mark.parametrize("op, deltas", REFCOUNT_CASES.values(), ids=REFCOUNT_CASES.keys())
def test_reference_counts(map_cls, op, deltas):
    k1, k2, k3 = Key("a"), Key("a"), Key("c")
    v1, v2, v3 = object(), object(), object()
    objs = (k1, v1, k2, v2, k3, v3)
    before_store = [sys.getrefcount(o) for o in objs]
    m = map_cls()
    for i in range(30):  # company, so the table is not trivially small
        m[i] = i
    m[k1] = v1
    base = [sys.getrefcount(o) for o in objs]
    assert [b - s for b, s in zip(base, before_store)] == [1, 1, 0, 0, 0, 0]
    op(m, k1, v1, k2, v2, k3, v3)
    after = [sys.getrefcount(o) for o in objs]
    assert [a - b for a, b in zip(after, base)] == list(deltas)
    del m
    assert [sys.getrefcount(o) for o in objs] == before_store


# ---- late releases ------------------------------------------------------------------------


class ReadsOnDel:
    """Records what the map looks like when this object is finalised."""

    def __init__(self, m, log):
        self.m = m
        self.log = log

    def __del__(self):
        try:
            m = self.m
            self.log.append((len(m), m.get("k"), sorted(map(str, m))))
            m["written-from-del"] = 1
            del m["written-from-del"]
        except BaseException as e:  # noqa: BLE001 - recorded, then asserted on
            self.log.append(e)


@pytest.mark.parametrize(
    "op, seen",
    [
        (lambda m: m.__delitem__("k"), (1, None, ["other"])),
        (lambda m: m.pop("k"), (1, None, ["other"])),
        (lambda m: m.__setitem__("k", "new"), (2, "new", ["k", "other"])),
        (lambda m: m.clear(), (0, None, [])),
    ],
    ids=["del", "pop", "replace", "clear"],
)
def test_finalizers_of_removed_objects_can_use_the_map(map_cls, op, seen):
    m = map_cls()
    log = []
    m["k"] = ReadsOnDel(m, log)
    m["other"] = 0
    op(m)
    assert log == [seen]


def test_finalizer_of_a_removed_key_can_use_the_map(map_cls):
    m = map_cls()
    log = []
    m[ReadsOnDel(m, log)] = "value"
    m["k"] = "kv"
    m.clear()
    assert log == [(0, None, [])]


# ---- threads --------------------------------------------------------------------------------


def test_concurrent_use_fails_fast_and_stays_consistent(map_cls, panic_exception):
    m = map_cls()
    allowed = {MUT, BORROWED, "dictionary changed size during iteration"}
    unexpected = []
    barrier = threading.Barrier(4)

    def worker(tid):
        barrier.wait()
        for i in range(3000):
            k = (tid, i % 64)
            try:
                if i % 4 == 0:
                    m[k] = i
                elif i % 4 == 1:
                    m.get(k)
                elif i % 4 == 2:
                    m.pop(k, None)
                else:
                    for _ in m:
                        pass
            except KeyError:
                pass
            except (RuntimeError, panic_exception) as e:
                # A method's own borrow fails as RuntimeError; making or
                # advancing an iterator while a writer holds the map is a
                # PanicException.
                if str(e) not in allowed or (type(e) is panic_exception and str(e) != MUT):
                    unexpected.append(e)
            except BaseException as e:  # noqa: BLE001
                unexpected.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []
    keys = list(m)
    assert len(keys) == len(m) == len(set(keys))
    assert all(m[k] == m.get(k) for k in keys)
