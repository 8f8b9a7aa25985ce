import pytest

import brindle


@pytest.fixture(scope="session")
def module():
    return brindle
