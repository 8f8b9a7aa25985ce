"""Both map classes driven by random operation sequences against a dict, plus
the documented differences: pop(k, None) raises KeyError for a missing key,
popitem takes the first item in iteration order, == takes three paths."""

import hypothesis.strategies as st
import pytest
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from brindle import ElasticHashMap, FunnelHashMap
from support import KeysOnly, LiveIterators, Mapping, machine_tests, twin

MISSING = object()


def key_error(call, *args, **kwargs):
    with pytest.raises(KeyError) as e:
        call(*args, **kwargs)
    return e.value.args


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

    # Every kind of source the bulk calls read, each through update and |=.
    # What they store moves the version even when it changes no value; a
    # map updated from itself or its own items changes nothing, as with dict.
    def source(self, kind, pairs):
        return {
            "dict": lambda: dict(pairs),
            "same-class": lambda: self.cls(pairs),
            "twin": lambda: twin(self.cls)(pairs),
            "pairs": lambda: pairs,
            "generator": lambda: (pair for pair in pairs),
            "keys-only": lambda: KeysOnly(dict(pairs)),
            "self": lambda: self.c,
            "own-items": lambda: self.c.items(),
        }[kind]()

    @rule(
        kind=st.sampled_from(["dict", "same-class", "twin", "pairs", "generator", "keys-only", "self", "own-items", "kw"]),
        pairs=st.lists(st.tuples(keys, values), max_size=4),
        ior=st.booleans(),
    )
    def bulk(self, kind, pairs, ior):
        if kind == "kw":
            pairs = [(str(k), v) for k, v in pairs]
            assert self.c.update(**dict(pairs)) is None
        elif ior:
            alias = self.c
            self.c |= self.source(kind, pairs)
            assert self.c is alias
        else:
            assert self.c.update(self.source(kind, pairs)) is None
        if kind not in ("self", "own-items"):
            self.model.update(pairs)
            if pairs:
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
            assert key_error(self.c.__delitem__, k)[0] is k

    @rule(k=keys, default=st.one_of(st.just(MISSING), st.none(), values))
    def pop(self, k, default):
        kw = {} if default is MISSING else {"default": default}  # every method takes keywords
        if k in self.model:
            assert self.c.pop(k, **kw) is self.model.pop(k)
            self.changed()
        elif default is not MISSING and default is not None:
            assert self.c.pop(key=k, **kw) is default
        else:
            assert key_error(self.c.pop, k, **kw)[0] is k

    @rule()
    def popitem(self):
        if not self.model:
            assert key_error(self.c.popitem) == ("popitem(): map is empty",)
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
            assert key_error(self.c.__getitem__, k)[0] is k

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
