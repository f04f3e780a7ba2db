# Sourced by the scripts: the test lanes this machine can run, the product's first.
#   i686:   the 32-bit product on 32-bit Windows (32-bit Wine, WINEARCH=win32)
#   x86_64: the 64-bit sibling build on 64-bit Windows (Wine64)
# ORVANE_LANES, when set, chooses among them (e.g. ORVANE_LANES=x86_64).
orvane_lanes=""
orvane_32bit_skip_reason=""
if sh scripts/can-run-32bit.sh; then
    orvane_lanes="i686"
else
    orvane_32bit_skip_reason="this kernel cannot run 32-bit x86 programs (no ia32 emulation)"
fi
orvane_lanes="$orvane_lanes x86_64"
if [ -n "${ORVANE_LANES:-}" ]; then
    chosen=""
    for lane in $ORVANE_LANES; do
        case " $orvane_lanes " in
            *" $lane "*) chosen="$chosen $lane" ;;
            *) [ "$lane" = i686 ] || { echo "unknown lane '$lane': expected i686 or x86_64" >&2; exit 2; } ;;
        esac
    done
    orvane_lanes="$chosen"
fi

# The Wine lane (tests/wine/lane.sh) a build lane's programs run in.
orvane_wine_lane_of() {
    case "$1" in
        i686) echo win32 ;;
        *) echo win64 ;;
    esac
}

orvane_say_32bit_skipped() {
    [ -z "$orvane_32bit_skip_reason" ] || echo "32-bit lane skipped: $orvane_32bit_skip_reason"
}
