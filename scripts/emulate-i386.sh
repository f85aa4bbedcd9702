#!/usr/bin/env bash
# Lets this host run 32-bit (i386) Linux programs, and so 32-bit wine, through qemu-i386
# user-mode emulation, where the kernel cannot run them itself. Idempotent: mounts binfmt_misc
# only if it is missing and registers qemu-i386 only if no i386 registration exists; other
# registrations are never touched. Needs root for the mount and the registration.
# Usage: scripts/emulate-i386.sh [check|force|remove]
#   (no argument) set up what is missing; prints "native" or "emulated" and exits 0, or fails
#   check         only print "native", "emulated" or "unavailable" (exit 0, 0, 1); changes nothing
#   force         set up the emulation even where the kernel runs 32-bit programs itself (to try
#                 the emulated run on such a host); prints "emulated"
#   remove        remove the qemu-i386 registration this script makes (name qemu-i386,
#                 interpreter /usr/bin/qemu-i386); any other is left alone
set -euo pipefail
binfmt=/proc/sys/fs/binfmt_misc
name=qemu-i386
qemu=/usr/bin/qemu-i386
# The ELF header of an i386 executable, as the usual qemu-i386 registration matches it.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# The enabled registration that handles i386 programs, if any (binfmt_misc goes before the
# kernel's own ELF loader, so while one is enabled it runs every 32-bit program).
i386_registration() {
  local entry
  [ -e "$binfmt/register" ] || return 1
  for entry in "$binfmt"/*; do
    case ${entry##*/} in register | status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    grep -q "^magic 7f454c46010101000000000000000000020003" "$entry" 2>/dev/null || continue
    echo "${entry##*/}"
    return 0
  done
  return 1
}

# True when the kernel itself executes a 32-bit program (the 32-bit wineserver is one).
kernel_runs_i386() {
  local probe=/usr/lib/wine/wineserver32
  [ -x "$probe" ] && ! i386_registration >/dev/null && "$probe" --version >/dev/null 2>&1
}

state() {
  if i386_registration >/dev/null; then echo emulated
  elif kernel_runs_i386; then echo native
  else echo unavailable; return 1
  fi
}

case ${1:-} in
  check)
    state
    exit $?
    ;;
  remove)
    if [ -e "$binfmt/$name" ] && grep -qx "interpreter $qemu" "$binfmt/$name"; then
      echo -1 >"$binfmt/$name"
    fi
    exit 0
    ;;
  force) ;;
  *)
    if state >/dev/null 2>&1; then
      state
      exit 0
    fi
    ;;
esac
[ -x "$qemu" ] || { echo "emulate-i386.sh: $qemu is missing (apt-get install qemu-user)" >&2; exit 1; }
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" ||
    { echo "emulate-i386.sh: cannot mount binfmt_misc (needs root)" >&2; exit 1; }
fi
if ! i386_registration >/dev/null; then
  if [ -e "$binfmt/$name" ]; then
    echo "emulate-i386.sh: $binfmt/$name exists but is disabled or not for i386; left alone" >&2
    exit 1
  fi
  # F: the interpreter is opened now, so it works inside other mount namespaces too.
  printf ':%s:M::%s:%s:%s:F\n' "$name" "$magic" "$mask" "$qemu" >"$binfmt/register" ||
    { echo "emulate-i386.sh: cannot register $qemu (needs root)" >&2; exit 1; }
fi
state
