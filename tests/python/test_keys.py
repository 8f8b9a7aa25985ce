"""Key and element semantics of all four classes, and equality of the maps."""

import pytest

from support import MAP_CLASSES, SET_CLASSES, Mapping, bumped, filled, twin

MISSING = object()


class NeverEqualStr(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


# Keys stored in order, then probes; a dict gives the expected answers.  The
# state machine meets 1 / 1.0 / True, big ints and NaN.
KEY_CASES = {
    "machine-words": ([0, -1, 2**63 - 1, -(2**63), 2**63], [int(str(k)) for k in (0, -1, 2**63 - 1, -(2**63), 2**63)]),
    "str-subclass": ([NeverEqualStr("key"), "key"], ["key", NeverEqualStr("key")]),
    # Equal strings built at run time, so not the stored objects.
    "non-ascii-str": (["ключ", "\ud800x", "🐍" * 10], ["".join(list(k)) for k in ("ключ", "\ud800x", "🐍" * 10)]),
}


@pytest.mark.parametrize("stored, probes", KEY_CASES.values(), ids=KEY_CASES.keys())
def test_key_semantics_follow_dict(map_cls, stored, probes):
    m, d = map_cls(), {}
    for i, k in enumerate(stored):
        m[k] = d[k] = i
    assert sorted(map(id, m)) == sorted(map(id, d))  # the same key objects stay
    assert [m.get(p, MISSING) for p in stored + probes] == [d.get(p, MISSING) for p in stored + probes]


class RaisingEq:
    def __hash__(self):
        return 5

    def __eq__(self, other):
        raise ValueError("no comparison")


def test_raising_eq_counts_as_unequal(map_cls):
    m = map_cls()
    a, b = RaisingEq(), RaisingEq()
    m[a] = "a"
    assert m[a] == "a" and b not in m and m.get(b, "none") == "none"
    pytest.raises(KeyError, m.__getitem__, b)
    m[b] = "b"  # a second key, as the comparison never says "equal"
    assert len(m) == 2 and m.pop(a) == "a" and m[b] == "b"


class BadHash:
    def __hash__(self):
        raise ArithmeticError("hash failed")


UNHASHABLE_OPS = {
    "map-getitem": lambda m, k: m[k],
    "map-setitem": lambda m, k: m.__setitem__(k, 1),
    "map-setdefault": lambda m, k: m.setdefault(k),
    "set-add": lambda s, x: s.add(x),
    "set-contains": lambda s, x: x in s,
    "set-isdisjoint": lambda s, x: s.isdisjoint([x]),
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


class DictSub(dict):
    pass


C = {1: 2, "a": [3]}
EQUALITY = {  # the other side, built for the map's class; whether it is equal to C
    "same-class": (lambda cls: cls(C), True),
    "same-class-other-value": (lambda cls: cls({1: 2, "a": [4]}), False),
    "twin": (lambda cls: twin(cls)(C), True),
    "dict-equal-key": (lambda cls: {1.0: 2, "a": [3]}, True),
    "dict-other-value": (lambda cls: {1: 2, "a": [4]}, False),
    "dict-subclass": (lambda cls: DictSub(C), True),
    "mapping": (lambda cls: Mapping(C), True),
    "mapping-lying-len": (lambda cls: Mapping(C, length=3), False),
    "mapping-raising-getitem": (lambda cls: GetItemRaises(C), False),
    "raising-keys": (lambda cls: KeysRaises(), False),
    "pairs": (lambda cls: list(C.items()), False),
}


@pytest.mark.parametrize("make, expected", EQUALITY.values(), ids=EQUALITY.keys())
def test_equality(map_cls, make, expected):
    m, other = map_cls(C), make(map_cls)
    assert (m == other) is expected and (other == m) is expected
    assert (m != other) is not expected and (other != m) is not expected


def test_equality_never_raises_for_values_and_has_no_ordering(map_cls):
    m = map_cls({1: RaisingValue()})
    for other in (map_cls({1: RaisingValue()}), {1: RaisingValue()}, Mapping({1: RaisingValue()})):
        assert (m == other) is False and (m != other) is True
    assert m.__lt__(m) is NotImplemented
    for less in (lambda: m < m, lambda: m >= {}):
        pytest.raises(TypeError, less)

