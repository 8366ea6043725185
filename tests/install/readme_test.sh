#!/usr/bin/env bash
# The README's quick starts are rules files the tool accepts: the site's three
# lines with each store's five, read by `sitemirror -h` without a refused value
# and with the store's endpoint, signature and region in force.
# usage: readme_test.sh SITEMIRROR_BINARY SOURCE_DIR
. "$(dirname "$0")/lib.sh"
binary=$1 source=$2

# Each ```toml block of the README into a file of its own: block-1.toml, ...
awk -v dir="$scratch" '
  /^```toml$/ { n++; out = dir "/block-" n ".toml"; next }
  /^```$/ { out = ""; next }
  out != "" { print > out }' "$source/README.md"
blocks=("$scratch"/block-*.toml)
[ ${#blocks[@]} -ge 8 ] || { echo "FAIL: the README has ${#blocks[@]} toml blocks, not the site's and seven stores'"; exit 1; }
site=$scratch/block-1.toml
stores=0
for ((i = 2; i <= ${#blocks[@]}; i++)); do
  store=$scratch/block-$i.toml
  lines=$(grep -cvE '^\s*(#|$)' "$store")
  [ "$lines" -eq 5 ] || fail "quick start $((i - 1)) has $lines lines, not five: $(cat "$store")"
  cat "$site" "$store" >"$scratch/config.toml"
  out=$(env -i PATH="$PATH" HOME="$scratch" AWS_ACCESS_KEY_ID=AKIDEXAMPLE AWS_SECRET_ACCESS_KEY=secret \
            SITEMIRROR_CONFIG="$scratch/config.toml" "$binary" -h 2>&1) ||
    { fail "quick start $((i - 1)) is refused: $(grep "invalid setting" <<<"$out")"; continue; }
  for key in endpoint signature region; do
    value=$(sed -nE "s/^$key = \"(.*)\".*/\1/p" "$store")
    variable=SITEMIRROR_$(tr a-z A-Z <<<"$key")
    grep -qxF "  $variable=$value" <<<"$out" || fail "quick start $((i - 1)): -h does not show $variable=$value"
  done
  stores=$((stores + 1))
done

finish readme "$stores quick starts accepted"
