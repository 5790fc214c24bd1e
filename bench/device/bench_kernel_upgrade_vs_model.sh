#!/usr/bin/env bash
# A whole upgrade of 1 MiB, from the press of "升级" to the success notice, on the kernel rig
# (the shipped zav through hidraw and usbhid to the dongle as a USB HID gadget, in qemu) and
# on the in-process model (zav-demo), with the same image, the same dongle timing model and
# the same user at the keyboard (tests/kernel/zav_driver):
#   kernel_upgrade_vs_model_1MiB   the rig's time / the model's (printed, no target)
# The model's side uses port 8443, as the demo does. docs/benchmarks.md says what the figure
# shows and what not.
set -euo pipefail
build="$(cd "$(dirname "$0")/../.." && pwd)"
source="@PROJECT_SOURCE_DIR@"
source "$source/scripts/demo.sh"
work=$(mktemp -d /tmp/zav-bench-kernel-XXXXXX)
zav_pid=
cleanup() {
  [ -n "$zav_pid" ] && kill "$zav_pid" 2>/dev/null || true
  zav_demo_stop_service
  rm -rf "$work"
}
trap cleanup EXIT

# The press and the first notice after it, in the driver's log: milliseconds between.
press_to_notice() {
  local pressed shown
  pressed=$(grep ' pressed$' "$1" | tail -n 1 | cut -d' ' -f1)
  shown=$(awk -v p="$pressed" '$1 >= p && $2 == "notice" {print $1; exit}' "$1")
  grep -q ' notice 成功提示' "$1" || { echo "the upgrade failed: $(cat "$1")" >&2; return 1; }
  echo $((shown - pressed))
}

# ---- The kernel rig -----------------------------------------------------------------------------
"$source/tests/kernel/rig.sh" "$build/kernel-rig" "$work/rig" 420 \
  env ZAV_USB_VID=@ZAV_USB_VID@ ZAV_USB_PID=@ZAV_USB_PID@ \
  bash "$source/tests/kernel/guest_test.sh" "$build" bench 400 >"$work/rig.log" 2>&1 ||
  { tail -n 40 "$work/rig.log" >&2; exit 1; }
kernel_ms=$(press_to_notice "$work/rig/driver.log")

# ---- The in-process model -----------------------------------------------------------------------
mkdir -p "$work/catalogue" "$work/home"
printf '{"file": "marlo-1.0.3.bin", "version": 1000300, "bizId": "biz-103", "versionTxt": "V1.0.3",\n "tip": "", "tipUrl": ""}\n' \
  >"$work/catalogue/manifest.json"
"$build/hiddfu/zav-mkimage" --key "$build/signing/demo-signing.pem" --version 1.0.3.0 --fill 1M \
  "$work/catalogue/marlo-1.0.3.bin" >/dev/null
zav_demo_start_service "$build" "$work/catalogue" "$work/reports.sqlite" "$work/service.log"
HOME="$work/home" QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 \
  LD_PRELOAD="$build/tests/kernel/libzav_driver.so" ZAV_DRIVER="connected upgrade quit" \
  ZAV_DRIVER_LOG="$work/model.log" "$build/app/zav-demo" >"$work/zav.log" 2>&1 &
zav_pid=$!
wait "$zav_pid"
zav_pid=
model_ms=$(press_to_notice "$work/model.log")

# Where the time went: press to "升级中" (download, connect, start, first poll), to "重启中"
# (erase, transfer, read-back), to the notice (restart, confirmation, report).
phases() {
  awk '$2 == "pressed" {p = $1} $2 == "caption" && $3 == "升级中" {u = $1}
       $2 == "caption" && $3 == "重启中" {r = $1} $2 == "notice" && !n {n = $1}
       END {printf "%.1f + %.1f + %.1f s", (u - p) / 1000, (r - u) / 1000, (n - r) / 1000}' "$1"
}
echo "press to notice: kernel rig ${kernel_ms} ms ($(phases "$work/rig/driver.log")), in-process model ${model_ms} ms ($(phases "$work/model.log"))"
awk -v k="$kernel_ms" -v m="$model_ms" \
  'BEGIN { printf "figure kernel_upgrade_vs_model_1MiB %.3f ratio target none -\n", k / m }'
