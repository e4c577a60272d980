#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed tree,
# then builds the Debian package and checks its contents.
set -euo pipefail
BUILD="$1"
DEST="$(mktemp -d /tmp/norvale-install.XXXXXX)"
trap 'rm -rf "$DEST"' EXIT
fail() { echo "INSTALL CHECK FAILED: $*" >&2; exit 1; }

DESTDIR="$DEST" cmake --install "$BUILD" --prefix /usr >/dev/null
ROOT="$DEST/usr"
[ -L "$ROOT/bin/norvale" ] || fail "bin/norvale is not a link"
target="$(readlink -f "$ROOT/bin/norvale")"
[ -x "$target" ] || fail "bin/norvale does not lead to the program ($target)"
[ -f "$(dirname "$target")/HAND-M.CUR" ] || fail "HAND-M.CUR is not beside the program"
desktop="$ROOT/share/applications/norvale.desktop"
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
grep -qx 'Categories=Development;Database;' "$desktop" || fail "desktop categories"
for f in share/icons/hicolor/scalable/apps/norvale.svg share/icons/hicolor/48x48/apps/norvale.png \
         share/icons/hicolor/256x256/apps/norvale.png share/man/man1/norvale.1.gz share/doc/norvale/copyright; do
  [ -s "$ROOT/$f" ] || fail "missing $f"
done
file "$ROOT/share/icons/hicolor/48x48/apps/norvale.png" | grep -q '48 x 48' || fail "48 px icon has the wrong size"
file "$ROOT/share/icons/hicolor/256x256/apps/norvale.png" | grep -q '256 x 256' || fail "256 px icon has the wrong size"
zcat "$ROOT/share/man/man1/norvale.1.gz" | grep -q 'MySQL ODBC 5.1 Driver' || fail "man page does not name the driver"
zcat "$ROOT/share/man/man1/norvale.1.gz" | grep -q 'EXIT STATUS' || fail "man page does not give the command line's exit statuses"
completion="$ROOT/share/bash-completion/completions/norvale"
[ -s "$completion" ] || fail "missing the bash completion"
(. "$completion"; COMP_WORDS=(norvale convert --mode p); COMP_CWORD=3; _norvale; [ "${COMPREPLY[*]}" = proper ]) ||
  fail "the bash completion does not complete a mode"

# The package: built in a folder of its own, with the files above in it.
PKG="$DEST/pkg"
mkdir -p "$PKG"
(cd "$BUILD" && cpack -G DEB -B "$PKG" >/dev/null)
deb="$(ls "$PKG"/norvale_*.deb)"
contents="$(dpkg-deb -c "$deb")"
for f in ./usr/bin/norvale ./usr/lib/norvale/HAND-M.CUR ./usr/share/applications/norvale.desktop; do
  grep -q " $f" <<<"$contents" || fail "package lacks $f"
done
dpkg-deb -f "$deb" Depends | grep -q 'odbc-mariadb' || fail "package does not depend on the driver"
for lib in libqt6keychain1 libsecret-1-0; do
  dpkg-deb -f "$deb" Depends | grep -q "$lib" || fail "package does not depend on $lib"
done
dpkg-deb -e "$deb" "$DEST/control"
grep -q 'MySQL ODBC 5.1 Driver' "$DEST/control/postinst" || fail "postinst does not register the driver"
echo "install check: installed tree and package are complete"
