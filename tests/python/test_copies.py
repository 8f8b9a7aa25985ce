"""Copies and set-algebra results: whichever way they are made (a clone of
the source's table or a fresh placement), they hold the same entries and get
the capacity a new container made for their size gets."""

import pytest

from support import MAP_CLASSES, SET_CLASSES, filled

SIZES = [0, 1, 11, 12, 13, 200, 3000]


def sources(cls, n):
    """A container of n elements grown one at a time, one made with room to
    spare, and one with another reserve fraction: only the first has the
    geometry a copy gets."""
    items = [f"x{i}" for i in range(n)]
    roomy = cls.with_options(4 * n + 50)
    other_fraction = cls.with_options(n, 0.1)
    for c in (roomy, other_fraction):
        c.update(items if cls in SET_CLASSES else [(k, k) for k in items])
    return [filled(cls, items), roomy, other_fraction]


def expected_capacity(cls, n):
    return cls.with_options(n).capacity


def same_entries(a, b):
    if hasattr(a, "add"):
        assert sorted(a) == sorted(b) and all(x is y for x, y in zip(sorted(a), sorted(b)))
    else:
        assert sorted(a.items()) == sorted(b.items())
        assert all(a[k] is b[k] for k in a)


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("cls", MAP_CLASSES + SET_CLASSES)
def test_copies(cls, n):
    for src in sources(cls, n):
        copies = [src.copy(), cls(src)]
        if cls in MAP_CLASSES:
            copies += [src | {}, src | type(src)()]
        for c in copies:
            same_entries(c, src)
            assert c.capacity == expected_capacity(cls, n)
            # The copy is independent of its source, and stays sound as it changes.
            c.clear()
            c.update(src)
            same_entries(c, src)
            assert len(src) == n


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("cls", SET_CLASSES)
def test_set_algebra_results(cls, n):
    for s in sources(cls, n):
        t = cls([f"x{i}" for i in range(n // 2, n + n // 2)])
        grown = s.copy()
        grown.update(t)
        for result in (s | t, s.union(t)):
            assert sorted(result) == sorted(grown) and result.capacity == expected_capacity(cls, len(s) + len(t))
            # On equal elements the receiver's survive.
            assert all(x is y for x, y in zip(sorted(result & s), sorted(s)))
        for result, model in ((s & t, set(s) & set(t)), (s - t, set(s) - set(t)), (s ^ t, set(s) ^ set(t))):
            assert set(result) == model
