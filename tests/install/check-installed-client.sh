#!/bin/sh
# Installs the client library's development files into a temporary prefix, then builds a small
# outside program against that prefix twice, through pkg-config and through the CMake package,
# and runs both. Ends with 77 (skipped) when a tool it needs is missing.
# Usage: check-installed-client.sh CMAKE BUILD-FOLDER PROGRAM-SOURCE CXX
set -eu
cmake=$1 build=$2 source=$3 cxx=$4

for tool in "$cmake" "$cxx" pkg-config; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" --component Development >/dev/null

# Nothing of the source tree may leak in: only the installed headers exist for the compiler.
echo "== pkg-config"
PKG_CONFIG_PATH=$(find "$prefix" -type d -name pkgconfig | head -n 1)
export PKG_CONFIG_PATH
"$cxx" -std=c++20 -Wall -Wextra -Werror -o "$scratch/with-pkg-config" "$source/main.cpp" \
    $(pkg-config --cflags --libs veltro-terminal-client)
"$scratch/with-pkg-config" "$scratch/no-agent.sock"

echo "== CMake package"
"$cmake" -S "$source" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
"$cmake" --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/installed-client" "$scratch/no-agent.sock"
