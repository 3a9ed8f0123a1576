# Players for the lab scripts, sourced after lab.sh once `lan` exists:
#
#   lab_players_init         VLC's home in $work/vlc, VLC's own user (nobody)
#   as_vlc CMD...            runs CMD on `lan` as nobody, with VLC's home
#   pictures FILE            "width height count" of the decoded pictures
#   seconds FILE             the length of the sound, in whole seconds
#   decoded NAME PICTURES SOUND MIN
#                            checks MIN pictures of 320x240 and 1 s of sound
#   vlc NAME URL [OPTION...] VLC plays URL for 4 s; checks what it decoded
#   lab_browse_urls BASE OBJECT
#                            the res URLs of a Browse of OBJECT's children on
#                            the relay at BASE, asked from `lan`, one a line

# VLC will not run as root: it runs as nobody, with a home of its own here.
lab_players_init() {
  chmod 711 "$work"
  mkdir -p "$work/vlc"
  chown nobody:nogroup "$work/vlc"
}

as_vlc() {
  ip netns exec "$(lab_ns lan)" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$work/vlc" XDG_RUNTIME_DIR="$work/vlc" "$@"
}

# pictures FILE: "width height count" of the decoded pictures in FILE.
pictures() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=width,height,nb_read_frames \
    -of csv=p=0 "$1" 2>/dev/null | tr ',' ' '
}
# seconds FILE: the length of the sound in FILE, in whole seconds.
seconds() {
  ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" 2>/dev/null | cut -d. -f1
}
# decoded NAME PICTURE-FILE SOUND-FILE MIN-PICTURES: at least MIN pictures
# of the channel's size and at least 1 s of sound.
decoded() {
  local name=$1 got
  read -r -a got <<<"$(pictures "$2")"
  lab_check "$name: pictures of 320x240 (got ${got[*]:-none})" \
    test "${got[0]:-0}x${got[1]:-0}" = 320x240
  lab_check "$name: at least $4 pictures (got ${got[2]:-0})" test "${got[2]:-0}" -ge "$4"
  lab_check "$name: at least 1 s of sound" test "$(seconds "$3")" -ge 1
}

# vlc NAME URL [OPTION...]: VLC plays URL for 4 s, writing the pictures it
# decoded (I420 with a YUV4MPEG2 head) and the sound (PCM).
vlc() {
  local name=$1 out=$work/vlc/$1
  as_vlc timeout 30 cvlc -I dummy --play-and-exit --run-time=4 "${@:3}" \
    --vout=yuv --yuv-chroma=I420 --yuv-yuv4mpeg2 --yuv-file="$out.y4m" \
    --aout=afile --audiofile-file="$out.wav" "$2" >"$out.log" 2>&1
  lab_check "$name: VLC ends with status 0" test $? = 0
  decoded "$name" "$out.y4m" "$out.wav" 50
  rm -f "$out.y4m"
}

# lab_browse_urls BASE OBJECT: Browse's answer in $work/answer, and the URL
# of each item in it (the DIDL-Lite is escaped once more inside the SOAP
# answer: "&amp;" in a URL stands for "&").
lab_browse_urls() {
  printf '%s' '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>'"$2"'</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>' \
    >"$work/browse"
  lab_exec lan curl -s --max-time 5 -o "$work/answer" \
    -H 'Content-Type: text/xml; charset="utf-8"' \
    -H 'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"' \
    --data-binary @"$work/browse" "$1/upnp/control/cds"
  grep -oP '&gt;\Khttp://.*?(?=&lt;/res)' "$work/answer" | sed -e 's/&amp;amp;/\&/g'
}
