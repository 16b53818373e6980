# shellcheck shell=bash
# Sourced by msi_test.sh alone, until it uses tests/lib/test_lib.sh: the
# library's wine_prefix_template, and nothing else of it (sourcing the whole
# library would replace that test's own check with one that does not count
# its failures).
#   wine_prefix_template DIR LOG    makes DIR the template unless it is ready
eval "$(sed -n '/^wine_prefix_template() {$/,/^}$/p' "$(dirname "${BASH_SOURCE[0]}")/../lib/test_lib.sh")"
