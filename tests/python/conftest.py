import pytest

import brindle

MAP_CLASSES = (brindle.ElasticHashMap, brindle.FunnelHashMap)
SET_CLASSES = (brindle.FunnelHashSet, brindle.ElasticHashSet)


@pytest.fixture(scope="session")
def module():
    return brindle


@pytest.fixture(params=MAP_CLASSES, ids=lambda c: c.__name__)
def map_cls(request):
    return request.param


@pytest.fixture(params=SET_CLASSES, ids=lambda c: c.__name__)
def set_cls(request):
    return request.param


class _ReadsMapWhenHashed:
    def __init__(self, action):
        self.action = action

    def __hash__(self):
        self.action()
        return 0


@pytest.fixture(scope="session")
def panic_exception():
    """brindle's PanicException class, which the module does not export."""
    m = brindle.FunnelHashMap()
    try:
        # Making an iterator of a map that is being mutated is an invariant
        # failure, not an ordinary error.
        m[_ReadsMapWhenHashed(lambda: iter(m))] = 0
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    pytest.fail("no PanicException raised")
