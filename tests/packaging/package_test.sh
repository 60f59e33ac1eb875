#!/usr/bin/env bash
# Builds the two Debian packages from the built tree with the script that
# scripts/package uses, and checks what they hold: every file at its path
# and nothing else, nothing from the build folder, the run-time
# dependencies, descriptions and licence, a desktop entry and metainfo that
# validate, a systemd unit that verifies, man pages that format cleanly.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR VERSION. Exits 77 (skipped)
# where dpkg-deb is missing.
set -uo pipefail
source_dir=$1
build_dir=$2
version=$3
app_id=org.melodex.Melodex

command -v dpkg-deb >/dev/null || { echo "SKIPPED: dpkg-deb is missing, so no Debian package can be built"; exit 77; }
for tool in dpkg-shlibdeps desktop-file-validate appstreamcli systemd-analyze man; do
  command -v "$tool" >/dev/null || { echo "FAILED: $tool is missing (scripts/setup installs it)"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

"$source_dir/scripts/make-packages" "$build_dir" "$work/out" || { echo "FAILED: the packages were not built"; exit 1; }
arch=$(dpkg --print-architecture)
client=$work/out/melodex_${version}_${arch}.deb
server=$work/out/melodex-server_${version}_${arch}.deb
for deb in "$client" "$server"; do [ -f "$deb" ] || { echo "FAILED: no $(basename "$deb")"; ls "$work/out"; exit 1; }; done

# Every file a package holds, exactly.
check_files() {
  local deb=$1
  shift
  local want got
  want=$(printf '%s\n' "$@" | sort)
  got=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort)
  [ "$got" = "$want" ] || fail "$(basename "$deb") holds:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
}
check_files "$client" /usr/bin/melodex /usr/share/applications/$app_id.desktop \
  /usr/share/metainfo/$app_id.metainfo.xml /usr/share/man/man1/melodex.1.gz /usr/share/doc/melodex/copyright \
  /usr/share/icons/hicolor/48x48/apps/$app_id.png /usr/share/icons/hicolor/64x64/apps/$app_id.png \
  /usr/share/icons/hicolor/128x128/apps/$app_id.png /usr/share/icons/hicolor/256x256/apps/$app_id.png \
  /usr/share/icons/hicolor/scalable/apps/$app_id.svg
check_files "$server" /usr/bin/melodex-server /usr/lib/systemd/system/melodex-server.service \
  /etc/default/melodex-server /usr/share/man/man1/melodex-server.1.gz /usr/share/doc/melodex-server/copyright

root=$work/root
mkdir -p "$root"
dpkg-deb -x "$client" "$root"
dpkg-deb -x "$server" "$root"

# Nothing of the build folder: no path to it in any file, no debug sections.
build_abs=$(cd "$build_dir" && pwd)
if grep -rlF "$build_abs" "$root" >/dev/null; then fail "files name the build folder: $(grep -rlF "$build_abs" "$root")"; fi
for program in melodex melodex-server; do
  file -b "$root/usr/bin/$program" | grep -q 'stripped' && ! file -b "$root/usr/bin/$program" | grep -q 'not stripped' ||
    fail "/usr/bin/$program is not stripped"
done

# Control fields: run-time libraries found by dpkg-shlibdeps, description, licence.
field() { dpkg-deb -f "$1" "$2"; }
for want in libc6 libsdl2-2.0-0 libsdl2-ttf-2.0-0 libfontconfig1 fonts-dejavu-core; do
  field "$client" Depends | grep -q "$want" || fail "melodex does not depend on $want: $(field "$client" Depends)"
done
for want in libc6 liblmdb0 libsqlite3-0 libfftw3-single3 libavcodec libhiredis0.14; do
  field "$server" Depends | grep -q "$want" || fail "melodex-server does not depend on $want: $(field "$server" Depends)"
done
for deb in "$client" "$server"; do
  [ "$(field "$deb" Description | wc -l)" -ge 3 ] || fail "$(basename "$deb") has no long description"
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb") is not for $arch"
done
for package in melodex melodex-server; do
  grep -q '^License: GPL-3.0-or-later' "$root/usr/share/doc/$package/copyright" || fail "$package: no licence"
done
dpkg-deb --ctrl-tarfile "$server" | tar -xO ./conffiles | grep -qx /etc/default/melodex-server ||
  fail "/etc/default/melodex-server is not a conffile"

# The desktop entry: valid, starting the packaged program, with an icon it ships.
desktop=$root/usr/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
grep -qx 'Exec=melodex --size auto' "$desktop" || fail "the desktop entry does not start melodex --size auto"
grep -qx 'X-Purism-FormFactor=Workstation;Mobile;' "$desktop" || fail "the desktop entry names no phone form factor"
grep -qx "Icon=$app_id" "$desktop" || fail "the desktop entry's icon is not $app_id"

# The metainfo: valid, launching the desktop entry, with the README's screenshots.
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" || fail "the metainfo launches no $app_id.desktop"
readme_shots=$(grep -oE '^!\[[^]]*\]\(docs/screenshots/[^)]+\)' "$source_dir/README.md" | sed -E 's|.*/([^/)]+)\)$|\1|')
listed_shots=$(grep -oE '<image>[^<]+</image>' "$metainfo" | sed -E 's|.*/([^/<]+)</image>|\1|')
[ -n "$readme_shots" ] && [ "$readme_shots" = "$listed_shots" ] ||
  fail "metainfo screenshots ($listed_shots) are not the README's ($readme_shots)"
for shot in $readme_shots; do
  [ -f "$source_dir/docs/screenshots/$shot" ] || fail "the README shows a missing docs/screenshots/$shot"
done

# The icons: PNGs of their folder's size.
for size in 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
  file -b "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not a $size x $size PNG: $(file -b "$png")"
done
grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" || fail "the scalable icon is no SVG"

# The unit: verified with its program at the extracted path, serving the state folder.
unit=$root/usr/lib/systemd/system/melodex-server.service
for line in DynamicUser=yes StateDirectory=melodex-server ProtectSystem=strict ProtectHome=read-only \
  NoNewPrivileges=yes PrivateTmp=yes 'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX' \
  EnvironmentFile=-/etc/default/melodex-server; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
grep -q '^ExecStart=/usr/bin/melodex-server serve --db /var/lib/melodex-server ' "$unit" ||
  fail "the unit does not serve /var/lib/melodex-server"
mkdir -p "$work/unit"
sed "s|/usr/bin/melodex-server|$root/usr/bin/melodex-server|" "$unit" >"$work/unit/melodex-server.service"
systemd-analyze verify --man=no "$work/unit/melodex-server.service" || fail "systemd-analyze verify rejects the unit"
grep -q '^MELODEX_LISTEN=' "$root/etc/default/melodex-server" || fail "/etc/default/melodex-server sets no MELODEX_LISTEN"

# The programs run from the package, and their man pages format without warnings.
"$root/usr/bin/melodex" --version | grep -q "$version" || fail "the packaged melodex does not run"
"$root/usr/bin/melodex-server" --help >/dev/null || fail "the packaged melodex-server does not run"
for page in melodex melodex-server; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "$version" ||
    fail "man $page does not name version $version"
done

[ "$failures" -eq 0 ] || exit 1
echo "packages: $(basename "$client") $(stat -c %s "$client") bytes, $(basename "$server") $(stat -c %s "$server") bytes"
