# The RFC 2217 client against python3-serial's example server serving its loop:// port.
import os
import socket
import subprocess
import sys

import pytest

import zor
from conftest import open_client
from test_kinds import scenario

SERVER = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"


def test_rfc2217_client_through_an_rfc2217_server(tmp_path, payload):
    if not hasattr(zor, "Rfc2217"):
        pytest.skip("this zor has no RFC 2217 client")
    if not os.path.exists(SERVER):
        pytest.skip("no RFC 2217 server on this machine (" + SERVER + ")")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    log = open(tmp_path / "server.txt", "wb")
    proc = subprocess.Popen([sys.executable, SERVER, "-p", str(port), "loop://"], stdout=log, stderr=log,
                            stdin=subprocess.DEVNULL)
    try:
        with open_client(proc, lambda: zor.Rfc2217("127.0.0.1", port)) as dev:
            scenario(dev, payload)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()
