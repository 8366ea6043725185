#!/usr/bin/env bash
# The shell completions: the bash function is driven as bash drives it (words,
# cursor, then the replies), for options, --target names from the rules file,
# option values and file paths; the zsh function parses and names every option
# the tool's --help lists.
# usage: completion_test.sh SITEMIRROR_BINARY SOURCE_DIR
. "$(dirname "$0")/lib.sh"
binary=$1 source=$2

mkdir -p "$scratch/config/sitemirror" "$scratch/work/public"
cat >"$scratch/config/sitemirror/config.toml" <<'TOML'
bucket = "www.example.org"
[targets.staging]
bucket = "staging.example.org"
[ targets."production-eu" ]
bucket = "www.example.org"
[targetsx.not_a_target]
TOML
touch "$scratch/work/index.html" "$scratch/work/images.txt"

# complete EXPECTED WORD... : the replies (sorted, one line) for the last word
complete_words() {
  local expected=$1
  shift
  local got
  got=$(cd "$scratch/work" && env -i PATH="$PATH" HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" \
        bash --norc --noprofile -c '
          . "$1"; shift
          COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
          _sitemirror
          printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
        completion "$source/completions/sitemirror.bash" "$binary" "$@")
  got=${got% }
  [ "$got" = "$expected" ] || fail "completing '${*}': got '$got', expected '$expected'"
}

echo "completion: bash"
complete_words "--changed-list" --ch
complete_words "--delete --dry-run" --d
complete_words "production-eu staging" --target ""
complete_words "staging" -q --target s
complete_words "production-eu" --target = p
complete_words "auto" --jobs a
complete_words "images.txt index.html" --changed-list i
complete_words "index.html" -q ind
complete_words "public" pub
# After the argument, or after "--", only paths, however they look.
complete_words "" -- --d
complete_words "index.html" -- ind
complete_words "images.txt" --jobs = 4 im
# Every option --help lists is offered.
help_options=$(tool_help "$binary" | help_options | tr '\n' ' ')
complete_words "${help_options% }" -

echo "completion: zsh"
zsh -n "$source/completions/_sitemirror" || fail "zsh cannot parse _sitemirror"
for option in $help_options; do
  grep -qE "(^|[^A-Za-z-])$option([^A-Za-z-]|$)" "$source/completions/_sitemirror" ||
    fail "_sitemirror does not offer $option, which --help lists"
done

finish completion "all checks passed"
