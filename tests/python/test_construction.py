"""Construction, options and capacity of all four classes, and their copies:
copy(), the copy module, pickle, and set-algebra results."""

import copy
import math
import pickle
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindle
from support import ALL_CLASSES, MAP_CLASSES, SET_CLASSES, Sized, raises_exactly

each_class = pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
FUNNEL_FRACTION = "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design"
ELASTIC_FRACTION = "reserve_fraction must be in the open interval (0, 1)"


def put(c, x):
    c.add(x) if type(c) in SET_CLASSES else c.__setitem__(x, x)


def is_funnel(cls):
    return cls.__name__.startswith("Funnel")


def documented_capacity(cls, n, fraction=None):
    """The README's rule: the smallest nominal capacity, 16 doubled, whose
    capacity (nominal minus floor(fraction * nominal)) holds n."""
    f = 0.25 if fraction is None else fraction
    f = min(max(f, 1e-6), 0.125 if is_funnel(cls) else 0.999999)
    nominal = 16
    while n > nominal - math.floor(f * nominal):
        nominal *= 2
    return 0 if n == 0 else nominal - math.floor(f * nominal)


@each_class
@settings(max_examples=40, deadline=None)
@given(n=st.integers(0, 300), extra=st.integers(0, 300), fraction=st.one_of(st.none(), st.floats(1e-6, 0.999)))
def test_capacity_follows_the_documented_rule(cls, n, extra, fraction):
    if fraction is not None and is_funnel(cls):
        fraction = min(fraction, 0.125)
    c = cls.with_options(n, fraction)
    assert c.capacity == documented_capacity(cls, n, fraction)
    for i in range(n + extra):
        put(c, i)
        # Growth doubles until the length fits, and never further.
        assert c.capacity == documented_capacity(cls, max(n, len(c)), fraction)
    grown = c.capacity
    c.clear()
    assert c.capacity == grown  # tables never shrink


@each_class
@pytest.mark.parametrize("length", [2**40, sys.maxsize, 0, RuntimeError("no length")], ids=repr)
def test_a_length_is_only_a_hint(cls, length):
    # Only the types that cannot lie are believed: anything else reserves at most 65,536 items up front.
    items = range(20) if cls in SET_CLASSES else [(i, i) for i in range(20)]
    c = cls(Sized(items[:10], length))
    c.update(Sized(items[10:], length))
    made = [c, c | Sized(items[:1], length), Sized(items[:1], length) | c]
    made += [cls.fromkeys(Sized(range(20), length))] if cls in MAP_CLASSES else []
    for m in made:
        assert sorted(m) == list(range(20)) and m.capacity <= cls(capacity=65536).capacity


class AsFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if self.v is None:
            raise ZeroDivisionError
        return self.v


@each_class
def test_argument_errors(cls):
    funnel = is_funnel(cls)
    for fraction in (0.125, AsFloat(0.05)) + (() if funnel else (0.13,)):
        assert cls.with_options(8, fraction).capacity >= 8
    for fraction in (1.0, math.nan) + ((0.13,) if funnel else ()):
        with raises_exactly(ValueError, FUNNEL_FRACTION if funnel else ELASTIC_FRACTION):
            cls.with_options(reserve_fraction=fraction)
    pytest.raises(ZeroDivisionError, cls.with_options, reserve_fraction=AsFloat(None))
    # Capacities no table can reach are a panic, not a small table.
    for make in (cls, lambda capacity: cls.with_options(capacity)):
        for capacity in (2**31, 2**63):
            with raises_exactly(brindle.PanicException, "capacity overflow"):
                make(capacity=capacity)
    pytest.raises(OverflowError, cls, capacity=-1)
    pytest.raises(TypeError, cls.with_options, 1, 0.1, 3)
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        cls(5)
    if cls in MAP_CLASSES:
        with pytest.raises(TypeError, match=r"given by name \('other'\) and position"):
            cls(None, other=None)
    else:
        pytest.raises(TypeError, cls, [], 10)  # capacity is keyword-only


# ---- copies -----------------------------------------------------------------------------


class Counted:
    """Equal when the ids are; counts every __hash__ and __eq__ call."""

    calls = 0

    def __init__(self, ident):
        self.ident = ident

    def __hash__(self):
        Counted.calls += 1
        return 7  # all collide, so a copy that compared keys would show it

    def __eq__(self, other):
        Counted.calls += 1
        return isinstance(other, Counted) and other.ident == self.ident


@each_class
@pytest.mark.parametrize("n", [0, 13, 3000])
def test_copies_run_no_key_code_and_are_sized_for_their_length(cls, n):
    keys = [Counted(i) for i in range(n)] if n < 100 else [f"x{i}" for i in range(n)]
    # Grown one at a time, made with room to spare, made with another fraction:
    # only the first has the geometry a copy gets, so it alone may be cloned,
    # and a clone iterates in its source's order.
    for i, src in enumerate((cls(), cls.with_options(4 * n + 50), cls.with_options(n, 0.1))):
        src.update(keys if cls in SET_CLASSES else [(k, k) for k in keys])
        Counted.calls = 0
        copies = [src.copy()]
        assert Counted.calls == 0 and (i > 0 or list(copies[0]) == list(src))
        copies += [cls(src), src | cls(), src | ({} if cls in MAP_CLASSES else [])]
        for c in copies:
            assert type(c) is cls and c.capacity == cls.with_options(n).capacity
            assert sorted(map(id, c)) == sorted(map(id, src))
            assert cls in SET_CLASSES or all(c[k] is src[k] for k in c)


@each_class
def test_pickle_copy_and_deepcopy(cls):
    inner = [1]
    c = cls.with_options(reserve_fraction=0.1)
    if cls in SET_CLASSES:
        c.update([(1, 2), "k", frozenset({4})])
    else:
        c.update({1: "a", "k": inner})
        c["self"] = c
    for how in (lambda x: pickle.loads(pickle.dumps(x)), copy.copy, copy.deepcopy):
        r = how(c)
        assert type(r) is cls and r is not c
        if cls in SET_CLASSES:
            assert set(r) == set(c)
        else:
            assert r.capacity == c.capacity  # rebuilt with its reserve fraction
            assert r[1] == "a" and r["k"] == inner and (r["k"] is inner) == (how is copy.copy)
            assert r["self"] is (c if how is copy.copy else r)
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(iter(c))


@each_class
def test_sizeof_counts_the_table(cls):
    empty = sys.getsizeof(cls())
    big = cls.with_options(capacity=100_000)
    # Every slot holds at least a control byte and a 16-byte key.
    assert sys.getsizeof(big) >= empty + 100_000 * 17
