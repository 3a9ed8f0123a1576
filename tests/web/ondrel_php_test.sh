#!/usr/bin/env bash
# ondrel running PHP pages through Debian's php-cgi, with curl on a lab
# host: form fields, cookies and server values as the script sees them
# (hostile names and values included), multipart uploads as $_FILES, POSTs
# answered as the GET of their URL (no other file run), uploads stored in
# temporary files for the page's run only, the header block,
# includes against the served folder, compression, the PHP-missing page,
# script paths that try to leave the folder (also through links), escaped
# spellings of ".php", configuration files in the site, FIFOs, and no child
# left behind.
set -u
web_bin=$1
. "$(dirname "$0")/../lab/lab.sh"
for tool in curl php-cgi python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

lab_init wpt
lab_host web
lab_host lan
lab_link web eth0 198.18.4.1/24 lan eth0 198.18.4.2/24
site=$work/www
# The servers' TMPDIR: their uploads' folders are made here, and must be
# gone once each page has ended.
tmp=$work/tmp
mkdir -p "$site/sub/lib" "$site/lib" "$tmp"
# Each array entry as "ARRAY hex(name) hex(value)", then the server values.
cat >"$site/dump.php" <<'PHP'
<?php
foreach (['GET' => $_GET, 'POST' => $_POST, 'REQUEST' => $_REQUEST, 'COOKIE' => $_COOKIE] as $n => $a)
  foreach ($a as $k => $v) echo $n, ' ', bin2hex($k), ' ', bin2hex($v), "\n";
foreach ($_FILES as $k => $f)
  echo 'FILES ', bin2hex($k), ' ', bin2hex($f['name']), ' ', bin2hex($f['full_path']), ' ', $f['size'], "\n";
echo 'SERVER ', $_SERVER['REQUEST_METHOD'], ' ', $_SERVER['PHP_SELF'], ' ', $_SERVER['HTTP_HOST'], "\n";
PHP
cp "$site/dump.php" "$site/index.php"
printf '<?php echo "ran as PHP";' >"$site/page.html"
printf '<?php header("Status: 404 Not Found"); echo "body";' >"$site/status.php"
printf '<?php include "lib/part.php";' >"$site/sub/inc.php"
printf '<?php echo "root part";' >"$site/lib/part.php"
printf '<?php echo "sub part";' >"$site/sub/lib/part.php"
printf '<?php echo str_repeat("compress me ", 5000);' >"$site/big.php"
printf '<?php echo "no header block";' >"$site/plain.php"
printf '<?php echo "SECRET";' >"$work/secret.php"

# Three servers: the main one on the lab interface, one with its own
# HTTP_HOST, one whose php-cgi is missing.
start() {
  local name=$1
  shift
  ip netns exec "$(lab_ns web)" env TMPDIR="$tmp" "$web_bin" -q -sp "$site/" "$@" </dev/null \
    >"$work/$name.out" 2>&1 &
  eval "${name}_pid=$!"
}
start main -lp 8080 -li 198.18.4.1 -rd index.php
start host -lp 8082 -phh example
start nophp -lp 8083 -pp "$work/nophp/"
for name in main host nophp; do
  lab_check "$name starts" lab_wait_line "$work/$name.out" 50 "Enter q to exit."
done

base=http://198.18.4.1:8080
get() { lab_exec lan curl -s --max-time 10 "$@"; }
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

lab_check "GET: server values, no \$_GET" \
  test "$(get "$base/dump.php")" = "SERVER GET /dump.php 198.18.4.1"
lab_check "/ runs the root document script" \
  test "$(get "$base/")" = "SERVER GET /index.php 198.18.4.1"
lab_check "query: \$_GET and \$_REQUEST, decoded" test "$(get "$base/dump?id=3&x=a%20b")" = \
  "GET $(hex id) $(hex 3)
GET $(hex x) $(hex 'a b')
REQUEST $(hex id) $(hex 3)
REQUEST $(hex x) $(hex 'a b')
SERVER GET /dump.php 198.18.4.1"
lab_check "HEAD on a page: the GET's length, no body" test "$(get -I "$base/big.php" |
  tr -d '\r' | grep -i '^Content-Length')" = "Content-Length: 60000"
lab_check "empty value skipped" test "$(get "$base/dump?a=&b=2" | head -n 1)" = "GET $(hex b) $(hex 2)"
lab_check "cookies" test "$(get -b 'c=1; d=e%20f' "$base/dump.php" | grep COOKIE)" = \
  "COOKIE $(hex c) $(hex 1)
COOKIE $(hex d) $(hex 'e f')"
lab_check "POST with query and body: both blocks" \
  test "$(get -b 'c=1' -d name=Ann "$base/dump.php?step=2")" = "POST $(hex step) $(hex 2)
POST $(hex name) $(hex Ann)
REQUEST $(hex step) $(hex 2)
REQUEST $(hex name) $(hex Ann)
COOKIE $(hex c) $(hex 1)
SERVER POST /dump.php 198.18.4.1"
lab_check "POST without query keeps cookies and server values" \
  test "$(get -b 'c=1' -d name=Ann "$base/dump.php" | grep -E 'COOKIE|SERVER')" = "COOKIE $(hex c) $(hex 1)
SERVER POST /dump.php 198.18.4.1"
printf '\r\nfile line 1\r\nfile line 2\r\n' >"$work/upload.txt"
lab_check "multipart upload: in \$_FILES only, its name the base name, its content whole" \
  test "$(get -F a=1 -F "up=@$work/upload.txt;filename=../../../etc/cron.d/x" "$base/dump.php" |
    grep -v SERVER)" = "POST $(hex a) $(hex 1)
REQUEST $(hex a) $(hex 1)
FILES $(hex up) $(hex x) $(hex ../../../etc/cron.d/x) 28"

# The page reads the upload from tmp_name, byte for byte as curl sent it;
# the file and its folder are gone when the page has ended, also by exit.
printf '<?php $f = $_FILES["f"]; echo $f["error"], "|", $f["size"], "|", $f["error"] ? $f["tmp_name"] : file_get_contents($f["tmp_name"]);' \
  >"$site/read.php"
printf '<?php echo is_file($_FILES["f"]["tmp_name"]) ? "stored" : "none"; exit; echo "after";' \
  >"$site/exit.php"
printf '\r\nNUL \0 quote " \x27 <?php echo "ran"; ?> \\ $x\r\n' >"$work/binary.bin"
{ printf '0|%s|' "$(wc -c <"$work/binary.bin")"; cat "$work/binary.bin"; } >"$work/binary.expected"
get -F "f=@$work/binary.bin" -o "$work/binary.got" "$base/read.php"
lab_check "upload read from tmp_name as sent" cmp "$work/binary.expected" "$work/binary.got"
lab_check "no upload folder after the page" test -z "$(ls -A "$tmp")"
lab_check "a page that exits still had the file" \
  test "$(get -F "f=@$work/binary.bin" "$base/exit.php")" = stored
lab_check "no upload folder after exit" test -z "$(ls -A "$tmp")"
lab_check "a part without a file: error 4, nothing stored" \
  test "$(get -H 'Content-Type: multipart/form-data; boundary=B' --data-binary \
    $'--B\r\nContent-Disposition: form-data; name="f"; filename=""\r\n\r\n\r\n--B--\r\n' \
    "$base/read.php")" = "4|0|"
lab_check "no upload folder after an empty part" test -z "$(ls -A "$tmp")"

# A POST runs only what a GET of its URL runs; any other URL gets exactly
# the GET's answer, so a file users may write is never run by posting to it.
printf '<?php echo "EXEC:".(6*7); ?>' >"$site/notes.txt"
cp "$site/notes.txt" "$site/tool.exe"
answer() { get --path-as-is -D - "$@" | tr -d '\r'; }
while read -r path code; do
  lab_check "POST $path answers as GET does: $code" \
    test "$(answer -d a=1 "$base$path")" = "$(answer "$base$path")"
  reply=$(get --path-as-is -d a=1 -w '|%{http_code}' "$base$path")
  lab_check "POST $path: $code, nothing run" \
    test "${reply##*|}" = "$code" -a "${reply/EXEC:42/}" = "$reply"
done <<'URLS'
/notes.txt 200
/notes.txt?x=1 404
/notes%2etxt?x=1 404
/tool.exe 400
/tool.exe?x 404
/notes.txt%00.php 404
/notes.txt%00.php?x=1 404
/none.php 404
/sub/ 200
URLS
lab_check "POST /notes.txt sends its text" \
  test "$(get -d a=1 "$base/notes.txt")" = '<?php echo "EXEC:".(6*7); ?>'
lab_check "POST /page.html?x=1 runs no page.html" \
  test "$(get -o /dev/null -w '%{http_code}' -d '' "$base/page.html?x=1")" = 404
lab_check "POST /dump?x=1 runs dump.php" \
  test "$(get -d '' "$base/dump?x=1" | head -n 1)" = "POST $(hex x) $(hex 1)"
lab_check "a Status line still answers 200, passed on" \
  test "$(get -D - -o /dev/null "$base/status.php" | tr -d '\r' | grep -E '^(HTTP|Status)')" = \
  "HTTP/1.1 200 OK
Status: 404 Not Found"
lab_check "output without a header block is all body" test "$(get "$base/plain.php")" = "no header block"
lab_check "relative include resolves against the served folder" \
  test "$(get "$base/sub/inc.php")" = "root part"
lab_check "missing script: 404" test "$(get -o /dev/null -w '%{http_code}' "$base/none.php")" = 404
lab_check "/dump.php?x=1 runs dump.php with the query" test "$(get "$base/dump.php?x=1" | head -n 1)" = \
  "GET $(hex x) $(hex 1)"
lab_check "/none.php?x=1: 404" test "$(get -o /dev/null -w '%{http_code}' "$base/none.php?x=1")" = 404
lab_check "PHP output gzipped" grep -qi "^Content-Encoding: gzip" \
  <(get -D - -o /dev/null -H 'Accept-Encoding: gzip' "$base/big.php")
lab_check "gzipped PHP output decodes" \
  test "$(get --compressed "$base/big.php" | wc -c)" = 60000
lab_check "-phh sets HTTP_HOST" \
  test "$(lab_exec web curl -s --max-time 10 http://127.0.0.1:8082/dump.php)" = "SERVER GET /dump.php example"
lab_check "no php-cgi: the PHP-missing page" grep -q "PHP support not found!" \
  <(lab_exec web curl -s --max-time 10 http://127.0.0.1:8083/dump.php)
lab_check "no php-cgi, no script: 404" \
  test "$(lab_exec web curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:8083/none.php)" = 404

# Hostile names and values: quotes, backslashes, $variables, interpolation,
# the closing tag, NUL and newlines reach the script as the very bytes sent,
# through the query, the body, cookies and multipart, and nothing runs.
marker=$work/ran
hostile_names=("a'b" 'c\' "x'];touch('$marker');\$y['" '$_SERVER' "n\"l")
hostile_values=("\";touch('$marker');\"" '\' '${touch("'"$marker"'")}' '{$_SERVER[0]}' \
  '?><?php touch("'"$marker"'"); ?>' $'line1\nline2\r' 'end\')
encode() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
query="" expect_get="" expect_request=""
for i in "${!hostile_names[@]}"; do
  for value in "${hostile_values[$i]}" "${hostile_values[$((i + 2))]}"; do
    name=${hostile_names[$i]}
    query+="$(encode "$name")=$(encode "$value")&"
  done
done
# The same fields, as PHP keeps them (a repeated name keeps its last value).
expected=$(python3 - "$query" <<'PY'
import sys, urllib.parse
fields = {}
for piece in sys.argv[1].split("&"):
    if "=" in piece:
        n, v = piece.split("=", 1)
        fields[urllib.parse.unquote_to_bytes(n)] = urllib.parse.unquote_to_bytes(v)
for array in ("GET", "REQUEST"):
    for n, v in fields.items():
        print(array, n.hex(), v.hex())
PY
)
lab_check "hostile query fields arrive as sent" \
  test "$(get "$base/dump?$query" | grep -v SERVER)" = "$expected"
lab_check "hostile body fields arrive as sent" \
  test "$(get --data-binary "$query" "$base/dump.php" | grep -v -E 'SERVER|COOKIE')" = \
  "$(echo "$expected" | sed 's/^GET /POST /')"
nul_value=$(encode "a")=$(printf 'x%%00y%%0a%%22%%24z')
lab_check "NUL and newline in a value" \
  test "$(get "$base/dump?$nul_value" | head -n 1)" = "GET $(hex a) 7800790a22247a"
lab_check "hostile cookie" test "$(get -b "k=%22%24x%5c%27; \$y=%3f%3e" "$base/dump.php" | grep COOKIE)" = \
  "COOKIE $(hex k) $(hex "\"\$x\\'")
COOKIE $(hex '$y') $(hex '?>')"
lab_check "hostile multipart name" \
  test "$(get -F "a'\\\$b=\"\$c\\" "$base/dump.php" | grep '^POST')" = "POST $(hex "a'\\\$b") $(hex "\"\$c\\")"
lab_check "hostile script path" \
  test "$(get --path-as-is "$base/dump.php%22\$x" -o /dev/null -w '%{http_code}')" = 404
lab_check "nothing ran" test ! -e "$marker"

for path in "/../secret.php" "/%2e%2e/secret.php" "/..%2fsecret.php" "/..%5csecret.php" \
  "/sub/../../secret.php" "/x%00.php" "/%252e%252e/secret.php" "/../secret?x=1"; do
  lab_check "script path $path: 404" \
    test "$(get --path-as-is -o /dev/null -w '%{http_code}' "$base$path")" = 404
  lab_check "POST script path $path: 404" \
    test "$(get --path-as-is -d '' -o /dev/null -w '%{http_code}' "$base$path")" = 404
done

# An escaped spelling of ".php" runs the script as the plain one does; its
# text is never sent.
printf '<?php echo "config ran"; // the password' >"$site/config.php"
for path in /config.php /config.%70hp /config%2ephp /config.ph%70 /config%2E%70%68%70; do
  lab_check "$path runs config.php" test "$(get --path-as-is "$base$path")" = "config ran"
done
lab_check "POST /config.%70hp runs config.php" \
  test "$(get --path-as-is -d '' "$base/config.%70hp")" = "config ran"

# A php.ini, php-cgi-fcgi.ini or .user.ini in the site changes nothing: the
# page sees what php-cgi run from an empty folder sees.
ini_page='<?php echo php_ini_loaded_file(), "|", ini_get("memory_limit"), "|", ini_get("auto_prepend_file"), "|", ini_get("precision");'
printf '%s' "$ini_page" >"$site/ini.php"
mkdir "$work/empty"
system_ini=$(cd "$work/empty" && printf '%s' "$ini_page" | php-cgi -q)
printf '<?php echo "PREPENDED|";' >"$site/prepend.php"
printf 'memory_limit=7M\nprecision=3\nauto_prepend_file=%s/prepend.php\n' "$site" >"$site/php.ini"
cp "$site/php.ini" "$site/php-cgi-fcgi.ini"
printf 'memory_limit=9M\nprecision=5\n' >"$site/.user.ini"
lab_check "the system's configuration ($system_ini), not the site's" \
  test "$(get "$base/ini.php")" = "$system_ini"

# Scripts linked from outside the folder, a FIFO and a folder named .php:
# 404 at once, and php-cgi is never started on them. A link inside works.
ln -s "$work/secret.php" "$site/linked.php"
ln -s "$work" "$site/up"
ln -s dump.php "$site/inner.php"
mkfifo "$site/fifo.php"
mkdir "$site/dir.php"
for path in /linked.php /up/secret.php "/linked?x=1" /fifo.php "/fifo?x=1" /dir.php; do
  lab_check "script $path: 404 at once" \
    test "$(get -o /dev/null -w '%{http_code}' --max-time 3 "$base$path")" = 404
done
lab_check "a script linked inside runs" test "$(get "$base/inner.php")" = "SERVER GET /inner.php 198.18.4.1"

children() { cat /proc/"$1"/task/*/children 2>/dev/null | tr -d ' \n'; }
lab_check "no php-cgi left behind" test -z "$(children "$main_pid")"

# A page still running with its upload when the server stops: the folder
# is there while it runs, and gone once the server has ended.
printf '<?php sleep(20);' >"$site/sleep.php"
get -F "f=@$work/binary.bin" "$base/sleep.php" >/dev/null &
client=$!
waiting() { [ -n "$(ls -A "$tmp")" ]; }
for ((i = 0; i < 50; i++)); do waiting && break; sleep 0.1; done
lab_check "the upload is stored while the page runs" waiting
for name in main host nophp; do
  eval "pid=\$${name}_pid"
  kill -TERM "$pid"
  lab_check "$name stops on SIGTERM" lab_wait_exit "$pid" 20
done
wait "$client"
lab_check "no upload folder after the stop" test -z "$(ls -A "$tmp")"
lab_finish
