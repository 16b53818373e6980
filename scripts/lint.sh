#!/usr/bin/env bash
# Format and lint over the project's own C++ code.
#   scripts/lint.sh            check: clang-format (no changes allowed), clang-tidy
#   scripts/lint.sh --fix      reformat in place (clang-tidy is not run)
# QEL_LINT_FORMAT_ONLY=1 checks the format only.
# clang-tidy reads the compile commands of a configured build (QEL_LINT_BUILD,
# default build/ci, made with the ci preset when missing).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h' | grep -v '^fuzz/corpus/')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi

unformatted=()
for f in "${sources[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -ne 0 ]; then
  echo "lint: not formatted (run scripts/lint.sh --fix):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "lint: ${#sources[@]} files formatted"
[ -n "${QEL_LINT_FORMAT_ONLY:-}" ] && exit 0

build=${QEL_LINT_BUILD:-build/ci}
[ -f "$build/compile_commands.json" ] || cmake --preset ci -B "$build" >/dev/null
# Generated sources (the embedded images) must exist for their includes.
cmake --build "$build" --target qel_resources -j2 >/dev/null
# Only what the build compiles: the Windows platform files and the fuzzers
# (clang-only flags) are checked by their own builds.
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' |
  grep -vE '^(platform/win32|fuzz)/' | sed "s|^|$PWD/|" |
  grep -Fxf <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" | cut -d'"' -f4) || true)
run-clang-tidy -quiet -p "$build" -j 2 "${units[@]}" >"$build/clang-tidy.log" 2>&1 || {
  grep -E 'warning:|error:' "$build/clang-tidy.log" | sort -u | head -n 100 >&2
  echo "lint: clang-tidy found problems (full log: $build/clang-tidy.log)" >&2
  exit 1
}
echo "lint: clang-tidy clean over ${#units[@]} files"
