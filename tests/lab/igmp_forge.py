"""Forged IGMP from a LAN host: whole IPv4 packets written onto INTERFACE
through a packet socket, so the IP source address is whatever is asked
for, and the Ethernet source is the interface's own. Each frame goes to the
Ethernet broadcast address, which every host of the link reads.

Usage: igmp_forge.py INTERFACE v2 SOURCE GROUP
           a version 2 report for GROUP, sent to GROUP
       igmp_forge.py INTERFACE v3 SOURCE GROUP...
           one version 3 report (to 224.0.0.22), a change-to-exclude record
           with no source (a join of every source) for each GROUP
"""
import socket
import struct
import sys


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def igmp(message):
    return message[:2] + struct.pack("!H", checksum(message)) + message[4:]


def ip_packet(source, destination, payload):
    # TTL 1 and the router alert option, as hosts send their reports.
    options = bytes([0x94, 0x04, 0x00, 0x00])
    header = struct.pack("!BBHHHBBH4s4s", 0x46, 0xC0, 24 + len(payload), 0, 0x4000, 1, 2, 0,
                         socket.inet_aton(source), socket.inet_aton(destination)) + options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def main():
    interface, kind, source = sys.argv[1], sys.argv[2], sys.argv[3]
    groups = sys.argv[4:]
    if kind == "v2":
        group = groups[0]
        packet = ip_packet(source, group,
                           igmp(struct.pack("!BBH4s", 0x16, 0, 0, socket.inet_aton(group))))
    elif kind == "v3":
        records = b"".join(struct.pack("!BBH4s", 4, 0, 0, socket.inet_aton(g)) for g in groups)
        message = struct.pack("!BBHHH", 0x22, 0, 0, 0, len(groups)) + records
        packet = ip_packet(source, "224.0.0.22", igmp(message))
    else:
        sys.exit("igmp_forge.py: v2 or v3, not " + kind)
    s = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
    s.sendto(packet, (interface, 0x0800, 0, 0, b"\xff" * 6))


main()
