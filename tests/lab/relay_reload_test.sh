#!/usr/bin/env bash
# The playlist and the guide read again while the relay runs, both by URL
# from ondrel on the relay's host. On SIGHUP a third channel reaches Browse,
# /playlist.m3u, /status.json and /epg.xml at once, and a subscribed control
# point (upnp-device-client, from lan) gets SystemUpdateID 1 in an event
# with SEQ 1. Hostile sources in turn (entity loops, an external entity,
# truncated gzip, HTML, a 404, ondrel gone) each fail alone: the channels
# and the guide's bytes stay, no event goes out and memory stays put. A
# second run refreshes on its own every 2 s (--refresh 1 on a clock 30
# times faster), from a source of our own whose guide, and then playlist,
# never end: each is cut at --max-fetch.
set -u
lab_bin=$1
web_bin=$2
. "$(dirname "$0")/lab.sh"
cp_dir=$(cd "$(dirname "$0")/node_control_point" && pwd)
lab_need curl jq node python3
[ -d "$cp_dir/node_modules/upnp-device-client" ] ||
  { echo "SKIP: upnp-device-client is missing (scripts/setup installs it)"; exit 77; }

lab_init rrl
lab_relay_hosts
mkdir -p "$work/www" "$work/bad"
# lab_start_relay runs one program: this one keeps the relay's pid.
printf '#!/bin/sh\nexec %q 30 "$@"\n' "$lab_bin" >"$work/relay30" && chmod +x "$work/relay30"

playlist() { # NAME...: channel i on group 239.1.2.i, its tvg-id the name in lower case
  local i
  echo '#EXTM3U'
  for ((i = 1; i <= $#; i++)); do
    printf '#EXTINF:-1 tvg-id="%s.tv",%s\nudp://@239.1.2.%d:5000\n' "${!i,,}" "${!i}" $i
  done
}
now=$(date -u +%Y%m%d%H0000)
later=$(date -u -d '+2 hours' +%Y%m%d%H0000)
guide() { # DOCTYPE ENTITY-REFERENCE: the reference ends the first title
  printf '%s' '<?xml version="1.0"?>' "$1" '<tv>'
  local id
  for id in news sport movies other; do
    printf '<channel id="%s.tv"><display-name>%s</display-name></channel>' $id $id
  done
  for id in news sport movies other; do
    printf '<programme start="%s +0000" stop="%s +0000" channel="%s.tv"><title>On %s%s</title></programme>' \
      "$now" "$later" $id $id "$([ $id = news ] && echo "$2")"
  done
  echo '</tv>'
}
playlist News Sport >"$work/www/list.m3u"
guide '' '' | gzip >"$work/good.gz"
cp "$work/good.gz" "$work/www/guide.xml.gz"
# The hostile sources, served in turn in place of the good ones. Without a
# file, the name answers 404.
laughs='<!DOCTYPE tv [<!ENTITY lol "lol">' prev=lol
for i in 1 2 3 4 5 6 7 8 9; do
  laughs+="<!ENTITY lol$i \"$(printf "&$prev;%.0s" {1..10})\">" prev=lol$i
done
guide "$laughs]>" '&lol9;' >"$work/bad/laughs"
guide '<!DOCTYPE tv [<!ENTITY secret SYSTEM "file:///etc/passwd">]>' '&secret;' >"$work/bad/xxe"
head -c $(($(stat -c %s "$work/good.gz") / 2)) "$work/good.gz" >"$work/bad/truncated"
printf '%s\n' '<!DOCTYPE html>' '<html><head><title>502 Bad Gateway</title></head><body>oops</body></html>' \
  | tee "$work/bad/html-guide" >"$work/bad/html-playlist"
# name | file it replaces | the reload's line. The external entity is left
# out, not read: that guide loads, the same as the good one.
cases=(
  "laughs|guide.xml.gz|Guide reload failed: XML error .*, keeping the last guide\."
  "xxe|guide.xml.gz|Guide loaded: 3 channels, 3 programmes\."
  "truncated|guide.xml.gz|Guide reload failed: truncated gzip, keeping the last guide\."
  "html-guide|guide.xml.gz|Guide reload failed: not XMLTV, keeping the last guide\."
  "html-playlist|list.m3u|Playlist reload failed: no channels, keeping 3 channels\."
  "missing|list.m3u|Playlist reload failed: HTTP 404, keeping 3 channels\."
)

base=http://198.18.2.1:2901
channels() { lab_exec lan curl -s --max-time 5 "$base/status.json" | jq -c '[.channels[].title]'; }
cds() { # ACTION ARGUMENTS: a ContentDirectory action's answer, as a TV asks
  printf '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:%s xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">%s</u:%s></s:Body></s:Envelope>' "$1" "$2" "$1" |
    lab_exec lan curl -s --max-time 5 -H 'Content-Type: text/xml; charset="utf-8"' \
      -H "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#$1\"" \
      --data-binary @- "$base/upnp/control/cds"
  echo # the answer ends without one
}
# Browse of the All container: NumberReturned and UpdateID; then
# GetSystemUpdateID's Id.
cds_state() {
  cds Browse '<ObjectID>gr1</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>' |
    sed -n 's/.*<NumberReturned>\([0-9]*\)<.*<UpdateID>\([0-9]*\)<.*/\1 \2/p'
  cds GetSystemUpdateID '' | sed -n 's/.*<Id>\([0-9]*\)<.*/\1/p'
}
get() { lab_exec lan curl -sf --max-time 5 "$base$1"; }
kb() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$relay_pid/status"; } # VmRSS, VmHWM (peak)
# Connections the relay's host opened: after the start, only events.
opens() { lab_exec relay nstat -saz TcpActiveOpens | awk '$1 == "TcpActiveOpens" {print $2}'; }
subscribed() { [ "$(opens)" -gt "$opened" ] && echo yes; }
listening() { lab_exec relay ss -Hltn "sport = :$1" | wc -l; }
gz_is() { [ -s "$1" ] && lab_exec lan curl -sf --max-time 5 "$base/epg.xml.gz" | gunzip -q | cmp -s - "$1"; }
lacks() { ! grep -q "$1" "$2"; }
same() { [ -s "$1" ] && cmp -s "$1" "$2"; }
# SIGHUP; waits (at most 10 s) for the reload's last line, the guide's. The
# reload's lines go to $work/reload.
reload() {
  local from=$(($(wc -l <"$work/out") + 1)) i
  kill -HUP "$relay_pid" 2>/dev/null || return 1
  for ((i = 0; i < 100; i++)); do
    kill -0 "$relay_pid" 2>/dev/null || return 1
    tail -n +"$from" "$work/out" >"$work/reload"
    grep -qE '^Guide (loaded|reload failed): ' "$work/reload" && return 0
    sleep 0.1
  done
  return 1
}
said() { grep -qxE -- "$1" "$work/reload"; }
stop_relay() {
  echo q >&3
  lab_check "$1: q stops the relay" lab_wait_exit "$relay_pid" 50
  wait "$relay_pid"
  lab_check "$1: exit status 0" test $? = 0
  exec 3>&-
}

lab_phase "a third channel on SIGHUP, with a subscriber"
ip netns exec "$(lab_ns relay)" "$web_bin" -lp 8080 -li 127.0.0.1 -sp "$work/www/" </dev/null \
  >"$work/web.out" 2>&1 &
web_pid=$!
lab_check "ondrel prompts" lab_wait_line "$work/web.out" 50 "Enter q to exit."
lab_start_relay "$work/relay30" -p http://127.0.0.1:8080/list.m3u \
  --epg http://127.0.0.1:8080/guide.xml.gz --refresh 0
lab_check "start: the guide of both channels" grep -qxF 'Guide loaded: 2 channels, 2 programmes.' "$work/out"
lab_check "start: Browse lists 2, update IDs 0" test "$(cds_state | xargs)" = "2 0 0"
# The control point asks for 60 s and holds 15 s: every reload below falls
# within it. Once the relay opened a connection (the initial event) the
# subscription is in its table.
opened=$(opens)
lab_exec lan timeout 60 node "$cp_dir/control_point.js" "$base/description.xml" All 15 60 \
  >"$work/cp" 2>"$work/cp-err" &
cp_pid=$!
lab_check "the control point subscribes" lab_wait_output 150 yes subscribed
idle_kb=$(kb VmRSS)
playlist News Sport Movies >"$work/www/list.m3u"
lab_check "third channel: the reload ends" reload
lab_check "third channel: 3 channels said" said 'Playlist reloaded: 3 channels\.'
lab_check "third channel: the guide of 3" said 'Guide loaded: 3 channels, 3 programmes\.'
lab_check "third channel: Browse lists 3, update IDs 1" test "$(cds_state | xargs)" = "3 1 1"
lab_check "third channel: /status.json" test "$(channels)" = '["News","Sport","Movies"]'
get /playlist.m3u >"$work/playlist"
lab_check "third channel: /playlist.m3u" grep -q '239\.1\.2\.3:5000' "$work/playlist"
lab_check "third channel: /epg.xml" bash -c '[[ "$1" == *"On movies"* && "$1" != *"On other"* ]]' _ "$(get /epg.xml)"

lab_phase "hostile sources: each fails alone"
# Nothing here is larger than a few kB: 64 MB over the idle size (the
# playlist's own fetch limit) only an expansion or an unbounded read reaches.
for row in "${cases[@]}"; do
  IFS='|' read -r name file line <<<"$row"
  [ "$name" = html-playlist ] && cp "$work/good.gz" "$work/www/guide.xml.gz"
  get /epg.xml >"$work/epg.before"
  rm -f "$work/www/$file"
  [ -e "$work/bad/$name" ] && cp "$work/bad/$name" "$work/www/$file"
  lab_check "$name: the reload ends" reload
  lab_check "$name: $line" said "$line"
  get /epg.xml >"$work/epg.after"
  lab_check "$name: /epg.xml the same bytes" same "$work/epg.before" "$work/epg.after"
  lab_check "$name: /epg.xml.gz decodes to them" gz_is "$work/epg.before"
  lab_check "$name: no line of /etc/passwd" lacks 'root:' "$work/epg.after"
  lab_check "$name: Browse still lists 3, update IDs 1" test "$(cds_state | xargs)" = "3 1 1"
  lab_check "$name: peak memory $(kb VmHWM) kB, idle $idle_kb kB" test "$(kb VmHWM)" -lt $((idle_kb + 65536))
done
playlist News Sport Movies >"$work/www/list.m3u"

lab_phase "ondrel gone"
kill -TERM "$web_pid"
lab_check "ondrel stops" lab_wait_exit "$web_pid" 50
wait "$web_pid"
lab_check "ondrel gone: the reload ends" reload
lab_check "ondrel gone: keeping 3 said" said 'Playlist reload failed: .+, keeping 3 channels\.'
lab_check "ondrel gone: keeping the guide said" said 'Guide reload failed: .+, keeping the last guide\.'
lab_check "ondrel gone: Browse still lists 3, update IDs 1" test "$(cds_state | xargs)" = "3 1 1"

wait "$cp_pid"
lab_check "the control point ends normally" test $? = 0
sid=$(sed -n 's/^subscribe new 200 \(uuid:[^ ]*\) .*/\1/p' "$work/cp")
lab_check "one event per change: SEQ 0 at subscribing, SEQ 1 for the third channel" \
  test "$(grep '^notify ' "$work/cp" | tr '\n' '|')" = \
  "notify $sid 0 upnp:event upnp:propchange NOTIFY|notify $sid 1 upnp:event upnp:propchange NOTIFY|"
lab_check "the event says SystemUpdateID 1" grep -qxF \
  'notify-body <?xml version="1.0"?><e:propertyset xmlns:e="urn:schemas-upnp-org:event-1-0"><e:property><SystemUpdateID>1</SystemUpdateID></e:property><e:property><ContainerUpdateIDs></ContainerUpdateIDs></e:property></e:propertyset>' \
  "$work/cp"
stop_relay first
cp "$work/out" "$work/out.first"

lab_phase "refresh on its own, sources without end"
# A source of our own: list.m3u from www, or without end once $work/endless
# exists; guide.xml always without end (a root element, then blanks). At most 256 MB a request, so that
# even a relay without a limit ends.
lab_exec relay timeout 60 python3 -c '
import http.server, os, sys
class Source(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        name = os.path.basename(self.path)
        endless = name == "guide.xml" or os.path.exists(sys.argv[1] + "/endless")
        self.send_response(200)
        self.end_headers()
        try:
            if not endless: self.wfile.write(open(sys.argv[1] + "/www/" + name, "rb").read())
            # The guide opens its root, then blanks: read on until the limit.
            if endless and name == "guide.xml": self.wfile.write(b"<tv>")
            for _ in range(4096 if endless else 0): self.wfile.write(b" " * 65536)
        except OSError: pass
    def log_message(self, *args): pass
http.server.ThreadingHTTPServer(("127.0.0.1", 8081), Source).serve_forever()' "$work" &
lab_check "our source listens" lab_wait_output 50 1 listening 8081
lab_start_relay "$work/relay30" -p http://127.0.0.1:8081/list.m3u \
  --epg http://127.0.0.1:8081/guide.xml --refresh 1 --max-fetch 8
idle_kb=$(kb VmRSS)
lab_check "refresh: the start's guide cut at 8 MB" grep -qxF \
  'Guide fetch failed: more than 8 MB (http://127.0.0.1:8081/guide.xml), starting without a guide' "$work/out"
lab_check "refresh: 3 channels" test "$(channels)" = '["News","Sport","Movies"]'
playlist News Sport Movies Music >"$work/next" && mv "$work/next" "$work/www/list.m3u"
lab_check "refresh: the fourth channel without a signal" \
  lab_wait_output 200 '["News","Sport","Movies","Music"]' channels
lab_check "refresh: the guide cut again" \
  lab_wait_line "$work/out" 100 'Guide reload failed: more than 8 MB, still without a guide.'
touch "$work/endless"
lab_check "refresh: the playlist cut at 8 MB" \
  lab_wait_line "$work/out" 100 'Playlist reload failed: more than 8 MB, keeping 4 channels.'
lab_check "refresh: still 4 channels" test "$(channels)" = '["News","Sport","Movies","Music"]'
# The playlist grows in memory by doubling, and the allocator may keep
# what earlier fetches freed (some 3 times the limit here); one that read
# on would take the 256 MB.
lab_check "refresh: peak memory $(kb VmHWM) kB, idle $idle_kb kB" test "$(kb VmHWM)" -lt $((idle_kb + 65536))
stop_relay refresh

lab_finish || { cat "$work/out.first" "$work/out" "$work/cp" "$work/cp-err" "$work/web.out"; exit 1; }
