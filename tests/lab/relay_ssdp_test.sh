#!/usr/bin/env bash
# The media server's SSDP between lab hosts: the five announcements at
# start, answers to group and unicast searches (in order, by unicast, within
# the MX window, also right after a flood of searches with a huge negative
# MX), silence for searches without MX and for searches that come in on the
# relay's other interface, a real SSDP stack (GSSDP) finding the
# device both from the announcements and from its own search, and exactly one
# byebye at the stop.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"

# The system interpreter: the GSSDP bindings belong to it.
py=/usr/bin/python3
[ -x "$py" ] || { echo "SKIP: $py is missing"; exit 77; }

lab_init rsd
lab_relay_hosts
ip -n "$(lab_ns lan)" route add 224.0.0.0/4 dev eth0

location=http://198.18.2.1:2901/description.xml
printf '#EXTM3U\n#EXTINF:1,One\nudp://@239.255.0.1:5002\n' >"$work/list.m3u"

# The peers' side. Every datagram is printed as one line:
#   seconds since the start|source address|first line|NT or ST|NTS|USN|Location|tail
# where tail says whether it ends in the CONFIGID line and the empty line.
cat >"$work/ssdp.py" <<'EOF'
import socket, struct, sys, time

GROUP = "239.255.255.250"
start = time.monotonic()

def summary(data, source):
    text = data.decode("latin-1")
    lines = text.split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if colon:
            headers[name.strip().upper()] = value.strip()
    tail = "tail" if text.endswith("\r\nCONFIGID.UPNP.ORG: 18893\r\n\r\n") else "no-tail"
    kind = headers.get("NT", headers.get("ST", ""))
    return "%.2f|%s|%s|%s|%s|%s|%s|%s" % (time.monotonic() - start, source[0], lines[0], kind,
        headers.get("NTS", ""), headers.get("USN", ""), headers.get("LOCATION", ""), tail)

def collect(sock, seconds, count, only=None):
    # Until `count` datagrams (then one second more, to see extra ones) or
    # `seconds` have passed.
    deadline = time.monotonic() + seconds
    got = 0
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        sock.settimeout(left)
        try:
            data, source = sock.recvfrom(2048)
        except socket.timeout:
            return
        if only and source[0] != only:
            continue
        print(summary(data, source), flush=True)
        got += 1
        if got == count:
            deadline = min(deadline, time.monotonic() + 1.0)

def listen(interface, seconds, count, ready):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((GROUP, 1900))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                    struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(interface)))
    open(ready, "w").close()
    collect(sock, float(seconds), int(count), only="198.18.2.1")

def search(destination, st, mx, seconds, count):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    request = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
    if mx != "-":
        request += "MX: %s\r\n" % mx
    request += "ST: %s\r\n\r\n" % st
    sock.sendto(request.encode(), (destination, 1900))
    collect(sock, float(seconds), int(count))

def flood(destination, mx, count):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    request = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
               "MX: %s\r\nST: ssdp:all\r\n\r\n" % mx).encode()
    for _ in range(int(count)):
        sock.sendto(request, (destination, 1900))

def udn(url):
    import urllib.request
    with urllib.request.urlopen(url, timeout=5) as answer:
        body = answer.read().decode()
    print(body.split("<UDN>")[1].split("</UDN>")[0])

def browse(interface, seconds, ready):
    import gi
    gi.require_version("GSSDP", "1.6")
    from gi.repository import GLib, GSSDP
    client = GSSDP.Client.new_full(interface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
    browser = GSSDP.ResourceBrowser.new(client, "ssdp:all")
    loop = GLib.MainLoop()
    wanted = {"upnp:rootdevice", "urn:schemas-upnp-org:service:ContentDirectory:1",
              "urn:schemas-upnp-org:service:ConnectionManager:1"}
    found = set()
    def available(_browser, usn, locations):
        print("%.2f|%s|%s" % (time.monotonic() - start, usn, " ".join(locations)), flush=True)
        found.add(usn.partition("::")[2])
        if wanted <= found:
            loop.quit()
    browser.connect("resource-available", available)
    browser.set_active(True)
    open(ready, "w").close()
    GLib.timeout_add(int(float(seconds) * 1000), loop.quit)
    loop.run()

globals()[sys.argv[1]](*sys.argv[2:])
EOF
# ssdp HOST COMMAND ARGS...: the peers' side, run in HOST.
ssdp() {
  local host=$1
  shift
  lab_exec "$host" timeout 20 "$py" "$work/ssdp.py" "$@"
}
# The summaries without their time.
lines() { cut -d'|' -f2- "$1"; }
# The latest arrival in a summary file, in hundredths of a second.
last_arrival() { tail -n 1 "$1" | cut -d'|' -f1 | tr -d . | sed 's/^0*//; s/^$/0/'; }
wait_file() {
  local i
  for ((i = 0; i < 50; i++)); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}

# --- start: the announcements, seen raw and by GSSDP -------------------------
# Both peers are in the group before the relay starts. The browser's own
# searches (sent while there is no relay yet) go unanswered, so what it
# finds here it learned from the announcements.
ssdp lan listen 198.18.2.2 8 5 "$work/ready-listen" \
  >"$work/alive" 2>"$work/alive.err" &
listen_pid=$!
ssdp lan browse eth0 10 "$work/ready-browse" \
  >"$work/browse-alive" 2>"$work/browse-alive.err" &
browse_pid=$!
lab_check "group listener ready" wait_file "$work/ready-listen"
lab_check "GSSDP browser ready" wait_file "$work/ready-browse"
sleep 2

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.1.2 \
  -p "$work/list.m3u" <"$work/in" >"$work/out" 2>&1 &
relay_pid=$!
lab_check "relay prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
lab_check "dlna start line" grep -qxF "Starting dlna server." "$work/out"

# The device UUID is named after this machine and the relay's address: the
# one its description carries, which every message must repeat.
uuid=$(ssdp lan udn "$location")
uuid=${uuid#uuid:}
lab_check "the UDN is an upper-case 8-4-4-4-12 UUID" \
  grep -qxE '[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}' <<<"$uuid"
if [ -s /etc/machine-id ]; then
  lab_check "the UUID is this machine's own, not the fallback" \
    test "$uuid" != 5A3C9E71-4B2D-4F08-9C61-2E7D8B0A4F13
fi
alive() { echo "198.18.2.1|NOTIFY * HTTP/1.1|$1|ssdp:alive|$2|$location|tail"; }
answer() { echo "198.18.2.1|HTTP/1.1 200 OK|$1||$2|$location|tail"; }
targets=(upnp:rootdevice "uuid:$uuid" urn:schemas-upnp-org:device:MediaServer:1
  urn:schemas-upnp-org:service:ContentDirectory:1 urn:schemas-upnp-org:service:ConnectionManager:1)
usn_of() { if [ "$1" = "uuid:$uuid" ]; then echo "$1"; else echo "uuid:$uuid::$1"; fi; }
for t in "${targets[@]}"; do alive "$t" "$(usn_of "$t")"; done >"$work/expect-alive"
for t in "${targets[@]}"; do answer "$t" "$(usn_of "$t")"; done >"$work/expect-answers"

wait "$listen_pid"
lab_check "five announcements at start, in order, nothing more" \
  diff -u "$work/expect-alive" <(lines "$work/alive")
wait "$browse_pid"
lab_check "GSSDP found the device from the announcements" \
  test "$(cut -d'|' -f2- "$work/browse-alive" | grep -cxE "uuid:$uuid::(upnp:rootdevice|urn:schemas-upnp-org:service:(ContentDirectory|ConnectionManager):1)\|$location")" = 3

# --- searches ----------------------------------------------------------------
ssdp lan search 239.255.255.250 ssdp:all 3 5 5 \
  >"$work/all"
lab_check "group search ssdp:all MX 3: five unicast answers in order" \
  diff -u "$work/expect-answers" <(lines "$work/all")
lab_check "the answers came within the MX window ($(last_arrival "$work/all") hundredths)" \
  test "$(last_arrival "$work/all")" -lt 350

ssdp lan search 198.18.2.1 upnp:rootdevice 1 3 1 \
  >"$work/unicast"
lab_check "unicast search to the relay's address is answered" \
  diff -u <(sed -n 1p "$work/expect-answers") <(lines "$work/unicast")

ssdp lan search 239.255.255.250 ssdp:all - 2 1 \
  >"$work/no-mx"
lab_check "a search without MX gets no answer" test ! -s "$work/no-mx"

# Searches whose MX would hold their answers for decades must not use up
# the room for waiting answers.
ssdp lan flood 198.18.2.1 -2147483648 80
ssdp lan search 198.18.2.1 upnp:rootdevice 2 4 1 \
  >"$work/after-flood"
lab_check "after a flood of 80 searches with MX -2147483648 a search is answered" \
  diff -u <(sed -n 1p "$work/expect-answers") <(lines "$work/after-flood")
lab_check "... within its MX of 2 s ($(last_arrival "$work/after-flood") hundredths)" \
  test "$(last_arrival "$work/after-flood")" -lt 300

# The relay's other interface is not the media server's: searches that
# arrive there are dropped.
ssdp src search 198.18.1.2 ssdp:all 1 2 1 \
  >"$work/other-unicast"
lab_check "unicast search on the other interface gets no answer" test ! -s "$work/other-unicast"
ssdp src search 239.255.255.250 ssdp:all 1 2 1 \
  >"$work/other-group"
lab_check "group search on the other interface gets no answer" test ! -s "$work/other-group"

# --- GSSDP's own search --------------------------------------------------------
ssdp lan browse eth0 8 "$work/ready-search" \
  >"$work/browse-search" 2>"$work/browse-search.err"
lab_check "GSSDP found the device by its own search" \
  test "$(cut -d'|' -f2- "$work/browse-search" | grep -cxE "uuid:$uuid::(upnp:rootdevice|urn:schemas-upnp-org:service:(ContentDirectory|ConnectionManager):1)\|$location")" = 3

# --- stop: one byebye ----------------------------------------------------------
ssdp lan listen 198.18.2.2 6 1 "$work/ready-bye" \
  >"$work/bye" 2>"$work/bye.err" &
listen_pid=$!
lab_check "group listener ready for the stop" wait_file "$work/ready-bye"
printf 'q' >&3
lab_check "q stops the relay" lab_wait_exit "$relay_pid" 50
wait "$relay_pid"
lab_check "exit status 0" test $? = 0
exec 3>&-
wait "$listen_pid"
lab_check "exactly one byebye, for the root device" \
  diff -u <(echo "198.18.2.1|NOTIFY * HTTP/1.1|upnp:rootdevice|ssdp:byebye|uuid:$uuid::upnp:rootdevice|$location|tail") \
  <(lines "$work/bye")
lab_check "stop lines in order" diff -u \
  <(printf '%s\n' "Starting http server." "Starting dlna server." "Stopping http server" \
    "Stopping DLNA Server." "Adverter: Multicasting Bye Bye message." "Will exit.") \
  <(grep -xE 'Starting (http|dlna) server\.|Stopping http server|Stopping DLNA Server\.|Adverter: .*|Will exit\.' "$work/out")

lab_finish
