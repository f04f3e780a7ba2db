#!/bin/sh
# Builds the test package OrvaneTestPackage.wxs with wixl, then gives its REG_BINARY and
# REG_EXPAND_SZ values the type marks wixl 0.101 leaves out ("#x", "#%"), with msibuild. The package
# is written whole or not at all.
#   build-test-msi.sh OUT.msi WXS PAYLOAD_DIR BITS
set -eu
out="$1" wxs="$2" payload="$3" bits="$4"
case "$bits" in
    32) arch="x86" folder="ProgramFilesFolder" win64="no" ;;
    64) arch="x64" folder="ProgramFiles64Folder" win64="yes" ;;
    *) echo "build-test-msi.sh: BITS is 32 or 64, not '$bits'" >&2; exit 2 ;;
esac
partial="$out.$$.partial"
trap 'rm -f "$partial"' EXIT
# wixl takes a file's Source relative to the working folder.
(cd "$payload" && wixl -a "$arch" -D Bits="$bits" -D ProgramFiles="$folder" -D Win64="$win64" -o "$partial" "$wxs")
mark() {
    msibuild "$partial" -q "UPDATE \`Registry\` SET \`Value\` = '$2' WHERE \`Name\` = '$1'"
}
mark Signature '#x4F52564D01020304'
mark Placement '#x0A0014008002E001'
mark LogFile '#%%TEMP%\orvane-test-package.log'
# msibuild says nothing when an update matches no row: check that each mark is in the table.
table="$(msiinfo export "$partial" Registry)"
for marked in '#x4F52564D01020304' '#x0A0014008002E001' '#%%TEMP%'; do
    case "$table" in
        *"$marked"*) ;;
        *) echo "build-test-msi.sh: the Registry table lacks $marked:" >&2; echo "$table" >&2; exit 1 ;;
    esac
done
mv "$partial" "$out"
