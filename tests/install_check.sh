#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, checks the programs and man
# pages, then builds and runs examples/embed against the installed engine,
# once through its CMake package and once through pkg-config.
# Usage: install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
work=$build/install-check
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > /dev/null
for p in MaxEntDecoder MaxEntFeatures MaxEntImport; do test -x "$prefix/bin/$p"; done
test -s "$prefix/share/man/man1/MaxEntDecoder.1"

expected=$("$build/MaxEntDecoder" -m "$src/examples/model" -d "$src/examples/dict.txt" -n 3 \
  <<< "i want to cancel my service" 2> /dev/null | tr ' ' '\n' | sed '/^$/d; s/:\([^:]*\)$/ \1/')
check() {
  local got
  got=$("$1" "$src/examples/model" "$src/examples/dict.txt" "i want to cancel my service")
  [ "$got" = "$expected" ] || { printf 'embed gave:\n%s\nexpected:\n%s\n' "$got" "$expected"; exit 1; }
  got=$("$1" "$src/examples/model" "$work/missing.txt" "x" 2>&1) && exit 1
  [[ $got == *"can't open $work/missing.txt"* ]] || { echo "embed gave: $got"; exit 1; }
}

cmake -S "$src/examples/embed" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/cmake" > /dev/null
check "$work/cmake/embed"

pc="PKG_CONFIG_PATH=$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 "$src/examples/embed/main.cpp" -o "$work/embed-pc" \
  $(env "$pc" pkg-config --cflags --libs maxent) -Wl,-rpath,"$prefix/lib"
check "$work/embed-pc"
echo "installed tree and embedding example: ok"
