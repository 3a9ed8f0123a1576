#!/usr/bin/env bash
# wrk with keep-alive against ondrel, nginx and lighttpd serving the same
# folder, in one run, all on the loopback of one lab host. Rows: a 1 KiB and
# a 1 MiB file at 1, 16 and 64 connections, a 100 KiB HTML page asked for
# with gzip at 16 connections, and a one-line PHP page at 16 connections
# (ondrel and lighttpd with mod_cgi; both start php-cgi once per request).
# Checks first that every server sends the same bytes. Prints two Markdown
# tables, requests/s and MB/s (wrk's unit, 2^20 bytes), with the ratios
# ondrel/nginx and ondrel/lighttpd. Needs root, wrk, curl, nginx, lighttpd
# and php-cgi (apt-get install wrk curl nginx lighttpd php-cgi).
#
#   bench/web.sh [build/release/web/ondrel] [seconds, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
web_bin=${1:-build/release/web/ondrel}
seconds=${2:-5}
for tool in "$web_bin" wrk curl nginx lighttpd php-cgi gzip; do
  command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 1; }
done

. tests/lab/lab.sh
lab_init bweb
lab_host web
chmod 755 "$work"  # nginx workers read it as their own user

# The folder: files readable by everyone.
site=$work/www
mkdir -p "$site" "$work/nginx" "$work/lighttpd"
head -c 1024 /dev/urandom >"$site/1k.bin"
head -c $((1024 * 1024)) /dev/urandom >"$site/1m.bin"
# HTML that compresses like a real page: repeated markup, changing numbers.
{
  echo '<!DOCTYPE html><html><head><title>Bench page</title></head><body>'
  for ((i = 0; i < 1200; i++)); do
    echo "<div class=\"row r$((i % 7))\"><a href=\"/item/$((i * 7919 % 100003))\">Item $i</a> <span>$((i * i % 9973)) units, $((i * 31 % 1000)) left</span></div>"
  done >"$work/rows"
  head -c $((100 * 1024 - 15)) "$work/rows"
  echo '</body></html>'
} >"$site/page.html"
printf '<?php echo "hello";' >"$site/hello.php"
chmod -R a+rX "$site"

o_port=8081 n_port=8082 l_port=8083
servers=(ondrel nginx lighttpd)
declare -A port=([ondrel]=$o_port [nginx]=$n_port [lighttpd]=$l_port)

mkfifo "$work/in"
exec 3<>"$work/in"
lab_exec web "$web_bin" -lp "$o_port" -sp "$site/" -q --max-connections-per-host 65535 <"$work/in" >"$work/ondrel.out" 2>&1 &
ondrel_pid=$!
disown

cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  types { text/html html; application/octet-stream bin; }
  keepalive_requests 1000000;
  gzip on;
  gzip_types text/html;
  gzip_min_length 0;
  server {
    listen 127.0.0.1:$n_port;
    root $site;
  }
}
CONF
lab_exec web nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" >"$work/nginx/out" 2>&1 &
disown

cat >"$work/lighttpd/lighttpd.conf" <<CONF
server.document-root = "$site"
server.bind = "127.0.0.1"
server.port = $l_port
server.pid-file = "$work/lighttpd/lighttpd.pid"
server.errorlog = "$work/lighttpd/error.log"
server.max-keep-alive-requests = 1000000
server.max-keep-alive-idle = 60
server.modules = ("mod_deflate", "mod_cgi")
mimetype.assign = (".html" => "text/html", ".bin" => "application/octet-stream")
deflate.mimetypes = ("text/html")
deflate.allowed-encodings = ("gzip")
deflate.compression-level = 1
cgi.assign = (".php" => "/usr/bin/php-cgi")
CONF
lab_exec web lighttpd -D -f "$work/lighttpd/lighttpd.conf" >"$work/lighttpd/out" 2>&1 &
disown

get() { lab_exec web curl -s --max-time 10 "$@"; }
# Waits until every server answers.
for s in "${servers[@]}"; do
  for ((i = 0; i < 50; i++)); do
    get -o /dev/null "http://127.0.0.1:${port[$s]}/1k.bin" && break
    sleep 0.1
  done
  get -o /dev/null "http://127.0.0.1:${port[$s]}/1k.bin" || { echo "$s does not answer"; exit 1; }
done

# The same bytes everywhere, plain and (unpacked) gzip.
for s in "${servers[@]}"; do
  base=http://127.0.0.1:${port[$s]}
  for f in 1k.bin 1m.bin page.html; do
    cmp -s "$site/$f" <(get "$base/$f") || { echo "$s does not serve the same bytes for $f"; exit 1; }
  done
  get -H 'Accept-Encoding: gzip' -D "$work/$s.head" -o "$work/$s.gz" "$base/page.html"
  grep -qi '^Content-Encoding: gzip' "$work/$s.head" || { echo "$s does not compress page.html"; exit 1; }
  cmp -s "$site/page.html" <(gzip -dc "$work/$s.gz") ||
    { echo "$s's compressed page.html unpacks to other bytes"; exit 1; }
done
php_ok() { [ "$(get -o "$work/$1.php" -w '%{http_code}' "http://127.0.0.1:${port[$1]}/hello.php")" = 200 ] &&
  [ "$(cat "$work/$1.php")" = hello ]; }
php_ok lighttpd || { echo "lighttpd does not run hello.php"; exit 1; }
ondrel_php=yes
php_ok ondrel || ondrel_php=no

# One wrk run; sets req and mbs, and notes errors it reports.
notes=()
run() {  # server connections path [wrk options]
  local s=$1 c=$2 path=$3 out line value unit
  shift 3
  # wrk names no Connection header; asking for keep-alive keeps every
  # server's connections open, whatever it does when the header is absent.
  out=$(lab_exec web wrk -t$(($c < 2 ? 1 : 2)) -c"$c" -d"${seconds}s" -H 'Connection: keep-alive' "$@" \
    "http://127.0.0.1:${port[$s]}$path")
  req=$(awk '/^Requests\/sec/ { printf "%.0f", $2 }' <<<"$out")
  line=$(awk '/^Transfer\/sec/ { print $2 }' <<<"$out")
  value=${line%%[A-Za-z]*} unit=${line##*[0-9.]}
  mbs=$(awk -v v="$value" -v u="$unit" 'BEGIN {
    f = u == "GB" ? 1024 : u == "MB" ? 1 : u == "KB" ? 1 / 1024 : 1 / 1048576
    v *= f; printf v < 1 ? "%.3f" : "%.1f", v }')
  line=$(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr -s ' ' | tr '\n' ';' || true)
  [ -z "$line" ] || notes+=("$s, $path, $c connections: $line")
  kill -0 "$ondrel_pid" 2>/dev/null || { echo "ondrel has stopped"; tail -n 20 "$work/ondrel.out"; exit 1; }
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "n/a" || b + 0 == 0) print "n/a"; else printf "%.2f", a / b }'; }

req_rows=() mb_rows=()
row() {  # label connections path servers... -- [wrk options]
  local label=$1 c=$2 path=$3 s
  shift 3
  local names=()
  while [ "$1" != -- ]; do names+=("$1"); shift; done
  shift
  declare -A r=([nginx]=- [lighttpd]=-) m=([nginx]=- [lighttpd]=-)
  for s in "${names[@]}"; do
    if [ "$s" = ondrel ] && [ "$path" = /hello.php ] && [ "$ondrel_php" = no ]; then
      r[ondrel]=n/a m[ondrel]=n/a
      continue
    fi
    run "$s" "$c" "$path" "$@"
    r[$s]=$req m[$s]=$mbs
  done
  req_rows+=("| $label | $c | ${r[ondrel]} | ${r[nginx]} | ${r[lighttpd]} | $(ratio "${r[ondrel]}" "${r[nginx]}") | $(ratio "${r[ondrel]}" "${r[lighttpd]}") |")
  mb_rows+=("| $label | $c | ${m[ondrel]} | ${m[nginx]} | ${m[lighttpd]} | $(ratio "${m[ondrel]}" "${m[nginx]}") | $(ratio "${m[ondrel]}" "${m[lighttpd]}") |")
}

for c in 1 16 64; do row "1 KiB file" "$c" /1k.bin ondrel nginx lighttpd --; done
for c in 1 16 64; do row "1 MiB file" "$c" /1m.bin ondrel nginx lighttpd --; done
row "100 KiB HTML, gzip" 16 /page.html ondrel nginx lighttpd -- -H 'Accept-Encoding: gzip'
row "one-line PHP" 16 /hello.php ondrel lighttpd --

table() {  # unit rows...
  echo "| row | connections | ondrel $1 | nginx $1 | lighttpd $1 | ondrel/nginx | ondrel/lighttpd |"
  echo "|---|---|---|---|---|---|---|"
  shift
  printf '%s\n' "$@"
}
echo "wrk, keep-alive, ${seconds} s per cell, loopback of one lab host, $(nproc) cores"
echo
table requests/s "${req_rows[@]}"
echo
table MB/s "${mb_rows[@]}"
[ "$ondrel_php" = yes ] || echo $'\nondrel: hello.php did not answer 200 with "hello"; its row is n/a.'
if [ "${#notes[@]}" != 0 ]; then
  echo
  printf 'wrk reported: %s\n' "${notes[@]}"
fi

printf 'q' >&3
lab_wait_exit "$ondrel_pid" 50 || echo "ondrel did not stop on q within 5 s"
