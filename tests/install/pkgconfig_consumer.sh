#!/bin/sh
# Builds the consumer against an installed tree with the flags that pkg-config gives, and
# runs it. Exits with 77 (skipped) when pkg-config is not installed.
# Usage: pkgconfig_consumer.sh PREFIX LIBDIR WORKDIR CC VERSION [consumer arguments]
set -eu
prefix=$1 libdir=$2 work=$3 cc=$4 version=$5
shift 5
if ! command -v pkg-config >/dev/null 2>&1; then
    echo "pkg-config is not installed: skipped"
    exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
found=$(pkg-config --modversion noxunicode)
if [ "$found" != "$version" ]; then
    echo "pkg-config reports version $found, expected $version"
    exit 1
fi
ucmdir=$(pkg-config --variable=ucmdir noxunicode)
libs=$(pkg-config --variable=libdir noxunicode)
rm -rf "$work"
mkdir -p "$work"
# shellcheck disable=SC2046
$cc ${CFLAGS:-} -o "$work/consumer" "$here/consumer.c" -DNOX_UCMDIR="\"$ucmdir\"" \
    $(pkg-config --cflags --libs noxunicode)
LD_LIBRARY_PATH="$libs" "$work/consumer" "$@"
