#!/usr/bin/env bash
# `cmake --install` puts zav, libhiddfu, the desktop entry, the icons, the AppStream metadata
# and the udev rule in their places (into a staging DESTDIR), and the installed zav runs from
# there: it finds its library, asks the service, opens its dialog and probes for the dongle.
#
# usage: install_test.sh BUILD_DIR [--run]
#   --run   also start the installed zav: only for a build whose service host is this machine
set -euo pipefail
build="$1"
run="${2:-}"
stage=$(mktemp -d /tmp/zav-install-XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
# The rule goes where udev reads it: /usr/lib/udev/rules.d for a /usr build, else /etc.
rule=
for candidate in usr/lib/udev/rules.d etc/udev/rules.d; do
  [ -f "$stage/$candidate/70-zav-marlo.rules" ] && rule="$stage/$candidate/70-zav-marlo.rules"
done
[ -n "$rule" ] || fail "udev rule not installed"
for file in usr/bin/zav usr/share/applications/zav.desktop usr/share/icons/hicolor/48x48/apps/zav.png \
  usr/share/metainfo/org.example.zav.metainfo.xml; do
  [ -f "$stage/$file" ] || fail "$file not installed"
done
[ -n "$(find "$stage/usr" -name 'libhiddfu.so.1')" ] || fail "libhiddfu not installed"
# The installed zav finds the installed library through its run path, not the build tree's.
libs=$(ldd "$stage/usr/bin/zav")
grep -q "libhiddfu.so.1 => $stage/usr/" <<<"$libs" ||
  fail "the installed zav does not find the installed libhiddfu: $(grep hiddfu <<<"$libs")"
[ ! -e "$stage/usr/bin/zav-demo" ] || fail "zav-demo must not be installed"
grep -q '^Exec=zav' "$stage/usr/share/applications/zav.desktop" || fail "desktop entry Exec"
grep -q 'TAG+="uaccess"' "$rule" || fail "udev rule gives no access"

# Exported: exactly the 18 hid_* entry points that the library resolves from the executable.
exported=$(nm -D --defined-only "$stage/usr/bin/zav" | awk '{print $3}' | grep -c '^hid_')
[ "$exported" -eq 18 ] || fail "zav exports $exported hid_* functions"

if [ "$run" != "--run" ]; then
  echo "PASS: installed (not run: the build's service host is not this machine)"
  exit 0
fi

# Run it for a few seconds on the offscreen platform, far from any service and dongle.
log="$stage/zav.log"
rc=0
HOME="$stage/home" QT_QPA_PLATFORM=offscreen timeout -s TERM 4 "$stage/usr/bin/zav" >"$log" 2>&1 ||
  rc=$?
[ "$rc" -eq 124 ] || { cat "$log" >&2; fail "installed zav ended with $rc before it was stopped"; }
grep -q '^bin version result=' "$log" || { cat "$log" >&2; fail "no version query"; }
# "[设备连接错误] " in code page 936: the presence probe ran and found no dongle.
grep -qF "$(printf '[\xc9\xe8\xb1\xb8\xc1\xac\xbd\xd3\xb4\xed\xce\xf3] ')" "$log" ||
  { cat "$log" >&2; fail "no presence probe"; }
echo "PASS: installed and ran"
