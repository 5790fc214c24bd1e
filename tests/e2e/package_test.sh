#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack from the build, passed by lintian,
# installed with apt-get, the installed zav started (offscreen) against the reference service
# until its dialog is up and probing for the dongle, then purged: no file of it may be left.
# Also runs the maintainer scripts with a udev daemon stood in for, and without one.
#
# usage: package_test.sh BUILD_DIR
# Needs root: it installs and purges the package, and mounts in a namespace of its own.
# run-tests runs it after the tests of the normal build.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300)
installed() { dpkg-query -W -f='${Status}' zav 2>/dev/null | grep -q 'ok installed'; }
cleanup() {
  installed && "${apt[@]}" purge zav >/dev/null 2>&1 || true
  rm -rf "$work"
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# ---- Inside a mount namespace of its own (package_test.sh BUILD_DIR --inside WORK) ------------
if [ "${2:-}" = "--inside" ]; then
  work="$3"
  # The maintainer scripts: where udev runs (its control socket is there) they reload the rules
  # and re-trigger hidraw devices; where it does not, they call nothing.
  fake="$work/fakebin"
  mkdir -p "$fake"
  printf '#!/bin/sh\necho "$*" >>"%s/udevadm.calls"\n' "$work" >"$fake/udevadm"
  chmod +x "$fake/udevadm"
  dpkg-deb -e "$work"/out/zav_*.deb "$work/control"
  mount -t tmpfs none /run
  mkdir /run/udev
  PATH="$fake:$PATH" sh "$work/control/postinst" configure
  [ ! -e "$work/udevadm.calls" ] || fail "postinst called udevadm with no udev running"
  perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => "/run/udev/control", Listen => 1)'
  for script in "postinst configure" "postrm purge"; do
    rm -f "$work/udevadm.calls"
    PATH="$fake:$PATH" sh "$work/control/${script% *}" "${script#* }"
    [ "$(cat "$work/udevadm.calls")" = "$(printf '%s\n' 'control --reload-rules' \
      'trigger --action=change --subsystem-match=hidraw')" ] ||
      fail "$script: udevadm calls: $(cat "$work/udevadm.calls")"
  done
  umount /run

  # The installed zav trusts the system's CA bundle: here it holds the build's local CA too.
  cat /etc/ssl/certs/ca-certificates.crt "$build/pki/ca.pem" >"$work/ca-bundle.crt"
  mount --bind "$work/ca-bundle.crt" /etc/ssl/certs/ca-certificates.crt
  source "$here/../../scripts/demo.sh"
  trap zav_demo_stop_service EXIT
  zav_demo_catalogue "$build" "$work/catalogue"
  # No tip address: the main dialog opens without a tip in front of it.
  sed -i 's|"tipUrl": "[^"]*"|"tipUrl": ""|' "$work/catalogue/manifest.json"
  zav_demo_start_service "$build" "$work/catalogue" "$work/reports.sqlite" "$work/service.log"
  # "[设备连接错误] " in code page 936: the dialog is up and its first presence probe has run.
  probed="$(printf '[\xc9\xe8\xb1\xb8\xc1\xac\xbd\xd3\xb4\xed\xce\xf3] ')"
  HOME="$work/home" QT_QPA_PLATFORM=offscreen /usr/bin/zav >"$work/zav.log" 2>&1 &
  zav=$!
  for _ in $(seq 1 300); do
    if grep -qF "$probed" "$work/zav.log" || ! kill -0 "$zav" 2>/dev/null; then break; fi
    sleep 0.1
  done
  kill -0 "$zav" 2>/dev/null || { cat "$work/zav.log" >&2; fail "the installed zav ended"; }
  kill "$zav"
  wait "$zav" || true
  grep -q '^bin version result=.*V1\.0\.3' "$work/zav.log" ||
    { cat "$work/zav.log" >&2; fail "no answer from the reference service"; }
  grep -qF "$probed" "$work/zav.log" || { cat "$work/zav.log" >&2; fail "no presence probe"; }
  exit 0
fi

work=$(mktemp -d /tmp/zav-package-XXXXXX)
trap cleanup EXIT
[ "$(id -u)" -eq 0 ] || fail "run as root"
if installed; then
  echo "zav is installed already; purging it first"
  "${apt[@]}" purge zav >/dev/null
fi

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(echo "$work"/out/zav_*.deb)
[ -f "$deb" ] || fail "no package in $work/out"
lintian --tag-display-limit 0 --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in fonts-noto-cjk libqt6widgets6 libcurl4; do
  grep -q "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

# Every path of the package, and which of them were there before it.
mapfile -t paths < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^\.\?$')
new=()
for path in "${paths[@]}"; do
  [ -e "$path" ] || [ -L "$path" ] || new+=("$path")
done

"${apt[@]}" install --no-install-recommends "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; }
for path in /usr/bin/zav /usr/lib/udev/rules.d/70-zav-marlo.rules \
  /usr/share/applications/zav.desktop /usr/share/icons/hicolor/48x48/apps/zav.png; do
  [ -e "$path" ] || fail "$path not installed"
done

unshare -m "$0" "$build" --inside "$work" || fail "in the mount namespace"

"${apt[@]}" purge zav >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge"; }
installed && fail "still installed after the purge"
for path in "${new[@]}"; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "left behind by the purge: $path"
done
echo "PASS: packaged, installed, ran against the reference service and purged without a trace"
