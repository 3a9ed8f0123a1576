#!/usr/bin/env bash
# The relay's guide and playlist, in one run, inside a lab (relay host + LAN
# host): a generated XMLTV guide of 3000 channels x 8 days (about 300 MB)
# and a playlist of 200 of them, served by ondrel on the LAN host.
#   - guide load: the relay's "Loading guide." to "Guide loaded" (from a
#     file, the same file xmllint --stream --noout reads), wall and CPU;
#     and by URL from ondrel in the same runs, fetch included;
#   - memory: the relay's VmHWM once the guide is in, against its VmRSS
#     started the same way without --epg;
#   - wrk with keep-alive against the relay's /playlist.m3u and
#     /epg.xml.gz, and nginx serving the same bytes as static files.
# Prints Markdown tables. Needs root.
#
#   bench/guide.sh [build/release] [cache folder] [seconds per wrk row] [load runs]
#
# The guide and playlist are written to the cache folder (a temporary one
# when none is given) and used again from there when present.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cache=${2:-}
seconds=${3:-5}
runs=${4:-3}
relay_bin=$(realpath "$build/relay/app/tessaran")
web_bin=$(realpath "$build/web/ondrel")
for tool in wrk nginx curl xmllint python3; do
  command -v "$tool" >/dev/null ||
    { echo "$tool is missing (apt-get install wrk nginx curl libxml2-utils python3)"; exit 1; }
done

. tests/lab/lab.sh
lab_init bench
lab_host relay
lab_host lan
lab_link relay eth0 198.18.2.1/24 lan eth0 198.18.2.2/24
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers read it as their own user
trap 'lab_teardown; rm -rf "$work"' EXIT
if [ -z "$cache" ]; then cache=$work/data; fi
mkdir -p "$cache"
cache=$(realpath "$cache")

# 3000 channels, a programme every 30 minutes from 6 hours ago for 8 days,
# each with a title, sub-title, description and category; the playlist
# names every 15th channel by tvg-id.
if [ ! -s "$cache/guide.xml" ] || [ ! -s "$cache/playlist.m3u" ]; then
  echo "Writing the guide to $cache ..." >&2
  python3 - "$cache/guide.xml.part" "$cache/playlist.m3u" <<'PY'
import sys, time
out, playlist = sys.argv[1], sys.argv[2]
channels, days = 3000, 8
start = (int(time.time()) - 6 * 3600) // 1800 * 1800
slots = days * 48
times = [time.strftime('%Y%m%d%H%M%S +0000', time.gmtime(start + i * 1800)) for i in range(slots + 1)]
kinds = ['News', 'Sport', 'Movie', 'Series', 'Documentary', 'Children', 'Music', 'Weather']
with open(out, 'w', buffering=1 << 20) as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE tv SYSTEM "xmltv.dtd">\n'
            '<tv source-info-name="bench" generator-info-name="bench">\n')
    for c in range(channels):
        f.write(f'  <channel id="ch{c:04d}.bench">\n'
                f'    <display-name lang="en">Channel {c}</display-name>\n'
                f'    <icon src="http://logos.bench/ch{c:04d}.png"/>\n  </channel>\n')
    for c in range(channels):
        parts = []
        for i in range(slots):
            n = c * slots + i
            parts.append(
                f'  <programme start="{times[i]}" stop="{times[i + 1]}" channel="ch{c:04d}.bench">\n'
                f'    <title lang="en">Show {n}</title>\n'
                f'    <sub-title>Episode {i % 26 + 1} &amp; more</sub-title>\n'
                f'    <desc>{kinds[n % 8]}, part {i}.</desc>\n'
                f'    <category>{kinds[n % 8]}</category>\n  </programme>\n')
        f.write(''.join(parts))
    f.write('</tv>\n')
with open(playlist, 'w') as f:
    f.write('#EXTM3U\n')
    for k in range(200):
        c = k * (channels // 200) + 7
        f.write(f'#EXTINF:-1 tvg-id="ch{c:04d}.bench" tvg-name="Channel {c}" group-title="Bench",'
                f'Channel {c}\nrtp://@239.1.1.{k + 1}:1234\n')
PY
  mv "$cache/guide.xml.part" "$cache/guide.xml"
fi
guide=$cache/guide.xml

# ondrel serves the cache folder on the LAN host.
mkfifo "$work/web.in"
exec 4<>"$work/web.in"
ip netns exec "$(lab_ns lan)" "$web_bin" -q -li 198.18.2.2 -lp 8000 -sp "$cache/" \
  <"$work/web.in" >"$work/web.out" 2>&1 &
web_pid=$!
lab_wait_line "$work/web.out" 50 "Enter q to exit." || { echo "ondrel did not start"; exit 1; }
playlist_url=http://198.18.2.2:8000/playlist.m3u
guide_url=http://198.18.2.2:8000/guide.xml

hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
kb() { awk -v k="$2" '$1 == k ":" {print $2}' "/proc/$1/status"; }

# Starts the relay with ARGS, its console lines stamped with the wall clock
# in $work/relay.out; on "Guide loaded" the line is followed by the
# relay's CPU ticks so far. Waits for its prompt; sets relay_pid and
# relay_start.
start_relay() {
  rm -f "$work/relay.in" "$work/relay.pid"
  mkfifo "$work/relay.in"
  exec 3<>"$work/relay.in"
  : >"$work/relay.out"
  relay_start=$EPOCHREALTIME
  ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.2.1 \
    --max-connections-per-host 65535 "$@" \
    <"$work/relay.in" > >(
      while IFS= read -r line; do
        now=$EPOCHREALTIME
        printf '%s %s\n' "$now" "$line"
        if [[ $line == "Guide loaded"* ]]; then echo "$now CPU $(cpu_ticks "$(cat "$work/relay.pid")")"; fi
      done >"$work/relay.out"
    ) 2>&1 &
  relay_pid=$!
  echo "$relay_pid" >"$work/relay.pid"
  lab_wait_line_stamped 1200 "Enter q to exit." || { echo "the relay did not start"; cat "$work/relay.out"; exit 1; }
}
lab_wait_line_stamped() { # tenths line
  local i
  for ((i = 0; i < $1; i++)); do
    grep -q " $2\$" "$work/relay.out" && return 0
    sleep 0.1
  done
  return 1
}
stop_relay() {
  printf 'q' >&3
  lab_wait_exit "$relay_pid" 100 || kill "$relay_pid"
  wait "$relay_pid" 2>/dev/null || true
}
stamp_of() { awk -v l="$1" 'substr($0, index($0, " ") + 1) == l {print $1; exit}' "$work/relay.out"; }
loaded_stamp() { awk '/ Guide loaded: / {print $1; exit}' "$work/relay.out"; }
load_seconds() { awk -v a="$(stamp_of "Loading guide.")" -v b="$(loaded_stamp)" 'BEGIN { printf "%.3f", b - a }'; }
load_cpu() { awk -v hz="$hz" '$2 == "CPU" {printf "%.2f", $3 / hz; exit}' "$work/relay.out"; }

# Idle: the same relay without a guide.
start_relay -p "$playlist_url"
idle_rss=$(kb "$relay_pid" VmRSS)
stop_relay

# The file read once before the first timed run, so every run finds it in
# the page cache.
cat "$guide" >/dev/null
: >"$work/xmllint.times" >"$work/relay.times" >"$work/url.times"
for ((run = 1; run <= runs; run++)); do
  TIMEFORMAT='%R %U %S'
  { time xmllint --stream --noout "$guide"; } 2>>"$work/xmllint.times"
  start_relay -p "$playlist_url" --epg "$guide"
  echo "$(load_seconds) $(load_cpu) $(kb "$relay_pid" VmHWM)" >>"$work/relay.times"
  loaded_line=$(grep -o 'Guide loaded: .*' "$work/relay.out")
  stop_relay
  # By URL, as a relay fetches a provider's guide.
  start_relay -p "$playlist_url" --epg "$guide_url"
  echo "$(load_seconds) $(load_cpu)" >>"$work/url.times"
  stop_relay
done

# By URL, as a relay fetches a provider's guide; this relay stays for wrk.
fetch=$(lab_exec relay curl -s -o "$work/fetched.xml" -w '%{time_total}' "$guide_url")
rm -f "$work/fetched.xml"
start_relay -p "$playlist_url" --epg "$guide_url"
url_load=$(load_seconds)
url_cpu=$(load_cpu)
url_from_start=$(awk -v a="$relay_start" -v b="$(loaded_stamp)" 'BEGIN { printf "%.3f", b - a }')
url_ready=$(awk -v a="$(loaded_stamp)" -v b="$(stamp_of "Enter q to exit.")" 'BEGIN { printf "%.3f", b - a }')
url_hwm=$(kb "$relay_pid" VmHWM)
url_rss=$(kb "$relay_pid" VmRSS)
url_line=$(grep -o 'Guide loaded: .*' "$work/relay.out")

xl_wall=$(awk '{print $1}' "$work/xmllint.times" | median)
xl_cpu=$(awk '{print $2 + $3}' "$work/xmllint.times" | median)
rl_wall=$(awk '{print $1}' "$work/relay.times" | median)
rl_cpu=$(awk '{print $2}' "$work/relay.times" | median)
rl_hwm=$(awk '{print $3}' "$work/relay.times" | median)
ul_wall=$(awk '{print $1}' "$work/url.times" | median)
ul_cpu=$(awk '{print $2}' "$work/url.times" | median)

echo "Guide: $(stat -c %s "$guide") bytes, $(grep -c '^#EXTINF' "$cache/playlist.m3u") playlist channels; from a file: $loaded_line; by URL: $url_line"
echo
echo "| guide load ($runs runs, median) | xmllint --stream --noout | relay | relay / xmllint |"
echo "|---|---|---|---|"
echo "| wall s | $xl_wall | $rl_wall | $(ratio "$rl_wall" "$xl_wall") |"
echo "| CPU s (user + system) | $xl_cpu | $rl_cpu | $(ratio "$rl_cpu" "$xl_cpu") |"
echo "| each run, wall s | $(awk '{print $1}' "$work/xmllint.times" | paste -sd' ') | $(awk '{print $1}' "$work/relay.times" | paste -sd' ') | |"
echo "| by URL from ondrel: wall s | | $ul_wall | $(ratio "$ul_wall" "$xl_wall") |"
echo "| by URL: CPU s | | $ul_cpu | $(ratio "$ul_cpu" "$xl_cpu") |"
echo "| by URL: each run, wall s | | $(awk '{print $1}' "$work/url.times" | paste -sd' ') | |"
echo
echo "| guide by URL from ondrel | s |"
echo "|---|---|"
echo "| curl, the same URL to a file on the relay host | $fetch |"
echo "| relay, \"Loading guide.\" to \"Guide loaded\" (the last run: fetched and read at once) | $url_load (CPU $url_cpu) |"
echo "| relay, its start to \"Guide loaded\" | $url_from_start |"
echo "| relay, \"Guide loaded\" to its prompt (/epg.xml.gz and deflate precompressed) | $url_ready |"
echo
echo "| relay memory | KiB | above idle |"
echo "|---|---|---|"
echo "| idle: VmRSS at the prompt, no --epg | $idle_rss | |"
echo "| guide from a file: VmHWM at the prompt ($runs runs, median) | $rl_hwm | $(((rl_hwm - idle_rss) / 1024)) MiB |"
echo "| guide by URL: VmHWM at the prompt | $url_hwm | $(((url_hwm - idle_rss) / 1024)) MiB |"
echo "| guide by URL: VmRSS at the prompt | $url_rss | $(((url_rss - idle_rss) / 1024)) MiB |"

# nginx gets the very bytes the relay serves.
mkdir -p "$work/www" "$work/nginx"
for doc in playlist.m3u epg.xml.gz; do
  lab_exec lan curl -s -o "$work/www/$doc" "http://198.18.2.1:2901/$doc"
done
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  types { audio/x-mpegurl m3u; application/gzip gz; }
  keepalive_requests 1000000;
  server {
    listen 198.18.2.1:8080;
    root $work/www;
  }
}
CONF
ip netns exec "$(lab_ns relay)" nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
sleep 1
for doc in playlist.m3u epg.xml.gz; do
  cmp -s "$work/www/$doc" <(lab_exec lan curl -s "http://198.18.2.1:8080/$doc") ||
    { echo "nginx does not serve the same $doc"; exit 1; }
done

rps() {
  local threads=$(($1 < 2 ? 1 : 2))
  lab_exec lan wrk -t"$threads" -c"$1" -d"${seconds}s" "$2" | awk '/Requests\/sec/ {print $2}'
}
for doc in playlist.m3u epg.xml.gz; do
  echo
  echo "| /$doc ($(stat -c %s "$work/www/$doc") bytes), connections | relay requests/s | nginx requests/s | relay / nginx |"
  echo "|---|---|---|---|"
  for c in 1 16 64; do
    relay=$(rps "$c" "http://198.18.2.1:2901/$doc")
    nginx=$(rps "$c" "http://198.18.2.1:8080/$doc")
    echo "| $c | $relay | $nginx | $(ratio "$relay" "$nginx") |"
  done
done
stop_relay
printf 'q' >&4
kill -QUIT "$nginx_pid"
lab_wait_exit "$web_pid" 50 || true
lab_wait_exit "$nginx_pid" 50 || true
