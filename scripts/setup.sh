#!/usr/bin/env bash
# Installs the Debian packages Lumigrab needs to build, test and run.
# Run as root on Debian 12. Packages already present are left alone.
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config ca-certificates libssl-dev openssl
  qt6-base-dev qt6-image-formats-plugins libgl-dev qtkeychain-qt6-dev
  zlib1g-dev  # compressed news connections
  libexif-dev  # the camera and date a picture names
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  media-types python3 xvfb xauth
  python3-pil fonts-dejavu-core qt6-wayland
  netbase  # /etc/services and /etc/hosts, which the lookup tests read
  dpkg-dev file appstream desktop-file-utils  # making and checking the Debian package
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

apt_update() {
  # A second try covers lists locked by an unattended update.
  apt-get update -qq || { sleep 10; apt-get update -qq; }
}

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The integration tests run a private INN2 news server on loopback.
if [[ "${LUMIGRAB_SKIP_INN:-0}" != 1 && -x "$(dirname "$0")/../tests/news/inn/install-inn2.sh" ]]; then
  "$(dirname "$0")/../tests/news/inn/install-inn2.sh"
fi
