#!/usr/bin/env bash
# wrk with keep-alive against the relay's "/description.xml", side by side
# with nginx serving the same bytes as a static file, in one run, inside a
# lab (relay host + LAN host). Prints a Markdown table with requests/s and
# the ratio to nginx at 1, 16 and 64 connections. Needs root.
#
#   bench/http_documents.sh [build/release/relay/app/tessaran] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
relay_bin=${1:-build/release/relay/app/tessaran}
seconds=${2:-5}
for tool in wrk nginx curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install wrk nginx curl)"; exit 1; }
done

. tests/lab/lab.sh
lab_init bench
lab_host relay
lab_host lan
lab_link relay eth0 198.18.2.1/24 lan eth0 198.18.2.2/24
chmod 755 "$work"  # nginx workers read it as their own user

mkfifo "$work/in"
exec 3<>"$work/in"
ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -lp 2901 -ri 198.18.2.1 \
  --max-connections-per-host 65535 <"$work/in" >"$work/relay.out" 2>&1 &
sleep 1

# nginx gets the very bytes the relay serves.
mkdir -p "$work/www" "$work/nginx"
lab_exec lan curl -s http://198.18.2.1:2901/description.xml >"$work/www/description.xml"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  types { text/xml xml; }
  keepalive_requests 1000000;
  server {
    listen 198.18.2.1:8080;
    root $work/www;
  }
}
CONF
ip netns exec "$(lab_ns relay)" nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
sleep 1
cmp -s "$work/www/description.xml" <(lab_exec lan curl -s http://198.18.2.1:8080/description.xml) ||
  { echo "nginx does not serve the same bytes"; exit 1; }

rps() {
  local threads=$(($1 < 2 ? 1 : 2))
  lab_exec lan wrk -t"$threads" -c"$1" -d"${seconds}s" "$2" | awk '/Requests\/sec/ {print $2}'
}

echo "| connections | relay requests/s | nginx requests/s | ratio |"
echo "|---|---|---|---|"
for c in 1 16 64; do
  relay=$(rps "$c" http://198.18.2.1:2901/description.xml)
  nginx=$(rps "$c" http://198.18.2.1:8080/description.xml)
  ratio=$(awk -v a="$relay" -v b="$nginx" 'BEGIN { printf "%.2f", a / b }')
  echo "| $c | $relay | $nginx | $ratio |"
done
printf 'q' >&3
