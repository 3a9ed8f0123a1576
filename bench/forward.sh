#!/usr/bin/env bash
# The snooper's forwarding inside a lab: `src` sends one group of 1316-byte
# datagrams at about 8 Mbit/s to the relay's receiving side; on the LAN (a
# plain bridge in `sw`) 1, 10 and 50 hosts, each a namespace of its own,
# join the group with the kernel (socat with a membership, which also counts
# the unicast bytes the relay forwards to it). The baseline is socat on the
# relay host copying the same group to one unicast UDP destination, measured
# the same way in the same run. Prints a Markdown table: bytes per host
# against bytes sent, the relay's CPU seconds per GB forwarded, datagrams
# dropped for want of receive buffer and IP fragments made on the relay host.
# Needs root and socat.
#
#   bench/forward.sh [build dir, default build/release] [seconds per scenario, default 20]
#                    [host counts, default "1 10 50"]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
seconds=${2:-20}
host_counts=${3:-1 10 50}
relay_bin=$build/relay/app/tessaran
ts_tool=$build/tests/ts_tool
for tool in "$relay_bin" "$ts_tool" socat ss; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/build release?)"; exit 1; }
done

rate=760        # datagrams/s, about 8 Mbit/s
datagram=1316   # 7 TS packets
group=239.1.2.1
most_hosts=$(printf '%s\n' $host_counts | sort -n | tail -1)
tick=$(getconf CLK_TCK)

. tests/lab/lab.sh
lab_init bfw
lab_host src && lab_host relay && lab_host sw
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
ip -n "$(lab_ns sw)" link add br0 type bridge mcast_snooping 0
ip -n "$(lab_ns sw)" link set br0 up
# lan_port HOST INTERFACE ADDRESS: HOST's INTERFACE on the bridge.
lan_port() {
  ip -n "$(lab_ns "$1")" link add "$2" type veth peer name "p$1" netns "$(lab_ns sw)"
  ip -n "$(lab_ns "$1")" addr add "$3/24" dev "$2"
  ip -n "$(lab_ns "$1")" link set "$2" up
  ip -n "$(lab_ns sw)" link set "p$1" master br0 up
}
lan_port relay eth1 198.18.2.1
for ((h = 0; h <= most_hosts; h++)); do
  lab_host "h$h"
  lan_port "h$h" eth0 "198.18.2.$((10 + h))"
  # No multicast to the hosts: a host that hears the relay's (version 2)
  # query falls back to IGMPv2, and then leaves only when it was the last
  # host to report the group, which on a shared link it seldom is.
  ip netns exec "$(lab_ns sw)" bridge link set dev "ph$h" mcast_flood off
done
relay_ns=$(lab_ns relay)
sleep 2  # new links pass nothing until the kernel has marked them up

users() { lab_igmp_users relay eth0 "$group"; }
# Waits (at most $2 tenths) until the relay host has $1 memberships of the group.
wait_users() {
  local i
  for ((i = 0; i < $2; i++)); do [ "$(users)" = "$1" ] && return 0; sleep 0.1; done
  echo "  $(users) of $1 receivers joined" >&2
  tail -5 "$work/relay.out" >&2
}
snmp() { # host protocol field
  lab_exec "$1" cat /proc/net/snmp | awk -v p="$2:" -v f="$3" '
    $1 == p && $2 !~ /^[0-9]/ { for (i = 2; i <= NF; i++) if ($i == f) c = i; next }
    $1 == p { print $c }'
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Bytes waiting in any UDP socket queue of the relay host.
queued() { ip netns exec "$relay_ns" ss -Huan | awk '{ n += $3 + $4 } END { print n + 0 }'; }
drain() {
  local i calm=0
  for ((i = 0; i < 150 && calm < 5; i++)); do
    if [ "$(queued)" = 0 ]; then calm=$((calm + 1)); else calm=0; fi
    sleep 0.1
  done
}
# counter HOST [socat address options]: counts what reaches HOST's port 5000
# into $work/HOST.bytes once it is stopped; its pid goes to `counters`.
counters=()
counter() {
  local host=$1
  shift
  rm -f "$work/$host.bytes" "$work/$host.fifo"
  mkfifo "$work/$host.fifo"
  wc -c <"$work/$host.fifo" >"$work/$host.bytes" &
  ip netns exec "$(lab_ns "$host")" socat -u -b 65536 "UDP4-RECV:5000,rcvbuf=987000$*" - >"$work/$host.fifo" &
  counters+=("$!:$host")
}
stop_counters() {
  local entry i
  for entry in "${counters[@]}"; do kill "${entry%%:*}" 2>/dev/null || true; done
  for entry in "${counters[@]}"; do
    wait "${entry%%:*}" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do [ -s "$work/${entry#*:}.bytes" ] && break; sleep 0.1; done
    cat "$work/${entry#*:}.bytes"
  done >"$work/sizes"
  counters=()
}
host_drops() {
  local h n=0
  for ((h = 1; h <= $1; h++)); do n=$((n + $(snmp "h$h" Udp RcvbufErrors))); done
  echo "$n"
}
send() {
  lab_exec src "$ts_tool" send --group "$group" --port 5000 --format plain --rate "$rate" \
    --count "$1"
}

rows=()
sent=$((rate * seconds * datagram))
# report NAME HOSTS TICKS RELAY-DROPS HOST-DROPS FRAGMENTS; leaves CPU s per GB in per_gb.
report() {
  local min max sum got cpu
  read -r min max sum < <(awk '{ v = $1 + 0; s += v; if (NR == 1 || v < lo) lo = v;
      if (v > hi) hi = v } END { print lo + 0, hi + 0, s + 0 }' "$work/sizes")
  got="$min = sent"
  [ "$min" = "$sent" ] && [ "$max" = "$sent" ] || got="min $min, max $max"
  cpu=$(awk -v t="$3" -v k="$tick" 'BEGIN { printf "%.2f", t / k }')
  per_gb=$(awk -v c="$cpu" -v b="$sum" 'BEGIN { printf "%.2f", b ? c / (b / 1e9) : 0 }')
  rows+=("| $1 | $2 | $sent | $got | $cpu | $per_gb | $4 / $5 | $6 |")
}

# --- the relay ---------------------------------------------------------------
mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$relay_ns" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  --with-igmpsnooper --max-connections-per-host 65535 <"$work/in" >"$work/relay.out" 2>&1 &
relay=$!
lab_wait_line "$work/relay.out" 50 "Enter q to exit." || { echo "relay did not start" >&2; exit 1; }
# A first member (h0, measured nowhere) lets the snooper learn the group's
# port; afterwards every forwarder binds at once and gets the whole burst.
counter h0 ",ip-add-membership=$group:198.18.2.10"
wait_users 1 100
send 40
stop_counters
wait_users 0 100

declare -A relay_per_gb
for n in $host_counts; do
  echo "relay: $n hosts" >&2
  for ((h = 1; h <= n; h++)); do counter "h$h" ",ip-add-membership=$group:198.18.2.$((10 + h))"; done
  wait_users "$n" 300
  cpu0=$(cpu_ticks "$relay") drops0=$(snmp relay Udp RcvbufErrors)
  hdrops0=$(host_drops "$n") frags0=$(snmp relay Ip FragCreates)
  send $((rate * seconds))
  drain && sleep 1
  ticks=$(($(cpu_ticks "$relay") - cpu0))
  drops=$(($(snmp relay Udp RcvbufErrors) - drops0)) hdrops=$(($(host_drops "$n") - hdrops0))
  frags=$(($(snmp relay Ip FragCreates) - frags0))
  stop_counters
  wait_users 0 300
  report "relay" "$n" "$ticks" "$drops" "$hdrops" "$frags"
  relay_per_gb[$n]=$per_gb
done
echo q >&3
lab_wait_exit "$relay" 100 || kill "$relay"
wait "$relay" || true

# --- socat: the group to one unicast destination -----------------------------
echo "socat: 1 destination" >&2
counter h1 ""
ip netns exec "$relay_ns" socat -u -b 65536 \
  "UDP4-RECV:5000,bind=$group,ip-add-membership=$group:198.18.1.2,so-reuseaddr,rcvbuf=987000" \
  UDP4-SENDTO:198.18.2.11:5000 &
socat_pid=$!
wait_users 1 100
cpu0=$(cpu_ticks "$socat_pid") drops0=$(snmp relay Udp RcvbufErrors)
hdrops0=$(host_drops 1) frags0=$(snmp relay Ip FragCreates)
send $((rate * seconds))
drain && sleep 1
ticks=$(($(cpu_ticks "$socat_pid") - cpu0))
drops=$(($(snmp relay Udp RcvbufErrors) - drops0)) hdrops=$(($(host_drops 1) - hdrops0))
frags=$(($(snmp relay Ip FragCreates) - frags0))
kill "$socat_pid"
wait "$socat_pid" 2>/dev/null || true
stop_counters
report "socat" 1 "$ticks" "$drops" "$hdrops" "$frags"
socat_per_gb=$per_gb

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
echo
echo "$seconds s per scenario, one group of $datagram-byte datagrams at $rate/s (about 8 Mbit/s); GB = 10^9 bytes delivered to all hosts."
echo
echo "| forwarder | hosts | bytes sent | bytes per host | CPU s | CPU s per GB | drops relay host / LAN hosts | fragments made |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| hosts | relay CPU s per GB | socat (1 destination) CPU s per GB | relay / socat |"
echo "|---|---|---|---|"
for n in $host_counts; do
  echo "| $n | ${relay_per_gb[$n]} | $socat_per_gb | $(ratio "${relay_per_gb[$n]}" "$socat_per_gb") |"
done
