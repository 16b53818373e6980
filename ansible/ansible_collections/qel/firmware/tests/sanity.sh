#!/usr/bin/env bash
# The collection's sanity checks with what Debian 12 ships, no downloads:
# ansible-test's sanity tests that need no virtual environment, every module's
# documentation as ansible-doc renders it, and validate-modules (documentation,
# argument_spec, no_log on secrets) run from ansible-core's own copy with
# Debian's Python, which has python3-voluptuous. Findings that cannot apply are
# listed with their reasons in tests/sanity/ignore-2.14.txt.
# Exit status: 0 clean, 1 findings, 77 when ansible-core is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
collection_root=$(pwd)
collections_path=$(cd ../../.. && pwd)
python=/usr/bin/python3  # a pyenv python3 first in PATH lacks Debian's modules
validate_modules=/usr/lib/python3/dist-packages/ansible_test/_util/controller/sanity/validate-modules

for tool in ansible-test ansible-doc; do
  command -v $tool >/dev/null || { echo "sanity: SKIPPED, $tool is not installed (scripts/install-deps.sh)"; exit 77; }
done
[ -f "$validate_modules/validate.py" ] && $python -c 'import voluptuous' 2>/dev/null ||
  { echo "sanity: SKIPPED, validate-modules or python3-voluptuous is missing"; exit 77; }

status=0
echo "== ansible-test sanity (the tests that need no downloads)"
ansible-test sanity --local --python 3.11 --color no \
  --test compile --test shebang --test future-import-boilerplate --test metaclass-boilerplate \
  --test empty-init --test line-endings --test no-assert || status=1

modules=()
for file in plugins/modules/*.py; do modules+=("qel.firmware.$(basename "$file" .py)"); done
echo "== ansible-doc: ${modules[*]}"
for module in "${modules[@]}"; do
  if ! rendered=$(ANSIBLE_COLLECTIONS_PATH=$collections_path ansible-doc "$module" 2>&1) ||
     ! grep -q "^> ${module^^} " <<<"$rendered" || grep -q "WARNING" <<<"$rendered"; then
    echo "ansible-doc $module did not render:"; echo "$rendered"; status=1
  fi
done

echo "== validate-modules"
findings=$(PYTHONPATH=$validate_modules:$collections_path $python "$validate_modules/validate.py" \
  --collection ansible_collections/qel/firmware \
  --collection-version "$(sed -n 's/^version: *//p' galaxy.yml)" \
  --arg-spec plugins/modules/*.py 2>&1) || true
ignored=0
while IFS= read -r line; do
  # PATH:LINE:COLUMN: ECODE TEXT; anything else (a TRACE) explains the finding before it
  if [[ $line =~ ^([^:]+):[0-9]+:[0-9]+:\ E([a-z0-9-]+)\  ]] &&
     grep -q "^${BASH_REMATCH[1]} validate-modules:${BASH_REMATCH[2]} # ." tests/sanity/ignore-2.14.txt; then
    ignored=$((ignored + 1))
  elif [ -n "$line" ]; then
    echo "$line"; status=1
  fi
done <<<"$findings"
echo "validate-modules: $ignored finding(s) ignored with their reasons"
[ $status -eq 0 ] && echo "sanity: all passed"
exit $status
