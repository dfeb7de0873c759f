# Bad input of every kind is a Python exception with a clear message, never a crash.
import pytest

import zor


def test_bad_calls_on_a_device(tmp_path):
    dev = zor.Loopback(timeout=1)
    for call, exc in [
        (lambda: dev.read(-1), ValueError),
        (lambda: dev.read("3"), TypeError),
        (lambda: dev.read(1, timeout=-1), ValueError),
        (lambda: dev.read(1, timeout="soon"), TypeError),
        (lambda: dev.write("text"), TypeError),
        (lambda: dev.write(12), TypeError),
        (lambda: dev.read_until(b""), ValueError),
        (lambda: dev.read_until(b"\n", size=-2), ValueError),
        (lambda: dev.query(b"x", expected=b"", timeout=0), ValueError),
        (lambda: setattr(dev, "timeout", -0.5), ValueError),
        (lambda: dev.log_to(""), ValueError),
        (lambda: dev.log_to(str(tmp_path / "no" / "such" / "dir.log")), OSError),
        (lambda: zor.Device(), TypeError),
    ]:
        with pytest.raises(exc):
            call()
    assert dev.write(memoryview(b"ok")) == 2 and dev.read(2) == b"ok"
    dev.close()
    for call in [lambda: dev.read(1), lambda: dev.write(b"x"), lambda: dev.in_waiting, dev.flush, dev.stop_log,
                 lambda: dev.query(b"x")]:
        with pytest.raises(ValueError, match="closed"):
            call()


def test_bad_construction_and_settings(tmp_path):
    with pytest.raises(FileNotFoundError):
        zor.Playback(str(tmp_path / "missing.log"))
    (tmp_path / "junk.log").write_text("not a log\n")
    with pytest.raises(OSError):
        zor.Playback(str(tmp_path / "junk.log"))
    for kw, exc in [({"rx_size": -1}, ValueError), ({"tx_size": "big"}, TypeError), ({"colour": 1}, TypeError)]:
        with pytest.raises(exc):
            zor.Loopback(**kw)
    for args, exc in [
        (("COM0",), ValueError),
        (("COMx",), ValueError),
        ((str(tmp_path / "no-tty"),), FileNotFoundError),
        (("COM9", "fast"), TypeError),
        (("COM9", 9600, 9), ValueError),
        (("COM9", 9600, 8, "Q"), ValueError),
        (("COM9", 9600, 8, "N", 1.5), ValueError),
    ]:
        with pytest.raises(exc):
            zor.SerialPort(*args)
    with pytest.raises(OSError):
        zor.Usb()  # no instrument listed or present
    with pytest.raises(OSError) as refused:
        zor.PipeClient("elsewhere.example")
    assert refused.value.errno != 0
    with pytest.raises(ValueError, match="Thread granularity"):
        zor.configure(granularity=5000)
    with pytest.raises(TypeError):
        zor.configure(io_timeout="1")
    with pytest.raises(TypeError):
        zor.configure(nonsense=1)
    assert zor.configure()["granularity"] == 0, "the module's default"
    with zor.Loopback():
        with pytest.raises(RuntimeError):
            zor.configure(io_timeout=200)
    assert zor.configure(io_timeout=200)["io_timeout"] == 200
    zor.configure(io_timeout=100)
