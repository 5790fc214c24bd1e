#!/usr/bin/env bash
# The kernel rig: boots Debian's own kernel in qemu with this machine's root file system
# shared read-only, and runs one command inside it, as root, with the USB gadget and HID
# modules loaded: there a USB HID gadget on the dummy host controller is a real USB device
# to usbhid, hidraw and udev.
#
# usage: rig.sh CACHE OUT TIMEOUT COMMAND [ARG...]
#   CACHE    where the kernel package is fetched to and unpacked, and the initramfs made
#            (kept: a second run fetches nothing)
#   OUT      a folder shared writable into the guest at /run/rig-out: the command's files
#   TIMEOUT  seconds the whole guest may take; a guest still running then is killed
# The command runs in the guest with the current folder as its own; its output and the
# kernel's console come back on standard output, and into OUT/console.log. The exit status
# is the command's. A step marker (a line "rig-step: NAME" that the command prints) names
# where a failed or hung guest stopped.
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: rig.sh CACHE OUT TIMEOUT COMMAND [ARG...]" >&2; exit 2; }
cache="$1"
out="$2"
limit="$3"
shift 3
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$cache" "$out"
cache="$(cd "$cache" && pwd)"
out="$(cd "$out" && pwd)"

# The modules the guest loads, in this order, with their dependencies before them.
modules=(virtio_pci 9pnet_virtio 9p configfs "dummy_hcd is_high_speed=0 num=2" libcomposite usb_f_hid
  usbhid hid_generic)

# ---- The kernel: Debian's image package, fetched with apt-get download, never installed ------
fetch_kernel() {
  [ -f "$cache/kernel.version" ] && return 0
  local dl="$cache/download"
  rm -rf "$dl" "$cache/root"
  mkdir -p "$dl" "$cache/root"
  (cd "$dl" && apt-get download -q linux-image-amd64 2>&1 | grep -v unsandboxed || true)
  local meta image
  meta=$(echo "$dl"/linux-image-amd64_*.deb)
  [ -f "$meta" ] || { echo "rig: apt-get download linux-image-amd64 failed" >&2; return 1; }
  # The meta package only depends on the versioned image package.
  image=$(dpkg-deb -f "$meta" Depends | grep -o 'linux-image-[0-9][^ ,]*' | head -n 1)
  [ -n "$image" ] || { echo "rig: no image package named by $meta" >&2; return 1; }
  (cd "$dl" && apt-get download -q "$image" 2>&1 | grep -v unsandboxed || true)
  local deb
  deb=$(echo "$dl/${image}"_*.deb)
  [ -f "$deb" ] || { echo "rig: apt-get download $image failed" >&2; return 1; }
  # Only the kernel and the parts of the module tree the guest loads from.
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cache/root" --wildcards './boot/vmlinuz-*' \
    './lib/modules/*/modules.*' './lib/modules/*/kernel/drivers/usb/*' \
    './lib/modules/*/kernel/drivers/hid/*' './lib/modules/*/kernel/drivers/virtio/*' \
    './lib/modules/*/kernel/fs/*' './lib/modules/*/kernel/net/9p/*'
  local version
  version=$(basename "$(echo "$cache"/root/lib/modules/*)")
  depmod -b "$cache/root" "$version"
  # The image unpacked once: qemu starts the ELF kernel through its PVH entry, which saves
  # the seconds the emulated CPU would spend decompressing it at every boot.
  local vmlinuz="$cache/root/boot/vmlinuz-$version" at
  at=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
  [ -n "$at" ] || { echo "rig: $vmlinuz holds no xz stream" >&2; return 1; }
  xz -dc --single-stream < <(tail -c +$((at + 1)) "$vmlinuz") >"$cache/vmlinux"
  rm -rf "$dl"
  echo "$version" >"$cache/kernel.version"
}

# ---- The initramfs: busybox, the modules, and an init that mounts the host and chroots -------
make_initramfs() {
  local version="$1" stamp
  stamp="$version $(sha256sum "$here/guest-init" | cut -c1-16) ${modules[*]}"
  [ -f "$cache/initramfs.cpio" ] && [ "$(cat "$cache/initramfs.stamp" 2>/dev/null)" = "$stamp" ] &&
    return 0
  local tree="$cache/initramfs"
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,dev,proc,sys,newroot,mod}
  cp /bin/busybox "$tree/bin/busybox"
  cp "$here/guest-init" "$tree/init"
  chmod +x "$tree/init"
  local spec name args line n=0
  : >"$tree/mod/load"
  for spec in "${modules[@]}"; do
    name=${spec%% *}
    args=${spec#"$name"}
    while read -r line; do
      [[ "$line" == insmod* ]] || continue
      local path=${line#insmod }
      path=${path%% *}
      local base
      base=$(basename "$path")
      grep -qx "$base.*" "$tree/mod/load" 2>/dev/null && continue
      [ -f "$tree/mod/$base" ] && continue
      cp "$path" "$tree/mod/$base"
      # The module's own parameters go with the module asked for by name.
      if [ "${base%.ko}" = "$name" ] || [ "${base%.ko}" = "${name//_/-}" ]; then
        echo "$base$args" >>"$tree/mod/load"
      else
        echo "$base" >>"$tree/mod/load"
      fi
      n=$((n + 1))
    done < <(modprobe -d "$cache/root" -S "$version" --show-depends "$name")
  done
  [ "$n" -gt 0 ] || { echo "rig: no modules found for $version" >&2; return 1; }
  (cd "$tree" && find . | cpio -o -H newc --quiet >"$cache/initramfs.cpio")
  echo "$stamp" >"$cache/initramfs.stamp"
}

# ---- The guest ----------------------------------------------------------------------------------
fetch_kernel
version=$(cat "$cache/kernel.version")
make_initramfs "$version"

rm -f "$out/status" "$out/console.log"
# What the job needs of this machine: the checkout, the current folder and every folder named
# on the command line. The guest lays tmpfs over /tmp, /run, /var/tmp and /root, and shows
# these again there when they lie below one of them (a checkout in /tmp or in root's home).
{
  (cd "$here/../.." && pwd)
  printf '%s\n' "$PWD"
  for arg in "$@"; do
    [ -d "$arg" ] && (cd "$arg" && pwd)
  done
} >"$out/expose"
{
  printf 'cd %q\n' "$PWD"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$out/job"

# KVM where it works; this kind of machine has /dev/kvm but qemu cannot run a guest on it, so
# the test is a quick boot of nothing: the kernel must print within a few seconds.
accel=(-accel tcg -cpu Nehalem)
if [ -w /dev/kvm ] && [ "${ZAV_RIG_ACCEL:-auto}" != tcg ] && [ ! -f "$cache/kvm-fails" ]; then
  if timeout 10 qemu-system-x86_64 -accel kvm -cpu host -m 256 -nographic -no-reboot -net none \
    -kernel "$cache/vmlinux" -append "console=ttyS0 panic=-1 rdinit=/nonexistent" \
    </dev/null 2>/dev/null | grep -q -m 1 'Linux version'; then
    accel=(-accel kvm -cpu host)
  else
    touch "$cache/kvm-fails"
  fi
fi

qemu=(qemu-system-x86_64 "${accel[@]}" -m 1536 -smp 2 -nographic -no-reboot -net none
  -kernel "$cache/vmlinux" -initrd "$cache/initramfs.cpio"
  -append "console=ttyS0 loglevel=4 panic=-1"
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
  -virtfs "local,path=$out,mount_tag=rigout,security_model=none,multidevs=remap")
started=$(date +%s)
rc=0
timeout -s KILL "$limit" "${qemu[@]}" </dev/null 2>&1 | tee "$out/console.log" || rc=$?
elapsed=$(($(date +%s) - started))
step=$(grep -a '^rig-step: ' "$out/console.log" | tail -n 1 | cut -d' ' -f2- || true)
if [ ! -f "$out/status" ]; then
  if [ "$elapsed" -ge "$limit" ]; then
    echo "rig: the guest did not finish within $limit s; it was killed at step: ${step:-boot}" >&2
  else
    echo "rig: the guest ended without a status (qemu $rc) at step: ${step:-boot}" >&2
  fi
  exit 1
fi
status=$(cat "$out/status")
if [ "$status" != 0 ]; then
  echo "rig: the command failed ($status) at step: ${step:-start} (after $elapsed s)" >&2
else
  echo "rig: done in $elapsed s (${accel[1]})"
fi
exit "$status"
