#!/usr/bin/env bash
# Installs this build into a temporary prefix and builds a small C program
# against it as another project would, through pkg-config and through
# find_package(Quarn); both must compile from the header alone, link
# libquarn.so and run against the installed libquarn.so.1.
#   consumer_test.sh BUILD_DIR LIBDIR C_COMPILER CMAKE_GENERATOR [LINK_FLAGS]
# LINK_FLAGS are the build's own: a sanitized libquarn needs its sanitizer
# runtime loaded first, so the program links it too.
set -euo pipefail
build=$1 libdir=$2 cc=$3 generator=$4 link_flags=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
for tool in cmake pkg-config "$cc"; do
  command -v "$tool" >/dev/null || { echo "consumer_test: $tool is missing" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
export LD_LIBRARY_PATH=$prefix/$libdir
version=$(pkg-config --modversion quarn)

# The program checks the engine's idle answers; here, that it ran the
# installed header's version: the package's, or its leading part.
run() {
  local out header state
  out=$("$1") || { echo "consumer_test: $2: the program failed" >&2; exit 1; }
  header=${out% *} state=${out##* }
  case $version in
    "$header" | "$header".*) ;;
    *) echo "consumer_test: $2: header version $header, package $version" >&2; exit 1 ;;
  esac
  [ "$state" = 0 ] || { echo "consumer_test: $2: state $state after stopDownload" >&2; exit 1; }
  echo "$2: QUARN_VERSION $header, state $state"
}

# shellcheck disable=SC2046,SC2086 # pkg-config's output and the flags are word lists
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$tmp/via-pkg-config" "$here/consumer/main.c" \
  $(pkg-config --cflags --libs quarn) $link_flags
run "$tmp/via-pkg-config" pkg-config

cmake -S "$here/consumer" -B "$tmp/consumer" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXE_LINKER_FLAGS="$link_flags" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
run "$tmp/consumer/consumer" find_package
