"""Set algebra, in-place and reflected operators, relations and comparison of both set classes."""

import collections.abc

import pytest

from brindle import ElasticHashSet, FunnelHashSet

from support import BORROWED, MUT, HookKey, bumped


def twin(cls):
    return ElasticHashSet if cls is FunnelHashSet else FunnelHashSet


# ---- results, argument kinds and result classes -----------------------------------------


def test_methods_with_several_or_no_arguments(set_cls):
    s = set_cls([1, 2])
    for method in (s.union, s.intersection, s.difference):
        r = method()
        assert type(r) is set_cls and r == {1, 2} and r is not s
    assert set_cls([1, 2]).intersection([2, 3], [2]) == {2}
    assert set_cls([1, 2]).difference([1], (2,)) == set()
    assert set_cls([1]).union("ab", {2: 0}, range(3)) == {0, 1, 2, "a", "b"}
    it = iter(s)
    s.update()
    s.intersection_update()
    s.difference_update()
    assert not bumped(it) and s == {1, 2}
    with pytest.raises(TypeError):
        s.union(other=[1])
    with pytest.raises(TypeError):
        s.symmetric_difference([1], [2])
    assert s.symmetric_difference(other=[2, 3]) == {1, 3}


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda c: [1, 2] | c([3]), {1, 2, 3}),
        (lambda c: {1, 2} - c([2]), {1}),
        (lambda c: c([1, 2]) - {2}, {1}),
        (lambda c: range(3) & c([1, 5]), {1}),
        (lambda c: (x for x in [1, 2]) ^ c([2, 3]), {1, 3}),
        (lambda c: frozenset({1}) | c([2]), {1, 2}),
        (lambda c: [2, 2] - c([1]), {2}),
    ],
)
def test_reflected_forms_give_the_set_class(set_cls, expr, expected):
    r = expr(set_cls)
    assert type(r) is set_cls and r == expected


# ---- which element objects survive ------------------------------------------------------


def test_which_equal_element_survives(set_cls):
    def only(s):
        (x,) = list(s)
        return x

    one = set_cls([1])
    flt = set_cls([1.0])
    cases = [
        (one | flt, int),
        (flt | one, float),
        (one.union([1.0]), int),
        ([1.0] | one, int),  # reflected: a copy of the right operand
        (one & [True], int),
        ([True] & one, int),
        (one.intersection({1.0}), int),
        (set_cls([2]).symmetric_difference([1.0]).difference([2]), float),
        ([1.0, True] - set_cls([2]), float),
        (twin(set_cls)([True]) | one, bool),
    ]
    for result, kind in cases:
        assert type(only(result)) is kind

    s = set_cls([1])
    s.update([1.0], flt)
    s &= [True]
    s.intersection_update(flt)
    assert type(only(s)) is int
    s ^= [1.0]
    s ^= [True]
    assert type(only(s)) is bool

    big, same = 2**70, int(str(2**70))
    assert only(set_cls([big]) | [same]) is big
    assert only([same] - set_cls()) is same


# ---- failing updates: partial effects and version ----------------------------------------


def raising_after(items, exc):
    yield from items
    raise exc


FAILING_UPDATES = {
    "update": (lambda s: s.update([5], [6, [], 7]), {0, 1, 5, 6}),
    "update-iterator": (lambda s: s.update(raising_after([5], LookupError("it"))), {0, 1, 5}),
    "ior": (lambda s: s.__ior__([5, [], 6]), {0, 1, 5}),
    "intersection_update": (lambda s: s.intersection_update([1], [[]]), {1}),
    "intersection_update-iterator": (lambda s: s.intersection_update(raising_after([0], LookupError("it"))), {0, 1}),
    "iand": (lambda s: s.__iand__([1, []]), {0, 1}),
    "difference_update": (lambda s: s.difference_update([1], [0, []]), set()),
    "isub": (lambda s: s.__isub__(raising_after([1], LookupError("it"))), {0}),
    "symmetric_difference_update": (lambda s: s.symmetric_difference_update([9, 0, []]), {1, 9}),
    "ixor": (lambda s: s.__ixor__([9, 9, 2, []]), {0, 1, 2}),
    "not-iterable": (lambda s: s.update([5], 3), {0, 1, 5}),
}


@pytest.mark.parametrize("op, after", FAILING_UPDATES.values(), ids=FAILING_UPDATES.keys())
def test_failing_updates_keep_partial_effects_without_a_bump(set_cls, op, after):
    s = set_cls([0, 1])
    it = iter(s)
    with pytest.raises((TypeError, LookupError)):
        op(s)
    assert s == after
    assert not bumped(it)


@pytest.mark.parametrize(
    "op",
    [
        lambda s: s.union([5], [[]]),
        lambda s: s.intersection([[]]),
        lambda s: s.difference([0], raising_after([1], LookupError("it"))),
        lambda s: s.symmetric_difference([9, []]),
        lambda s: s | [5, []],
        lambda s: [5, []] | s,
        lambda s: [5, []] - s,
        lambda s: s ^ [[]],
    ],
)
def test_failing_results_leave_the_receiver_alone(set_cls, op):
    s = set_cls([0, 1])
    it = iter(s)
    with pytest.raises((TypeError, LookupError)):
        op(s)
    assert s == {0, 1} and not bumped(it)


class SizedButBroken:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __iter__(self):
        raise LookupError("no iterator")


def test_reservation_stays_after_a_failing_update(set_cls):
    s = set_cls([0])
    it = iter(s)
    with pytest.raises(LookupError):
        s.update(SizedButBroken(1000))
    assert s.capacity >= 1001 and s == {0} and not bumped(it)
    # A length that cannot be reserved for is only a hint.
    for n in (2**40, 2**62):
        with pytest.raises(LookupError):
            s.update(SizedButBroken(n))
    s.update(iter(range(100)))
    assert len(s) == 100


def test_rebuild_without_change_does_not_bump(set_cls):
    s = set_cls(range(10))
    it = iter(s)
    s.update(list(range(10)) * 50)
    s |= set_cls(range(5))
    s &= range(20)
    s -= [30]
    assert not bumped(it)


# ---- a set operating with itself -----------------------------------------------------------

SELF_FORMS = {
    "ior": (lambda s: s.__ior__(s), lambda r: r.__ior__(r)),
    "iand": (lambda s: s.__iand__(s), lambda r: r.__iand__(r)),
    "isub": (lambda s: s.__isub__(s), lambda r: r.__isub__(r)),
    "ixor": (lambda s: s.__ixor__(s), lambda r: r.__ixor__(r)),
    "update": (lambda s: s.update(s), lambda r: r.update(r)),
    "intersection_update": (lambda s: s.intersection_update(s), lambda r: r.intersection_update(r)),
    "difference_update": (lambda s: s.difference_update(s), lambda r: r.difference_update(r)),
    "symmetric_difference_update": (
        lambda s: s.symmetric_difference_update(s),
        lambda r: r.symmetric_difference_update(r),
    ),
    "update-among": (lambda s: s.update([9], s, [8]), lambda r: r.update([9], r, [8])),
    "update-twice": (lambda s: s.update(s, s), lambda r: r.update(r, r)),
    "intersection_update-among": (
        lambda s: s.intersection_update(s, [1, 2, 7]),
        lambda r: r.intersection_update(r, [1, 2, 7]),
    ),
    "difference_update-among": (
        lambda s: s.difference_update([1], s, [5]),
        lambda r: r.difference_update([1], r, [5]),
    ),
}


@pytest.mark.parametrize("form, reference", SELF_FORMS.values(), ids=SELF_FORMS.keys())
@pytest.mark.parametrize("items", [[], [1], [1, 2, 3]], ids=["empty", "one", "three"])
def test_a_set_operating_with_itself_follows_set(set_cls, form, reference, items):
    s = set_cls(items)
    it = iter(s)
    result = form(s)
    expected = set(items)
    assert reference(expected) is (expected if result is s else None)
    assert s == expected
    assert bumped(it) == (len(expected) != len(items))
    s.add(100)  # every borrow was given back
    assert 100 in s


# ---- intersection with a membership test that raises ------------------------------------------


class FlakyHash:
    """Hashes once, then raises: the stored element fails Python's set membership."""

    def __init__(self):
        self.calls = 0

    def __hash__(self):
        self.calls += 1
        if self.calls > 1:
            raise ArithmeticError("hash again")
        return 7


@pytest.mark.parametrize(
    "op",
    [lambda s: s.intersection_update([1, 2]), lambda s: s.__iand__((1, 2))],
    ids=["intersection_update", "iand"],
)
def test_retain_keeps_the_element_whose_membership_test_raises(set_cls, op):
    bomb = FlakyHash()
    s = set_cls(range(20))
    s.add(bomb)
    order = list(s)
    it = iter(s)
    with pytest.raises(ArithmeticError, match="hash again"):
        op(s)
    left = list(s)
    assert any(x is bomb for x in left)
    before_bomb = order[: next(i for i, x in enumerate(order) if x is bomb)]
    assert [x for x in left if x in before_bomb] == [x for x in before_bomb if x in (1, 2)]
    assert set(map(id, left)) <= set(map(id, order))
    assert not bumped(it)


def test_retain_failure_on_a_copy_is_raised(set_cls):
    bomb = FlakyHash()
    s = set_cls([1, bomb])
    with pytest.raises(ArithmeticError):
        s & [1]
    with pytest.raises(ArithmeticError):
        s.intersection([1])
    assert len(s) == 2


# ---- borrows ----------------------------------------------------------------------------------


def in_place(op):
    """`box[0] op= arg` as a statement, so a silent rebinding would show in box."""

    def run(box, arg):
        x = box[0]
        if op == "|":
            x |= arg
        elif op == "&":
            x &= arg
        elif op == "-":
            x -= arg
        else:
            x ^= arg
        box[0] = x

    return run


@pytest.mark.parametrize("op", ["|", "&", "-", "^"])
@pytest.mark.parametrize(
    "outer",
    [
        lambda s, k: k in s,
        lambda s, k: s.union([k]),
        lambda s, k: s.issuperset([k]),
        lambda s, k: s.add(k),
        lambda s, k: s.update([k]),
    ],
    ids=["contains", "union", "issuperset", "add", "update"],
)
def test_in_place_operator_on_a_borrowed_set_raises(set_cls, op, outer):
    s = set_cls([0, 2])
    box = [s]
    it = iter(s)
    with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
        outer(s, HookKey("k", lambda: in_place(op)(box, {2})))
    assert box[0] is s and s == {0, 2} and not bumped(it)


@pytest.mark.parametrize(
    "inner",
    [
        lambda s: s == {0},
        lambda s: {0} == s,
        lambda s: s != {0},
        lambda s: s == s,
        lambda s: s | {2},
        lambda s: {2} | s,
        lambda s: [2] - s,
        lambda s: s ^ [2],
        lambda s: s.union(),
        lambda s: s.issubset([0]),
    ],
)
def test_reading_a_set_under_mutation_raises_instead_of_answering(set_cls, inner):
    s = set_cls([0])
    it = iter(s)
    with pytest.raises(RuntimeError, match=f"^{MUT}$"):
        s.add(HookKey("k", lambda: inner(s)))
    assert s == {0} and not bumped(it)


@pytest.mark.parametrize(
    "outer",
    [
        lambda s, k: s.update([k]),
        lambda s, k: s.difference_update([0, k]),
        lambda s, k: s.symmetric_difference_update([5, k]),
        lambda s, k: s.intersection_update([k]),
    ],
    ids=["update", "difference_update", "symmetric_difference_update", "intersection_update"],
)
def test_hash_writing_during_an_update(set_cls, outer):
    s = set_cls([0])
    it = iter(s)
    with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
        outer(s, HookKey("k", lambda: s.add(1)))
    assert 1 not in s and not bumped(it)


def test_reads_during_a_result_producing_call_coexist(set_cls):
    s = set_cls([0])
    seen = []
    r = s.union([HookKey("k", lambda: seen.append((len(s), s == {0}, s | [1])))])
    assert len(r) == 2 and seen[0][:2] == (1, True) and seen[0][2] == {0, 1}


def test_same_class_argument_under_mutation_is_a_panic(set_cls, panic_exception):
    s, t = set_cls([0]), set_cls([1])
    it = iter(t)
    with pytest.raises(panic_exception, match=f"^{MUT}$"):
        t.add(HookKey("k", lambda: s.update(t)))
    assert s == {0} and t == {1} and not bumped(it)
    t.add(2)  # t's borrow was given back


# ---- relations and comparison ------------------------------------------------------------------


class AbcSet:
    """A collections.abc.Set that is not a builtin set."""

    def __init__(self, items, broken_len=False):
        self.items = list(items)
        self.broken_len = broken_len

    def __len__(self):
        if self.broken_len:
            raise LookupError("no length")
        return len(self.items)

    def __iter__(self):
        return iter(self.items)

    def __contains__(self, x):
        return x in self.items


collections.abc.Set.register(AbcSet)


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda c: c([1, 2, 3]).issubset(c([1, 2])), False),
        (lambda c: c([1]).issuperset([1, 1, 1]), True),
        (lambda c: c([1]).isdisjoint([1, []]), False),  # answers before the unhashable item
        (lambda c: c(range(9)).isdisjoint(c([8])), False),
        (lambda c: c([1]) == {1: 0}.keys(), True),
        (lambda c: c([1]) == twin(c)([1]), False),
        (lambda c: c([1]) == AbcSet([1]), True),
        (lambda c: AbcSet([1, 2]) == c([1, 2]), True),
        (lambda c: c([1]) == AbcSet([2]), False),
        (lambda c: c([1]) == AbcSet([1], broken_len=True), False),
        (lambda c: c([1]) != AbcSet([1], broken_len=True), True),
    ],
)
def test_relations(set_cls, expr, expected):
    assert expr(set_cls) is expected


def test_set_likeness_is_asked_anew_each_time(set_cls, monkeypatch):
    s, other = set_cls([1]), AbcSet([1])
    assert s == other
    monkeypatch.setattr(collections.abc, "Set", collections.abc.Sequence)
    assert s != other
    monkeypatch.setattr(collections.abc, "Set", object)
    assert s == [1] and s != [2]  # a list now counts as set-like
