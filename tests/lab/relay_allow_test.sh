#!/usr/bin/env bash
# --allow between lab hosts: two hosts of the LAN's subnet, `inside` named by
# the list and `outside` not. One table, each row asked of both: an HTTP
# request (the outside host's connection is closed without an answer), an
# SSDP search to the group, the tuner discovery by its own client, and a
# kernel join to a group the snooper forwards (a unicast copy arrives or
# not).
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
py=/usr/bin/python3
lab_need "$py" curl hdhomerun_config

# src -- relay (eth0 198.18.1.2; eth1 198.18.2.1 on the LAN's switch) with
# inside (198.18.2.2) and outside (198.18.2.3) on the switch.
lab_init ral
lab_host src && lab_host relay && lab_host inside && lab_host outside
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
lab_switch sw plain
lab_switch_port sw relay eth1 198.18.2.1/24
lab_switch_port sw inside eth0 198.18.2.2/24
lab_switch_port sw outside eth0 198.18.2.3/24
for h in inside outside; do ip -n "$(lab_ns "$h")" route add 224.0.0.0/4 dev eth0; done
lab_check "switch ports up" lab_switch_up sw
printf '#EXTM3U\n#EXTINF:1,One\nudp://@239.255.0.1:5002\n' >"$work/list.m3u"

# search ADDRESS: an M-SEARCH for the root device to the SSDP group from
# ADDRESS; prints how many answers came back within 3 s.
cat >"$work/ssdp.py" <<'EOF'
import socket, sys, time

GROUP = "239.255.255.250"

def count(sock, seconds):
    deadline, got = time.monotonic() + seconds, 0
    while (left := deadline - time.monotonic()) > 0:
        sock.settimeout(left)
        try:
            sock.recvfrom(2048)
        except socket.timeout:
            break
        got += 1
    print(got)

def search(address):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 0))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    sock.sendto(b"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                b"MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: upnp:rootdevice\r\n\r\n", (GROUP, 1900))
    count(sock, 3.0)

globals()[sys.argv[1]](*sys.argv[2:])
EOF
ssdp() { local host=$1; shift; lab_exec "$host" timeout 15 "$py" "$work/ssdp.py" "$@"; }
field() { awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' "$work/$1"; }

lab_start_relay "$relay_bin" -p "$work/list.m3u" --with-igmpsnooper --allow 198.18.2.2,10.0.0.0/8

# Both hosts join one group with their kernels' reports; the relay
# forwards what it receives to each pair it started.
joined=()
for h in inside:198.18.2.2 outside:198.18.2.3; do
  lab_exec "${h%%:*}" timeout 30 "$py" "$LAB_DIR/igmp_host.py" 239.1.2.1 "${h#*:}" 5000 25 3 \
    "$work/${h%%:*}.stop" >"$work/${h%%:*}" 2>"$work/${h%%:*}.err" &
  joined+=($!)
done
started() { echo "Igmp snooper: Starting proxying multicast group 239.1.2.1 to host $1 "; }
lab_check "the host inside gets its forwarder" lab_wait_line "$work/out" 50 "$(started 198.18.2.2)"
lab_check "the host outside joined with its kernel" \
  lab_wait_output 30 1 lab_igmp_users outside eth0 239.1.2.1
# A first burst lets the forwarder learn the group's port, the second is
# what is counted.
lab_exec src "$ts_tool" send --format plain --group 239.1.2.1 --port 5000 --count 40 --rate 760
sleep 0.5
lab_exec src "$ts_tool" send --format plain --group 239.1.2.1 --port 5000 --count 760 --rate 760
sleep 0.5
touch "$work/inside.stop" "$work/outside.stop"
wait "${joined[@]}"

# host | HTTP | SSDP answers | tuners found | forwarded copies
while IFS='|' read -r -u 4 host address http answers found copies; do
  code=$(lab_exec "$host" curl -s -o /dev/null -w '%{http_code}' --max-time 5 \
    "http://198.18.2.1:2901/status")
  status=$?
  if [ "$http" = answered ]; then
    lab_check "$host: HTTP /status answered 200 ($code)" test "$code" = 200
  else
    # An empty reply (52) or a reset (56): the connection closed unanswered.
    lab_check "$host: HTTP connection closed without an answer (curl $status, $code)" \
      test "$code" = 000 -a \( "$status" = 52 -o "$status" = 56 \)
  fi
  got=$(ssdp "$host" search "$address")
  lab_check "$host: $answers SSDP answers to a group search (got ${got:-none})" \
    test "${got:-x}" = "$answers"
  lab_exec "$host" timeout 10 hdhomerun_config discover >"$work/discover-$host" 2>&1
  lab_check "$host: tuner discovery finds $found" test "$(grep -c ' found at 198\.18\.2\.1$' \
    "$work/discover-$host")" = "$found"
  datagrams=$(field "$host" datagrams)
  if [ "$copies" = yes ]; then
    lab_check "$host: the group arrived by unicast from the relay ($datagrams datagrams)" \
      test "${datagrams:-0}" -ge 700 -a "$(field "$host" source)" = 198.18.2.1
  else
    lab_check "$host: nothing of the group arrived (${datagrams:-?} datagrams)" \
      test "${datagrams:-x}" = 0
    lab_check "$host: no forwarder started" bash -c "! grep -qF '$(started "$address")' '$work/out'"
  fi
done 4<<'EOF'
inside|198.18.2.2|answered|1|1|yes
outside|198.18.2.3|closed|0|0|no
EOF

printf 'q' >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 50
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
exec 3>&-
lab_finish || { cat "$work/out" "$work"/*.err; exit 1; }
