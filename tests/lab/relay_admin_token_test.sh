#!/usr/bin/env bash
# A relay for a shared network, from two namespace hosts: `adm` (198.18.3.2,
# the one --admin-allow names) and `lan` (198.18.2.2). The commands and
# status pages answer adm alone, 403 to lan (a refused quit leaves the relay
# running); with --token every stream URL form, the playlist and the guide
# want the token (403 without it or with a wrong one, by curl), and VLC plays
# a /playlist.m3u entry and a Browse URL, which carry it; --max-clients 2
# refuses a third stream, a tuner one too, with 503 and Retry-After until
# one ends. The status pages count each refusal by its reason.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
. "$(dirname "$0")/lab_players.sh"
lab_need curl jq ffmpeg ffprobe cvlc setpriv

lab_init rat
lab_relay_hosts
lab_host adm
lab_link relay eth2 198.18.3.1/24 adm eth0 198.18.3.2/24
ip -n "$(lab_ns adm)" route add default via 198.18.3.1
lab_players_init

lab_ffmpeg_channel 120 239.1.2.1:5000
token='Lab-s3cret_0.9~x'
printf '%s\n' '#EXTM3U' '#EXTINF:1 tvg-id="news",News' 'udp://@239.1.2.1:5000' >"$work/channels.m3u"
xmltv_time() { date -u -d "$1" '+%Y%m%d%H%M%S +0000'; }
printf '%s' '<?xml version="1.0" encoding="UTF-8"?><tv><channel id="news"><display-name>News' \
  '</display-name></channel><programme start="'"$(xmltv_time '-1 hour')"'" stop="' \
  "$(xmltv_time '+1 hour')"'" channel="news"><title>Lab news</title></programme></tv>' \
  >"$work/guide.xml"
lab_start_relay "$relay_bin" -p "$work/channels.m3u" --epg "$work/guide.xml" \
  --admin-allow 198.18.3.2 --token "$token" --max-clients 2
base=http://198.18.2.1:2901

# code HOST [CURL OPTION...] URL: the status code HOST gets (000: none).
code() {
  local host=$1
  shift
  lab_exec "$host" curl -s --max-time 5 -o /dev/null -w '%{http_code}' "$@"
}
refused_admin=0 refused_token=0 refused_clients=0

lab_phase "commands and status pages: the admin's host alone"
for path in /command/log /status /status.json /metrics; do
  lab_check "GET $path from adm: 200" test "$(code adm "$base$path")" = 200
  lab_check "GET $path from lan: 403" test "$(code lan "$base$path")" = 403
  lab_check "HEAD $path from lan: 403" test "$(code lan -I "$base$path")" = 403
  refused_admin=$((refused_admin + 2))
done
lab_check "quit from lan: 403" test "$(code lan "$base/command/quit")" = 403
refused_admin=$((refused_admin + 1))
sleep 1
lab_check "the refused quit leaves the relay running" kill -0 "$relay_pid"
lab_check "... and answering" test "$(code adm "$base/status")" = 200

lab_phase "token: missing, wrong, right on each URL form"
streams() { lab_exec adm curl -s --max-time 5 "$base/status.json" | jq '.streams | length'; }
forms=(/vkx/239.1.2.1:5000 /udp/239.1.2.1:5000 /rtp/239.1.2.1:5000 /udp/198.18.1.1@239.1.2.1:5000
  /rtp/198.18.1.1@239.1.2.1:5000 /auto/v1 /8E4B2A7C19D54F3EA06B7C2D91E58F04/239.1.2.1:5000
  /playlist.m3u /epg.xml /epg.xml.gz)
for form in "${forms[@]}"; do
  lab_check "GET $form without the token: 403" test "$(code lan "$base$form")" = 403
  lab_check "GET $form?token=wrong: 403" test "$(code lan "$base$form?token=wrong")" = 403
  lab_check "HEAD $form with a wrong Bearer line: 403" \
    test "$(code lan -I -H "Authorization: Bearer ${token}x" "$base$form")" = 403
  refused_token=$((refused_token + 3))
  lab_check "HEAD $form?token=: 200" test "$(code lan -I "$base$form?token=$token")" = 200
  # A stream's GET runs until curl gives up: its head and some bytes.
  lab_wait_output 50 0 streams >/dev/null
  got=$(lab_exec lan curl -s --max-time 2 -o "$work/body" -w '%{http_code}' \
    "$base$form?x=1&token=$token")
  lab_check "GET $form?x=1&token=: 200 with a body ($got, $(lab_size "$work/body") bytes)" \
    test "$got" = 200 -a "$(lab_size "$work/body")" -gt 0
done
lab_wait_output 50 0 streams >/dev/null
lab_check "GET with the Bearer line: 200" \
  test "$(code lan -H "Authorization: Bearer $token" "$base/playlist.m3u")" = 200
lab_check "the log leaves the token out" \
  grep -qxF "Received vkx request: /vkx/239.1.2.1:5000?x=1&token=..." "$work/out"
lab_check "... everywhere" bash -c "! grep -qF -- '$token' '$work/out'"
lab_check "descriptions stay open" test "$(code lan "$base/description.xml")" = 200
lab_check "the tuner's lineup stays open, its URL with the token" test \
  "$(lab_exec lan curl -s --max-time 5 "$base/lineup.json" | jq -r '.[0].URL')" = \
  "$base/auto/v1?token=$token"

lab_phase "VLC plays a /playlist.m3u entry and a Browse URL, with the token"
mark=$(wc -l <"$work/out")
vlc playlist "$base/playlist.m3u?token=$token" --play-and-stop
lab_check "VLC asked for the entry with the token" \
  test "$(tail -n +"$((mark + 1))" "$work/out" | sed -n 's/^Received vkx request: //p' | head -n 1)" = \
  "/vkx/239.1.2.1:5000?token=..."
res=$(lab_browse_urls "$base" gr1 | head -n 1)
lab_check "the Browse URL carries the token ($res)" \
  test "$res" = "$base/8E4B2A7C19D54F3EA06B7C2D91E58F04/239.1.2.1:5000?token=$token"
[ -n "$res" ] && vlc browsed "$res"

lab_phase "--max-clients 2"
lab_wait_output 50 0 streams >/dev/null
viewers=()
for i in 1 2; do
  lab_exec lan curl -s --max-time 6 -o /dev/null "$base/vkx/239.1.2.1:5000?token=$token" &
  viewers+=($!)
done
lab_check "two streams run" lab_wait_output 50 2 streams
lab_exec lan curl -s --max-time 5 -D "$work/busy" -o /dev/null "$base/udp/239.1.2.1:5000?token=$token"
lab_check "a third: 503" grep -q '^HTTP/1.1 503 Service Unavailable' "$work/busy"
lab_check "... with Retry-After: 5" grep -qx $'Retry-After: 5\r' "$work/busy"
lab_check "a tuner stream: 503" test "$(code lan "$base/auto/v1?token=$token")" = 503
refused_clients=2
lab_check "a HEAD meanwhile: 200" test "$(code lan -I "$base/vkx/239.1.2.1:5000?token=$token")" = 200
wait "${viewers[@]}"
lab_check "the streams end" lab_wait_output 50 0 streams
got=$(lab_exec lan curl -s --max-time 2 -o /dev/null -w '%{http_code}' "$base/auto/v1?token=$token")
lab_check "then a stream runs again ($got)" test "$got" = 200

lab_phase "refusals on the status pages"
lab_wait_output 50 0 streams >/dev/null
lab_check "status.json: admin, token, max_clients" test \
  "$(lab_exec adm curl -s "$base/status.json" | jq -c '.refusals | [.admin, .token, .max_clients]')" = \
  "[$refused_admin,$refused_token,$refused_clients]"
lab_exec adm curl -s "$base/metrics" >"$work/metrics"
for line in "tessaran_refusals_total{reason=\"admin\"} $refused_admin" \
  "tessaran_refusals_total{reason=\"token\"} $refused_token" \
  "tessaran_refusals_total{reason=\"max_clients\"} $refused_clients" \
  'tessaran_refusals_total{reason="allow_list"} 0'; do
  lab_check "metrics: $line" grep -qxF "$line" "$work/metrics"
done
lab_check "/status: the token row" grep -qF "<tr id=\"refused-token\"><td>stream or list without the token</td><td class=\"n bad\">$refused_token</td>" \
  <(lab_exec adm curl -s "$base/status")

lab_phase "quit from the admin's host"
code adm "$base/command/quit" >/dev/null
lab_check "the relay stops" lab_wait_exit "$relay_pid" 50
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
lab_finish || { tail -n 30 "$work/out" "$work"/vlc/*.log; exit 1; }
