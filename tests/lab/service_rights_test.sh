#!/usr/bin/env bash
# Both programs with the rights their systemd units give them, and no more:
# not root (nobody), each unit's capability as the only one (ambient and
# bounding), no new privileges, tessaran's nice limit. The relay serves its
# description with a playlist, streams an ffmpeg channel, raises its
# receiving threads, and its snooper starts without a permission error and
# forwards the channel to a LAN host that joins it, and --rejoin opens its
# raw socket; ondrel serves a file and a PHP page on port 80. Both stop on
# SIGTERM, as systemd stops them. With the --admin-allow of the installed
# command line (packaging/default/tessaran) the relay refuses a quit from
# the LAN (403, and runs on) and takes one from loopback.
set -u
relay_bin=$1
web_bin=$2
. "$(dirname "$0")/lab.sh"
python=/usr/bin/python3
lab_need ffmpeg curl setpriv prlimit $python

lab_init svc
lab_relay_hosts
chmod 755 "$work"

# as_service CAPABILITY PROGRAM ARGS...: as the unit runs it (LimitNICE=-5
# is the nice limit 25; raising it needs CAP_SYS_RESOURCE, which a container
# may lack: then the nice check is left out).
nice_limit=(prlimit --nice=25 --)
"${nice_limit[@]}" true 2>/dev/null || nice_limit=()
as_service() {
  local cap=$1
  shift
  exec "${nice_limit[@]}" setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs \
    --inh-caps=-all,+"$cap" --ambient-caps=-all,+"$cap" --bounding-set=-all,+"$cap" -- "$@"
}
printf '#!/usr/bin/env bash\n%s\n%s\nas_service net_raw %q "$@"\n' "$(declare -p nice_limit)" \
  "$(declare -f as_service)" "$relay_bin" >"$work/relay-as-service"
chmod 755 "$work/relay-as-service"

# The installed command line's --admin-allow.
admin_allow=$(
  . "$LAB_DIR/../../packaging/default/tessaran"
  set -- $TESSARAN_ARGS
  while [ $# -gt 1 ] && [ "$1" != --admin-allow ]; do shift; done
  [ "$1" = --admin-allow ] && echo "$2"
)
lab_check "the installed command line: --admin-allow 127.0.0.0/8 ($admin_allow)" \
  test "$admin_allow" = 127.0.0.0/8

lab_ffmpeg_channel 60 239.1.2.1:5000
printf '%s\n' '#EXTM3U' '#EXTINF:1,News' 'udp://@239.1.2.1:5000' >"$work/channels.m3u"
lab_start_relay "$work/relay-as-service" -p "$work/channels.m3u" --with-igmpsnooper --rejoin 60 \
  --admin-allow "$admin_allow"
status=/proc/$relay_pid/status
lab_check "relay runs as nobody" grep -qP '^Uid:\t65534\t65534\t65534\t65534$' "$status"
lab_check "relay holds CAP_NET_RAW alone" grep -qP '^CapEff:\t0000000000002000$' "$status"

base=http://198.18.2.1:2901
lab_check "description with the media server" grep -q "urn:schemas-upnp-org:device:MediaServer:1" \
  <(lab_exec lan curl -s --max-time 5 "$base/description.xml")
lab_exec lan curl -s --max-time 3 -o "$work/stream" "$base/vkx/239.1.2.1:5000"
lab_check "stream: more than 100 kB of transport stream" \
  test "$(stat -c %s "$work/stream")" -gt 100000 -a "$(head -c 1 "$work/stream" | od -An -tx1)" = " 47"

# The snooper: its sockets open, a LAN host joining gets the channel.
lab_check "snooper queries" lab_wait_line "$work/out" 30 "Igmp snooper: Sending general query (224.0.0.1) "
forwarded=$(lab_exec lan timeout 20 $python "$LAB_DIR/igmp_host.py" 239.1.2.1 198.18.2.2 5000 6 2)
lab_check "snooper forwards to a joined host ($forwarded)" \
  test "$(awk '{print $2}' <<<"$forwarded")" -gt 100
lab_check "no permission error" bash -c "! grep -E \"Can't|rror\" '$work/out'"

# A stream's receiving thread runs five nice steps up, by the nice limit alone.
if [ ${#nice_limit[@]} = 0 ]; then
  echo "note: no CAP_SYS_RESOURCE for the nice limit here, the nice check is left out"
else
  lab_exec lan curl -s --max-time 3 -o /dev/null "$base/vkx/239.1.2.1:5000" &
  curl_pid=$!
  lab_check "receiving thread at nice -5" lab_wait_output 20 yes \
    bash -c "ps -L -o nice= -p $relay_pid | grep -qx ' *-5' && echo yes"
  wait "$curl_pid"
fi

# A quit from the LAN is refused and stops nothing.
lab_check "quit from the LAN: 403" test \
  "$(lab_exec lan curl -s --max-time 5 -o /dev/null -w '%{http_code}' "$base/command/quit")" = 403
sleep 0.5
lab_check "... and the relay runs on" kill -0 "$relay_pid"

kill -TERM "$relay_pid"
lab_check "relay stops on SIGTERM" lab_wait_exit "$relay_pid" 50
wait "$relay_pid"
lab_check "relay: exit status 0" test $? = 0

# From the machine itself (loopback) the quit stops the relay.
lab_start_relay "$work/relay-as-service" --admin-allow "$admin_allow"
lab_exec relay curl -s --max-time 5 --interface 127.0.0.1 -o /dev/null "$base/command/quit"
lab_check "quit from loopback stops the relay" lab_wait_exit "$relay_pid" 50
wait "$relay_pid"
lab_check "relay: exit status 0 after the quit" test $? = 0

# ondrel on port 80 with CAP_NET_BIND_SERVICE, and php-cgi below it.
mkdir -p "$work/www"
echo "served" >"$work/www/index.html"
printf '<?php echo "php ", 6 * 7;' >"$work/www/page.php"
ip netns exec "$(lab_ns relay)" bash -c "$(declare -p nice_limit); $(declare -f as_service); as_service net_bind_service \
  $(printf %q "$web_bin") -li 198.18.2.1 -lp 80 -sp $(printf %q "$work/www/")" \
  </dev/null >"$work/web.out" 2>&1 &
web_pid=$!
lab_check "ondrel prompts" lab_wait_line "$work/web.out" 50 "Enter q to exit."
lab_check "ondrel serves a file on port 80" \
  test "$(lab_exec lan curl -s --max-time 5 http://198.18.2.1/)" = served
if command -v php-cgi >/dev/null; then
  lab_check "ondrel runs a PHP page" \
    test "$(lab_exec lan curl -s --max-time 10 http://198.18.2.1/page.php)" = "php 42"
fi
kill -TERM "$web_pid"
lab_check "ondrel stops on SIGTERM" lab_wait_exit "$web_pid" 50
wait "$web_pid"
lab_check "ondrel: exit status 0" test $? = 0

lab_finish || { cat "$work/out" "$work/web.out"; exit 1; }
