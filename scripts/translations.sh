#!/usr/bin/env bash
# The English translation of the program's texts, i18n/tarnwick-pico_en.ts.
#   translations.sh update   brings the file up to date with the sources and lists every
#                            text that still waits for its English
#   translations.sh check    changes nothing; fails, listing them, when a text of the
#                            sources is missing from the file, one in the file is no longer
#                            used, or one is unfinished
# Locations are left out of the file, so moving code does not change it.
set -euo pipefail

mode=${1:-update}
root=$(cd "$(dirname "$0")/.." && pwd)
lupdate=${LUPDATE:-/usr/lib/qt6/bin/lupdate}
ts="$root/i18n/tarnwick-pico_en.ts"

run_lupdate() {
    "$lupdate" -silent -source-language ja -target-language en -locations none -no-obsolete \
        -tr-function-alias translate+=uiText,translate+=uiString -extensions cpp,h \
        "$root/app" "$root/panels" "$root/platform/qt" "$root/resources" -ts "$1" \
        2>"$1.log" || { cat "$1.log" >&2; rm -f "$1.log"; return 1; }
    rm -f "$1.log"
}

# The source of every message whose translation is unfinished, one a line.
unfinished() {
    awk '/<source>/ { source = $0; sub(/.*<source>/, "", source); collecting = 1 }
         collecting && !/<source>/ { source = source "\\n" $0 }
         /<\/source>/ { sub(/<\/source>.*/, "", source); collecting = 0 }
         /type="unfinished"/ { print "  unfinished: " source }' "$1"
}

case "$mode" in
    update)
        run_lupdate "$ts"
        list=$(unfinished "$ts")
        if [ -n "$list" ]; then
            echo "Texts waiting for their English in i18n/tarnwick-pico_en.ts" \
                 "(Qt Linguist: linguist i18n/tarnwick-pico_en.ts):"
            echo "$list"
        else
            echo "Every text has its English."
        fi
        ;;
    check)
        work=$(mktemp -d)
        trap 'rm -rf "$work"' EXIT
        cp "$ts" "$work/current.ts"
        run_lupdate "$work/current.ts"
        status=0
        if ! diff -u "$ts" "$work/current.ts" >"$work/diff"; then
            echo "i18n/tarnwick-pico_en.ts is not up to date with the sources" \
                 "(run: cmake --build build --target update_translations):"
            grep -E '^[-+] *<source>' "$work/diff" | sed -e 's/^+ */  new: /' -e 's/^- */  gone: /'
            status=1
        fi
        list=$(unfinished "$work/current.ts")
        if [ -n "$list" ]; then
            echo "Texts without their English:"
            echo "$list"
            status=1
        fi
        exit $status
        ;;
    *)
        echo "usage: $0 update|check" >&2
        exit 2
        ;;
esac
