"""A network serial port's client as python3-serial runs it, against a server
whose far end echoes: every byte value both ways, 1 MiB whole, the line
settings, the modem-control lines and break, a purge. Exits 0 when all held;
prints what failed otherwise. Usage: serial_url_client.py PORT [MIB]"""
import sys
import serial

port = int(sys.argv[1])
size = int(float(sys.argv[2]) * (1 << 20)) if len(sys.argv) > 2 else 1 << 20

s = serial.serial_for_url("rfc2217://127.0.0.1:%d" % port, baudrate=19200, timeout=10)
try:
    every = bytes(range(256)) * 4
    s.write(every)
    got = s.read(len(every))
    if got != every:
        sys.exit("every byte value: %d of %d bytes came back equal" % (len(got), len(every)))

    block = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(65536))
    data = (block * (size // len(block) + 1))[:size]
    # Written in slices while the echo is read, so neither side's buffers fill.
    received = bytearray()
    step = 16384
    for at in range(0, size, step):
        s.write(data[at:at + step])
        received += s.read(min(step, size - at) - max(0, len(received) - at))
    while len(received) < size:
        chunk = s.read(size - len(received))
        if not chunk:
            break
        received += chunk
    if bytes(received) != data:
        sys.exit("1 MiB: %d of %d bytes came back%s" % (len(received), size,
                 "" if len(received) != size else ", not equal"))

    # Each request waits for the server's answer: none within the time-out raises.
    s.reset_input_buffer()
    s.reset_output_buffer()
    s.dtr = False
    s.rts = False
    s.dtr = True
    s.rts = True
    s.send_break(0.05)
    s.baudrate = 57600
    s.parity = serial.PARITY_EVEN
    s.bytesize = serial.SEVENBITS
    s.stopbits = serial.STOPBITS_TWO
    print("settings sent")
finally:
    s.close()
