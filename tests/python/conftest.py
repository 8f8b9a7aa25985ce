import pytest

from support import MAP_CLASSES, SET_CLASSES


@pytest.fixture(params=MAP_CLASSES, ids=lambda c: c.__name__)
def map_cls(request):
    return request.param


@pytest.fixture(params=SET_CLASSES, ids=lambda c: c.__name__)
def set_cls(request):
    return request.param
