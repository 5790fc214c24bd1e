# The tests of guest_test.sh, one function each; sourced by it.

# The label follows the gadget: bound, unbound, bound again.
case_probe() {
  step "dongle and service"
  start_gadget
  start_service 64K
  step "probe sees the dongle"
  start_zav "connected disconnected connected quit"
  wait_for "$work/driver.log" ' step connected$' 60
  step "probe sees it go"
  gadget unplug
  wait_for "$work/driver.log" ' step disconnected$' 20
  step "probe sees it come back"
  gadget plug
  wait_zav 30
  grep -q '设备已连接' "$work/zav.log" || fail "no connected line in the tool's log"
  grep -qF "] device not found (VID 0x$vid_hex, PID 0x$pid_hex, usage page 0xFF00, usage 0x0001)" \
    "$work/zav.log" || fail "no 'device not found' while the gadget was unbound"
}

# A whole upgrade by the tool as it ships.
case_upgrade() {
  step "dongle and service"
  start_gadget
  start_service 64K
  step "upgrade"
  start_zav "connected upgrade idle quit"
  wait_zav 120
  expect_notice 1 "成功提示: 设备升级成功，欢迎畅享新版本！"
  expect_report '"code":"1"' '"errorCode":""' '"errorProgress":"100"' '"binVersion":1000300'
  expect_state 'running=1\.0\.3\.0 slot=1 trial=0 confirmed=1 '
  grep -q '^pos=9[5-9]' "$work/zav.log" || fail "the restart was never seen"
  # Again with a compressed image of real x86 code (made by the build): the dongle takes the
  # stored stream and decodes it into the other slot as it arrives.
  step "compressed upgrade"
  cp "$build/tests/kernel/marlo-compressed.bin" "$work/catalogue/marlo-1.0.3.bin"
  local stored
  stored=$("$build/hiddfu/zav-mkimage" --inspect "$work/catalogue/marlo-1.0.3.bin" |
    sed -n 's/^stored \([0-9]*\) bytes$/\1/p')
  [ -n "$stored" ] && [ "$stored" -lt 98304 ] || fail "the image is not compressed: '$stored'"
  start_zav "connected upgrade idle quit"
  wait_zav 120
  expect_notice 1 "成功提示: 设备升级成功，欢迎畅享新版本！"
  expect_report '"code":"1"' '"errorCode":""' '"binVersion":1000300'
  expect_state "running=1\.0\.3\.0 slot=0 trial=0 confirmed=0 .* received=$stored\$"
}

# The cable pulled while the dongle restarts into the new image (power lost as the
# confirmation arrives, back a second later), then mid-transfer (back when plugged in).
case_unplug() {
  local failed="设备升级失败，请检查或重试！"
  step "dongle and service"
  start_gadget --fault unplug-on-confirm --fault replug-after-ms=1000
  start_service 64K
  start_zav "connected upgrade idle wait:second connected upgrade idle wait:third connected upgrade idle quit"
  step "pulled during the restart"
  wait_for "$work/driver.log" ' step upgrade$' 120
  expect_notice 1 "错误提示: $failed"
  expect_report '"code":"0"' '"errorCode":"2"' \
    'device came back running 1.0.0.0 instead of 1.0.3.0: it went back to its old image before it kept the new one'
  expect_state 'running=1\.0\.0\.0 slot=0 trial=0 confirmed=0 .* plugged=1'
  step "pulled mid-transfer"
  gadget fault unplug-at-byte=32768
  touch "$work/second"
  wait_count "$work/driver.log" ' step idle$' 2 120
  expect_notice 2 "错误提示: $failed"
  expect_report '"code":"0"' '"errorCode":"2"' 'device disconnected at '
  expect_state 'plugged=0'
  step "plugged in again"
  gadget plug
  expect_state 'running=1\.0\.0\.0 slot=0 trial=0 confirmed=0 .* plugged=1'
  touch "$work/third"
  wait_zav 120
  expect_notice 3 "成功提示: 设备升级成功，欢迎畅享新版本！"
  expect_report '"code":"1"' '"errorProgress":"100"'
  expect_state 'running=1\.0\.3\.0 slot=1 trial=0 confirmed=1 '
}

# A user whom the node's owner and mode keep out (no udev rule ran: root's 0600).
case_permission() {
  step "dongle and service"
  start_gadget
  start_service 64K
  step "upgrade as nobody"
  start_zav "disconnected press notice quit" nobody
  wait_zav 60
  local remedy='permission denied; the udev rule 70-zav-marlo.rules installed with the tool gives the logged-in user access: run `udevadm trigger` as root or replug the dongle'
  expect_notice 1 "错误提示: 设备未成功连接，请进行检查！"
  expect_report '"code":"0"' '"errorCode":"0"' "$remedy"
  # The log's prefix is in the system code page; the library's text is ASCII.
  grep -qE "\] cannot open the device /dev/hidraw[0-9]+: $remedy" "$work/zav.log" ||
    fail "no errno-based text in the tool's log"
}

# The rule as installed, applied by udevd: the dongle's nodes are tagged, another HID
# gadget's are not.
case_udev() {
  step "the rule"
  # The file the build installs (the build tree is read-only here: no cmake --install).
  mkdir -p /run/udev/rules.d
  cp "$build/hiddfu/70-zav-marlo.rules" /run/udev/rules.d/
  step "two gadgets"
  start_gadget
  mkfifo "$work/other.ctl"
  "$build/dongle/zav-dongle-gadget" --name other --controller dummy_udc.1 --pid $((ZAV_USB_PID + 1)) \
    --serial OTHER0001 --control "$work/other.ctl" >"$work/other.log" 2>&1 &
  wait_for "$work/other.log" ' ready /dev/hidg' 20
  step "udevd"
  # udev's tools decline to act in a chroot, which the guest's root is.
  export SYSTEMD_IGNORE_CHROOT=1 SYSTEMD_PAGER=cat
  /lib/systemd/systemd-udevd --daemon
  udevadm trigger --action=add --subsystem-match=hidraw
  udevadm settle --timeout=30
  local node props ours=0 others=0
  for node in /dev/hidraw*; do
    props=$(udevadm info --query=property --name="$node")
    echo "$node: $(grep -E '^(DEVPATH|TAGS)=' <<<"$props" | tr '\n' ' ')"
    if grep -q "^DEVPATH=.*/0003:$vid_hex:$pid_hex\\." <<<"$props"; then
      grep -qE '^TAGS=.*:uaccess:' <<<"$props" || fail "$node of the dongle has no uaccess tag"
      ours=$((ours + 1))
    else
      grep -qE '^TAGS=.*:uaccess:' <<<"$props" && fail "$node of the other gadget is tagged"
      others=$((others + 1))
    fi
  done
  [ "$ours" -eq 2 ] && [ "$others" -eq 2 ] || fail "nodes: $ours of the dongle, $others others"
  echo quit >"$work/other.ctl"
  udevadm control --exit
}

# hidraw keeps 63 reports per open file: with the tool stopped mid-transfer the dongle sends
# 200, the rest and an acknowledgement are dropped, and the upgrade still completes.
case_slow_reader() {
  step "dongle and service"
  start_gadget
  start_service 128K
  start_zav "connected upgrade quit"
  step "transfer under way"
  local i received=0
  for i in $(seq 1 600); do
    gadget state
    received=$(grep -E '^[0-9]+ state ' "$work/gadget.log" | tail -n 1 | sed 's/.* received=//')
    [ "$received" -ge 32768 ] && break
    sleep 0.1
  done
  [ "$received" -ge 32768 ] || fail "the transfer did not start"
  step "reader stopped, burst"
  kill -STOP "$zav_pid"
  gadget burst 200
  sleep 0.5
  kill -CONT "$zav_pid"
  step "upgrade completes"
  wait_zav 120
  expect_notice 1 "成功提示: 设备升级成功，欢迎畅享新版本！"
  expect_report '"code":"1"'
  expect_state 'running=1\.0\.3\.0 slot=1 trial=0 confirmed=1 '
}

# An upgrade of 1 MiB, press to notice, for bench/kernel_upgrade_vs_model.
case_bench() {
  start_gadget
  start_service 1M
  start_zav "connected upgrade quit"
  wait_zav 300
  expect_notice 1 "成功提示: 设备升级成功，欢迎畅享新版本！"
  local pressed shown
  pressed=$(grep ' pressed$' "$work/driver.log" | tail -n 1 | cut -d' ' -f1)
  shown=$(grep ' notice ' "$work/driver.log" | head -n 1 | cut -d' ' -f1)
  echo "upgrade_ms $((shown - pressed))" | tee "$out/bench.txt"
}
