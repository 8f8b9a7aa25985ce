"""The live keys, values and items views of both map classes."""

import operator
from collections.abc import ItemsView, KeysView

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindle

MAP_CLASSES = (brindle.ElasticHashMap, brindle.FunnelHashMap)
from support import BORROWED, MUT
KINDS = ("keys", "values", "items")


def prefix(cls, kind):
    return ("elastic_" if cls is brindle.ElasticHashMap else "funnel_") + kind


def view(m, kind):
    return getattr(m, kind)()


@pytest.mark.parametrize("kind", KINDS)
def test_view_classes(map_cls, kind):
    m = map_cls({1: 2})
    v = view(m, kind)
    assert type(v).__name__ == prefix(map_cls, kind)
    assert type(v) is getattr(brindle, prefix(map_cls, kind))
    assert v is not view(m, kind)  # never cached
    with pytest.raises(TypeError):
        type(v)()
    with pytest.raises(TypeError):
        type(v)(m)
    if kind == "values":
        hash(v)
    else:
        with pytest.raises(TypeError):
            hash(v)


@pytest.mark.parametrize("kind", KINDS)
def test_views_are_live_and_keep_their_map(map_cls, kind):
    m = map_cls()
    v = view(m, kind)
    assert len(v) == 0 and list(v) == []
    m[1] = "a"
    assert len(v) == 1 and list(v) == [{"keys": 1, "values": "a", "items": (1, "a")}[kind]]
    m.update({i: i for i in range(2, 40)})
    assert len(v) == 39
    del m
    assert len(v) == 39  # the view holds the map
    it = iter(v)
    assert len(list(it)) == 39


def test_views_iterate_in_one_order(map_cls):
    m = map_cls({i * 7: str(i) for i in range(50)})
    assert list(zip(m.keys(), m.values())) == list(m.items())
    assert list(m.keys()) == list(m)
    it = iter(m.values())
    m[0] = "changed"
    with pytest.raises(RuntimeError, match="changed size"):
        next(it)


def test_reprs(map_cls):
    m = map_cls()
    for kind in KINDS:
        assert repr(view(m, kind)) == prefix(map_cls, kind) + "([])"
    m[1] = "a"
    assert repr(m.keys()) == prefix(map_cls, "keys") + "([1])"
    assert repr(m.values()) == prefix(map_cls, "values") + "(['a'])"
    assert repr(m.items()) == prefix(map_cls, "items") + "([(1, 'a')])"
    m.update({2: None, "k": (3,)})
    # Scan order, the same as iteration order.
    assert repr(m.keys()) == prefix(map_cls, "keys") + "([" + ", ".join(map(repr, m.keys())) + "])"
    assert repr(m.items()) == prefix(map_cls, "items") + "([" + ", ".join(map(repr, m.items())) + "])"
    assert repr(m.values()) == prefix(map_cls, "values") + "([" + ", ".join(map(repr, m.values())) + "])"
    assert sorted(repr(m.keys())[len(prefix(map_cls, "keys")) + 2 : -2].split(", ")) == ["'k'", "1", "2"]


def test_repr_errors_propagate(map_cls):
    class BadRepr:
        def __repr__(self):
            raise ZeroDivisionError

    m = map_cls({1: BadRepr()})
    assert repr(m.keys()) == prefix(map_cls, "keys") + "([1])"
    for v in (m.values(), m.items()):
        with pytest.raises(ZeroDivisionError):
            repr(v)
    m[2] = 2  # the borrows were released
    assert len(m) == 2


class RaisingEq:
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = object.__hash__


class TupleSub(tuple):
    pass


def test_membership(map_cls):
    nan = float("nan")
    m = map_cls({1: "a", 2: RaisingEq(), 3: nan})
    keys, values, items = m.keys(), m.values(), m.items()
    assert 1 in keys and 1.0 in keys and 4 not in keys
    with pytest.raises(TypeError):
        [] in keys
    # Values: `stored == x`, errors swallowed and the search goes on; no identity shortcut.
    assert "a" in values and "b" not in values
    assert 2 not in values
    assert nan not in values
    # Items: only a tuple of length 2 whose value compares equal.
    assert (1, "a") in items and (1.0, "a") in items and TupleSub((1, "a")) in items
    assert [1, "a"] not in items and (1, "a", 0) not in items and (1,) not in items and 1 not in items
    assert (1, "b") not in items and (4, "a") not in items
    assert (2, 0) not in items  # the raising comparison counts as unequal
    assert (3, nan) not in items
    with pytest.raises(TypeError):
        ([], 1) in items
    assert len(m) == 3


def test_equality(map_cls):
    m = map_cls({1: "a", 2: "b"})
    keys, items = m.keys(), m.items()
    for equal in ({1, 2}, [2, 1], (1, 2), frozenset({1, 2}), {1: 0, 2: 0}, {1: "a", 2: "b"}.keys(), m.keys()):
        assert keys == equal and not (keys != equal)
    for unequal in ({1}, [1, 1], [1, 2, 3], {1, 3}, 5, None, "ab", m.items()):
        assert keys != unequal and not (keys == unequal)
    assert items == [(2, "b"), (1, "a")] and items == {1: "a", 2: "b"}.items() and items == twin_items(m)
    assert items != [(1, "a"), (2, "x")] and items != [[1, "a"], [2, "b"]] and items != 5
    assert m.values() != m.values() and not (m.values() == m.values())
    v = m.values()
    assert v == v
    for less in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            less(keys, {1, 2})
        with pytest.raises(TypeError):
            less(items, set(items))


def twin_items(m):
    other = brindle.FunnelHashMap if type(m) is brindle.ElasticHashMap else brindle.ElasticHashMap
    return other(dict(m.items())).items()


def test_equality_swallows_errors_of_the_other_side(map_cls):
    class Awkward:
        def __init__(self, length_error=None, contains_error=None):
            self.length_error, self.contains_error = length_error, contains_error

        def __len__(self):
            if self.length_error:
                raise self.length_error
            return 1

        def __contains__(self, x):
            raise self.contains_error

    keys = map_cls({1: 1}).keys()
    assert keys != Awkward(length_error=OverflowError())
    assert keys != Awkward(contains_error=LookupError())
    assert not (keys == Awkward(contains_error=LookupError()))
    # An interrupt is not an answer to "equal?": it still ends the comparison.
    for awkward in (Awkward(length_error=KeyboardInterrupt()), Awkward(contains_error=KeyboardInterrupt())):
        with pytest.raises(KeyboardInterrupt):
            keys == awkward


@pytest.mark.parametrize(
    "kind, op, other, expected",
    [
        ("keys", operator.and_, [1, 3], {1}),
        ("keys", operator.or_, [9], {1, 2, 9}),
        ("keys", operator.sub, {2}, {1}),
        ("keys", operator.xor, (2, 3), {1, 3}),
        ("items", operator.and_, [(1, "a"), (2, "x")], {(1, "a")}),
        ("items", operator.or_, [(9, 9)], {(1, "a"), (2, "b"), (9, 9)}),
        ("items", operator.sub, {(2, "b"), 5}, {(1, "a")}),
    ],
)
def test_set_operators_return_builtin_sets(map_cls, kind, op, other, expected):
    m = map_cls({1: "a", 2: "b"})
    result = op(view(m, kind), other)
    assert type(result) is set and result == expected


@pytest.mark.parametrize("kind", ["keys", "items"])
@pytest.mark.parametrize("op", [operator.and_, operator.or_, operator.sub, operator.xor])
def test_no_reflected_set_operators(map_cls, kind, op):
    m = map_cls({1: "a"})
    for left in ({1}, frozenset(), [1], (1,)):
        with pytest.raises(TypeError):
            op(left, view(m, kind))


@pytest.mark.parametrize(
    "kind, op",
    [("items", operator.xor)] + [("values", op) for op in (operator.and_, operator.or_, operator.sub, operator.xor)],
)
def test_missing_set_operators(map_cls, kind, op):
    m = map_cls({1: "a"})
    with pytest.raises(TypeError):
        op(view(m, kind), {(1, "a")})


def test_set_operator_errors_propagate(map_cls):
    m = map_cls({1: "a"})

    def broken():
        yield 1
        raise ZeroDivisionError

    with pytest.raises(TypeError):
        m.keys() ^ [[]]  # an unhashable element of the other side
    with pytest.raises(TypeError):
        m.keys() | [[]]
    with pytest.raises(TypeError):
        m.keys() & 5
    with pytest.raises(ZeroDivisionError):
        m.keys() | broken()
    with pytest.raises(ZeroDivisionError):
        m.items() - RaisingContains()
    m[2] = 2  # borrows were released
    assert len(m.keys()) == 2


class RaisingContains:
    def __contains__(self, x):
        raise ZeroDivisionError


# ---- borrows --------------------------------------------------------------------------------

VIEW_OPS = {
    "len": lambda m: len(m.keys()),
    "iter": lambda m: iter(m.values()),
    "keys-in": lambda m: 0 in m.keys(),
    "values-in": lambda m: 0 in m.values(),
    "items-in": lambda m: (0, 0) in m.items(),
    "repr": lambda m: repr(m.items()),
    "eq": lambda m: m.keys() == {0},
    "ne": lambda m: m.items() != {(0, 0)},
    "and": lambda m: m.keys() & {0},
    "or": lambda m: m.items() | set(),
    "sub": lambda m: m.keys() - {0},
    "xor": lambda m: m.keys() ^ {0},
}


class Hooked:
    def __init__(self, hook):
        self.hook = hook

    def __hash__(self):
        self.hook()
        return 3


@pytest.mark.parametrize("op", VIEW_OPS.values(), ids=VIEW_OPS.keys())
@pytest.mark.parametrize("mutation", ["setitem", "update"])
def test_view_of_a_map_being_mutated_is_a_panic(map_cls, panic_exception, op, mutation):
    m = map_cls({0: 0})
    it = iter(m)
    k = Hooked(lambda: op(m))
    with pytest.raises(panic_exception) as ei:
        if mutation == "setitem":
            m[k] = 1
        else:
            m.update([(k, 1)])
    assert ei.value.args == (MUT,)
    assert list(it) == [0] and list(m.items()) == [(0, 0)]
    m[1] = 1  # every borrow was released
    assert len(m.keys()) == 2


def test_mutating_the_map_from_a_view_operation(map_cls):
    m = map_cls({0: 0})

    class Meddles:
        def __len__(self):
            return 1

        def __contains__(self, x):
            m[5] = 5
            return True

    for op in (operator.and_, operator.sub, operator.xor):
        with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
            op(m.keys(), Meddles())
    assert (m.keys() == Meddles()) is False  # == swallows what `in` raised
    assert dict(m.items()) == {0: 0}


# ---- every operation against a reference built on dict views ----------------------------------

keys_st = st.one_of(st.integers(-8, 8), st.text("ab", max_size=2))
values_st = st.one_of(st.integers(0, 2), st.none())
contents_st = st.dictionaries(keys_st, values_st, max_size=8)
items_st = st.tuples(keys_st, values_st)
elements_st = st.one_of(keys_st, items_st)
COLLECTIONS = ["set", "frozenset", "list", "tuple", "dict-keys", "dict-items", "same-view", "twin-view", "values"]
OPS = ["len", "iter", "repr", "in", "in-unhashable", "==", "!=", "&", "|", "-", "^", "r&", "r|", "r-", "r^"]


def ref_view(d, kind):
    return getattr(d, kind)()


def make_other(cls, how, elements, other_dict):
    """The other operand for brindle, the same for the dict reference, and its view kind if it is a brindle view."""
    if how in ("set", "frozenset", "list", "tuple"):
        build = {"set": set, "frozenset": frozenset, "list": list, "tuple": tuple}[how]
        return build(elements), build(elements), None
    if how == "dict-keys":
        return other_dict.keys(), other_dict.keys(), None
    if how == "dict-items":
        return other_dict.items(), other_dict.items(), None
    if how == "values":
        return cls(other_dict).values(), other_dict.values(), "values"
    target = cls if how == "same-view" else next(c for c in MAP_CLASSES if c is not cls)
    kind = "keys" if len(elements) % 2 else "items"
    return view(target(other_dict), kind), ref_view(other_dict, kind), kind


def outcome(f):
    try:
        return ("ok", f())
    except TypeError:
        return ("TypeError", None)


def holds_all(container, elements):
    # The documented difference: a view equals any sized container of its length holding all its elements.
    return len(container) == len(elements) and all(e in container for e in elements)


def ref_equal(kind, ref, ref_other, other_kind):
    if kind == "values":
        # Identity only, unless a brindle keys or items view on the other side answers the reflected ==.
        return holds_all(ref, ref_other) if other_kind in ("keys", "items") else False
    if isinstance(ref_other, (set, frozenset, KeysView, ItemsView)):
        return ref == ref_other
    return holds_all(ref_other, ref)


SET_OPS = {"&": operator.and_, "|": operator.or_, "-": operator.sub, "^": operator.xor}


def reference(kind, d, op, probe, ref_other, other_kind, how):
    ref = ref_view(d, kind)
    if op in ("iter", "repr"):
        return ("ok", sorted(map(repr, ref)))
    if op == "len":
        return ("ok", len(ref))
    if op == "in":
        return ("ok", probe in ref)
    if op == "in-unhashable":
        return ("TypeError", None) if kind != "values" else ("ok", False)
    if op == "==":
        return ("ok", ref_equal(kind, ref, ref_other, other_kind))
    if op == "!=":
        return ("ok", not ref_equal(kind, ref, ref_other, other_kind))
    if op.startswith("r"):
        # No reflected forms: only a left operand that does the operation itself succeeds
        # (dict views take any iterable; a brindle keys or items view is a left operand too).
        base = op[1:]
        left_works = how in ("dict-keys", "dict-items") or other_kind == "keys" or (other_kind == "items" and base != "^")
        return outcome(lambda: SET_OPS[base](ref_other, ref)) if left_works else ("TypeError", None)
    if kind == "values" or (kind == "items" and op == "^"):
        # The view lacks the operator; only a dict view on the right answers it, reflected.
        return outcome(lambda: SET_OPS[op](ref, ref_other)) if how in ("dict-keys", "dict-items") else ("TypeError", None)
    return outcome(lambda: SET_OPS[op](ref, ref_other))


def run(kind, m, op, probe, other):
    v = view(m, kind)
    if op == "len":
        return outcome(lambda: len(v))
    if op == "iter":
        return outcome(lambda: sorted(map(repr, v)))
    if op == "repr":
        text = repr(v)
        assert text == prefix(type(m), kind) + "([" + ", ".join(map(repr, v)) + "])"
        return ("ok", sorted(map(repr, v)))
    if op == "in":
        return outcome(lambda: probe in v)
    if op == "in-unhashable":
        return outcome(lambda: ([], 0) in v if kind == "items" else [] in v)
    if op == "==":
        return outcome(lambda: v == other)
    if op == "!=":
        return outcome(lambda: v != other)

    def checked():
        result = SET_OPS[op[1:]](other, v) if op.startswith("r") else SET_OPS[op](v, other)
        assert type(result) is set
        return result

    return outcome(checked)


@pytest.mark.parametrize("cls", MAP_CLASSES, ids=lambda c: c.__name__)
@settings(max_examples=500, deadline=None)
@given(
    d=contents_st,
    other_dict=contents_st,
    kind=st.sampled_from(KINDS),
    op=st.sampled_from(OPS),
    how=st.sampled_from(COLLECTIONS),
    elements=st.lists(elements_st, max_size=8),
    probe=st.one_of(elements_st, st.lists(keys_st, max_size=2).map(tuple)),
)
def test_views_match_dict_views(cls, d, other_dict, kind, op, how, elements, probe):
    m = cls(d)
    other, ref_other, other_kind = make_other(cls, how, elements, other_dict)
    assert run(kind, m, op, probe, other) == reference(kind, d, op, probe, ref_other, other_kind, how)
    assert dict(m.items()) == d  # views never change their map
