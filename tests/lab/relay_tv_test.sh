#!/usr/bin/env bash
# The requests TV sets and players are known to send, replayed from a LAN
# host against the relay while an ffmpeg channel runs: each row checks the
# answer's heads and that the stream flows.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
lab_need ffmpeg curl xmllint $python

lab_init rtv
lab_relay_hosts

lab_ffmpeg_channel 60 239.1.2.1:5000
printf '%s\n' '#EXTM3U' '#EXTINF:1,News' 'udp://@239.1.2.1:5000' >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u" --playlist-protocol-info 'video/mp2t:*'

base=http://198.18.2.1:2901
path=/8E4B2A7C19D54F3EA06B7C2D91E58F04/239.1.2.1:5000
# Answers with \n for line ends, as the rows hold them.
live='Content-Type: video/mp2t\ntransferMode.dlna.org: Streaming\ncontentFeatures.dlna.org: DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000\n'
bare='HTTP/1.1 200 OK\n\nbody ok'
dlna="HTTP/1.1 200 OK\n$live\nbody ok"
host='HOST: 198.18.2.1:2901\r\n'

# client | requests on one connection, in order (\r\n spelled out) | the answer
rows=(
  "Samsung: HEAD first, then GET|HEAD $path HTTP/1.1\r\n${host}getcontentFeatures.dlna.org: 1\r\ngetcaptionInfo.sec: 1\r\nUser-Agent: SEC_HHP_[TV] UE40/1.0 DLNADOC/1.50\r\n\r\n|GET $path HTTP/1.1\r\n${host}getcontentFeatures.dlna.org: 1\r\ngetcaptionInfo.sec: 1\r\n\r\n|HTTP/1.1 200 OK\n$live\n$dlna"
  "LG: asks for the content features|GET $path HTTP/1.1\r\n${host}getcontentFeatures.dlna.org: 1\r\nUser-Agent: Linux/3.0 UPnP/1.0 LGE_DLNA_SDK/1.6.0\r\n\r\n|$dlna"
  "Hisense: its own query on the URL|GET $path?mediaPlayerId=1&playMode=2 HTTP/1.1\r\n${host}\r\n|$bare"
  "Philips: a range from 0 in streaming mode|GET $path HTTP/1.1\r\n${host}Range: bytes=0-\r\ntransferMode.dlna.org: Streaming\r\n\r\n|$dlna"
  "Sony: its client line|GET $path HTTP/1.1\r\n${host}X-AV-Client-Info: av=5.0; cn=\"Sony Corporation\"; mn=\"BRAVIA KDL-40EX720\"; mv=\"1.7\";\r\n\r\n|$bare"
)
for row in "${rows[@]}"; do
  IFS='|' read -r -a fields <<<"$row"
  name=${fields[0]}
  expected=$(printf '%b' "${fields[${#fields[@]} - 1]}")
  requests=("${fields[@]:1:${#fields[@]}-2}")
  lab_exec lan timeout 20 $python "$(dirname "$0")/tv_client.py" 198.18.2.1 2901 "${requests[@]}" \
    >"$work/answer" 2>&1
  lab_check "$name" test "$(cat "$work/answer")" = "$expected"
  cp "$work/answer" "$work/answer-${name%%:*}"
done

# Every answer on a kept connection says where it ends: curl, which keeps
# the connection, is done at once.
browse='<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>0</ObjectID><BrowseFlag>BrowseMetadata</BrowseFlag></u:Browse></s:Body></s:Envelope>'
cds='SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1'
for args in "$base/description.xml" "-I $base/description.xml" "--compressed $base/cds.xml" \
  "$base/command/log" "-I $base$path" "$base/nothing" \
  "-X SUBSCRIBE -H NT:upnp:event -H CALLBACK:<http://198.18.2.2:9/> $base/upnp/event/cds" \
  "-X UNSUBSCRIBE -H SID:uuid:x $base/upnp/event/cds"; do
  lab_check "kept connection, curl done at once: $args" lab_exec lan timeout 5 curl -s -o /dev/null $args
done
for action in Browse GetSortCapabilities Unknown; do
  lab_check "kept connection, curl done at once: $action" lab_exec lan timeout 5 curl -s -o /dev/null \
    -H "$cds#$action\"" --data-binary "$browse" "$base/upnp/control/cds"
done

# Samsung sets also ask for the feature list and look for the DLNA class.
soap='<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:X_GetFeatureList xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"></u:X_GetFeatureList></s:Body></s:Envelope>'
status=$(lab_exec lan curl -s --max-time 5 -o "$work/features" -w '%{http_code}' \
  -H 'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#X_GetFeatureList"' \
  -H 'Content-Type: text/xml; charset="utf-8"' --data-binary "$soap" "$base/upnp/control/cds")
lab_check "Samsung: X_GetFeatureList answers 200" test "$status" = 200
sed -e 's/.*<FeatureList>//' -e 's/<\/FeatureList>.*//' -e 's/&lt;/</g' -e 's/&gt;/>/g' \
  -e 's/&quot;/"/g' -e 's/&amp;/\&/g' "$work/features" >"$work/features.xml"
lab_check "and its feature list is an XML document" xmllint --noout "$work/features.xml"
lab_check "the description names the DLNA class" test "$(lab_exec lan curl -s --max-time 5 \
  "$base/description.xml" | xmllint --xpath 'string(//*[local-name()="X_DLNADOC"])' -)" = DMS-1.50

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 40
lab_finish || { cat "$work/out" "$work"/answer-*; exit 1; }
