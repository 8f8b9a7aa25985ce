import pytest

import brindle
from support import MAP_CLASSES, SET_CLASSES, HookKey


@pytest.fixture(params=MAP_CLASSES, ids=lambda c: c.__name__)
def map_cls(request):
    return request.param


@pytest.fixture(params=SET_CLASSES, ids=lambda c: c.__name__)
def set_cls(request):
    return request.param


@pytest.fixture(scope="session")
def panic_exception():
    """brindle's PanicException class, which the module does not export."""
    m = brindle.FunnelHashMap()
    try:
        # Making an iterator of a map that is being mutated is an invariant
        # failure, not an ordinary error.
        m[HookKey(0, lambda: iter(m))] = 0
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    pytest.fail("no PanicException raised")
