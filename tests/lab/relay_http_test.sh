#!/usr/bin/env bash
# The relay's HTTP side on a lab host, with real clients on a LAN host: the
# built-in documents (plain, gzip, deflate, HTTP/1.0, keep-alive reuse), the
# error rows, the stream-form log, requests carrying markup, bytes that are
# not UTF-8 and terminal controls (the log, /status.json and the console stay
# clean UTF-8), and the stop by "/command/quit" while a kept-alive connection
# is open.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
lab_need curl jq iconv

lab_init rht
lab_relay_hosts

base=http://198.18.2.1:2901
token=$(strings "$relay_bin" | grep -m1 -xE '[0-9A-F]{32}')
lan_curl() { lab_exec lan curl -s --max-time 5 "$@"; }
status_of() { lan_curl -o /dev/null -w '%{http_code}' "$@"; }

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  <"$work/in" >"$work/out" 2>&1 &
relay_pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
lab_check "start line" grep -qxF "Starting http server." "$work/out"

lan_curl "$base/" >"$work/root"
lan_curl "$base/description.xml" >"$work/description"
lab_check "/ and /description.xml are the same document" cmp "$work/root" "$work/description"
lab_check "the description starts with the XML declaration" grep -q '^<?xml' "$work/root"
lab_check "/cds.xml is 5399 bytes" test "$(lan_curl "$base/cds.xml" | wc -c)" = 5399
lab_check "/cm.xml is 5002 bytes" test "$(lan_curl "$base/cm.xml" | wc -c)" = 5002

lan_curl "$base/cds.xml" >"$work/cds"
for coding in gzip deflate; do
  lan_curl -D "$work/head-$coding" -H "Accept-Encoding: $coding" "$base/cds.xml" >"$work/packed-$coding"
  lab_check "$coding answer names its coding" grep -qi "^Content-Encoding: $coding" "$work/head-$coding"
  lab_check "$coding Content-Length is the packed size" \
    grep -qi "^Content-Length: $(wc -c <"$work/packed-$coding")" "$work/head-$coding"
done
lab_check "gzip body decodes to the document" cmp <(gzip -dc "$work/packed-gzip") "$work/cds"
lan_curl --compressed "$base/cds.xml" >"$work/decoded"
lab_check "curl --compressed gets the same document" cmp "$work/decoded" "$work/cds"
lab_check "gzip form identical when asked twice" \
  cmp "$work/packed-gzip" <(lan_curl -H "Accept-Encoding: gzip" "$base/cds.xml")

lab_check "HTTP/1.0 status line" \
  test "$(lan_curl --http1.0 -D - -o /dev/null "$base/cm.xml" | head -n 1)" = $'HTTP/1.0 200 OK\r'
lan_curl -v "$base/cm.xml" "$base/cds.xml" -o /dev/null -o /dev/null 2>"$work/reuse"
lab_check "keep-alive: the second request reuses the connection" grep -qi "re-using" "$work/reuse"

lab_check "unknown target gets 400" test "$(status_of "$base/nothing")" = 400
lab_check "upper-case document path gets 400" test "$(status_of "$base/CDS.XML")" = 400
lab_check "document with a query gets 400" test "$(status_of "$base/cds.xml?x=1")" = 400
lab_check "bad stream address gets 400" test "$(status_of "$base/vkx/10.0.0.1:5002")" = 400
lab_check "no acceptable coding gets 406" \
  test "$(status_of -H 'Accept-Encoding: identity' "$base/nothing")" = 406

# Stream requests for silent groups: no answer while the relay waits for data.
lan_curl --max-time 1 "$base/vkx/239.1.2.3:1234" >/dev/null
lab_check "stream request waits for data" test $? = 28
lan_curl --max-time 1 "$base/$token/239.1.2.4:5678" >/dev/null
lan_curl "$base/command/log" >"$work/log"
lab_check "log has the /vkx/ request" \
  grep -qE "^[0-9]{2}:[0-9]{2}:[0-9]{2} Received vkx request: /vkx/239.1.2.3:1234"$'\r$' "$work/log"
lab_check "log has the token-form request" \
  grep -qF "Received vkx request: /$token/239.1.2.4:5678" "$work/log"
lab_check "console has the stream line" \
  grep -qxF "Received vkx request: /vkx/239.1.2.3:1234" "$work/out"

# Stream requests whose queries carry markup, bytes that are not UTF-8 and a
# terminal's title and clear-screen sequences, sent as raw bytes (curl would
# refuse some of them).
hostile=(
  '<script>alert(document.domain)</script>'
  $'\xff\xfe'
  $'\x1b]0;owned\x07\x1b[2J'
)
for query in "${hostile[@]}"; do
  lab_exec lan bash -c 'exec 5<>/dev/tcp/198.18.2.1/2901
    printf "GET /vkx/239.1.2.5:5000?%s HTTP/1.1\r\n\r\n" "$1" >&5; timeout 1 cat <&5 >/dev/null' \
    - "$query"
done
lan_curl -D "$work/log-head" "$base/command/log" >"$work/log"
tr -d '\r' <"$work/log-head" >"$work/log-fields"
lab_check "log is plain text" grep -qxi 'Content-Type: text/plain; charset=utf-8' "$work/log-fields"
lab_check "log says nosniff" grep -qxi 'X-Content-Type-Options: nosniff' "$work/log-fields"
lab_check "log keeps the markup line as sent" \
  grep -qF 'Received vkx request: /vkx/239.1.2.5:5000?<script>alert(document.domain)</script>' \
  "$work/log"
lab_check "log has the bytes that are not UTF-8 replaced" \
  grep -qF $'Received vkx request: /vkx/239.1.2.5:5000?\xef\xbf\xbd\xef\xbf\xbd\r' "$work/log"
lab_check "log has the terminal controls dropped" \
  grep -qF $'Received vkx request: /vkx/239.1.2.5:5000?]0;owned[2J\r' "$work/log"
# Valid UTF-8 with no control character but the line ends.
clean_utf8() {
  iconv -f UTF-8 -t UTF-8 "$1" >/dev/null && ! tr -d '\r\n' <"$1" | LC_ALL=C grep -q '[[:cntrl:]]'
}
lab_check "log is clean UTF-8" clean_utf8 "$work/log"
lan_curl "$base/status.json" >"$work/status.json"
json_with_log() { jq -e '.log | length >= 3' "$1" >/dev/null; }
lab_check "/status.json parses" json_with_log "$work/status.json"
lab_check "/status.json is valid UTF-8" iconv -f UTF-8 -t UTF-8 -o /dev/null "$work/status.json"
lab_check "console has the stream lines" \
  test "$(grep -c '^Received vkx request: /vkx/239.1.2.5:5000?' "$work/out")" = 3
lab_check "console is clean UTF-8" clean_utf8 "$work/out"

# A kept-alive connection stays open until the stop ends it.
lab_exec lan bash -c 'exec 5<>/dev/tcp/198.18.2.1/2901
  printf "GET /cm.xml HTTP/1.1\r\n\r\n" >&5; timeout 10 cat <&5 >/dev/null; echo closed' \
  >"$work/kept" &
kept_pid=$!
sleep 0.5
lab_check "kept connection open before the stop" test ! -s "$work/kept"
asked=$(date +%s%N)
quit_reply=$(lab_exec lan bash -c 'exec 5<>/dev/tcp/198.18.2.1/2901
  printf "GET /command/quit HTTP/1.1\r\n\r\n" >&5; timeout 5 cat <&5 | wc -c')
lab_check "quit answers no bytes" test "$quit_reply" = 0
lab_check "relay stops within its grace period plus a second" lab_wait_exit "$relay_pid" 20
echo "exited $((($(date +%s%N) - asked) / 1000000)) ms after the quit request"
wait "$relay_pid"
lab_check "exit status 0 after quit" test $? = 0
wait "$kept_pid"
lab_check "the stop closed the kept connection" grep -qx closed "$work/kept"
lab_check "stop lines" diff <(printf '%s\n' "Stopping http server" "Will exit.") <(tail -n 2 "$work/out")

lab_finish
