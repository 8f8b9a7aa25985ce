"""Iterators read their container lazily.  A rebuild that leaves the contents
unchanged bumps no version, so iterators that were running must go on
yielding what they had left, in the order they started in."""

import pytest

from support import CHANGED, MAP_CLASSES, SET_CLASSES, Sized, filled, raising_after


def views(c):
    """Every kind of iterator the container has."""
    return [iter] if hasattr(c, "add") else [iter, lambda m: iter(m.values()), lambda m: iter(m.items())]


@pytest.mark.parametrize("cls", MAP_CLASSES + SET_CLASSES)
def test_iterators_survive_rebuilds_that_change_nothing(cls):
    c = filled(cls, [f"k{i}" for i in range(100)])
    while len(c) < c.capacity:  # full, so that any reservation rebuilds
        c |= filled(cls, [f"k{len(c)}"])
    capacity, contents = c.capacity, sorted(c)
    running = []
    for make in views(c):
        order = list(make(c))
        for taken in (0, 1, len(order) - 1, len(order)):
            it = make(c)
            for _ in range(taken):
                next(it)
            running.append((it, order[taken:]))
    c.update(Sized([], 4 * c.capacity))  # reserves for a source that turns out empty
    assert c.capacity > capacity and sorted(c) == contents
    # A second rebuild meets the orders stashed by the first, from a source
    # that fails: a set meets an element it holds before the error first.
    with pytest.raises(LookupError):
        c.update(Sized(raising_after([next(iter(c))] if hasattr(c, "add") else []), 4 * c.capacity))
    for it, rest in running:
        assert list(it) == rest
    assert sorted(c) == sorted(iter(c)) == contents


@pytest.mark.parametrize("cls", MAP_CLASSES + SET_CLASSES)
def test_a_change_stops_iterators_at_every_position(cls):
    # Iterators read ahead a chunk at a time; the step that hands out the
    # last element read ahead must check the version like every other.
    for n in (1, 4, 5, 40):
        for taken in range(n + 1):
            for make in views(filled(cls, [])):
                c = filled(cls, range(n))
                it = make(c)
                for _ in range(taken):
                    next(it)
                c.add(-1) if hasattr(c, "add") else c.__setitem__(0, "changed")
                with pytest.raises(RuntimeError, match=CHANGED):
                    next(it)
