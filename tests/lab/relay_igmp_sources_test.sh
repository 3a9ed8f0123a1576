#!/usr/bin/env bash
# The snooper forwards a source-specific membership from exactly its
# sources: `src` sends one group of 232.0.0.0/8 on one port from two
# addresses, A and B, each its own letter in every datagram. A LAN host
# (kernel socket, IGMPv3) joins the group from A, then allows B, then blocks
# A; after each report the relay's receiving side holds exactly those
# sources, and what reaches the host comes from them alone.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
lab_need $python

lab_init ssm
lab_relay_hosts
lab_addr src eth0 198.18.1.3/24
group=232.1.1.1

# 200 datagrams a second from each address, for at most 40 s.
lab_exec src timeout 45 $python -c '
import socket, sys, time
senders = []
for letter, address in (("A", "198.18.1.1"), ("B", "198.18.1.3")):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 2)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    senders.append((letter.encode() * 100, s))
for i in range(8000):
    for payload, s in senders:
        s.sendto(payload, (sys.argv[1], 5000))
    time.sleep(0.005)
' $group &
sender=$!

lab_start_relay "$relay_bin" --with-igmpsnooper

mkfifo "$work/host.in"
exec 4<>"$work/host.in"
lab_exec lan timeout 60 $python "$LAB_DIR/igmp_source_host.py" $group 198.18.2.2 5000 \
  <"$work/host.in" >"$work/host.out" 2>"$work/host.err" &
host=$!
# ask COMMAND: the host's answer to it (at most 15 s).
ask() {
  local before i
  before=$(wc -l <"$work/host.out")
  echo "$1" >&4
  for ((i = 0; i < 150; i++)); do
    if [ "$(wc -l <"$work/host.out")" -gt "$before" ]; then
      tail -1 "$work/host.out"
      return
    fi
    sleep 0.1
  done
  echo "no answer to $1"
}
# The sources the relay's receiving side holds the group from, in hex.
held() {
  lab_exec relay cat /proc/net/mcfilter |
    awk '$2 == "eth0" && $3 == "0xe8010101" { print $4 }' | sort | xargs
}
a=0xc6120101 b=0xc6120103

lab_phase "join from A"
ask "join 198.18.1.1" >/dev/null
lab_check "the pair starts" lab_wait_line "$work/out" 50 \
  "Igmp snooper: Starting proxying multicast group $group to host 198.18.2.2 "
lab_check "the relay receives from A alone" lab_wait_output 50 "$a" held
answer=$(ask "count 200")
lab_check "A's datagrams only ($answer)" test "$answer" = "A 200 B 0 other 0"

lab_phase "allow B"
ask "join 198.18.1.3" >/dev/null
lab_check "the relay receives from A and B" lab_wait_output 50 "$a $b" held
answer=$(ask "count 200")
lab_check "both sources' datagrams ($answer)" \
  awk -v s="$answer" 'BEGIN { split(s, f, " "); exit !(f[2] > 0 && f[4] > 0 && f[2] + f[4] == 200) }'

lab_phase "block A"
ask "drop 198.18.1.1" >/dev/null
lab_check "the relay receives from B alone" lab_wait_output 50 "$b" held
answer=$(ask "count 200")
lab_check "B's datagrams only ($answer)" test "$answer" = "A 0 B 200 other 0"
lab_check "the pair stays" test "$(grep -c "Stopping proxying" "$work/out")" = 0

echo quit >&4
lab_wait_exit "$host" 50
kill "$sender" 2>/dev/null
printf 'q' >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 60
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
lab_finish || { cat "$work/out" "$work/host.err"; exit 1; }
