#!/usr/bin/env bash
# The snooper forwards datagram for datagram: a LAN host (kernel socket,
# default IGMPv3) joins a group that `src` sends as 1316-byte datagrams; the
# host must receive unicast datagrams of exactly 1316 bytes (read with a
# 65535-byte buffer, so a merged datagram would show), no IP fragments leave
# the relay, and the bytes are one unbroken slice of what was sent. The
# status page lists the pair meanwhile, with what went to the host.
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
command -v $python >/dev/null || { echo "SKIP: $python is missing"; exit 77; }

lab_init dgm
lab_host src && lab_host relay && lab_host sw && lab_host hosta
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
# The LAN: a plain switch (no multicast snooping of its own).
ip -n "$(lab_ns sw)" link add br0 type bridge mcast_snooping 0
ip -n "$(lab_ns sw)" link set br0 up
for h in relay:eth1:198.18.2.1 hosta:eth0:198.18.2.2; do
  IFS=: read -r name dev address <<<"$h"
  ip -n "$(lab_ns "$name")" link add "$dev" type veth peer name "p$name" netns "$(lab_ns sw)"
  ip -n "$(lab_ns "$name")" addr add "$address/24" dev "$dev"
  ip -n "$(lab_ns "$name")" link set "$dev" up
  ip -n "$(lab_ns sw)" link set "p$name" master br0 up
done
# The host stays with IGMPv3 only while it hears no version 2 query.
ip netns exec "$(lab_ns sw)" bridge link set dev phosta mcast_flood off
links_up() {
  local h
  for h in relay:eth1 hosta:eth0 sw:prelay sw:phosta; do
    ip -n "$(lab_ns "${h%%:*}")" link show "${h#*:}" | grep -q 'state UP' || return 1
  done
}
for ((i = 0; i < 50; i++)); do links_up && break; sleep 0.1; done

frag_creates() {
  lab_exec relay cat /proc/net/snmp | awk '$1 == "Ip:" && $2 ~ /^[0-9]/ { print $(NF - 1) }'
}
frag_field=$(lab_exec relay cat /proc/net/snmp | awk '$1 == "Ip:" { print $(NF - 1); exit }')
lab_check "the relay host counts fragments made (FragCreates)" test "$frag_field" = FragCreates

mkfifo "$work/in"
exec 3<>"$work/in"
lab_exec relay "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 --with-igmpsnooper \
  <"$work/in" >"$work/relay.out" 2>&1 &
relay_pid=$!
lab_check "relay prompt" lab_wait_line "$work/relay.out" 50 "Enter q to exit."
frags_before=$(frag_creates)

# The host: joins, records the size of every datagram on port 5000 and
# their bytes, leaves 2 s after the last one (at most 30 s in all).
lab_exec hosta timeout 40 $python "$(dirname "$0")/igmp_host.py" 239.1.2.1 198.18.2.2 5000 30 2 \
  "$work/never.stop" "$work" >"$work/done" 2>"$work/host.err" &
lab_check "forwarder started for the host" lab_wait_line "$work/relay.out" 50 \
  "Igmp snooper: Starting proxying multicast group 239.1.2.1 to host 198.18.2.2 "
lab_check "the host speaks IGMPv3" \
  test "$(lab_exec hosta cat /proc/net/igmp | awk '$2 == "eth0" { print $5 }')" = V3

# 4 s at about 8 Mbit/s, after the join, with a stream client of the group
# from the second second on.
count=3040
(sleep 1 && lab_exec hosta curl -s --max-time 2 -o "$work/http.body" \
  http://198.18.2.1:2901/vkx/239.1.2.1:5000) &
streamer=$!
(sleep 2 && lab_igmp_users relay eth0 239.1.2.1 >"$work/users") &
lab_exec src "$ts_tool" send --format plain --group 239.1.2.1 --port 5000 --count $count --rate 760
wait "$streamer"
lab_check "forwarder and stream client share one membership" test "$(cat "$work/users")" = 1
lab_check "the stream client gets an unbroken slice" \
  "$ts_tool" check --format plain --body "$work/http.body" --min-packets 2000
# The status while the host still holds the group: the pair, what went to
# it and when it lapses.
if command -v jq >/dev/null; then
  pair=$(lab_exec hosta curl -s http://198.18.2.1:2901/status.json | jq -c '[.snooper,
    (.snooper_pairs[] | [.host, .group, .port, .datagrams > 2000, .bytes == .datagrams * 1316,
    .seconds_to_lapse > 240 and .seconds_to_lapse <= 270])]')
  lab_check "status: the pair, its datagrams and lapse ($pair)" \
    test "$pair" = '[true,["198.18.2.2","239.1.2.1",5000,true,true,true]]'
fi
for ((i = 0; i < 100; i++)); do [ -s "$work/done" ] && break; sleep 0.1; done
lab_check "the host finished" test -s "$work/done"

datagrams=$(wc -l <"$work/sizes")
other=$(grep -cvx 1316 "$work/sizes")
largest=$(sort -n "$work/sizes" | tail -1)
echo "host received $datagrams datagrams (sent $count), largest ${largest:-0} bytes, $other not 1316 bytes"
lab_check "every datagram received is 1316 bytes" test "$other" = 0
lab_check "none above 1472 bytes" test "${largest:-0}" -le 1472
lab_check "no IP fragments made on the relay host" test "$(frag_creates)" = "$frags_before"
# One unbroken slice: from a datagram boundary on, nothing lost, repeated or
# reordered; it starts within the first second (the forwarder learns the
# port from the first datagrams) and ends with the last datagram sent or the
# one before (a partly filled chunk may hold it back).
check=$("$ts_tool" check --format plain --body "$work/body" --min-packets 7)
status=$?
echo "$check"
lab_check "the bytes are a contiguous slice of the sent stream" test $status = 0
read -r packets from <<<"$(echo "$check" | awk '/as sent/ { print $1, $5 + 0 }')"
lab_check "the slice starts within the first second" test "${from:-99999}" -lt $((760 * 7))
lab_check "the slice reaches the end of the stream" \
  test $((${from:-0} + ${packets:-0})) -ge $(((count - 1) * 7))

printf 'q' >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 60
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
lab_finish || { cat "$work/relay.out" "$work/host.err"; exit 1; }
