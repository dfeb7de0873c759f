# python3-serial scripts switch to zor by URL, and the pytest fixtures serve a sample test.
import os
import subprocess
import sys

import pytest
import serial

import zor

serial.protocol_handler_packages.append("zor")


def test_url_scripts_against_a_loopback_and_its_replayed_log(tmp_path):
    log = tmp_path / "idn.log"
    port = serial.serial_for_url("zor://loopback?log=%s" % log, timeout=5)
    assert isinstance(port, serial.SerialBase) and port.is_open
    port.write(b"*IDN?\n")
    assert port.readline() == b"*IDN?\n"
    port.write(b"partial")
    assert port.read(100) == b"partial"  # the deadline ends it, with what came
    port.device.stop_log()
    port.close()
    assert not port.is_open
    with pytest.raises(serial.PortNotOpenError):
        port.read(1)

    replay = serial.serial_for_url("zor://playback?file=%s&true_speed=0" % log, timeout=5)
    replay.write(b"*IDN?\n")
    assert replay.read_until(b"\n") == b"*IDN?\n"
    replay.close()

    for bad in ("zor://nowhere", "zor://playback", "zor://tcp", "zor://loopback?speed=1", "zor://rfc2217/host"):
        with pytest.raises(serial.SerialException):
            serial.serial_for_url(bad)
    with pytest.raises(serial.SerialException) as missing:
        serial.serial_for_url("zor://playback?file=%s" % (tmp_path / "none.log"))
    assert missing.value.errno == 2


def test_url_for_a_tty_takes_the_ports_settings(echo_pty):
    with serial.serial_for_url("zor://" + echo_pty.path, baudrate=38400, timeout=5) as port:
        assert port.device.baudrate == 38400
        port.baudrate = 19200
        assert port.device.baudrate == 19200
        port.write(b"tty\n")
        assert port.readline() == b"tty\n"


SAMPLE = '''
import pytest, zor

def test_record(zor_record):
    with zor.Loopback() as dev:
        path = zor_record(dev)
        assert dev.query(b"hello\\n", timeout=5) == b"hello\\n"
    assert path.parent.name.startswith("test_record") and path.stat().st_size > 0

@pytest.mark.zor_log("recorded.log", true_speed=False)
def test_replay(zor_replay):
    assert zor_replay.query(b"hello\\n", timeout=5) == b"hello\\n"

@pytest.mark.parametrize("zor_replay", ["recorded.log"], indirect=True)
def test_replay_parametrized(zor_replay):
    assert zor_replay.query(b"hello\\n", timeout=5) == b"hello\\n"
'''


def test_fixtures_in_a_sample_test(tmp_path):
    with zor.Loopback() as dev:
        dev.log_to(str(tmp_path / "recorded.log"))
        assert dev.query(b"hello\n", timeout=5) == b"hello\n"
    (tmp_path / "test_sample.py").write_text(SAMPLE)
    # The plugin comes in through its pytest11 entry point, not by -p.
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--basetemp", str(tmp_path / "t"),
         str(tmp_path / "test_sample.py")],
        capture_output=True, text=True, timeout=120, env=dict(os.environ), cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "3 passed" in run.stdout
