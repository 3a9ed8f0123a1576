#!/usr/bin/env bash
# The playlist and the guide by URL, with ondrel as the provider on the
# relay's host: the relay fetches both at start (the guide first as the
# playlist's header names it, then as --epg names it) and serves the channels
# (Browse and /status.json) and the guide reduced to them (/epg.xml), keeping
# a copy of each in --cache. With ondrel gone, a restart says each fetch
# failed and starts with the cached copies.
set -u
relay_bin=$1
web_bin=$2
. "$(dirname "$0")/lab.sh"
lab_need curl jq

lab_init rft
lab_relay_hosts
mkdir -p "$work/www" "$work/cache"
# The header names the guide, as providers' playlists do.
printf '%s\n' '#EXTM3U x-tvg-url="http://127.0.0.1:8080/guide.xml,http://127.0.0.1:8080/other.xml"' \
  '#EXTINF:1,News' 'udp://@239.1.2.1:5000' \
  '#EXTINF:2,Sport' 'udp://@239.1.2.2:5000' >"$work/www/list.m3u"
url=http://127.0.0.1:8080/list.m3u
# A gzip guide under a name that does not say so: told apart by content.
# One channel of the playlist (by display-name) and one that is not in it.
now=$(date -u +%Y%m%d%H0000)
later=$(date -u -d '+2 hours' +%Y%m%d%H0000)
printf '%s' '<?xml version="1.0" encoding="UTF-8"?><tv>' \
  '<channel id="news.tv"><display-name>News</display-name></channel>' \
  '<channel id="other.tv"><display-name>Other</display-name></channel>' \
  "<programme start=\"$now +0000\" stop=\"$later +0000\" channel=\"news.tv\"><title>Headlines</title></programme>" \
  "<programme start=\"$now +0000\" stop=\"$later +0000\" channel=\"other.tv\"><title>Elsewhere</title></programme>" \
  '</tv>' | gzip >"$work/www/guide.xml"
guide=http://127.0.0.1:8080/guide.xml
base=http://198.18.2.1:2901

ip netns exec "$(lab_ns relay)" "$web_bin" -lp 8080 -li 127.0.0.1 -sp "$work/www/" </dev/null \
  >"$work/web.out" 2>&1 &
web_pid=$!
lab_check "ondrel prompts" lab_wait_line "$work/web.out" 50 "Enter q to exit."

channels() { lab_exec lan curl -s --max-time 5 "$base/status.json" | jq -c '[.channels[].title]'; }
# The items of the "All" container, as a TV browses them.
browse_all() {
  printf '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>gr1</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>' |
    lab_exec lan curl -s --max-time 5 -H 'Content-Type: text/xml; charset="utf-8"' \
      -H 'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"' \
      --data-binary @- "$base/upnp/control/cds" | grep -o '<NumberReturned>[0-9]*</NumberReturned>'
}
epg() { lab_exec lan curl -s --max-time 5 "$base/epg.xml"; }
stop_relay() {
  echo q >&3
  lab_check "relay stops ($1)" lab_wait_exit "$relay_pid" 50
  wait "$relay_pid"
  lab_check "relay: exit status 0 ($1)" test $? = 0
  exec 3>&-
}

# --- fetched by URL, copied into the cache -----------------------------------
lab_start_relay "$relay_bin" -p "$url" --cache "$work/cache"
cp "$work/out" "$work/out.fetched"
lab_check "fetched: the channels" test "$(channels)" = '["News","Sport"]'
lab_check "fetched: Browse lists both" test "$(browse_all)" = '<NumberReturned>2</NumberReturned>'
lab_check "fetched: no failure line" bash -c "! grep -q 'Playlist fetch failed' '$work/out'"
lab_check "fetched: the cache holds the playlist" cmp "$work/www/list.m3u" "$work/cache/playlist.m3u"
lab_check "fetched: the guide's one line" grep -qxF 'Guide loaded: 1 channels, 1 programmes.' "$work/out"
lab_check "fetched: /epg.xml has News' programme" bash -c '[[ "$1" == *Headlines* && "$1" != *Elsewhere* ]]' _ "$(epg)"
lab_check "fetched: the cache holds both" test "$(ls -A "$work/cache" | sort | tr '\n' ' ')" = 'guide.xml playlist.m3u '
stop_relay fetched

# --- the provider gone: the cached copy --------------------------------------
kill -TERM "$web_pid"
lab_check "ondrel stops" lab_wait_exit "$web_pid" 50
wait "$web_pid"
lab_start_relay "$relay_bin" -p "$url" --epg "$guide" --cache "$work/cache"
lab_check "cached: one line says so" test "$(grep -cE "^Playlist fetch failed: .* \($url\), using the cached copy from [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}$" "$work/out")" = 1
lab_check "cached: the channels" test "$(channels)" = '["News","Sport"]'
lab_check "cached: Browse lists both" test "$(browse_all)" = '<NumberReturned>2</NumberReturned>'
lab_check "cached: the guide's line says so" test "$(grep -cE "^Guide fetch failed: .* \($guide\), using the cached copy from " "$work/out")" = 1
lab_check "cached: /epg.xml has News' programme" bash -c '[[ "$1" == *Headlines* ]]' _ "$(epg)"
stop_relay cached

lab_finish || { cat "$work/out.fetched" "$work/out" "$work/web.out"; exit 1; }
