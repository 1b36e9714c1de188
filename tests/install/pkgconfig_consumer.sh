#!/bin/sh
# Builds the consumer against an installed tree with pkg-config's flags and runs it; 77 (skipped)
# without pkg-config. Usage: pkgconfig_consumer.sh PREFIX LIBDIR WORKDIR CC VERSION [consumer arguments]
set -eu
prefix=$1 libdir=$2 work=$3 cc=$4 version=$5
shift 5
command -v pkg-config >/dev/null 2>&1 || { echo "pkg-config is not installed: skipped"; exit 77; }
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
found=$(pkg-config --modversion noxunicode)
[ "$found" = "$version" ] || { echo "pkg-config reports version $found, expected $version"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
# shellcheck disable=SC2046
$cc ${CFLAGS:-} -o "$work/consumer" "$(dirname "$0")/consumer.c" \
    -DNOX_UCMDIR="\"$(pkg-config --variable=ucmdir noxunicode)\"" $(pkg-config --cflags --libs noxunicode)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir noxunicode)" "$work/consumer" "$@"
