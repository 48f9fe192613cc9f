#!/usr/bin/env bash
# Installs the Linux library into a scratch prefix and builds a client from it twice: with
# the CMake package and with pkg-config. Both clients must run against the installed copy.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libqel_weigher.so' | head -n 1)")

cmake -S "$source_dir/consumer" -B "$work/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake-build/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -o "$work/pc-consumer" "$source_dir/consumer/consumer.c" $(pkg-config --cflags --libs qel_weigher)
LD_LIBRARY_PATH=$libdir "$work/pc-consumer"

# The installed command-line tool finds the installed library by itself. A missing port is
# no reading: "0" and exit status 1.
status=0
weight=$(env -u LD_LIBRARY_PATH "$work/prefix/bin/qelscale" weigh nowhere 2>/dev/null) || status=$?
if [[ $weight != "0" || $status != 1 ]]; then
  echo "installed qelscale printed '$weight' (exit status $status) for a missing port" >&2
  exit 1
fi

# Only the C interface may be exported: the driver's functions and the keep-open reader's.
exported=$(nm -D --defined-only "$libdir/libqel_weigher.so" | awk '$2 == "T" {print $3}' |
  LC_ALL=C sort | tr '\n' ' ')
expected="QelReader_Close QelReader_Command QelReader_Latest QelReader_Open Qel_SetMessageHandler "
expected+="Qelscale_Create Qelscale_GetWeight_ Qelscale_OpenComPort_ Qelscale_Release "
if [[ $exported != "$expected" ]]; then
  echo "unexpected exports: $exported" >&2
  exit 1
fi
echo "installed package: ok"
