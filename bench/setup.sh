#!/usr/bin/env bash
# Installs the peer programs, the timer of `make bench` and the load generator
# of `make bench-serve` when missing.
set -euo pipefail
need=()
for pkg in liblinear-tools fasttext hyperfine python3 wrk; do
  dpkg -s "$pkg" > /dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q "${need[@]}"
fi
