#!/usr/bin/env bash
# The status pages while two streams run from a lab sender that drops a
# datagram now and then: one channel in RTP, one plain. The LAN host reads
# /status.json and /metrics and checks the counts the relay received, the
# continuity errors and sequence gaps; a headless browser loads /status and
# must show a row for the stream. With STATUS_SCREENSHOT=FILE the browser
# also saves a phone-sized screenshot of the page there.
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
lab_need curl jq

lab_init rst
lab_relay_hosts

printf '%s\n' '#EXTM3U' '#EXTINF:1,News' 'udp://@239.1.2.1:5000' \
  '#EXTINF:2,Sport' 'udp://@239.1.2.2:5000' '#EXTINF:3,Films' 'udp://@239.1.2.3:5000' \
  >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u"
base=http://198.18.2.1:2901

clients=()
for group in 239.1.2.1 239.1.2.2; do
  lab_exec lan curl -s --max-time 60 -o /dev/null "$base/vkx/$group:5000" &
  clients+=($!)
done
streams() { lab_exec lan curl -s "$base/status.json" | jq '.streams | length'; }
lab_check "both streams listed" lab_wait_output 50 2 streams
sleep 0.5  # the receivers have joined

# RTP: 400 datagrams, 4 dropped (99, 199, 299, 399): 3 gaps the receiver
# can see, each also a continuity jump. Plain: 300, 3 dropped, 2 visible.
# The RTP sender also swaps 23 and 24 of every 25 (12 pairs: the fourth of
# each hundred holds the dropped one) and sends 39 of every 40 twice (10
# copies): the reorder window puts them back, so the continuity sees only
# the losses, and each gap is given up 50 ms on (3 lost).
lab_exec src "$ts_tool" send --format rtp --group 239.1.2.1 --port 5000 --rate 200 --count 400 \
  --drop-every 100 --swap-every 25 --repeat-every 40 &
sender=$!
lab_exec src "$ts_tool" send --format plain --group 239.1.2.2 --port 5000 --rate 200 --count 300 \
  --drop-every 100
wait $sender
sleep 0.5

lab_exec lan curl -s "$base/status.json" >"$work/status.json"
group() { jq -c --arg g "$1" '.groups[] | select(.group == $g) |
  [.datagrams, .bytes, .cc_errors, .rtp_gaps, .rtp_reordered, .rtp_duplicates, .rtp_lost,
  .receivers]' "$work/status.json"; }
lab_check "rtp group: datagrams, bytes, cc errors, rtp gaps, reordered, copies, lost" \
  test "$(group 239.1.2.1)" = "[406,$((406 * (12 + 7 * 188))),3,3,12,10,3,1]"
lab_check "plain group: datagrams, bytes, cc errors, nothing of RTP" \
  test "$(group 239.1.2.2)" = "[297,$((297 * 7 * 188)),2,0,0,0,0,1]"
lab_check "streams: titles, formats, bytes sent" test "$(jq -c '[.streams[] |
  [.title, .group, .format, .bytes_sent > 0, (.client | startswith("198.18.2.2:"))]] | sort' \
  "$work/status.json")" = '[["News","239.1.2.1","rtp",true,true],["Sport","239.1.2.2","plain",true,true]]'
lab_check "playlist: who watches" \
  test "$(jq -c '[.channels[] | [.number, .title, .watchers]]' "$work/status.json")" = \
  '[[1,"News",1],[2,"Sport",1],[3,"Films",0]]'
lab_check "event log lines" grep -q 'Received vkx request: /vkx/239.1.2.1:5000' "$work/status.json"

lab_exec lan curl -s "$base/metrics" >"$work/metrics"
for line in 'tessaran_streams 2' 'tessaran_clients 1' \
  'tessaran_group_datagrams_total{group="239.1.2.1",port="5000"} 406' \
  'tessaran_group_rtp_reordered_total{group="239.1.2.1",port="5000"} 12' \
  'tessaran_group_rtp_duplicates_total{group="239.1.2.1",port="5000"} 10' \
  'tessaran_group_rtp_lost_total{group="239.1.2.1",port="5000"} 3' \
  'tessaran_group_cc_errors_total{group="239.1.2.1",port="5000"} 3' \
  'tessaran_group_rtp_gaps_total{group="239.1.2.1",port="5000"} 3' \
  'tessaran_group_cc_errors_total{group="239.1.2.2",port="5000"} 2' \
  'tessaran_group_rtp_gaps_total{group="239.1.2.2",port="5000"} 0' \
  '# TYPE tessaran_group_bytes_total counter'; do
  lab_check "metrics: $line" grep -qxF "$line" "$work/metrics"
done
head=$(lab_exec lan curl -sI "$base/status" | tr -d '\r')
lab_check "HEAD /status: the page's head" grep -q '^Content-Type: text/html' <<<"$head"

if command -v chromium >/dev/null; then
  browse() { # chromium's last argument before the URL
    lab_exec lan timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic \
      --no-first-run --disable-background-networking --disable-component-update --disable-sync \
      --user-data-dir="$(mktemp -d -p "$work")" --window-size=412,915 "$1" "$base/status" \
      2>/dev/null
  }
  browse --dump-dom >"$work/dom.html"
  lab_check "browser: a row for each stream" test "$(grep -o 'id="stream-198.18.2.2:[0-9]*"' \
    "$work/dom.html" | wc -l)" = 2
  lab_check "browser: the channel playing" grep -q '<td class="on">News<br>' "$work/dom.html"
  if [ -n "${STATUS_SCREENSHOT:-}" ]; then
    browse --screenshot="$work/shot.png" >/dev/null && cp "$work/shot.png" "$STATUS_SCREENSHOT"
  fi
else
  echo "no chromium: the page is not checked in a browser"
fi
kill "${clients[@]}" 2>/dev/null
lab_finish
