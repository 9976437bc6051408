#!/usr/bin/env bash
# The target build: cross-compiles for 32-bit little-endian MIPS (mipsel-linux-gnu) against
# libmosquitto 1.4.15, the controller's library (built from its sources into the build folder),
# runs the unit tests under qemu-mipsel, checks the installation layout, prints the stripped
# daemon's size and runs the emulated daemon smoke against a local broker, on that library.
#
# The target's other libraries (libsqlite3, libssl and what they need, and Debian's libmosquitto for
# a build without K482916_MOSQUITTO14) come from Debian's mipsel packages, unpacked into a sysroot
# folder that is kept between runs:
#   K482916_SYSROOT   sysroot folder (default ~/.cache/k482916-mipsel-sysroot)
#   K482916_HOST_BUILD  host build folder whose k482916_ctl makes the segments (default build)
# Usage: scripts/cross.sh
set -euo pipefail
cd "$(dirname "$0")/.."

sysroot=${K482916_SYSROOT:-$HOME/.cache/k482916-mipsel-sysroot}
host_build=${K482916_HOST_BUILD:-build}
build="build-mipsel" # the folder of the target preset
size_budget=131072

fail() { echo "cross: $*" >&2; exit 1; }

tmp=$(mktemp -d /tmp/k482916-cross-XXXXXX)
sysroot_work=
trap 'rm -rf "$tmp" ${sysroot_work:+"$sysroot_work"}' EXIT
if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi

# Runs a command quietly; shows its output only when it fails.
quiet() {
  if ! "$@" >"$tmp/out" 2>&1; then
    cat "$tmp/out" >&2
    fail "failed: $*"
  fi
}

scripts/deps.sh
scripts/deps.sh --cross

# Packages unpacked into the sysroot. Their dependencies are added below; the C and C++ runtime
# comes with the cross compiler (/usr/mipsel-linux-gnu) and is not fetched again.
sysroot_packages=(libmosquitto1 libmosquitto-dev libsqlite3-0 libsqlite3-dev libssl3 libssl-dev)
from_toolchain=" libc6 libc6-dev libc-dev libgcc-s1 libstdc++6 debconf "

apt_quiet() {
  # Another apt run may hold the lists lock for a while; wait for it instead of failing.
  for _ in 1 2 3 4 5; do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 5
  done
  "$@"
}

make_sysroot() {
  local stamp="$sysroot/.k482916-packages"
  [[ -f "$stamp" && "$(cat "$stamp")" == "${sysroot_packages[*]}" ]] && return 0

  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    $sudo dpkg --add-architecture mipsel
  fi
  # The package lists of the foreign architecture exist only after an update.
  if ! apt-cache show libmosquitto1:mipsel >/dev/null 2>&1; then
    apt_quiet $sudo apt-get update -qq
  fi

  # Made beside its final place and moved there only when complete.
  mkdir -p "$(dirname "$sysroot")"
  sysroot_work=$(mktemp -d "${sysroot%/}.tmp.XXXXXX")
  local work=$sysroot_work
  mkdir -p "$work/debs" "$work/root"
  local -a queue=("${sysroot_packages[@]}")
  local -A seen=()
  while [[ ${#queue[@]} -gt 0 ]]; do
    local p=${queue[0]}
    queue=("${queue[@]:1}")
    [[ -n ${seen[$p]:-} ]] && continue
    seen[$p]=1
    (cd "$work/debs" && apt_quiet apt-get download -qq "$p:mipsel") ||
      fail "apt-get download $p:mipsel failed"
    local deb
    deb=$(find "$work/debs" -name "${p}_*_mipsel.deb" | head -n1)
    [[ -n "$deb" ]] || fail "no package file for $p:mipsel"
    # Depends of the package: first alternative of each item, without version or architecture.
    local dep
    for dep in $(dpkg-deb -f "$deb" Depends Pre-Depends | tr ',' '\n' | sed -e 's/^[A-Za-z-]*: //' \
                   -e 's/|.*//' -e 's/(.*)//' -e 's/:.*//' | tr -d ' ' | sort -u); do
      [[ -z "$dep" || "$from_toolchain" == *" $dep "* ]] && continue
      queue+=("$dep")
    done
  done
  local deb
  for deb in "$work"/debs/*.deb; do dpkg -x "$deb" "$work/root"; done
  printf '%s' "${sysroot_packages[*]}" >"$work/root/.k482916-packages"
  rm -rf "$sysroot"
  mv "$work/root" "$sysroot"
  rm -rf "$work"
  sysroot_work=
}

make_sysroot

# The host's controller simulator makes the segments for the smoke run. The host preset; another
# folder gets the same configuration with -B and is built by name.
if [[ "$host_build" == build ]]; then at=(--preset host); else at=("$host_build"); fi
if [[ ! -f "$host_build/build.ninja" ]]; then
  quiet cmake --preset host -B "$host_build"
fi
quiet cmake --build "${at[@]}" -j2 --target k482916_ctl

# The target preset (optimised for size; the unit tests run under qemu-mipsel) with this run's
# sysroot. Libraries found in another sysroot, and flags of an older toolchain file, stay in the
# cache, so a change of either starts the configuration afresh.
if [[ -f "$build/CMakeCache.txt" ]] &&
   { ! grep -qxF "K482916_SYSROOT:PATH=$sysroot" "$build/CMakeCache.txt" ||
     [[ cmake/mipsel-linux-gnu.cmake -nt "$build/CMakeCache.txt" ]]; }; then
  rm -f "$build/CMakeCache.txt"
fi
quiet cmake --preset target -DK482916_SYSROOT="$sysroot"
quiet cmake --build --preset target
ctest --preset target || fail "target unit tests failed"

# Size of the daemon as it goes onto the controller.
mipsel-linux-gnu-strip -o "$tmp/daemon.stripped" "$build/mqtt_k482916_demon"
size=$(stat -c %s "$tmp/daemon.stripped")
echo "target daemon stripped: $size bytes"
((size <= size_budget)) || fail "the stripped daemon exceeds its budget of $size_budget bytes"
# A controller has libmosquitto, libsqlite3 and the C library, not necessarily the C++ runtime.
if mipsel-linux-gnu-readelf -d "$build/mqtt_k482916_demon" | grep -qE 'NEEDED.*(libstdc\+\+|libgcc_s)'; then
  fail "the daemon needs the C++ runtime (libstdc++ or libgcc_s)"
fi

# Installation into a staging folder, for the prefix /usr (init script in /etc) and another one.
check_install() {
  local prefix=$1 etc=$2 stage=$tmp/stage${1//\//_}
  quiet env DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" --strip
  local f
  for f in "$prefix/sbin/mqtt_k482916_demon" "$prefix/bin/k482916_ctl" \
           "$prefix/share/mqtt_k482916_demon/brokerAccess.json.example" \
           "$prefix/share/mqtt_k482916_demon/brokerSetup.json.example" \
           "$prefix/share/mqtt_k482916_demon/mosquitto.acl.example" \
           "$prefix/share/mqtt_k482916_demon/rabbitmq-definitions.example.json" \
           "$prefix/share/man/man8/mqtt_k482916_demon.8"; do
    [[ -f "$stage$f" ]] || fail "install ($prefix): $f missing"
  done
  local init=$stage$etc/init.d/mqtt_k482916_demon
  [[ -x "$init" ]] || fail "install ($prefix): $etc/init.d/mqtt_k482916_demon missing or not executable"
  sh -n "$init" || fail "install ($prefix): init script does not parse"
  grep -q "^DAEMON=\${DAEMON:-$prefix/sbin/mqtt_k482916_demon}\$" "$init" ||
    fail "install ($prefix): init script does not name $prefix/sbin/mqtt_k482916_demon"
  if mipsel-linux-gnu-readelf -S "$stage$prefix/sbin/mqtt_k482916_demon" | grep -q '\.symtab'; then
    fail "install ($prefix): the installed daemon is not stripped"
  fi
}
check_install /usr /etc
check_install /opt/k482916 /opt/k482916/etc
tests/cross/init_script.sh "$tmp/stage_usr/etc/init.d/mqtt_k482916_demon"

# The installed daemon and init script against a real broker, under qemu-mipsel, on the
# libmosquitto 1.4.15 of the build folder (the controller's library is not installed with it).
stage=$tmp/stage_usr
K482916_SYSROOT=$sysroot K482916_TARGET_LIBDIR=$PWD/$build/mosquitto14 K482916_LIBRARY=1.4.15 \
  tests/cross/smoke.sh "$stage/usr/sbin/mqtt_k482916_demon" "$host_build/k482916_ctl" \
  "$stage/etc/init.d/mqtt_k482916_demon"
