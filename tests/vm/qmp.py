#!/usr/bin/env python3
"""Sends QMP commands (one JSON object a line on standard input) to a QEMU monitor socket and
prints each answer on a line of its own; events QEMU sends meanwhile are left out."""
import json
import socket
import sys


def answer(stream):
    while True:
        line = stream.readline()
        if not line:
            raise SystemExit("qmp: the monitor closed")
        reply = json.loads(line)
        if "event" not in reply:
            return reply


def main():
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(30)
    sock.connect(sys.argv[1])
    stream = sock.makefile("rw")
    answer(stream)  # the greeting
    stream.write(json.dumps({"execute": "qmp_capabilities"}) + "\n")
    stream.flush()
    answer(stream)
    for line in sys.stdin:
        if not line.strip():
            continue
        stream.write(line.strip() + "\n")
        stream.flush()
        print(json.dumps(answer(stream)), flush=True)


if __name__ == "__main__":
    main()
