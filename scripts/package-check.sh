#!/usr/bin/env bash
# The Debian packages as a user meets them: makes libvor0 and libvor-dev from a Linux build with
# cpack, installs them into this machine with apt-get, builds the package test's host program
# against them with find_package(vor) and with pkg-config, runs both builds, then removes the
# packages and checks that nothing of them is left. Needs root (it installs); refuses to touch a
# machine that already has either package.
# Usage: scripts/package-check.sh [build-dir]   (default build/linux; configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
packages=(libvor-dev libvor0)

fail() {
  echo "package-check: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root to install the packages"
for p in "${packages[@]}"; do
  if dpkg -s "$p" >/dev/null 2>&1; then fail "$p is already installed; remove it first"; fi
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target vor vorutil vor-echo >/dev/null
work=$(cd "$build" && pwd)/package-check
rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
runtime_deb=$(ls "$work"/out/libvor0_*.deb)
dev_deb=$(ls "$work"/out/libvor-dev_*.deb)

# What each package holds: the runtime one the SONAME files only, the development one the rest.
dpkg-deb -c "$runtime_deb" >"$work/runtime.list"
dpkg-deb -c "$dev_deb" >"$work/dev.list"
grep -q '/libvor\.so\.0 -> ' "$work/runtime.list" || fail "libvor0 lacks libvor.so.0"
grep -q '/libvorutil\.so\.0\.[0-9.]*$' "$work/runtime.list" || fail "libvor0 lacks libvorutil"
grep -q '/libvorwin\.so\.0\.[0-9.]*$' "$work/runtime.list" || fail "libvor0 lacks libvorwin"
if grep -Eq '/libvor(util|win)?\.so -> |/include/' "$work/runtime.list"; then
  fail "libvor0 holds development files"
fi
for f in '/include/vor\.h$' '/include/vorversion\.h$' '/libvor\.so -> libvor\.so\.0$' \
         '/cmake/vor/vorConfig\.cmake$' '/pkgconfig/vor\.pc$'; do
  grep -Eq "$f" "$work/dev.list" || fail "libvor-dev lacks $f"
done
if grep -q 'vor-echo' "$work/runtime.list" "$work/dev.list"; then fail "vor-echo in a package"; fi

remove_packages() {
  apt-get purge -y -qq -o DPkg::Lock::Timeout=120 "${packages[@]}" >/dev/null 2>&1 || true
}
trap remove_packages EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq -o DPkg::Lock::Timeout=120 "$runtime_deb" "$dev_deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "apt-get install failed"; }
echo "package-check: installed $(basename "$runtime_deb") $(basename "$dev_deb")"

# A host program, built as a user would against the installed packages, with nothing pointing
# at the build.
cmake -S tests/package -B "$work/consumer" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"
read -ra pc_flags <<<"$(pkg-config --cflags --libs vor)"
cc tests/package/consumer.c "${pc_flags[@]}" -o "$work/consumer-pc"
"$work/consumer-pc"
ldd "$work/consumer-pc" | grep -q 'libvor\.so\.0 => /usr/' || fail "the pkg-config build does not use the installed libvor.so.0"

remove_packages
trap - EXIT
for p in "${packages[@]}"; do
  if dpkg -s "$p" >/dev/null 2>&1; then fail "$p is still installed after purge"; fi
done
# Every file, link and directory of the packages that is theirs alone (its path names vor).
left=$(awk '{print $6}' "$work/runtime.list" "$work/dev.list" | sed 's#^\.##; s#/$##' |
       grep vor | while read -r f; do if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi; done || true)
[ -z "$left" ] || fail "left behind after removal: $left"
echo "package-check: built against both packages with find_package and pkg-config, ran, removed: ok"
