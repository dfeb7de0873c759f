# The TCP client through "zor remote --headless" (fixed ports: one test at a time).
import socket

import pytest

import zor
from conftest import Server
from test_kinds import scenario


def port_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def test_tcp_client_through_zor_remote(zor_program, tmp_path, payload):
    if not (port_free(zor.TcpClient.PORT) and port_free(zor.TcpClient.PORT + 1)):
        pytest.skip("another program holds the TCP ports 40765/40766")
    server = Server(zor_program, "remote", tmp_path / "server", {})
    try:
        with server.open_client(lambda: zor.TcpClient("127.0.0.1")) as dev:
            assert dev.kind == zor.KIND_TCP
            if not server.served():
                pytest.skip("another program's server answered on the fixed port")
            scenario(dev, payload)
    finally:
        server.stop()
