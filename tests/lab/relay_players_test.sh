#!/usr/bin/env bash
# Players nobody here wrote, on `lan`, against the relay fed by an ffmpeg
# channel on `src`: VLC plays a stream URL (also by the /udp/ path, and by
# the /rtp/ path with the channel's sender), the URL of a Browse answer, and
# a channel it finds by browsing the media server itself; VLC's UPnP
# discovery lists the server; mpv plays the stream URL. Then, over two
# channels, VLC plays the first entry of the relay's /playlist.m3u and mpv
# its second. The players write
# what they decoded (raw pictures, PCM sound) to files that ffprobe reads:
# a player that got bytes but decoded nothing fails here.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"
. "$(dirname "$0")/lab_players.sh"
for tool in cvlc mpv ffmpeg ffprobe curl setpriv; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is missing (vlc-bin, vlc-plugin-base, mpv)"; exit 77; }
done

lab_init rpl
lab_relay_hosts
# SSDP searches from the LAN host leave through its one card.
ip -n "$(lab_ns lan)" route add 224.0.0.0/4 dev eth0
lab_players_init

lab_ffmpeg_channel 120 239.1.2.1:5000

printf '%s\n' '#EXTM3U' '#EXTINF:1,Test Card' 'udp://@239.1.2.1:5000' >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u" --playlist-protocol-info 'video/mp2t:*'
base=http://198.18.2.1:2901
stream=$base/vkx/239.1.2.1:5000

lab_phase "VLC plays the stream URL"
vlc stream "$stream"

# Other relays' paths, the second naming the channel's one sender (the
# ffmpeg channel sends from src's address).
lab_phase "VLC plays the /udp/ URL, and the /rtp/ URL from the channel's sender"
vlc udp "$base/udp/239.1.2.1:5000"
vlc rtp-source "$base/rtp/198.18.1.1@239.1.2.1:5000"

lab_phase "VLC plays the URL of a Browse answer"
res=$(lab_browse_urls "$base" gr1 | grep '239\.1\.2\.1:5000$')
lab_check "the Browse answer holds the channel's URL" test -n "$res"
[ -n "$res" ] && vlc browsed "$res"

# VLC's discovery gives each directory of a server this URL: the control
# URL without its scheme, and the object to browse. Opened, VLC browses the
# group and plays the channel in it.
lab_phase "VLC browses the server and plays what it finds"
vlc upnp "upnp://198.18.2.1:2901/upnp/control/cds?ObjectID=gr1"

lab_phase "VLC discovers the server"
# Driven through its remote-control interface: the playlist lists what
# the UPnP discovery found, under the discovery's own node.
name=$(lab_exec lan curl -s --max-time 5 "$base/description.xml" | grep -o '<friendlyName>[^<]*' | cut -d'>' -f2)
# discover TRY: one VLC looks for up to 20 s; true when it lists the server.
discover() {
  local rc=$work/rc$1 out=$work/discovery$1 found=1 i
  mkfifo "$rc"
  exec 4<>"$rc"
  as_vlc cvlc -I oldrc --rc-fake-tty --services-discovery=upnp <"$rc" >"$out" 2>&1 &
  local vlc_pid=$!
  for ((i = 0; i < 40; i++)); do
    sleep 0.5
    echo playlist >&4
    grep -A1 -F "Universal Plug'n'Play" "$out" | grep -qF -- "- $name" && { found=0; break; }
  done
  echo quit >&4
  lab_check "VLC's remote control quits" lab_wait_exit "$vlc_pid" 50
  kill "$vlc_pid" 2>/dev/null
  exec 4>&-
  return $found
}
# VLC searches only when it starts, and on a busy machine its few searches
# may all go unanswered in time: a second VLC searches again.
found=0
discover 1 || discover 2 && found=1
lab_check "VLC lists the server '$name' under its UPnP node" test -n "$name" -a "$found" = 1

# mpv_plays NAME URL [OPTION...]: mpv plays 50 pictures of URL, writing them as
# images and the sound as PCM.
mpv_plays() {
  local name=$1 out=$work/mpv/$1
  mkdir -p "$out"
  lab_exec lan timeout 30 mpv --no-config --really-quiet --frames=50 "${@:3}" \
    --vo=image --vo-image-outdir="$out" --ao=pcm --ao-pcm-file="$out.wav" "$2" >"$out.log" 2>&1
  lab_check "$name: mpv ends with status 0" test $? = 0
  lab_check "$name: 50 pictures" test "$(find "$out" -name '*.jpg' | wc -l)" = 50
  lab_check "$name: pictures of 320x240" test "$(pictures "$out/00000050.jpg" | cut -d' ' -f1-2)" = "320 240"
  lab_check "$name: at least 1 s of sound" test "$(seconds "$out.wav")" -ge 1
}

lab_phase "mpv plays the stream URL"
mpv_plays mpv "$stream"

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 40
cp "$work/out" "$work/out.browse"

# streams_after LINE: the stream URLs the relay was asked for after its
# console's line LINE.
streams_after() {
  tail -n +"$(($1 + 1))" "$work/out" | sed -n 's/^Received vkx request: //p' | tr '\n' ' '
}

lab_phase "the relay's playlist: VLC plays its first entry, mpv its second"
lab_ffmpeg_channel 40 239.1.2.2:5000
printf '%s\n' '#EXTM3U' '#EXTINF:1 tvg-id="card.one",Test Card, one' 'udp://@239.1.2.1:5000' \
  '#EXTINF:2 tvg-id="card.two" group-title="Cards",Test Card 2' 'udp://@239.1.2.2:5000' \
  >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u"
mark=$(wc -l <"$work/out")
# Stopped after its first item, VLC plays nothing more of the list.
vlc playlist "$base/playlist.m3u" --play-and-stop
lab_check "VLC asked for the first entry alone (got: $(streams_after "$mark"))" \
  test "$(streams_after "$mark")" = "/vkx/239.1.2.1:5000 "
mark=$(wc -l <"$work/out")
mpv_plays playlist "$base/playlist.m3u" --playlist-start=1
lab_check "mpv asked for the second entry alone (got: $(streams_after "$mark"))" \
  test "$(streams_after "$mark")" = "/vkx/239.1.2.2:5000 "

echo q >&3
lab_check "relay stops (playlist run)" lab_wait_exit "$relay_pid" 40
lab_finish || {
  tail -n 20 "$work/out.browse" "$work/out" "$work"/vlc/*.log "$work/discovery" "$work"/mpv/*.log
  exit 1
}
