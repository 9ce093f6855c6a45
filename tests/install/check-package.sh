#!/usr/bin/env bash
# check-package.sh BUILD_DIR [MAINTAINER]: builds the Debian package with cpack and has
# lintian check it as a distribution would: no error. The one warning kept is Dolphin's
# service menu, which must be executable for Dolphin to read it. A build that found no
# maintainer's address (no DEBEMAIL, no git identity: a bare CI machine) cannot name one,
# and lintian's complaints about the Maintainer field and the changelog's signature are
# then all it may say. Skipped (77)
# without lintian or dpkg-deb.
set -uo pipefail
build=$1
maintainer=${2:-}
for tool in lintian dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool (./scripts/deps installs it)"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/*.deb)
report=$(lintian --allow-root "$deb" 2>&1)
echo "$report"
failed=0
errors=$(grep '^E: ' <<<"$report")
if [[ ! $maintainer =~ \<[^\>]+@[^\>]+\>$ ]]; then
  echo "note: no maintainer's address was configured (set DEBEMAIL for a release build)"
  errors=$(grep -v ' Maintainer ' <<<"$errors")
  # The changelog's signature then has no address either.
  report=$(grep -v 'syntax-error-in-debian-changelog .*usr/share/doc/ferrox/changelog.gz' <<<"$report")
fi
[[ -z "$errors" ]] || { echo "FAILED: lintian reports an error"; failed=1; }
unexpected=$(grep '^W: ' <<<"$report" | grep -v 'executable-not-elf-or-script \[usr/share/kio/servicemenus/ferrox-send.desktop\]')
[[ -z "$unexpected" ]] || { echo "FAILED: a warning nobody explained"; failed=1; }
exit $failed
