#!/usr/bin/env bash
# ansible-test's unit or integration tests for the collection, run as ctest
# runs them: from the collection's root, with Debian's Python and no downloads
# (--local: the pytest plugins come from Debian's packages).
#   tests/ansible-test.sh units
#   tests/ansible-test.sh integration BUILD-DIR   (the build's qel-upgrade-testable and
#                                                  qel-device-sim are put first in PATH)
# Exit status: ansible-test's; 77 when ansible-test or pytest is not installed, or
# (integration) when no network namespace can be made here.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3  # a pyenv python3 first in PATH lacks Debian's modules
command -v ansible-test >/dev/null ||
  { echo "SKIPPED: ansible-test is not installed (scripts/install-deps.sh)"; exit 77; }
options=(--local --python-interpreter "$python" --python 3.11 --color no)
case ${1:-} in
  units)
    $python -c 'import pytest, xdist, pytest_forked' 2>/dev/null ||
      { echo "SKIPPED: pytest, pytest-xdist or pytest-forked is missing (scripts/install-deps.sh)"; exit 77; }
    exec ansible-test units "${options[@]}" ;;
  integration)
    build=$(cd "$2" && pwd)
    # The target's LAN needs namespaces: without them, skip as the project's LAN tests do.
    status=0
    ../../../../tests/lan/lan.sh -- true || status=$?
    [ $status -ne 77 ] || exit 77
    # ansible-test passes on only PATH and a few variables: the build is found there.
    PATH=$build/tests/admin:$build/tools/device-sim:$PATH exec ansible-test integration "${options[@]}" ;;
  *) echo "usage: $0 units | integration BUILD-DIR" >&2; exit 2 ;;
esac
