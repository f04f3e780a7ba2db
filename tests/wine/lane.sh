# Sourced by the Wine scripts: maps ORVANE_WINE_LANE to the Windows the prefix is and the loader that
# runs the lane's programs.
#   win64  64-bit Windows, 64-bit programs (the x86_64 build)
#   win32  32-bit Windows, 32-bit programs (the i686 build): the platform the library is made for
#   wow64  64-bit Windows, 32-bit programs (the i686 build as most machines run it today)
case "${ORVANE_WINE_LANE:-win64}" in
    win64) orvane_winearch=win64 orvane_wine_loader=/usr/lib/wine/wine64 ;;
    win32) orvane_winearch=win32 orvane_wine_loader=/usr/lib/wine/wine ;;
    wow64) orvane_winearch=win64 orvane_wine_loader=/usr/lib/wine/wine ;;
    *)
        echo "unknown ORVANE_WINE_LANE '${ORVANE_WINE_LANE}': expected win64, win32 or wow64" >&2
        exit 2
        ;;
esac
