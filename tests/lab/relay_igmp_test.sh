#!/usr/bin/env bash
# The IGMP snooper between real Linux hosts: `src` sends multicast groups to
# the relay's receiving side; on the LAN side the relay and two hosts share
# one link (a bridge in `sw`). The hosts join and leave with ordinary sockets
# (their kernels send the reports and leaves, IGMPv2 forced on one, the
# default IGMPv3 on the other); the relay forwards each group to each member
# as unicast UDP, queries the link, and lets a silent member lapse (that part
# on a clock ten times faster, in the lab's build of the relay).
set -u
relay_bin=$1
ts_tool=$2
relay_lab_bin=$3
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
lab_need $python tcpdump
here=$(cd "$(dirname "$0")" && pwd)

lab_init rig
lab_host src && lab_host relay && lab_host hosta && lab_host hostb
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
# The LAN: a plain switch (no multicast snooping of its own).
lab_switch sw plain
lab_switch_port sw relay eth1 198.18.2.1/24
lab_switch_port sw hosta eth0 198.18.2.2/24
lab_switch_port sw hostb eth0 198.18.2.3/24
# Host A speaks IGMPv2. Host B keeps the kernel's default, IGMPv3: the
# relay's queries are version 3, so it stays there.
ip netns exec "$(lab_ns hosta)" sysctl -qw net.ipv4.conf.eth0.force_igmp_version=2
# The first query must not be lost to links still coming up.
lab_switch_up sw

# start_relay NAME CLOCK-SCALE [options]: the relay with the snooper (the
# shipped program on the real clock); sets relay_pid.
start_relay() {
  local name=$1 scale=$2 run=("$relay_bin")
  shift 2
  [ "$scale" = 1 ] || run=("$relay_lab_bin" "$scale")
  rm -f "$work/in" && mkfifo "$work/in"
  exec 3<>"$work/in"
  ip netns exec "$(lab_ns relay)" \
    "${run[@]}" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 --with-igmpsnooper "$@" \
    <"$work/in" >"$work/$name.out" 2>&1 &
  relay_pid=$!
}
stop_relay() { # name
  printf 'q' >&3
  lab_check "$1: q stops the relay" lab_wait_exit "$relay_pid" 60
  wait "$relay_pid"
  lab_check "$1: exit status 0" test $? = 0
  exec 3>&-
}
# host NAME HOST GROUP ADDRESS PORT SECONDS IDLE: a joining host in the
# background; its summary goes to $work/NAME, its stop file is $work/NAME.stop.
host() {
  lab_exec "$2" timeout 120 $python "$here/igmp_host.py" "$3" "$4" "$5" "$6" "$7" "$work/$1.stop" \
    >"$work/$1" 2>"$work/$1.err" &
}
field() { awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' "$work/$1"; }
members() { lab_igmp_users relay eth0 "$1"; }
wait_members() { # group count tenths
  local i
  for ((i = 0; i < $3; i++)); do [ "$(members "$1")" = "$2" ] && return 0; sleep 0.1; done
  return 1
}
# The snooper's pairs of a group, from the status page.
pairs() {
  lab_exec hosta curl -s --max-time 2 http://198.18.2.1:2901/status.json |
    $python -c 'import json, sys
print(sum(p["group"] == sys.argv[1] for p in json.load(sys.stdin)["snooper_pairs"]))' "$1"
}
wait_pairs() { # group count tenths
  local i
  for ((i = 0; i < $3; i++)); do [ "$(pairs "$1")" = "$2" ] && return 0; sleep 0.1; done
  return 1
}
started() { echo "Igmp snooper: Starting proxying multicast group $1 to host $2 "; }
stopping() { echo "Igmp snooper: Stopping proxying multicast group $1 to host $2 "; }

# --- joins, forwarding, leaves (real clock) ----------------------------------
lab_exec hosta timeout 12 $python "$here/igmp_watch.py" 10 >"$work/queries-start" &
watch_pid=$!
lab_exec relay timeout 60 tcpdump -i eth1 -n -l igmp >"$work/reports" 2>/dev/null &
sleep 0.5
start_relay run1 1
lab_check "run1: general query line" \
  lab_wait_line "$work/run1.out" 50 "Igmp snooper: Sending general query (224.0.0.1) "
wait "$watch_pid"
lab_check "a LAN host sees the general query right after start" \
  grep -q '^query [0-9.]* 198.18.2.1 224.0.0.1 0.0.0.0 100$' "$work/queries-start"

host a1 hosta 239.1.2.1 198.18.2.2 5000 60 3
lab_check "IGMPv2 host: forwarder started" lab_wait_line "$work/run1.out" 50 "$(started 239.1.2.1 198.18.2.2)"
# A short burst lets the first forwarder learn the group's port.
lab_exec src "$ts_tool" send --format plain --group 239.1.2.1 --port 5000 --count 40 --rate 760
lab_check "the relay joined the group on its receiving side" wait_members 239.1.2.1 1 30
host b1 hostb 239.1.2.1 198.18.2.3 5000 60 3
lab_check "IGMPv3 host: a second forwarder for the same group" \
  lab_wait_line "$work/run1.out" 50 "$(started 239.1.2.1 198.18.2.3)"
lab_check "both forwarders share one membership on the receiving side" \
  wait_members 239.1.2.1 1 30
sleep 1
lab_check "the v3 host reported with IGMPv3" grep -q '198.18.2.3 > 224.0.0.22: igmp v3 report' "$work/reports"
lab_check "the v2 host reported with IGMPv2" grep -q '198.18.2.2 > 239.1.2.1: igmp v2 report 239.1.2.1' "$work/reports"

# 10 s at about 8 Mbit/s to both hosts.
sent=$((7600 * 1316))
lab_exec src "$ts_tool" send --format plain --group 239.1.2.1 --port 5000 --count 7600 --rate 760
sleep 4  # each host ends 3 s after its last datagram
for h in a1:198.18.2.2 b1:198.18.2.3; do
  name=${h%%:*}
  for ((i = 0; i < 100; i++)); do [ -s "$work/$name" ] && break; sleep 0.1; done
  got=$(field "$name" bytes)
  first=$(field "$name" first)
  echo "forwarded to ${h#*:}: sent $((sent + 40 * 1316)) bytes in two bursts, received ${got:-0} (first datagram ${first:-0} bytes)"
  lab_check "$name: unicast from the relay" test "$(field "$name" source)" = 198.18.2.1
  lab_check "$name: the first forwarded datagram is one source datagram" test "${first:-0}" -eq 1316
  # What the second burst adds arrives whole; of the first, the part sent
  # before the forwarder had learned the port is not forwarded, and the
  # last datagram may still wait in a chunk being filled.
  lab_check "$name: received the 10 s burst" test "${got:-0}" -ge $((sent - 1316))
  lab_check "$name: never more than was sent" test "${got:-0}" -le $((sent + 40 * 1316))
done
# The hosts have left (their scripts ended): the kernels sent the leaves.
lab_check "leave of the v2 host" lab_wait_line "$work/run1.out" 50 "$(stopping 239.1.2.1 198.18.2.2)"
lab_check "leave of the v3 host" lab_wait_line "$work/run1.out" 50 "$(stopping 239.1.2.1 198.18.2.3)"
lab_check "the relay left the group on its receiving side" wait_members 239.1.2.1 0 50
lab_check "v2 leave seen on the link" grep -q '198.18.2.2 > 224.0.0.2: igmp leave 239.1.2.1' "$work/reports"
lab_exec hosta curl -s --max-time 5 -o "$work/log1" http://198.18.2.1:2901/command/log
for line in "Starting proxying multicast group 239.1.2.1 to host 198.18.2.2" \
  "Starting proxying multicast group 239.1.2.1 to host 198.18.2.3" \
  "Stopping proxying multicast group 239.1.2.1 to host 198.18.2.2" \
  "Stopping proxying multicast group 239.1.2.1 to host 198.18.2.3" \
  "Sending general query (224.0.0.1)"; do
  lab_check "the relay log has: $line" grep -qF "Igmp snooper: $line"$'\r' "$work/log1"
done
stop_relay run1
lab_check "run1: stop lines in order" \
  test "$(grep -E '^(Stopping http server|Stopping igmp listener|Will exit\.)$' "$work/run1.out" | tr '\n' '|')" = \
  "Stopping http server|Stopping igmp listener|Will exit.|"

# --- -fp, queries, refresh and lapse (clock ten times faster) ----------------
# Pairs live 26 s, general queries go out every 12.5 s; a member that stops
# answering gets group queries and lapses about 27 s after its last report.
lab_exec src "$ts_tool" send --format plain --group 239.1.2.2 --port 5000 --seconds 80 &
source_pid=$!
start_relay run2 10 -fp 6000
lab_check "run2: prompt" lab_wait_line "$work/run2.out" 50 "Enter q to exit."
lab_exec hosta timeout 45 $python "$here/igmp_watch.py" 40 >"$work/queries-run2" &
watch_pid=$!
host a2 hosta 239.1.2.2 198.18.2.2 6000 60 5
lab_check "-fp: forwarder started" lab_wait_line "$work/run2.out" 50 "$(started 239.1.2.2 198.18.2.2)"
host b2 hostb 239.1.2.2 198.18.2.3 6000 60 5
lab_check "-fp: second forwarder started" lab_wait_line "$work/run2.out" 50 "$(started 239.1.2.2 198.18.2.3)"
lab_check "-fp: both forwarders run on one membership" wait_pairs 239.1.2.2 2 50
lab_check "-fp: one membership" wait_members 239.1.2.2 1 10
sleep 2
# Host B goes silent: its link goes down without a leave.
ip -n "$(lab_ns hostb)" link set eth0 down
lab_check "a silent member lapses (its pair ends)" wait_pairs 239.1.2.2 1 450
lab_check "host A still forwarded to, the group still joined" wait_members 239.1.2.2 1 1
lab_check "a lapse writes no stopping line" \
  bash -c "! grep -qF '$(stopping 239.1.2.2 198.18.2.3)' '$work/run2.out'"
lab_check "group queries went out for the silent member's group" \
  grep -qF "Igmp snooper: Sending query for group 239.1.2.2 " "$work/run2.out"
lab_check "the answering host refreshed its pair" \
  grep -qF "Igmp snooper: Host  198.18.2.2 responded to query for 239.1.2.2 " "$work/run2.out"
wait "$watch_pid"
lab_check "host A saw group queries for its group" \
  grep -q '^query [0-9.]* 198.18.2.1 239.1.2.2 239.1.2.2 100$' "$work/queries-run2"
# Stopped while a forwarder runs: every snooper thread and forwarder ends
# within the stop's grace.
holdings_before_stop=$(ls /proc/$relay_pid/task | wc -l)
printf 'q' >&3
lab_check "run2: q stops the relay with a forwarder running" lab_wait_exit "$relay_pid" 40
wait "$relay_pid"
lab_check "run2: exit status 0" test $? = 0
exec 3>&-
# Five of the relay's own (main, console, accept, snooper listener and
# querier), and the forwarder with its receiver.
lab_check "run2: it had the forwarder's threads when stopped" test "$holdings_before_stop" -ge 7
lab_check "run2: stop lines in order" \
  test "$(grep -E '^(Stopping http server|Stopping igmp listener|Will exit\.)$' "$work/run2.out" | tr '\n' '|')" = \
  "Stopping http server|Stopping igmp listener|Will exit.|"
touch "$work/a2.stop"
for ((i = 0; i < 100; i++)); do [ -s "$work/a2" ] && break; sleep 0.1; done
lab_check "-fp 6000: host A received the group on port 6000" test "$(field a2 bytes)" -gt 1000000
kill "$source_pid" 2>/dev/null
wait "$source_pid" 2>/dev/null
lab_finish || { cat "$work/run1.out" "$work/run2.out" "$work"/*.err; exit 1; }
