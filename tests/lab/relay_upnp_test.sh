#!/usr/bin/env bash
# The media server with real peers: a GUPnP control point on `lan` finds the
# device, browses it and subscribes; curl posts control actions and event
# subscriptions; the stream URL from a Browse answer plays through the relay
# from an ffmpeg channel on `src`.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
lab_need ffmpeg ffprobe curl xmllint $python
$python -c 'import gi; gi.require_version("GUPnP", "1.6")' 2>/dev/null ||
  { echo "SKIP: GUPnP 1.6 for python3 is missing (gir1.2-gupnp-1.6, python3-gi)"; exit 77; }

lab_init rup
lab_relay_hosts
ip -n "$(lab_ns lan)" route add 224.0.0.0/4 dev eth0

lab_ffmpeg_channel 90 239.1.2.1:5000

printf '%s\n' '#EXTM3U' '#EXTINF:2,News & Weather' '#EXTTV:News' 'udp://@239.1.2.1:5000' \
  '#EXTINF:1,Test Card' '#EXTTV:News,Sport' 'udp://@239.1.2.2:5000' >"$work/channels.m3u"

lab_start_relay "$relay_bin" -p "$work/channels.m3u" --playlist-protocol-info 'video/mp2t:*'
lab_check "start lines in order" test "$(grep -E '^(Loading playlist|Starting (http|dlna) server)\.$' "$work/out" | tr '\n' '|')" = \
  "Loading playlist.|Starting http server.|Starting dlna server.|"

base=http://198.18.2.1:2901
lab_exec lan curl -s --max-time 5 -o "$work/description.xml" "$base/description.xml"
lab_check "the description is well-formed XML" xmllint --noout "$work/description.xml"

# control ACTION SERVICE BODY-ELEMENTS: posts one action; sets status and
# leaves the answer in $work/answer.
control() {
  local action=$1 service=$2 args=$3
  printf '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:%s xmlns:u="urn:schemas-upnp-org:service:%s:1">%s</u:%s></s:Body></s:Envelope>' \
    "$action" "$service" "$args" "$action" >"$work/request"
  status=$(lab_exec lan curl -s --max-time 5 -o "$work/answer" -w '%{http_code}' \
    -H 'Content-Type: text/xml; charset="utf-8"' \
    -H "SOAPACTION: \"urn:schemas-upnp-org:service:$service:1#$action\"" \
    --data-binary @"$work/request" "$base/upnp/control/cds")
}
browse_args() { # object flag start count
  echo "<ObjectID>$1</ObjectID><BrowseFlag>$2</BrowseFlag><Filter>*</Filter><StartingIndex>$3</StartingIndex><RequestedCount>$4</RequestedCount><SortCriteria></SortCriteria>"
}
# The DIDL-Lite document inside Result, unescaped once.
didl() {
  sed -e 's/.*<Result>//' -e 's/<\/Result>.*//' "$work/answer" |
    sed -e 's/&lt;/</g' -e 's/&gt;/>/g' -e 's/&quot;/"/g' -e "s/&apos;/'/g" -e 's/&amp;/\&/g' >"$work/didl.xml"
}

control Browse ContentDirectory "$(browse_args 0 BrowseDirectChildren 0 0)"
lab_check "Browse of the root: 200" test "$status" = 200
lab_check "three groups" grep -q '<NumberReturned>3</NumberReturned><TotalMatches>3</TotalMatches>' "$work/answer"
didl
lab_check "the root's DIDL-Lite is well-formed" xmllint --noout "$work/didl.xml"

control Browse ContentDirectory "$(browse_args gr2 BrowseDirectChildren 0 0)"
lab_check "the title is escaped twice on the wire" grep -qF 'News &amp;amp; Weather' "$work/answer"
didl
lab_check "the group's DIDL-Lite is well-formed" xmllint --noout "$work/didl.xml"
lab_check "items carry the stream URL" grep -qF '>http://198.18.2.1:2901/8E4B2A7C19D54F3EA06B7C2D91E58F04/239.1.2.1:5000</res>' "$work/didl.xml"
lab_check "items carry the given protocolInfo" grep -qF 'protocolInfo="http-get:*:video/mp2t:*"' "$work/didl.xml"

control Browse ContentDirectory "$(browse_args gr1 BrowseDirectChildren 1 1)"
lab_check "paging: one of two" grep -q '<NumberReturned>1</NumberReturned><TotalMatches>2</TotalMatches>' "$work/answer"

control Browse ContentDirectory "$(browse_args gr9 BrowseMetadata 0 0)"
lab_check "unknown group: 500 with 710" test "$status:$(grep -o '<errorCode>[0-9]*' "$work/answer")" = "500:<errorCode>710"

control GetProtocolInfo ConnectionManager ""
lab_check "GetProtocolInfo names the given protocolInfo" \
  grep -qF '<Source>http-get:*:video/mp2t:*</Source>' "$work/answer"

status=$(lab_exec lan curl -s --max-time 5 -o /dev/null -w '%{http_code}' -H 'SOAPACTION: nothing' \
  --data-binary x "$base/upnp/control/cds")
lab_check "a SOAPACTION without a service: 400" test "$status" = 400

# Event subscriptions, raw (curl adds headers of its own).
raw() { # request, with \r and \n written as such; prints the answer head
  lab_exec lan timeout 3 $python -c '
import socket, sys
s = socket.create_connection(("198.18.2.1", 2901), timeout=2)
s.sendall(sys.argv[1].replace("\\r", "\r").replace("\\n", "\n").encode())
data = b""
try:
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
except socket.timeout:
    pass
sys.stdout.write(data.decode("latin-1"))' "$1"
}
sub='SUBSCRIBE /upnp/event/cds HTTP/1.1\r\nHOST: 198.18.2.1:2901\r\nCALLBACK: <http://198.18.2.2:9/>\r\nNT: upnp:event\r\nTIMEOUT: Second-300\r\n\r\n'
raw "$sub" >"$work/sub1"
raw "$sub" >"$work/sub2"
sid1=$(grep -o '^SID: uuid:[0-9a-f-]*' "$work/sub1")
sid2=$(grep -o '^SID: uuid:[0-9a-f-]*' "$work/sub2")
lab_check "SUBSCRIBE: 200 with the time asked for" grep -q $'^TIMEOUT: Second-300\r$' "$work/sub1"
lab_check "two SUBSCRIBEs, two SIDs" test -n "$sid1" -a -n "$sid2" -a "$sid1" != "$sid2"
raw "SUBSCRIBE /upnp/event/cds HTTP/1.1\r\n${sid1}\r\nTIMEOUT: Second-1800\r\n\r\n" >"$work/renew"
renewed=$(grep -o '^SID: uuid:[0-9a-f-]*' "$work/renew")
lab_check "a renewal keeps its SID" test -n "$renewed" -a "$renewed" = "$sid1"
raw "SUBSCRIBE /upnp/event/cds HTTP/1.1\r\nSID: uuid:00000000-0000-1000-8000-000000000000\r\n\r\n" \
  >"$work/renew-unknown"
lab_check "a renewal of an unknown SID: 412" \
  test "$(head -n 1 "$work/renew-unknown")" = $'HTTP/1.1 412 Precondition Failed\r'
for row in "/upnp/event/cm:406 Not Acceptable" "/upnp/control/cds:500 Internal Server Error" \
  "/other:501 Not Implemented"; do
  raw "SUBSCRIBE ${row%%:*} HTTP/1.1\r\nHOST: x\r\n\r\n" >"$work/refused"
  lab_check "SUBSCRIBE ${row%%:*} without NT or SID: ${row#*:}" \
    test "$(head -n 1 "$work/refused")" = "HTTP/1.1 ${row#*:}"$'\r'
done
raw 'UNSUBSCRIBE /upnp/event/cds HTTP/1.1\r\nSID: uuid:x\r\n\r\n' >"$work/unsub"
lab_check "UNSUBSCRIBE: 200 with an empty body" \
  cmp -s "$work/unsub" <(printf 'HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n')
# An HTTP/1.1 client on the kept connection is done once the head is in.
lab_check "UNSUBSCRIBE: curl finishes at once" lab_exec lan timeout 5 curl -sf -X UNSUBSCRIBE \
  -H 'SID: uuid:x' -o /dev/null http://198.18.2.1:2901/upnp/event/cds

# The real control point.
lab_exec lan timeout 40 $python "$(dirname "$0")/upnp_control_point.py" eth0 30 >"$work/cp" 2>"$work/cp-err"
lab_check "the control point finds the device" grep -q '^device .* uuid:' "$work/cp"
lab_check "with both services" test "$(grep -c '^service urn:schemas-upnp-org:service:\(ContentDirectory\|ConnectionManager\):1$' "$work/cp")" = 2
lab_check "it browses the three groups" grep -q '^browse 0 3 3 ' "$work/cp"
lab_check "and the root's metadata" grep -q '^browse 0 1 1 .*title>Root<' "$work/cp"
lab_check "and the two channels of All" grep -q '^browse gr1 2 2 ' "$work/cp"
lab_check "it subscribes" grep -qx 'subscribed yes' "$work/cp"
url=$(grep '^browse gr1 ' "$work/cp" | grep -o 'http://[^<]*239\.1\.2\.1:5000' | head -n 1)
lab_check "the Result holds the channel's URL" test -n "$url"
if [ -n "$url" ]; then
  lab_exec lan timeout 20 ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 "$url" \
    >"$work/probe" 2>"$work/probe-err"
  lab_check "ffprobe plays the browsed URL" test "$(sort -u "$work/probe" | tr '\n' ' ')" = "mp2 mpeg2video "
fi

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 40
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
lab_check "stop lines in order" test "$(grep -E '^(Stopping http server|Stopping DLNA Server\.|Will exit\.)$' "$work/out" | tr '\n' '|')" = \
  "Stopping http server|Stopping DLNA Server.|Will exit.|"

# A playlist as IPTV providers write them: tvg-* attributes, group-title,
# rtp:// URLs, a comma inside quotes, Latin-1 bytes and a control character.
# Every Browse answer must still be XML that a strict parser reads.
printf '%b\n' '#EXTM3U' \
  '#EXTINF:-1 tvg-id="a" tvg-name="A, B" tvg-logo="http://198.18.2.9/a.png?s=1&t=2" group-title="Infos;Sport",T\xe9l\xe9 \x01Info & Co' \
  'rtp://@239.1.2.1:5000' '#EXTINF:-1 group-title="Cin\xe9ma",Caf\xc3\xa9' 'rtp://10.0.0.1@239.1.2.3:5000' \
  >"$work/world.m3u"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  -p "$work/world.m3u" <"$work/in" >"$work/out-world" 2>&1 &
relay_pid=$!
lab_check "relay prompts with a provider's playlist" lab_wait_line "$work/out-world" 50 "Enter q to exit."
lab_check "one line names the first unclean playlist line" test \
  "$(grep '^Playlist line' "$work/out-world")" = "Playlist line 2: invalid UTF-8 or control characters, text cleaned (first such line)."
answered_well_formed() { test "$status" = 200 && xmllint --noout "$work/answer" "$work/didl.xml"; }
for object in 0 gr1 gr2 gr3 gr4 1; do
  control Browse ContentDirectory "$(browse_args $object BrowseDirectChildren 0 0)"
  didl
  lab_check "provider's playlist, Browse $object: 200, the answer and its DIDL-Lite well-formed" \
    answered_well_formed
done
lab_check "the logo is the item's albumArtURI" \
  grep -qF '<upnp:albumArtURI>http://198.18.2.9/a.png?s=1&amp;t=2</upnp:albumArtURI>' "$work/didl.xml"
echo q >&3
lab_check "relay stops again" lab_wait_exit "$relay_pid" 40
lab_finish || { cat "$work/out" "$work/out-world" "$work/cp" "$work/cp-err"; exit 1; }
