#!/usr/bin/env bash
# Installs the build into a staging prefix and builds the Debian package, then
# checks what a desktop needs of both: the program, the artwork bundle, the
# launcher entry, the AppStream metainfo and the icons, and the package's
# control data. Usage: check-install.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

DESTDIR="$stage/root" cmake --install "$build" --prefix /usr >/dev/null
root=$stage/root/usr
app=org.vessaro.Vessaro
expected=(
    bin/vessaro
    share/vessaro/Vessaro_Vessaro.bundle/Brand/orlo-shell.png
    share/vessaro/Vessaro_Vessaro.bundle/Brand/orlo-shell@2x.png
    share/applications/$app.desktop
    share/metainfo/$app.metainfo.xml
    share/icons/hicolor/scalable/apps/$app.svg
    share/icons/hicolor/48x48/apps/$app.png
    share/icons/hicolor/256x256/apps/$app.png
)
for file in "${expected[@]}"; do
    [ -s "$root/$file" ] || fail "not installed: $file"
done
desktop-file-validate "$root/share/applications/$app.desktop" || fail "the launcher entry does not validate"
appstreamcli validate --no-net --pedantic "$root/share/metainfo/$app.metainfo.xml" >/dev/null \
    || fail "the metainfo does not validate"
grep -qx "StartupWMClass=Vessaro" "$root/share/applications/$app.desktop" || fail "no StartupWMClass"
grep -qx "Categories=AudioVideo;Audio;Recorder;" "$root/share/applications/$app.desktop" || fail "wrong Categories"
"$root/bin/vessaro" --version | grep -q "^vessaro " || fail "the installed program does not run"

(cd "$build" && cpack -G DEB -B "$stage/deb" >/dev/null) || fail "cpack failed"
deb=$(ls "$stage"/deb/vessaro_*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = vessaro ] || fail "wrong package name"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libavformat libpulse0 fonts-noto-cjk qt6-translations-l10n; do
    grep -q "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
listing=$(dpkg-deb -c "$deb")
for file in "${expected[@]}"; do
    grep -q "\./usr/$file\$" <<<"$listing" || fail "not in the package: $file"
done
echo "install checks passed: $(basename "$deb")"
