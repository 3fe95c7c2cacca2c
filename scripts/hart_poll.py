#!/usr/bin/env python3
"""A tiny HART master for the package test: sends command 0 to a poll address over a serial
device (a real port or a simulator's virtual port) and checks the reply.

    python3 scripts/hart_poll.py PORT [POLL_ADDRESS] [TIMEOUT_SECONDS]

The port is opened raw, as a virtual port needs; a real port would also need 1200 baud and odd
parity. The request is five preambles and the short frame
02 <0x80|address> 00 00 <checksum>. The reply must come within the timeout and be a short
slave frame 06 for the same address and command 0 with a byte count that fits, a correct
checksum (XOR of every byte from the delimiter on) and response code 0. Exit code 0 when it
does, 1 otherwise, with the bytes seen on standard error. Only the standard library is used.
"""

import os
import select
import sys
import termios
import time


def make_raw(fd):
    """Raw mode as cfmakeraw sets it. The simulator set its port up through the other end of the
    pseudo-terminal, which shares these settings: its parity marking (PARMRK) must go too, or
    every 0xFF preamble would arrive doubled."""
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP |
               termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON | termios.INPCK)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag = (cflag & ~(termios.CSIZE | termios.PARENB)) | termios.CS8
    cc[termios.VMIN], cc[termios.VTIME] = 1, 0
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, ispeed, ospeed, cc])


def request(address):
    frame = bytes([0x02, 0x80 | address, 0x00, 0x00])
    checksum = 0
    for byte in frame:
        checksum ^= byte
    return b"\xff" * 5 + frame + bytes([checksum])


def complete_reply(data):
    """The reply frame (from its delimiter on) once data holds all of it, otherwise None. The
    frame starts at the first short slave delimiter (06) behind a preamble byte (FF); other
    bytes among the preambles are passed over, as a master does."""
    start = 1
    while start < len(data) and not (data[start - 1] == 0xFF and data[start] == 0x06):
        start += 1
    frame = data[start:]
    if len(frame) < 4 or len(frame) < 4 + frame[3] + 1:
        return None
    return frame[:4 + frame[3] + 1]


def check(frame, address):
    """What is wrong with the reply frame, or an empty text."""
    checksum = 0
    for byte in frame[:-1]:
        checksum ^= byte
    if frame[1] & 0x3F != address or frame[2] != 0x00:
        return "address %02X or command %02X is not the request's" % (frame[1], frame[2])
    if checksum != frame[-1]:
        return "checksum %02X, expected %02X" % (frame[-1], checksum)
    if frame[3] < 2 or frame[4] != 0:
        return "response code is not 0"
    return ""


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    port = sys.argv[1]
    address = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    timeout = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0

    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        make_raw(fd)
        termios.tcflush(fd, termios.TCIOFLUSH)
        os.write(fd, request(address))

        data = b""
        deadline = time.monotonic() + timeout
        frame = None
        while frame is None and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if ready:
                data += os.read(fd, 256)
                frame = complete_reply(data)
    finally:
        os.close(fd)

    seen = " ".join("%02X" % b for b in data)
    if frame is None:
        sys.exit("no complete reply within %g s; seen: %s" % (timeout, seen or "nothing"))
    problem = check(frame, address)
    if problem:
        sys.exit("wrong reply (%s): %s" % (problem, seen))
    print("reply: " + seen)


if __name__ == "__main__":
    main()
