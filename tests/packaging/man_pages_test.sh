#!/usr/bin/env bash
# The manual pages render without warnings, say what they are about, and name
# every option of the README's two option tables.
#   man_pages_test.sh README VERSION tessaran.1 ondrel.1
set -u
readme=$1 version=$2 relay_page=$3 web_page=$4

if command -v man >/dev/null; then
  # Piped, man-db leaves out bold and underline.
  render() { MANWIDTH=80 man -l "$1" 2>&1; }
elif command -v groff >/dev/null; then
  render() { groff -man -Tutf8 -P-cbou "$1" 2>&1; }
else
  echo "SKIP: neither man nor groff"
  exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The options of a README table: every `-x ...` in its first column, the
# word alone. Tables: the relay's under "### Options", ondrel's under
# "## Running ondrel".
readme_options() { # section heading
  awk -v heading="$1" '
    /^#/ { inside = ($0 == heading) }
    inside && /^\| `-/ {
      split($0, cells, "|"); cell = cells[2]
      while (match(cell, /`[^`]*`/)) {
        word = substr(cell, RSTART + 1, RLENGTH - 2); sub(/ .*/, "", word); print word
        cell = substr(cell, RSTART + RLENGTH)
      }
    }' "$readme"
}

check_page() { # program page heading first-line-of-name
  local program=$1 page=$2 heading=$3 name=$4 text options option
  text=$(render "$page")
  if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$program: groff warns: $warnings"
  fi
  grep -q "^NAME$" <<<"$text" || fail "$program: no NAME section"
  grep -qxF "       $name" <<<"$text" || fail "$program: NAME line is not '$name'"
  grep -qF "($program $version)" <<<"$text" || fail "$program: --version does not say '$program $version'"
  grep -qF "homestream $version" <<<"$text" || fail "$program: footer without the version"
  options=$(readme_options "$heading")
  [ "$(wc -l <<<"$options")" -ge 7 ] || fail "$program: README table under '$heading' not found"
  for option in $options; do
    grep -qE -- "(^|[[:space:](])$option([[:space:],.)]|$)" <<<"$text" ||
      fail "$program: README option $option is not in the manual page"
  done
}

check_page tessaran "$relay_page" "### Options" \
  "tessaran - IPTV multicast to HTTP relay and UPnP media server"
check_page ondrel "$web_page" "## Running ondrel" \
  "ondrel - web server for one folder, with PHP pages through php-cgi"

[ "$failures" = 0 ] && echo "both manual pages: fine"
[ "$failures" = 0 ]
