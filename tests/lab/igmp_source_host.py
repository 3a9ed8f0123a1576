"""A LAN host of the snooper lab that names the sources it wants: its kernel
(IGMPv3) reports each change of a source-specific membership of GROUP, and
it counts what the relay forwards to it as unicast UDP on PORT by the first
byte of each datagram (each lab sender writes its own letter there).

Commands on standard input, one a line, each answered with one line:
  join SOURCE    adds SOURCE to the membership ("joined")
  drop SOURCE    removes it ("dropped")
  count N        discards what arrived so far, then takes the next N
                 datagrams, for at most 10 s: "A a B b other o"
  quit

Usage: igmp_source_host.py GROUP INTERFACE-ADDRESS PORT
"""
import socket
import struct
import sys
import time

# Linux's values; Python's socket module does not name them.
IP_ADD_SOURCE_MEMBERSHIP = 39
IP_DROP_SOURCE_MEMBERSHIP = 40

group, address, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
data.bind((address, port))
member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)


def membership(option, source):
    # struct ip_mreq_source: group, interface, source.
    request = struct.pack("4s4s4s", socket.inet_aton(group), socket.inet_aton(address),
                          socket.inet_aton(source))
    member.setsockopt(socket.IPPROTO_IP, option, request)


def count(wanted):
    data.setblocking(False)
    try:
        while True:
            data.recv(65536)
    except BlockingIOError:
        pass
    seen = {"A": 0, "B": 0, "other": 0}
    end = time.monotonic() + 10
    taken = 0
    while taken < wanted and time.monotonic() < end:
        data.settimeout(max(end - time.monotonic(), 0.01))
        try:
            datagram = data.recv(65536)
        except socket.timeout:
            break
        letter = datagram[:1].decode("ascii", "replace")
        seen[letter if letter in ("A", "B") else "other"] += 1
        taken += 1
    return "A %d B %d other %d" % (seen["A"], seen["B"], seen["other"])


for line in sys.stdin:
    words = line.split()
    if not words or words[0] == "quit":
        break
    if words[0] == "join":
        membership(IP_ADD_SOURCE_MEMBERSHIP, words[1])
        answer = "joined"
    elif words[0] == "drop":
        membership(IP_DROP_SOURCE_MEMBERSHIP, words[1])
        answer = "dropped"
    elif words[0] == "count":
        answer = count(int(words[1]))
    else:
        answer = "unknown"
    print(answer, flush=True)
