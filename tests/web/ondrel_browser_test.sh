#!/usr/bin/env bash
# A small ordinary site served by ondrel and visited in Debian's Chromium
# from another lab host (driven by tests/web/browser_driver, installed by
# scripts/setup): the stylesheet applies, the image loads, the script runs,
# a link with a query reaches a PHP page, GET, url-encoded POST and
# multipart forms with a file arrive (the page reads the file's content),
# and a cookie set by one page is read by the next. The last page is kept as a screenshot ($ONDREL_SHOT, or in
# the work folder).
set -u
web_bin=$1
. "$(dirname "$0")/../lab/lab.sh"
driver=$(cd "$(dirname "$0")/browser_driver" && pwd)
for tool in node php-cgi python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
[ -x /usr/bin/chromium ] || { echo "SKIP: chromium is missing (scripts/setup installs it)"; exit 77; }
[ -d "$driver/node_modules/playwright-core" ] ||
  { echo "SKIP: playwright-core is missing (scripts/setup installs it)"; exit 77; }

lab_init wbt
lab_host web
lab_host lan
lab_link web eth0 198.18.5.1/24 lan eth0 198.18.5.2/24
site=$work/www
mkdir -p "$site"

cat >"$site/index.html" <<'HTML'
<!doctype html>
<html><head><meta charset="utf-8"><title>Lab site</title>
<link rel="stylesheet" href="style.css"></head>
<body><h1>Lab site</h1>
<p><img src="logo.png" alt="logo" width="48" height="48"></p>
<p id="js">the script did not run</p>
<p><a id="to-form" href="form.php?who=browser&amp;n=3">The forms</a></p>
<script src="app.js"></script></body></html>
HTML
cat >"$site/style.css" <<'CSS'
body { font: 20px/1.5 sans-serif; margin: 24px; background: #f4f7f9; color: #222; }
h1 { color: rgb(0, 102, 153); margin-top: 0; }
th { text-align: left; padding: 6px 18px 6px 0; color: #555; }
td { padding: 6px 0; font-weight: bold; }
img { vertical-align: middle; }
CSS
printf '%s\n' "document.getElementById('js').textContent = 'script ran: ' + 6 * 7;" >"$site/app.js"
python3 - "$site/logo.png" <<'PY'
import struct, sys, zlib
w = h = 48
rows = b"".join(b"\0" + bytes(c for x in range(w) for c in (0, 102 + x * 3, 153 + y * 2)) for y in range(h))
chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
open(sys.argv[1], "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                              + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
PY
cat >"$site/form.php" <<'PHP'
<?php setcookie('visitor', 'Ann & Bob'); ?><!doctype html>
<html><head><meta charset="utf-8"><title>Forms</title><link rel="stylesheet" href="style.css"></head>
<body><h1>Forms</h1>
<p id="query">who=<?= htmlspecialchars($_GET['who'] ?? '') ?> n=<?= htmlspecialchars($_GET['n'] ?? '') ?></p>
<form id="by-get" action="result.php" method="get"><input name="color"> <button>Send by GET</button></form>
<form id="by-post" action="result.php" method="post"><input name="city"> <button>Send by POST</button></form>
<form id="by-upload" action="result.php" method="post" enctype="multipart/form-data">
<input name="title"> <input type="file" name="notes"> <button>Upload</button></form>
</body></html>
PHP
cat >"$site/result.php" <<'PHP'
<?php
$fields = [];
foreach ($_SERVER['REQUEST_METHOD'] === 'POST' ? $_POST : $_GET as $k => $v)
  if (!isset($_FILES[$k])) $fields[] = "$k=$v";
$f = $_FILES['notes'] ?? null;
$file = $f ? "{$f['name']}, {$f['size']} bytes, {$f['type']}: " . file_get_contents($f['tmp_name']) : 'none';
?><!doctype html>
<html><head><meta charset="utf-8"><title>Result</title><link rel="stylesheet" href="style.css"></head>
<body><h1><img src="logo.png" alt="logo" width="48" height="48"> Thank you</h1>
<table>
<tr><th>Method</th><td id="method"><?= htmlspecialchars($_SERVER['REQUEST_METHOD']) ?></td></tr>
<tr><th>Fields</th><td id="fields"><?= htmlspecialchars(implode(', ', $fields)) ?></td></tr>
<tr><th>File</th><td id="file"><?= htmlspecialchars($file) ?></td></tr>
<tr><th>Cookie</th><td id="cookie"><?= htmlspecialchars($_COOKIE['visitor'] ?? 'none') ?></td></tr>
</table></body></html>
PHP
printf 'hello from the lab' >"$work/notes.txt"

mkdir "$work/tmp"
ip netns exec "$(lab_ns web)" env TMPDIR="$work/tmp" "$web_bin" -q -li 198.18.5.1 -lp 8080 \
  -sp "$site/" </dev/null >"$work/out" 2>&1 &
pid=$!
lab_check "starts" lab_wait_line "$work/out" 50 "Enter q to exit."

shot=${ONDREL_SHOT:-$work/site.png}
lab_exec lan timeout 90 node "$driver/site_check.js" http://198.18.5.1:8080/ "$work/notes.txt" \
  "$shot" >"$work/seen" 2>"$work/driver-err"
saw() { grep -qxF "$1" "$work/seen"; }
lab_check "the stylesheet applies" saw "css rgb(0, 102, 153)"
lab_check "the image loads" saw "image 48"
lab_check "the script runs" saw "script script ran: 42"
lab_check "the link keeps its query" saw "link /form.php?who=browser&n=3"
lab_check "form.php runs with the query" saw "query who=browser n=3"
lab_check "GET form" saw "get GET color=deep blue"
lab_check "url-encoded POST form" saw "post POST city=Oslo & Bergen"
lab_check "multipart POST form" saw "upload POST title=lab notes"
lab_check "the uploaded file's name, size, type and content" \
  saw "file notes.txt, 18 bytes, text/plain: hello from the lab"
lab_check "no upload left in TMPDIR" test -z "$(ls -A "$work/tmp")"
lab_check "the cookie set by form.php reaches result.php" saw "cookie Ann & Bob"
lab_check "the walk ends, screenshot taken" test -s "$shot" -a "$(tail -n 1 "$work/seen")" = "done ok"
[ "$LAB_FAILURES" = 0 ] || { cat "$work/seen"; tail -n 20 "$work/driver-err"; }

kill -TERM "$pid"
lab_check "stops on SIGTERM" lab_wait_exit "$pid" 20
lab_finish
