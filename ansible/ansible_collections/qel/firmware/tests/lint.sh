#!/usr/bin/env bash
# ansible-lint with the production profile on the collection and its example
# and test playbooks, offline, with Debian's ansible-lint (settings and the
# reasons for any skipped rule: .ansible-lint). Its cache goes to a temporary
# folder, not the home folder.
# Exit status: ansible-lint's; 77 when it is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v ansible-lint >/dev/null ||
  { echo "SKIPPED: ansible-lint is not installed (scripts/install-deps.sh)"; exit 77; }
cache=$(mktemp -d /tmp/qel-ansible-lint.XXXXXX)
trap 'rm -rf "$cache"' EXIT
# The collection's own modules resolve only from the folder holding ansible_collections/.
ANSIBLE_COLLECTIONS_PATH=$(cd ../../.. && pwd) XDG_CACHE_HOME=$cache ANSIBLE_HOME=$cache \
  ansible-lint --offline --profile production --nocolor
