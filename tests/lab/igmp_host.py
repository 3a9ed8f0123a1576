"""A LAN host of the snooper lab: joins a multicast group with an ordinary
socket (the kernel sends the membership report), receives what the relay
forwards to it as unicast UDP on PORT, and leaves the group (the kernel sends
the leave) when it has been idle for IDLE seconds after the first datagram,
after SECONDS in all, or when the file STOPFILE appears. Prints one line:

  datagrams N first F bytes B source ADDRESS

With RECORD (a folder) it also writes RECORD/sizes, one datagram size a
line, and RECORD/body, every byte received in order.

Usage: igmp_host.py GROUP INTERFACE-ADDRESS PORT SECONDS IDLE [STOPFILE [RECORD]]
"""
import os
import socket
import struct
import sys
import time

group, address, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
seconds, idle = float(sys.argv[4]), float(sys.argv[5])
stop_file = sys.argv[6] if len(sys.argv) > 6 else None
record = sys.argv[7] if len(sys.argv) > 7 else None
sizes, body = [], bytearray()

data = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 * 1024 * 1024)
data.bind((address, port))
member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
membership = struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton(address))
member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)

count = first = total = 0
source = "-"
start = time.monotonic()
last = None
data.settimeout(0.2)
while True:
    now = time.monotonic()
    if now - start > seconds or (last is not None and now - last > idle):
        break
    if stop_file and os.path.exists(stop_file):
        break
    try:
        datagram, peer = data.recvfrom(65536)
    except socket.timeout:
        continue
    if count == 0:
        first = len(datagram)
        source = peer[0]
    count += 1
    total += len(datagram)
    if record:
        sizes.append(len(datagram))
        body += datagram
    last = time.monotonic()

member.setsockopt(socket.IPPROTO_IP, socket.IP_DROP_MEMBERSHIP, membership)
member.close()
if record:
    open(record + "/body", "wb").write(body)
    open(record + "/sizes", "w").write("".join("%d\n" % size for size in sizes))
print("datagrams %d first %d bytes %d source %s" % (count, first, total, source), flush=True)
