#!/bin/sh
# Exits 0 when this kernel runs 32-bit x86 programs, 1 otherwise (no ia32 emulation: "Exec format
# error"). It runs a 96-byte static i386 ELF program that only exits with status 42.
set -u
probe="$(mktemp "${TMPDIR:-/tmp}/orvane-ia32.XXXXXX")"
trap 'rm -f "$probe"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$probe"
printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$probe"
printf '\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000' >>"$probe"
printf '\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >>"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
[ $? -eq 42 ]
