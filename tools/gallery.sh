#!/usr/bin/env bash
# Regenerates the README's pictures from the desktop program's end-to-end runs under Wine: the
# main dialog in every language, and the options, progress and report of the program's own
# texts. Runs the suite once per language (the Windows build must exist: build/mingw), then
# copies the windows, trimmed of the empty screen around them, into docs/gallery.
#
#   bash tools/gallery.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/e2e
for language in ru ja zh-Hans zh-Hant; do
    bash tests/desktop/e2e_wine.sh build/mingw/bin "$out" "$language" >/dev/null ||
        { echo "gallery: the $language run failed; see bash tests/desktop/e2e_wine.sh"; exit 1; }
done
mkdir -p docs/gallery
trimmed() {  # trimmed LANGUAGE SHOT NAME
    convert "$out/screenshots/$1/$2.png" -trim +repage -strip "docs/gallery/$3.png"
}
for language in ru ja zh-Hans zh-Hant; do
    trimmed "$language" main "main-$language"
done
for shot in options progress report about; do
    trimmed ru "$shot" "$shot-ru"
done
echo "gallery: docs/gallery updated"
