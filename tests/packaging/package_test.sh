#!/usr/bin/env bash
# The Debian package cpack makes from this build: its control fields, exactly
# the expected files at the usual places, stripped programs that run and
# carry Debian's hardening (hardening-check), the copyright file in DEP-5
# form with LICENSE's text, sound maintainer scripts, and lintian's verdict
# where lintian is installed. A cross build's package is checked as well,
# its programs run by the emulator given after the version (qemu).
#   package_test.sh BUILD_DIR VERSION [EMULATOR ARGUMENTS...]
set -u
build=$1 version=$2
shift 2
emulator=("$@")
source=$(cd "$(dirname "$0")/../.." && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$work/homestream_${version}_${arch:-$(dpkg --print-architecture)}.deb
[ -f "$deb" ] || { ls "$work"; echo "FAIL: no $deb"; exit 1; }

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = homestream ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not the project's $version"
[ "$(field Recommends)" = php-cgi ] || fail "Recommends: $(field Recommends)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for library in libc6 libstdc++6 libgcc-s1 zlib1g libuuid1 libcurl4 libxml2; do
  grep -qxF "$library" <<<"$depends" || fail "Depends without $library: $(field Depends)"
done
[ "$(dpkg-deb --info "$deb" conffiles)" = $'/etc/default/tessaran\n/etc/default/ondrel' ] ||
  fail "conffiles: $(dpkg-deb --info "$deb" conffiles)"

# Paths, owners and modes; folders only on the way to the files.
contents=$(dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}' | LC_ALL=C sort -k3)
expected='drwxr-xr-x root/root ./etc/
drwxr-xr-x root/root ./etc/default/
-rw-r--r-- root/root ./etc/default/ondrel
-rw-r--r-- root/root ./etc/default/tessaran
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/ondrel.service
-rw-r--r-- root/root ./lib/systemd/system/tessaran.service
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/ondrel
-rwxr-xr-x root/root ./usr/bin/tessaran
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/homestream/
-rw-r--r-- root/root ./usr/share/doc/homestream/README.md
-rw-r--r-- root/root ./usr/share/doc/homestream/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/homestream/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/ondrel.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/tessaran.1.gz'
[ "$contents" = "$expected" ] || fail "contents:"$'\n'"$contents"

dpkg-deb --extract "$deb" "$work/root"
dpkg-deb --control "$deb" "$work/control"
for program in tessaran ondrel; do
  out=$("${emulator[@]}" "$work/root/usr/bin/$program" --version) && [ "$out" = "$program $version" ] ||
    fail "$program --version: $out"
  ! readelf -S "$work/root/usr/bin/$program" | grep -q '\.debug_' || fail "$program not stripped"
done
for script in postinst prerm postrm; do
  sh -n "$work/control/$script" || fail "$script: not a valid sh script"
done

# Every hardening feature Debian's flags give here; control flow protection
# only where they give it (not Debian 12's).
# A build configured by hand (README's "Building by hand") has no reason to
# carry them: only the builds of scripts/build release and scripts/package,
# which the tests and the package use, are checked.
unchecked=
if ! grep -q '^CMAKE_CXX_FLAGS:.*-fstack-protector' "$build/CMakeCache.txt"; then
  unchecked="hardening: this build was not configured with Debian's flags (scripts/build release)"
elif command -v hardening-check >/dev/null; then
  options=()
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS |
    grep -qE -- '-fcf-protection|-mbranch-protection' || options+=(--nocfprotection)
  hardening-check "${options[@]}" "$work/root/usr/bin/tessaran" "$work/root/usr/bin/ondrel" ||
    fail "hardening-check: build with scripts/build release or scripts/package (Debian's flags)"
else
  unchecked="hardening-check (devscripts) is missing"
fi

# The machine-readable copyright file: its header, one paragraph for every
# file under Expat, and LICENSE's permission notice as the licence text.
copyright=$work/root/usr/share/doc/homestream/copyright
header=$(sed -n '1,2p' "$copyright")
[ "$header" = $'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\nUpstream-Name: homestream' ] ||
  fail "copyright header: $header"
[ "$(grep -c '^Files:' "$copyright")" = 1 ] &&
  [ "$(sed -n '/^Files:/,/^License:/p' "$copyright")" = $'Files: *\nCopyright: 2026 The homestream developers\nLicense: Expat' ] ||
  fail "copyright: not one 'Files: *' paragraph with Copyright and License: Expat"
notice=$(sed -n '/^License: Expat$/,$p' "$copyright" | tail -n +2 | sed 's/^ \.$//; s/^ //')
grep -qv '^ ' <(sed -n '/^License: Expat$/,$p' "$copyright" | tail -n +2) &&
  fail "copyright: licence text lines not indented"
[ "$notice" = "$(sed '1,/^Copyright (c)/d' "$source/LICENSE" | sed '/./,$!d')" ] ||
  fail "copyright: the licence text is not LICENSE's"

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
  grep -E '^[EW]: ' "$work/lintian" && fail "lintian"
  grep -E '^[IP]: ' "$work/lintian"
else
  echo "note: lintian is not installed, not run"
fi
[ "$failures" = 0 ] || exit 1
if [ -n "$unchecked" ]; then
  echo "SKIP: $unchecked; the rest of package $(basename "$deb") is fine"
  exit 77
fi
echo "package $(basename "$deb"): fine"
