"""Snapshot iterators of both map classes and the version rules seen through them."""

import gc

import pytest

from support import CHANGED


def filled(cls, n=20):
    m = cls()
    for i in range(n):
        m[i] = str(i)
    return m


def test_iterator_yields_the_stored_key_objects(map_cls):
    m = map_cls()
    keys = [object(), "str-key", 2**80, 12345678, (1, 2), 1.5]
    for k in keys:
        m[k] = None
    assert sorted(map(id, m)) == sorted(map(id, keys))
    # The tag bits of exact str and int keys never leak into what is yielded.
    assert {type(k) for k in m} == {object, str, int, tuple, float}


def test_iterator_protocol(map_cls):
    m = filled(map_cls, 3)
    it = iter(m)
    assert iter(it) is it
    assert type(it).__name__ == "_" + map_cls.__name__.replace("HashMap", "KeyIter")
    assert type(it).__module__ == "brindle"
    with pytest.raises(TypeError):
        type(it)()
    assert sorted(it) == [0, 1, 2]
    for _ in range(3):  # exhausted stays exhausted while the map is unchanged
        with pytest.raises(StopIteration):
            next(it)
    empty = iter(map_cls())
    assert list(empty) == []


def test_iterators_are_independent_snapshots(map_cls):
    m = filled(map_cls, 50)
    a, b = iter(m), iter(m)
    first = [next(a) for _ in range(10)]
    assert list(b) == first + list(a)


def test_iterator_keeps_the_map_and_its_keys_alive(map_cls):
    m = map_cls()
    m["key-" + "x" * 10] = 1
    it = iter(m)
    m_ref = m
    del m
    gc.collect()
    assert next(it) == "key-" + "x" * 10
    assert len(m_ref) == 1


@pytest.mark.parametrize(
    "mutate",
    [
        lambda m: m.__setitem__(100, "new"),
        lambda m: m.__setitem__(1, m[1]),  # same key, same value: still a change
        lambda m: m.__setitem__(1.0, "replaced"),
        lambda m: m.__delitem__(1),
        lambda m: m.pop(1),
        lambda m: m.pop(1, "default"),
        lambda m: m.popitem(),
        lambda m: m.setdefault(100),
        lambda m: m.clear(),
    ],
    ids=["add", "same-value", "replace", "del", "pop", "pop-default-found", "popitem", "setdefault-new", "clear"],
)
def test_mutations_invalidate_live_iterators(map_cls, mutate):
    m = filled(map_cls)
    fresh, started, done = iter(m), iter(m), iter(m)
    next(started)
    list(done)
    mutate(m)
    for it in (fresh, started, done):
        for _ in range(2):  # every later call fails the same way
            with pytest.raises(RuntimeError) as ei:
                next(it)
            assert str(ei.value) == CHANGED


def test_clear_of_an_empty_map_invalidates(map_cls):
    m = map_cls()
    it = iter(m)
    m.clear()
    with pytest.raises(RuntimeError, match=CHANGED):
        next(it)


def _expect(exc, fn):
    def run(m):
        with pytest.raises(exc):
            fn(m)

    return run


@pytest.mark.parametrize(
    "action",
    [
        lambda m: m.get(1),
        lambda m: m[1],
        lambda m: 1 in m,
        lambda m: len(m),
        lambda m: repr(m),
        lambda m: m.capacity,
        lambda m: m == {},
        lambda m: m.copy().clear(),
        lambda m: list(m),
        lambda m: m.setdefault(1, "ignored"),
        lambda m: m.pop("missing", 0),
        _expect(KeyError, lambda m: m.pop("missing")),
        _expect(KeyError, lambda m: m.__delitem__("missing")),
        _expect(TypeError, lambda m: m.__setitem__([], 1)),
    ],
    ids=[
        "get",
        "getitem",
        "contains",
        "len",
        "repr",
        "capacity",
        "eq",
        "copy-mutated",
        "iterate",
        "setdefault-present",
        "pop-missing-default",
        "pop-missing",
        "del-missing",
        "store-unhashable",
    ],
)
def test_reads_and_failed_mutations_keep_iterators_valid(map_cls, action):
    m = filled(map_cls)
    it = iter(m)
    expected = list(iter(m))
    action(m)
    assert list(it) == expected


def test_popitem_on_empty_map_does_not_invalidate(map_cls):
    m = map_cls()
    it = iter(m)
    with pytest.raises(KeyError):
        m.popitem()
    assert list(it) == []


def test_iteration_order_is_stable_without_changes(map_cls):
    m = filled(map_cls, 200)
    assert list(m) == list(m)
    assert sorted(m) == list(range(200))
