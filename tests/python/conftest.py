# Shared peers of the Python tests: the zor program serving a loopback, an
# echoing pseudo-terminal, a recorded traffic log. Each ends what it started.
import os
import subprocess
import threading
import time

import pytest



def wait_until(predicate, seconds=10.0):
    """Polls predicate (a test's peer has no event to wait on) within a bound."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    return predicate()


@pytest.fixture
def zor_program():
    program = os.environ.get("ZOR_APP", "")
    if not os.access(program, os.X_OK):
        pytest.skip("the zor program is not built (ZOR_APP)")
    return program


def open_client(proc, make, said=lambda: ""):
    """make()'s device once the server process proc takes it; a skip when the
    server ended (another program holds its port, or its folder is refused)."""
    last = None
    end = time.monotonic() + 10
    while time.monotonic() < end and proc.poll() is None:
        try:
            return make()
        except OSError as e:
            last = e
            time.sleep(0.05)
    if proc.poll() is not None:
        pytest.skip("the server ended: " + said())
    raise AssertionError("the server took no client: %r" % (last,))


class Server:
    """zor server/remote --headless serving a loopback, ended at the test's end."""

    def __init__(self, program, mode, folder, env):
        self.folder = folder
        folder.mkdir(exist_ok=True)
        # The served loopback answers at once, as the module's own devices do.
        (folder / "zor.ini").write_text("[ZOR.DLL]\nrunZor NumDev=0\nrunZor loopback=1\nThread granularity=0\n")
        self.out = open(folder / "out.txt", "wb")
        self.proc = subprocess.Popen(
            [program, mode, "--headless"],
            stdout=self.out,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
            env=dict(os.environ, ZOR_CONFIG=str(folder / "zor.ini"), **env),
        )

    def open_client(self, make):
        """The client device, once the server takes it (bounded)."""
        return open_client(self.proc, make, lambda: (self.folder / "out.txt").read_text()[-300:])

    def served(self):
        """True once this server (not another program on its port) took a client."""
        return wait_until(lambda: " connected" in (self.folder / "out.txt").read_text())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(2)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


@pytest.fixture
def pipe_server(zor_program, tmp_path, monkeypatch):
    pipes = tmp_path / "pipes"
    pipes.mkdir(mode=0o700)
    # The client finds the server's pipes in the same folder.
    monkeypatch.setenv("ZOR_PIPE_DIR", str(pipes))
    server = Server(zor_program, "server", tmp_path / "server", {"ZOR_PIPE_DIR": str(pipes)})
    yield server
    server.stop()


class EchoPty:
    """A pseudo-terminal whose far end echoes what the port sends."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)
        self.running = True
        self.thread = threading.Thread(target=self._echo, daemon=True)
        self.thread.start()

    def _echo(self):
        import select

        while self.running:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:  # no port open on the far end yet, or it closed
                time.sleep(0.01)
                continue
            view = memoryview(data)
            while view and self.running:
                _, writable, _ = select.select([], [self.master], [], 0.05)
                if writable:
                    view = view[os.write(self.master, view) :]

    def close(self):
        self.running = False
        self.thread.join(5)
        os.close(self.master)


@pytest.fixture
def echo_pty():
    pty = EchoPty()
    yield pty
    pty.close()


def round_trip(dev, payload, timeout=60.0):
    """Writes payload from a second thread while this one reads it back."""
    sent = []
    writer = threading.Thread(target=lambda: sent.append(dev.write(payload, timeout=timeout)))
    writer.start()
    try:
        got = dev.read(len(payload), timeout=timeout)
    finally:
        writer.join(timeout)
    assert sent == [len(payload)]
    return got


@pytest.fixture
def payload():
    return os.urandom(1 << 20)
