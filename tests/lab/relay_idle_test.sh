#!/usr/bin/env bash
# A kept-alive connection to the relay that stays silent is closed at the
# relay's idle time-out of 120 s, not before.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"

lab_init rid
lab_host relay
lab_host lan
lab_link relay eth0 198.18.2.1/24 lan eth0 198.18.2.2/24

ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.2.1 \
  </dev/null >"$work/out" 2>&1 &
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."

lab_exec lan bash -c 'exec 5<>/dev/tcp/198.18.2.1/2901
  printf "GET /cm.xml HTTP/1.1\r\n\r\n" >&5
  start=$SECONDS; timeout 150 cat <&5 >/dev/null; echo $((SECONDS - start))' >"$work/open" &
client=$!
lab_check "still open after 100 s" bash -c "sleep 100; test ! -s '$work/open'"
lab_check "closed by 130 s" lab_wait_exit "$client" 300
seconds=$(cat "$work/open")
lab_check "closed at the 120 s time-out (after ${seconds:-?} s)" \
  test "${seconds:-0}" -ge 119 -a "${seconds:-0}" -le 125

lab_finish
