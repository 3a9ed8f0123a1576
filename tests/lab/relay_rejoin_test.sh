#!/usr/bin/env bash
# --rejoin behind a snooping switch whose queries never reach the relay: the
# switch `up` between the IPTV sender and the relay's receiving side is a
# Linux bridge with multicast snooping, its own querier, that forgets a
# membership after 8 s; an nftables rule drops its queries on the way out
# to the relay's port, as a provider's box does. So the relay's kernel
# reports a group only when it joins.
#
#   without --rejoin: a client's stream stops once the switch forgets the
#   membership (the control: the switch and the rule work as meant).
#   --rejoin 4: a client's stream flows for a minute, bytes in every 10 s
#   slice; the relay stops on q. (What the reports hold on the wire
#   is membership_refresher_test's.)
#   without CAP_NET_RAW: one console line at start, streams still served.
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
lab_need curl nft setpriv

lab_init rjn
lab_host src && lab_host relay && lab_host lan
lab_switch up snooping
lab_switch_port up src eth0 198.18.1.1/24
lab_switch_port up relay eth0 198.18.1.2/24
lab_link relay eth1 198.18.2.1/24 lan eth0 198.18.2.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
# The querier asks every 3 s, hosts answer within 1 s, and a membership
# nobody reported for 8 s is gone (times in hundredths of a second).
ip -n "$(lab_ns up)" link set br0 type bridge mcast_query_interval 300 \
  mcast_query_response_interval 100 mcast_startup_query_interval 100 \
  mcast_last_member_interval 100 mcast_membership_interval 800 mcast_querier 1
lab_exec up nft -f - <<'EOF'
table bridge rejoin_lab {
  chain out {
    type filter hook output priority 0; policy accept;
    oifname "prelay" igmp type membership-query counter drop
  }
  chain through {
    type filter hook forward priority 0; policy accept;
    oifname "prelay" igmp type membership-query drop
  }
}
EOF
lab_check "switch ports up" lab_switch_up up

group=239.1.3.1
url=http://198.18.2.1:2901/vkx/$group:5000
lab_exec src "$ts_tool" send --format plain --group "$group" --port 5000 --rate 200 \
  --seconds 200 &

# Waits (at most $2 seconds) until file $1 has not grown for 3 s.
wait_stalled() {
  local i last=-1 same=0 now
  for ((i = 0; i < $2; i++)); do
    now=$(lab_size "$1")
    if [ "$now" = "$last" ]; then
      same=$((same + 1))
      [ "$same" -ge 3 ] && return 0
    else
      same=0
    fi
    last=$now
    sleep 1
  done
  return 1
}
# Whether the switch holds a membership of the group on the relay's port.
switch_has_member() {
  lab_exec up bridge mdb show dev br0 | grep -q "port prelay grp $group"
}
switch_lacks_member() { ! switch_has_member; }
queries_dropped() {
  lab_exec up nft list chain bridge rejoin_lab out | grep -q 'counter packets [1-9]'
}
stop_relay() {
  echo q >&3
  lab_check "$1: relay exits on q" lab_wait_exit "$relay_pid" 100
  wait "$relay_pid" 2>/dev/null
}

lab_phase "without --rejoin"
lab_start_relay "$relay_bin"
lab_exec lan curl -s --max-time 60 -o "$work/plain.body" "$url" &
client=$!
lab_check "without --rejoin: the stream starts" lab_grows_past "$work/plain.body" 100 0
lab_check "without --rejoin: the switch learnt the membership" switch_has_member
lab_check "without --rejoin: the stream stops once the membership lapses" \
  wait_stalled "$work/plain.body" 40
lab_check "without --rejoin: the switch forgot the membership" switch_lacks_member
lab_check "the switch's queries were dropped towards the relay" queries_dropped
kill "$client" 2>/dev/null
wait "$client" 2>/dev/null
stop_relay "without --rejoin"

lab_phase "--rejoin 4"
lab_start_relay "$relay_bin" --rejoin 4
lab_check "--rejoin: the start is told" grep -qxF "Starting multicast rejoin." "$work/out"
lab_exec lan curl -s --max-time 80 -o "$work/rejoin.body" "$url" &
client=$!
lab_check "--rejoin 4: the stream starts" lab_grows_past "$work/rejoin.body" 100 0
# Six slices of 10 s, each with new bytes: the membership, 8 s without a
# report, is never forgotten.
flowing=0
last=$(lab_size "$work/rejoin.body")
for ((slice = 1; slice <= 6; slice++)); do
  sleep 10
  now=$(lab_size "$work/rejoin.body")
  [ "$now" -gt "$last" ] && flowing=$((flowing + 1))
  echo "slice $slice: $((now - last)) bytes"
  last=$now
done
lab_check "--rejoin 4: bytes in each of six 10 s slices ($flowing)" test "$flowing" = 6
lab_check "--rejoin 4: the switch still holds the membership" switch_has_member
lab_check "--rejoin: no error on the console" bash -c "! grep -q 'Multicast rejoin:' '$work/out'"
stop_relay "--rejoin 4"
lab_check "--rejoin: the stop is told" grep -qxF "Stopping multicast rejoin." "$work/out"
kill "$client" 2>/dev/null
wait "$client" 2>/dev/null

lab_phase "--rejoin without CAP_NET_RAW"
printf '#!/usr/bin/env bash\nexec setpriv --bounding-set=-net_raw --inh-caps=-net_raw -- %q "$@"\n' \
  "$relay_bin" >"$work/relay-without-raw"
chmod 755 "$work/relay-without-raw"
lab_start_relay "$work/relay-without-raw" --rejoin 4
lab_check "without CAP_NET_RAW: said once on the console" \
  test "$(grep -c "^Multicast rejoin: Can't create raw socket" "$work/out")" = 1
lab_exec lan curl -s --max-time 3 -o "$work/noraw.body" "$url"
lab_check "without CAP_NET_RAW: streams still served" test "$(lab_size "$work/noraw.body")" -gt 10000
stop_relay "without CAP_NET_RAW"

lab_finish
