#!/bin/sh
# The Debian package as a machine gets it, unpacked into a scratch root: mira
# reads the built-in simulator with the root's own libraries (under qemu-user
# for another architecture), mira.pc points into the root, and systemd-analyze
# accepts the unit without a word. Usage: install_test.sh PACKAGE.deb
set -eu
deb=$(realpath "$1") root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends) arch=$(dpkg-deb -f "$deb" Architecture)
case $depends in *"libc6 (>="*"libstdc++6 (>="*) ;; *) fail "Depends not computed: '$depends'" ;; esac
dpkg-deb -x "$deb" "$root"
libdir=$root/usr/lib/$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
run= trace="env LD_TRACE_LOADED_OBJECTS=1"
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    run=qemu-$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null) trace="$run -E LD_TRACE_LOADED_OBJECTS=1"
fi
loaded=$(env -u LD_LIBRARY_PATH $trace "$root/usr/bin/mira")
for lib in libmira.so libportkit.so; do
    found=$(echo "$loaded" | awk -v lib="$lib" '$1 == lib { print $3 }')
    [ "$(realpath "$found")" = "$libdir/$lib" ] || fail "$lib from '$found', not from $libdir"
done
out=$(env -u LD_LIBRARY_PATH $run "$root/usr/bin/mira" read N7:0 W0)
echo "$out" | grep -Eq '^W0 +100 +192 ' || fail "mira read N7:0 W0: $out"
grep -q '^\[line\]' "$root/usr/share/doc/mira/mira.toml.example" || fail "no example configuration in /usr/share/doc/mira"
[ "$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --variable=libdir mira | xargs realpath)" = "$libdir" ] ||
    fail "mira.pc does not point into the root"
# The unit's programs and the targets it names are looked up in the root.
cp -r /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
cp /bin/kill "$root/usr/bin/" && ln -s usr/bin "$root/bin"
said=$(systemd-analyze verify --man=no --root="$root" mira-serve@ttyUSB0.service 2>&1) || fail "$said"
[ -z "$said" ] || fail "systemd-analyze verify: $said"
echo "$(basename "$deb"): Depends: $depends; mira read: $(echo "$out" | tail -1); unit verified"
