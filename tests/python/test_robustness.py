"""The containers under the collector, in deep structures and shared between
threads: they must hold up the way dict and set do."""

import gc
import random
import threading
import time
import weakref

import pytest

from support import BORROWED, CHANGED, MUT
from support import MAP_CLASSES as MAPS
from support import SET_CLASSES as SETS


class Node:
    """A plain object that can be weakly referenced, to watch collection."""


CYCLES = {  # how a container and the member it holds come to refer to each other
    "self": lambda m, n: m.__setitem__(0, m),
    "value": lambda m, n: setattr(n, "back", m),
    "key-iterator": lambda m, n: m.__setitem__("it", iter(m)),
    "items-iterator": lambda m, n: (setattr(n, "it", iter(m.items())), setattr(n, "m", m)),
    "set": None,
}


@pytest.mark.parametrize(
    "cls, shape", [(c, s) for c in MAPS + SETS for s in CYCLES if (s == "set") == (c in SETS)], ids=str
)
def test_cycles_are_collected(cls, shape):
    member = Node()
    c = cls()
    if cls in SETS:
        c.add(member)
        member.s, member.it = c, iter(c)
    else:
        c["member"] = member
        CYCLES[shape](c, member)
    ref = weakref.ref(member)
    del member, c
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("cls", MAPS + SETS)
def test_reachable_containers_survive_collections_from_eq_and_del(cls):
    class Collecting:
        def __init__(self, v):
            self.v = v

        def __hash__(self):
            return 7  # all collide, so lookups call __eq__

        def __eq__(self, other):
            gc.collect()
            return isinstance(other, Collecting) and other.v == self.v

        def __del__(self):
            gc.collect()

    c = cls()
    add = c.add if hasattr(c, "add") else (lambda k: c.__setitem__(k, k.v))
    for v in range(8):
        add(Collecting(v))
    for v in range(0, 8, 2):
        if hasattr(c, "discard"):
            c.discard(Collecting(v))
        else:
            del c[Collecting(v)]
    gc.collect()
    assert sorted(k.v for k in c) == list(range(1, 8, 2))


class Link:
    __slots__ = ("next",)


@pytest.mark.parametrize("cls", MAPS + SETS)
def test_deep_chains_deallocate_without_overflowing_the_stack(cls):
    head = None
    for _ in range(200_000):
        c = cls()
        link = Link()
        link.next = head
        if hasattr(c, "add"):
            c.add(link)
        else:
            c[0] = link
        head = c
    del c, link
    del head  # must not crash


# ---- threads -----------------------------------------------------------------


@pytest.mark.parametrize("cls", MAPS + SETS)
def test_concurrent_readers_writers_and_iterators(cls):
    c = cls()
    is_set = hasattr(c, "add")
    n_threads, seconds = 4, 0.5
    models = [{} for _ in range(n_threads)]
    unexpected = []
    barrier = threading.Barrier(n_threads)

    def store(key, tid, model):
        c.add(key) if is_set else c.__setitem__(key, tid)
        model[key] = None if is_set else tid

    def drop(key, tid, model):
        c.discard(key) if is_set else c.pop(key, 0)
        model.pop(key, None)

    def views(key, tid, model):
        c == c
        if not is_set:  # views borrow their map as well
            len(c.keys()), key in c.keys(), c.keys() == {key}, c.keys() & {key}, c.items() | set()

    ops = [store, drop, lambda k, t, m: (k in c, len(c)), lambda k, t, m: list(c), lambda k, t, m: (repr(c), c.copy()), views]

    def work(tid):
        rng = random.Random(tid)
        barrier.wait()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                rng.choice(ops)(tid * 1_000_000 + rng.randrange(200), tid, models[tid])
            except BaseException as e:  # noqa: BLE001
                if not (isinstance(e, RuntimeError) and str(e) in (BORROWED, MUT, CHANGED)):
                    unexpected.append(repr(e))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []
    expected = {k: v for model in models for k, v in model.items()}
    assert (set(c) == set(expected)) if is_set else (dict(zip(c.keys(), c.values())) == expected)
