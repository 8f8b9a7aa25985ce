"""Construction, options, fromkeys, copy, capacity, repr and the generic alias of both map classes."""

import inspect
import math
import types

import pytest

import brindle
from brindle import ElasticHashMap, FunnelHashMap

FUNNEL_MESSAGE = "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design"
ELASTIC_MESSAGE = "reserve_fraction must be in the open interval (0, 1)"


def test_class_shape(map_cls):
    assert map_cls.__module__ == "brindle"
    assert map_cls.__qualname__ == map_cls.__name__
    assert str(inspect.signature(map_cls)) == "(other=None, *, capacity=0, **kwargs)"
    assert str(inspect.signature(map_cls.with_options)) == "(capacity=0, reserve_fraction=None)"
    assert str(inspect.signature(map_cls.fromkeys)) == "(iterable, value=None)"
    for name in ("get", "pop", "setdefault"):
        assert str(inspect.signature(getattr(map_cls, name))) == "(self, /, key, default=None)"
    with pytest.raises(TypeError):
        type("Sub", (map_cls,), {})
    with pytest.raises(TypeError):
        hash(map_cls())
    m = map_cls()
    with pytest.raises(AttributeError):
        m.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(m)


# ---- constructor arguments ---------------------------------------------------


def test_constructor_defaults(map_cls):
    for m in (map_cls(), map_cls(None), map_cls(other=None), map_cls(capacity=100)):
        assert len(m) == 0
        assert list(m) == []
    # The keyword binds the parameter; it never becomes a key.
    assert "capacity" not in map_cls(capacity=5)


@pytest.mark.parametrize(
    "capacity, error",
    [(-1, OverflowError), (2**64, OverflowError), ("8", TypeError), (1.5, TypeError), (None, TypeError)],
)
def test_capacity_conversion_errors(map_cls, capacity, error):
    with pytest.raises(error):
        map_cls(capacity=capacity)
    with pytest.raises(error):
        map_cls.with_options(capacity=capacity)


def test_capacity_accepts_index_objects(map_cls):
    class Index:
        def __index__(self):
            return 13

    assert map_cls(capacity=Index()).capacity == map_cls(capacity=13).capacity


ARGUMENT_ERRORS = {
    "two-positional": lambda c: c(None, None),
    "other-twice": lambda c: c(None, other=None),
    "with_options-three-positional": lambda c: c.with_options(0, None, 1),
    "with_options-unknown-keyword": lambda c: c.with_options(capacity=0, nonsense=1),
    "with_options-capacity-twice": lambda c: c.with_options(0, capacity=0),
    "fromkeys-missing-iterable": lambda c: c.fromkeys(),
    "fromkeys-surplus": lambda c: c.fromkeys([], None, None),
    "fromkeys-unknown-keyword": lambda c: c.fromkeys([], values=1),
    "copy-with-argument": lambda c: c().copy(1),
}


@pytest.mark.parametrize("call", ARGUMENT_ERRORS.values(), ids=ARGUMENT_ERRORS.keys())
def test_argument_errors(map_cls, call):
    with pytest.raises(TypeError):
        call(map_cls)


# ---- capacity numbers ----------------------------------------------------------

# The item limit a fresh table reports for a requested capacity at the default
# reserve fraction (0.25 elastic, capped to 0.125 by the funnel table).
CAPACITIES = [
    (ElasticHashMap, 0, 0),
    (ElasticHashMap, 1, 12),
    (ElasticHashMap, 12, 12),
    (ElasticHashMap, 13, 24),
    (ElasticHashMap, 1000, 1536),
    (FunnelHashMap, 0, 0),
    (FunnelHashMap, 1, 14),
    (FunnelHashMap, 14, 14),
    (FunnelHashMap, 15, 28),
    (FunnelHashMap, 1000, 1792),
]


@pytest.mark.parametrize("cls, requested, expected", CAPACITIES, ids=lambda v: getattr(v, "__name__", v))
def test_capacity_for_requested_size(cls, requested, expected):
    m = cls(capacity=requested)
    assert m.capacity == expected
    assert cls.with_options(requested).capacity == expected
    assert repr(m) == f"{cls.__name__}(len=0, capacity={expected})"


@pytest.mark.parametrize(
    "cls, requested, fraction, expected",
    [
        (ElasticHashMap, 16, 0.5, 16),
        (ElasticHashMap, 1, 0.999, 1),
        (ElasticHashMap, 12, 0.25, 12),
        (FunnelHashMap, 16, 0.0625, 30),
        (FunnelHashMap, 16, 0.125, 28),
        (FunnelHashMap, 14, None, 14),
    ],
    ids=str,
)
def test_capacity_with_reserve_fraction(cls, requested, fraction, expected):
    assert cls.with_options(requested, fraction).capacity == expected
    assert cls.with_options(reserve_fraction=fraction, capacity=requested).capacity == expected


@pytest.mark.parametrize("cls, first, second", [(ElasticHashMap, 12, 24), (FunnelHashMap, 14, 28)], ids=str)
def test_capacity_grows_by_doubling(cls, first, second):
    m = cls()
    m[0] = 0
    assert m.capacity == first
    for i in range(first):
        m[i] = i
    assert m.capacity == first
    m[first] = 0
    assert m.capacity == second
    assert repr(m) == f"{cls.__name__}(len={first + 1}, capacity={second})"
    # Removing keeps the capacity: tables never shrink.
    m.clear()
    assert m.capacity == second


@pytest.mark.parametrize("requested", [2**31, 2**32 + 16, 2**63])
def test_oversized_capacity_is_a_panic_not_a_small_table(map_cls, requested, panic_exception):
    for make in (lambda: map_cls(capacity=requested), lambda: map_cls.with_options(requested)):
        with pytest.raises(panic_exception, match="^capacity overflow$"):
            try:
                make()
            except Exception:  # noqa: BLE001 - a PanicException must pass through
                pytest.fail("PanicException was caught by `except Exception`")


def test_panic_exception_class(panic_exception):
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__name__ == "PanicException"
    assert not hasattr(brindle, "PanicException")


# ---- with_options ----------------------------------------------------------------


class AsFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


@pytest.mark.parametrize(
    "cls, fraction",
    [
        (FunnelHashMap, 0.125),
        (FunnelHashMap, 1e-6),
        (FunnelHashMap, 0.1),
        (FunnelHashMap, AsFloat(0.05)),
        (ElasticHashMap, 0.999),
        (ElasticHashMap, 1e-9),
        (ElasticHashMap, 0.5),
        (ElasticHashMap, AsFloat(0.5)),
        (ElasticHashMap, None),
    ],
    ids=str,
)
def test_reserve_fraction_accepted(cls, fraction):
    m = cls.with_options(reserve_fraction=fraction)
    assert type(m) is cls and len(m) == 0
    m[1] = 2
    assert m[1] == 2


@pytest.mark.parametrize(
    "cls, fraction, message",
    [(FunnelHashMap, f, FUNNEL_MESSAGE) for f in (0.13, 0, 0.0, -1, math.nan, math.inf, 1)]
    + [(ElasticHashMap, f, ELASTIC_MESSAGE) for f in (1.0, 1, 0, -0.5, math.nan, math.inf, -math.inf)],
    ids=str,
)
def test_reserve_fraction_rejected(cls, fraction, message):
    with pytest.raises(ValueError) as ei:
        cls.with_options(reserve_fraction=fraction)
    assert str(ei.value) == message


def test_reserve_fraction_conversion_error(map_cls):
    with pytest.raises(TypeError):
        map_cls.with_options(reserve_fraction="0.1")

    class Bad:
        def __float__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        map_cls.with_options(reserve_fraction=Bad())


# ---- fromkeys ------------------------------------------------------------------------


def test_fromkeys(map_cls):
    m = map_cls.fromkeys(x for x in "abca")
    assert type(m) is map_cls
    assert sorted(m) == ["a", "b", "c"]
    assert all(m[k] is None for k in "abc")

    value = object()
    m = map_cls.fromkeys(range(100), value)
    assert len(m) == 100 and all(m[i] is value for i in range(100))
    assert map_cls.fromkeys(iterable=[1], value=2)[1] == 2


def test_fromkeys_keeps_the_first_key_object(map_cls):
    m = map_cls.fromkeys([1, 1.0, True], "v")
    assert len(m) == 1
    (key,) = list(m)
    assert type(key) is int


def test_fromkeys_len_failures_are_only_a_hint(map_cls):
    class LyingLen:
        def __len__(self):
            raise RuntimeError("no length")

        def __iter__(self):
            return iter([3, 4])

    class HugeLen:
        def __len__(self):
            return 2**40

        def __iter__(self):
            return iter([5])

    assert sorted(map_cls.fromkeys(LyingLen())) == [3, 4]
    assert list(map_cls.fromkeys(HugeLen())) == [5]


def test_fromkeys_errors(map_cls):
    def failing():
        yield 1
        raise LookupError("mid-way")

    with pytest.raises(TypeError):
        map_cls.fromkeys(5)
    with pytest.raises(TypeError):
        map_cls.fromkeys([1, [], 2])
    with pytest.raises(LookupError, match="mid-way"):
        map_cls.fromkeys(failing())


# ---- copy --------------------------------------------------------------------------------


class Counted:
    """Equal when the ids are; counts every __hash__ and __eq__ call."""

    hashes = 0
    eqs = 0

    def __init__(self, ident):
        self.ident = ident

    def __hash__(self):
        Counted.hashes += 1
        return 7  # all collide, so a copy that compared keys would show it

    def __eq__(self, other):
        Counted.eqs += 1
        return isinstance(other, Counted) and other.ident == self.ident


def test_copy_runs_no_python_key_code(map_cls):
    m = map_cls()
    keys = [Counted(i) for i in range(40)]
    for k in keys:
        m[k] = k.ident
    Counted.hashes = Counted.eqs = 0
    c = m.copy()
    assert (Counted.hashes, Counted.eqs) == (0, 0)
    assert type(c) is map_cls and len(c) == 40
    assert {id(k) for k in c} == {id(k) for k in keys}
    assert all(c[k] == k.ident for k in keys)


def test_copy_is_independent(map_cls):
    m = map_cls()
    for i in range(50):
        m[i] = str(i)
    it = iter(m)
    c = m.copy()
    assert c == m and c is not m
    c[1000] = "x"
    del c[0]
    c.clear()
    assert len(m) == 50 and m[0] == "0"
    assert next(it) in m  # the source's iterator does not see the copy's changes
    assert map_cls().copy() == map_cls()


def test_class_getitem(map_cls):
    alias = map_cls[str, int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is map_cls
    assert alias.__args__ == (str, int)
    assert map_cls.__class_getitem__.__doc__.startswith("Runtime support for `Cls[K, V]` syntax")
