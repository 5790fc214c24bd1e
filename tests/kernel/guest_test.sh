#!/usr/bin/env bash
# One test of the tool on the real USB stack, run inside the kernel rig's guest (rig.sh) as
# root: the dongle is zav-dongle-gadget on the dummy USB controller, the tool is the build's
# `zav` (hidraw backend, offscreen) driven by zav_driver, the service the reference service
# on the guest's own loopback.
#
# usage: guest_test.sh BUILD_DIR TEST [SECONDS]
#   probe       the label follows the gadget as it is bound and unbound
#   upgrade     a whole upgrade: success notice, report, the new image running confirmed
#   unplug      the cable pulled during the restart and mid-transfer: failures, their
#               reports, the old image still running; then an upgrade that succeeds
#   permission  a node the user may not open: the errno's text with the udev remedy
#   udev        the installed rule, applied by udevd, tags the dongle's nodes and no others
#   slow-reader the tool stopped while the dongle bursts 200 reports into hidraw's queue
#   bench       an upgrade of 1 MiB, timed from the press to the notice
set -euo pipefail
build="$(cd "$1" && pwd)"
test="$2"
limit="${3:-150}"  # then the test fails, with its logs, before the rig kills the guest
here="$(cd "$(dirname "$0")" && pwd)"
# The dongle's ids, as the build has them (0x1209): as udev and the library's texts show them.
vid_hex=$(printf '%04X' "${ZAV_USB_VID:-0x1209}")
pid_hex=$(printf '%04X' "${ZAV_USB_PID:-0x0001}")
source "$here/../../scripts/demo.sh"

work=/tmp/zav-kernel
out=/run/rig-out
mkdir -p "$work"
gadget_pid=
zav_pid=

step() { echo "rig-step: $* (at $(cut -d" " -f1 /proc/uptime) s)"; }
show() {
  local f
  for f in "$work"/*.log; do
    echo "--- $(basename "$f")"
    cat "$f"
  done
}
fail() {
  echo "FAIL: $*"
  show
  exit 1
}
# Ends a background process: asked first, killed if it has not gone within 5 s.
end() {
  local pid="$1" i
  [ -n "$pid" ] || return 0
  kill -CONT "$pid" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null || true
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && echo "pid $pid did not end: killed" && kill -KILL "$pid"
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  end "$zav_pid"
  end "$gadget_pid"
  zav_demo_stop_service
  cp "$work"/*.log "$out/" 2>/dev/null || true
}
trap cleanup EXIT
trap 'fail "the test did not end within $limit s"' USR1
( sleep "$limit" && kill -USR1 $$ ) 2>/dev/null &

# Waits up to $3 seconds for a line matching $2 (extended regex) in file $1.
wait_for() {
  local file="$1" pattern="$2" seconds="$3" i
  for i in $(seq 1 $((seconds * 10))); do
    grep -qE "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no '$pattern' in $(basename "$file") within $seconds s"
}

# Waits up to $4 seconds for the $3-th line matching $2 in file $1.
wait_count() {
  local file="$1" pattern="$2" count="$3" seconds="$4" i
  for i in $(seq 1 $((seconds * 10))); do
    [ "$(grep -cE "$pattern" "$file" 2>/dev/null || true)" -ge "$count" ] && return 0
    sleep 0.1
  done
  fail "not $count lines '$pattern' in $(basename "$file") within $seconds s"
}

# ---- The dongle ---------------------------------------------------------------------------------
# start_gadget ARGS...: the dongle, plugged in; its control FIFO is $work/gadget.ctl.
start_gadget() {
  rm -f "$work/gadget.ctl"
  mkfifo "$work/gadget.ctl"
  "$build/dongle/zav-dongle-gadget" --control "$work/gadget.ctl" "$@" >"$work/gadget.log" 2>&1 &
  gadget_pid=$!
  wait_for "$work/gadget.log" ' ready /dev/hidg' 20
}

# gadget COMMAND: sends a command and waits for its answer ("ok", "state", "burst ... sent").
gadget() {
  local before
  before=$(grep -cE '^[0-9]+ (ok|state|burst|error) ' "$work/gadget.log" || true)
  echo "$*" >"$work/gadget.ctl"
  local i
  for i in $(seq 1 300); do
    [ "$(grep -cE '^[0-9]+ (ok|state|burst|error) ' "$work/gadget.log" || true)" -gt "$before" ] && break
    sleep 0.1
  done
  grep -qE "^[0-9]+ error $*\$" "$work/gadget.log" && fail "the gadget refused: $*"
  return 0
}

# expect_state REGEX: the dongle's state matches.
expect_state() {
  gadget state
  local state
  state=$(grep -E '^[0-9]+ state ' "$work/gadget.log" | tail -n 1)
  grep -qE "$1" <<<"$state" || fail "dongle state '$state' does not match '$1'"
}

# ---- The service and the tool -------------------------------------------------------------------
# start_service SIZE: the reference service with an image of SIZE (zav-mkimage --fill), version
# 1.0.3.0, signed with the demo key the dongle holds; no tip. The system CA bundle with the
# build's CA in it, as on a machine that trusts the service.
start_service() {
  local catalogue="$work/catalogue"
  mkdir -p "$catalogue"
  printf '{"file": "marlo-1.0.3.bin", "version": 1000300, "bizId": "biz-103", "versionTxt": "V1.0.3",\n "tip": "", "tipUrl": ""}\n' \
    >"$catalogue/manifest.json"
  "$build/hiddfu/zav-mkimage" --key "$build/signing/demo-signing.pem" --version 1.0.3.0 \
    --fill "$1" "$catalogue/marlo-1.0.3.bin" >/dev/null
  cat /etc/ssl/certs/ca-certificates.crt "$build/pki/ca.pem" >"$work/ca-bundle.crt"
  mount --bind "$work/ca-bundle.crt" /etc/ssl/certs/ca-certificates.crt
  zav_demo_start_service "$build" "$catalogue" "$work/reports.sqlite" "$work/service.log" ||
    fail "the reference service did not start"
}

# start_zav STEPS [USER]: the tool in the background, driven through STEPS (zav_driver.cpp).
start_zav() {
  local steps="$1" user="${2:-root}"
  local home="$work/home-$user"
  mkdir -p -m 700 "$home"
  : >"$work/driver.log"
  chown "$user" "$home" "$work/driver.log"
  local as=()
  [ "$user" != root ] && as=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
  env HOME="$home" XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 \
    LD_PRELOAD="$build/tests/kernel/libzav_driver.so" ZAV_DRIVER="$steps" \
    ZAV_DRIVER_LOG="$work/driver.log" "${as[@]}" "$build/app/zav" >"$work/zav.log" 2>&1 &
  zav_pid=$!
}

# The tool closes itself at its script's end ("quit").
wait_zav() {
  local i
  for i in $(seq 1 "$1"0); do
    kill -0 "$zav_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$zav_pid" 2>/dev/null && fail "the tool did not end within $1 s"
  local status=0
  wait "$zav_pid" || status=$?
  zav_pid=
  [ "$status" -eq 0 ] || fail "the tool ended with status $status"
}

reports() { "$build/refservice/zav-refservice" --dump "$work/reports.sqlite"; }

# expect_report MEMBER...: the last report carries each "member":"value" given.
expect_report() {
  local report
  report=$(reports | tail -n 1)
  [ -n "$report" ] || fail "no report"
  local member
  for member in "$@"; do
    grep -qF "$member" <<<"$report" || fail "the last report lacks $member: $report"
  done
}

# expect_notice N TEXT: the N-th notice the driver closed reads TEXT.
expect_notice() {
  local notice
  notice=$(grep ' notice ' "$work/driver.log" | sed -n "$1p" | cut -d' ' -f3-)
  [ "$notice" = "$2" ] || fail "notice $1 was '$notice', not '$2'"
}

source "$here/guest_cases.sh"
"case_${test//-/_}"
retried=$(grep -c ' retried ' "$work/driver.log" || true)
echo "PASS: $test${retried:+ (a connect that timed out pressed again: $retried)}"
