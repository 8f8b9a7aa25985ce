"""Both map classes driven by random operation sequences against a dict, plus
the documented differences: pop(k, None) raises KeyError for a missing key,
popitem takes the first item in iteration order, == takes three paths."""

import hypothesis.strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from brindle import ElasticHashMap, FunnelHashMap

from support import LiveIterators, Mapping, fails, machine_tests

MISSING = object()


BIG = 2**70
# Keys that meet in interesting ways: 1 / 1.0 / True, two distinct equal big
# ints, 2**64 and the small int sharing its hash, one NaN object, strings.
KEY_POOL = [
    0, 1, 1.0, True, -1, BIG, int(str(BIG)), -BIG, 2**64, hash(2**64), float("nan"),
    "", "a", "b", "ключ", "\ud800", (1, 2), None, frozenset({1}),
]
keys = st.one_of(st.sampled_from(KEY_POOL), st.integers(-20, 60), st.text("ab", max_size=2))
values = st.one_of(st.integers(-3, 3), st.builds(object))


class MapMachine(LiveIterators, RuleBasedStateMachine):
    cls = None

    def __init__(self):
        super().__init__()
        self.c, self.model, self.bulk_key = self.cls(), {}, 10**6
        self.track()

    # ---- mutations ----------------------------------------------------------

    @rule(k=keys, v=values)
    def store(self, k, v):
        self.c[k] = v
        self.model[k] = v
        self.changed()

    @rule(n=st.integers(1, 40))
    def store_many(self, n):
        # Enough keys to make the tables grow now and then.
        for _ in range(n):
            self.bulk_key += 1
            self.c[self.bulk_key] = self.model[self.bulk_key] = self.bulk_key
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
            del self.c[k]
            del self.model[k]
            self.changed()
        else:
            assert fails(KeyError, self.c.__delitem__, k).args[0] is k

    @rule(k=keys, default=st.one_of(st.just(MISSING), st.none(), values))
    def pop(self, k, default):
        kw = {} if default is MISSING else {"default": default}  # every method takes keywords
        if k in self.model:
            assert self.c.pop(k, **kw) is self.model.pop(k)
            self.changed()
        elif default is not MISSING and default is not None:
            assert self.c.pop(key=k, **kw) is default
        else:
            assert fails(KeyError, self.c.pop, k, **kw).args[0] is k

    @rule()
    def popitem(self):
        if not self.model:
            assert fails(KeyError, self.c.popitem).args == ("popitem(): map is empty",)
            return
        first = next(iter(self.c))
        k, v = self.c.popitem()
        assert k is first
        assert self.model.pop(k) is v
        self.changed()

    @rule(k=keys, default=st.one_of(st.just(MISSING), values))
    def setdefault(self, k, default):
        kw = {} if default is MISSING else {"default": default}
        present = k in self.model
        got = self.c.setdefault(key=k, **kw)
        assert got is self.model.setdefault(k, None if default is MISSING else default)
        if not present:
            self.changed()

    @rule()
    def clear(self):
        self.c.clear()
        self.model.clear()
        self.changed()

    # ---- reads --------------------------------------------------------------------

    @rule(k=keys)
    def lookup(self, k):
        assert (k in self.c) == (k in self.model)
        assert self.c.get(key=k, default=MISSING) is self.model.get(k, MISSING)
        if k in self.model:
            assert self.c[k] is self.model[k]
        else:
            assert fails(KeyError, self.c.__getitem__, k).args[0] is k

    @invariant()
    def agrees_with_the_model(self):
        m, model = self.c, self.model
        assert len(m) == len(model)
        assert {id(k) for k in m} == {id(k) for k in model}  # the same key objects
        assert all(m[k] is v for k, v in model.items())
        # The three paths of ==: same class, dict, any mapping.
        assert m == model and not (m != model) and m == m.copy()
        assert m == Mapping(model)


globals().update(machine_tests(MapMachine, [ElasticHashMap, FunnelHashMap], max_examples=150, steps=60))
