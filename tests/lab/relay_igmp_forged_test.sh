#!/usr/bin/env bash
# A LAN host lies to the snooper. Host M (198.18.2.2) writes IGMP reports
# with source addresses and groups of its choosing while `src` sends the
# channel 239.1.9.1:5000 and unicast UDP to the relay's receiving address
# (198.18.1.2:6000):
#
#   version 2 reports for the channel claiming to come from src (the IPTV
#   side), from 127.0.0.1, from a multicast address (239.77.0.1) and from
#   the channel's own address; a report from M for the "group" 198.18.1.2;
#   and eight version 3 reports of 32 groups each, from eight addresses of
#   the LAN, all from M's Ethernet address.
#
# Nothing may reach src, a listener on the relay's loopback, the multicast
# address (the relay routes multicast towards src) or M's port 6000; no pair
# starts for those hosts or that group; M's pairs stay within one host's 32
# groups; and host T (198.18.2.3), reporting last, still gets the channel.
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
command -v $python >/dev/null || { echo "SKIP: $python is missing"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)

lab_init rfg
lab_host src && lab_host relay && lab_host hostm && lab_host hostt
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
# A multicast destination would leave by the IPTV side, as on a router
# whose default route points there.
ip -n "$(lab_ns relay)" route add 224.0.0.0/4 dev eth0
lab_switch sw plain
lab_switch_port sw relay eth1 198.18.2.1/24
lab_switch_port sw hostm eth0 198.18.2.2/24
lab_switch_port sw hostt eth0 198.18.2.3/24
lab_switch_up sw

# count.py ADDRESS PORT STOPFILE [GROUP INTERFACE-ADDRESS]: counts the UDP
# datagrams arriving at ADDRESS:PORT (joining GROUP first when given) until
# STOPFILE appears, at most 60 s; prints the count.
cat >"$work/count.py" <<'PY'
import os, socket, struct, sys, time
address, port, stop = sys.argv[1], int(sys.argv[2]), sys.argv[3]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((address, port))
if len(sys.argv) > 5:
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 struct.pack("4s4s", socket.inet_aton(sys.argv[4]), socket.inet_aton(sys.argv[5])))
open(stop + ".ready", "w").close()
s.settimeout(0.1)
count, start = 0, time.monotonic()
while not os.path.exists(stop) and time.monotonic() - start < 60:
    try:
        s.recv(65536)
        count += 1
    except socket.timeout:
        pass
print(count, flush=True)
PY
# listen NAME HOST ADDRESS PORT [GROUP INTERFACE-ADDRESS]
listen() {
  local name=$1 host=$2 i
  shift 2
  lab_exec "$host" timeout 90 $python "$work/count.py" "$1" "$2" "$work/stop" "${@:3}" \
    >"$work/$name" 2>"$work/$name.err" &
  for ((i = 0; i < 50; i++)); do [ -e "$work/stop.ready" ] && break; sleep 0.1; done
  rm -f "$work/stop.ready"
}
forge() { lab_exec hostm $python "$here/igmp_forge.py" eth0 "$@"; }
line_for() { grep -c "^Igmp snooper: Starting proxying multicast group $1 to host $2 \$" "$work/out"; }
# The snooper's pairs from the status page: "host group" a line.
pairs() {
  lab_exec hostt curl -s --max-time 2 http://198.18.2.1:2901/status.json |
    $python -c 'import json, sys
for p in json.load(sys.stdin)["snooper_pairs"]: print(p["host"], p["group"], p["datagrams"])'
}
datagrams_of_t() { pairs | awk '$1 == "198.18.2.3" && $2 == "239.1.9.1" { print $3 }'; }

mkfifo "$work/in"
exec 3<>"$work/in"
lab_exec relay "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 --with-igmpsnooper \
  <"$work/in" >"$work/out" 2>&1 &
relay_pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."

listen at_src src 198.18.1.1 5000
listen at_loopback relay 127.0.0.1 5000
listen at_multicast src 239.77.0.1 5000 239.77.0.1 198.18.1.1
listen at_m hostm 198.18.2.2 6000
# 60 s at most of the channel and of unicast traffic to the relay itself.
lab_exec src "$ts_tool" send --format plain --group 239.1.9.1 --port 5000 --rate 200 \
  --seconds 60 >/dev/null 2>&1 &
lab_exec src "$ts_tool" send --format plain --group 198.18.1.2 --port 6000 --rate 200 \
  --seconds 60 >/dev/null 2>&1 &

for source in 198.18.1.1 127.0.0.1 239.77.0.1 239.1.9.1; do
  forge v2 "$source" 239.1.9.1
done
forge v2 198.18.2.2 198.18.1.2
for n in 10 11 12 13 14 15 16 17; do
  groups=()
  for g in $(seq 1 32); do groups+=("239.3.$n.$g"); done
  forge v3 "198.18.2.$n" "${groups[@]}"
  sleep 0.05 # a pace the listener's socket buffer keeps up with
done

# T reports last: once its pair has started, every forged report has been
# read; once it has had 200 datagrams, so would any pair of the channel.
lab_exec hostt timeout 90 $python "$here/igmp_host.py" 239.1.9.1 198.18.2.3 5000 60 60 \
  "$work/stop" >"$work/at_t" 2>"$work/at_t.err" &
lab_check "host T's pair starts" lab_wait_line "$work/out" 100 \
  "Igmp snooper: Starting proxying multicast group 239.1.9.1 to host 198.18.2.3 "
for ((i = 0; i < 100; i++)); do [ "$(datagrams_of_t)" -ge 200 ] 2>/dev/null && break; sleep 0.1; done
pairs >"$work/pairs"
touch "$work/stop"
for name in at_src at_loopback at_multicast at_m at_t; do
  for ((i = 0; i < 50; i++)); do [ -s "$work/$name" ] && break; sleep 0.1; done
done

lab_check "host T gets the channel ($(cat "$work/at_t"))" \
  bash -c "awk '{ exit !(\$2 >= 200) }' '$work/at_t'"
lab_check "nothing sent to src ($(cat "$work/at_src"))" test "$(cat "$work/at_src")" = 0
lab_check "nothing sent to the relay's loopback ($(cat "$work/at_loopback"))" \
  test "$(cat "$work/at_loopback")" = 0
lab_check "nothing sent to 239.77.0.1 ($(cat "$work/at_multicast"))" \
  test "$(cat "$work/at_multicast")" = 0
lab_check "nothing of 198.18.1.2:6000 sent to M ($(cat "$work/at_m"))" test "$(cat "$work/at_m")" = 0
for host in 198.18.1.1 127.0.0.1 239.77.0.1 239.1.9.1; do
  lab_check "no pair for host $host" test "$(line_for 239.1.9.1 "$host")" = 0
done
lab_check "no pair for group 198.18.1.2" test "$(line_for 198.18.1.2 198.18.2.2)" = 0
forged=$(grep -c '^198\.18\.2\.1[0-7] ' "$work/pairs")
lab_check "M's eight addresses hold one host's 32 groups ($forged)" test "$forged" = 32
lab_check "the status lists only those and T's pair" test "$(wc -l <"$work/pairs")" = 33
lab_check "no line from the refused sources" \
  bash -c "! grep -E '198\.18\.1\.1|127\.0\.0\.1|239\.77\.0\.1|to host 239\.1\.9\.1' '$work/out'"

printf 'q' >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 60
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
exec 3>&-
lab_finish || { tail -n 30 "$work/out"; exit 1; }
