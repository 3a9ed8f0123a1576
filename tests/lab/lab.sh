# The network lab: real Linux hosts made of network namespaces, joined by
# veth links, with addresses from the benchmarking range 198.18.0.0/15.
# Source this file, then:
#
#   lab_init NAME            unique lab name for this run; tears down on exit
#   lab_host HOST            a namespace with its loopback up
#   lab_link H1 IF1 ADDR1 H2 IF2 ADDR2
#                            a veth pair H1:IF1 <-> H2:IF2 (ADDR as a.b.c.d/len)
#   lab_addr HOST IF ADDR    one more address on an interface
#   lab_exec HOST CMD...     runs CMD inside HOST
#   lab_ns HOST              the namespace name of HOST
#   lab_relay_hosts          src -- relay -- lan, the relay's usual lab
#   lab_ffmpeg_channel SECONDS GROUP:PORT
#                            an ffmpeg channel from src
#   lab_start_relay BIN ARGS...
#                            the relay on `relay`, waited for until it prompts
#   lab_switch SW FLAVOUR    a switch: host SW with the bridge br0 (see below)
#   lab_switch_port SW HOST IF ADDR
#                            HOST's interface IF (ADDR) on SW's port pHOST
#   lab_switch_flavour SW FLAVOUR
#                            turns SW into the other flavour
#   lab_switch_up SW         waits until every port of SW and its host ends
#                            carry traffic
#
# Everything stays inside the lab's own namespaces and is always removed, also
# when the test fails or is interrupted. Without root the caller should skip
# (lab_require_root exits with 77, CTest's skip code).

LAB_ID=""
LAB_HOSTS=()
LAB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

lab_require_root() {
  if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
    echo "SKIP: the network lab needs root and iproute2 (ip netns)"
    exit 77
  fi
}

lab_teardown() {
  local host
  for host in "${LAB_HOSTS[@]}"; do
    # Killing what still runs inside lets the namespace go at once.
    ip netns pids "$LAB_ID-$host" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns delete "$LAB_ID-$host" 2>/dev/null
  done
  LAB_HOSTS=()
}

# Also makes the run's folder, $work, removed with the lab at exit.
lab_init() {
  lab_require_root
  # Short, unique per run: namespaces of parallel tests never collide.
  LAB_ID="$1-$$-$RANDOM"
  work=$(mktemp -d)
  trap 'lab_teardown; rm -rf "$work"' EXIT
  trap 'exit 130' INT TERM
}

# Skips the test (status 77) when one of the programs is missing.
lab_need() { # program...
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
  done
}

lab_ns() { echo "$LAB_ID-$1"; }

lab_host() {
  ip netns add "$LAB_ID-$1" || return 1
  LAB_HOSTS+=("$1")
  ip -n "$LAB_ID-$1" link set lo up
}

lab_link() {
  local h1=$1 if1=$2 a1=$3 h2=$4 if2=$5 a2=$6
  ip -n "$LAB_ID-$h1" link add "$if1" type veth peer name "$if2" netns "$LAB_ID-$h2" || return 1
  ip -n "$LAB_ID-$h1" addr add "$a1" dev "$if1"
  ip -n "$LAB_ID-$h2" addr add "$a2" dev "$if2"
  ip -n "$LAB_ID-$h1" link set "$if1" up
  ip -n "$LAB_ID-$h2" link set "$if2" up
}

lab_addr() { ip -n "$LAB_ID-$1" addr add "$3" dev "$2"; }

lab_exec() {
  local host=$1
  shift
  ip netns exec "$LAB_ID-$host" "$@"
}

# The relay's usual lab: `src` (the IPTV side, 198.18.1.1, with a multicast
# route) -- `relay` (198.18.1.2 towards src, 198.18.2.1 towards the LAN) --
# `lan` (198.18.2.2).
lab_relay_hosts() {
  lab_host src && lab_host relay && lab_host lan || return 1
  lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24 || return 1
  lab_link relay eth1 198.18.2.1/24 lan eth0 198.18.2.2/24 || return 1
  ip -n "$LAB_ID-src" route add 224.0.0.0/4 dev eth0
}

# An ffmpeg channel from `src` to GROUP:PORT for SECONDS: a test card and a
# tone, every picture a key frame, 2 Mbit/s in 1316-byte datagrams.
lab_ffmpeg_channel() { # seconds group:port
  ip netns exec "$LAB_ID-src" ffmpeg -nostdin -v error -re -t "$1" \
    -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440 \
    -c:v mpeg2video -g 1 -b:v 2M -c:a mp2 -f mpegts "udp://$2?pkt_size=1316&ttl=2" \
    >/dev/null 2>&1 &
  disown
}

# The relay on `relay`, listening on 198.18.2.1:2901 and receiving on
# 198.18.1.2, with ARGS: its console in $work/out, its input on descriptor 3,
# its process in relay_pid; checks that it prompts.
lab_start_relay() { # relay_bin args...
  local bin=$1
  shift
  rm -f "$work/in" && mkfifo "$work/in"
  exec 3<>"$work/in"
  # Emptied here, not by the background job's redirection, which may come
  # after the wait below has read a previous relay's prompt.
  : >"$work/out"
  ip netns exec "$LAB_ID-relay" "$bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 "$@" \
    <"$work/in" >"$work/out" 2>&1 &
  relay_pid=$!
  lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
}

# A LAN switch: the host SW holds the bridge br0, each attached host one
# port. FLAVOUR `plain` has no multicast snooping: every report reaches every
# port, as on a cheap switch. `snooping` forwards the reports only towards
# the router port, the one it heard a query on (the bridge takes a port as
# the router's from a query, and it stops flooding reports only once a
# querier has been heard); queries and leaves still reach every port.
declare -A LAB_SWITCH_ENDS
lab_switch() {
  lab_host "$1" || return 1
  ip -n "$LAB_ID-$1" link add br0 type bridge || return 1
  lab_switch_flavour "$1" "$2" || return 1
  ip -n "$LAB_ID-$1" link set br0 up
  LAB_SWITCH_ENDS[$1]=""
}

# What a snooping switch learnt (router port, groups) goes with its
# snooping: turned on again it floods reports until it hears a query.
lab_switch_flavour() {
  local snooping
  case $2 in
    plain) snooping=0 ;;
    snooping) snooping=1 ;;
    *) echo "lab_switch: flavour plain or snooping, not $2" >&2; return 1 ;;
  esac
  ip -n "$LAB_ID-$1" link set br0 type bridge mcast_snooping "$snooping"
}

lab_switch_port() {
  local sw=$1 host=$2 dev=$3 addr=$4
  ip -n "$LAB_ID-$host" link add "$dev" type veth peer name "p$host" netns "$LAB_ID-$sw" ||
    return 1
  ip -n "$LAB_ID-$host" addr add "$addr" dev "$dev"
  ip -n "$LAB_ID-$host" link set "$dev" up
  ip -n "$LAB_ID-$sw" link set "p$host" master br0 up
  LAB_SWITCH_ENDS[$sw]+=" $host:$dev $sw:p$host"
}

# New links carry nothing until the kernel has marked them up (this can
# take a second): a query or report sent before is lost. At most 5 s.
lab_switch_up() {
  local i end ready
  for ((i = 0; i < 50; i++)); do
    ready=1
    for end in ${LAB_SWITCH_ENDS[$1]}; do
      ip -n "$LAB_ID-${end%%:*}" link show "${end#*:}" | grep -q 'state UP' || { ready=0; break; }
    done
    [ "$ready" = 1 ] && return 0
    sleep 0.1
  done
  return 1
}

# How many sockets of HOST joined GROUP on interface IF (0 when none).
lab_igmp_users() {
  local host=$1 dev=$2 hex
  hex=$(echo "$3" | awk -F. '{ printf "%02X%02X%02X%02X", $4, $3, $2, $1 }')
  ip netns exec "$LAB_ID-$host" cat /proc/net/igmp | awk -v g="$hex" -v d="$dev" '
    /^[0-9]/ { dev = $2 } dev == d && $1 == g { print $2; found = 1 }
    END { if (!found) print 0 }'
}

# Test helpers shared by the lab scripts.
LAB_FAILURES=0
LAB_PASSES=0
lab_check() {
  # lab_check "description" CMD...: passes when CMD succeeds.
  local what=$1
  shift
  if "$@"; then
    LAB_PASSES=$((LAB_PASSES + 1))
  else
    LAB_FAILURES=$((LAB_FAILURES + 1))
    echo "FAIL: $what"
  fi
}

lab_finish() {
  echo "$LAB_PASSES passed, $LAB_FAILURES failed"
  [ "$LAB_FAILURES" = 0 ]
}

# Waits (at most $2 tenths of a second) until file $1 contains line $3.
lab_wait_line() {
  local file=$1 tenths=$2 line=$3 i
  for ((i = 0; i < tenths; i++)); do
    grep -qxF -- "$line" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Waits (at most $2 tenths of a second) until process $1 has ended.
lab_wait_exit() {
  local pid=$1 tenths=$2 i
  for ((i = 0; i < tenths; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# Waits (at most $1 tenths of a second) until CMD prints exactly $2; says
# what it printed instead when it never does.
lab_wait_output() {
  local tenths=$1 expected=$2 i now
  shift 2
  for ((i = 0; i < tenths; i++)); do
    now=$("$@")
    [ "$now" = "$expected" ] && return 0
    sleep 0.1
  done
  echo "expected: $expected; now: $now"
  return 1
}

# The bytes in file $1 so far (0 before it exists).
lab_size() { stat -c %s "$1" 2>/dev/null || echo 0; }
# Waits (at most $2 tenths of a second) until file $1 holds more than $3
# bytes.
lab_grows_past() {
  local i
  for ((i = 0; i < $2; i++)); do
    [ "$(lab_size "$1")" -gt "$3" ] && return 0
    sleep 0.1
  done
  return 1
}

# For the load tests: skips without curl or python3, and raises the
# descriptor limit for a thousand connections in the clients. The program
# under test starts with the usual soft limit of 1024 (LAB_USUAL_LIMITS
# before its command) and must raise it to the hard limit itself.
lab_prepare_load() {
  command -v curl >/dev/null || { echo "SKIP: curl is missing"; exit 77; }
  command -v python3 >/dev/null || { echo "SKIP: python3 is missing"; exit 77; }
  command -v prlimit >/dev/null || { echo "SKIP: prlimit is missing"; exit 77; }
  ulimit -n 4096 || { echo "SKIP: cannot raise the descriptor limit"; exit 77; }
  LAB_USUAL_LIMITS=(prlimit --nofile=1024:4096 --)
}

# The soft limit of open descriptors of process PID.
lab_fd_limit() { awk '/^Max open files/ {print $4}' "/proc/$1/limits"; }

# The accept queue length of the listener on HOST's PORT, and the kernel's
# ceiling for it there.
lab_listen_backlog() {
  lab_exec "$1" ss -Hltn "sport = :$2" | awk '{print $3; exit}'
}
lab_somaxconn() { lab_exec "$1" cat /proc/sys/net/core/somaxconn; }

# How many connects HOST's listeners have dropped for a full accept queue.
lab_listen_overflows() {
  lab_exec "$1" nstat -saz TcpExtListenOverflows | awk '$1 == "TcpExtListenOverflows" {print $2}'
}

# For the load tests: 200 connects from the lan host at once to the server on
# HOST at ADDRESS:PORT, one request each for the --doc documents that follow.
# The accept queue takes them all, none waits for its SYN to be sent again.
#   lab_burst HOST ADDRESS PORT --doc PATH=FILE...
lab_burst() {
  local host=$1 address=$2 port=$3 overflows
  shift 3
  lab_phase "burst"
  lab_check "accept queue as deep as the system allows" \
    test "$(lab_listen_backlog "$host" "$port")" = "$(lab_somaxconn "$host")"
  overflows=$(lab_listen_overflows "$host")
  lab_check "200 connects at once, 200 exact answers" \
    lab_exec lan python3 "$LAB_DIR/http_load.py" keepalive "$address" "$port" --connections 200 \
    --requests 1 --at-once 200 "$@" --seconds 30
  lab_check "200 connects at once: no listen overflow" \
    test "$(lab_listen_overflows "$host")" = "$overflows"
}

# Where the time goes, in a test's output.
lab_phase() { echo "--- $1 (at ${SECONDS} s)"; }

# For the load tests, once the program (process $pid, its console on fd 3)
# has carried the load: stops it with q, untimed (under AddressSanitizer the
# leak check at exit, after all those connections, takes a good part of a
# second by itself; status 0 there also says nothing leaked). Then starts it
# afresh twice with START INPUT OUTPUT, both outputs in folder WORK, and
# runs STOP_UNDER_LOAD q, then STOP_UNDER_LOAD TERM.
#   lab_stop_runs NAME WORK START STOP_UNDER_LOAD
lab_stop_runs() {
  local name=$1 work=$2 start=$3 stop=$4
  echo q >&3
  lab_check "stop after the load: exits" lab_wait_exit "$pid" 100
  wait "$pid"
  lab_check "stop after the load: exit status 0" test $? = 0

  mkfifo "$work/in.q"
  exec 3<>"$work/in.q"
  lab_check "$name prompts (q run)" "$start" "$work/in.q" "$work/out.q"
  "$stop" q
  lab_check "$name prompts (SIGTERM run)" "$start" /dev/null "$work/out.TERM"
  "$stop" TERM
}
