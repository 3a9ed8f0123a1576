#!/usr/bin/env bash
# The media server with a control point from the npm registry
# (upnp-device-client, installed by scripts/setup): from `lan` it reads the
# description, browses the root and a group, plays a browsed stream URL
# (ffprobe, from an ffmpeg channel on `src`), and holds a ContentDirectory
# subscription for a minute. Its renewals follow the granted time, keep
# their SID and stay a handful; its callback gets the initial event.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
cp_dir=$(cd "$(dirname "$0")/node_control_point" && pwd)
lab_need node ffmpeg ffprobe
[ -d "$cp_dir/node_modules/upnp-device-client" ] ||
  { echo "SKIP: upnp-device-client is missing (scripts/setup installs it)"; exit 77; }

lab_init rnd
lab_relay_hosts
ip -n "$(lab_ns lan)" route add 224.0.0.0/4 dev eth0

lab_ffmpeg_channel 100 239.1.2.1:5000

printf '%s\n' '#EXTM3U' '#EXTINF:1,News & Weather' '#EXTTV:News' 'udp://@239.1.2.1:5000' \
  '#EXTINF:2,Test Card' '#EXTTV:Sport' 'udp://@239.1.2.2:5000' >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u"

# It asks for 20 s: the relay grants its shortest, 60 s, and the client
# renews 30 s before the end, so a 65 s hold sees two renewals.
lab_exec lan timeout 85 node "$cp_dir/control_point.js" http://198.18.2.1:2901/description.xml \
  News 65 20 >"$work/cp" 2>"$work/cp-err" &
cp_pid=$!
for ((i = 0; i < 150; i++)); do grep -q '^res ' "$work/cp" && break; sleep 0.1; done
url=$(sed -n 's/^res //p' "$work/cp")
lab_check "the Result of a group holds a stream URL" test -n "$url"
if [ -n "$url" ]; then
  lab_exec lan timeout 20 ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 \
    "$url" >"$work/probe" 2>"$work/probe-err"
  lab_check "ffprobe plays the browsed URL" \
    test "$(sort -u "$work/probe" | tr '\n' ' ')" = "mp2 mpeg2video "
fi
wait "$cp_pid"
lab_check "the control point ends normally" test $? = 0

lab_check "it reads the description" \
  grep -qxE 'device uuid:[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12} .+' "$work/cp"
lab_check "the root holds All, News and Sport" \
  test "$(grep '^container ' "$work/cp" | cut -d' ' -f3- | tr '\n' '|')" = "2 All|1 News|1 Sport|"
lab_check "News holds its one channel, with the stream URL" \
  test "$(sed -n 's/^item [^ ]* //p' "$work/cp")" = \
  "http://198.18.2.1:2901/8E4B2A7C19D54F3EA06B7C2D91E58F04/239.1.2.1:5000 News & Weather"

subscribes=$(grep -c '^subscribe ' "$work/cp")
echo "SUBSCRIBE requests in 65 s: $subscribes"
sid=$(sed -n 's/^subscribe new 200 \(uuid:[^ ]*\) .*/\1/p' "$work/cp")
lab_check "the subscription is granted the shortest time" \
  grep -qx "subscribe new 200 $sid Second-60" "$work/cp"
lab_check "it renews, a handful of times, not thousands" test "$subscribes" -ge 2 -a "$subscribes" -le 10
lab_check "every renewal keeps the SID" \
  test "$(grep -c "^subscribe renewal 200 $sid Second-60$" "$work/cp")" = $((subscribes - 1))
lab_check "one initial event at the callback, SEQ 0" \
  test "$(grep '^notify ' "$work/cp")" = "notify $sid 0 upnp:event upnp:propchange NOTIFY"
lab_check "with the evented variables of ContentDirectory" grep -qxF \
  'notify-body <?xml version="1.0"?><e:propertyset xmlns:e="urn:schemas-upnp-org:event-1-0"><e:property><SystemUpdateID>0</SystemUpdateID></e:property><e:property><ContainerUpdateIDs></ContainerUpdateIDs></e:property></e:propertyset>' \
  "$work/cp"
# The client hands its listeners only the events of SIDs it holds. (It
# reads unprefixed property elements only, so the values it hands on from
# the usual e:property form are none.)
lab_check "the client takes it for its subscription's" test "$(grep -c '^event ' "$work/cp")" = 1
lab_check "UNSUBSCRIBE: 200" grep -qx 'unsubscribe 200' "$work/cp"
lab_check "no errors" test -z "$(grep '^error' "$work/cp")"

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 40
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
lab_finish || { cat "$work/out" "$work/cp" "$work/cp-err"; exit 1; }
