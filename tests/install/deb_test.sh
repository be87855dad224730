#!/usr/bin/env bash
# Builds the Debian packages of this build with cpack into a temporary
# directory and checks what each one is: its name, what it depends on
# (dpkg-shlibdeps for libraries, the runtime of the same version for the
# rest) and which files it carries.
#   deb_test.sh BUILD_DIR LIBDIR
set -euo pipefail
build=$1 libdir=$2
for tool in cpack dpkg-deb dpkg-shlibdeps file readelf; do
  command -v "$tool" >/dev/null || { echo "deb_test: $tool is missing" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; exit 1; }

declare -A deb
for file in "$tmp"/*.deb; do deb[$(dpkg-deb -f "$file" Package)]=$file; done
packages=$(printf '%s\n' "${!deb[@]}" | sort | tr '\n' ' ')
[ "$packages" = "libquarn-dev libquarn1 quarndemo " ] ||
  { echo "deb_test: packages built: $packages" >&2; exit 1; }
version=$(dpkg-deb -f "${deb[libquarn1]}" Version)
same="libquarn1 (= $version)"

failed=0
fail() { echo "deb_test: $*" >&2; failed=1; }

# A Depends list and one entry: a package name, which any entry of that
# package satisfies, or a whole entry with its version. Ubuntu's t64 names
# (libcurl4t64) count as the plain ones.
has() {
  local entry entries
  IFS=',' read -ra entries <<<"$1"
  for entry in "${entries[@]}"; do
    entry=${entry# }
    local name=${entry%% *}
    entry=${name%t64}${entry#"$name"}
    [[ $entry == "$2" || ($2 != *" "* && ${entry%% *} == "$2") ]] && return 0
  done
  return 1
}

# A package, the entries its Depends must have (';' between), a name it must
# not depend on, the files under /usr it must carry.
check() {
  local file=${deb[$1]} depends need needs path contents
  depends=$(dpkg-deb -f "$file" Depends 2>/dev/null || true)
  IFS=';' read -ra needs <<<"$2"
  for need in "${needs[@]}"; do
    has "$depends" "$need" || fail "$1: Depends '$depends' lacks '$need'"
  done
  if [ -n "$3" ] && [[ ", $depends" == *", $3"* ]]; then
    fail "$1: Depends '$depends' names $3"
  fi
  contents=$(dpkg-deb -c "$file" | awk '{print $6}')
  for path in $4; do
    grep -qxF "./usr/$path" <<<"$contents" || fail "$1: no /usr/$path"
  done
  echo "$1 $(dpkg-deb -f "$file" Version): Depends: $depends"
}

check libquarn1 "libcurl4 (>= 7.85.0);libcurl4;libjsoncpp25;libc6" libqt6 "$libdir/libquarn.so.1"
check libquarn-dev "$same" libcurl \
  "include/quarn/quarn.h $libdir/libquarn.so $libdir/pkgconfig/quarn.pc
   $libdir/cmake/Quarn/QuarnConfig.cmake $libdir/cmake/Quarn/QuarnConfigVersion.cmake"
# quarn meta writes documents with the engine's own unit: libxml2, libcrypto.
check quarndemo "$same;libqt6widgets6;libxml2;libssl3" "" \
  "bin/QuarnDemo bin/quarn share/applications/io.github.quarn.QuarnDemo.desktop
   share/metainfo/io.github.quarn.QuarnDemo.metainfo.xml share/icons/hicolor/scalable/apps/quarndemo.svg"

# Whatever a shipped binary links directly (libxml2, libssl3 for OpenSSL's
# libcrypto, the sanitizer runtime of such a build ...) is a dependency of
# its package: the package holding each NEEDED library, as this system has it.
owner() {  # a library path -> its Debian package, without the architecture
  local path=$1 candidate pkg real
  real=$(realpath "$path")
  for candidate in "$path" "$real" "/usr${path#/usr}" "/usr${real#/usr}"; do
    pkg=$(dpkg-query --search "$candidate" 2>/dev/null | head -n1) || continue
    [ -n "$pkg" ] && { printf '%s' "${pkg%%:*}"; return 0; }
  done
  return 1
}
needed_packaged() {  # package, file under /usr
  local file=${deb[$1]} depends lib path pkg
  depends=$(dpkg-deb -f "$file" Depends 2>/dev/null || true)
  rm -rf "$tmp/x" && dpkg-deb -x "$file" "$tmp/x"
  for lib in $(readelf -d "$tmp/x/usr/$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ "$lib" = libquarn.so.1 ] && continue
    # "libx.so.1 => /path (addr)", or for the loader "/path/ld-linux... (addr)"
    path=$(ldd "$tmp/x/usr/$2" | awk -v l="$lib" '$1 == l {print $3; exit}
      {n = split($1, p, "/"); if (n > 1 && p[n] == l) {print $1; exit}}')
    [ -n "$path" ] || { fail "$1: /usr/$2 links $lib, which ldd does not find"; continue; }
    pkg=$(owner "$path") || { fail "$1: no package holds $lib ($path)"; continue; }
    has "$depends" "${pkg%t64}" || has "$depends" "$pkg" ||
      fail "$1: /usr/$2 links $lib of $pkg, which Depends '$depends' lacks"
  done
}
needed_packaged libquarn1 "$libdir/libquarn.so.1"
needed_packaged quarndemo bin/quarn
needed_packaged quarndemo bin/QuarnDemo

# The development link belongs to libquarn-dev alone.
if dpkg-deb -c "${deb[libquarn1]}" | awk '{print $6}' | grep -qx "\./usr/$libdir/libquarn\.so"; then
  fail "libquarn1 carries the libquarn.so link"
fi
exit $failed
