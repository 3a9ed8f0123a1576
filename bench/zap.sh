#!/usr/bin/env bash
# Channel change time in a lab (src -- relay -- lan): how long a new client of
# a channel the relay already receives waits for its first picture. ffmpeg
# on `src` sends an encoded test channel (H.264 with a key frame every 2 s,
# no B-frames, MP2 audio, in 1316-byte datagrams); one curl on `lan` keeps
# the channel received all along. Then, at random points of the key frame
# interval (0.3 to 1.7 s apart), a new client on `lan` (bench/zap_client.py)
# asks for the same stream and times, from the start of its request, the
# first byte of the answer and the first picture an ffmpeg decoder gets out
# of the body. Prints a Markdown table of median, min and max. Needs root,
# ffmpeg with libx264, curl and python3.
#
#   bench/zap.sh [relay binary, default BUILD/relay/app/tessaran] [build dir, default build/release]
#
# ZAP_JOINS (default 10, at most 50) sets the number of timed joins.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${2:-build/release}
relay_bin=${1:-$build/relay/app/tessaran}
joins=${ZAP_JOINS:-10}
for tool in "$relay_bin" ffmpeg curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 1; }
done
if ! [[ "$joins" =~ ^[0-9]+$ ]] || [ "$joins" -lt 1 ] || [ "$joins" -gt 50 ]; then
  echo "ZAP_JOINS: 1 to 50"
  exit 1
fi

gop_frames=50 fps=25
group=239.1.3.1 port=5000
# Long enough for the warm-up and every join at its slowest.
channel_seconds=$((20 + joins * 12))

. tests/lab/lab.sh
lab_init bzp
lab_relay_hosts
relay_ns=$(lab_ns relay) lan_ns=$(lab_ns lan)
url_path=/vkx/$group:$port

# The channel: a moving test card and a tone, a key frame every 2 s exactly
# (no scene-cut key frames), paced in real time.
ip netns exec "$(lab_ns src)" ffmpeg -nostdin -v error -re \
  -f lavfi -i "testsrc2=size=640x360:rate=$fps" -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t "$channel_seconds" -c:v libx264 -preset veryfast -tune zerolatency -pix_fmt yuv420p \
  -g "$gop_frames" -keyint_min "$gop_frames" -sc_threshold 0 -bf 0 -b:v 2M -maxrate 2M -bufsize 2M \
  -c:a mp2 -b:a 128k -f mpegts "udp://$group:$port?pkt_size=1316&ttl=2" >"$work/channel" 2>&1 &
channel=$!

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$relay_ns" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  <"$work/in" >"$work/out" 2>&1 &
relay=$!
lab_wait_line "$work/out" 50 "Enter q to exit." || { echo "relay did not start" >&2; exit 1; }

# The client that keeps the channel received; it must get bytes all along.
ip netns exec "$lan_ns" curl -s -o /dev/null --max-time "$channel_seconds" \
  "http://198.18.2.1:2901$url_path" &
steady=$!
for ((i = 0; i < 50; i++)); do
  [ "$(lab_igmp_users relay eth0 "$group")" != 0 ] && break
  sleep 0.1
done
[ "$(lab_igmp_users relay eth0 "$group")" != 0 ] || { echo "the relay did not join $group" >&2; exit 1; }
# More than a key frame interval received before the first join.
sleep 3
kill -0 "$channel" 2>/dev/null || { echo "the channel did not start:" >&2; cat "$work/channel" >&2; exit 1; }

echo "$joins joins, ${relay_bin}" >&2
: >"$work/times"
for ((i = 0; i < joins; i++)); do
  sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", 0.3 + 1.4 * r / 32767 }')"
  if ip netns exec "$lan_ns" timeout 20 python3 bench/zap_client.py 198.18.2.1 2901 "$url_path" 10 \
    >>"$work/times"; then
    echo "  join $((i + 1)): $(tail -1 "$work/times")" >&2
  else
    echo "  join $((i + 1)): no picture within 10 s" >&2
  fi
done

# Bytes the steady client got (the only connection left by now).
steady_bytes=$(ip netns exec "$lan_ns" ss -Hti state established '( dport = :2901 )' |
  grep -o 'bytes_received:[0-9]*' | cut -d: -f2 | head -1)
kill "$steady" 2>/dev/null || true
wait "$steady" 2>/dev/null || true
echo q >&3
lab_wait_exit "$relay" 100 || kill "$relay" 2>/dev/null || true
kill "$channel" 2>/dev/null || true
wait "$channel" 2>/dev/null || true

got=$(wc -l <"$work/times")
# Median (the lower middle one for an even count), min and max of column $1, in ms.
stats() {
  sort -n -k "$1" "$work/times" | awk -v k="$1" '{ v[NR] = $k * 1000 }
    END { printf "%.0f ms | %.0f ms | %.0f ms", v[int((NR + 1) / 2)], v[1], v[NR] }'
}
echo
echo "Joins of a running channel: $got of $joins got a picture; key frame every" \
  "$((gop_frames / fps)) s; the steady client had received ${steady_bytes:-no} bytes."
echo
echo "| from the request to | median | min | max |"
echo "|---|---|---|---|"
if [ "$got" -gt 0 ]; then
  echo "| first byte | $(stats 1) |"
  echo "| first decoded picture | $(stats 2) |"
fi
[ "$got" = "$joins" ]
