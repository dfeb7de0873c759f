# Every kind the machine can serve, through the same script: 1 MiB round trip
# whole, a query answered, and a query that times out while the answer is
# incomplete. Each peer echoes what it is sent; the RFC 2217 client's is
# python3-serial's example server serving its loop:// port (through the
# wrapper that keeps it on the loopback).
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

import zor
from conftest import open_client, round_trip

EXAMPLE = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"
SERVER = os.path.join(os.path.dirname(__file__), "..", "peers", "loopback_serial_server.py")


def scenario(dev, payload, timeout=60.0):
    assert round_trip(dev, payload, timeout) == payload
    assert dev.query(b"ask\n", timeout=10) == b"ask\n"
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        dev.query(b"no end", timeout=0.2)
    # A hard deadline: it never ends early, and what arrived is kept.
    assert time.monotonic() - start >= 0.2
    assert dev.read(6, timeout=10) == b"no end"


def test_loopback(payload):
    with zor.Loopback() as dev:
        assert dev.kind == zor.KIND_NULL
        scenario(dev, payload)


def test_playback_replays_what_a_loopback_recorded(tmp_path, payload):
    log = tmp_path / "session.log"
    with zor.Loopback() as dev:
        dev.log_to(str(log))
        scenario(dev, payload)
        dev.stop_log()
    with zor.Playback(str(log), true_speed=False) as dev:
        assert dev.kind == zor.KIND_PLAYBACK
        scenario(dev, payload)


def test_pipe_client_through_zor_server(pipe_server, payload):
    with pipe_server.open_client(lambda: zor.PipeClient(".")) as dev:
        assert dev.kind == zor.KIND_NET
        # The pipe client moves 64 bytes a transfer: a mebibyte takes seconds,
        # and a sanitizer's build several times as long.
        scenario(dev, payload, timeout=120.0)


def test_serial_port_on_a_pty_by_path_and_by_com_link(echo_pty, payload):
    ports = os.path.join(os.path.dirname(os.environ["ZOR_CONFIG"]), "ports")
    with zor.SerialPort(echo_pty.path, baudrate=115200) as dev:
        assert dev.kind == zor.KIND_RS232 and dev.baudrate == 115200
        scenario(dev, payload)
        dev.baudrate = 9600
        assert dev.baudrate == 9600
        # A pty has no modem lines: a clear error, and the port works on.
        with pytest.raises(OSError):
            dev.rts = False
        with pytest.raises(OSError):
            dev.cts
        dev.send_break(0.01)
        assert dev.query(b"still\n", timeout=10) == b"still\n"
    assert not any(n.startswith("COM6") for n in os.listdir(ports)), "a path's own link stayed behind"
    # "COMn" as the library numbers ports: a link beside the settings file.
    os.makedirs(ports, exist_ok=True)
    link = os.path.join(ports, "COM77")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(echo_pty.path, link)
    try:
        with zor.SerialPort("COM77", parity="E", stopbits=2) as dev:
            assert dev.query(b"com\n", timeout=10) == b"com\n"
    finally:
        os.remove(link)


def test_rfc2217_client_through_an_rfc2217_server(tmp_path, payload):
    if not os.path.exists(EXAMPLE):
        pytest.skip("no RFC 2217 server on this machine (" + EXAMPLE + ")")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(tmp_path / "server.txt", "wb") as log:
        proc = subprocess.Popen([sys.executable, SERVER, "loop://", "-p", str(port)], stdout=log, stderr=log,
                                stdin=subprocess.DEVNULL)
        try:
            with open_client(proc, lambda: zor.Rfc2217("127.0.0.1", port)) as dev:
                scenario(dev, payload)
                # The line control waits for the server's answers.
                dev.baudrate = 19200
                assert dev.baudrate == 19200
                dev.rts = False
                assert dev.rts is False
                with pytest.raises(ValueError):
                    dev.baudrate = 0
        finally:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def test_query_deadline_holds_against_a_trickle():
    with zor.Loopback() as dev:
        stop = threading.Event()

        def trickle():
            while not stop.wait(0.01):
                dev.write(b".")

        feeder = threading.Thread(target=trickle)
        feeder.start()
        try:
            start = time.monotonic()
            # An inter-byte timeout would never end here: the deadline counts from the call.
            with pytest.raises(TimeoutError):
                dev.query(b"?", expected=b"\n", timeout=0.3)
            assert time.monotonic() - start >= 0.3
            assert dev.in_waiting >= 1
        finally:
            stop.set()
            feeder.join(5)
