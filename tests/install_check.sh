#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, checks the layout and the
# desktop files, then starts the installed program without a display for a
# short run on the emulated "EZLase", which must load its library from the
# installed private folder.
set -euo pipefail
build=$1
app_id=example.c_seed_bc6dbedd.whorlgen
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
root="$dest/usr"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")/whorlgen
for f in bin/whorlgen bin/whorlgen-dac-emulator \
         $libdir/libEZAudDac.so $libdir/libEasyLase.so $libdir/libRiyaNetServer_stdcall.so \
         share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml \
         share/icons/hicolor/scalable/apps/whorlgen.svg share/icons/hicolor/48x48/apps/whorlgen.png \
         share/icons/hicolor/256x256/apps/whorlgen.png share/man/man1/whorlgen.1.gz \
         share/man/man1/whorlgen-dac-emulator.1.gz share/doc/whorlgen/copyright \
         share/doc/whorlgen/changelog.gz share/doc/whorlgen/README.md share/doc/whorlgen/docs/window.png \
         lib/udev/rules.d/60-whorlgen-helios.rules; do
  [[ -e "$root/$f" ]] || { echo "not installed: $f"; exit 1; }
done
desktop-file-validate "$root/share/applications/$app_id.desktop"
appstreamcli validate --no-net "$root/share/metainfo/$app_id.metainfo.xml" >/dev/null
# The installed README speaks of the installed program, not of a build.
if grep -nE '(^|[^[:alnum:]_.-])build(/|-[a-z]+/)|<!-- /?checkout -->' "$root/share/doc/whorlgen/README.md"; then
  echo "the installed README names build folders"
  exit 1
fi

out=$(cd "$dest" && XDG_CONFIG_HOME="$dest/config" QT_QPA_PLATFORM=offscreen "$root/bin/whorlgen" --self-test EZLase 2>/dev/null)
echo "$out"
grep -q "^Device library: $root/$libdir/libEasyLase.so$" <<<"$out" || { echo "the installed program did not load its own EasyLase library"; exit 1; }
echo "install check passed"
