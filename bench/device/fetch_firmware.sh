#!/usr/bin/env bash
# Real firmware images for the compression benchmark, taken from Debian's packages: raw payload
# files in OUTDIR and OUTDIR/manifest, one "NAME PATH ARCH" line per image, where ARCH is the
# branch filter to try on it (arm-thumb, arm, arm64 or none).
#   fetch_firmware.sh OUTDIR
# The .debs are kept in OUTDIR/debs, so a second run needs no network. Run at benchmark time
# only: neither the tests nor the repository hold these files.
set -euo pipefail

if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi

die() {
  echo "fetch_firmware: $*" >&2
  exit 1
}

for tool in apt-get dpkg-deb objcopy objdump find sort zgrep; do
  command -v "$tool" >/dev/null || die "needs $tool (apt-get install binutils dpkg apt findutils gzip)"
done

mkdir -p "$1/debs"
out=$(cd "$1" && pwd)
debs="$out/debs"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zav-fetch-fw-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# As root, apt hands the download to its _apt user, which cannot write into a folder of ours
# and then warns and downloads as root anyway; ask for root up front to keep the output quiet.
apt_opts=(-q)
if [ "$(id -u)" -eq 0 ]; then
  apt_opts+=(-o APT::Sandbox::User=root)
fi

# The newest cached .deb of a package, or nothing.
cached_deb() {
  find "$debs" -maxdepth 1 -type f -name "${1}_*.deb" | sort -V | tail -n 1
}

lists_updated=
fetch_deb() {
  local pkg=$1 log="$scratch/apt-$1.log"
  [ -n "$(cached_deb "$pkg")" ] && return 0
  if (cd "$debs" && apt-get "${apt_opts[@]}" download "$pkg") >"$log" 2>&1; then
    return 0
  fi
  # Only an absent or stale package list is worth an update: the package is unknown, or the
  # version the list names is gone from the archive. Anything else (no network) is reported.
  if [ -z "$lists_updated" ] &&
    grep -q -E 'Unable to locate package|has no installation candidate|no candidate|404' "$log"; then
    lists_updated=1
    [ "$(id -u)" -eq 0 ] || die "no usable package list for $pkg; run 'apt-get update' as root"
    apt-get update -qq || die "apt-get update failed while looking for $pkg"
    if (cd "$debs" && apt-get "${apt_opts[@]}" download "$pkg") >"$log" 2>&1; then
      return 0
    fi
  fi
  cat "$log" >&2
  die "could not download the package $pkg"
}

packages=(firmware-microbit-micropython u-boot-qemu opensbi firmware-ath9k-htc)
for pkg in "${packages[@]}"; do
  fetch_deb "$pkg"
done

# Unpacks a package's cached .deb into the scratch folder; root is where.
unpack() {
  local deb
  deb=$(cached_deb "$1")
  root=$scratch/$1
  mkdir -p "$root"
  dpkg-deb -x "$deb" "$root" || die "could not unpack $deb"
}

# The first sorted file under a folder whose path matches a find -path pattern, or nothing.
find_one() {
  find "$1" -type f -path "$2" | sort | head -n 1
}

# NAME PATH ARCH lines for the manifest, and where each came from for the summary.
manifest=()
origins=()
add_image() {
  local name=$1 src=$2 arch=$3 pkg=$4 root=$5 file=$out/$1.bin
  [ -s "$file" ] || die "$name came out empty (from $pkg: ${src#"$root"})"
  manifest+=("$name $file $arch")
  origins+=("$name	$(stat -c %s "$file")	$pkg:${src#"$root"}")
}

# ---- The micro:bit: MicroPython as Intel HEX, to a flat binary of its flash ---------------------
pkg=firmware-microbit-micropython
unpack "$pkg"
mapfile -t hexes < <(find "$root" -type f -iname '*.hex' | sort)
[ ${#hexes[@]} -gt 0 ] || die "no .hex file in $pkg"
# The v1 board's nRF51 is a Cortex-M0, which is what the arm-thumb label below is meant for; a
# v2 build (nRF52, Cortex-M4) is Thumb too but larger and not the device this figure is about.
# So prefer a file named for v1 or the nRF51, and otherwise take the first in sorted order.
hex=${hexes[0]}
for candidate in "${hexes[@]}"; do
  case "${candidate,,}" in
    *v1* | *nrf51*)
      hex=$candidate
      break
      ;;
  esac
done
# objcopy reads every extended-address record of the HEX as a new section (.sec1, .sec2, ...),
# so 64 KiB steps are not gaps. A HEX may also carry a few bytes for another memory region (the
# nRF51's UICR at 0x10001000), and a flat binary spanning both would be some 256 MiB of filler.
# Read the section table first and keep the run of sections from the lowest address that has
# no jump of 64 KiB or more; a smaller hole is filled with 0xff, the value of erased flash.
mapfile -t sections < <(objdump -h -I ihex "$hex" | awk '$1 ~ /^[0-9]+$/ {print $4, $3, $2}' |
  while read -r vma size name; do echo "$((16#$vma)) $((16#$size)) $name"; done | sort -n)
[ ${#sections[@]} -gt 0 ] || die "no data in $hex (from $pkg)"
keep=()
end=
for line in "${sections[@]}"; do
  read -r vma size name <<<"$line"
  if [ -n "$end" ] && [ $((vma - end)) -ge 65536 ]; then
    break
  fi
  keep+=(-j "$name")
  end=$((vma + size))
done
if [ ${#keep[@]} -lt $((2 * ${#sections[@]})) ]; then
  read -r first _ <<<"${sections[0]}"
  read -r last_vma last_size _ <<<"${sections[-1]}"
  printf 'fetch_firmware: %s spans 0x%x..0x%x (%d MiB as a flat binary); keeping the %d sections of flash from 0x%x to 0x%x\n' \
    "${hex#"$root"}" "$first" $((last_vma + last_size)) $(((last_vma + last_size - first) >> 20)) \
    $((${#keep[@]} / 2)) "$first" "$end" >&2
fi
objcopy -I ihex -O binary --gap-fill 0xff "${keep[@]}" "$hex" "$out/microbit-micropython.bin" ||
  die "objcopy could not convert $hex (from $pkg)"
size=$(stat -c %s "$out/microbit-micropython.bin")
[ "$size" -le $((2 << 20)) ] || die "microbit-micropython.bin is $size bytes, more than a micro:bit's flash"
add_image microbit-micropython "$hex" arm-thumb "$pkg" "$root"

# ---- The boot loader for qemu's 32-bit and 64-bit ARM machines ----------------------------------
pkg=u-boot-qemu
unpack "$pkg"
for board in qemu_arm qemu_arm64; do
  src=$(find_one "$root" "*/$board/u-boot.bin")
  [ -n "$src" ] || die "no $board/u-boot.bin in $pkg"
  cp -- "$src" "$out/u-boot-${board}.bin"
  if [ "$board" = qemu_arm64 ]; then
    arch=arm64
  else
    # The 32-bit build is ARM-state code unless its build config asked for Thumb; the package
    # ships that config, so read it rather than assume.
    arch=arm
    config=$(find_one "$root" "*/configs/config.$board.gz")
    if [ -n "$config" ] && zgrep -q '^CONFIG_SYS_THUMB_BUILD=y' "$config"; then
      arch=arm-thumb
    fi
  fi
  add_image "u-boot-$board" "$src" "$arch" "$pkg" "$root"
done

# ---- The RISC-V machine-mode firmware: no branch filter exists for RISC-V -----------------------
pkg=opensbi
unpack "$pkg"
src=$(find_one "$root" '*riscv64*/generic/fw_dynamic.bin')
[ -n "$src" ] || src=$(find_one "$root" '*riscv64*/generic/fw_jump.bin')
[ -n "$src" ] || die "no riscv64 generic fw_dynamic.bin or fw_jump.bin in $pkg"
cp -- "$src" "$out/opensbi.bin"
add_image opensbi "$src" none "$pkg" "$root"

# ---- A USB Wi-Fi dongle's firmware: Xtensa code, no branch filter for it ------------------------
pkg=firmware-ath9k-htc
unpack "$pkg"
src=$(find_one "$root" '*/htc_9271-1.4.0.fw')
# Another release of the package may carry a newer file: take the highest version then.
[ -n "$src" ] || src=$(find "$root" -type f -name 'htc_9271*.fw' | sort -V | tail -n 1)
[ -n "$src" ] || die "no htc_9271 firmware file in $pkg"
cp -- "$src" "$out/ath9k-htc.bin"
add_image ath9k-htc "$src" none "$pkg" "$root"

# Written whole and then renamed, so a failed run never leaves a short manifest behind.
printf '%s\n' "${manifest[@]}" >"$out/manifest.tmp"
mv -- "$out/manifest.tmp" "$out/manifest"

for line in "${origins[@]}"; do
  IFS=$'\t' read -r name size from <<<"$line"
  printf '%-22s %9d bytes  from %s\n' "$name" "$size" "$from"
done
