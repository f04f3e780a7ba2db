#!/bin/sh
# Sets up 32-bit Wine for a kernel that runs no 32-bit x86 code: Debian's i386 Wine and its i386
# libraries unpacked into a private root whose loader runs under qemu-i386 user-mode emulation, beside
# a copy of the host's native wine64, so that 64-bit Wine (wineserver, services) stays native and only
# 32-bit code is emulated. Nothing is registered with dpkg; no binfmt_misc entry is made.
#
# Both parts are made once per machine and kept under /var/cache/orvane-w32emu (ORVANE_W32EMU_CACHE):
#   qemu-<source version>-<build checksum>/qemu-i386   a static qemu-i386 with the trap-number patch
#   wine32-<Wine version>/root32                       the private root, with a copy of that qemu-i386
#   wine32 -> the root in use, which tests/wine/lane.sh runs 32-bit programs from
# A second run with the same keys fetches and builds nothing. Needs root.
#
# The patch: an access violation in 32-bit code reaches Wine through a SIGSEGV frame whose trap number
# qemu fills from a field that is already -1, so Wine raises an illegal instruction instead and no
# exception handler ever sees the access violation. The patch keeps the trap number of the last exit
# from the CPU loop and writes that.
set -eu
cd "$(dirname "$0")/.."
cache="${ORVANE_W32EMU_CACHE:-/var/cache/orvane-w32emu}"
patch_file="$PWD/scripts/w32-emulation/qemu-i386-trapno.patch"
mirror="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)"
security_mirror="$(awk '/^URIs:/ {n++; if (n == 2) {print $2; exit}}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)"
mirror="${mirror:-http://deb.debian.org/debian}"
security_mirror="${security_mirror:-http://deb.debian.org/debian-security}"

[ -x /usr/lib/wine/wine64 ] || { echo "setup-w32-emulation: wine64 is not installed" >&2; exit 1; }
mkdir -p "$cache"
# One set-up at a time: two test runs starting together must not build into the same folders.
exec 9>"$cache/.lock"
flock -w 3600 9
export DEBIAN_FRONTEND=noninteractive
tools="mmdebstrap libglib2.0-dev ninja-build pkg-config python3-venv patch xz-utils"
for tool in $tools; do
    dpkg-query -W -f='${Status}' "$tool" 2>/dev/null | grep -q "ok installed" && continue
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends $tools >/dev/null
    break
done

# A private apt configuration for bookworm-backports, which the machine's own sources leave out.
apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
echo "deb-src $mirror bookworm-backports main" >"$apt_dir/sources.list"
private_apt="-o Dir::Etc::SourceList=$apt_dir/sources.list -o Dir::Etc::SourceParts=/dev/null
 -o Dir::State::Lists=$apt_dir/lists -o Dir::Cache::Archives=$apt_dir/archives"

# Only what Wine needs of qemu is built in. The extended-attribute calls are among it: Wine keeps a
# file's DOS attributes (hidden, system) in one, and without them qemu answers ENOSYS, so every such
# attribute set by a 32-bit program is silently lost.
qemu_features="--target-list=i386-linux-user --static --without-default-features --enable-attr --disable-system
 --disable-tools --disable-docs --disable-werror --disable-install-blobs"
# The build's key covers the patch and the features, so a change of either builds qemu again.
build_sum="$({ cat "$patch_file"; echo "$qemu_features"; } | sha256sum | cut -c1-16)"
# shellcheck disable=SC2086
if apt-get $private_apt update -qq 2>/dev/null; then
    qemu_version="$(apt-cache $private_apt showsrc qemu 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1)"
fi
if [ -z "${qemu_version:-}" ]; then
    # Without the index (no network), a build already made with this patch is as good as any.
    qemu_dir="$(ls -d "$cache"/qemu-*-"$build_sum" 2>/dev/null | sort -V | tail -n 1)"
    [ -n "$qemu_dir" ] || { echo "setup-w32-emulation: qemu's source cannot be found" >&2; exit 1; }
    qemu_key="$(basename "$qemu_dir")"
else
    qemu_key="qemu-$(echo "$qemu_version" | tr ':~+' '__.')-$build_sum"
    qemu_dir="$cache/$qemu_key"
fi

build_qemu() {
    work="$cache/work"
    # meson runs again inside the build (generated headers): it needs the unpacked meson too.
    export PYTHONPATH="$work/meson/usr/lib/python3/dist-packages:$work/pystub"
    # A build stopped half-way, of the same source and patch, goes on where it stopped.
    if [ "$(cat "$work/key" 2>/dev/null)" = "$qemu_key" ] && [ -f "$work/src/build/build.ninja" ]; then
        (cd "$work/src/build" && nice ninja -j"$(nproc)" qemu-i386 >/dev/null)
        install_qemu
        return
    fi
    rm -rf "$work"
    mkdir -p "$work/src"
    echo "$qemu_key" >"$work/key"
    # shellcheck disable=SC2086
    (cd "$work" && apt-get $private_apt source --download-only "qemu=$qemu_version") >/dev/null 2>&1 || true
    tarball="$(ls "$work"/qemu_*.orig.tar.xz 2>/dev/null | head -n 1)"
    [ -n "$tarball" ] || { echo "setup-w32-emulation: qemu $qemu_version's source could not be fetched" >&2; return 1; }
    tar -C "$work/src" --strip-components=1 -xf "$tarball"
    (cd "$work/src" && patch -p0 --no-backup-if-mismatch <"$patch_file") >/dev/null
    # qemu 10 needs a newer meson than bookworm's: the one from bookworm-backports, unpacked. Its
    # test runner's one dependency is never used here, so a stub stands in for it.
    mmdebstrap --variant=extract --arch=amd64 --include=meson/bookworm-backports --skip=check/empty bookworm \
        "$work/meson" "deb $mirror bookworm main" "deb $mirror bookworm-backports main" >/dev/null 2>&1
    mkdir -p "$work/pystub/pycotap" "$work/pystub/pycotap-1.3.1.dist-info"
    : >"$work/pystub/pycotap/__init__.py"
    printf 'Metadata-Version: 2.1\nName: pycotap\nVersion: 1.3.1\n' >"$work/pystub/pycotap-1.3.1.dist-info/METADATA"
    printf 'pycotap/__init__.py,,\n' >"$work/pystub/pycotap-1.3.1.dist-info/RECORD"
    mkdir -p "$work/src/build"
    (
        cd "$work/src/build"
        # shellcheck disable=SC2086
        ../configure $qemu_features --python=/usr/bin/python3 >/dev/null
        nice ninja -j"$(nproc)" qemu-i386 >/dev/null
    )
    install_qemu
}

install_qemu() {
    mkdir -p "$qemu_dir.tmp"
    cp "$work/src/build/qemu-i386" "$qemu_dir.tmp/qemu-i386"
    rm -rf "$qemu_dir" && mv "$qemu_dir.tmp" "$qemu_dir"
    rm -rf "$work"
}

if ! [ -x "$qemu_dir/qemu-i386" ]; then
    echo "setup-w32-emulation: building $qemu_key (a few minutes, once per machine)"
    build_qemu
fi

# The private root must carry the very Wine the host has: 64-bit and 32-bit Wine talk to one
# wineserver, which refuses a client of another version.
wine_version="$(dpkg-query -W -f='${Version}' wine64)"
root_key="wine32-$(echo "$wine_version" | tr ':~+' '__.')"
root_dir="$cache/$root_key"

make_root() {
    rm -rf "$root_dir.tmp"
    mkdir -p "$root_dir.tmp"
    mmdebstrap --variant=extract --arch=i386 --include="wine32=$wine_version,libwine=$wine_version" \
        --skip=check/empty bookworm "$root_dir.tmp/root32" "deb $mirror bookworm main" \
        "deb $mirror bookworm-updates main" "deb $security_mirror bookworm-security main" >/dev/null
    root="$root_dir.tmp/root32"
    # What libwine's install script would do: zlib1.dll marked as a Wine builtin (user32 needs it).
    for mingw_arch in i686 x86_64; do
        wine_arch="$mingw_arch"
        [ "$mingw_arch" != i686 ] || wine_arch=i386
        in="$root/usr/$mingw_arch-w64-mingw32/lib/zlib1.dll"
        out="$root/usr/lib/i386-linux-gnu/wine/$wine_arch-windows/zlib1.dll"
        [ -f "$in" ] || continue
        {
            head -c 64 "$in"
            printf 'Wine builtin DLL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'
            tail -c +97 "$in"
        } >"$out"
    done
    # The root's own loader cache, or the i386 loader would pick up the host's i386 libraries.
    echo 'include /etc/ld.so.conf.d/*.conf' >"$root/etc/ld.so.conf"
    ldconfig -r "$root"
    # Wine starts every new process through "<its own folder>/wine" or "/wine64": the 32-bit loader
    # becomes a script that runs the real one under qemu, and a copy of the host's wine64 (a copy:
    # Wine resolves /proc/self/exe) sits beside it, so both find each other.
    mv "$root/usr/lib/wine/wine" "$root/usr/lib/wine/wine.i386"
    cat >"$root/usr/lib/wine/wine" <<'LOADER'
#!/bin/sh
# The i386 Wine loader (wine.i386) under qemu-i386 user-mode emulation.
folder="$(dirname "$(readlink -f "$0")")"
root="${folder%/usr/lib/wine}"
exec "$root/opt/w32emu/qemu-i386" -L "$root" -0 "$folder/wine" "$folder/wine.i386" "$@"
LOADER
    chmod 755 "$root/usr/lib/wine/wine"
    cp /usr/lib/wine/wine64 "$root/usr/lib/wine/wine64"
    mkdir -p "$root/usr/lib/x86_64-linux-gnu"
    ln -sfn /usr/lib/x86_64-linux-gnu/wine "$root/usr/lib/x86_64-linux-gnu/wine"
    rm -rf "$root_dir" && mv "$root_dir.tmp" "$root_dir"
}

if ! [ -x "$root_dir/root32/usr/lib/wine/wine.i386" ]; then
    echo "setup-w32-emulation: unpacking 32-bit Wine $wine_version into $root_dir"
    make_root
fi
if [ "$(cat "$root_dir/qemu-key" 2>/dev/null)" != "$qemu_key" ]; then
    mkdir -p "$root_dir/root32/opt/w32emu"
    cp "$qemu_dir/qemu-i386" "$root_dir/root32/opt/w32emu/qemu-i386.new"
    mv "$root_dir/root32/opt/w32emu/qemu-i386.new" "$root_dir/root32/opt/w32emu/qemu-i386"
    echo "$qemu_key" >"$root_dir/qemu-key"
fi
ln -sfn "$root_key" "$cache/wine32"
echo "setup-w32-emulation: 32-bit Wine runs under $qemu_key from $root_dir"
