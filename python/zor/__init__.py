"""zor's devices for Python scripts and tests.

Each device opens when constructed and closes with close() or at the end of a
``with`` block::

    import zor
    with zor.SerialPort("/dev/ttyUSB0", baudrate=115200, timeout=0.5) as port:
        print(port.query(b"*IDN?\\n", timeout=1.0))

Reads end at their deadline (``TimeoutError`` from ``query``), release the GIL
while waiting and notice Ctrl-C within 50 ms. ``Playback`` replays a traffic
log that ``log_to`` wrote, in place of the instrument.

The module runs the library at a "Thread granularity" of 0 (waits end when
the data is there, not at the next slice); ``configure()`` changes it and the
other library-wide settings for the devices opened afterwards.
"""

from zor._zor import (  # noqa: F401
    KIND_NET,
    KIND_NULL,
    KIND_PLAYBACK,
    KIND_RS232,
    KIND_TCP,
    KIND_USB,
    Device,
    Loopback,
    PipeClient,
    Playback,
    SerialPort,
    TcpClient,
    Usb,
    configure,
)

try:
    from zor._zor import Rfc2217  # noqa: F401
except ImportError:  # a library without the RFC 2217 client
    pass

__all__ = [
    "Device",
    "Loopback",
    "Playback",
    "SerialPort",
    "PipeClient",
    "TcpClient",
    "Usb",
    "configure",
] + (["Rfc2217"] if "Rfc2217" in globals() else [])
