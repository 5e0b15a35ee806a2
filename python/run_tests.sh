#!/usr/bin/env bash
# Installs the Python package into build/venv (Debian's interpreter, with the
# system's pybind11, Dask and pytest) and runs its tests from build/, outside
# the source tree, so that they import the installed package.
#
#   bash python/run_tests.sh [pytest arguments]
#
# MAXENT_DECODER names the command-line decoder the answers are compared with
# (default build/MaxEntDecoder). Any failure, and a run that collects no test
# (pytest's status 5), ends with a non-zero status.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$root/build/venv
export MAXENT_DECODER=${MAXENT_DECODER:-$root/build/MaxEntDecoder}
if [ ! -x "$MAXENT_DECODER" ]; then
  echo "run_tests.sh: no decoder at $MAXENT_DECODER; build it first" >&2
  exit 1
fi
[ -x "$venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-index --no-build-isolation --no-deps "$root/python"
cd "$root/build"
PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" -m pytest -p no:cacheprovider -q "$root/python/tests" "$@"
