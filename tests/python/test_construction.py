"""Construction, options, capacity numbers, class surface and copy of all four classes."""

import gc
import math
import types
import weakref
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindle
from support import ELASTIC_FRACTION, FUNNEL_FRACTION, MAP_CLASSES, SET_CLASSES, Sized, fails, filled

ALL = MAP_CLASSES + SET_CLASSES
each_class = pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
each_kind = pytest.mark.parametrize("kind", ["Map", "Set"])


def put(c, x):
    c.add(x) if type(c) in SET_CLASSES else c.__setitem__(x, x)


@each_class
def test_class_and_iterator_surface(cls):
    assert cls.__module__ == "brindle" and cls.__qualname__ == cls.__name__
    alias = cls[str, int]
    assert isinstance(alias, types.GenericAlias) and alias.__origin__ is cls and alias.__args__ == (str, int)
    c = cls()
    for refused in (lambda: type("Sub", (cls,), {}), lambda: hash(c), lambda: weakref.ref(c)):
        pytest.raises(TypeError, refused)
    pytest.raises(AttributeError, setattr, c, "anything", 1)
    it = type(iter(c))
    assert it.__name__ == "_" + cls.__name__.replace("HashMap", "KeyIter").replace("HashSet", "SetIter")
    # The map iterator types are registered in the module, the set iterator types are not.
    assert it.__module__ == "brindle" and hasattr(brindle, it.__name__) == (cls in MAP_CLASSES)
    pytest.raises(TypeError, it)
    c = filled(cls, ["a" * 20, "b" * 20])
    it, expected = iter(c), list(c)
    del c
    gc.collect()
    assert iter(it) is it and list(it) == expected  # the iterator keeps its owner alive


CAPACITIES = [  # family, requested, reserve_fraction (None: the default), capacity
    ("Elastic", 0, None, 0), ("Elastic", 1, None, 12), ("Elastic", 12, None, 12), ("Elastic", 13, None, 24),
    ("Elastic", 1000, None, 1536), ("Elastic", 16, 0.5, 16), ("Elastic", 1, 0.999, 1), ("Elastic", 100, 0.5, 128),
    ("Funnel", 0, None, 0), ("Funnel", 1, None, 14), ("Funnel", 14, None, 14), ("Funnel", 15, None, 28),
    ("Funnel", 1000, None, 1792), ("Funnel", 16, 0.0625, 30), ("Funnel", 16, 0.125, 28), ("Funnel", 10, 0.0625, 15),
]  # fmt: skip


@each_kind
@pytest.mark.parametrize("family, requested, fraction, expected", CAPACITIES)
def test_capacity_numbers(kind, family, requested, fraction, expected):
    cls = getattr(brindle, f"{family}Hash{kind}")
    made = [cls.with_options(requested, fraction), cls.with_options(reserve_fraction=fraction, capacity=requested)]
    if fraction is None:
        made.append(cls(capacity=requested))
    for c in made:
        assert repr(c) == f"{cls.__name__}(len=0, capacity={expected})" and c.capacity == expected


@each_class
def test_capacity_doubles_and_never_shrinks(cls):
    first = 12 if "Elastic" in cls.__name__ else 14
    c = cls()
    for i in range(first):
        put(c, i)
    assert c.capacity == first
    put(c, first)
    assert repr(c) == f"{cls.__name__}(len={first + 1}, capacity={2 * first})"
    c.clear()
    assert c.capacity == 2 * first


class AsFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if self.v is None:
            raise ZeroDivisionError
        return self.v


FRACTIONS = (
    [("Funnel", f, FUNNEL_FRACTION) for f in (0.13, 0, -1, math.nan, math.inf, 1)]
    + [("Elastic", f, ELASTIC_FRACTION) for f in (1.0, 0, -0.5, math.nan, math.inf, -math.inf)]
    + [("Funnel", f, None) for f in (0.125, 1e-300, Fraction(1, 8), AsFloat(0.05))]
    + [("Elastic", f, None) for f in (0.999, 1e-9, Fraction(1, 3), AsFloat(0.5))]
)


@each_kind
@pytest.mark.parametrize("family, fraction, message", FRACTIONS, ids=str)
def test_reserve_fraction(kind, family, fraction, message):
    cls = getattr(brindle, f"{family}Hash{kind}")
    if message:
        assert str(fails(ValueError, cls.with_options, reserve_fraction=fraction)) == message
    else:
        c = cls.with_options(8, fraction)
        put(c, 1)
        assert type(c) is cls and list(c) == [1]


class NoIter:
    pass


ARGUMENT_ERRORS = [  # classes, call, error, message pattern
    (ALL, lambda c: c(capacity=-1), OverflowError, None),
    (ALL, lambda c: c(capacity=2**64), OverflowError, None),
    (ALL, lambda c: c.with_options(-1), OverflowError, None),
    (ALL, lambda c: c(capacity="8"), TypeError, None),
    (ALL, lambda c: c(capacity=1.5), TypeError, None),
    (ALL, lambda c: c(capacity=None), TypeError, None),
    (ALL, lambda c: c.with_options(1, 0.1, 3), TypeError, None),
    (ALL, lambda c: c.with_options(size=3), TypeError, None),
    (ALL, lambda c: c.with_options(0, capacity=0), TypeError, None),
    (ALL, lambda c: c.with_options(reserve_fraction="0.1"), TypeError, None),
    (ALL, lambda c: c.with_options(reserve_fraction=AsFloat(None)), ZeroDivisionError, None),
    (ALL, lambda c: c().copy(1), TypeError, None),
    (ALL, lambda c: c(NoIter()), TypeError, "'NoIter' object is not iterable"),
    (MAP_CLASSES, lambda c: c(None, None), TypeError, None),
    (MAP_CLASSES, lambda c: c(None, other=None), TypeError, None),
    (MAP_CLASSES, lambda c: c.fromkeys(), TypeError, None),
    (MAP_CLASSES, lambda c: c.fromkeys([], None, None), TypeError, None),
    (MAP_CLASSES, lambda c: c.fromkeys([], values=1), TypeError, None),
    (MAP_CLASSES, lambda c: c.fromkeys(5), TypeError, "not iterable"),
    (MAP_CLASSES, lambda c: c.fromkeys([1, [], 2]), TypeError, "unhashable"),
    (MAP_CLASSES, lambda c: c().get(), TypeError, None),
    (SET_CLASSES, lambda c: c([], 10), TypeError, None),  # capacity is keyword-only
    (SET_CLASSES, lambda c: c([], cap=1), TypeError, None),
    (SET_CLASSES, lambda c: c([1, []]), TypeError, "unhashable"),
    (SET_CLASSES, lambda c: c().add(), TypeError, None),
    (SET_CLASSES, lambda c: c().add(1, 2), TypeError, None),
    (SET_CLASSES, lambda c: c().union(other=[1]), TypeError, None),
    (SET_CLASSES, lambda c: c().symmetric_difference([1], [2]), TypeError, None),
]


@pytest.mark.parametrize(
    "cls, call, error, match",
    [pytest.param(c, *case, id=f"{c.__name__}-{i}") for i, (classes, *case) in enumerate(ARGUMENT_ERRORS) for c in classes],
)
def test_argument_errors(cls, call, error, match):
    with pytest.raises(error, match=match):
        call(cls)


@each_class
@pytest.mark.parametrize("requested", [2**31, 2**32 + 16, 2**63])
def test_oversized_capacity_is_a_panic_not_a_small_table(cls, requested):
    assert issubclass(brindle.PanicException, BaseException) and "PanicException" not in brindle.__all__
    for make in (lambda: cls(capacity=requested), lambda: cls.with_options(requested)):
        with pytest.raises(brindle.PanicException, match="^capacity overflow$"):
            try:
                make()
            except Exception:  # noqa: BLE001 - a PanicException must pass through
                pytest.fail("PanicException was caught by `except Exception`")


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
def test_copy_runs_no_key_code_is_sized_for_its_length_and_independent(cls):
    keys = [Counted(i) for i in range(40)]
    c = cls.with_options(1000, 0.1)
    for k in keys:
        put(c, k)
    Counted.calls = 0
    d = c.copy()
    assert Counted.calls == 0
    assert type(d) is cls and sorted(map(id, d)) == sorted(map(id, keys))
    assert d.capacity == cls(capacity=40).capacity < c.capacity
    d.clear()
    assert len(c) == 40 and len(cls().copy()) == 0


def test_fromkeys(map_cls):
    value = object()
    m = map_cls.fromkeys((x for x in [1, 1.0, True, "a"]), value)
    assert type(m) is map_cls and len(m) == 2 and all(m[k] is value for k in m)
    assert type(next(k for k in m if k == 1)) is int  # the first key object stays
    raising_len = Sized([1, 1.0, True, "a"], RuntimeError())  # a length is only a hint
    assert sorted(map(str, map_cls.fromkeys(iterable=raising_len))) == ["1", "a"]
    assert map_cls.fromkeys([1], value=2)[1] == 2


@each_class
@settings(max_examples=60, deadline=None)
@given(fraction=st.floats(0, 0.999, exclude_min=True), n=st.integers(1, 64))
def test_capacity_holds_the_length_at_every_reserve_fraction(cls, fraction, n):
    if cls.__name__.startswith("Funnel"):
        fraction = min(fraction, 0.125)
    c = cls.with_options(reserve_fraction=fraction)
    for i in range(n):
        put(c, i)
        assert c.capacity >= len(c)
