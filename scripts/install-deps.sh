#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need.
# Idempotent: only missing packages are fetched; apt-get runs as root or via sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libjsoncpp-dev libcurl4-openssl-dev curl
  libmicrohttpd-dev
  libgtest-dev libgmock-dev
  nginx-light apache2-utils
  openssl
  xvfb x11-utils imagemagick
  fonts-nanum fontconfig
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Package scripts must not start nginx on port 80: the demo and tests run their own.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod +x "$policy"
  created_policy=1
fi
cleanup() { if [ "$created_policy" = 1 ]; then $SUDO rm -f "$policy"; fi; }
trap cleanup EXIT

$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
