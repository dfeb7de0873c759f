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
other library-wide settings for the devices opened afterwards. Traffic logs
are written in the hexadecimal view with no direction filtered, so that
Playback can replay every one of them.
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

__all__ = [
    "Device",
    "Loopback",
    "Playback",
    "SerialPort",
    "PipeClient",
    "TcpClient",
    "Usb",
    "configure",
    "KIND_USB",
    "KIND_NET",
    "KIND_RS232",
    "KIND_NULL",
    "KIND_PLAYBACK",
    "KIND_TCP",
]

try:
    from zor._zor import Rfc2217  # noqa: F401

    __all__ += ["Rfc2217"]
except ImportError:  # a library without the RFC 2217 client
    pass
