#!/usr/bin/env bash
# The programme guide as apps fetch it: the relay started with a playlist
# and a gzip XMLTV guide serves /epg.xml that Debian's XMLTV validator
# accepts, /epg.xml.gz that decodes to the same bytes, 304 for a poll with
# the Last-Modified it was given, and heads for HEAD; the relay's playlist
# names the guide. A guide that cannot be read is one line at start, and the
# relay runs on without one (404).
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
for tool in curl gzip tv_validate_file; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is missing (xmltv-util for tv_validate_file)"; exit 77; }
done

lab_init rgd
lab_relay_hosts

# News is matched by its title, Sport by its tvg-id alone.
printf '%s\n' '#EXTM3U' '#EXTINF:1,News' 'udp://@239.1.2.1:5000' \
  '#EXTINF:2 tvg-id="sport.lab",Sport 1' 'udp://@239.1.2.2:5000' >"$work/channels.m3u"

# An hour-long programme on air now on each channel, and one every hour
# from 10 hours back to 10 days ahead. The relay keeps those that end after
# 6 hours ago and start before 8 days ahead: h = -6..192, with half an hour
# to spare on either edge.
xmltv_time() { date -u -d "@$1" '+%Y%m%d%H%M%S +0000'; }
now=$(date +%s)
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<!DOCTYPE tv SYSTEM "xmltv.dtd">'
  echo '<tv source-info-name="lab">'
  echo '<channel id="news.lab"><display-name>NEWS</display-name></channel>'
  echo '<channel id="sport.lab"><display-name>Sport</display-name><icon src="http://198.18.2.9/s.png"/></channel>'
  echo '<channel id="other.lab"><display-name>Other</display-name></channel>'
  for ((h = -10; h < 240; h++)); do
    start=$((now + h * 3600 - 1800))
    for id in news.lab sport.lab other.lab; do
      echo "<programme start=\"$(xmltv_time $start)\" stop=\"$(xmltv_time $((start + 3600)))\" channel=\"$id\"><title lang=\"en\">$id at $h &amp; more</title><desc lang=\"en\">Line one.
Line two.</desc></programme>"
    done
  done
  echo '</tv>'
} | gzip -9 >"$work/guide.xml.gz"

lab_start_relay "$relay_bin" -p "$work/channels.m3u" --epg "$work/guide.xml.gz"
lab_check "the guide loads: two channels, 2 x 199 programmes" \
  grep -qxF "Guide loaded: 2 channels, 398 programmes." "$work/out"

base=http://198.18.2.1:2901
get() { # name curl-args...: the body to $work/NAME, the head to $work/NAME.head
  local name=$1
  shift
  lab_exec lan curl -s --max-time 5 -D "$work/$name.head" -o "$work/$name" "$@"
}
header() { grep -i "^$2:" "$work/$1.head" | tr -d '\r' | cut -d' ' -f2-; }
status() { head -n1 "$work/$1.head" | tr -d '\r'; }

get xml "$base/epg.xml"
lab_check "/epg.xml: 200" test "$(status xml)" = "HTTP/1.1 200 OK"
lab_check "/epg.xml: XML type" test "$(header xml Content-Type)" = "application/xml; charset=UTF-8"
lab_check "/epg.xml passes the XMLTV validator, offline" \
  env XMLTV_SUPPLEMENT=/usr/share/xmltv timeout 120 unshare -n tv_validate_file "$work/xml"
lab_check "the channels matched by name and by tvg-id keep the guide's ids; the other is gone" \
  test "$(grep -o '<channel id="[^"]*"' "$work/xml" | tr '\n' '|')" = \
  '<channel id="news.lab"|<channel id="sport.lab"|'
lab_check "text keeps its escapes and line breaks" \
  grep -qxF 'Line two.</desc></programme>' "$work/xml"

get gz "$base/epg.xml.gz"
lab_check "/epg.xml.gz: gzip type" test "$(header gz Content-Type)" = "application/gzip"
lab_check "/epg.xml.gz decodes to /epg.xml" cmp -s <(gzip -dc "$work/gz") "$work/xml"
get coded "$base/epg.xml" -H "Accept-Encoding: gzip"
lab_check "/epg.xml gzip-coded for a client that accepts it" \
  test "$(header coded Content-Encoding):$(cmp -s <(gzip -dc "$work/coded") "$work/xml" && echo same)" = "gzip:same"

modified=$(header xml Last-Modified)
lab_check "Last-Modified is an HTTP-date" grep -qE '^[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT$' <<<"$modified"
lab_check "both forms have the same Last-Modified" test "$(header gz Last-Modified)" = "$modified"
for url in /epg.xml /epg.xml.gz; do
  get poll "$base$url" -H "If-Modified-Since: $modified"
  lab_check "$url polled with its Last-Modified: 304, no body" \
    test "$(status poll):$(cat "$work/poll" 2>/dev/null | wc -c)" = "HTTP/1.1 304 Not Modified:0"
done
get later "$base/epg.xml" -H "If-Modified-Since: $(date -u -d '+1 day' '+%a, %d %b %Y %H:%M:%S GMT')"
lab_check "a later If-Modified-Since: 304" test "$(status later)" = "HTTP/1.1 304 Not Modified"
get earlier "$base/epg.xml" -H "If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT"
lab_check "an earlier If-Modified-Since: the guide" cmp -s "$work/earlier" "$work/xml"
# Two on one connection: a body after the first head would spoil the second.
get head "$base/epg.xml.gz" "$base/epg.xml" -I
lab_check "HEAD: the heads with the lengths, no body" \
  test "$(grep -ci '^content-length' "$work/head.head")" = 2 -a \
  "$(tr -d '\r' <"$work/head.head" | grep -c '^HTTP/1.1 200 OK$')" = 2 -a \
  "$(header head Content-Length | head -n1)" = "$(stat -c %s "$work/gz")"

get playlist "$base/playlist.m3u"
lab_check "the relay's playlist names the guide" \
  test "$(head -n1 "$work/playlist")" = '#EXTM3U x-tvg-url="http://198.18.2.1:2901/epg.xml.gz"'

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 40

# A guide cut short: one line, and the relay serves on without a guide.
head -c $(($(stat -c %s "$work/guide.xml.gz") / 2)) "$work/guide.xml.gz" >"$work/cut.xml"
lab_start_relay "$relay_bin" -p "$work/channels.m3u" --epg "$work/cut.xml"
lab_check "a truncated gzip guide: one line" \
  grep -qxF "Guide load failed: truncated gzip" "$work/out"
get missing "$base/epg.xml"
lab_check "no guide: 404" test "$(status missing)" = "HTTP/1.1 404 Not Found"
get playlist "$base/playlist.m3u"
lab_check "no guide: the playlist names none" test "$(head -n1 "$work/playlist")" = '#EXTM3U'
get description "$base/description.xml"
lab_check "the relay answers on" test "$(status description)" = "HTTP/1.1 200 OK"
echo q >&3
lab_check "relay stops again" lab_wait_exit "$relay_pid" 40
lab_finish || { cat "$work/out"; exit 1; }
