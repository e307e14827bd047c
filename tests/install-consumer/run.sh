#!/usr/bin/env bash
# Installs a built tree into a temporary prefix, then builds two hosts against the installed
# copy only, one through find_package(veltonet), one through pkg-config, and runs both.
# Usage: run.sh <build folder> <cmake> <c++ compiler> <c compiler> <sanitize: 0 or 1>
set -euo pipefail
build=$1 cmake=$2 cxx=$3 cc=$4 sanitize=$5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/veltonet-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

flags=""
if [ "$sanitize" = 1 ]; then flags="-fsanitize=address,undefined"; fi
export VELTONET_LOG_DIR=$work/logs
unset VELTONET_PLUGIN_DIR

"$cmake" -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
"$cmake" --build "$work/cmake" >/dev/null
"$work/cmake/consumer" "$prefix"

pc=$(find "$prefix" -name veltonet.pc | head -n 1)
[ -n "$pc" ] || { echo "no veltonet.pc installed" >&2; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir veltonet)
# shellcheck disable=SC2046
"$cc" $flags "$here/consumer.c" -o "$work/pc-consumer" $(pkg-config --cflags --libs veltonet)
LD_LIBRARY_PATH=$libdir "$work/pc-consumer"
