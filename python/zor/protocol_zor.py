"""python3-serial URL handler for zor's devices.

After ``serial.protocol_handler_packages.append("zor")``,
``serial.serial_for_url(url)`` opens a zor device behind python3-serial's
interface, so a script switches to a replayed instrument by its URL alone:

=======================================  ====================================
``zor://loopback``                       every byte written comes back
``zor://playback?file=/abs/path.log``    replays a traffic log (``&true_speed=0``: at once)
``zor://COM7``, ``zor:///dev/ttyUSB0``   a serial port, with the port's settings
``zor://pipe`` (``zor://pipe/HOST``)     a device served by ``zor server``
``zor://tcp/HOST``                       a device served by ``zor remote``
``zor://rfc2217/HOST:PORT``              a port of an RFC 2217 server
=======================================  ====================================

``?log=/abs/path.log`` on any of them writes the traffic log as well.
"""

import urllib.parse

from serial.serialutil import PortNotOpenError, SerialBase, SerialException, SerialTimeoutException, to_bytes

import zor

_FORMS = (
    '"zor://loopback", "zor://playback?file=/abs/path.log", "zor://COM7", "zor:///dev/ttyX", '
    '"zor://pipe[/HOST]", "zor://tcp/HOST" or "zor://rfc2217/HOST:PORT"'
)


def _flag(values, name):
    value = values[-1].lower()
    if value in ("1", "true", "yes", "on"):
        return True
    if value in ("0", "false", "no", "off"):
        return False
    raise SerialException("zor URL: {} must be 0 or 1, not {!r}".format(name, values[-1]))


class Serial(SerialBase):
    """A zor device behind python3-serial's ``SerialBase`` interface."""

    def __init__(self, *args, **kwargs):
        self._device = None
        super().__init__(*args, **kwargs)

    def from_url(self, url):
        """Opens the device that url names and returns it."""
        parts = urllib.parse.urlsplit(url)
        if parts.scheme.lower() != "zor":
            raise SerialException("expected {}: not starting with zor:// ({!r})".format(_FORMS, url))
        options = urllib.parse.parse_qs(parts.query, keep_blank_values=True)
        known = {"file", "true_speed", "log"}
        for name in options:
            if name not in known:
                raise SerialException("zor URL: unknown option {!r}".format(name))
        kind = parts.netloc.lower()
        rest = parts.path.lstrip("/")
        if kind == "loopback":
            device = zor.Loopback()
        elif kind == "playback":
            if "file" not in options:
                raise SerialException('zor URL: playback needs "?file=/abs/path.log"')
            true_speed = _flag(options["true_speed"], "true_speed") if "true_speed" in options else True
            device = zor.Playback(options["file"][-1], true_speed)
        elif kind == "pipe":
            device = zor.PipeClient(rest or ".")
        elif kind == "tcp":
            if not rest:
                raise SerialException('zor URL: tcp needs a host, "zor://tcp/HOST"')
            device = zor.TcpClient(rest)
        elif kind == "rfc2217":
            host, _, port = rest.rpartition(":")
            if not host or not port.isdigit():
                raise SerialException('zor URL: rfc2217 needs "zor://rfc2217/HOST:PORT"')
            if not hasattr(zor, "Rfc2217"):
                raise SerialException("zor URL: this zor has no RFC 2217 client")
            device = zor.Rfc2217(host, int(port))
        elif kind.startswith("com") or (not kind and parts.path):
            device = zor.SerialPort(
                parts.netloc if kind else parts.path,
                baudrate=self._baudrate,
                bytesize=self._bytesize,
                parity=self._parity,
                stopbits=self._stopbits,
                rtscts=self._rtscts,
            )
        else:
            raise SerialException("expected {}, not {!r}".format(_FORMS, url))
        if "log" in options:
            try:
                device.log_to(options["log"][-1])
            except Exception:
                device.close()
                raise
        return device

    def open(self):
        """Opens the device the port's URL names."""
        if self.is_open:
            raise SerialException("Port is already open.")
        if self._port is None:
            raise SerialException("Port must be configured before it can be used.")
        try:
            self._device = self.from_url(self._port)
        except OSError as e:
            raise SerialException(e.errno, "could not open port {}: {}".format(self._port, e)) from e
        except ValueError as e:
            raise SerialException("could not open port {}: {}".format(self._port, e)) from e
        self.is_open = True
        try:
            self._reconfigure_port()
        except Exception:
            self.close()
            raise

    def close(self):
        """Closes the device; a read waiting in another thread ends first."""
        if self._device is not None:
            self._device.close()
            self._device = None
        self.is_open = False

    def _open_device(self):
        if not self.is_open or self._device is None:
            raise PortNotOpenError()
        return self._device

    def _reconfigure_port(self):
        if isinstance(self._device, zor.SerialPort) and self._device.baudrate != self._baudrate:
            self._device.baudrate = self._baudrate

    @property
    def device(self):
        """The zor device behind this port (``log_to``, ``query`` ...)."""
        return self._open_device()

    @property
    def in_waiting(self):
        """Bytes received and not yet read."""
        return self._open_device().in_waiting

    def read(self, size=1):
        """Up to size bytes: all of them, or what came by the port's timeout."""
        return self._open_device().read(size, timeout=self._timeout)

    def read_until(self, expected=b"\n", size=None):
        """The bytes up to and including expected (or size of them), or what came by the timeout."""
        return self._open_device().read_until(to_bytes(expected), size, timeout=self._timeout)

    def write(self, data):
        """Queues data; SerialTimeoutException when write_timeout passes first."""
        device = self._open_device()
        data = to_bytes(data)
        n = device.write(data, timeout=self._write_timeout)
        if n < len(data):
            raise SerialTimeoutException("Write timeout")
        return n

    def flush(self):
        """Waits until the transmit ring is empty."""
        self._open_device().flush()

    def reset_input_buffer(self):
        """Drops the bytes received and not yet read."""
        self._open_device().reset_input_buffer()

    def reset_output_buffer(self):
        """Drops the bytes queued and not yet sent."""
        self._open_device().reset_output_buffer()

    @property
    def out_waiting(self):
        """0: the transmit ring is not counted from here."""
        self._open_device()
        return 0

    def _update_rts_state(self):
        if isinstance(self._device, zor.SerialPort):
            self._device.rts = self._rts_state

    def _update_dtr_state(self):
        if isinstance(self._device, zor.SerialPort):
            self._device.dtr = self._dtr_state

    def _update_break_state(self):
        if self._break_state and isinstance(self._device, zor.SerialPort):
            self._device.send_break(0.25)

    def send_break(self, duration=0.25):
        """Holds a serial line in break for duration seconds; other kinds have no line."""
        device = self._open_device()
        if isinstance(device, zor.SerialPort):
            device.send_break(duration)

    @property
    def cts(self):
        """CTS of a serial line; True on kinds without lines."""
        device = self._open_device()
        return device.cts if isinstance(device, zor.SerialPort) else True

    @property
    def dsr(self):
        """DSR of a serial line; True on kinds without lines."""
        device = self._open_device()
        return device.dsr if isinstance(device, zor.SerialPort) else True

    @property
    def ri(self):
        """No ring indicator is read: False."""
        self._open_device()
        return False

    @property
    def cd(self):
        """No carrier detect is read: True."""
        self._open_device()
        return True
