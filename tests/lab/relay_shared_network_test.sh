#!/usr/bin/env bash
# The relay on a shared network: one LAN host opens 2000 connections that
# each send a byte every 5 s, then 300 stream requests; the relay keeps 200
# of its connections (--max-connections-per-host) and closes the rest at
# once, closes the slow heads after 10 s, and answers streams past
# --max-clients with 503. Meanwhile another host's stream and /status.json
# keep working, and an address outside --allow gets nothing. The refusals
# the status page counts match the limits exactly, and afterwards the
# relay's threads and descriptors are back where they were.
set -u
relay_bin=$1
ts_tool=$2
here=$(dirname "$0")
. "$here/lab.sh"
lab_prepare_load
lab_need jq
load=(python3 "$here/http_load.py")

lab_init rsn
lab_host src && lab_host relay && lab_host lan && lab_host tv
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
ip -n "$(lab_ns src)" route add 224.0.0.0/4 dev eth0
lab_switch sw plain
lab_switch_port sw relay eth1 198.18.2.1/24
lab_switch_port sw lan eth0 198.18.2.2/24
lab_switch_port sw tv eth0 198.18.2.3/24
lab_addr lan eth0 198.18.2.9/24  # outside --allow
lab_check "switch up" lab_switch_up sw
group=239.2.1.1
stream=/vkx/$group:5000
base=http://198.18.2.1:2901

# About 1 Mbit/s: 51 streams of it stay well inside the lab's links.
lab_exec src "$ts_tool" send --group "$group" --port 5000 --format plain --rate 100 \
  --seconds 300 >/dev/null &
disown  # ended by the teardown

per_host=200
max_clients=51
printf '%s\n' '#EXTM3U' '#EXTINF:1,News' "udp://@$group:5000" >"$work/channels.m3u"
ip netns exec "$(lab_ns relay)" "${LAB_USUAL_LIMITS[@]}" "$relay_bin" -li 198.18.2.1 -lp 2901 \
  -ri 198.18.1.2 -p "$work/channels.m3u" --allow 198.18.2.0/29 \
  --max-connections-per-host "$per_host" --max-clients "$max_clients" </dev/null >"$work/out" 2>&1 &
pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
holdings() { echo "fds $(ls /proc/$pid/fd | wc -l), threads $(ls /proc/$pid/task | wc -l)"; }
idle=$(holdings)

lab_phase "the other host streams and reads /status.json"
# Without lab_exec's shell between: $! is curl itself.
ip netns exec "$(lab_ns tv)" curl -s --max-time 120 -o "$work/tv.ts" "$base$stream" &
tv_stream=$!
lab_check "tv: the stream flows" lab_grows_past "$work/tv.ts" 100 100000
# One line a second: the status page's code and the stream's size so far.
watch_tv() {
  local i
  for ((i = 0; i < 150; i++)); do
    [ -e "$work/watch.stop" ] && return
    echo "$(lab_exec tv curl -s -o /dev/null -w '%{http_code}' --max-time 3 "$base/status.json")" \
      "$(lab_size "$work/tv.ts")"
    sleep 1
  done
}
watch_tv >"$work/watch" &
watcher=$!

outside=$(lab_exec lan curl -s --interface 198.18.2.9 --max-time 5 -o "$work/outside" \
  -w '%{http_code}' "$base/status.json")
lab_check "an address outside --allow: closed without an answer ($outside)" \
  test "$outside" = 000 -a ! -s "$work/outside"

lab_phase "2000 slow heads from one host"
lab_exec lan "${load[@]}" trickle 198.18.2.1 2901 --connections 2000 --every 5 \
  --head-close 9.5 --seconds 40 >"$work/trickle" 2>&1
cat "$work/trickle"
lab_check "2000 slow heads: $per_host kept and closed unanswered after 10 s, the rest at once" \
  grep -qx "counts: refused $((2000 - per_host)), head closed $per_host, early 0, answered 0, open 0" \
  "$work/trickle"

lab_phase "300 stream requests from one host"
lab_exec lan "${load[@]}" streams 198.18.2.1 2901 "$stream" --connections 300 --hold 1 \
  --seconds 30 >"$work/streams" 2>&1
cat "$work/streams"
# The tv host's stream holds one of the --max-clients places.
lab_check "300 streams: $((300 - per_host)) closed at once, $((max_clients - 1)) streaming, the rest 503" \
  grep -qx "counts: refused $((300 - per_host)), streaming $((max_clients - 1)), busy $((per_host - max_clients + 1)), other 0" \
  "$work/streams"

lab_exec tv curl -s --max-time 5 "$base/status.json" >"$work/status.json"
lab_check "status.json: the refusals by reason" test "$(jq -c '.refusals |
  [.allow_list, .per_host, .slow_head, .max_clients]' "$work/status.json")" = \
  "[1,$((2000 - per_host + 300 - per_host)),$per_host,$((per_host - max_clients + 1))]"

touch "$work/watch.stop"
lab_wait_exit "$watcher" 50
# Every status answered, the stream grown between every two looks.
lab_check "tv: /status.json answered throughout ($(wc -l <"$work/watch") looks)" \
  awk '$1 != 200 { bad = 1 } END { exit bad || NR < 10 }' "$work/watch"
lab_check "tv: the stream flowed throughout" \
  awk 'NR > 1 && $2 <= last { bad = 1 } { last = $2 } END { exit bad }' "$work/watch"

kill "$tv_stream" 2>/dev/null
wait "$tv_stream" 2>/dev/null
lab_check "afterwards: threads and descriptors as before ($idle)" \
  lab_wait_output 100 "$idle" holdings
kill -TERM "$pid"
lab_check "stops on SIGTERM" lab_wait_exit "$pid" 50
lab_finish
