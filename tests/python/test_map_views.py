"""The live keys, values and items views of both map classes."""

import operator
from collections.abc import ItemsView, KeysView

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindle
from support import BORROWED, MAP_CLASSES, raises_exactly, raising_after, twin

KINDS = ("keys", "values", "items")


def prefix(cls, kind):
    return ("elastic_" if cls is brindle.ElasticHashMap else "funnel_") + kind


def view(m, kind):
    return getattr(m, kind)()


@pytest.mark.parametrize("kind", KINDS)
def test_views_are_live_uncached_and_keep_their_map(map_cls, kind):
    m = map_cls()
    v = view(m, kind)
    assert type(v) is getattr(brindle, prefix(map_cls, kind)) and v is not view(m, kind)
    pytest.raises(TypeError, type(v), m)
    if kind != "values":
        pytest.raises(TypeError, hash, v)
    m[1] = "a"
    assert len(v) == 1 and list(v) == [{"keys": 1, "values": "a", "items": (1, "a")}[kind]]
    m.update({i * 7: str(i) for i in range(2, 40)})
    assert list(zip(m.keys(), m.values())) == list(m.items()) and list(m.keys()) == list(m)
    it = iter(v)
    del m
    assert len(v) == 39 and len(list(iter(v))) == 39  # the view holds the map
    next(it)


class RaisingEq:
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise ValueError("no comparison")


def test_membership_has_no_identity_shortcut_and_errors_are_unequal(map_cls):
    nan = float("nan")
    m = map_cls({1: "a", 2: RaisingEq(), 3: nan})
    values, items = m.values(), m.items()
    assert "a" in values and 2 not in values and nan not in values
    assert (2, 0) not in items and (3, nan) not in items
    for less in (operator.lt, operator.ge):
        pytest.raises(TypeError, less, m.keys(), {1, 2})


class Awkward(set):
    """len() raises `length_error`; `x in` it runs `contains`."""

    def __init__(self, length_error=None, contains=None):
        super().__init__([1])
        self.length_error, self.contains = length_error, contains

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return 1

    def __contains__(self, x):
        return self.contains()


def test_the_other_operand_raising_or_writing(map_cls):
    m = map_cls({1: "a"})
    keys, interrupt = m.keys(), lambda: next(raising_after([], KeyboardInterrupt()))
    # == swallows ordinary errors, and what the other side's `in` raised, but not an interrupt.
    assert keys != Awkward(length_error=OverflowError()) and not (keys == Awkward(contains=lambda: 1 / 0))
    assert (keys == Awkward(contains=lambda: m.__setitem__(5, 5))) is False and dict(m.items()) == {1: "a"}
    pytest.raises(KeyboardInterrupt, keys.__eq__, Awkward(length_error=KeyboardInterrupt()))
    pytest.raises(KeyboardInterrupt, keys.__eq__, Awkward(contains=interrupt))
    # The set operators let errors through, and hold the map's borrow while they run.
    pytest.raises(ZeroDivisionError, operator.or_, keys, raising_after([1], ZeroDivisionError()))
    pytest.raises(ZeroDivisionError, operator.sub, m.items(), Awkward(contains=lambda: 1 / 0))
    for op in (operator.and_, operator.sub, operator.xor):
        with raises_exactly(RuntimeError, BORROWED):
            op(keys, Awkward(contains=lambda: m.__setitem__(5, 5)))


# ---- every operation against a reference built on dict views ----------------------------------

keys_st = st.one_of(st.integers(-8, 8), st.text("ab", max_size=2))
values_st = st.one_of(st.integers(0, 2), st.none())
contents_st = st.dictionaries(keys_st, values_st, max_size=8)
elements_st = st.one_of(keys_st, st.tuples(keys_st, values_st))
COLLECTIONS = ["set", "frozenset", "list", "tuple", "iterator", "dict-keys", "dict-items", "same-view", "twin-view", "values"]
OPS = ["len", "iter", "repr", "in", "in-unhashable", "==", "!=", "&", "|", "-", "^", "r&", "r|", "r-", "r^"]
SET_OPS = {"&": operator.and_, "|": operator.or_, "-": operator.sub, "^": operator.xor}
BUILDERS = {"set": set, "frozenset": frozenset, "list": list, "tuple": tuple}


def make_other(cls, how, elements, other_dict):
    """The other operand for brindle, the same for the dict reference, and its view kind if it is a brindle view."""
    if how in BUILDERS:
        return BUILDERS[how](elements), BUILDERS[how](elements), None
    if how == "iterator":  # one-shot: each side gets its own
        return iter(elements), iter(elements), None
    if how.startswith("dict-"):
        return view(other_dict, how[5:]), view(other_dict, how[5:]), None
    if how == "values":
        return cls(other_dict).values(), other_dict.values(), "values"
    kind = "keys" if len(elements) % 2 else "items"
    return view((cls if how == "same-view" else twin(cls))(other_dict), kind), view(other_dict, kind), kind


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
    if not hasattr(ref_other, "__len__"):
        return False  # len() fails: unequal
    return holds_all(ref_other, ref)


def reference(kind, d, op, probe, ref_other, other_kind, how):
    ref = view(d, kind)
    if op in ("iter", "repr"):
        return ("ok", sorted(map(repr, ref)))
    if op == "len":
        return ("ok", len(ref))
    if op == "in":
        return ("ok", probe in ref)
    if op == "in-unhashable":
        return ("TypeError", None) if kind != "values" else ("ok", False)
    if op in ("==", "!="):
        return ("ok", ref_equal(kind, ref, ref_other, other_kind) == (op == "=="))
    if op.startswith("r"):
        # No reflected forms: only a left operand that does the operation itself succeeds
        # (dict views take any iterable; a brindle keys or items view is a left operand too).
        base = op[1:]
        left_works = how.startswith("dict-") or other_kind == "keys" or (other_kind == "items" and base != "^")
        return outcome(lambda: SET_OPS[base](ref_other, ref)) if left_works else ("TypeError", None)
    if kind == "values" or (kind == "items" and op == "^"):
        # The view lacks the operator; only a dict view on the right answers it, reflected.
        return outcome(lambda: SET_OPS[op](ref, ref_other)) if how.startswith("dict-") else ("TypeError", None)
    return outcome(lambda: SET_OPS[op](ref, ref_other))


def run(kind, m, op, probe, other):
    v = view(m, kind)
    if op == "repr":
        assert repr(v) == prefix(type(m), kind) + "([" + ", ".join(map(repr, v)) + "])"
    if op.lstrip("r") in SET_OPS:
        result = outcome(lambda: SET_OPS[op[1:]](other, v) if op.startswith("r") else SET_OPS[op](v, other))
        assert result[0] == "TypeError" or type(result[1]) is set
        return result
    calls = {"len": lambda: len(v), "in": lambda: probe in v, "==": lambda: v == other, "!=": lambda: v != other}
    calls["iter"] = calls["repr"] = lambda: sorted(map(repr, v))
    calls["in-unhashable"] = lambda: (([], 0) if kind == "items" else []) in v
    return outcome(calls[op])


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
