#!/usr/bin/env bash
# check-install.sh BUILD_DIR: installs the build into a temporary DESTDIR under /usr and
# checks what a distribution would ship: exactly the expected files (no test, no benchmark),
# a desktop entry and metainfo that their validators accept, manual pages that render
# without a warning, and file-manager actions that name the helper where it was installed.
set -uo pipefail
build=$1
for tool in desktop-file-validate appstreamcli groff; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run ./scripts/deps"; exit 1; }
done
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

DESTDIR=$dest cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 || { cat "$dest.log"; rm -f "$dest.log"; exit 1; }
rm -f "$dest.log"
root=$dest/usr
share=$root/share

expected='bin/ferrox
bin/ferrox-run
libexec/ferrox/ferrox-send-to-folder
share/applications/org.ferrox.Ferrox.desktop
share/doc/ferrox/changelog.gz
share/doc/ferrox/copyright
share/file-manager/actions/ferrox-send-to-folder.desktop
share/file-manager/actions/ferrox-send.desktop
share/icons/hicolor/128x128/apps/org.ferrox.Ferrox.png
share/icons/hicolor/16x16/apps/org.ferrox.Ferrox.png
share/icons/hicolor/256x256/apps/org.ferrox.Ferrox.png
share/icons/hicolor/32x32/apps/org.ferrox.Ferrox.png
share/icons/hicolor/48x48/apps/org.ferrox.Ferrox.png
share/icons/hicolor/64x64/apps/org.ferrox.Ferrox.png
share/icons/hicolor/scalable/apps/org.ferrox.Ferrox.svg
share/kio/servicemenus/ferrox-send.desktop
share/man/man1/ferrox-run.1.gz
share/man/man1/ferrox.1.gz
share/metainfo/org.ferrox.Ferrox.metainfo.xml
share/nemo/actions/ferrox-send-to-folder.nemo_action
share/nemo/actions/ferrox-send.nemo_action'
installed=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
if [[ "$installed" != "$expected" ]]; then
  fail "installed files differ from the expected list"
  diff <(echo "$expected") <(echo "$installed")
fi
[[ -z "$(cd "$dest" && find . -mindepth 1 -maxdepth 1 ! -name usr)" ]] || fail "files outside the prefix"

echo "--- desktop-file-validate"
out=$(desktop-file-validate "$share/applications/org.ferrox.Ferrox.desktop" 2>&1)
rc=$?
echo "$out"
# Hints and warnings count too: they are what a distribution's checks complain about.
[[ $rc -eq 0 && -z "$out" ]] || fail "desktop-file-validate"

echo "--- appstreamcli validate --no-net"
appstreamcli validate --no-net "$share/metainfo/org.ferrox.Ferrox.metainfo.xml" || fail "appstreamcli validate"

echo "--- manual pages"
for page in "$share"/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
  [[ -z "$warnings" ]] || fail "$page: $warnings"
  zcat "$page" | grep -q '@[A-Z_]*@' && fail "$page: an unreplaced @VARIABLE@"
done
grep -q '@[A-Z_]*@' "$share/metainfo/org.ferrox.Ferrox.metainfo.xml" && fail "metainfo: an unreplaced @VARIABLE@"

echo "--- licence"
grep -qx '  <project_license>GPL-3.0-or-later</project_license>' "$share/metainfo/org.ferrox.Ferrox.metainfo.xml" ||
  fail "metainfo: no project_license"
grep -q 'invalid\|example' "$share/metainfo/org.ferrox.Ferrox.metainfo.xml" && fail "metainfo: a made-up address"
head -1 "$share/doc/ferrox/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
  fail "the copyright file is not in the machine-readable format"

echo "--- icons"
for size in 16 32 48 64 128 256; do
  file "$share/icons/hicolor/${size}x$size/apps/org.ferrox.Ferrox.png" | grep -q "PNG image data, $size x $size," ||
    fail "the $size pixel icon is not a $size x $size PNG"
done

echo "--- file-manager actions"
[[ -x "$share/kio/servicemenus/ferrox-send.desktop" ]] || fail "Dolphin ignores a service menu that is not executable"
[[ -x "$root/libexec/ferrox/ferrox-send-to-folder" ]] || fail "the folder helper is not executable"
for action in "$share/kio/servicemenus/ferrox-send.desktop" \
  "$share/file-manager/actions/ferrox-send-to-folder.desktop" \
  "$share/nemo/actions/ferrox-send-to-folder.nemo_action"; do
  grep -qx 'Exec=/usr/libexec/ferrox/ferrox-send-to-folder %[FU]' "$action" ||
    fail "$action does not run the installed helper: $(grep Exec= "$action")"
done

((failed == 0)) && echo "all installed files are fine"
exit $failed
