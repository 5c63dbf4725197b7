#!/usr/bin/env python3
"""A recording tap on a unit's TCP text port, for the GUI tests.

  text_tap.py LISTEN_ADDR:PORT UNIT_ADDR:PORT LOG

Accepts connections on LISTEN_ADDR:PORT and joins each to the simulated
unit's text port at UNIT_ADDR:PORT, passing bytes both ways unchanged. When a
connection ends, one line goes to LOG: what the program sent on it, with
CR and LF written as \\r and \\n. A line "ready" on standard output says the
tap listens. Runs only inside wine-run.sh --netns; ends by itself after
--for seconds (default 300).
"""
import argparse
import os
import select
import socket
import sys
import time


def address(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def escape(data):
    return data.decode("latin-1").replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen", type=address)
    parser.add_argument("unit", type=address)
    parser.add_argument("log")
    parser.add_argument("--for", dest="seconds", type=float, default=300)
    args = parser.parse_args()
    if os.environ.get("TQ_WINE_NETNS") != "1":
        sys.exit("text_tap.py runs only inside wine-run.sh --netns")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(args.listen)
    listener.listen(8)
    print("ready", flush=True)

    pairs = {}  # socket -> (its partner, is the program's side, bytes sent by the program)
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([listener] + list(pairs), [], [], 0.2)
        for sock in ready:
            if sock is listener:
                host, _ = listener.accept()
                try:
                    unit = socket.create_connection(args.unit, timeout=2)
                except OSError:
                    host.close()  # the unit refuses: so does the tap
                    continue
                record = bytearray()
                pairs[host] = (unit, True, record)
                pairs[unit] = (host, False, record)
                continue
            if sock not in pairs:
                continue
            partner, from_host, record = pairs[sock]
            try:
                data = sock.recv(4096)
            except OSError:
                data = b""
            if data:
                if from_host:
                    record.extend(data)
                try:
                    partner.sendall(data)
                except OSError:
                    pass
                continue
            # One side ended: the connection is over. What the program sends
            # in the moment after still belongs to the record: the unit may
            # close right after its last reply, while the line end of the
            # last command is still on its way.
            host = sock if from_host else partner
            settle = time.monotonic() + 0.3
            while time.monotonic() < settle:
                if not select.select([host], [], [], 0.05)[0]:
                    continue
                try:
                    rest = host.recv(4096)
                except OSError:
                    break
                if not rest:
                    break
                record.extend(rest)
            for s in (sock, partner):
                pairs.pop(s, None)
                s.close()
            with open(args.log, "a") as log:
                log.write(escape(bytes(record)) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
