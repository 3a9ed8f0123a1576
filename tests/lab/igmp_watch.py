"""Prints the IGMP queries a LAN host receives, one line each, for SECONDS:

  query SECONDS-SINCE-START SOURCE DESTINATION GROUP MAX-RESPONSE-TENTHS

Usage: igmp_watch.py SECONDS
"""
import socket
import sys
import time

seconds = float(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_IGMP)
start = time.monotonic()
while True:
    left = seconds - (time.monotonic() - start)
    if left <= 0:
        break
    s.settimeout(left)
    try:
        packet, _ = s.recvfrom(2048)
    except socket.timeout:
        break
    ihl = (packet[0] & 0x0F) * 4
    igmp = packet[ihl:]
    if len(igmp) >= 8 and igmp[0] == 0x11:
        print("query %.2f %s %s %s %d" % (time.monotonic() - start, socket.inet_ntoa(packet[12:16]),
              socket.inet_ntoa(packet[16:20]), socket.inet_ntoa(igmp[4:8]), igmp[1]), flush=True)
