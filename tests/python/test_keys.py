"""Key and element semantics of all four classes, and equality of the maps."""

import pytest

from support import MAP_CLASSES, SET_CLASSES, Mapping, bumped, filled

MISSING = object()


class NeverEqualStr(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


def test_key_semantics_follow_dict(map_cls):
    # A str subclass that is never equal must not be taken for the str it hashes like.
    stored, probes = [NeverEqualStr("key"), "key"], ["key", NeverEqualStr("key")]
    m, d = map_cls(), {}
    for i, k in enumerate(stored):
        m[k] = d[k] = i
    assert sorted(map(id, m)) == sorted(map(id, d))  # the same key objects stay
    assert [m.get(p, MISSING) for p in stored + probes] == [d.get(p, MISSING) for p in stored + probes]


class BadHash:
    def __hash__(self):
        raise ArithmeticError("hash failed")


UNHASHABLE_OPS = {
    "map-getitem": lambda m, k: m[k],
    "map-setitem": lambda m, k: m.__setitem__(k, 1),
    "set-add": lambda s, x: s.add(x),
    "set-contains": lambda s, x: x in s,
}


@pytest.mark.parametrize("case", UNHASHABLE_OPS)
@pytest.mark.parametrize(
    "key, error, match",
    [([], TypeError, "unhashable"), ({1}, TypeError, "unhashable"), (BadHash(), ArithmeticError, "hash failed")],
    ids=["list", "set-no-frozenset-fallback", "raising-hash"],
)
def test_keys_that_cannot_be_hashed_raise_and_change_nothing(case, key, error, match):
    for cls in MAP_CLASSES if case.startswith("map") else SET_CLASSES:
        c = filled(cls, [1, frozenset({1})])
        it = iter(c)
        with pytest.raises(error, match=match):
            UNHASHABLE_OPS[case](c, key)
        assert sorted(map(repr, c)) == ["1", "frozenset({1})"] and not bumped(it)


class GetItemRaises(Mapping):
    def __getitem__(self, k):
        raise RuntimeError("no item")


class KeysRaises:
    @property
    def keys(self):
        raise RuntimeError("no keys")


class RaisingValue:
    __hash__ = None

    def __eq__(self, other):
        raise ValueError("values do not compare")


C = {1: 2, "a": [3]}
EQUALITY = {  # the other side, built for the map's class; whether it is equal to C
    "dict-equal-key": (lambda cls: {1.0: 2, "a": [3]}, True),
    "dict-other-value": (lambda cls: {1: 2, "a": [4]}, False),
    "mapping-lying-len": (lambda cls: Mapping(C, length=3), False),
    "mapping-raising-getitem": (lambda cls: GetItemRaises(C), False),
    "raising-keys": (lambda cls: KeysRaises(), False),
    "pairs": (lambda cls: list(C.items()), False),
    # Values whose comparison raises are unequal, on all three paths.
    "same-class-raising-value": (lambda cls: cls({1: 2, "a": RaisingValue()}), False),
    "dict-raising-value": (lambda cls: {1: 2, "a": RaisingValue()}, False),
    "mapping-raising-value": (lambda cls: Mapping({1: 2, "a": RaisingValue()}), False),
}


@pytest.mark.parametrize("make, expected", EQUALITY.values(), ids=EQUALITY.keys())
def test_equality(map_cls, make, expected):
    m, other = map_cls(C), make(map_cls)
    assert (m == other) is expected and (other == m) is expected
    assert (m != other) is not expected and (other != m) is not expected
    assert m.__lt__(other) is NotImplemented
    pytest.raises(TypeError, lambda: m >= other)
