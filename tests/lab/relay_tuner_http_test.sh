#!/usr/bin/env bash
# The network tuner over HTTP as media centers use it, from `lan`: the
# requests of Plex's tuner set-up in their order with the JSON types those
# clients need, ffprobe on a lineup URL (as Jellyfin probes a tuner
# channel), an unknown channel, every tuner in use, and a reloaded playlist
# changing the lineup at once.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
lab_need curl jq ffmpeg ffprobe

lab_init rth
lab_relay_hosts
lab_ffmpeg_channel 90 239.1.2.1:5000
playlist() { # the channels' lines, then a third when asked
  printf '%s\n' '#EXTM3U' '#EXTINF:1 tvg-chno="101",News' 'udp://@239.1.2.1:5000' \
    '#EXTINF:2,Sport' 'udp://@239.1.2.2:5000' "$@"
}
playlist >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u" --tuners 1
base=http://198.18.2.1:2901
get() { lab_exec lan curl -s --max-time 5 "$@"; }

get "$base/discover.json" >"$work/discover"
lab_check "discover.json: the device, its id and a numeric tuner count" jq -e \
  '.DeviceID | test("^[0-9A-F]{8}$")' "$work/discover"
lab_check "discover.json: URLs of the address reached, TunerCount 1" test \
  "$(jq -c '[.BaseURL, .LineupURL, .TunerCount, .ModelNumber]' "$work/discover")" = \
  "[\"$base\",\"$base/lineup.json\",1,\"HDTC-2US\"]"
lab_check "lineup_status.json: no scan running, one possible" test \
  "$(get "$base/lineup_status.json" | jq -c '[.ScanInProgress, .ScanPossible, .Source]')" = \
  '[0,1,"Cable"]'
lab_check "lineup.json?tuning: string numbers, tvg-chno first, the channel's number else" test \
  "$(get "$base/lineup.json?tuning" | jq -c 'map([.GuideNumber, .GuideName, .URL])')" = \
  "[[\"101\",\"News\",\"$base/auto/v101\"],[\"2\",\"Sport\",\"$base/auto/v2\"]]"
# With its empty body's length: a POST without one is refused, as always.
lab_check "POST lineup.post?scan=start: 200, empty" test \
  "$(get -d '' -o "$work/post" -w '%{http_code} %{size_download}' \
    "$base/lineup.post?scan=start&source=Cable")" = "200 0"

lab_exec lan timeout 20 ffprobe -v error -analyzeduration 3000000 -show_entries \
  stream=codec_name -of default=nw=1:nk=1 "$base/auto/v101?transcode=heavy" >"$work/probe" 2>&1
lab_check "ffprobe finds the channel's video and sound" \
  test "$(sort -u "$work/probe" | tr '\n' ' ')" = "mp2 mpeg2video "
lab_check "an unknown number: 404" test \
  "$(get -o /dev/null -w '%{http_code}' "$base/auto/v999")" = 404

# The one tuner held by a viewer: the next tuner stream is refused, a HEAD
# (no tuner taken) is not; once the viewer leaves the tuner is free again.
lab_exec lan curl -s --max-time 6 -o /dev/null "$base/auto/v101" &
viewer=$!
lab_check "the viewer's stream starts" \
  lab_wait_line "$work/out" 50 "Received vkx request: /auto/v101"
sleep 1
get -D "$work/busy" -o /dev/null "$base/auto/v2"
lab_check "every tuner in use: 503 with the tuner error line" \
  grep -q '^HTTP/1.1 503 Service Unavailable' "$work/busy"
lab_check "... X-HDHomeRun-Error: 805 All Tuners In Use" \
  grep -qi '^X-HDHomeRun-Error: 805 All Tuners In Use' "$work/busy"
lab_check "a HEAD meanwhile: 200" test \
  "$(get -I -o /dev/null -w '%{http_code}' "$base/auto/v101")" = 200
wait "$viewer"
lab_check "after the viewer: the tuner streams again" test \
  "$(get --max-time 3 -o /dev/null -w '%{http_code}' "$base/auto/v101")" = 200

playlist '#EXTINF:3,Films' 'udp://@239.1.2.3:5000' >"$work/next" && mv "$work/next" "$work/channels.m3u"
kill -HUP "$relay_pid"
lab_check "a reload: the lineup has the new channel at once" \
  lab_wait_line "$work/out" 50 "Playlist reloaded: 3 channels."
lab_check "... as lineup.json says" test "$(get "$base/lineup.json" | jq -r '.[2].GuideNumber')" = 3

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 50
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
lab_finish || { cat "$work/out"; exit 1; }
