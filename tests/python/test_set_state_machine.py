"""Both set classes driven by random operation sequences against a builtin set.

The reference is a plain `set` worked on step by step, so that it also knows
which of several equal objects is stored, what a failing call leaves behind
and when the version moves.  It encodes where the classes differ from `set`
on purpose: every operator and method accepts any iterable, a symmetric
difference toggles once per item it is given (so [2, 2] cancels out), the left
operand's class decides the class of a result, a set is not equal to the
other brindle class or to anything that is not set-like, `pop` takes the
set's own first element, and repr shows length and capacity.
"""

import operator
from collections import Counter
from dataclasses import dataclass

import hypothesis.strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from brindle import ElasticHashSet, FunnelHashSet

from support import CHANGED, machine_tests
MISSING = object()
UNHASHABLE = object()  # stands for a fresh [] inside an argument
SET_PROBE = object()  # stands for {1}, which is not looked up as frozenset({1})
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
FOREIGN = ORDERED + ("set", "frozenset", "keys", "same", "twin", "int")  # left operands
OPS = {"|": operator.or_, "&": operator.and_, "-": operator.sub, "^": operator.xor}
IOPS = {"|": operator.ior, "&": operator.iand, "-": operator.isub, "^": operator.ixor}


def twin(cls):
    return ElasticHashSet if cls is FunnelHashSet else FunnelHashSet


def dedup(items):
    return list(dict.fromkeys(items))  # the first of equal items stays, as in every set


@dataclass(frozen=True)
class Arg:
    kind: str
    items: tuple

    def build(self, s):
        items = [[] if x is UNHASHABLE else x for x in self.items]
        kind = self.kind
        if kind == "list":
            return items
        if kind == "gen":
            return (x for x in items)
        if kind == "failgen":
            return failing(items)
        if kind == "set":
            return set(items)
        if kind == "frozenset":
            return frozenset(items)
        if kind == "keys":
            return dict.fromkeys(items).keys()
        if kind == "same":
            return type(s)(items)
        if kind == "twin":
            return twin(type(s))(items)
        if kind == "self":
            return s
        return 5  # not iterable

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

    def values(self):
        return set(dedup(self.items))


def failing(items):
    yield from items
    raise LookupError("mid-way")


@st.composite
def args(draw, kinds=KINDS):
    # The set classes come up twice as often: their fast paths and the
    # set operating with itself are where the classes do their own work.
    kind = draw(st.sampled_from(kinds + tuple(k for k in kinds if k in ("same", "twin", "self"))))
    item = st.one_of(elements, st.just(UNHASHABLE)) if kind in ORDERED else elements
    return Arg(kind, tuple(draw(st.lists(item, max_size=7))))


# ---- the reference helpers: each changes `ref` and returns its changed flag ------------


def add_all(ref, arg, receiver):
    before = len(ref)
    for x in arg.stream(receiver):
        ref.add(x)
    return len(ref) != before


def remove_all(ref, arg, receiver):
    before = len(ref)
    for x in arg.stream(receiver):
        ref.discard(x)
    return len(ref) != before


def retain_in(ref, arg, receiver):
    before = len(ref)
    keep = set(arg.stream(receiver))  # a failure here leaves ref untouched
    for e in list(ref):
        if e not in keep:
            ref.discard(e)
    return len(ref) != before


def symmetric_difference_with(ref, arg, receiver):
    any_item = False
    for x in arg.stream(receiver):
        any_item = True
        if x in ref:
            ref.discard(x)
        else:
            ref.add(x)
    return any_item


HELPERS = {"|": add_all, "&": retain_in, "-": remove_all, "^": symmetric_difference_with}
METHODS = {
    "union": ("|", False),
    "intersection": ("&", False),
    "difference": ("-", False),
    "update": ("|", True),
    "intersection_update": ("&", True),
    "difference_update": ("-", True),
}


def applied(helper, target, arg, receiver=None):
    helper(target, arg, receiver)
    return target


def outcome(fn):
    try:
        return True, fn()
    except Exception as e:  # noqa: BLE001 - compared with the reference's outcome
        return False, type(e)


def same_objects(got, expected):
    assert Counter(map(id, got)) == Counter(map(id, expected))


class SetMachine(RuleBasedStateMachine):
    cls = None

    def __init__(self):
        super().__init__()
        self.s = self.cls()
        self.ref = set()
        self.iters = []  # [iterator, what it will yield, position, still valid, owner]
        self.max_capacity = 0
        self.probe = None  # a fresh iterator before every step
        self.bumped = False  # whether the step must have moved the version

    def changed(self):
        self.bumped = True
        for entry in self.iters:
            if entry[4] is self.s:
                entry[3] = False

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
        assert self.s.add(x) is None
        self.ref.add(x)
        if new:
            self.changed()

    @rule(x=elements, must_exist=st.booleans())
    def remove(self, x, must_exist):
        present = x in self.ref
        if must_exist and not present:
            try:
                self.s.remove(x)
            except KeyError as e:
                assert e.args == (x,) and e.args[0] is x
            else:
                raise AssertionError("remove of a missing element succeeded")
            return
        assert (self.s.remove(x) if must_exist else self.s.discard(x)) is None
        self.ref.discard(x)
        if present:
            self.changed()

    @rule()
    def pop(self):
        if not self.ref:
            try:
                self.s.pop()
            except KeyError as e:
                assert e.args == ("pop from an empty set",)
            else:
                raise AssertionError("pop on an empty set succeeded")
            return
        first = next(iter(self.s))
        x = self.s.pop()
        assert x is first and any(e is x for e in self.ref)
        self.ref.remove(x)
        self.changed()

    @rule()
    def clear(self):
        self.s.clear()
        self.ref.clear()
        self.changed()

    @rule(n=st.integers(1, 40))
    def add_many(self, n):
        # Enough new elements to make the tables grow now and then.
        base = 1000 + len(self.ref) * 100
        for i in range(base, base + n):
            self.s.add(i)
            self.ref.add(i)
        self.changed()

    @rule(x=st.one_of(elements, st.just(UNHASHABLE), st.just(SET_PROBE)))
    def contains(self, x):
        if x is UNHASHABLE or x is SET_PROBE:
            probe = [] if x is UNHASHABLE else {1}  # no frozenset fallback for a set
            ok, _ = outcome(lambda: probe in self.s)
            assert not ok
        else:
            assert (x in self.s) == (x in self.ref)

    @rule()
    def continue_with_a_copy(self):
        c = self.s.copy()
        assert type(c) is self.cls and c == self.s and c is not self.s
        same_objects(c, self.ref)
        # The old set is never touched again, so its iterators stay valid.
        self.s = c
        self.max_capacity = c.capacity

    # ---- iterators -----------------------------------------------------------------------

    @precondition(lambda self: len(self.iters) < 4)
    @rule()
    def make_iterator(self):
        self.iters.append([iter(self.s), list(self.s), 0, True, self.s])

    @precondition(lambda self: self.iters)
    @rule(data=st.data())
    def advance_iterator(self, data):
        entry = data.draw(st.sampled_from(self.iters))
        it, expected, pos, valid, _ = entry
        if not valid:
            try:
                next(it)
            except RuntimeError as e:
                assert str(e) == CHANGED
            else:
                raise AssertionError("an iterator survived a change of its set")
        elif pos < len(expected):
            assert next(it) is expected[pos]
            entry[2] += 1
        else:
            assert next(it, MISSING) is MISSING

    # ---- algebra ---------------------------------------------------------------------------

    @rule(name=st.sampled_from(sorted(METHODS)), arguments=st.lists(args(), max_size=3))
    def multi_argument_method(self, name, arguments):
        op, updating = METHODS[name]
        helper = HELPERS[op]
        s, ref = self.s, self.ref
        built = [a.build(s) for a in arguments]
        if updating:
            flags = []

            def reference():
                for a in arguments:
                    flags.append(helper(ref, a, ref))

            if self.both(lambda: getattr(s, name)(*built), reference) is not None:
                if any(flags):
                    self.changed()
            return
        copy = set(ref)

        def reference():
            for a in arguments:
                applied(helper, copy, a, ref)
            return copy

        done = self.both(lambda: getattr(s, name)(*built), reference)
        if done is not None:
            self.check_result(*done, self.cls)

    @rule(arg=args(), updating=st.booleans())
    def symmetric_difference(self, arg, updating):
        s, ref = self.s, self.ref
        built = arg.build(s)
        if updating:
            done = self.both(
                lambda: s.symmetric_difference_update(built),
                lambda: symmetric_difference_with(ref, arg, ref),
            )
            if done is not None:
                assert done[0] is None
                if done[1]:
                    self.changed()
            return
        copy = set(ref)
        done = self.both(
            lambda: s.symmetric_difference(built),
            lambda: applied(symmetric_difference_with, copy, arg, ref),
        )
        if done is not None:
            self.check_result(*done, self.cls)

    @rule(op=st.sampled_from(sorted(OPS)), arg=args())
    def binary_operator(self, op, arg):
        s, ref = self.s, self.ref
        built = arg.build(s)
        copy = set(ref)
        done = self.both(lambda: OPS[op](s, built), lambda: applied(HELPERS[op], copy, arg, ref))
        if done is not None:
            self.check_result(*done, self.cls)

    @rule(op=st.sampled_from(sorted(OPS)), arg=args(FOREIGN))
    def reflected_operator(self, op, arg):
        s, ref = self.s, self.ref
        left = arg.build(s)
        if arg.kind == "keys":
            # dict views answer the operators themselves, with a builtin set.
            got = OPS[op](left, s)
            assert type(got) is set and got == OPS[op](arg.values(), set(ref))
            return
        if arg.kind in ("same", "twin"):
            # A left operand of a set class decides: its own forward operator.
            cls = self.cls if arg.kind == "same" else twin(self.cls)
            result = set(dedup(arg.items))
            mine = Arg("list", tuple(ref))

            def reference():
                return applied(HELPERS[op], result, mine)

        elif op == "-":
            # Everything of the left operand that the set does not hold.
            cls, result = self.cls, set()

            def reference():
                applied(add_all, result, arg)
                return applied(remove_all, result, Arg("list", tuple(ref)))

        else:
            # A copy of the set, changed with the left operand.
            cls, result = self.cls, set(ref)

            def reference():
                return applied(HELPERS[op], result, arg)

        done = self.both(lambda: OPS[op](left, s), reference)
        if done is not None:
            self.check_result(*done, cls)

    @rule(op=st.sampled_from(sorted(IOPS)), arg=args())
    def in_place_operator(self, op, arg):
        s, ref = self.s, self.ref
        built = arg.build(s)
        done = self.both(lambda: IOPS[op](s, built), lambda: HELPERS[op](ref, arg, ref))
        if done is not None:
            assert done[0] is s
            if done[1]:
                self.changed()

    @rule(
        form=st.sampled_from(
            [
                ("|=", lambda s: IOPS["|"](s, s), lambda r: IOPS["|"](r, r)),
                ("&=", lambda s: IOPS["&"](s, s), lambda r: IOPS["&"](r, r)),
                ("-=", lambda s: IOPS["-"](s, s), lambda r: IOPS["-"](r, r)),
                ("^=", lambda s: IOPS["^"](s, s), lambda r: IOPS["^"](r, r)),
                ("update", lambda s: s.update([7], s), lambda r: r.update([7], r)),
                ("intersection_update", lambda s: s.intersection_update(s), lambda r: r.intersection_update(r)),
                ("difference_update", lambda s: s.difference_update(s, [0]), lambda r: r.difference_update(r, [0])),
                (
                    "symmetric_difference_update",
                    lambda s: s.symmetric_difference_update(s),
                    lambda r: r.symmetric_difference_update(r),
                ),
            ]
        )
    )
    def operate_with_itself(self, form):
        # Python's set semantics: union and intersection with itself change
        # nothing, difference and symmetric difference empty the set.
        _, mine, builtin = form
        before = len(self.ref)
        result = mine(self.s)
        assert result is None or result is self.s
        builtin(self.ref)
        if len(self.ref) != before:
            self.changed()

    # ---- relations ---------------------------------------------------------------------------

    @rule(arg=args())
    def relations(self, arg):
        s, ref = self.s, self.ref

        def issubset():
            if arg.kind in ("same", "self"):
                return ref <= set(arg.stream(ref))
            keep = set(arg.stream(ref))
            return all(e in keep for e in ref)

        def issuperset():
            return all(x in ref for x in arg.stream(ref))

        def isdisjoint():
            return not any(x in ref for x in arg.stream(ref))

        for name, reference in (("issubset", issubset), ("issuperset", issuperset), ("isdisjoint", isdisjoint)):
            done = self.both(lambda: getattr(s, name)(arg.build(s)), reference)
            if done is not None:
                assert done[0] is done[1]

        if arg.kind in ("same", "self", "set", "frozenset", "keys"):
            equal = ref == set(arg.stream(ref))
        else:
            equal = False  # the other brindle class, and nothing that is not set-like
        assert (s == arg.build(s)) is equal
        assert (arg.build(s) == s) is equal
        assert (s != arg.build(s)) is (not equal)
        assert not outcome(lambda: s < arg.build(s))[0]
        assert not outcome(lambda: arg.build(s) >= s)[0]

    # ---- agreement after every step ------------------------------------------------------------

    @invariant()
    def version_moved_exactly_when_expected(self):
        if self.probe is not None:
            try:
                next(self.probe, None)
                moved = False
            except RuntimeError as e:
                assert str(e) == CHANGED
                moved = True
            assert moved == self.bumped
        self.probe, self.bumped = iter(self.s), False

    @invariant()
    def agrees_with_the_reference(self):
        s, ref = self.s, self.ref
        assert len(s) == len(ref)
        same_objects(s, ref)
        assert s == ref and ref == s and not (s != ref)
        assert s == s.copy()
        assert s.capacity >= len(s) and s.capacity >= self.max_capacity  # never shrinks
        self.max_capacity = s.capacity
        assert repr(s) == f"{self.cls.__name__}(len={len(s)}, capacity={s.capacity})"


globals().update(machine_tests(SetMachine, [ElasticHashSet, FunnelHashSet], max_examples=80, steps=40))
