#!/usr/bin/env bash
# Real sources and real players: ffmpeg on `src` sends a live test channel
# to multicast, as plain transport stream and as RTP; ffprobe and ffmpeg on
# `lan` play the relay's stream URLs (also by the /udp/ and /rtp/ paths of
# other relays' playlists) and decode them without an error. Every
# picture is a key frame, so a player joining at any point decodes cleanly.
# A third channel has a keyframe every 2 s: a client joining it while
# another watches starts at the program tables before the latest keyframe.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
lab_need ffmpeg ffprobe curl

lab_init rff
lab_relay_hosts

channel() { # muxer url [pictures per keyframe]
  ip netns exec "$(lab_ns src)" ffmpeg -nostdin -v error -re -t 60 \
    -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440 \
    -c:v mpeg2video -g "${3:-1}" -b:v 2M -c:a mp2 -f "$1" "$2" >/dev/null 2>&1 &
}
channel mpegts "udp://239.1.2.1:5000?pkt_size=1316&ttl=2"
channel rtp_mpegts "rtp://239.1.2.2:5000?ttl=2"
channel mpegts "udp://239.1.2.3:5000?pkt_size=1316&ttl=2" 50

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  --recv-timeout 5 <"$work/in" >"$work/out" 2>&1 &
relay_pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."

for c in plain:239.1.2.1 rtp:239.1.2.2; do
  name=${c%%:*} url=http://198.18.2.1:2901/vkx/${c#*:}:5000
  # A few seconds: on a loaded machine the channel's first datagrams may
  # take a while to come.
  lab_exec lan curl -s --max-time 5 -D "$work/$name.head" -o "$work/$name.ts" "$url"
  lab_check "$name: curl sees the bare 200 head" \
    cmp -s "$work/$name.head" <(printf 'HTTP/1.1 200 OK\r\n\r\n')
  lab_check "$name: the body is transport stream packets" \
    test "$(head -c 1 "$work/$name.ts" | od -An -tx1 | tr -d ' ')" = 47
  lab_exec lan timeout 20 ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 "$url" \
    >"$work/$name.probe" 2>"$work/$name.probe-err"
  lab_check "$name: ffprobe finds video and audio" \
    test "$(sort -u "$work/$name.probe" | tr '\n' ' ')" = "mp2 mpeg2video "
  lab_exec lan timeout 30 ffmpeg -nostdin -v error -i "$url" -t 5 -f null - \
    >/dev/null 2>"$work/$name.decode"
  lab_check "$name: ffmpeg decodes 5 s" test $? = 0
  lab_check "$name: without a decoding error" test ! -s "$work/$name.decode"
  cat "$work/$name.probe-err" "$work/$name.decode"
done

# Playlists written for other relays name the same streams /udp/ and /rtp/.
for path in udp/239.1.2.1 rtp/239.1.2.2; do
  lab_exec lan timeout 20 ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 \
    "http://198.18.2.1:2901/$path:5000" >"$work/alias.probe" 2>&1
  lab_check "/$path: ffprobe finds video and audio" \
    test "$(sort -u "$work/alias.probe" | tr '\n' ' ')" = "mp2 mpeg2video "
done

# Joining a watched channel: the first packet is the PAT, the first
# picture decoded is a keyframe, and a second's fetch holds pictures
# whenever it starts (without the start point, half of such joins would
# see no keyframe within the second).
url=http://198.18.2.1:2901/vkx/239.1.2.3:5000
lab_exec lan curl -s --max-time 25 -o /dev/null "$url" &
watcher=$!
sleep 3
for join in 1 2 3; do
  lab_exec lan curl -s --max-time 1 -o "$work/join$join.ts" "$url"
  lab_check "join $join: the first packet is the PAT" \
    test "$(head -c 3 "$work/join$join.ts" | od -An -tx1 | tr -d ' ')" = 474000
  # One line per picture, 1 for a keyframe.
  lab_exec lan ffprobe -v error -select_streams v -show_entries frame=key_frame \
    -of csv=p=0 "$work/join$join.ts" 2>/dev/null | grep -o '^[01]' >"$work/join$join.frames"
  lab_check "join $join: the first picture is a keyframe, more follow" \
    test "$(head -1 "$work/join$join.frames")" = 1 -a "$(wc -l <"$work/join$join.frames")" -ge 10
  sleep 0.$((join * 3))
done
kill "$watcher" 2>/dev/null

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 25
lab_finish
