#!/usr/bin/env bash
# ondrel serving a folder, on its own lab host, with curl: the usage block,
# heads of 200/206/404/416, ranges (also beyond 4 GiB of a sparse file),
# If-Range, compression rules, the folder refusal, refused extensions, paths
# that try to leave the folder (also through links), FIFOs and devices, and
# the stop.
set -u
web_bin=$1
. "$(dirname "$0")/../lab/lab.sh"
command -v curl >/dev/null || { echo "SKIP: curl is missing"; exit 77; }

lab_init wft
lab_host web
lab_host lan
lab_link web eth0 198.18.3.1/24 lan eth0 198.18.3.2/24
site=$work/www
mkdir -p "$site/docs"
echo "secret" >"$work/secret.txt"
printf 'hello' >"$site/index.html"
printf 'spaced' >"$site/a b.txt"
head -c 1000 /dev/urandom >"$site/k.bin"
: >"$site/empty.txt"
printf 'MZ' >"$site/setup.exe"
printf 'MZ' >"$site/setup.EXE"
printf 'MZ' >"$site/lib.dll"
printf 'upper a' >"$site/A.txt"
printf '<?php echo 1;' >"$site/page.PHP"
printf 'named in UTF-8' >"$site/"$'caf\xc3\xa9.txt'
head -c 102400 /dev/zero | tr '\0' 'x' >"$site/big.html"
head -c 614400 /dev/zero | tr '\0' 'y' >"$site/huge.html"
head -c 102400 /dev/zero >"$site/photo.jpg"
head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/shrinking.orig"
cp "$work/shrinking.orig" "$site/shrinking.bin"
truncate -s 5G "$site/sparse.bin"
printf 'END' | dd of="$site/sparse.bin" bs=1 seek=$((5 * 1024 * 1024 * 1024 - 3)) conv=notrunc 2>/dev/null

base=http://127.0.0.1:8080
get() { lab_exec web curl -s --max-time 10 "$@"; }
head_of() { get -o /dev/null -D - "$@" | tr -d '\r'; }

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns web)" "$web_bin" -lp 8080 -li 198.18.3.1 -sp "$site/" <"$work/in" \
  >"$work/out" 2>&1 &
pid=$!
lab_check "prompts" lab_wait_line "$work/out" 50 "Enter q to exit."
# A kept-alive connection left idle: the server closes it after 15 s. It
# runs beside the other checks; its result is read at the end.
lab_exec web timeout 40 bash -c 'exec 5<>/dev/tcp/127.0.0.1/8080
  printf "GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n" >&5
  start=$SECONDS; cat <&5 >/dev/null; echo $((SECONDS - start))' >"$work/idle" 2>&1 &
idle_pid=$!
lab_check "banner" test "$(sed -n 3p "$work/out")" = "|O|r|v|o| |W|e|b| |S|e|r|v|e|r|"
lab_check "usage ends with the note and three line ends" \
  test "$(sed -n '18,21p' "$work/out" | cut -c1-9 | tr '\n' '|')" = 'Example: |||Enter q t|'

lab_check "/ serves the root document" test "$(get "$base/")" = hello
lab_check "served on the lab interface" test "$(lab_exec lan curl -s --max-time 5 http://198.18.3.1:8080/)" = hello
lab_check "the connection line names the LAN host" grep -q " New connection from: 198.18.3.2$" "$work/out"
lab_check "200 head in order" test "$(head_of -H 'Connection: keep-alive' "$base/k.bin")" = "HTTP/1.1 200 OK
Content-Type: application/octet-stream
Content-Length: 1000
Connection: Keep-Alive
Keep-Alive: timeout=15
Accept-Ranges: bytes"
lab_check "without keep-alive: Connection: Close" grep -qx "Connection: Close" <(head_of "$base/k.bin")
lab_check "file body" cmp <(get "$base/k.bin") "$site/k.bin"
lab_check "HEAD: the head GET gets, no body" test "$(get -I -H 'Connection: keep-alive' "$base/k.bin" |
  tr -d '\r' | sed '/^$/d')" = "$(head_of -H 'Connection: keep-alive' "$base/k.bin" | sed '/^$/d')"
lab_check "HEAD with a range: the 206 head" grep -qx "Content-Range: bytes 0-99/1000" \
  <(get -I -H "Range: bytes=0-99" "$base/k.bin" | tr -d '\r')
lab_check "%20 and + both name a b.txt" test "$(get "$base/a%20b.txt")$(get "$base/a+b.txt")" = spacedspaced
lab_check "%41.txt serves A.txt" test "$(get "$base/%41.txt")" = "upper a"
lab_check "a UTF-8 file name is found" test "$(get "$base/caf%C3%A9.txt")" = "named in UTF-8"
lab_check ".EXE is served (case-sensitive refusal)" test "$(get "$base/setup.EXE")" = MZ
lab_check ".PHP is a static file of the default type" \
  grep -qx "Content-Type: application/octet-stream" <(head_of "$base/page.PHP")
lab_check "empty file: length 0" grep -qx "Content-Length: 0" <(head_of "$base/empty.txt")

head_of -H "Range: bytes=0-99" "$base/k.bin" >"$work/h206"
lab_check "206 status" grep -qx "HTTP/1.1 206 Partial content" "$work/h206"
lab_check "206 length" grep -qx "Content-Length: 100" "$work/h206"
lab_check "206 range" grep -qx "Content-Range: bytes 0-99/1000" "$work/h206"
lab_check "206 Last-Modified" grep -qE "^Last-Modified: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} " "$work/h206"
lab_check "206 body" cmp <(get -H "Range: bytes=0-99" "$base/k.bin") <(head -c 100 "$site/k.bin")
lab_check "suffix range" cmp <(get -H "Range: bytes=-200" "$base/k.bin") <(tail -c 200 "$site/k.bin")
lab_check "If-Range gives the whole file" \
  test "$(head_of -H "Range: bytes=0-99" -H "If-Range: x" "$base/k.bin" | sed -n 1p)" = "HTTP/1.1 200 OK"
lab_check "bytes=5-4 is ignored: the whole file" \
  test "$(get -H "Range: bytes=5-4" "$base/k.bin" | wc -c)" = 1000
head_of -H "Range: bytes=0-1000" "$base/k.bin" >"$work/h416"
lab_check "416 beyond the end" grep -qx "HTTP/1.1 416 Requested range not satisfiable" "$work/h416"
lab_check "416 keeps the connection" grep -qi 're-using' <(get -v -o /dev/null -H 'Connection: keep-alive' \
  -H 'Range: bytes=0-1000' "$base/k.bin" --next -o /dev/null "$base/index.html" 2>&1)
lab_check "range beyond 4 GiB" \
  test "$(get -H "Range: bytes=5368709117-5368709119" "$base/sparse.bin")" = END
# Only the head is read: the client goes away after 300 bytes.
lab_check "5 GiB file: its whole length" grep -qx $'Content-Length: 5368709120\r' \
  <(lab_exec web bash -c 'exec 5<>/dev/tcp/127.0.0.1/8080
    printf "GET /sparse.bin HTTP/1.1\r\n\r\n" >&5; head -c 300 <&5')

lab_check "100 KiB html is gzipped" \
  grep -qx "Content-Encoding: gzip" <(head_of -H "Accept-Encoding: gzip" "$base/big.html")
lab_check "gzip body decodes" \
  cmp <(get -H "Accept-Encoding: gzip" "$base/big.html" | gzip -dc) "$site/big.html"
lab_check "deflate body decodes" cmp <(get -H "Accept-Encoding: deflate" "$base/big.html" |
  python3 -c 'import sys, zlib; sys.stdout.buffer.write(zlib.decompress(sys.stdin.buffer.read()))') \
  "$site/big.html"
lab_check "600 KiB html is sent plain" \
  test "$(get -H "Accept-Encoding: gzip" "$base/huge.html" | wc -c)" = 614400
lab_check "jpeg never compressed" \
  test "$(head_of -H "Accept-Encoding: gzip" "$base/photo.jpg" | grep -ci "Content-Encoding")" = 0

lab_check "folder: the refusal page" \
  test "$(get "$base/docs/")" = "<html><head><body><p>Directory listing is not permited.</p></body></head></html>"
lab_check "folder without slash: 404" test "$(get -o /dev/null -w '%{http_code}' "$base/docs")" = 404
# Every answer on a kept connection says where it ends: curl, which keeps
# the connection, is done at once.
for args in "$base/k.bin" "-I $base/k.bin" "-r 0-9 $base/k.bin" "-r 0-2000 $base/k.bin" \
  "$base/docs/" "$base/docs" "-H Accept-Encoding:gzip $base/docs/"; do
  lab_check "kept connection, curl done at once: $args" \
    lab_exec web timeout 5 curl -s -o /dev/null -H 'Connection: keep-alive' $args
done
lab_check "404 page is 172 bytes" test "$(get "$base/nothing.txt" | wc -c)" = 172
lab_check "exe and dll refused" \
  test "$(get -o /dev/null -w '%{http_code}' "$base/setup.exe" --next -o /dev/null -w '%{http_code}' \
    "$base/lib.dll")" = 400400
for path in "/../secret.txt" "/%2e%2e/secret.txt" "/%2E%2e%2fsecret.txt" "/..%5csecret.txt" \
  "/docs/%2e%2e/%2e%2e/secret.txt" "/a%00b.txt"; do
  lab_check "traversal $path: 404" \
    test "$(get --path-as-is -o /dev/null -w '%{http_code}' "$base$path")" = 404
done

# Links that stay inside are followed; links that lead out (to a file, to a
# folder) get the 404 answer, as do a device and a FIFO. The FIFO's answer
# comes at once, no worker is left waiting on it for a writer, and the
# server answers the next request.
printf 'in docs' >"$site/docs/d.txt"
ln -s index.html "$site/inner.html"
ln -s "$site/docs" "$site/docslink"
ln -s /etc/passwd "$site/passwd.txt"
ln -s "$work" "$site/up"
ln -s ../../secret.txt "$site/docs/rel.txt"
ln -s /dev/zero "$site/zero.txt"
mkfifo "$site/fifo.txt"
lab_check "a link inside: served" test "$(get "$base/inner.html")$(get "$base/docslink/d.txt")" = "helloin docs"
for path in /passwd.txt /up/secret.txt /docs/rel.txt /zero.txt /fifo.txt; do
  lab_check "$path: 404 at once" test "$(get -o /dev/null -w '%{http_code}' --max-time 3 "$base$path")" = 404
done
lab_check "no reader left on the FIFO" python3 -c '
import errno, os, sys
try:
    os.close(os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK))
except OSError as e:
    sys.exit(e.errno != errno.ENXIO)
sys.exit(1)' "$site/fifo.txt"
lab_check "answers after the FIFO" test "$(get "$base/")" = hello

# A file cut short while it is sent: the connection ends when its bytes run
# out, and what arrived is the file's own beginning.
get -o "$work/shrunk" --limit-rate 4M "$base/shrinking.bin" &
shrink_pid=$!
sleep 1
truncate -s 1M "$site/shrinking.bin"
wait "$shrink_pid"
lab_check "shrinking file: the transfer ends short (curl 18)" test $? = 18
lab_check "shrinking file: no garbage" cmp -s "$work/shrunk" <(head -c "$(stat -c %s "$work/shrunk")" "$work/shrinking.orig")

# Console: every character of a line that is not q prompts again; Q does not stop.
echo abc >&3
echo Q >&3
sleep 0.5
lab_check "abc and Enter: four more prompts, Q two" test "$(grep -c "^Enter q to exit.$" "$work/out")" = 7
lab_check "capital Q keeps it running" kill -0 "$pid"

wait "$idle_pid"
lab_check "idle keep-alive closed after 15 s" grep -qE '^1[56]$' "$work/idle"

echo q >&3
lab_check "stops within the grace period plus a second" lab_wait_exit "$pid" 15
wait "$pid"
lab_check "exit status 0" test $? = 0

# -q: no connection lines; the end of standard input does not stop it.
ip netns exec "$(lab_ns web)" "$web_bin" -q -lp 8081x -li 0.0.0.0 -sp "$site/" </dev/null \
  >"$work/quiet" 2>&1 &
pid=$!
lab_check "-q -lp 8081x listens on 8081" lab_wait_line "$work/quiet" 50 "Enter q to exit."
lab_check "-li 0.0.0.0: loopback only" \
  test "$(lab_exec lan curl -s -o /dev/null -w '%{http_code}' --max-time 3 http://198.18.3.1:8081/)" = 000
lab_check "quiet: served" test "$(get http://127.0.0.1:8081/)" = hello
lab_check "quiet: no connection line" test "$(grep -c "New connection" "$work/quiet")" = 0
lab_check "keeps serving at the end of input" kill -0 "$pid"
kill -TERM "$pid"
lab_check "SIGTERM stops it" lab_wait_exit "$pid" 15
wait "$pid"
lab_check "SIGTERM: exit status 0" test $? = 0

out=$(ip netns exec "$(lab_ns web)" "$web_bin" -lp 70000 </dev/null)
lab_check "port 70000 refused" test "$(echo "$out" | tail -n 1)" = "Failed conversion from string"
out=$(ip netns exec "$(lab_ns web)" "$web_bin" -lp x </dev/null)
lab_check "port x refused" test "$(echo "$out" | tail -n 1)" = "Failed conversion from string"
lab_finish
