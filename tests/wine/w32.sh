# Sourced by the Wine scripts and scripts/lanes.sh: how this machine runs 32-bit x86 code.
#   native    the kernel runs it and Debian's 32-bit Wine (wine32:i386) is installed
#   emulated  32-bit Wine's loader runs under qemu-i386 user-mode emulation, from the private root
#             that scripts/setup-w32-emulation.sh made (ORVANE_W32EMU_ROOT); 64-bit Wine stays native
# ORVANE_32BIT=native or =emulated chooses instead of asking the machine: =emulated tests the
# emulated path on a machine that could run 32-bit code itself. A sourcing script outside
# tests/wine names the kernel's probe in orvane_can_run_32bit.
orvane_w32emu_root="${ORVANE_W32EMU_ROOT:-/var/cache/orvane-w32emu/wine32}/root32"

# Prints native, emulated, or nothing when this machine has no way to run 32-bit Wine.
orvane_32bit_way() {
    case "${ORVANE_32BIT:-}" in
        native | emulated)
            echo "$ORVANE_32BIT"
            return
            ;;
    esac
    if sh "${orvane_can_run_32bit:-$(dirname "$0")/../../scripts/can-run-32bit.sh}" 2>/dev/null \
        && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
        echo native
    elif [ -x "$orvane_w32emu_root/usr/lib/wine/wine.i386" ]; then
        echo emulated
    fi
}
