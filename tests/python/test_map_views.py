"""The live keys, values and items views of both map classes."""

import operator

import pytest

import brindle
from support import twin

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


# ---- set operations and equality, against what dict views answer ------------------------------

VIEW_CASES = {  # on m holding {1: "a", 2: "b"}: an expression and its value, or the error it raises
    "keys-and-list": (lambda m: m.keys() & [2, 3], {2}),
    "keys-or-iterator": (lambda m: m.keys() | iter([3, 3]), {1, 2, 3}),
    "keys-xor-twin-keys": (lambda m: m.keys() ^ twin(type(m))({2: 0, 3: 0}).keys(), {1, 3}),
    "items-sub-dict-items": (lambda m: m.items() - {1: "a"}.items(), {(2, "b")}),
    "dict-items-xor-view": (lambda m: {1: "a"}.items() ^ m.items(), {(2, "b")}),
    # No reflected forms, no ^ on items and no operators on values.
    "list-and-keys": (lambda m: [3] & m.keys(), TypeError),
    "items-xor": (lambda m: m.items() ^ [(1, "a")], TypeError),
    "values-and": (lambda m: m.values() & ["a"], TypeError),
    # A view equals any sized container of its length that holds all its elements.
    "keys-eq-list": (lambda m: m.keys() == [2, 1], True),
    "keys-eq-short-list": (lambda m: m.keys() == [1, 1], False),
    "keys-eq-iterator": (lambda m: m.keys() == iter([1, 2]), False),
    "items-eq-dict-items": (lambda m: m.items() == {1: "a", 2: "x"}.items(), False),
    "values-eq-values": (lambda m: m.values() == m.values(), False),
    "unhashable-in-keys": (lambda m: [] in m.keys(), TypeError),
    "unhashable-in-values": (lambda m: [] in m.values(), False),
}


@pytest.mark.parametrize("expr, expected", VIEW_CASES.values(), ids=VIEW_CASES.keys())
def test_view_operations(map_cls, expr, expected):
    m = map_cls({1: "a", 2: "b"})
    if expected is TypeError:
        pytest.raises(TypeError, expr, m)
    else:
        got = expr(m)
        assert got == expected and type(got) is type(expected)
    assert dict(m.items()) == {1: "a", 2: "b"}  # views never change their map
    for kind in KINDS:
        assert repr(view(m, kind)) == prefix(map_cls, kind) + "([" + ", ".join(map(repr, view(m, kind))) + "])"
