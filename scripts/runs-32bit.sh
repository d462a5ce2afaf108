#!/usr/bin/env bash
# Exit 0 when this machine's kernel runs 32-bit x86 programs; otherwise print
# why not and exit 1. Builds its own tiny program with binutils (as, ld).
#   runs-32bit.sh          the kernel only
#   runs-32bit.sh --wine   also Wine's 32-bit support (wine32:i386)
set -u
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start: movl $1, %%eax\n movl $32, %%ebx\n int $0x80\n' > "$dir/probe.s"
if ! { as --32 -o "$dir/probe.o" "$dir/probe.s" && ld -m elf_i386 -o "$dir/probe" "$dir/probe.o"; } 2>/dev/null; then
  echo "binutils cannot make a 32-bit x86 program here"; exit 1
fi
"$dir/probe" 2>/dev/null
[ $? = 32 ] || { echo "this machine's kernel does not run 32-bit programs"; exit 1; }
if [ "${1:-}" = --wine ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "Wine's 32-bit support (wine32:i386) is not installed"; exit 1
fi
exit 0
