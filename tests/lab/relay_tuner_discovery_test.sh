#!/usr/bin/env bash
# The network tuner's discovery between lab hosts: the vendor's own client
# (`hdhomerun_config discover`) finds the relay by its device id and
# address; a media center's request by unicast, to the subnet broadcast and
# to 255.255.255.255 gets one reply from the relay's address and port 65001
# with the id, --tuners, the base and lineup URLs and the auth string; no
# reply for another device id, from the relay's other interface, or from an
# address off the LAN's subnet; a flood from one host gets a few replies
# while a second host is still answered; the same id on the next run;
# nothing with --without-tuner or without a playlist. Prints the median time
# from request to reply (not checked).
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"

command -v hdhomerun_config >/dev/null || { echo "SKIP: hdhomerun_config is missing"; exit 77; }
command -v python3 >/dev/null || { echo "SKIP: python3 is missing"; exit 77; }
client="$LAB_DIR/tuner_client.py"

# src -- relay (eth0 198.18.1.2; eth1 198.18.2.1 on the LAN's switch) with
# two LAN hosts on the switch: lan (198.18.2.2) and lan2 (198.18.2.3).
lab_init rtd
lab_host src && lab_host relay && lab_host lan && lab_host lan2
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
lab_switch sw plain
lab_switch_port sw relay eth1 198.18.2.1/24
lab_switch_port sw lan eth0 198.18.2.2/24
lab_switch_port sw lan2 eth0 198.18.2.3/24
lab_check "switch ports up" lab_switch_up sw
work=$(mktemp -d)
trap 'lab_teardown; rm -rf "$work"' EXIT
printf '#EXTM3U\n#EXTINF:1,One\nudp://@239.255.0.1:5002\n' >"$work/list.m3u"

# tuner HOST COMMAND ARGS...: the media center's side, run in HOST.
tuner() {
  local host=$1
  shift
  lab_exec "$host" timeout 20 python3 "$client" "$@"
}
discover() { lab_exec "$1" timeout 10 hdhomerun_config discover; }
lab_wait_file() {
  local i
  for ((i = 0; i < 50; i++)); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}
stop_relay() {
  printf 'q' >&3
  lab_check "q stops the relay ($1)" lab_wait_exit "$relay_pid" 50
  wait "$relay_pid"
  lab_check "exit status 0 ($1)" test $? = 0
  exec 3>&-
}

# --- the first run: found, answered ------------------------------------------
lab_start_relay "$relay_bin" -p "$work/list.m3u" --tuners 7
lab_check "start line" grep -qxF "Starting tuner discovery." "$work/out"

discover lan >"$work/found" 2>&1
lab_check "hdhomerun_config finds one device at the relay's address" \
  grep -qxE 'hdhomerun device [0-9A-F]{8} found at 198\.18\.2\.1' "$work/found"
id=$(sed -n 's/^hdhomerun device \([0-9A-F]\{8\}\) found at .*/\1/p' "$work/found")
lab_check "... and only that one" test "$(wc -l <"$work/found")" = 1
echo "device id: ${id:-none}"

# Every way a request reaches the relay gets the same reply.
reply_pattern="198\.18\.2\.1:65001\|3\|$id\|7\|http://198\.18\.2\.1:2901\|http://198\.18\.2\.1:2901/lineup\.json\|[A-Za-z0-9]{24}\|crc-ok"
for destination in 198.18.2.1 198.18.2.255 255.255.255.255; do
  tuner lan ask "$destination" --bind 198.18.2.2 --wait 1 >"$work/reply" 2>&1
  lab_check "request to $destination: one reply with id, 7 tuners, URLs and auth" \
    grep -qxE "$reply_pattern" "$work/reply"
  lab_check "... and no other" test "$(wc -l <"$work/reply")" = 1
done
auth=$(cut -d'|' -f7 "$work/reply")
tuner lan ask 198.18.2.1 --id "$id" --wait 1 >"$work/by-id" 2>&1
lab_check "a request for its own id is answered" grep -qxE "$reply_pattern" "$work/by-id"

# Silence for what is not ours to answer.
other_id=1013FADA
[ "$id" = "$other_id" ] && other_id=1038DC2B
tuner lan ask 198.18.2.1 --id "$other_id" --wait 1 >"$work/other-id" 2>&1
lab_check "no reply for another device id" test ! -s "$work/other-id"
discover src >"$work/src-found" 2>&1
lab_check "hdhomerun_config on the relay's other interface finds nothing" \
  grep -qx "no devices found" "$work/src-found"
tuner src ask 198.18.1.2 --bind 198.18.1.1 --wait 1 >"$work/src-unicast" 2>&1
lab_check "no reply to a unicast request on the other interface" test ! -s "$work/src-unicast"
# A host on the IPTV side that writes a LAN address as its source would
# have the reply sent onto the LAN: lan2 holds that address too, and hears
# nothing.
lab_addr src eth0 198.18.2.50/32
ip -n "$(lab_ns src)" route add 198.18.2.0/24 via 198.18.1.2
lab_addr lan2 eth0 198.18.2.50/32
tuner lan2 listen 198.18.2.50 40000 "$work/ready-forged" --wait 2 >"$work/forged" 2>&1 &
listen_pid=$!
lab_check "listener ready on lan2" lab_wait_file "$work/ready-forged"
tuner src ask 198.18.2.1 --bind 198.18.2.50 --port 40000 --wait 0.2 >/dev/null 2>&1
wait "$listen_pid"
lab_check "no reply onto the LAN for a request that came in on the other interface" \
  test ! -s "$work/forged"
lab_addr lan eth0 198.19.0.5/32
tuner lan ask 198.18.2.1 --bind 198.19.0.5 --wait 1 >"$work/off-subnet" 2>&1
lab_check "no reply to a sender off the LAN's subnet" test ! -s "$work/off-subnet"

# A flood from lan: 200 requests over about 2 s. Replies are rationed to 4
# at once and 2 a second after; lan2 asks in the middle of it.
tuner lan flood 198.18.2.1 200 0.01 --bind 198.18.2.2 --wait 1 >"$work/flood" 2>&1 &
flood_pid=$!
sleep 0.5
tuner lan2 ask 198.18.2.1 --wait 1 >"$work/second" 2>&1
wait "$flood_pid"
cat "$work/flood"
read -r _ sent _ replies _ seconds <"$work/flood"
lab_check "the flood got a reply" test "${replies:-0}" -ge 1
# At most the burst and what refilled while it went on (one more for the
# second the last reply may be counted in).
most=$(awk -v s="${seconds:-0}" 'BEGIN { printf "%d", 4 + 2 * s + 1 }')
lab_check "the flood of ${sent:-?} got ${replies:-?} replies in ${seconds:-?} s, at most $most" \
  test "${replies:-999}" -le "$most"
lab_check "the second host was answered during the flood" grep -qxE "$reply_pattern" "$work/second"

# Time from request to reply: 100 requests from 100 addresses of lan (each
# source gets few replies a second), one after the other.
for i in $(seq 100 199); do lab_addr lan eth0 "198.18.2.$i/24"; done
tuner lan rtt 198.18.2.1 $(seq -f '198.18.2.%g' 100 199) >"$work/rtt" 2>&1
echo "request to reply: $(cat "$work/rtt")"

stop_relay "first run"
lab_check "stop lines in order" diff -u \
  <(printf '%s\n' "Starting http server." "Starting dlna server." "Starting tuner discovery." \
    "Stopping tuner discovery." "Stopping http server" "Stopping DLNA Server.") \
  <(grep -xE 'Starting (http|dlna) server\.|(Starting|Stopping) tuner discovery\.|Stopping http server|Stopping DLNA Server\.' "$work/out")

# --- the next run: the same tuner ----------------------------------------------
lab_start_relay "$relay_bin" -p "$work/list.m3u"
tuner lan ask 198.18.2.255 --bind 198.18.2.2 --wait 1 >"$work/again" 2>&1
lab_check "the next run: the same id and auth string, 4 tuners by default" \
  grep -qxF "198.18.2.1:65001|3|$id|4|http://198.18.2.1:2901|http://198.18.2.1:2901/lineup.json|$auth|crc-ok" \
  "$work/again"
stop_relay "second run"

# --- no tuner --------------------------------------------------------------------
lab_start_relay "$relay_bin" -p "$work/list.m3u" --without-tuner
discover lan >"$work/without" 2>&1
lab_check "--without-tuner: hdhomerun_config finds nothing" grep -qx "no devices found" "$work/without"
lab_check "--without-tuner: no start line" test "$(grep -cxF "Starting tuner discovery." "$work/out")" = 0
stop_relay "--without-tuner"

lab_start_relay "$relay_bin"
discover lan >"$work/no-playlist" 2>&1
lab_check "without a playlist (no media server): hdhomerun_config finds nothing" \
  grep -qx "no devices found" "$work/no-playlist"
stop_relay "no playlist"

lab_finish
