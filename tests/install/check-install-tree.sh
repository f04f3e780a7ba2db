#!/bin/sh
# Installs the build tree, checks the layout a host relies on, builds a host against it with
# find_package, and runs that host under Wine with only the installed DLLs beside it.
#   check-install-tree.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -eu
build="$1"; source="$2"; work="$3"
rm -rf "$work"
cmake --install "$build" --prefix "$work/tree" >/dev/null
for f in include/IOrvaneInc.h include/IConfInfoInc.h lib/libOrvane.dll.a lib/libKelmira.dll.a \
         bin/Orvane.dll bin/Kelmira.dll lib/cmake/Orvane/OrvaneConfig.cmake; do
    [ -f "$work/tree/$f" ] || { echo "install tree lacks $f" >&2; exit 1; }
done
cmake -S "$source/tests/install/host" -B "$work/host" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-x86_64.cmake" \
      -DCMAKE_PREFIX_PATH="$work/tree" >/dev/null
cmake --build "$work/host" >/dev/null
cp "$work/host/installed_host.exe" "$work/tree/bin/"
sh "$source/tests/wine/wine-run.sh" "$work/tree/bin/installed_host.exe"
