# The TCP client through "zor remote --headless" (fixed ports: one test at a time).
import zor
from conftest import Server
from test_kinds import scenario


def test_tcp_client_through_zor_remote(zor_program, tmp_path, payload):
    server = Server(zor_program, "remote", tmp_path / "server", {})
    try:
        with server.open_client(lambda: zor.TcpClient("127.0.0.1")) as dev:
            assert dev.kind == zor.KIND_TCP
            assert server.served(), "a client of another server on the fixed port"
            scenario(dev, payload)
    finally:
        server.stop()
