#!/usr/bin/python3
"""Query -> answer from Python at granularity 0: zor.SerialPort beside
python3-serial, each on an echoing pty of its own, and 16-byte loopback round
trips. Run with the build's package on PYTHONPATH:

    PYTHONPATH=build/python/tree /usr/bin/python3 bench/bench_python.py

Prints one "name value unit" line per figure.
"""

import os
import statistics
import subprocess
import sys
import time

import serial

import zor

# The echo runs in a process of its own, so that it takes no GIL from the client measured.
ECHO = r"""
import os, select, sys, termios, tty
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
while True:
    r, _, _ = select.select([master, sys.stdin], [], [])
    if sys.stdin in r:
        break
    try:
        data = os.read(master, 65536)
    except OSError:
        continue
    os.write(master, data)
"""

QUERY = b"MEAS:VOLT?\n"


def echo_pty():
    proc = subprocess.Popen([sys.executable, "-c", ECHO], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return proc, proc.stdout.readline().strip()


def end(proc):
    proc.stdin.close()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def timed(ask, count):
    for _ in range(20):
        ask()
    times = []
    for _ in range(count):
        start = time.perf_counter()
        ask()
        times.append(time.perf_counter() - start)
    return times


def report(name, times):
    print("%s_median %.1f us" % (name, statistics.median(times) * 1e6))
    print("%s_p99 %.1f us" % (name, sorted(times)[int(len(times) * 0.99)] * 1e6))


def main():
    count = int(os.environ.get("BENCH_COUNT", "2000"))
    zor.configure(granularity=0)
    proc, path = echo_pty()
    try:
        with zor.SerialPort(path, baudrate=115200) as dev:

            def ask_zor():
                if dev.query(QUERY, timeout=1.0) != QUERY:
                    raise SystemExit("zor: wrong answer")

            report("python_zor_serial_query", timed(ask_zor, count))
    finally:
        end(proc)
    proc, path = echo_pty()
    try:
        with serial.Serial(path, baudrate=115200, timeout=1.0) as port:

            def ask():
                port.write(QUERY)
                if port.read_until(b"\n") != QUERY:
                    raise SystemExit("python3-serial: wrong answer")

            report("python_pyserial_query", timed(ask, count))
    finally:
        end(proc)
    block = bytes(range(16))
    with zor.Loopback() as dev:
        rounds = count * 5
        start = time.perf_counter()
        for _ in range(rounds):
            dev.write(block)
            if dev.read(16, timeout=1.0) != block:
                raise SystemExit("loopback: wrong answer")
        print("python_zor_loopback_16B_round_trips %.0f per_s" % (rounds / (time.perf_counter() - start)))


if __name__ == "__main__":
    main()
