#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need.
# Idempotent: only missing packages are fetched; apt-get runs as root or via sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang-format clang-tidy
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libjsoncpp-dev libcurl4-openssl-dev curl
  libxml2-dev libssl-dev
  libgtest-dev
  nginx-light apache2-utils aria2
  openssl
  xvfb xauth x11-utils imagemagick iproute2
  fonts-nanum fontconfig
  dpkg-dev file
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

# apt waits for the dpkg lock itself (DPkg::Lock::Timeout), but not for the
# lists and archives locks: a command that fails on one is retried for as long.
lock_wait=300
apt_get() {
  local deadline=$((SECONDS + lock_wait)) told=0 err status
  err=$(mktemp)
  while :; do
    status=0
    $SUDO apt-get -o DPkg::Lock::Timeout="$lock_wait" "$@" 2>"$err" || status=$?
    if [ "$status" -eq 0 ] || ! grep -q 'Could not get lock' "$err" || [ "$SECONDS" -ge "$deadline" ]; then
      cat "$err" >&2
      rm -f "$err"
      return "$status"
    fi
    if [ "$told" = 0 ]; then
      echo "install-deps: waiting up to ${lock_wait}s for the package manager: $(grep -m1 'Could not get lock' "$err")" >&2
      told=1
    fi
    sleep 2
  done
}

# A source that cannot be fetched is an error, not a warning over stale lists.
if ! apt_get update -qq --error-on=any; then
  echo "install-deps: apt-get update failed (see above); fix the package sources and run again" >&2
  exit 1
fi
apt_get install -y -qq --no-install-recommends "${missing[@]}"
