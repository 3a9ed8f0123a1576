"""A LAN host changing channels: joins each GROUP in turn with an ordinary
socket (the kernel sends the report), holds it for HOLD seconds or until the
file STOPFILE appears ("-" for none), and leaves it (the kernel sends the
leave) before joining the next. Prints a line at each change, with the wall
clock time (as tcpdump -tt shows it):

  join GROUP TIME
  leave GROUP TIME

Usage: igmp_zap.py INTERFACE-ADDRESS HOLD STOPFILE GROUP...
"""
import os
import socket
import struct
import sys
import time

address, hold, stop_file = sys.argv[1], float(sys.argv[2]), sys.argv[3]
member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for group in sys.argv[4:]:
    membership = struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton(address))
    member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
    print("join %s %.6f" % (group, time.time()), flush=True)
    end = time.monotonic() + hold
    while time.monotonic() < end and not (stop_file != "-" and os.path.exists(stop_file)):
        time.sleep(0.02)
    # The time is taken first: the kernel sends the leave within the call.
    left = time.time()
    member.setsockopt(socket.IPPROTO_IP, socket.IP_DROP_MEMBERSHIP, membership)
    print("leave %s %.6f" % (group, left), flush=True)
