#!/usr/bin/env bash
# The Debian package of this build: lintian reports no error; installed with apt-get, its
# brisko-extract extracts a folder of ZIP, RAR and ACE archives; purged, it leaves nothing behind.
#   package-test.sh BUILD_FOLDER SAMPLES_FOLDER     (exit 77: skipped)
set -euo pipefail
build=$1
samples=$2
skip() { echo "skipped: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
if dpkg-query -W -f='${Status}' brisko 2>/dev/null | grep -q "install ok installed"; then
    skip "a brisko package is installed on this machine already; it is left alone"
fi
rar=$samples/rar/rar4-compressed-best/test_read_format_rar_compress_best.rar
ace=$samples/ace/patool/t.ace
[ -f "$rar" ] && [ -f "$ace" ] || skip "the sample archives are not in $samples"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" >/dev/null
deb=$(echo "$work"/package/brisko_*_"$(dpkg --print-architecture)".deb)
if ! report=$(lintian --fail-on error "$deb" 2>&1); then
    echo "$report"
    echo "lintian reports errors"
    exit 1
fi

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
trap 'apt-get purge -y -qq brisko >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

mkdir -p "$work/in" "$work/home"
printf 'zipped\n' >"$work/z.txt"
(cd "$work" && zip -q in/z.zip z.txt)
cp "$rar" "$work/in/r.rar"
cp "$ace" "$work/in/a.ace"
status=0
output=$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
             XDG_DATA_HOME="$work/home/data" /usr/bin/brisko-extract --into per-archive --no-trash -q "$work/in") ||
    status=$?
echo "$output"
[ "$status" -eq 0 ] || { echo "the installed brisko-extract ended with status $status"; exit 1; }
cmp -s "$work/in/z/z.txt" "$work/z.txt" || { echo "z.zip did not come out"; exit 1; }
[ "$(stat -c %s "$work/in/r/LibarchiveAddingTest.html")" -eq 20111 ] || { echo "r.rar did not come out"; exit 1; }
[ -f "$work/in/a/t/t.txt" ] || { echo "a.ace did not come out"; exit 1; }
[ -x /usr/bin/brisko ] && [ -f /usr/lib/brisko/libunrar.so ] && [ -f /usr/share/applications/brisko.desktop ] ||
    { echo "the package lacks a program, an engine or the desktop entry"; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq brisko >/dev/null
for left in /usr/bin/brisko /usr/bin/brisko-extract /usr/lib/brisko /usr/share/brisko /usr/share/doc/brisko; do
    [ ! -e "$left" ] || { echo "$left is left after removing the package"; exit 1; }
done
echo "package installed, used and removed"
