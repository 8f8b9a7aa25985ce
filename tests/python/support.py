"""Helpers shared by the test modules: the messages the module raises, the
twin classes, sources with odd shapes, keys that run code from __hash__ or
__eq__, and what the two state machines share."""

import re
from collections import Counter

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.stateful import invariant, precondition, rule

from brindle import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

CHANGED = "dictionary changed size during iteration"
MUT = "Already mutably borrowed"
BORROWED = "Already borrowed"
MAP_CLASSES = (ElasticHashMap, FunnelHashMap)
SET_CLASSES = (FunnelHashSet, ElasticHashSet)
ALL_CLASSES = MAP_CLASSES + SET_CLASSES
_TWINS = {ElasticHashMap: FunnelHashMap, ElasticHashSet: FunnelHashSet}
_TWINS.update({b: a for a, b in _TWINS.items()})


def twin(cls):
    return _TWINS[cls]


def raises_exactly(exc, message):
    """pytest.raises for `exc` with exactly `message`, not a pattern."""
    return pytest.raises(exc, match=f"^{re.escape(message)}$")


def bumped(it):
    """Whether the live iterator `it` sees its owner changed (consumes one step)."""
    try:
        next(it)
    except RuntimeError as e:
        assert str(e) == CHANGED
        return True
    except StopIteration:
        pass
    return False


def filled(cls, items):
    """A map (items as keys, each its own value) or a set holding `items`."""
    return cls(items) if cls in SET_CLASSES else cls((k, k) for k in items)


def raising_after(items, error=None):
    """Yields `items`, then raises `error` (a LookupError by default)."""
    yield from items
    raise error or LookupError("mid-way")


class KeysOnly:
    """keys() and [], but no __len__ and no __iter__."""

    def __init__(self, d, keys=None):
        self.d = d
        self.keys = lambda: list(d) if keys is None else keys

    def __getitem__(self, k):
        return self.d[k]


class Sized:
    """Iterates over `items`; len() gives `length`, which may lie, or raises it if it is an exception."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __iter__(self):
        return iter(self.items)


class Mapping(KeysOnly):
    """keys(), [] and a len() that may lie or raise; nothing else of dict."""

    def __init__(self, d, length=None):
        super().__init__(d)
        self.length = len(d) if length is None else length

    __len__ = Sized.__len__


class HookKey:
    """Runs `hook` from __hash__ and `on_eq` from __eq__; equal by name."""

    def __init__(self, name, hook=None, on_eq=None):
        self.name, self.hook, self.on_eq = name, hook, on_eq

    def __hash__(self):
        if self.hook:
            self.hook()
        return hash(self.name)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return isinstance(other, HookKey) and other.name == self.name


class Interrupting:
    """Collides with every other; comparing it raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        return 1

    def __eq__(self, other):
        raise self.exc


class LiveIterators:
    """What the map and set state machines share, on the container `self.c`: live
    iterators checked against their snapshots, a probe that sees whether a step
    moved `version` (`changed()` says it must), copies, capacity and repr."""

    def track(self):
        self.iters = []  # [iterator, what it will yield, position, still valid, owner]
        self.max_capacity, self.probe, self.bumped = 0, None, False

    def changed(self):
        self.bumped = True
        for entry in self.iters:
            if entry[4] is self.c:
                entry[3] = False

    @precondition(lambda self: len(self.iters) < 4)
    @rule()
    def make_iterator(self):
        self.iters.append([iter(self.c), list(self.c), 0, True, self.c])

    @precondition(lambda self: self.iters)
    @rule()
    def advance_iterators(self):
        for entry in self.iters:
            it, expected, pos, valid, _ = entry
            if not valid:
                with raises_exactly(RuntimeError, CHANGED):
                    next(it)
            elif pos < len(expected):
                assert next(it) is expected[pos]
                entry[2] += 1
            else:
                assert next(it, it) is it  # exhausted

    @rule()
    def continue_with_a_copy(self):
        c = self.c.copy()
        assert type(c) is self.cls and c is not self.c and Counter(map(id, c)) == Counter(map(id, self.c))
        # The old container is never touched again, so its iterators stay valid.
        self.c, self.max_capacity = c, c.capacity

    @invariant()
    def version_capacity_and_repr(self):
        c = self.c
        assert self.probe is None or bumped(self.probe) == self.bumped
        self.probe, self.bumped = iter(c), False
        assert c.capacity >= len(c) and c.capacity >= self.max_capacity  # never shrinks
        self.max_capacity = c.capacity
        assert repr(c) == f"{self.cls.__name__}(len={len(c)}, capacity={c.capacity})"


def machine_tests(machine, classes, max_examples, steps):
    """One hypothesis TestCase per container class for a state machine whose
    class attribute `cls` names the class under test."""
    chosen = settings(
        max_examples=max_examples,
        stateful_step_count=steps,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    tests = {}
    for cls in classes:
        case = type(cls.__name__ + "Machine", (machine,), {"cls": cls}).TestCase
        case.settings = chosen
        tests["Test" + cls.__name__] = case
    return tests
