# lib.sh - shared by the install checks (sourced): a scratch folder removed on
# exit, failures counted and said, and the names the tool's own help lists.
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# finish NAME MESSAGE: exit 1 after any failure, else print MESSAGE.
finish()
{
  if [ "$failures" -gt 0 ]; then
    echo "$1: $failures failure(s)"
    exit 1
  fi
  echo "$1: $2"
}

# tool_help BINARY: --help as a user without a rules file sees it (its exit
# status says whether a setting was refused, which does not matter here).
tool_help() { env -i PATH="$PATH" HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" "$1" --help || true; }

# help_options: the options of the help text on standard input, one a line, sorted.
help_options() { grep -E '^  -' | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u; }
