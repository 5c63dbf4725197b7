#!/usr/bin/env python3
"""Small counterparts for the GUI harness self-test.

  responder.py pty LINK        make a pseudo-terminal, link its slave at LINK,
                               answer every chunk with the same bytes upper-cased
  responder.py udp PORT [FROM] answer every datagram on PORT (any address,
                               broadcasts included) with "pong " + the datagram,
                               sent from address FROM if given

Both end by themselves after --for seconds (default 120).
"""
import argparse
import os
import select
import socket
import sys
import time
import tty


def serve_pty(link, seconds):
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    tmp = link + ".tmp"
    os.symlink(path, tmp)
    os.replace(tmp, link)
    print(f"pty {path} linked at {link}", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.2)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:  # the other side closed; wait for the next opener
            time.sleep(0.05)
            continue
        os.write(master, data.upper())


def serve_udp(port, source, seconds):
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", port))
    sender = listener
    if source:
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.bind((source, 0))
    print(f"udp port {port} answering from {source or 'any'}", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([listener], [], [], 0.2)
        if not ready:
            continue
        data, peer = listener.recvfrom(2048)
        sender.sendto(b"pong " + data, peer)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["pty", "udp"])
    parser.add_argument("where")
    parser.add_argument("source", nargs="?")
    parser.add_argument("--for", dest="seconds", type=float, default=120)
    args = parser.parse_args()
    if args.kind == "udp" and os.environ.get("TQ_WINE_NETNS") != "1":
        sys.exit("responder.py udp runs only inside wine-run.sh --netns")
    if args.kind == "pty":
        serve_pty(args.where, args.seconds)
    else:
        serve_udp(int(args.where), args.source, args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
