#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12. As root it runs apt-get; as another
# user it prints the exact command and stops.
# Usage: scripts/setup.sh [native|all]   (native: the Linux build only; all: also 32-bit Windows)
set -euo pipefail
what=${1:-all}

native_pkgs=(cmake g++ make libgtest-dev libbenchmark-dev)
# The reliability stages: memcheck, and clang with libFuzzer and the sanitizer runtimes.
native_pkgs+=(valgrind clang libclang-rt-14-dev)
# The release packages (CPack's Debian generator works out their dependencies with dpkg-shlibdeps).
native_pkgs+=(dpkg-dev pkg-config)
# qemu-user runs 32-bit wine where the kernel cannot execute 32-bit programs.
win_pkgs=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32 wine64 googletest qemu-user)
# The Microsoft-format import libraries (llvm-dlltool) and the test host linked against them.
win_pkgs+=(llvm lld)

missing=()
for p in "${native_pkgs[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
need_i386=0
if [ "$what" = all ]; then
  for p in "${win_pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
fi
[ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ] && exit 0

apt_line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. As root, run:" >&2
  [ $need_i386 -eq 1 ] && echo "  dpkg --add-architecture i386 && apt-get update" >&2
  echo "  $apt_line" >&2
  exit 1
fi
[ $need_i386 -eq 1 ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves indexes that fail their checks, sometimes for hours.
# When the index of one architecture is missing, packages of both architectures that must have
# the same version (libc6 and libc6:i386) no longer match; preferring the release's own
# packages over its updates (-t) makes them match again. Each way is tried, a minute apart.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
for attempt in 1 2 3 4 5; do
  apt-get update -qq || echo "setup: apt-get update failed (attempt $attempt)" >&2
  # shellcheck disable=SC2086
  $apt_line && exit 0
  # shellcheck disable=SC2086
  $apt_line -t "$release" && exit 0
  [ $attempt -lt 5 ] && sleep 60
done
echo "setup: could not install: ${missing[*]}" >&2
exit 1
