#!/usr/bin/env bash
# The manual page renders without a single groff warning, and it has an entry
# for every option `--help` lists and every setting `-h` prints, so the page
# cannot fall behind the tool.
# usage: man_test.sh SITEMIRROR_BINARY MAN_PAGE
. "$(dirname "$0")/lib.sh"
binary=$1 page=$2

echo "man: groff -man -ww $page"
if ! groff -man -ww -z "$page" 2>"$scratch/warnings" || [ -s "$scratch/warnings" ]; then
  fail "groff warns:"; cat "$scratch/warnings"
fi

# One long line per paragraph, so no name is broken across lines.
groff -man -Tascii -P-cbou -rLL=1000n "$page" 2>/dev/null >"$scratch/page.txt"
# The entries of OPTIONS and SETTINGS are the tag lines, indented by 7.
grep -E '^ {7}-' "$scratch/page.txt" | tr ', ' '\n\n' | grep -E '^-' | sort -u >"$scratch/page-options"
grep -oE '^ {7}SITEMIRROR_[A-Z0-9_]+' "$scratch/page.txt" | tr -d ' ' | sort -u >"$scratch/page-settings"

# What the tool says it takes, with a home of its own (no rules file of the machine's).
help=$(tool_help "$binary")
help_options <<<"$help" >"$scratch/help-options"
grep -oE '^  SITEMIRROR_[A-Z0-9_]+=' <<<"$help" | tr -d ' =' | sort -u >"$scratch/help-settings"
[ -s "$scratch/help-options" ] || fail "--help lists no option"
[ -s "$scratch/help-settings" ] || fail "-h prints no setting"

missing=$(comm -23 "$scratch/help-options" "$scratch/page-options" | tr '\n' ' ')
[ -z "$missing" ] || fail "options --help lists that the man page's OPTIONS has no entry for: $missing"
missing=$(comm -23 "$scratch/help-settings" "$scratch/page-settings" | tr '\n' ' ')
[ -z "$missing" ] || fail "settings -h prints that the man page's SETTINGS has no entry for: $missing"
# The page names nothing the tool no longer has.
extra=$(comm -13 "$scratch/help-options" "$scratch/page-options" | tr '\n' ' ')
[ -z "$extra" ] || fail "options in the man page that --help does not list: $extra"
extra=$(comm -13 "$scratch/help-settings" "$scratch/page-settings" | tr '\n' ' ')
[ -z "$extra" ] || fail "settings in the man page that -h does not print: $extra"

for section in NAME SYNOPSIS DESCRIPTION OPTIONS SETTINGS 'RULES FILE' 'IGNORE FILE' \
               CREDENTIALS 'EXIT STATUS' EXAMPLES; do
  grep -qx "$section" "$scratch/page.txt" || fail "no section $section"
done

finish man "$(wc -l <"$scratch/help-options") options and $(wc -l <"$scratch/help-settings") settings, all with an entry"
