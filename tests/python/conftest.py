import os

import pytest
from hypothesis import settings

from support import MAP_CLASSES, SET_CLASSES

# CI selects "ci": the same examples on every run, so a red run is a fault in
# brindle, never a dice roll.  Local runs keep exploring.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
settings.load_profile(os.environ.get("BRINDLE_HYPOTHESIS_PROFILE", "default"))


@pytest.fixture(params=MAP_CLASSES, ids=lambda c: c.__name__)
def map_cls(request):
    return request.param


@pytest.fixture(params=SET_CLASSES, ids=lambda c: c.__name__)
def set_cls(request):
    return request.param
