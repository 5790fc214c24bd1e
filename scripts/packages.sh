# Debian packages the project builds, tests and runs with. Sourced by run-tests and run-demo.
ZAV_PACKAGES=(
  cmake ninja-build pkg-config g++ clang libclang-rt-14-dev locales openssl curl ca-certificates
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
  libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev libsqlite3-dev
  libhidapi-dev libudev-dev libgtest-dev
  fonts-noto-cjk xvfb xauth xdotool
  qemu-system-x86 busybox-static cpio kmod xz-utils udev liblzma-dev
  dpkg-dev file lintian desktop-file-utils appstream
)

# Installs whichever of ZAV_PACKAGES is missing; quick when nothing is.
zav_install_packages() {
  local missing=()
  local pkg
  for pkg in "${ZAV_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
