#!/usr/bin/env python3
"""One channel change, timed, for bench/zap.sh.

    zap_client.py HOST PORT PATH SECONDS

Starts an ffmpeg decoder reading a transport stream from its input and waits
until it sits in that read (loaded and ready, as a player already running
would be). Then the clock starts: the script connects, sends the GET, feeds
the body to the decoder as it arrives, and stops at the decoder's first
video frame. Prints "FIRST_BYTE FIRST_FRAME" in seconds from the start of
the request: the first byte of the answer (head included, what curl calls
time_starttransfer) and the first decoded picture. Nothing is subtracted.
Exits 1 without a frame within SECONDS.

The decoder is one thread (frame threads would hold each picture back for a
few more frames) and does not analyse the stream before decoding (ffmpeg
would otherwise read 5 s of it first: a transport stream may announce more
streams at any time); it writes a checksum line per decoded frame (framemd5,
flushed per frame), so the first line that is not a comment marks the first
decoded frame, without waiting for ffmpeg to exit. Fed a body that starts
with a key frame it takes about 20 ms from the request. Its complaints about
pictures before the first key frame go nowhere.
"""
import os
import socket
import subprocess
import sys
import threading
import time

READ_SYSCALL = {"x86_64": "0", "aarch64": "63"}


def wait_until_reading(pid, deadline):
    """Until process pid blocks in read(0, ...), or the deadline."""
    number = READ_SYSCALL.get(os.uname().machine)
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            return
        if number is None or (len(fields) > 1 and fields[0] == number and fields[1] == "0x0"):
            if number is None:
                time.sleep(1)
            return
        time.sleep(0.01)


def main():
    host, port, path, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
    decoder = subprocess.Popen(
        ["ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-probesize", "32", "-analyzeduration", "1",
         "-f", "mpegts", "-i", "pipe:0",
         "-map", "0:v:0", "-frames:v", "1", "-flush_packets", "1", "-f", "framemd5", "pipe:1"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    wait_until_reading(decoder.pid, time.monotonic() + 5)
    killer = threading.Timer(seconds, decoder.kill)
    killer.start()
    frame = threading.Event()
    times = {}

    def watch_output():
        for line in decoder.stdout:
            if not line.startswith(b"#"):
                times["frame"] = time.monotonic()
                frame.set()
                return

    watcher = threading.Thread(target=watch_output)
    watcher.start()
    start = time.monotonic()
    head = b""
    try:
        with socket.create_connection((host, port), timeout=seconds) as conn:
            conn.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
            while not frame.is_set() and time.monotonic() < start + seconds:
                data = conn.recv(65536)
                if not data:
                    break
                times.setdefault("byte", time.monotonic())
                if "body" not in times:
                    head += data
                    end = head.find(b"\r\n\r\n")
                    if end < 0:
                        continue
                    if not head.startswith(b"HTTP/1.1 200"):
                        break
                    times["body"] = True
                    data = head[end + 4:]
                decoder.stdin.write(data)
                decoder.stdin.flush()
    except (OSError, ValueError):
        pass  # the decoder ended (its first frame) or the connection failed
    frame.wait(max(0.0, start + seconds - time.monotonic()))
    killer.cancel()
    decoder.kill()
    watcher.join()
    decoder.wait()
    if "frame" not in times or "byte" not in times:
        print("no frame", file=sys.stderr)
        return 1
    print(f"{times['byte'] - start:.4f} {times['frame'] - start:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
