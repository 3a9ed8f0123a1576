#!/usr/bin/env bash
# The relay under load, between lab hosts: 1000 kept-alive connections open
# at once asking the documents, every answer exact; 500 stalled requests
# while 50 normal clients are served, closed at the idle time-out; 500
# stream requests leaving at random points meanwhile, after which no fd,
# thread or group membership is left; and the stop by q and by SIGTERM
# while clients stream.
set -u
relay_bin=$1
ts_tool=$2
here=$(dirname "$0")
. "$here/lab.sh"
lab_prepare_load
load=(python3 "$here/http_load.py")

lab_init rld
lab_relay_hosts
group=239.2.1.1
stream=/vkx/$group:5000

ip netns exec "$(lab_ns src)" "$ts_tool" send --group "$group" --port 5000 --format plain \
  --seconds 400 >/dev/null &
disown  # ended by the teardown, without a job report

# Starts the relay with input from $1, output to $2; sets pid. The lan host
# plays every client here: no limit of connections per host.
start_relay() {
  ip netns exec "$(lab_ns relay)" "${LAB_USUAL_LIMITS[@]}" "$relay_bin" -li 198.18.2.1 -lp 2901 \
    -ri 198.18.1.2 --recv-timeout 5 --max-connections-per-host 65535 <"$1" >"$2" 2>&1 &
  pid=$!
  lab_wait_line "$2" 50 "Enter q to exit."
}
holdings() {
  echo "fds $(ls /proc/$pid/fd | wc -l), threads $(ls /proc/$pid/task | wc -l)," \
    "members $(lab_igmp_users relay eth0 "$group")"
}
back_to_idle() { lab_wait_output 50 "$idle" holdings; }

mkfifo "$work/in"
exec 3<>"$work/in"
lab_check "relay prompts" start_relay "$work/in" "$work/out"
idle=$(holdings)
lab_check "started with 1024 descriptors, raised to the hard limit" test "$(lab_fd_limit "$pid")" = 4096

docs=()
for doc in description cm cds; do
  lab_exec lan curl -s --max-time 5 -o "$work/$doc.xml" "http://198.18.2.1:2901/$doc.xml"
  lab_check "$doc.xml fetched" grep -q '^<?xml' "$work/$doc.xml"
  docs+=(--doc "/$doc.xml=$work/$doc.xml")
done

lab_burst relay 198.18.2.1 2901 "${docs[@]}"
lab_check "after the burst: nothing left behind" back_to_idle

lab_phase "keep-alive"
# 1000 connections open at the same time, three keep-alive requests each,
# one per document.
lab_check "1000 kept-alive connections, 3000 exact answers" \
  lab_exec lan "${load[@]}" keepalive 198.18.2.1 2901 --connections 1000 --requests 3 \
  "${docs[@]}" --seconds 60
lab_check "after the thousand connections: nothing left behind" back_to_idle

lab_phase "stalled clients and stream churn"
# 500 connections send half a request and stop; 50 normal clients are still
# served, and the relay closes every stalled one unanswered once its head
# has taken 10 s. Meanwhile 500 stream requests leave at random points.
lab_exec lan "${load[@]}" stall 198.18.2.1 2901 /description.xml --stalled 500 --normal 50 \
  "${docs[@]}" --idle-close 9.5 25 --seconds 60 >"$work/stall" 2>&1 &
stalled=$!
stalled_open() {
  local i
  for ((i = 0; i < 300; i++)); do
    grep -q '^500 connections stalled' "$work/stall" && return 0
    sleep 0.1
  done
  return 1
}
lab_check "500 stalled connections open" stalled_open
lab_check "500 streams leaving at random points: every head right" \
  lab_exec lan "${load[@]}" churn 198.18.2.1 2901 "$stream" --streams 500 --parallel 50 \
  --seconds 60
wait "$stalled"
lab_check "500 stalled: 50 normal clients served, the stalled closed after 10 s" test $? = 0
cat "$work/stall"
lab_check "after the stalled clients and the churn: no fd, thread or membership left" back_to_idle

# The stop while 60 clients stream and 20 ask documents: within the 1000 ms
# grace plus a second, status 0, and "Will exit."
# the last line, with nothing after it.
stop_under_load() { # how: q or TERM
  lab_exec lan "${load[@]}" load 198.18.2.1 2901 --readers 60 --read-path "$stream" \
    --askers 20 "${docs[@]}" --seconds 40 >"$work/load.$1" 2>&1 &
  local client=$! asked
  lab_phase "stop by $1 under load"
  lab_check "$1: clients loaded" lab_wait_line "$work/load.$1" 300 loaded
  lab_check "$1: the relay is a member of the group while it streams" \
    test "$(lab_igmp_users relay eth0 "$group")" != 0
  asked=$(date +%s%N)
  if [ "$1" = q ]; then echo q >&3; else kill -TERM "$pid"; fi
  lab_check "$1 under load: exits within the grace period plus a second" lab_wait_exit "$pid" 20
  echo "$1: exited $((($(date +%s%N) - asked) / 1000000)) ms after the stop"
  wait "$pid"
  lab_check "$1 under load: exit status 0" test $? = 0
  lab_check "$1 under load: the stop's lines, \"Will exit.\" last" \
    test "$(tail -n 2 "$work/out.$1" | tr '\n' '|')" = "Stopping http server|Will exit.|"
  local size
  size=$(stat -c %s "$work/out.$1")
  sleep 0.5
  lab_check "$1 under load: nothing written after \"Will exit.\"" \
    test "$(stat -c %s "$work/out.$1")" = "$size"
  lab_check "$1 under load: every stream ended by the stop" lab_wait_exit "$client" 100
  wait "$client"
  lab_check "$1 under load: every whole answer was right" test $? = 0
  cat "$work/load.$1"
}
lab_stop_runs relay "$work" start_relay stop_under_load

lab_finish
