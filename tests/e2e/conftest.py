import fnmatch
import os

import pytest

import peers


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits for a real time-out of 20 s or more")
    for binary in (peers.QUILN, peers.QUILN_SHORT):
        if not os.access(binary, os.X_OK):
            raise pytest.UsageError(f"build the program first: {binary} not found")


def pytest_collection_modifyitems(config, items):
    if not peers.WINDOWS:
        return
    for item in items:
        for pattern, reason in peers.NOT_ON_WINDOWS.items():
            if fnmatch.fnmatchcase(item.name, pattern):
                # This reason, not that of a skipif the test has for Linux.
                item.own_markers = [m for m in item.own_markers if m.name != "skipif"]
                item.add_marker(pytest.mark.skip(reason=f"not on Windows: {reason}"))
                break


@pytest.fixture
def sink():
    s = peers.SmtpSink()
    yield s
    s.close()
