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
if ! sh scripts/can-run-32bit.sh; then
    orvane_32bit_skip_reason="this kernel cannot run 32-bit x86 programs (no ia32 emulation)"
elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
    orvane_32bit_skip_reason="32-bit Wine (wine32:i386) could not be installed"
else
    orvane_lanes="i686"
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

orvane_say_32bit_skipped() {
    [ -z "$orvane_32bit_skip_reason" ] || echo "32-bit lanes (i686, i686-wow64) skipped: $orvane_32bit_skip_reason"
}
