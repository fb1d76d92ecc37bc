#!/bin/sh
# The package's lint checks: lintian without errors, the menu entry and the AppStream file.
set -eu
deb=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
lintian --fail-on error "$deb"
desktop-file-validate "$root/usr/share/applications/tarnwick-pico.desktop"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
