#!/usr/bin/env bash
# Streams through the relay inside a lab (src -- relay -- lan): ts_tool on
# `src` sends 1316-byte datagrams to one or more groups, curl on `lan` reads
# the stream URLs. Scenarios: one 8 Mbit/s channel with 1, 10, 50 and 100
# clients, 20 channels with 5 clients each, and one client of a ~420 Mbit/s
# channel, each for the relay and for floor_relay (bench/floor_relay.cc: one
# thread, one shared socket per group, one recvmmsg per batch and one
# gathered send per client, the least a relay can do) in the same run. socat
# relaying a group to one TCP client is the baseline for one client at both
# rates. Prints a Markdown table: bytes per client against bytes sent, CPU
# seconds per GB delivered, peak memory and the time to the first body byte;
# then per scenario the relay's CPU per GB against the floor's (and socat's
# for one client). Needs root, curl and socat.
#
#   bench/stream.sh [build dir, default build/release] [seconds per scenario, default 20]
#
# RELAY_BIN=path measures another build of the relay (an older tree's, say)
# against this tree's floor_relay and ts_tool.
#
# The RTP reorder window: REORDER_PAIRS (default 2) pairs of runs of one
# client of an in-order RTP channel at REORDER_RATE datagrams a second
# (default 9500, about 100 Mbit/s: CPU ticks enough, and a client the busy
# machine does not leave too far behind), the relay with
# --rtp-reorder 0 and with the default window, alternated (which goes first
# changes each pair), then one run of a source that swaps neighbours and
# repeats datagrams; a table gives CPU per GB and first byte for each pair.
# STREAM_ONLY=reorder runs these alone.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
seconds=${2:-20}
relay_bin=${RELAY_BIN:-$build/relay/app/tessaran}
floor_bin=$build/bench/floor_relay
ts_tool=$build/tests/ts_tool
for tool in "$relay_bin" "$floor_bin" "$ts_tool" curl socat ss; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/build release?)"; exit 1; }
done
# The first-byte probes run while the channel sends: 0.5 s + 5 x 0.5 s.
[ "$seconds" -ge 5 ] || { echo "seconds per scenario: at least 5"; exit 1; }

rate=760          # datagrams/s, about 8 Mbit/s
high_rate=40000   # about 420 Mbit/s
datagram=1316     # 7 TS packets
tick=$(getconf CLK_TCK)

. tests/lab/lab.sh
lab_init bst
lab_relay_hosts
src_ns=$(lab_ns src) relay_ns=$(lab_ns relay) lan_ns=$(lab_ns lan)
base=http://198.18.2.1:2901/vkx

# Sockets of the relay host that joined group $1 on its receiving side.
igmp_users() { lab_igmp_users relay eth0 "$1"; }
# Waits (at most $2 tenths) until group $1 has $3 users on the relay host.
wait_users() {
  local group=$1 tenths=$2 want=$3 i
  for ((i = 0; i < tenths; i++)); do
    [ "$(igmp_users "$group")" = "$want" ] && return 0
    sleep 0.1
  done
  echo "  group $group: $(igmp_users "$group") of $want users joined" >&2
}
# Waits (at most $1 tenths) until the clients of groups $3... ($2 per group)
# are being served. A program with a socket per client has $2 users in each
# group; one sharing a socket per group has one, so there it is enough that
# every group has a user, every client's connection is up, and nothing
# changed for a second.
wait_joined() {
  local tenths=$1 want=$2 i now last="" calm=0
  shift 2
  local total=$(($# * want))
  for ((i = 0; i < tenths; i++)); do
    now=$(for group; do igmp_users "$group"; done | sort -n | uniq -c | tr -s ' \n' ' ')
    [ "$now" = " $# $want " ] && return 0
    if [ "$now" = "$last" ] && ! [[ " $now" == *" 0 "* ]] &&
      [ "$(ip netns exec "$relay_ns" ss -Htn state established '( sport = :2901 )' | wc -l)" = "$total" ]; then
      calm=$((calm + 1))
      [ "$calm" -ge 10 ] && return 0
    else
      calm=0
    fi
    last=$now
    sleep 0.1
  done
  echo "  users per group (count users): $now; not all $want clients of each group served" >&2
}
# Waits (at most 5 s) until the relay host has a TCP socket matching ss filter "$@".
wait_socket() {
  local i
  for ((i = 0; i < 50; i++)); do
    [ -n "$(ip netns exec "$relay_ns" ss -Htn "$@")" ] && return 0
    sleep 0.1
  done
}
# Waits (at most $1 tenths) until all of the given processes have ended;
# whatever still runs then is killed.
wait_all() {
  local tenths=$1 pid i alive
  shift
  for ((i = 0; i < tenths; i++)); do
    alive=0
    for pid; do kill -0 "$pid" 2>/dev/null && alive=1 && break; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
# Datagrams the relay host dropped for want of receive buffer, so far.
udp_drops() { ip netns exec "$relay_ns" cat /proc/net/snmp | awk '$1 == "Udp:" && $6 ~ /^[0-9]/ { print $6 }'; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
peak_kb() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
# Bytes waiting in any socket queue of the relay and the LAN host (for a
# listening socket ss shows the backlog instead).
queued() {
  { ip netns exec "$relay_ns" ss -Htuna; ip netns exec "$lan_ns" ss -Htuna; } |
    awk '$2 != "LISTEN" { n += $3 + $4 } END { print n + 0 }'
}
# Waits (at most 15 s) until every queue has stayed empty for half a second.
drain() {
  local i calm=0
  for ((i = 0; i < 150 && calm < 5; i++)); do
    if [ "$(queued)" = 0 ]; then calm=$((calm + 1)); else calm=0; fi
    sleep 0.1
  done
  [ "$calm" -ge 5 ] || echo "  queues still not empty" >&2
}
# Starts one sender per group at rate $1; their pids go to `senders`.
start_senders() {
  local r=$1 group
  shift
  senders=()
  for group; do
    ip netns exec "$src_ns" "$ts_tool" send --group "$group" --port 5000 "${send_args[@]}" \
      --rate "$r" --count $((r * seconds)) &
    senders+=($!)
  done
}
mbit() { awk -v r="$1" -v d="$datagram" 'BEGIN { printf "%.0f Mbit/s", r * d * 8 / 1e6 }'; }

relay_args=()               # more options for the relay
send_args=(--format plain)  # how ts_tool sends
rows=()
# Adds a table row: name, clients, rate, delivered-bytes file, extra bytes,
# CPU ticks, peak kB, first byte ms, receive buffer drops; leaves CPU s per
# GB in `per_gb`.
report() {
  local name=$1 clients=$2 r=$3 file=$4 extra=$5 ticks=$6 kb=$7 first=$8 drops=$9
  local sent=$((r * seconds * datagram)) min max sum got cpu mib
  read -r min max sum < <(awk '{ v = $1 + 0; s += v; if (NR == 1 || v < lo) lo = v;
      if (v > hi) hi = v } END { print lo + 0, hi + 0, s + 0 }' "$file")
  got="$min = sent"
  [ "$min" = "$sent" ] && [ "$max" = "$sent" ] || got="min $min, max $max: lost ($drops receive buffer drops)"
  cpu=$(awk -v t="$ticks" -v k="$tick" 'BEGIN { printf "%.2f", t / k }')
  per_gb=$(awk -v c="$cpu" -v b=$((sum + extra)) 'BEGIN { printf "%.2f", b ? c / (b / 1e9) : 0 }')
  mib=$(awk -v k="$kb" 'BEGIN { printf "%.1f MiB", k / 1024 }')
  rows+=("| $name | $clients | $(mbit "$r") | $sent | $got | $cpu | $per_gb | $mib | $first |")
}

# Starts program $1 (relay or floor) on `relay`, its console in $work/out and
# its input on descriptor 3; its pid goes to `server`.
start_server() {
  rm -f "$work/out"
  if [ "$1" = relay ]; then
    ip netns exec "$relay_ns" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
      --recv-timeout 30 --max-clients 65535 --max-connections-per-host 65535 "${relay_args[@]}" <"$work/in" >"$work/out" 2>&1 &
  else
    ip netns exec "$relay_ns" "$floor_bin" 198.18.2.1 2901 198.18.1.2 \
      <"$work/in" >"$work/out" 2>&1 &
  fi
  server=$!
  lab_wait_line "$work/out" 50 "Enter q to exit." || { echo "$1 did not start" >&2; exit 1; }
}

declare -A gb peak
# stream_run PROGRAM KEY NAME RATE CHANNELS CLIENTS: PROGRAM is relay or
# floor; its CPU s per GB and peak kB go to gb and peak under "PROGRAM KEY".
stream_run() {
  local program=$1 key=$2 name=$3 r=$4 channels=$5 clients=$6 groups=() clients_pids=() group c i
  echo "$program: $name, $(mbit "$r")" >&2
  for ((c = 1; c <= channels; c++)); do groups+=("239.1.2.$c"); done
  rm -f "$work/sizes" "$work/probes"
  start_server "$program"
  local cpu0 drops0
  cpu0=$(cpu_ticks "$server") drops0=$(udp_drops)
  for group in "${groups[@]}"; do
    for ((i = 0; i < clients; i++)); do
      ip netns exec "$lan_ns" curl -s -o /dev/null -w '%{size_download}\n' \
        --max-time $((seconds + 120)) "$base/$group:5000" >>"$work/sizes" &
      clients_pids+=($!)
    done
  done
  wait_joined 300 "$clients" "${groups[@]}"
  start_senders "$r" "${groups[@]}"
  # First body byte of a new request while the channel sends.
  sleep 0.5
  for ((i = 0; i < 5; i++)); do
    ip netns exec "$lan_ns" curl -s -o /dev/null -w '%{time_starttransfer} %{size_download}\n' \
      --max-time 0.3 "$base/${groups[0]}:5000" >>"$work/probes" || true
    sleep 0.2
  done
  wait_all $((seconds * 10 + 100)) "${senders[@]}"
  drain
  local ticks=$(($(cpu_ticks "$server") - cpu0)) drops=$(($(udp_drops) - drops0)) kb
  kb=$(peak_kb "$server")
  echo q >&3
  wait_all 100 "${clients_pids[@]}"
  wait_all 50 "$server"
  local first extra
  first=$(sort -n "$work/probes" | awk '{ t[NR] = $1 } END { printf "%.1f ms", t[int((NR + 1) / 2)] * 1000 }')
  extra=$(awk '{ s += $2 } END { print s + 0 }' "$work/probes")
  report "$program, $name" "$((channels * clients))" "$r" "$work/sizes" "$extra" "$ticks" "$kb" "$first" "$drops"
  gb["$program $key"]=$per_gb
  peak["$program $key"]=$kb
  first_byte=$first
}

# Scenario KEY NAME RATE CHANNELS CLIENTS, for the relay and then the floor.
scenario() {
  stream_run relay "$@"
  stream_run floor "$@"
}

# socat_run RATE: one group to one TCP client.
socat_run() {
  local r=$1
  echo "socat: 1 channel x 1 client, $(mbit "$r")" >&2
  ip netns exec "$relay_ns" socat -u \
    UDP4-RECV:5000,bind=239.1.2.1,ip-add-membership=239.1.2.1:198.18.1.2,so-reuseaddr,rcvbuf=987000 \
    TCP4-LISTEN:9000,bind=198.18.2.1,reuseaddr &
  local server=$!
  wait_users 239.1.2.1 50 1
  wait_socket state listening '( sport = :9000 )'
  ip netns exec "$lan_ns" sh -c 'socat -u TCP4:198.18.2.1:9000 - | wc -c' >"$work/sizes" &
  local client=$!
  wait_socket state established '( sport = :9000 )'
  local cpu0 drops0
  cpu0=$(cpu_ticks "$server") drops0=$(udp_drops)
  start_senders "$r" 239.1.2.1
  wait_all $((seconds * 10 + 100)) "${senders[@]}"
  drain
  local ticks=$(($(cpu_ticks "$server") - cpu0)) drops=$(($(udp_drops) - drops0)) kb
  kb=$(peak_kb "$server")
  wait_all 0 "$server"  # ends the stream: the client counts what it got
  wait_all 50 "$client"
  report "socat, 1 channel x 1 client" 1 "$r" "$work/sizes" 0 "$ticks" "$kb" "-" "$drops"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# reorder_run KEY NAME WINDOW [ts_tool options]: one client of one RTP
# channel at REORDER_RATE, the relay with --rtp-reorder WINDOW.
reorder_rate=${REORDER_RATE:-9500}
reorder_run() {
  local key=$1 name=$2 window=$3
  shift 3
  relay_args=(--rtp-reorder "$window")
  send_args=(--format rtp "$@")
  stream_run relay "$key" "$name" "$reorder_rate" 1 1
  relay_args=()
  send_args=(--format plain)
}
reorder_rows=()
reorder_section() {
  local pairs=${REORDER_PAIRS:-2} p off on off_first on_first
  for ((p = 1; p <= pairs; p++)); do
    if ((p % 2 == 1)); then
      reorder_run "off$p" "1 RTP channel x 1 client, in order, window off" 0
      off=$per_gb off_first=$first_byte
      reorder_run "on$p" "1 RTP channel x 1 client, in order, window 32" 32
      on=$per_gb on_first=$first_byte
    else
      reorder_run "on$p" "1 RTP channel x 1 client, in order, window 32" 32
      on=$per_gb on_first=$first_byte
      reorder_run "off$p" "1 RTP channel x 1 client, in order, window off" 0
      off=$per_gb off_first=$first_byte
    fi
    reorder_rows+=("| $p | $off | $on | $(ratio "$on" "$off") | $off_first | $on_first |")
  done
  reorder_run mixed "1 RTP channel x 1 client, every 10th pair swapped, every 50th repeated, window 32" \
    32 --swap-every 10 --repeat-every 50
}

mkfifo "$work/in"
exec 3<>"$work/in"
if [ "${STREAM_ONLY:-}" = reorder ]; then
  reorder_section
  echo
  echo "$seconds s per scenario, $datagram-byte payloads; GB = 10^9 bytes delivered."
  echo
  echo "| scenario | clients | rate per channel | bytes sent per channel | bytes per client | CPU s | CPU s per GB | peak memory | first byte (median of 5) |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "| pair | window off: CPU s per GB | window 32 | on / off | first byte, off | on |"
  echo "|---|---|---|---|---|---|"
  printf '%s\n' "${reorder_rows[@]}"
  exit 0
fi
keys=(1 10 50 100 20x5 high)
scenario 1 "1 channel x 1 client" "$rate" 1 1
for n in 10 50 100; do scenario "$n" "1 channel x $n clients" "$rate" 1 "$n"; done
scenario 20x5 "20 channels x 5 clients" "$rate" 20 5
scenario high "1 channel x 1 client" "$high_rate" 1 1
socat_run "$rate"
gb["socat 1"]=$per_gb
socat_run "$high_rate"
gb["socat high"]=$per_gb
reorder_section

# Peak memory per client beyond the first, from the 1- and 100-client runs.
per_client() {
  awk -v a="${peak[$1 1]}" -v b="${peak[$1 100]}" 'BEGIN { printf "%.0f KiB", (b - a) / 99 }'
}
echo
echo "$seconds s per scenario, $datagram-byte datagrams; GB = 10^9 bytes delivered."
echo "relay: $relay_bin; floor: $floor_bin"
echo
echo "| scenario | clients | rate per channel | bytes sent per channel | bytes per client | CPU s | CPU s per GB | peak memory | first byte (median of 5) |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Targets: relay / floor at most 1.2 in every scenario; relay / socat at most 0.75 for one client."
echo
echo "| scenario | relay CPU s per GB | floor CPU s per GB | relay / floor | socat CPU s per GB | relay / socat |"
echo "|---|---|---|---|---|---|"
for key in "${keys[@]}"; do
  case $key in
    1) name="1 channel x 1 client, $(mbit "$rate")" ;;
    20x5) name="20 channels x 5 clients, $(mbit "$rate")" ;;
    high) name="1 channel x 1 client, $(mbit "$high_rate")" ;;
    *) name="1 channel x $key clients, $(mbit "$rate")" ;;
  esac
  relay=${gb[relay $key]} floor=${gb[floor $key]} socat=${gb[socat $key]:-}
  echo "| $name | $relay | $floor | $(ratio "$relay" "$floor") | ${socat:--} |" \
    "$([ -n "$socat" ] && ratio "$relay" "$socat" || echo -) |"
done
echo
echo "Peak memory per client beyond the first ((VmHWM at 100 clients - at 1) / 99):" \
  "relay $(per_client relay), floor $(per_client floor)."
echo
echo "RTP reorder window, one client of an in-order RTP channel at $(mbit "$reorder_rate"):"
echo
echo "| pair | window off: CPU s per GB | window 32 | on / off | first byte, off | on |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${reorder_rows[@]}"
