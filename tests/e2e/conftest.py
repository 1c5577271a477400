import os

import pytest

import peers


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits for a real time-out of 20 s or more")
    for binary in (peers.QUILN, peers.QUILN_SHORT):
        if not os.access(binary, os.X_OK):
            raise pytest.UsageError(f"build the program first: {binary} not found")


@pytest.fixture
def sink():
    s = peers.SmtpSink()
    yield s
    s.close()
