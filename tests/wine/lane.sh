# Sourced by the Wine scripts: maps ORVANE_WINE_LANE to the Windows the prefix is and the loader that
# runs the lane's programs.
#   win64  64-bit Windows, 64-bit programs (the x86_64 build)
#   win32  32-bit Windows, 32-bit programs (the i686 build): the platform the library is made for
#   wow64  64-bit Windows, 32-bit programs (the i686 build as most machines run it today)
# The 32-bit lanes run their 32-bit code natively or emulated (w32.sh). Emulated, the wow64 lane
# enters through the root's copy of the native 64-bit loader: Wine's own programs and services then
# stay native, and only the 32-bit programs under test go through the emulated loader beside it.
case "${ORVANE_WINE_LANE:-win64}" in
    win64) orvane_winearch=win64 orvane_wine_loader=/usr/lib/wine/wine64 ;;
    win32 | wow64)
        . "$(dirname "$0")/w32.sh"
        orvane_32bit_run="$(orvane_32bit_way)"
        # The programs under test learn the way too: a case that meets a fault of the emulator's
        # own is skipped under emulation alone.
        [ -z "$orvane_32bit_run" ] || export ORVANE_32BIT="$orvane_32bit_run"
        case "${ORVANE_WINE_LANE}:$orvane_32bit_run" in
            win32:emulated) orvane_winearch=win32 orvane_wine_loader="$orvane_w32emu_root/usr/lib/wine/wine" ;;
            wow64:emulated) orvane_winearch=win64 orvane_wine_loader="$orvane_w32emu_root/usr/lib/wine/wine64" ;;
            win32:*) orvane_winearch=win32 orvane_wine_loader=/usr/lib/wine/wine ;;
            wow64:*) orvane_winearch=win64 orvane_wine_loader=/usr/lib/wine/wine ;;
        esac
        ;;
    *)
        echo "unknown ORVANE_WINE_LANE '${ORVANE_WINE_LANE}': expected win64, win32 or wow64" >&2
        exit 2
        ;;
esac
