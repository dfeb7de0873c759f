"""pytest plugin of zor (entry point ``pytest11``): replayed instruments and
recorded traffic as fixtures.

``zor_replay`` yields an opened ``zor.Playback`` of the log the test names, by
indirect parametrisation or by the marker ``zor_log`` (a relative path is
taken from the test file's folder)::

    @pytest.mark.zor_log("idn.log", true_speed=False)
    def test_identifies(zor_replay):
        assert zor_replay.query(b"*IDN?\\n") == b"ACME,1\\n"

``zor_record`` logs the traffic of the devices a test hands it to the test's
temporary folder and returns the log's path::

    def test_talks(zor_record):
        with zor.Loopback() as dev:
            path = zor_record(dev)
            dev.query(b"hi\\n")
        assert path.exists()
"""

import pathlib

import pytest

import zor


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "zor_log(path, true_speed=True): the traffic log the zor_replay fixture replays"
    )


@pytest.fixture
def zor_replay(request):
    """An opened ``zor.Playback`` of the test's log; closed after the test."""
    marker = request.node.get_closest_marker("zor_log")
    true_speed = True
    if hasattr(request, "param"):
        path = request.param
    elif marker is not None and marker.args:
        path = marker.args[0]
        true_speed = marker.kwargs.get("true_speed", True)
    else:
        raise pytest.UsageError(
            "zor_replay needs a log: @pytest.mark.zor_log(path) or parametrize it indirectly with the path"
        )
    path = pathlib.Path(path)
    if not path.is_absolute():
        path = pathlib.Path(request.node.fspath).parent / path
    device = zor.Playback(str(path), true_speed)
    try:
        yield device
    finally:
        device.close()


@pytest.fixture
def zor_record(tmp_path):
    """A function that logs a device's traffic into the test's temporary folder.

    ``zor_record(device, name=None)`` starts the log and returns its path
    (``zor-traffic.log``, then ``zor-traffic-2.log`` ...); the logs stop after the test.
    """
    logging = []

    def record(device, name=None):
        path = tmp_path / (name or ("zor-traffic.log" if not logging else "zor-traffic-%d.log" % (len(logging) + 1)))
        device.log_to(str(path))
        logging.append(device)
        return path

    yield record
    for device in logging:
        if device.is_open:
            device.stop_log()
