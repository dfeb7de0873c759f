"""python3-serial's example network serial port server, listening on the
loopback only (the example itself listens on every address), serving a
pseudo-terminal: one has no modem-control lines, whose requests the example
would otherwise fail on.
Usage: loopback_serial_server.py SERIALPORT -p TCPPORT"""
import runpy
import socket
import sys

EXAMPLE = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"
_bind = socket.socket.bind


def bind(self, address):
    if isinstance(address, tuple) and address[0] == "":
        address = ("127.0.0.1",) + tuple(address[1:])
    return _bind(self, address)


socket.socket.bind = bind

import serial.serialposix  # noqa: E402


def tolerant(update):
    def run(self):
        try:
            update(self)
        except OSError:
            pass
    return run


def line(read):
    def get(self):
        try:
            return read(self)
        except OSError:
            return False
    return property(get)


for name in ("_update_dtr_state", "_update_rts_state", "_update_break_state"):
    setattr(serial.serialposix.Serial, name, tolerant(getattr(serial.serialposix.Serial, name)))
for name in ("cts", "dsr", "ri", "cd"):
    setattr(serial.serialposix.Serial, name, line(getattr(serial.serialposix.Serial, name).fget))
sys.argv = [EXAMPLE] + sys.argv[1:]
runpy.run_path(EXAMPLE, run_name="__main__")
