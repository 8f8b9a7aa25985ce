"""Python code that reaches a container at the worst moment: while clear() is
releasing its entries, or by raising an interrupt in the middle of a store."""

import gc
import operator

import pytest

from support import Interrupting, bumped
from support import MAP_CLASSES as MAPS
from support import SET_CLASSES as SETS


# ---- clear() and &= releasing entries while the deferral buffer cannot grow ------------------


class Finalized:
    """Records whether the container still showed it when its finalizer ran."""

    holder, saw_itself = None, []

    def __del__(self):
        c = Finalized.holder
        if c is not None:
            try:
                Finalized.saw_itself.append(any(r is self for r in gc.get_referents(c)))
            except MemoryError:  # the failing allocation was this one
                pass


EMPTYING = [(cls, "clear", lambda c: c.clear()) for cls in MAPS + SETS] + [
    (cls, "retain", lambda c: c.intersection_update([])) for cls in SETS
]


# A finalizer that meets the failing allocation itself raises MemoryError into the void.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("cls, how", [pytest.param(c, f, id=f"{c.__name__}-{n}") for c, n, f in EMPTYING])
def test_entries_released_early_are_no_longer_in_the_table(cls, how):
    testcapi = pytest.importorskip("_testcapi")
    seen = Finalized.saw_itself = []
    # Fail one allocation at each point in turn: somewhere among them is the
    # one that grows the buffer of deferred releases, and an entry is then
    # released at once, in the middle of the bulk removal.
    for start in range(8):
        c = cls(Finalized() for _ in range(64)) if cls in SETS else cls((Finalized(), Finalized()) for _ in range(64))
        Finalized.holder = c
        testcapi.set_nomemory(start, start + 1)
        try:
            how(c)
        except MemoryError:
            continue  # the call's own allocation failed, before it removed anything
        finally:
            testcapi.remove_mem_hooks()
            Finalized.holder = None
        assert len(c) == 0
    assert seen and not any(seen)


# ---- interrupts raised by __eq__ during a store -------------------------------------------------


FIRST = 5  # stored before the interrupting key by the bulk calls
MAP_STORES = {  # the call, and whether FIRST is stored before the interrupt
    "setitem": (lambda m, k: m.__setitem__(k, 1), False),
    "update-pairs": (lambda m, k: m.update([(FIRST, 0), (k, 1)]), True),
    "update-same-class": (lambda m, k: m.update(type(m)([(FIRST, 0), (k, 1)])), True),
    # Here the map's own keys are stored last, into a copy of the left operand.
    "ror": (lambda m, k: [(FIRST, 0), (next(iter(m)), 0)] | type(m)([(k, 1)]), False),
    "fromkeys": (lambda m, k: type(m).fromkeys([next(iter(m)), FIRST, k]), False),
}
SET_STORES = {
    "add": (lambda s, k: s.add(k), False),
    "update": (lambda s, k: s.update([FIRST], [k]), True),
    "ixor": (lambda s, k: s.__ixor__([FIRST, k]), True),
    "xor": (lambda s, k: s ^ [FIRST, k], False),
}
STORES = [
    pytest.param(cls, *case, id=f"{cls.__name__}-{name}")
    for classes, table in ((MAPS, MAP_STORES), (SETS, SET_STORES))
    for name, case in table.items()
    for cls in classes
]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("cls, call, first_stored", STORES)
def test_an_interrupted_store_stores_nothing(cls, call, first_stored, exc):
    held = Interrupting(ValueError())  # an ordinary error in __eq__ only means "unequal"
    c = cls([(held, 0)]) if cls in MAPS else cls([held])
    it = iter(c)
    with pytest.raises(exc):
        call(c, Interrupting(exc()))
    # As with dict, the interrupted item is not stored; earlier items of a bulk call stay,
    # and then live iterators see the change.
    assert sorted(map(id, c)) == sorted(map(id, [held] + ([FIRST] if first_stored else [])))
    assert bumped(it) == first_stored
    # Lookups and removals raise it too, and an ordinary error only means "unequal".
    assert Interrupting(ValueError()) not in c
    pytest.raises(exc, operator.contains, c, Interrupting(exc()))
    pytest.raises(exc, lambda: c.discard(Interrupting(exc())) if cls in SETS else c.pop(Interrupting(exc()), 0))
    assert len(c) == 1 + first_stored
    c.clear()  # every borrow was given back
