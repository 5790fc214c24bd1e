# The demo's pieces, shared by run-demo and the end-to-end test. Sourced; needs bash.
#
# zav_demo_catalogue BUILD_DIR OUT_DIR
#   Makes the demo catalogue in OUT_DIR: the manifest, the release notes and a firmware image
#   of a few hundred KiB (version 1.0.3.0) wrapped by zav-mkimage and signed with the build's
#   demo key, which the demo's virtual dongle trusts.
# zav_demo_start_service BUILD_DIR CATALOGUE STORE LOG
#   Starts the reference service on port 8443 in the background, waits until it answers and
#   sets ZAV_DEMO_SERVICE_PID. Fails if the port is taken or the service does not come up.
# zav_demo_stop_service
#   Stops it again.

zav_demo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

zav_demo_catalogue() {
  local build="$1" out="$2"
  mkdir -p "$out"
  cp "$zav_demo_root/demo/manifest.json" "$zav_demo_root/demo/release-notes.html" "$out/"
  local image="$out/Marlo固件_V1.0.3.bin"
  "$build/hiddfu/zav-mkimage" --key "$build/signing/demo-signing.pem" --version 1.0.3.0 \
    --fill 384K "$image" >/dev/null
}

zav_demo_start_service() {
  local build="$1" catalogue="$2" store="$3" log="$4"
  if (exec 3<>/dev/tcp/127.0.0.1/8443) 2>/dev/null; then
    echo "Port 8443 is already in use: stop whatever listens there (another demo?) first." >&2
    return 1
  fi
  "$build/refservice/zav-refservice" --port 8443 --catalogue "$catalogue" --store "$store" \
    >"$log" 2>&1 &
  ZAV_DEMO_SERVICE_PID=$!
  local i
  for i in $(seq 1 100); do
    if curl -sf --cacert "$build/pki/ca.pem" -X POST -d '' -o /dev/null \
      https://localhost:8443/game/api/talent_tool/bin/version/get; then
      return 0
    fi
    if ! kill -0 "$ZAV_DEMO_SERVICE_PID" 2>/dev/null; then
      echo "The reference service did not start:" >&2
      cat "$log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "The reference service did not answer within 10 s (log: $log)." >&2
  return 1
}

zav_demo_stop_service() {
  if [ -n "${ZAV_DEMO_SERVICE_PID:-}" ]; then
    kill "$ZAV_DEMO_SERVICE_PID" 2>/dev/null || true
    wait "$ZAV_DEMO_SERVICE_PID" 2>/dev/null || true
    ZAV_DEMO_SERVICE_PID=
  fi
}
