# Waits release the GIL, Ctrl-C ends them, and a close ends them safely.
import signal
import subprocess
import sys
import threading

import zor
from conftest import wait_until

# "ready" comes from a second thread once the main one is well inside read().
CHILD = r"""
import threading, zor
dev = zor.%s
threading.Timer(0.2, lambda: print("ready", flush=True)).start()
try:
    dev.read(10, timeout=%s)
except KeyboardInterrupt:
    print("interrupted", flush=True)
dev.close()
"""


def interrupted(make, timeout):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD % (make, timeout)], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True
    )
    try:
        assert child.stdout.readline() == "ready\n"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return out, child.returncode


def test_ctrl_c_ends_a_long_read(tmp_path):
    assert interrupted("Loopback()", "None") == ("interrupted\n", 0)
    assert interrupted("Loopback()", "3600") == ("interrupted\n", 0)
    log = tmp_path / "silent.log"
    with zor.Loopback() as dev:
        dev.log_to(str(log))
        dev.write(b"x")
        assert dev.read(1, timeout=10) == b"x"
    assert interrupted("Playback(%r)" % str(log), "None") == ("interrupted\n", 0)


def test_two_threads_on_one_device_and_a_close_under_a_blocked_reader():
    dev = zor.Loopback()
    got = []
    reader = threading.Thread(target=lambda: got.append(dev.read(4)))
    reader.start()
    # The reader waits without the GIL: this thread runs Python meanwhile.
    counted = sum(range(200000))
    assert reader.is_alive() and counted
    dev.write(b"ping")
    reader.join(10)
    assert got == [b"ping"]

    # Closed under blocked readers: each ends with what it had, nothing crashes.
    results = []

    def blocked():
        try:
            results.append(dev.read(100))
        except ValueError:  # a reader that came only after the close
            results.append(b"")

    readers = [threading.Thread(target=blocked) for _ in range(2)]
    for r in readers:
        r.start()
    dev.write(b"ab")
    assert wait_until(lambda: dev.in_waiting == 2)
    dev.close()
    for r in readers:
        r.join(10)
    assert not any(r.is_alive() for r in readers)
    assert sorted(results) == [b"", b"ab"]
    dev.close()
    assert not dev.is_open
