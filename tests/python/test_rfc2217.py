# The RFC 2217 client against python3-serial's example server serving its
# loop:// port (through the wrapper that keeps it on the loopback).
import os
import socket
import subprocess
import sys

import pytest

import zor
from conftest import open_client
from test_kinds import scenario

EXAMPLE = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"
SERVER = os.path.join(os.path.dirname(__file__), "..", "peers", "loopback_serial_server.py")


def test_rfc2217_client_through_an_rfc2217_server(tmp_path, payload):
    if not hasattr(zor, "Rfc2217"):
        pytest.skip("this zor has no RFC 2217 client")
    if not os.path.exists(EXAMPLE):
        pytest.skip("no RFC 2217 server on this machine (" + EXAMPLE + ")")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    log = open(tmp_path / "server.txt", "wb")
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
        log.close()
