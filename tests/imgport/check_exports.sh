#!/bin/sh
# Passes when the shared library defines exactly the eight ImgPort exports and nothing else.
set -eu
expected="ZorGdipDeletImage
ZorGdipLoadImage
ZorGdipLoadImagePC
ZorGdipLoadImagePC2
ZorGdipSaveImageBMP
ZorGdipSaveImageJPG
ZorGdipSaveImagePNG
ZorGdipSaveImageTIFF"
actual=$(nm -D --defined-only "$1" | awk '{print $NF}' | LC_ALL=C sort)
if [ "$actual" != "$(printf '%s\n' "$expected" | LC_ALL=C sort)" ]; then
    echo "exports of $1 differ from the eight expected:"
    printf '%s\n' "$actual"
    exit 1
fi
echo "exactly eight exports"
