#!/usr/bin/env bash
# `cmake --install` of the build into a throw-away root puts exactly the
# package's files in place; systemd-analyze finds both units valid (their
# programs, command-line files and manual pages taken from that root) and
# their exposure level low.
#   service_units_test.sh BUILD_DIR
set -u
build=$1
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is missing"; exit 77; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR=$root/tree cmake --install "$build" --prefix /usr >/dev/null || fail "cmake --install"
expected='etc/default/ondrel
etc/default/tessaran
lib/systemd/system/ondrel.service
lib/systemd/system/tessaran.service
usr/bin/ondrel
usr/bin/tessaran
usr/share/doc/homestream/README.md
usr/share/doc/homestream/changelog.gz
usr/share/doc/homestream/copyright
usr/share/man/man1/ondrel.1.gz
usr/share/man/man1/tessaran.1.gz'
files=$(cd "$root/tree" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$files" = "$expected" ] || fail "installed files:"$'\n'"$files"

# verify runs the ExecStart program's path and the Documentation pages
# through the host: copies of the units point into the root.
mkdir "$root/units"
for unit in tessaran ondrel; do
  sed -e "s|/usr/bin/|$root/tree/usr/bin/|" -e "s|/etc/default/|$root/tree/etc/default/|" \
    "$root/tree/lib/systemd/system/$unit.service" >"$root/units/$unit.service"
  MANPATH=$root/tree/usr/share/man systemd-analyze verify "$root/units/$unit.service" ||
    fail "$unit.service: systemd-analyze verify"
  # 0 is a unit without any exposure, 100 one with all of it (the scale
  # shows a tenth of it); both units are at about 2.
  systemd-analyze security --offline=yes --threshold=25 "$root/units/$unit.service" >"$root/score" ||
    fail "$unit.service: exposure above 2.5: $(tail -n 1 "$root/score")"
done
[ "$failures" = 0 ] && echo "installed tree and both units: fine"
[ "$failures" = 0 ]
