"""Both set classes driven by random operation sequences against a builtin set
worked on step by step, so that it also knows which of equal objects is stored,
what a failing call leaves behind and when the version moves.  The documented
differences: any iterable is accepted everywhere, a symmetric difference toggles
once per item (so [2, 2] cancels out), the left operand's class decides the
result's class, a set equals neither the other brindle class nor anything not
set-like, `pop` takes the first element in iteration order."""

import operator
from collections import Counter
from dataclasses import dataclass

import hypothesis.strategies as st
import pytest
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from brindle import ElasticHashSet, FunnelHashSet
from support import LiveIterators, machine_tests, raising_after, twin

UNHASHABLE = object()  # stands for a fresh [] inside an argument
BIG = 2**70
NAN = float("nan")
# Elements that meet in interesting ways: 1 / 1.0 / True, 0 / 0.0 / False,
# two distinct equal big ints, 2**64 and the small int sharing its hash, one
# NaN object, strings, a tuple and a frozenset.
POOL = [
    0, 0.0, False, 1, 1.0, True, -1, 2, BIG, int(str(BIG)), 2**64, hash(2**64), NAN,
    "", "a", "b", (1, 2), None, frozenset({1}),
]  # fmt: skip
elements = st.sampled_from(POOL + list(range(-3, 6)))

ORDERED = ("list", "gen", "failgen")  # may hold unhashable items; iterated as given
KINDS = ORDERED + ("set", "frozenset", "keys", "same", "twin", "self", "int")
# Left operands of a reflected operator; one of a set class uses its own forward operator.
FOREIGN = ORDERED + ("set", "frozenset", "int")
OPS = {"|": operator.or_, "&": operator.and_, "-": operator.sub, "^": operator.xor}
IOPS = {"|": operator.ior, "&": operator.iand, "-": operator.isub, "^": operator.ixor}


def dedup(items):
    return list(dict.fromkeys(items))  # the first of equal items stays, as in every set


@dataclass(frozen=True)
class Arg:
    kind: str
    items: tuple

    def build(self, s):
        items = [[] if x is UNHASHABLE else x for x in self.items]
        return BUILDERS[self.kind](items, s)

    def stream(self, receiver):
        """What the set sees when it reads this argument, raising as it would.
        `receiver` is the reference of the set that `self` stands for."""
        if self.kind == "int":
            raise TypeError("not iterable")
        if self.kind == "self":
            yield from list(receiver)
            return
        for x in self.items if self.kind in ORDERED else dedup(self.items):
            if x is UNHASHABLE:
                raise TypeError("unhashable")
            yield x
        if self.kind == "failgen":
            raise LookupError("mid-way")


BUILDERS = {
    "list": lambda items, s: items,
    "gen": lambda items, s: (x for x in items),
    "failgen": lambda items, s: raising_after(items),
    "set": lambda items, s: set(items),
    "frozenset": lambda items, s: frozenset(items),
    "keys": lambda items, s: dict.fromkeys(items).keys(),
    "same": lambda items, s: type(s)(items),
    "twin": lambda items, s: twin(type(s))(items),
    "self": lambda items, s: s,
    "int": lambda items, s: 5,  # not iterable
}

@st.composite
def args(draw, kinds=KINDS):
    # The set classes come up twice as often: their fast paths and the
    # set operating with itself are where the classes do their own work.
    kind = draw(st.sampled_from(kinds + tuple(k for k in kinds if k in ("same", "twin", "self"))))
    item = st.one_of(elements, st.just(UNHASHABLE)) if kind in ORDERED else elements
    return Arg(kind, tuple(draw(st.lists(item, max_size=7))))


# ---- the reference helpers: each changes `ref` and calls `note` for every element it -----
# ---- adds or removes, so that a call that fails half-way still counts as a change -------


def _change_each(ref, items, note, present, change):
    for x in items:  # what was changed before a failure stays
        if (x in ref) == present:
            change(x)
            note()


def add_all(ref, arg, receiver, note):
    _change_each(ref, arg.stream(receiver), note, False, ref.add)


def remove_all(ref, arg, receiver, note):
    _change_each(ref, arg.stream(receiver), note, True, ref.discard)


def retain_in(ref, arg, receiver, note):
    keep = set(arg.stream(receiver))  # a failure here leaves ref untouched
    for e in list(ref):
        if e not in keep:
            ref.discard(e)
            note()


def symmetric_difference_with(ref, arg, receiver, note):
    for x in arg.stream(receiver):
        if x in ref:
            ref.discard(x)
        else:
            ref.add(x)
        note()


HELPERS = {"|": add_all, "&": retain_in, "-": remove_all, "^": symmetric_difference_with}
METHODS = {
    "union": ("|", False),
    "intersection": ("&", False),
    "difference": ("-", False),
    "update": ("|", True),
    "intersection_update": ("&", True),
    "difference_update": ("-", True),
    "symmetric_difference": ("^", False),
    "symmetric_difference_update": ("^", True),
    **{op: (op, False) for op in OPS},
    **{op + "=": (op, True) for op in OPS},
}
OPERATORS = {**OPS, **{op + "=": f for op, f in IOPS.items()}}


def applied(helper, target, arg, receiver=None):
    helper(target, arg, receiver, lambda: None)
    return target


def outcome(fn):
    try:
        return True, fn()
    except Exception as e:  # noqa: BLE001 - compared with the reference's outcome
        return False, type(e)


def same_objects(got, expected):
    assert Counter(map(id, got)) == Counter(map(id, expected))


class SetMachine(LiveIterators, RuleBasedStateMachine):
    cls = None

    def __init__(self):
        super().__init__()
        self.c, self.ref, self.fresh = self.cls(), set(), 1000
        self.track()

    def both(self, impl, reference):
        """Runs both sides; they must succeed or fail alike.  Returns the two
        results, or None when both raised."""
        ok, got = outcome(impl)
        ref_ok, want = outcome(reference)
        assert ok == ref_ok, (got, want)
        if not ok:
            assert got is want, (got, want)
            return None
        return got, want

    def check_result(self, got, want, cls):
        assert type(got) is cls
        same_objects(got, want)

    # ---- element operations -----------------------------------------------------------

    @rule(x=elements)
    def add(self, x):
        new = x not in self.ref
        assert self.c.add(value=x) is None
        self.ref.add(x)
        if new:
            self.changed()

    @rule(x=elements, must_exist=st.booleans())
    def remove(self, x, must_exist):
        present = x in self.ref
        if must_exist and not present:
            with pytest.raises(KeyError) as e:
                self.c.remove(x)
            assert e.value.args == (x,) and e.value.args[0] is x
            return
        assert (self.c.remove(value=x) if must_exist else self.c.discard(value=x)) is None
        self.ref.discard(x)
        if present:
            self.changed()

    @rule()
    def pop(self):
        if not self.ref:
            with pytest.raises(KeyError) as e:
                self.c.pop()
            assert e.value.args == ("pop from an empty set",)
            return
        first = next(iter(self.c))
        x = self.c.pop()
        assert x is first and any(e is x for e in self.ref)
        self.ref.remove(x)
        self.changed()

    @rule()
    def clear(self):
        self.c.clear()
        self.ref.clear()
        self.changed()

    @rule(n=st.integers(1, 40))
    def add_many(self, n):
        # Enough new elements to make the tables grow now and then; never
        # one already present, which would rightly leave the version alone.
        for i in range(self.fresh, self.fresh + n):
            self.c.add(i)
            self.ref.add(i)
        self.fresh += n
        self.changed()

    @rule(x=elements)
    def contains(self, x):
        assert (x in self.c) == (x in self.ref)

    # ---- algebra ---------------------------------------------------------------------------

    @rule(name=st.sampled_from(sorted(METHODS)), arguments=st.lists(args(), max_size=3))
    def method_or_operator(self, name, arguments):
        op, updating = METHODS[name]
        if not name.isidentifier() or op == "^":  # takes exactly one argument
            arguments = arguments[:1] or [Arg("list", ())]
        helper, s, ref = HELPERS[op], self.c, self.ref
        built = [a.build(s) for a in arguments]
        call = getattr(s, name) if name.isidentifier() else lambda x: OPERATORS[name](s, x)
        target, changes = ref if updating else set(ref), []

        def reference():
            for a in arguments:
                helper(target, a, ref, lambda: changes.append(True))
            return None if updating else target

        done = self.both(lambda: call(*built), reference)
        if updating and changes:
            self.changed()  # also when the call failed after changing something
        if done is not None and updating:
            assert done[0] is (s if name.endswith("=") else None)
        elif done is not None:
            self.check_result(*done, self.cls)

    @rule(op=st.sampled_from(sorted(OPS)), arg=args(FOREIGN))
    def reflected_operator(self, op, arg):
        s, ref = self.c, self.ref

        def reference():
            if op == "-":  # everything of the left operand that the set does not hold
                return applied(remove_all, applied(add_all, set(), arg), Arg("list", tuple(ref)))
            return applied(HELPERS[op], set(ref), arg)  # a copy of the set, changed with the left operand

        done = self.both(lambda: OPS[op](arg.build(s), s), reference)
        if done is not None:
            self.check_result(*done, self.cls)

    # ---- relations ---------------------------------------------------------------------------

    @rule(arg=args())
    def relations(self, arg):
        s, ref = self.c, self.ref
        for name, reference in (
            ("issubset", lambda: ref <= set(arg.stream(ref))),
            ("issuperset", lambda: all(x in ref for x in arg.stream(ref))),
            ("isdisjoint", lambda: not any(x in ref for x in arg.stream(ref))),
        ):
            done = self.both(lambda: getattr(s, name)(arg.build(s)), reference)
            assert done is None or done[0] is done[1]
        # Not equal to the other brindle class, nor to anything that is not set-like.
        equal = arg.kind in ("same", "self", "set", "frozenset", "keys") and ref == set(arg.stream(ref))
        assert (s == arg.build(s)) is equal
        assert (arg.build(s) == s) is equal
        assert (s != arg.build(s)) is (not equal)
        assert not outcome(lambda: s < arg.build(s))[0]
        assert not outcome(lambda: arg.build(s) >= s)[0]

    # ---- agreement after every step ------------------------------------------------------------

    @invariant()
    def agrees_with_the_reference(self):
        s, ref = self.c, self.ref
        assert len(s) == len(ref)
        same_objects(s, ref)
        assert s == ref and ref == s and not (s != ref) and s == s.copy()


globals().update(machine_tests(SetMachine, [ElasticHashSet, FunnelHashSet], max_examples=80, steps=40))
