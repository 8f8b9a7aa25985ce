"""What users expect of a container package beyond the dict/set behaviour:
pickling, copying and honest sizes."""

import copy
import pickle
import sys

import pytest

import brindle

MAPS = [brindle.ElasticHashMap, brindle.FunnelHashMap]
SETS = [brindle.ElasticHashSet, brindle.FunnelHashSet]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", MAPS)
def test_maps_pickle_with_contents_class_and_self_references(cls, protocol):
    m = cls.with_options(reserve_fraction=0.1)
    m.update({1: "a", "k": [1, 2], (3, 4): None})
    m["self"] = m
    r = pickle.loads(pickle.dumps(m, protocol))
    assert type(r) is cls
    assert r["self"] is r
    assert {k: v for k, v in r.items() if k != "self"} == {1: "a", "k": [1, 2], (3, 4): None}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", SETS)
def test_sets_pickle_with_contents_and_class(cls, protocol):
    s = cls([1, "a", (2, 3), frozenset({4})])
    r = pickle.loads(pickle.dumps(s, protocol))
    assert type(r) is cls and set(r) == set(s)


@pytest.mark.parametrize("cls", MAPS + SETS)
def test_copy_is_shallow_and_deepcopy_is_deep(cls):
    inner = [1]
    c = cls([(0, inner)]) if cls in MAPS else cls([(0, tuple(inner))])
    shallow, deep = copy.copy(c), copy.deepcopy(c)
    assert type(shallow) is cls and type(deep) is cls
    assert shallow == c and deep == c
    if cls in MAPS:
        assert shallow[0] is inner and deep[0] == inner and deep[0] is not inner


@pytest.mark.parametrize("cls", MAPS)
def test_deepcopy_keeps_cycles(cls):
    m = cls()
    m[0] = m
    d = copy.deepcopy(m)
    assert d[0] is d and d is not m


def views_and_iterators():
    for cls in MAPS:
        m = cls({1: 2})
        yield from (m.keys(), m.values(), m.items(), iter(m), iter(m.values()), iter(m.items()))
    for cls in SETS:
        yield iter(cls([1]))


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_views_and_iterators_refuse_to_pickle(protocol):
    for obj in views_and_iterators():
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(obj, protocol)
        with pytest.raises(TypeError, match="cannot pickle"):
            copy.copy(obj)


@pytest.mark.parametrize("cls", MAPS + SETS)
def test_sizeof_counts_the_table(cls):
    empty = sys.getsizeof(cls())
    big = cls.with_options(capacity=100_000)
    # Every slot holds at least a control byte and a 16-byte key.
    assert sys.getsizeof(big) >= empty + 100_000 * 17
    before = sys.getsizeof(big)
    if cls in MAPS:
        big.update((i, i) for i in range(200_000))
    else:
        big.update(range(200_000))
    assert sys.getsizeof(big) > before  # grew with the table
