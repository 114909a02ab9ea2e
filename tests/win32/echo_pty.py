#!/usr/bin/env python3
"""A pseudo-terminal that sends back every byte it receives, left at its default line settings.

    echo_pty.py LINK

Makes LINK a symbolic link to the terminal's slave side (a Wine prefix's dosdevices/comN),
prints the slave's path and echoes on the master side until SIGTERM or SIGINT.

The line settings are not touched, so the terminal stays as a new one is (canonical input,
echo, XON/XOFF on input). Those settings belong to the slave side, whose line discipline
handles what the master writes: a Windows program that opens the slave as a COM port gets
only what its own line settings let through.
"""
import os
import select
import signal
import sys


def main():
    if len(sys.argv) != 2:
        print("usage: echo_pty.py LINK", file=sys.stderr)
        return 2
    link = sys.argv[1]
    master, slave = os.openpty()  # kept open: no hang-up while the port is closed
    path = os.ttyname(slave)
    if os.path.islink(link):
        os.unlink(link)
    os.symlink(path, link)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(path, flush=True)
    try:
        while True:
            select.select([master], [], [])
            data = os.read(master, 4096)
            while data:
                data = data[os.write(master, data):]
    except KeyboardInterrupt:
        pass
    finally:
        os.unlink(link)
    return 0


if __name__ == "__main__":
    sys.exit(main())
