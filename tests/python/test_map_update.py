"""update, |=, | and initial contents of both map classes: sources, errors, versions, reservation."""

import os
import subprocess
import sys

import pytest

from support import BORROWED, CHANGED, MAP_CLASSES, HookKey, KeysOnly, Mapping, Sized, bumped, fails, raising_after, twin

NOT_PAIR = "^update sequence elements must be 2-tuples$"
LIE = 1_500_000_000


def contents(m):
    return {k: m[k] for k in m}


class Guarded(dict):
    """A bulk copy must read it entry by entry, never through these overrides."""

    def _refuse(self, *args):
        raise AssertionError("dict subclass override was called")

    keys = values = items = __getitem__ = __iter__ = __len__ = _refuse


def updated(m, src):
    assert m.update(src) is None
    return m


def ior(m, src):
    alias = m
    m |= src
    assert m is alias
    return m


AB = {1: "a", 2: "b"}
SOURCES = {
    "same-class": (lambda cls: cls(AB), AB),
    "twin-class": (lambda cls: twin(cls)(AB), AB),
    "dict": (lambda cls: dict(AB), AB),
    "dict-subclass": (lambda cls: Guarded(AB), AB),
    "keys-without-len": (lambda cls: KeysOnly(AB), AB),
    "pairs": (lambda cls: [(1, "x"), [2, "b"], (1, "a")], AB),
    "generator": (lambda cls: ((k, v) for k, v in AB.items()), AB),
    "two-char-strings": (lambda cls: [(1, 2), "ab"], {1: 2, "a": "b"}),
    "empty": (lambda cls: [], {}),
}
ENTRY_POINTS = {
    "update": lambda cls, src: updated(cls(), src),
    "constructor": lambda cls, src: cls(src),
    "constructor-other=": lambda cls, src: cls(other=src),
    "ior": lambda cls, src: ior(cls(), src),
    "or": lambda cls, src: cls() | src,
    # A map on the left would decide the result's class, so only foreign sources go there.
    "ror": lambda cls, src: cls() | src if type(src) in MAP_CLASSES else src | cls(),
}


@pytest.mark.parametrize("make, expected", SOURCES.values(), ids=SOURCES.keys())
@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_source_kinds(map_cls, entry, make, expected):
    m = entry(map_cls, make(map_cls))
    assert type(m) is map_cls and contents(m) == expected


def test_keyword_items(map_cls):
    m = map_cls({"x": 0, 1: 2}, x=1, y=2)
    assert contents(m) == {1: 2, "x": 1, "y": 2}  # keywords are stored after `other`
    m.update(other={5: 6})  # binds the parameter, is not an item
    m.update(capacity=7)  # update has no such parameter: an item
    m.update([(8, 9)], z=3)
    assert contents(m) == {1: 2, "x": 1, "y": 2, 5: 6, "capacity": 7, 8: 9, "z": 3}
    assert "capacity" not in map_cls(capacity=7)
    pytest.raises(TypeError, m.update, {}, other={})
    pytest.raises(TypeError, m.update, {}, {})


def _dict_with_failing_hash():
    k = HookKey(99)
    d = {0: "x", k: 1}
    k.hook = lambda: 1 / 0
    return d


class BadIndex:
    __len__ = lambda self: 2  # noqa: E731
    __getitem__ = lambda self, i: {}[i]  # noqa: E731


STORED = {0: "x"}
ERRORS = {  # the source, the error it causes, and what an update keeps of it
    "triple": (lambda: [(0, "x"), (1, 2, 3)], ValueError, NOT_PAIR, STORED),
    "single": (lambda: [(0, "x"), (1,)], ValueError, NOT_PAIR, STORED),
    "three-char-string": (lambda: [(0, "x"), "abc"], ValueError, NOT_PAIR, STORED),
    "element-without-len": (lambda: [(0, "x"), 1], TypeError, "has no len", STORED),
    "unhashable-key": (lambda: [(0, "x"), ([], 1)], TypeError, "unhashable", STORED),
    "element-indexing": (lambda: [(0, "x"), BadIndex()], KeyError, "0", STORED),
    "not-iterable": (lambda: 5, TypeError, "not iterable", {}),
    "iteration": (lambda: raising_after([(0, "x")]), LookupError, "mid-way", STORED),
    "keys-call": (lambda: KeysOnly({}, keys=5), TypeError, "not iterable", {}),
    "keys-lists-a-missing-key": (lambda: KeysOnly(STORED, keys=[0, "gone"]), KeyError, "gone", STORED),
    "dict-key-hash": (_dict_with_failing_hash, ZeroDivisionError, "division", STORED),
}
FAILING_CALLS = {  # the call, and whether it works on the map in place
    "update": (lambda m, src: m.update(src), True),
    "ior": (ior, True),
    "or": (lambda m, src: m | src, False),
    "ror": (lambda m, src: src | m, False),
    "constructor": (lambda m, src: type(m)(src), False),
}


@pytest.mark.parametrize("make, error, match, stored", ERRORS.values(), ids=ERRORS.keys())
@pytest.mark.parametrize("call, in_place", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_failing_update_keeps_what_it_stored_and_invalidates_iterators(map_cls, call, in_place, make, error, match, stored):
    m = map_cls(seed=1)
    it = iter(m)
    pytest.raises(error, call, m, make()).match(match)
    assert contents(m) == {"seed": 1, **(stored if in_place else {})}
    assert bumped(it) == (in_place and bool(stored))
    m["after"] = 2  # the borrow was given back


def test_source_mutating_the_map_while_it_is_consumed(map_cls):
    m = map_cls(seed=1)
    it = iter(m)

    def pairs():
        yield ("a", 1)
        m["b"] = 2

    assert str(fails(RuntimeError, m.update, pairs())) == BORROWED
    assert str(fails(RuntimeError, m.update, KeysOnly({}, keys=(m.clear() for _ in "x")))) == BORROWED
    assert contents(m) == {"seed": 1, "a": 1} and bumped(it)


VERSION = {  # whether the call moves the version of {1: 2, 3: 4}
    "update()": (lambda m: m.update(), False),
    "update({})": (lambda m: m.update({}), False),
    "update(empty map)": (lambda m: m.update(type(m)()), False),
    "update(empty keys-only)": (lambda m: m.update(KeysOnly({})), False),
    "update(other=None)": (lambda m: m.update(other=None), False),
    "ior {}": (lambda m: ior(m, []), False),
    "update(self)": (lambda m: m.update(m), False),
    "ior self": (lambda m: ior(m, m), False),
    "update(own items)": (lambda m: m.update(m.items()), False),
    "or": (lambda m: (m | {1: 9}, m | m), False),
    "ror": (lambda m: {1: 9} | m, False),
    "same pair from dict": (lambda m: m.update({1: 2}), True),
    "same pair from pairs": (lambda m: m.update([(1, 2)]), True),
    "same pair from map": (lambda m: m.update(type(m)({1: 2})), True),
    "same pair from keys-only": (lambda m: m.update(KeysOnly({1: 2})), True),
    "keyword": (lambda m: m.update(x=1), True),
    "self and keyword": (lambda m: m.update(m, x=1), True),
    "ior same pair": (lambda m: ior(m, {1: 2}), True),
}


@pytest.mark.parametrize("op, bumps", VERSION.values(), ids=VERSION.keys())
def test_version_moves_exactly_when_something_is_stored(map_cls, op, bumps):
    m = map_cls({1: 2, 3: 4})
    it = iter(m)
    op(m)  # m.update(m) and m |= m among them: no error, nothing changes
    assert m[1] == 2 and m[3] == 4 and bumped(it) == bumps


def test_merge_precedence_and_result_class(map_cls):
    m = map_cls({1: "m", 2: "m"})
    left = m | {1.0: "other", 3: "other"}
    right = {1.0: "other", 3: "other"} | m
    assert contents(left) == {1: "other", 2: "m", 3: "other"}
    assert contents(right) == {1: "m", 2: "m", 3: "other"}
    # The left map keeps its key objects; the reflected form keeps the other side's.
    assert type(next(k for k in left if k == 1)) is int
    assert type(next(k for k in right if k == 1)) is float
    assert type(left) is type(right) is type([(1, 2)] | m) is map_cls
    # Between the twins the left operand decides the class and loses equal keys.
    mixed = m | twin(map_cls)({2: "twin"})
    assert type(mixed) is map_cls and contents(mixed) == {1: "m", 2: "twin"}
    mixed = twin(map_cls)({2: "twin"}) | m
    assert type(mixed) is twin(map_cls) and contents(mixed) == {1: "m", 2: "m"}
    assert contents(m) == {1: "m", 2: "m"}
    for source in ({1.0: "new"}, [(1.0, "new")], map_cls({1.0: "new"})):
        assert contents(updated(m, source)) == {1: "new", 2: "m"} and type(min(m)) is int  # the key object stays


# ---- reservation, seen through capacity -------------------------------------------------------

SIZED = {  # a source for d, and whether its length is known up front
    "same-class": (lambda cls, d: cls(d), True),
    "dict": (lambda cls, d: dict(d), True),
    "dict-subclass": (lambda cls, d: Guarded(d), True),
    "keys-with-len": (lambda cls, d: Mapping(d, len(d)), True),
    "pairs-with-len": (lambda cls, d: list(d.items()), True),
    "keywords": (None, True),
    "keys-without-len": (lambda cls, d: KeysOnly(d), False),
    "iterator": (lambda cls, d: iter(d.items()), False),
}


@pytest.mark.parametrize("make, sized", SIZED.values(), ids=SIZED.keys())
def test_a_sized_source_reserves_once_up_front(map_cls, make, sized):
    d = {f"k{i}": i for i in range(100)}
    m = map_cls(d)
    assert m.capacity == map_cls(capacity=100).capacity  # sized for the source in one step
    if make is None:
        m.update(**d)
    else:
        m.update(make(map_cls, d))
    # No key was new, so only a reservation of len + n can have grown it.
    assert len(m) == 100 and m.capacity == map_cls(capacity=200 if sized else 100).capacity


def test_merge_sizes_the_new_table_from_both_lengths(map_cls):
    m = map_cls({i: i for i in range(30)})
    assert (m | {i: i for i in range(100, 150)}).capacity == map_cls(capacity=80).capacity
    # The hint is a length only: an overstating one still sizes the table.
    assert (m | Sized([(1, 1)], 500)).capacity == map_cls(capacity=530).capacity
    assert (Sized([(1, 1)], 500) | m).capacity == map_cls(capacity=530).capacity


PAIRS3 = [(1, "a"), (2, "b"), (3, "c")]
LYING = {
    "update-pairs": lambda cls: updated(cls(), Sized(PAIRS3, LIE)),
    "update-keys": lambda cls: updated(cls(), Mapping(dict(PAIRS3), LIE)),
    "constructor": lambda cls: cls(Sized(PAIRS3, LIE)),
    "ior": lambda cls: ior(cls(), Sized(PAIRS3, LIE)),
    "or": lambda cls: cls() | Mapping(dict(PAIRS3), LIE),
    "ror": lambda cls: Sized(PAIRS3, LIE) | cls(),
    "fromkeys": lambda cls: cls.fromkeys(Sized([1, 2, 3], LIE), "v"),
}


@pytest.mark.parametrize("lie", [10**8, 3 * 10**8, LIE])
@pytest.mark.parametrize("call", LYING.values(), ids=LYING.keys())
def test_a_lying_length_costs_little(map_cls, call, lie, monkeypatch):
    monkeypatch.setattr(Sized, "__len__", lambda self: lie)
    monkeypatch.setattr(Mapping, "__len__", lambda self: lie)
    m = call(map_cls)
    # Only the types that cannot lie are believed: anything else reserves at most 65,536 items.
    assert sorted(m) == [1, 2, 3] and m.capacity == map_cls(capacity=65536).capacity
    m.clear()
    assert sys.getsizeof(m) < 8 << 20


# ---- a dict source changed by a key's __hash__ ------------------------------------------------


class Payload:
    def __init__(self, tag):
        self.tag = tag * 10


class ChangesSource:
    """Once armed, runs `change(source)` from __hash__; only the source dict refers to it."""

    armed = False

    def __init__(self, source, change):
        self.source, self.change, self.tag = source, change, "changer"

    def __hash__(self):
        if ChangesSource.armed:
            ChangesSource.armed = False
            self.change(self.source)
        return 12345


def _swap_keys(d):
    del d[0]
    d["late"] = Payload("late")


@pytest.mark.parametrize(
    "change, message",
    [(dict.clear, CHANGED), (_swap_keys, "dictionary keys changed during iteration")],
    ids=["clear", "same-size-new-key"],
)
def test_dict_source_changed_by_a_key_hash(map_cls, change, message):
    for earlier in range(4):
        src = {i: Payload(str(i)) for i in range(earlier)}
        src[0] = Payload("0")
        src[ChangesSource(src, change)] = Payload("value")
        ChangesSource.armed = True
        m = map_cls()
        with pytest.raises(RuntimeError) as ei:
            m.update(src)
        assert ei.value.args == (message,)
        del src
        # The pair in hand when the dict dropped it was kept alive and stored whole.
        stored = {getattr(k, "tag", k): v.tag for k, v in m.items()}
        assert stored == {**{i: str(i) * 10 for i in range(max(earlier, 1))}, "changer": "value" * 10}


def test_dict_source_changed_by_a_key_hash_under_the_debug_allocator():
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    args = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__]
    done = subprocess.run(args + ["-k", "source_changed_by_a_key_hash and not debug"], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "4 passed" in done.stdout
