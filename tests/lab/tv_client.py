#!/usr/bin/env python3
"""Sends requests one after another on one connection, as a TV set does, and
prints for each its answer head (line ends as LF) and, for a GET, what the
body held: "body ok" when BODY_BYTES of transport stream arrived, "body N"
(the count) otherwise. A HEAD's answer must end at its blank line: anything after it
within half a second prints "extra N".

usage: tv_client.py HOST PORT REQUEST...   (REQUEST with \\r\\n written as such)
"""
import socket
import sys
import time

BODY_BYTES = 64 * 1316


def read_head(sock, pending):
    while b"\r\n\r\n" not in pending:
        chunk = sock.recv(65536)
        if not chunk:
            return None, pending
        pending += chunk
    end = pending.index(b"\r\n\r\n") + 4
    return pending[:end], pending[end:]


def main():
    host, port, requests = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    sock = socket.create_connection((host, port), timeout=10)
    pending = b""
    for text in requests:
        request = text.replace("\\r", "\r").replace("\\n", "\n").encode()
        sock.sendall(request)
        head, pending = read_head(sock, pending)
        if head is None:
            print("closed")
            return
        sys.stdout.write(head.decode("latin-1").replace("\r\n", "\n"))
        if request.startswith(b"HEAD "):
            sock.settimeout(0.5)
            try:
                pending += sock.recv(65536)
            except socket.timeout:
                pass
            sock.settimeout(10)
            if pending:
                print("extra", len(pending))
            continue
        deadline = time.monotonic() + 10
        body = pending
        while len(body) < BODY_BYTES and time.monotonic() < deadline:
            chunk = sock.recv(65536)
            if not chunk:
                break
            body += chunk
        ts = len(body) >= 188 and all(body[i] == 0x47 for i in range(0, len(body) - 187, 188))
        print("body ok" if ts and len(body) >= BODY_BYTES else "body %d" % len(body))
        return


main()
