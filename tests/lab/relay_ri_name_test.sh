#!/usr/bin/env bash
# -ri naming the IPTV-side interface instead of its address: the card list
# marks the card of the address it holds, and when that address changes (a
# new DHCP lease in another subnet) the running stream goes on and a new
# client of another group is still served, its membership on that interface.
# An unknown name is refused at start.
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
lab_need curl

lab_init rrn
lab_relay_hosts
base=http://198.18.2.1:2901/vkx

for group in 239.1.2.1 239.1.2.2; do
  ip netns exec "$(lab_ns src)" "$ts_tool" send --group "$group" --port 5000 --seconds 60 &
done

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri eth0 \
  --recv-timeout 5 <"$work/in" >"$work/out" 2>&1 &
relay_pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
lab_check "the card list marks eth0's card as the receiving one" \
  diff -u <(printf '%s\n' "1) 198.18.1.2" "   NIC for multicast receiver assigned." \
    "2) 198.18.2.1" "   Listening interface for http server assigned.") \
  <(grep -A3 -xF "1) 198.18.1.2" "$work/out")

# Sockets of the relay host that joined each group on eth0.
memberships() {
  echo "$(lab_igmp_users relay eth0 239.1.2.1) $(lab_igmp_users relay eth0 239.1.2.2)"
}

lab_exec lan curl -s --max-time 12 -o "$work/running.body" "$base/239.1.2.1:5000" &
running=$!
lab_check "first client streams" lab_grows_past "$work/running.body" 50 100000

# The new lease: another subnet, its gateway the sender's side of the link.
lab_exec relay ip addr del 198.18.1.2/24 dev eth0
lab_exec relay ip addr add 198.18.5.2/24 dev eth0
lab_exec src ip addr add 198.18.5.1/24 dev eth0
lab_exec relay ip route add default via 198.18.5.1 dev eth0
before=$(lab_size "$work/running.body")

lab_exec lan curl -s --max-time 3 -o "$work/new.body" "$base/239.1.2.2:5000" &
new=$!
lab_check "the new client's membership is on eth0" \
  lab_wait_output 30 "1 1" memberships
wait "$new"
lab_check "a new client after the change gets its group" \
  "$ts_tool" check --format plain --min-packets 2000 --body "$work/new.body"
lab_check "the running client goes on after the change" \
  lab_grows_past "$work/running.body" 50 $((before + 100000))
wait "$running"
lab_check "the running client's stream has no gap" \
  "$ts_tool" check --format plain --min-packets 20000 --body "$work/running.body"
lab_check "the relay left both groups once their clients went" lab_wait_output 30 "0 0" memberships

echo q >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 30
wait "$relay_pid"
lab_check "exit status 0" test $? = 0

lab_exec relay "$relay_bin" -li 198.18.2.1 -lp 2901 -ri eth9 </dev/null >"$work/out" 2>&1
lab_check "an unknown -ri name: the start is refused (1)" test $? = 1
lab_check "an unknown -ri name: the refusal says which" \
  diff -u <(printf '%s\n' "Can't select network interface for multicast video source." \
    "No network interface is named eth9." "") <(tail -n 3 "$work/out")

lab_finish
