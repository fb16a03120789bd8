import pytest

from peer import Peer


@pytest.fixture
def peer():
    with Peer() as p:
        yield p
