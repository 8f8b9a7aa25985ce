"""update, |=, | and the initial contents of both map classes: sources, errors, versions, reservation."""

import os
import subprocess
import sys
import textwrap

import pytest

import brindle

MUT = "Already mutably borrowed"
BORROWED = "Already borrowed"
CHANGED = "dictionary changed size during iteration"
NOT_PAIR = "update sequence elements must be 2-tuples"
LIE = 1_500_000_000
MAP_CLASSES = (brindle.ElasticHashMap, brindle.FunnelHashMap)


def twin(cls):
    return brindle.FunnelHashMap if cls is brindle.ElasticHashMap else brindle.ElasticHashMap


def contents(m):
    return {k: m[k] for k in m}


def still_valid(it, expected):
    """The iterator was made before the call; it only works if `version` did not move."""
    assert sorted(it, key=repr) == sorted(expected, key=repr)


def invalidated(it):
    with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
        next(it)


class Guarded(dict):
    """A dict whose Python-level readers must never be used by a bulk copy."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("dict subclass override was called")

    keys = values = items = __getitem__ = __iter__ = __len__ = _refuse


class KeysOnly:
    """A mapping with keys() and [] but no __len__ (and not iterable)."""

    def __init__(self, d):
        self.d = d
        self.fetched = []

    def keys(self):
        return list(self.d)

    def __getitem__(self, k):
        self.fetched.append(k)
        return self.d[k]


class SizedKeys(KeysOnly):
    def __init__(self, d, length=None):
        super().__init__(d)
        self.length = len(d) if length is None else length

    def __len__(self):
        return self.length


class SizedPairs:
    """An iterable of pairs whose len() may overstate what it yields."""

    def __init__(self, pairs, length=None):
        self.pairs = list(pairs)
        self.length = len(self.pairs) if length is None else length

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(self.pairs)


AB = {1: "a", 2: "b"}
SOURCES = {
    "same-class": (lambda cls: cls(AB), AB),
    "twin-class": (lambda cls: twin(cls)(AB), AB),
    "dict": (lambda cls: dict(AB), AB),
    "dict-subclass": (lambda cls: Guarded(AB), AB),
    "keys-without-len": (lambda cls: KeysOnly(AB), AB),
    "pairs-list": (lambda cls: [(1, "a"), [2, "b"]], AB),
    "pairs-generator": (lambda cls: ((k, v) for k, v in AB.items()), AB),
    "two-char-strings": (lambda cls: [(1, 2), "ab"], {1: 2, "a": "b"}),
    "later-pair-wins": (lambda cls: [(1, "x"), (2, "b"), (1, "a")], AB),
    "empty": (lambda cls: [], {}),
}
# Every path that runs the update procedure on an empty map.
ENTRY_POINTS = {
    "update": lambda cls, src: _updated(cls(), src),
    "constructor": lambda cls, src: cls(src),
    "constructor-other=": lambda cls, src: cls(other=src),
    "ior": lambda cls, src: _ior(cls(), src),
    "or": lambda cls, src: cls() | src,
    # A map operand on the left would decide the class, so only foreign sources go right.
    "ror": lambda cls, src: cls() | src if type(src) in MAP_CLASSES else src | cls(),
}


def _updated(m, src):
    assert m.update(src) is None
    return m


def _ior(m, src):
    m |= src
    return m


@pytest.mark.parametrize("make, expected", SOURCES.values(), ids=SOURCES.keys())
@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_source_kinds(map_cls, entry, make, expected):
    m = entry(map_cls, make(map_cls))
    assert type(m) is map_cls
    assert contents(m) == expected


def test_keys_branch_fetches_each_key_once(map_cls):
    src = KeysOnly({1: "a", 2: "b", 3: "c"})
    map_cls().update(src)
    assert sorted(src.fetched) == [1, 2, 3]


def test_keyword_items(map_cls):
    m = map_cls({"x": 0, 1: 2}, x=1, y=2)
    assert contents(m) == {1: 2, "x": 1, "y": 2}  # keywords come after `other`
    m.update(other={5: 6})  # `other` binds by name, it is not an item
    m.update(capacity=7)  # update has no capacity parameter: this one is an item
    m.update([(8, 9)], z=3)
    assert contents(m) == {1: 2, "x": 1, "y": 2, 5: 6, "capacity": 7, 8: 9, "z": 3}
    assert "capacity" not in map_cls(capacity=7)
    with pytest.raises(TypeError):
        m.update({}, other={})
    with pytest.raises(TypeError):
        m.update({}, {})


@pytest.mark.parametrize("source", ["dict", "pairs", "same-class"])
def test_existing_key_objects_stay_and_values_are_replaced(map_cls, source):
    m = map_cls()
    m[1] = "old"
    new = {1.0: "new", 2.0: "two"}
    m.update({"dict": new, "pairs": list(new.items()), "same-class": map_cls(new)}[source])
    assert contents(m) == {1: "new", 2: "two"}
    assert sorted(type(k).__name__ for k in m) == ["float", "int"]


class RaisesAfter:
    """An iterator that yields `good` and then raises."""

    def __init__(self, good):
        self.good = iter(good)

    def __iter__(self):
        return self

    def __next__(self):
        for pair in self.good:
            return pair
        raise ZeroDivisionError("source broke")


class BadIndex:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise LookupError("no item", i)


class KeysRaise:
    def keys(self):
        raise OSError("keys() failed")


class ArmedHash:
    """Hashes like an int until armed, then raises."""

    armed = False

    def __hash__(self):
        if ArmedHash.armed:
            raise ArithmeticError("hash failed")
        return 99


def dict_with_failing_hash():
    d = {0: "x", ArmedHash(): 1}
    ArmedHash.armed = True
    return d


STORED = {0: "x"}
ERRORS = {
    "triple": (lambda: [(0, "x"), (1, 2, 3)], ValueError, f"^{NOT_PAIR}$", STORED),
    "single": (lambda: [(0, "x"), (1,)], ValueError, f"^{NOT_PAIR}$", STORED),
    "three-char-string": (lambda: [(0, "x"), "abc"], ValueError, f"^{NOT_PAIR}$", STORED),
    "element-without-len": (lambda: [(0, "x"), 1], TypeError, "has no len", STORED),
    "unhashable-key": (lambda: [(0, "x"), ([], 1)], TypeError, "unhashable", STORED),
    "element-indexing": (lambda: [(0, "x"), BadIndex()], LookupError, "no item", STORED),
    "not-iterable": (lambda: 5, TypeError, "not iterable", {}),
    "iteration": (lambda: RaisesAfter([(0, "x")]), ZeroDivisionError, "source broke", STORED),
    "keys-call": (lambda: KeysRaise(), OSError, "keys", {}),
    "keys-lists-a-missing-key": (lambda: _keys_missing(), KeyError, "missing", STORED),
    "dict-key-hash": (dict_with_failing_hash, ArithmeticError, "hash failed", STORED),
}


def _keys_missing():
    src = KeysOnly({0: "x"})
    src.keys = lambda: [0, "missing"]
    return src


@pytest.fixture(autouse=True)
def _disarm():
    yield
    ArmedHash.armed = False


@pytest.mark.parametrize("make, error, match, stored", ERRORS.values(), ids=ERRORS.keys())
@pytest.mark.parametrize("via", ["update", "ior"])
def test_failing_update_keeps_what_it_stored_and_the_version(map_cls, via, make, error, match, stored):
    m = map_cls(seed=1)
    it = iter(m)
    with pytest.raises(error, match=match):
        if via == "update":
            m.update(make())
        else:
            m |= make()
    assert contents(m) == {"seed": 1, **stored}
    still_valid(it, ["seed"])
    m["after"] = 2  # the borrow was given back
    assert len(m) == len(stored) + 2


@pytest.mark.parametrize("make, error, match, stored", ERRORS.values(), ids=ERRORS.keys())
def test_failing_merge_and_construction_raise_and_change_nothing(map_cls, make, error, match, stored):
    m = map_cls(seed=1)
    it = iter(m)
    with pytest.raises(error, match=match):
        m | make()
    ArmedHash.armed = False
    with pytest.raises(error, match=match):
        make() | m
    ArmedHash.armed = False
    with pytest.raises(error, match=match):
        map_cls(make())
    assert contents(m) == {"seed": 1}
    still_valid(it, ["seed"])


KEEPS_VERSION = {
    "update()": lambda m: m.update(),
    "update({})": lambda m: m.update({}),
    "update([])": lambda m: m.update([]),
    "update(empty map)": lambda m: m.update(type(m)()),
    "update(empty keys-only)": lambda m: m.update(KeysOnly({})),
    "update(other=None)": lambda m: m.update(other=None),
    "ior {}": lambda m: m.__ior__({}),
    "update(self)": lambda m: m.update(m),
    "ior self": lambda m: m.__ior__(m),
    "or": lambda m: m | {1: 9},
    "ror": lambda m: {1: 9} | m,
    "or self": lambda m: m | m,
}
BUMPS_VERSION = {
    "update same pair from dict": lambda m: m.update({1: 2}),
    "update same pair from pairs": lambda m: m.update([(1, 2)]),
    "update same pair from map": lambda m: m.update(type(m)({1: 2})),
    "update same pair from keys-only": lambda m: m.update(KeysOnly({1: 2})),
    "update keyword": lambda m: m.update(x=1),
    "update(self, keyword)": lambda m: m.update(m, x=1),
    "ior same pair": lambda m: m.__ior__({1: 2}),
}


@pytest.mark.parametrize("op", KEEPS_VERSION.values(), ids=KEEPS_VERSION.keys())
def test_calls_that_store_nothing_keep_iterators_valid(map_cls, op):
    m = map_cls({1: 2, 3: 4})
    it = iter(m)
    op(m)
    assert contents(m) == {1: 2, 3: 4}
    still_valid(it, [1, 3])


@pytest.mark.parametrize("op", BUMPS_VERSION.values(), ids=BUMPS_VERSION.keys())
def test_every_stored_pair_invalidates_iterators(map_cls, op):
    m = map_cls({1: 2, 3: 4})
    it = iter(m)
    op(m)
    assert m[1] == 2 and m[3] == 4
    invalidated(it)


def test_update_from_itself_is_a_no_op(map_cls):
    m = map_cls({i: str(i) for i in range(50)})
    before = contents(m)
    alias = m
    m |= m
    assert m is alias
    m.update(m)
    assert contents(m) == before
    merged = m | m
    assert merged is not m and contents(merged) == before


def test_ior_returns_the_same_object(map_cls):
    m = map_cls()
    alias = m
    m |= [(1, 2)]
    m |= {3: 4}
    assert m is alias and contents(m) == {1: 2, 3: 4}


def test_merge_precedence_and_result_class(map_cls):
    m = map_cls({1: "m", 2: "m"})
    it = iter(m)
    left = m | {1.0: "other", 3: "other"}
    right = {1.0: "other", 3: "other"} | m
    assert contents(left) == {1: "other", 2: "m", 3: "other"}
    assert contents(right) == {1: "m", 2: "m", 3: "other"}
    # The left map keeps its key objects; the reflected form keeps the other side's.
    assert type(next(k for k in left if k == 1)) is int
    assert type(next(k for k in right if k == 1)) is float
    assert type(left) is type(right) is map_cls
    assert type([(1, 2)] | m) is map_cls
    assert contents(m) == {1: "m", 2: "m"}
    still_valid(it, [1, 2])

    same = m | map_cls({2: "same"})
    assert contents(same) == {1: "m", 2: "same"}
    # Between the twins the left operand decides the class and loses equal keys.
    mixed = m | twin(map_cls)({2: "twin"})
    assert type(mixed) is map_cls and contents(mixed) == {1: "m", 2: "twin"}
    mixed = twin(map_cls)({2: "twin"}) | m
    assert type(mixed) is twin(map_cls) and contents(mixed) == {1: "m", 2: "m"}


@pytest.mark.parametrize("operand", [5, 1.5, object()])
def test_merge_with_non_iterables(map_cls, operand):
    m = map_cls()
    with pytest.raises(TypeError):
        m | operand
    with pytest.raises(TypeError):
        operand | m


# ---- reservation, seen through capacity --------------------------------------------------------

SIZED_SAME_KEYS = {
    "same-class": lambda cls, d: cls(d),
    "dict": lambda cls, d: dict(d),
    "dict-subclass": lambda cls, d: Guarded(d),
    "keys-with-len": lambda cls, d: SizedKeys(d),
    "pairs-with-len": lambda cls, d: list(d.items()),
    "keywords": None,
}


@pytest.mark.parametrize("make", SIZED_SAME_KEYS.values(), ids=SIZED_SAME_KEYS.keys())
def test_sized_source_reserves_once_up_front(map_cls, make):
    d = {f"k{i}": i for i in range(100)}
    m = map_cls(**d) if make is None else map_cls(make(map_cls, d))
    # A fresh table sized for the source in one step, not by repeated doubling.
    assert m.capacity == map_cls(capacity=100).capacity
    if make is None:
        m.update(**d)
    else:
        m.update(make(map_cls, d))
    # No key was new, so only the up-front reservation (len + n) can have grown it.
    assert len(m) == 100
    assert m.capacity == map_cls(capacity=200).capacity


@pytest.mark.parametrize(
    "make",
    [lambda d: KeysOnly(d), lambda d: iter(d.items()), lambda d: ((k, v) for k, v in d.items())],
    ids=["keys-without-len", "iterator", "generator"],
)
def test_unsized_source_reserves_nothing(map_cls, make):
    d = {i: i for i in range(100)}
    m = map_cls(d)
    before = m.capacity
    m.update(make(d))
    assert m.capacity == before


def test_merge_sizes_the_new_table_from_both_lengths(map_cls):
    m = map_cls({i: i for i in range(30)})
    assert (m | {i: i for i in range(100, 150)}).capacity == map_cls(capacity=80).capacity
    # The hint is only a length: an overstating one still sizes the table.
    assert (m | SizedPairs([(1, 1)], length=500)).capacity == map_cls(capacity=530).capacity
    assert (SizedPairs([(1, 1)], length=500) | m).capacity == map_cls(capacity=530).capacity


PAIRS3 = [(1, "a"), (2, "b"), (3, "c")]
LYING = {
    "update-pairs": lambda cls: _updated(cls(), SizedPairs(PAIRS3, LIE)),
    "update-keys": lambda cls: _updated(cls(), SizedKeys(dict(PAIRS3), LIE)),
    "constructor": lambda cls: cls(SizedPairs(PAIRS3, LIE)),
    "ior": lambda cls: _ior(cls(), SizedPairs(PAIRS3, LIE)),
    "or": lambda cls: cls() | SizedPairs(PAIRS3, LIE),
    "ror": lambda cls: SizedPairs(PAIRS3, LIE) | cls(),
    "or-keys": lambda cls: cls() | SizedKeys(dict(PAIRS3), LIE),
    "fromkeys": lambda cls: cls.fromkeys(SizedPairs([1, 2, 3], LIE), "v"),
}


@pytest.mark.parametrize("call", LYING.values(), ids=LYING.keys())
def test_a_lying_length_costs_nothing(map_cls, call):
    m = call(map_cls)
    assert len(m) == 3 and sorted(m) == [1, 2, 3]
    # The reservation that could not be met was skipped; the table grew as it filled.
    assert m.capacity == map_cls(capacity=3).capacity


# ---- a dict source changed by a key's __hash__ ------------------------------------------------


class Payload:
    def __init__(self, tag):
        self.tag = tag


class ChangesSource:
    """Runs `change(source)` from __hash__ once armed; the source dict holds the only reference."""

    armed = False

    def __init__(self, source, change):
        self.source = source
        self.change = change
        self.tag = "changer"

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
def test_dict_source_changed_by_a_key_hash(map_cls, panic_exception, change, message):
    src = {0: Payload("first")}
    src[ChangesSource(src, change)] = Payload("value")
    ChangesSource.armed = True
    m = map_cls()
    with pytest.raises(panic_exception) as ei:
        m.update(src)
    ChangesSource.armed = False
    assert ei.value.args == (message,)
    # The pair in hand when the dict dropped it was kept alive and stored whole.
    stored = {getattr(k, "tag", k): v.tag for k, v in zip(m, m.values())}
    assert stored == {0: "first", "changer": "value"}
    m["after"] = Payload("after")
    assert len(m) == 3


def test_dict_source_cleared_by_a_key_hash_under_the_debug_allocator(map_cls):
    script = textwrap.dedent(
        f"""
        import brindle

        class Payload:
            def __init__(self, tag):
                self.tag = tag

        class Clears:
            armed = False
            def __init__(self, source):
                self.source = source
                self.tag = "changer" * 3
            def __hash__(self):
                if Clears.armed:
                    Clears.armed = False
                    self.source.clear()
                return 777

        for round in range(20):
            src = {{i: Payload(str(i) * 50) for i in range(round)}}
            src[Clears(src)] = Payload("value" * 20)
            Clears.armed = True
            m = brindle.{map_cls.__name__}()
            try:
                m.update(src)
            except BaseException as e:
                assert type(e).__name__ == "PanicException" and e.args == ("{CHANGED}",), repr(e)
            else:
                raise AssertionError("no failure")
            del src
            tags = sorted(str(getattr(k, "tag", k)) + "=" + v.tag for k, v in m.items())
            assert len(tags) == round + 1, tags
            assert ("changer" * 3 + "=" + "value" * 20) in tags, tags
        print("ok")
        """
    )
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# ---- borrow conflicts from a key's __hash__ during an update ----------------------------------


class Hooked:
    def __init__(self, hook):
        self.hook = hook

    def __hash__(self):
        self.hook()
        return 5


INNER = {
    "setitem": (lambda m, other: m.__setitem__(0, 1), BORROWED, False),
    "update()": (lambda m, other: m.update(), BORROWED, False),
    "ior": (lambda m, other: m.__ior__({}), BORROWED, False),
    "len": (lambda m, other: len(m), MUT, False),
    "or": (lambda m, other: m | {}, MUT, False),
    "ror": (lambda m, other: {} | m, MUT, False),
    "copy": (lambda m, other: m.copy(), MUT, False),
    "other-updated-from-it": (lambda m, other: other.update(m), MUT, True),
}
OUTER = {
    "update-pairs": lambda m, k: m.update([(k, 1)]),
    "update-dict": lambda m, k: m.update(_armed_dict(k)),
    "update-keyword-and-pairs": lambda m, k: m.update([(k, 1)], z=1),
    "ior": lambda m, k: m.__ior__([(k, 1)]),
}


def _armed_dict(k):
    hook, k.hook = k.hook, lambda: None
    d = {k: 1}
    k.hook = hook
    return d


@pytest.mark.parametrize("outer", OUTER.values(), ids=OUTER.keys())
@pytest.mark.parametrize("inner, message, panics", INNER.values(), ids=INNER.keys())
def test_hash_touching_the_map_during_an_update(map_cls, panic_exception, outer, inner, message, panics):
    m = map_cls(seed=1)
    other = map_cls()
    it = iter(m)
    with pytest.raises(panic_exception if panics else RuntimeError) as ei:
        outer(m, Hooked(lambda: inner(m, other)))
    assert ei.value.args == (message,)
    assert contents(m) == {"seed": 1} and len(other) == 0
    still_valid(it, ["seed"])
    m.update(ok=2)  # every borrow was released
    assert m["ok"] == 2


def test_source_mutating_the_map_while_it_is_consumed(map_cls):
    m = map_cls(seed=1)
    it = iter(m)

    def pairs():
        yield ("a", 1)
        m["b"] = 2

    with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
        m.update(pairs())
    src = KeysOnly({"a": 1})
    src.keys = lambda: [m.clear()]
    with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
        m.update(src)
    assert contents(m) == {"seed": 1, "a": 1}
    still_valid(it, ["seed"])

