"""update, |=, | and initial contents of both map classes, beyond what the
state machine drives: arguments, failing sources and merges."""

import pytest

from support import BORROWED, CHANGED, HookKey, KeysOnly, bumped, raises_exactly, raising_after, twin

def contents(m):
    return {k: m[k] for k in m}


class Guarded(dict):
    """A bulk copy must read it entry by entry, never through these overrides."""

    def _refuse(self, *args):
        raise AssertionError("dict subclass override was called")

    keys = values = items = __getitem__ = __iter__ = __len__ = _refuse


def test_arguments_and_keyword_items(map_cls):
    m = map_cls({"x": 0, 1: 2}, x=1, y=2)
    assert contents(m) == {1: 2, "x": 1, "y": 2}  # keywords are stored after `other`
    m.update(other=Guarded({5: 6}))  # binds the parameter, is not an item
    m.update(capacity=7)  # update has no such parameter: an item
    m.update([(8, 9), "ab"], z=3)  # a two-character string is a pair
    assert contents(m) == {1: 2, "x": 1, "y": 2, 5: 6, "capacity": 7, 8: 9, "a": "b", "z": 3}
    assert "capacity" not in map_cls(capacity=7) and contents(map_cls(other=[(1, 2)])) == {1: 2}
    pytest.raises(TypeError, m.update, {}, other={})
    pytest.raises(TypeError, m.update, {}, {})


def _dict_with_failing_hash():
    k = HookKey(99)
    d = {0: "x", k: 1}
    k.hook = lambda: 1 / 0
    return d


STORED = {0: "x"}
ERRORS = {  # the source, the error it causes, and what an update keeps of it
    "triple": (lambda: [(0, "x"), (1, 2, 3)], ValueError, "^update sequence elements must be 2-tuples$", STORED),
    "not-iterable": (lambda: 5, TypeError, "not iterable", {}),
    "iteration": (lambda: raising_after([(0, "x")]), LookupError, "mid-way", STORED),
    "keys-lists-a-missing-key": (lambda: KeysOnly(STORED, keys=[0, "gone"]), KeyError, "gone", STORED),
    "dict-key-hash": (_dict_with_failing_hash, ZeroDivisionError, "division", STORED),
}


FAILING_CALLS = {  # the call, and whether it works on the map in place
    "update": (lambda m, src: m.update(src), True),
    "ior": (lambda m, src: m.__ior__(src), True),
    "ror": (lambda m, src: src | m, False),
    "constructor": (lambda m, src: type(m)(src), False),
}


@pytest.mark.parametrize("make, error, match, stored", ERRORS.values(), ids=ERRORS.keys())
@pytest.mark.parametrize("call, in_place", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_failing_update_keeps_what_it_stored_and_invalidates_iterators(map_cls, call, in_place, make, error, match, stored):
    m = map_cls(seed=1)
    it = iter(m)
    with pytest.raises(error, match=match):
        call(m, make())
    assert contents(m) == {"seed": 1, **(stored if in_place else {})}
    assert bumped(it) == (in_place and bool(stored))
    m["after"] = 2  # the borrow was given back


def test_source_mutating_the_map_while_it_is_consumed(map_cls):
    m = map_cls(seed=1)
    it = iter(m)

    def pairs():
        yield ("a", 1)
        m["b"] = 2

    with raises_exactly(RuntimeError, BORROWED):
        m.update(pairs())
    with raises_exactly(RuntimeError, BORROWED):
        m.update(KeysOnly({}, keys=(m.clear() for _ in "x")))
    assert contents(m) == {"seed": 1, "a": 1} and bumped(it)


def test_merge_precedence_and_result_class(map_cls):
    m = map_cls({1: "m", 2: "m"})
    left = m | {1.0: "other", 3: "other"}
    right = {1.0: "other", 3: "other"} | m
    assert contents(left) == {1: "other", 2: "m", 3: "other"}
    assert contents(right) == {1: "m", 2: "m", 3: "other"}
    # The left map keeps its key objects; the reflected form keeps the other side's.
    assert type(next(k for k in left if k == 1)) is int
    assert type(next(k for k in right if k == 1)) is float
    assert type(left) is type(right) is type([(1, 2)] | m) is type(m | None) is map_cls
    # Between the twins the left operand decides the class and loses equal keys.
    mixed = m | twin(map_cls)({2: "twin"})
    assert type(mixed) is map_cls and contents(mixed) == {1: "m", 2: "twin"}
    mixed = twin(map_cls)({2: "twin"}) | m
    assert type(mixed) is twin(map_cls) and contents(mixed) == {1: "m", 2: "m"}


# ---- a dict source changed by a key's __hash__ ------------------------------------------------


class Payload:
    def __init__(self, tag):
        self.tag = tag * 10


class ChangesSource:
    """Once armed, runs `change(source)` from __hash__; only the source dict refers to it."""

    armed = False

    def __init__(self, source, change):
        self.source, self.change, self.tag = source, change, "changer"

    def __hash__(self):
        if ChangesSource.armed:
            ChangesSource.armed = False
            self.change(self.source)
        return 12345


def _swap_keys(d):
    del d[0]
    d["late"] = Payload("late")


@pytest.mark.parametrize(
    "change, message",
    [(dict.clear, CHANGED), (_swap_keys, "dictionary keys changed during iteration")],
    ids=["clear", "same-size-new-key"],
)
def test_dict_source_changed_by_a_key_hash(map_cls, change, message):
    # Run under PYTHONMALLOC=debug too (scripts/test.sh): a pair read from the
    # dict and then freed by the change would show there as garbage.
    for earlier in range(4):
        src = {i: Payload(str(i)) for i in range(earlier)}
        src[0] = Payload("0")
        src[ChangesSource(src, change)] = Payload("value")
        ChangesSource.armed = True
        m = map_cls()
        with raises_exactly(RuntimeError, message):
            m.update(src)
        del src
        # The pair in hand when the dict dropped it was kept alive and stored whole.
        stored = {getattr(k, "tag", k): v.tag for k, v in m.items()}
        assert stored == {**{i: str(i) * 10 for i in range(max(earlier, 1))}, "changer": "value" * 10}
