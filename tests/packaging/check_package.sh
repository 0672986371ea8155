#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the .deb; both must hold the three
# programs and their manual pages.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/usr" >/dev/null
for f in bin/kestrelload bin/kestrel-download bin/kestrel-target share/man/man1/kestrelload.1.gz \
    share/man/man1/kestrel-download.1.gz share/man/man1/kestrel-target.1.gz; do
    [ -e "$work/usr/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
help=$("$work/usr/bin/kestrel-target" --help)
grep -q -- '--output FILE' <<<"$help"
if command -v man >/dev/null; then
    for page in kestrelload kestrel-download kestrel-target; do
        warnings=$(man -l "$work/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null || true)
        [ -z "$warnings" ] || { echo "$page.1: $warnings" >&2; exit 1; }
    done
fi

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/kestrelload ./usr/bin/kestrel-download ./usr/bin/kestrel-target \
    ./usr/share/man/man1/kestrelload.1.gz ./usr/share/man/man1/kestrel-download.1.gz \
    ./usr/share/man/man1/kestrel-target.1.gz; do
    grep -q " $f\$" <<<"$contents" || { echo "not in the package: $f" >&2; exit 1; }
done
dpkg-deb -f "$deb" Package | grep -qx kestrelload
echo "installed and packaged: $(basename "$deb")"
