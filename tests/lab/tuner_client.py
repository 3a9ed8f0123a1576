"""A media center's side of tuner discovery, for the lab: discover requests
by UDP to port 65001 and what comes back, read with a parser of its own.

  tuner_client.py ask DEST [--bind ADDR] [--port P] [--id HEX] [--wait S]
      one request; each reply as a line
      source:port|type|id|tuners|base URL|lineup URL|auth|crc-ok
  tuner_client.py listen ADDR PORT READY [--wait S]
      each reply that comes to ADDR:PORT, as ask prints it; creates the file
      READY once it listens
  tuner_client.py flood DEST COUNT INTERVAL [--bind ADDR] [--wait S]
      COUNT requests INTERVAL seconds apart; prints
      "sent COUNT replies R seconds E", E from the first send to the last
  tuner_client.py rtt DEST ADDR... : one request from each ADDR in turn, each
      waiting for its reply (at most a second); prints the median, lowest and
      highest time from send to reply in milliseconds, and how many came back
"""
import argparse
import socket
import statistics
import struct
import sys
import time
import zlib

PORT = 65001


def request(device_id=0xFFFFFFFF):
    payload = struct.pack(">BBI", 1, 4, 0xFFFFFFFF) + struct.pack(">BBI", 2, 4, device_id)
    body = struct.pack(">HH", 2, len(payload)) + payload
    return body + struct.pack("<I", zlib.crc32(body))


def read_reply(data):
    """type, id, tuners, base, lineup, auth and whether the CRC held."""
    kind, length = struct.unpack(">HH", data[:4])
    crc_ok = len(data) == 8 + length and struct.unpack("<I", data[-4:])[0] == zlib.crc32(data[:-4])
    tags = {}
    at, end = 4, 4 + length
    while at < end:
        tag, size = data[at], data[at + 1]
        at += 2
        if size & 0x80:
            size = (size & 0x7F) | data[at] << 7
            at += 1
        tags[tag] = data[at:at + size]
        at += size
    number = lambda tag: "%08X" % struct.unpack(">I", tags[tag])[0] if tag in tags else "-"
    text = lambda tag: tags.get(tag, b"-").decode("latin-1")
    tuners = str(tags[0x10][0]) if 0x10 in tags else "-"
    return "%d|%s|%s|%s|%s|%s|%s" % (kind, number(2), tuners, text(0x2A), text(0x27), text(0x2B),
                                     "crc-ok" if crc_ok else "crc-bad")


def open_socket(bind, port=0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind((bind, port))
    return sock


def collect(sock, seconds):
    replies = []
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return replies
        sock.settimeout(left)
        try:
            data, source = sock.recvfrom(2048)
        except socket.timeout:
            return replies
        replies.append((data, source))


def print_replies(sock, seconds):
    for data, source in collect(sock, seconds):
        print("%s:%d|%s" % (source[0], source[1], read_reply(data)), flush=True)


def ask(args):
    sock = open_socket(args.bind, args.port)
    sock.sendto(request(int(args.id, 16)), (args.dest, PORT))
    print_replies(sock, args.wait)


def listen(args):
    sock = open_socket(args.address, args.port)
    open(args.ready, "w").close()
    print_replies(sock, args.wait)


def flood(args):
    sock = open_socket(args.bind)
    sock.setblocking(False)
    datagram = request()
    replies = 0
    start = time.monotonic()
    for i in range(args.count):
        sock.sendto(datagram, (args.dest, PORT))
        pause_end = time.monotonic() + args.interval
        while True:  # count what came back meanwhile
            try:
                sock.recvfrom(2048)
                replies += 1
            except BlockingIOError:
                if time.monotonic() >= pause_end:
                    break
                time.sleep(0.001)
    elapsed = time.monotonic() - start
    sock.setblocking(True)
    replies += len(collect(sock, args.wait))
    print("sent %d replies %d seconds %.2f" % (args.count, replies, elapsed), flush=True)


def rtt(args):
    datagram = request()
    times = []
    for bind in args.addresses:
        sock = open_socket(bind)
        sock.settimeout(1.0)
        sent = time.perf_counter()
        sock.sendto(datagram, (args.dest, PORT))
        try:
            sock.recvfrom(2048)
            times.append((time.perf_counter() - sent) * 1000)
        except socket.timeout:
            pass
        sock.close()
        time.sleep(0.03)  # under the relay's 50 replies a second in all
    if not times:
        print("no replies")
        return
    print("median %.3f ms, lowest %.3f, highest %.3f, %d of %d answered" %
          (statistics.median(times), min(times), max(times), len(times), len(args.addresses)))


parser = argparse.ArgumentParser()
commands = parser.add_subparsers(dest="command", required=True)
p = commands.add_parser("ask")
p.add_argument("dest")
p.add_argument("--bind", default="0.0.0.0")
p.add_argument("--port", type=int, default=0)
p.add_argument("--id", default="FFFFFFFF")
p.add_argument("--wait", type=float, default=1.0)
p.set_defaults(run=ask)
p = commands.add_parser("listen")
p.add_argument("address")
p.add_argument("port", type=int)
p.add_argument("ready")
p.add_argument("--wait", type=float, default=1.0)
p.set_defaults(run=listen)
p = commands.add_parser("flood")
p.add_argument("dest")
p.add_argument("count", type=int)
p.add_argument("interval", type=float)
p.add_argument("--bind", default="0.0.0.0")
p.add_argument("--wait", type=float, default=1.0)
p.set_defaults(run=flood)
p = commands.add_parser("rtt")
p.add_argument("dest")
p.add_argument("addresses", nargs="+")
p.set_defaults(run=rtt)
args = parser.parse_args()
if args.command == "flood" and not 1 <= args.count <= 10000:
    sys.exit("flood: 1 to 10000 requests")
args.run(args)
