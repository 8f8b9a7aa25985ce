"""Both map classes driven by random operation sequences against a dict.

The model is a plain dict plus the places where the maps differ on purpose:
pop(k, None) raises KeyError for a missing key, popitem takes the first item
in iteration order, and repr shows length and capacity.
"""

import hypothesis.strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from brindle import ElasticHashMap, FunnelHashMap

from support import CHANGED, machine_tests
MISSING = object()


class OnlyMapping:
    """A mapping that is neither a dict nor a brindle map."""

    def __init__(self, d):
        self.d = d

    def keys(self):
        return self.d.keys()

    def __len__(self):
        return len(self.d)

    def __getitem__(self, k):
        return self.d[k]


BIG = 2**70
# Keys that meet in interesting ways: 1 / 1.0 / True, two distinct equal big
# ints, 2**64 and the small int sharing its hash, one NaN object, strings.
KEY_POOL = [
    0, 1, 1.0, True, -1, BIG, int(str(BIG)), -BIG, 2**64, hash(2**64), float("nan"),
    "", "a", "b", "ключ", "\ud800", (1, 2), None, frozenset({1}),
]
keys = st.one_of(st.sampled_from(KEY_POOL), st.integers(-20, 60), st.text("ab", max_size=2))
values = st.one_of(st.integers(-3, 3), st.builds(object))


class MapMachine(RuleBasedStateMachine):
    cls = None

    def __init__(self):
        super().__init__()
        self.m = self.cls()
        self.model = {}
        self.iters = []  # [iterator, what it will yield, position, still valid, owner]
        self.max_capacity = 0
        self.bulk_key = 10**6

    def changed(self):
        for entry in self.iters:
            if entry[4] is self.m:
                entry[3] = False

    # ---- mutations ----------------------------------------------------------

    @rule(k=keys, v=values)
    def store(self, k, v):
        self.m[k] = v
        self.model[k] = v
        self.changed()

    @rule(n=st.integers(1, 40))
    def store_many(self, n):
        # Enough keys to make the tables grow now and then.
        for _ in range(n):
            self.bulk_key += 1
            self.m[self.bulk_key] = self.model[self.bulk_key] = self.bulk_key
        self.changed()

    # Which keys are present depends on the tables' per-run seeds (popitem
    # takes the first in table order), so neither what is drawn nor which
    # rules are enabled may depend on the model's keys.
    @rule(i=st.integers(0, 2**16))
    def delete_present(self, i):
        if self.model:
            keys = list(self.model)
            self.delete(keys[i % len(keys)])

    @rule(k=keys)
    def delete(self, k):
        if k in self.model:
            del self.m[k]
            del self.model[k]
            self.changed()
        else:
            try:
                del self.m[k]
            except KeyError as e:
                assert e.args[0] is k
            else:
                raise AssertionError("del of a missing key succeeded")

    @rule(k=keys, default=st.one_of(st.just(MISSING), st.none(), values))
    def pop(self, k, default):
        args = () if default is MISSING else (default,)
        if k in self.model:
            assert self.m.pop(k, *args) is self.model.pop(k)
            self.changed()
        elif default is not MISSING and default is not None:
            assert self.m.pop(k, *args) is default
        else:
            try:
                self.m.pop(k, *args)
            except KeyError as e:
                assert e.args[0] is k
            else:
                raise AssertionError("pop of a missing key without a default succeeded")

    @rule()
    def popitem(self):
        if not self.model:
            try:
                self.m.popitem()
            except KeyError as e:
                assert e.args == ("popitem(): map is empty",)
            else:
                raise AssertionError("popitem on an empty map succeeded")
            return
        first = next(iter(self.m))
        k, v = self.m.popitem()
        assert k is first
        assert self.model.pop(k) is v
        self.changed()

    @rule(k=keys, default=st.one_of(st.just(MISSING), values))
    def setdefault(self, k, default):
        args = () if default is MISSING else (default,)
        present = k in self.model
        got = self.m.setdefault(k, *args)
        assert got is self.model.setdefault(k, None if default is MISSING else default)
        if not present:
            self.changed()

    @rule()
    def clear(self):
        self.m.clear()
        self.model.clear()
        self.changed()

    @rule()
    def continue_with_a_copy(self):
        c = self.m.copy()
        assert type(c) is self.cls and c == self.m
        # The old map is never touched again, so its iterators stay valid.
        self.m = c
        self.max_capacity = c.capacity

    # ---- iterators -------------------------------------------------------------

    @precondition(lambda self: len(self.iters) < 4)
    @rule()
    def make_iterator(self):
        self.iters.append([iter(self.m), list(self.m), 0, True, self.m])

    @precondition(lambda self: self.iters)
    @rule()
    def advance_iterators(self):
        for entry in self.iters:
            it, expected, pos, valid, _ = entry
            if not valid:
                try:
                    next(it)
                except RuntimeError as e:
                    assert str(e) == CHANGED
                else:
                    raise AssertionError("an iterator survived a change of its map")
            elif pos < len(expected):
                assert next(it) is expected[pos]
                entry[2] += 1
            else:
                assert next(it, MISSING) is MISSING

    # ---- reads --------------------------------------------------------------------

    @rule(k=keys)
    def lookup(self, k):
        assert (k in self.m) == (k in self.model)
        assert self.m.get(k, MISSING) is self.model.get(k, MISSING)
        if k in self.model:
            assert self.m[k] is self.model[k]

    @invariant()
    def agrees_with_the_model(self):
        m, model = self.m, self.model
        assert len(m) == len(model)
        assert {id(k) for k in m} == {id(k) for k in model}  # the same key objects
        assert all(m[k] is v for k, v in model.items())
        # The three paths of ==: same class, dict, any mapping.
        assert m == model and not (m != model)
        assert m == m.copy()
        assert m == OnlyMapping(model)
        assert m.capacity >= len(m) and m.capacity >= self.max_capacity  # never shrinks
        self.max_capacity = m.capacity
        assert repr(m) == f"{self.cls.__name__}(len={len(m)}, capacity={m.capacity})"


globals().update(machine_tests(MapMachine, [ElasticHashMap, FunnelHashMap], max_examples=150, steps=60))
