#!/usr/bin/env bash
# ondrel under load, between lab hosts: 1000 kept-alive connections open at
# once, every answer exact; 500 stalled requests while 50 normal clients are
# served, and the stalled ones closed at the 15 s idle time-out; a 5 GiB
# sparse file whole and a range past 4 GiB; no fd or thread left behind; and
# the stop by q and by SIGTERM while clients download.
set -u
web_bin=$1
here=$(dirname "$0")
. "$here/../lab/lab.sh"
lab_prepare_load
load=(python3 "$here/../lab/http_load.py")

lab_init wld
lab_host web
lab_host lan
lab_link web eth0 198.18.3.1/24 lan eth0 198.18.3.2/24
site=$work/www
mkdir -p "$site"
head -c 1000 /dev/urandom >"$site/small.bin"
printf 'hello' >"$site/index.html"
truncate -s 5G "$site/sparse.bin"
docs=(--doc "/small.bin=$site/small.bin" --doc "/index.html=$site/index.html")

# Starts ondrel on the web host with input from $1, output to $2; sets pid.
# The lan host plays every client here: no limit of connections per host.
start_web() {
  ip netns exec "$(lab_ns web)" "${LAB_USUAL_LIMITS[@]}" "$web_bin" -q -lp 8080 -li 198.18.3.1 \
    -sp "$site/" --max-connections-per-host 65535 <"$1" >"$2" 2>&1 &
  pid=$!
  lab_wait_line "$2" 50 "Enter q to exit."
}
holdings() { echo "$(ls /proc/$pid/fd | wc -l) $(ls /proc/$pid/task | wc -l)"; }
back_to_idle() { lab_wait_output 50 "$idle" holdings; }

mkfifo "$work/in"
exec 3<>"$work/in"
lab_check "ondrel prompts" start_web "$work/in" "$work/out"
idle=$(holdings)
lab_check "started with 1024 descriptors, raised to the hard limit" test "$(lab_fd_limit "$pid")" = 4096

lab_burst web 198.18.3.1 8080 "${docs[@]}"
lab_check "after the burst: nothing left behind" back_to_idle

lab_phase "keep-alive"
# 1000 connections open at the same time, three keep-alive requests each.
lab_check "1000 kept-alive connections, 3000 exact answers" \
  lab_exec lan "${load[@]}" keepalive 198.18.3.1 8080 --connections 1000 --requests 3 "${docs[@]}" \
  --seconds 60
lab_check "after the thousand connections: no fd or thread left behind" back_to_idle

lab_phase "large file, stalled clients"
# The 5 GiB file runs beside the stalled clients below, over loopback.
lab_exec web curl -s --max-time 90 -o /dev/null -w '%{http_code} %{size_download}' \
  http://127.0.0.1:8080/sparse.bin >"$work/whole" &
whole=$!
lab_exec web curl -s --max-time 10 -D "$work/range.head" -o "$work/range.body" \
  -H "Range: bytes=4294967296-4294967305" http://127.0.0.1:8080/sparse.bin
lab_check "range past 4 GiB: 206" grep -qx $'HTTP/1.1 206 Partial content\r' "$work/range.head"
lab_check "range past 4 GiB: Content-Range" \
  grep -qx $'Content-Range: bytes 4294967296-4294967305/5368709120\r' "$work/range.head"
lab_check "range past 4 GiB: ten zero bytes" cmp -s "$work/range.body" <(head -c 10 /dev/zero)

# 500 connections that send half a request and stop: the 50 normal clients
# are still served, and the server closes every stalled one unanswered once
# its head has taken 10 s, before the 15 s idle time-out.
lab_check "500 stalled: 50 normal clients served, the stalled closed after 10 s" \
  lab_exec lan "${load[@]}" stall 198.18.3.1 8080 /small.bin --stalled 500 --normal 50 "${docs[@]}" \
  --idle-close 9.5 14.5 --seconds 40

wait "$whole"
lab_check "5 GiB sparse file served whole ($(cat "$work/whole"))" \
  test "$(cat "$work/whole")" = "200 5368709120"
lab_check "after the stalled clients: no fd or thread left behind" back_to_idle

# The stop while 50 clients download the 5 GiB file and 20 ask small files:
# within the 500 ms grace plus a second, status 0, nothing written after it.
stop_under_load() { # how: q or TERM
  lab_exec lan "${load[@]}" load 198.18.3.1 8080 --readers 50 --read-path /sparse.bin --askers 20 \
    "${docs[@]}" --seconds 40 >"$work/load.$1" 2>&1 &
  local client=$!
  lab_phase "stop by $1 under load"
  lab_check "$1: clients loaded" lab_wait_line "$work/load.$1" 300 loaded
  local size
  size=$(stat -c %s "$work/out.$1")
  local asked
  asked=$(date +%s%N)
  if [ "$1" = q ]; then echo q >&3; else kill -TERM "$pid"; fi
  lab_check "$1 under load: exits within the grace period plus a second" lab_wait_exit "$pid" 15
  echo "$1: exited $((($(date +%s%N) - asked) / 1000000)) ms after the stop"
  wait "$pid"
  lab_check "$1 under load: exit status 0" test $? = 0
  lab_check "$1 under load: nothing written after the stop" \
    test "$(stat -c %s "$work/out.$1")" = "$size"
  lab_check "$1 under load: the last line is the prompt" \
    test "$(tail -n 1 "$work/out.$1")" = "Enter q to exit."
  lab_phase "stopped by $1"
  lab_check "$1 under load: every download ended by the server" lab_wait_exit "$client" 150
  wait "$client"
  lab_check "$1 under load: every whole answer was right" test $? = 0
  cat "$work/load.$1"
  lab_phase "clients ended"
}
lab_stop_runs ondrel "$work" start_web stop_under_load

lab_finish
