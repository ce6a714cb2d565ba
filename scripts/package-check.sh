#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package as the README says, in a build directory of its own (default
# build-deb; BUILD_DIR=... to choose), then checks it the way Debian and software centres do:
# lintian must report no error, appstreamcli must accept the AppStream description, the manual
# page must format without a warning, and the package must hold the files the README names.
# Prints every finding in full. Run as root on Debian 12: installs what building needs
# (scripts/deps.sh) and the two checkers (lintian, appstream) when they are missing.
# A fresh Release build takes long (25 minutes on a busy two-core machine); after small changes
# the whole run takes about 3 minutes, of which lintian about half a minute. Not part of test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh lintian appstream

build=${BUILD_DIR:-build-deb}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DHOUSETONE_BUILD_TESTS=OFF \
  -DHOUSETONE_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/housetone_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/housetone_*.deb)
echo "== $deb"
dpkg-deb --field "$deb"

failed=0
echo
echo "== lintian"
# --tag-display-limit 0: every finding, not the first few of each kind.
lintian --display-info --tag-display-limit 0 "$deb" | tee "$build/lintian.txt" || true
if grep -q '^E: ' "$build/lintian.txt"; then
  echo "lintian reports errors" >&2
  failed=1
fi

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"

echo
echo "== appstreamcli validate"
# --no-net: the screenshots and links are checked for form, not fetched.
appstreamcli validate --no-net --explain \
  "$unpacked"/usr/share/metainfo/io.github.housetone.Housetone.metainfo.xml || failed=1

echo
echo "== the manual page"
manwarnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$unpacked/usr/share/man/man1/housetone.1.gz" \
  2>&1 >/dev/null) || failed=1
if [[ -n $manwarnings ]]; then
  echo "$manwarnings"
  failed=1
else
  echo "formats without a warning"
fi

echo
echo "== the files the README names"
for f in usr/bin/housetone usr/share/housetone/AppIcon.png usr/share/housetone/AppIcon.svg \
  usr/share/applications/io.github.housetone.Housetone.desktop \
  usr/share/metainfo/io.github.housetone.Housetone.metainfo.xml \
  usr/share/icons/hicolor/scalable/apps/housetone.svg \
  usr/share/icons/hicolor/48x48/apps/housetone.png usr/share/man/man1/housetone.1.gz \
  usr/share/doc/housetone/copyright usr/share/doc/housetone/changelog.gz; do
  if [[ -e $unpacked/$f ]]; then echo "/$f"; else
    echo "missing: /$f" >&2
    failed=1
  fi
done

if ((failed)); then
  echo "package check FAILED" >&2
  exit 1
fi
echo
echo "package check passed"
