import pytest

from tessarine import Tessarine


@pytest.fixture
def db():
    return Tessarine()
