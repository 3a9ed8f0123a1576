#!/usr/bin/env bash
# One LAN host reporting 400 groups to the snooper: 32 of them are
# forwarded, every other one is refused with one line (however often it is
# reported), the relay's descriptors stay few and its HTTP side answers, and
# a refused group is taken at the host's next report once a pair has ended.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
[ -x "$python" ] || { echo "SKIP: $python is missing"; exit 77; }

lab_init rif
lab_relay_hosts
ip -n "$(lab_ns lan)" route add 224.0.0.0/4 dev eth0

# reports.py KIND FIRST COUNT: IGMPv2 reports (or leaves) for COUNT groups
# 239.2.x.y from the n-th group on, as a host's kernel would send them.
cat >"$work/reports.py" <<'PY'
import socket, struct, sys, time
kind, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_IGMP)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("198.18.2.2"))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
for n in range(first, first + count):
    group = socket.inet_aton("239.2.%d.%d" % (n // 250, n % 250 + 1))
    kind_byte = 0x16 if kind == "join" else 0x17
    words = struct.unpack("!4H", struct.pack("!BBH4s", kind_byte, 0, 0, group))
    total = sum(words)
    total = (total & 0xFFFF) + (total >> 16)
    message = struct.pack("!BBH4s", kind_byte, 0, ~total & 0xFFFF, group)
    destination = "224.0.0.2" if kind == "leave" else socket.inet_ntoa(group)
    s.sendto(message, (destination, 0))
    time.sleep(0.002)  # a pace the listener's socket buffer keeps up with
PY
reports() { lab_exec lan timeout 20 $python "$work/reports.py" "$@"; }
group_of() { echo "239.2.$(($1 / 250)).$(($1 % 250 + 1))"; }
started() { grep -c '^Igmp snooper: Starting proxying' "$work/out"; }
refused() { grep -c '^Igmp snooper: Too many groups for host 198.18.2.2, group 239\.2\.[0-9.]* not forwarded$' "$work/out"; }

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  --with-igmpsnooper <"$work/in" >"$work/out" 2>&1 &
relay_pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
fds_before=$(ls "/proc/$relay_pid/fd" | wc -l)

reports join 0 400
lab_check "32 forwarders for the host" lab_wait_output 50 32 started
lab_check "368 groups refused, one line each" lab_wait_output 50 368 refused
# Every group reported again, as the host answers the next query.
reports join 0 400
sleep 1
lab_check "a second round of reports adds no line" \
  test "$(started)/$(refused)" = 32/368
fds=$(ls "/proc/$relay_pid/fd" | wc -l)
echo "descriptors: $fds_before at start, $fds with 32 forwarders"
lab_check "descriptors stay bounded ($fds)" test "$fds" -lt 400
lab_check "the relay's HTTP side answers" \
  lab_exec lan curl -sf --max-time 5 -o /dev/null http://198.18.2.1:2901/command/log

# A pair ends; a refused group's next report takes its place.
reports leave 0 1
lab_check "leave of a forwarded group" lab_wait_line "$work/out" 50 \
  "Igmp snooper: Stopping proxying multicast group $(group_of 0) to host 198.18.2.2 "
reports join 399 1
reports join 398 1
lab_check "a refused group is forwarded at its next report" lab_wait_line "$work/out" 50 \
  "Igmp snooper: Starting proxying multicast group $(group_of 399) to host 198.18.2.2 "
lab_check "and only one" test "$(started)" = 33

printf 'q' >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 60
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
exec 3>&-
lab_finish || { tail -n 20 "$work/out"; exit 1; }
