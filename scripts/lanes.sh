# Sourced by the scripts: the test lanes this machine can run, the product's first.
#   i686:   the 32-bit product on 32-bit Windows (32-bit Wine, WINEARCH=win32)
#   x86_64: the 64-bit sibling build on 64-bit Windows (Wine64)
# ORVANE_LANES, when set, chooses among them and the reactos lane (e.g. ORVANE_LANES=x86_64).
# The test run adds, after those two, a lane that needs no build of its own:
#   i686-wow64: the i686 build's tracking, unload and host suites as a 32-bit host on 64-bit
#               Windows (WoW64, 32-bit programs in a win64 prefix), where the product runs today
# and, after the Wine lanes, one that boots a real kernel (scripts/reactos-lane.sh):
#   reactos:    the i686 build's driver and guest programs on ReactOS (NT 5.2) under QEMU
orvane_lanes=""
orvane_32bit_skip_reason=""
# How the 32-bit lanes run their 32-bit code (tests/wine/w32.sh): natively where the kernel runs it,
# otherwise under qemu-i386 where scripts/setup-machine.sh could set that up. Exported, so that every
# program of the run takes the same way; ORVANE_32BIT=emulated forces emulation.
orvane_can_run_32bit=scripts/can-run-32bit.sh
. tests/wine/w32.sh
orvane_32bit_run="$(orvane_32bit_way)"
if [ -z "$orvane_32bit_run" ]; then
    orvane_32bit_skip_reason="this kernel cannot run 32-bit x86 programs (no ia32 emulation), and the emulated 32-bit Wine is not set up (scripts/setup-w32-emulation.sh)"
elif [ "$orvane_32bit_run" = emulated ] && ! [ -x "$orvane_w32emu_root/usr/lib/wine/wine.i386" ]; then
    orvane_32bit_skip_reason="the emulated 32-bit Wine is not set up (scripts/setup-w32-emulation.sh)"
elif [ "$orvane_32bit_run" = native ] && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
    orvane_32bit_skip_reason="32-bit Wine (wine32:i386) could not be installed"
else
    orvane_lanes="i686"
    export ORVANE_32BIT="$orvane_32bit_run"
fi
orvane_lanes="$orvane_lanes x86_64"
orvane_reactos_lane=yes
if [ -n "${ORVANE_LANES:-}" ]; then
    chosen=""
    orvane_reactos_lane=no
    for lane in $ORVANE_LANES; do
        case " $orvane_lanes " in
            *" $lane "*) chosen="$chosen $lane" ;;
            *)
                case "$lane" in
                    i686) ;;
                    reactos) orvane_reactos_lane=yes ;;
                    *) echo "unknown lane '$lane': expected i686, x86_64 or reactos" >&2; exit 2 ;;
                esac
                ;;
        esac
    done
    orvane_lanes="$chosen"
fi

# The test lanes: the build lanes, then the wow64 lane of the i686 build when that is among them.
orvane_test_lanes="$orvane_lanes"
case " $orvane_lanes " in
    *" i686 "*) orvane_test_lanes="$orvane_lanes i686-wow64" ;;
esac

# The Wine lane (tests/wine/lane.sh) a lane's programs run in.
orvane_wine_lane_of() {
    case "$1" in
        i686) echo win32 ;;
        i686-wow64) echo wow64 ;;
        *) echo win64 ;;
    esac
}

# How a lane runs its 32-bit code, for the lane's first line.
orvane_way_of() {
    case "$1" in
        i686 | i686-wow64) echo "32-bit code $orvane_32bit_run" ;;
        *) echo "64-bit code native" ;;
    esac
}

orvane_say_32bit_skipped() {
    [ -z "$orvane_32bit_skip_reason" ] || echo "32-bit lanes (i686, i686-wow64) skipped: $orvane_32bit_skip_reason"
}
