"""Construction, element operations, iterators and borrows of both set classes."""

import math
import sys
import types
from fractions import Fraction

import pytest

import brindle
from brindle import ElasticHashSet, FunnelHashSet

from support import BORROWED, CHANGED, ELASTIC_FRACTION, FUNNEL_FRACTION, MUT, HookKey, bumped

# ---- construction ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, capacity",
    [
        (lambda: FunnelHashSet(), 0),
        (lambda: ElasticHashSet(), 0),
        (lambda: FunnelHashSet(capacity=10), 14),  # nominal 16, fraction capped at 1/8
        (lambda: ElasticHashSet(capacity=10), 12),  # nominal 16, a quarter kept free
        (lambda: FunnelHashSet.with_options(10), 14),
        (lambda: FunnelHashSet.with_options(capacity=10, reserve_fraction=0.0625), 15),
        (lambda: ElasticHashSet.with_options(capacity=100, reserve_fraction=0.5), 128),
        (lambda: ElasticHashSet.with_options(capacity=100, reserve_fraction=0.5).copy(), 0),
        (lambda: ElasticHashSet.with_options(capacity=1000, reserve_fraction=0.5).union(range(10)).copy(), 12),
    ],
)
def test_capacity_numbers(make, capacity):
    s = make()
    assert s.capacity == capacity
    assert repr(s) == f"{type(s).__name__}(len={len(s)}, capacity={capacity})"


def test_first_add_grows_an_empty_set_and_clear_keeps_capacity(set_cls):
    s = set_cls()
    s.add("x")
    grown = s.capacity
    assert grown > 0 and repr(s) == f"{set_cls.__name__}(len=1, capacity={grown})"
    s.update(range(200))
    big = s.capacity
    s.clear()
    assert s.capacity == big >= 201 and len(s) == 0


def test_copy_is_sized_for_its_length_only(set_cls):
    src = set_cls.with_options(capacity=1000, reserve_fraction=0.1)
    src.update([1, 2, 3])
    c = src.copy()
    assert type(c) is set_cls and c == src and c is not src
    assert c.capacity == set_cls(capacity=3).capacity < src.capacity


@pytest.mark.parametrize(
    "cls, good, bad, message",
    [
        (FunnelHashSet, [0.125, 0.01, Fraction(1, 8), 1e-300], [0.2, 0, 0.0, -1, math.nan, math.inf], FUNNEL_FRACTION),
        (ElasticHashSet, [0.999, 0.5, Fraction(1, 3)], [1.0, 1, 0, -0.5, math.nan], ELASTIC_FRACTION),
    ],
)
def test_reserve_fraction_ranges(cls, good, bad, message):
    for r in good:
        assert len(cls.with_options(reserve_fraction=r)) == 0
    for r in bad:
        with pytest.raises(ValueError) as ei:
            cls.with_options(reserve_fraction=r)
        assert str(ei.value) == message
    assert cls.with_options(reserve_fraction=None).capacity == 0


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda c: c(capacity=-1), OverflowError),
        (lambda c: c(capacity=2**64), OverflowError),
        (lambda c: c(capacity="3"), TypeError),
        (lambda c: c(capacity=1.5), TypeError),
        (lambda c: c([], 10), TypeError),  # capacity is keyword-only
        (lambda c: c([], cap=1), TypeError),
        (lambda c: c(5), TypeError),
        (lambda c: c([1, []]), TypeError),
        (lambda c: c.with_options(-1), OverflowError),
        (lambda c: c.with_options(reserve_fraction="x"), TypeError),
        (lambda c: c.with_options(1, 0.1, 3), TypeError),
        (lambda c: c.with_options(size=3), TypeError),
        (lambda c: c().add(), TypeError),
        (lambda c: c().add(1, 2), TypeError),
        (lambda c: c().copy(1), TypeError),
    ],
)
def test_argument_errors(set_cls, call, exc):
    with pytest.raises(exc):
        call(set_cls)


def test_not_iterable_message(set_cls):
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        set_cls(5)


@pytest.mark.parametrize("requested", [2**31, 2**32 + 16])
def test_oversized_capacity_is_a_panic(set_cls, requested, panic_exception):
    for make in (lambda: set_cls(capacity=requested), lambda: set_cls.with_options(requested)):
        with pytest.raises(panic_exception, match="^capacity overflow$"):
            make()


def test_constructor_sources(set_cls):
    other = ElasticHashSet if set_cls is FunnelHashSet else FunnelHashSet
    expected = {1, "a", (2, 3)}
    sources = [
        [1, "a", (2, 3), 1],
        (x for x in [1, "a", (2, 3)]),
        expected,
        frozenset(expected),
        dict.fromkeys(expected),
        dict.fromkeys(expected).keys(),
        set_cls(expected),
        other(expected),
    ]
    for src in sources:
        s = set_cls(src)
        assert type(s) is set_cls and s == expected
    assert len(set_cls(None)) == 0 and len(set_cls(iterable=[1])) == 1
    assert len(set_cls("abca")) == 3


def test_failed_construction_releases_what_it_took(set_cls):
    key = object()

    def failing():
        yield key
        raise LookupError("mid-way")

    before = sys.getrefcount(key)
    with pytest.raises(TypeError):
        set_cls([key, []])
    with pytest.raises(LookupError, match="mid-way"):
        set_cls(failing())
    assert sys.getrefcount(key) == before


class LyingLength:
    def __init__(self, length, items):
        self.length = length
        self.items = items

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("length", [2**40, sys.maxsize, 0, RuntimeError("no length")])
def test_a_length_that_cannot_be_reserved_is_only_a_hint(set_cls, length):
    s = set_cls(LyingLength(length, range(20)))
    assert sorted(s) == list(range(20))
    assert s.capacity < 1000
    s.update(LyingLength(length, range(20, 30)))
    assert sorted(s) == list(range(30))


def test_class_surface(set_cls):
    alias = set_cls[str]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is set_cls and alias.__args__ == (str,)
    with pytest.raises(TypeError):
        hash(set_cls())
    with pytest.raises(TypeError):
        type("Sub", (set_cls,), {})
    assert set_cls.__module__ == "brindle" and set_cls.__qualname__ == set_cls.__name__
    assert set_cls.__text_signature__ == "(iterable=None, *, capacity=0)"
    it_type = type(iter(set_cls()))
    prefix = "Funnel" if set_cls is FunnelHashSet else "Elastic"
    assert it_type.__name__ == f"_{prefix}SetIter" and it_type.__module__ == "brindle"
    assert not hasattr(brindle, it_type.__name__) and it_type.__name__ not in brindle.__all__
    with pytest.raises(TypeError):
        it_type()
    assert not set_cls() and set_cls([0])  # truth follows the length


# ---- element operations -----------------------------------------------------------------


def test_the_first_stored_of_equal_elements_stays(set_cls):
    s = set_cls()
    s.add(1)
    it = iter(s)
    s.add(1.0)
    s.add(True)
    assert len(s) == 1 and type(next(iter(s))) is int
    assert next(it) == 1  # neither equal add bumped
    s.discard(True)
    assert len(s) == 0

    s = set_cls([1.0, True, 1])
    assert [type(x) for x in s] == [float]
    big, same = 2**70, int(str(2**70))
    s = set_cls([big, same])
    assert next(iter(s)) is big and same in s


def test_remove_discard_and_keyword_arguments(set_cls):
    s = set_cls([1, (1, 2)])
    s.remove(value=1.0)
    s.discard(value=(1, 2))
    s.add(value="x")
    assert list(s) == ["x"]
    with pytest.raises(KeyError) as ei:
        s.remove(42)
    assert ei.value.args == (42,)
    with pytest.raises(KeyError) as ei:
        s.remove((3, 4))  # a tuple element is the single argument, not the args
    assert ei.value.args == ((3, 4),)
    s.discard(42)
    assert list(s) == ["x"]


def test_pop_takes_what_iteration_would_yield_first(set_cls):
    s = set_cls(range(50))
    popped = []
    while s:
        first = next(iter(s))
        it = iter(s)
        x = s.pop()
        assert x is first
        assert bumped(it)
        popped.append(x)
    assert sorted(popped) == list(range(50))
    with pytest.raises(KeyError) as ei:
        s.pop()
    assert ei.value.args == ("pop from an empty set",)


def test_pop_hands_over_the_reference(set_cls):
    key = object()
    s = set_cls([key])
    before = sys.getrefcount(key)
    got = s.pop()
    assert got is key and sys.getrefcount(key) == before
    del got
    assert sys.getrefcount(key) == before - 1


def test_references_are_released(set_cls):
    keys = [object() for _ in range(3)]
    before = [sys.getrefcount(k) for k in keys]
    s = set_cls(keys)
    c = s.copy()
    assert [sys.getrefcount(k) for k in keys] == [b + 2 for b in before]
    s.remove(keys[0])
    s.discard(keys[1])
    c.clear()
    del s
    assert [sys.getrefcount(k) for k in keys] == before


@pytest.mark.parametrize(
    "op",
    [
        lambda s: s.add([]),
        lambda s: s.discard([]),
        lambda s: s.remove([]),
        lambda s: [] in s,
        lambda s: {1} in s,  # no fallback to frozenset({1})
        lambda s: {1: 2} in s,
    ],
)
def test_unhashable_elements(set_cls, op):
    s = set_cls([1, frozenset({1})])
    it = iter(s)
    with pytest.raises(TypeError, match="unhashable"):
        op(s)
    assert frozenset({1}) in s and len(s) == 2
    assert not bumped(it)


# ---- version rules seen through live iterators ------------------------------------------

VERSION_CASES = {
    "add-new": (lambda s: s.add(9), True),
    "add-present": (lambda s: s.add(1), False),
    "add-equal": (lambda s: s.add(1.0), False),
    "remove": (lambda s: s.remove(1), True),
    "remove-absent": (lambda s: pytest.raises(KeyError, s.remove, 9), False),
    "discard": (lambda s: s.discard(2), True),
    "discard-absent": (lambda s: s.discard(9), False),
    "pop": (lambda s: s.pop(), True),
    "clear": (lambda s: s.clear(), True),
    "reads": (lambda s: (len(s), 1 in s, repr(s), s.capacity, s.copy(), list(s), s == {1, 2}), False),
    "copy-mutated": (lambda s: s.copy().add(9), False),
}


@pytest.mark.parametrize("op, bumps", VERSION_CASES.values(), ids=VERSION_CASES.keys())
def test_version_rules(set_cls, op, bumps):
    s = set_cls([1, 2])
    it = iter(s)
    first = next(it)
    op(s)
    if bumps:
        for _ in range(3):  # every later step raises as well
            with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
                next(it)
    else:
        assert first in (1, 2) and next(it) in (1, 2)


def test_clear_of_an_empty_set_invalidates_even_exhausted_iterators(set_cls):
    s = set_cls()
    it = iter(s)
    assert list(it) == [] and next(it, None) is None  # exhausted, and stays so while unchanged
    s.discard(1)
    assert next(it, None) is None
    s.clear()
    with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
        next(it)


def test_iterators_hold_their_own_snapshots(set_cls):
    s = set_cls(["a", "b"])
    a, b = iter(s), iter(s)
    assert next(a) == next(b)
    assert iter(a) is a
    rest = list(b)
    del s  # the iterator keeps what it needs
    assert list(a) == rest


# ---- borrow conflicts from __hash__ ----------------------------------------------------------

READS = {
    "len": lambda s: len(s),
    "contains": lambda s: 0 in s,
    "repr": lambda s: repr(s),
    "capacity": lambda s: s.capacity,
    "copy": lambda s: s.copy(),
    "union": lambda s: s.union(),
    "issubset": lambda s: s.issubset([0]),
    "eq": lambda s: s == {0},
}
WRITES = {
    "add": lambda s: s.add(1),
    "discard": lambda s: s.discard(0),
    "remove": lambda s: s.remove(0),
    "pop": lambda s: s.pop(),
    "clear": lambda s: s.clear(),
    "update": lambda s: s.update(),
}
MUTATING = {
    "add": lambda s, k: s.add(k),
    "discard": lambda s, k: s.discard(k),
    "remove": lambda s, k: s.remove(k),
}
READING = {
    "contains": lambda s, k: k in s,
    "issuperset": lambda s, k: s.issuperset([k]),
    "isdisjoint": lambda s, k: s.isdisjoint([k]),
}


def assert_untouched(s, it):
    assert list(s) == [0]
    assert next(it) == 0  # the version did not move
    s.add(1)  # and every borrow was given back
    s.remove(1)


@pytest.mark.parametrize("outer", MUTATING.values(), ids=MUTATING.keys())
@pytest.mark.parametrize(
    "inner, message",
    [(f, MUT) for f in READS.values()] + [(f, BORROWED) for f in WRITES.values()],
    ids=[f"read-{n}" for n in READS] + [f"write-{n}" for n in WRITES],
)
def test_hash_touching_the_set_during_a_mutation(set_cls, outer, inner, message):
    s = set_cls([0])
    it = iter(s)
    with pytest.raises(RuntimeError) as ei:
        outer(s, HookKey("k", lambda: inner(s)))
    assert str(ei.value) == message
    assert_untouched(s, it)


@pytest.mark.parametrize("outer", READING.values(), ids=READING.keys())
def test_hash_reading_or_writing_during_a_read(set_cls, outer):
    s = set_cls([0])
    it = iter(s)
    seen = []
    outer(s, HookKey("k", lambda: seen.append((len(s), 0 in s, list(s)))))
    assert seen == [(1, True, [0])]  # shared borrows coexist
    for inner in WRITES.values():
        with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
            outer(s, HookKey("k", lambda: inner(s)))
    assert_untouched(s, it)


@pytest.mark.parametrize(
    "inner",
    [lambda s, probe: iter(s), lambda s, probe: next(probe)],
    ids=["iter", "next"],
)
def test_iterating_a_set_being_mutated_is_a_panic(set_cls, panic_exception, inner):
    s = set_cls([0])
    it, probe = iter(s), iter(s)
    with pytest.raises(panic_exception) as ei:
        s.add(HookKey("k", lambda: inner(s, probe)))
    assert ei.value.args == (MUT,)
    assert_untouched(s, it)


def test_hash_error_leaves_the_set_unchanged(set_cls):
    def fail():
        raise ArithmeticError("no hash")

    s = set_cls([0])
    it = iter(s)
    for op in (*MUTATING.values(), *READING.values()):
        with pytest.raises(ArithmeticError, match="no hash"):
            op(s, HookKey("k", fail))
    assert_untouched(s, it)
