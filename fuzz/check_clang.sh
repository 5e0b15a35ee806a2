#!/usr/bin/env bash
# Exit status 0 when clang++ can build a libFuzzer harness with ASan and UBSan.
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  > "$tmp/probe.cpp"
command -v clang++ >/dev/null 2>&1 &&
  clang++ -fsanitize=fuzzer,address,undefined "$tmp/probe.cpp" -o "$tmp/probe" >/dev/null 2>&1
