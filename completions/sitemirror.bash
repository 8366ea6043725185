# bash completion for sitemirror: its options (as its own --help lists them),
# the target names of the rules file for --target, and file paths.
# Needs nothing beyond bash itself.

# The rules file the tool would read, as it looks for one.
_sitemirror_rules_file()
{
    if [[ -n ${SITEMIRROR_CONFIG-} ]]; then
        printf '%s\n' "$SITEMIRROR_CONFIG"
    elif [[ ${XDG_CONFIG_HOME-} == /* ]]; then
        printf '%s\n' "$XDG_CONFIG_HOME/sitemirror/config.toml"
    else
        printf '%s\n' "$HOME/.config/sitemirror/config.toml"
    fi
}

# The NAME of every [targets.NAME] table of the rules file (bare or quoted).
_sitemirror_targets()
{
    local file
    file=$(_sitemirror_rules_file)
    [[ -r $file ]] || return 0
    sed -nE 's/^[[:space:]]*\[[[:space:]]*targets\.("([^"]+)"|([A-Za-z0-9_-]+))[[:space:]]*\].*/\2\3/p' \
        "$file" 2>/dev/null
}

# Every option the tool's --help lists ("-h, --help", "--changed-list FILE").
_sitemirror_options()
{
    "$1" --help 2>/dev/null |
        sed -nE '/^  -/{s/^  //; s/  .*//; s/ [A-Z]+\b//g; s/,/ /g; p}' | tr ' ' '\n' |
        grep -E '^-' | sort -u
}

_sitemirror()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local i
    COMPREPLY=()

    # After "--" or the first argument that is not an option, only files.
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --) break ;;
        -j | --jobs | --changed-list | --target | --root | --bucket | --prefix | --endpoint | \
            --exclude | --output | --summary-markdown)
            # The value, also as "--jobs=4", which bash splits at the "=".
            [[ ${COMP_WORDS[i + 1]-} == = ]] && ((i++))
            ((i++))
            ;;
        -*) ;;
        *) break ;;
        esac
    done
    if ((i < COMP_CWORD)); then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
    fi

    # "--target=NAME": bash makes "=" a word of its own.
    if [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    case $prev in
    --target)
        mapfile -t COMPREPLY < <(compgen -W "$(_sitemirror_targets)" -- "$cur")
        return 0
        ;;
    -j | --jobs)
        mapfile -t COMPREPLY < <(compgen -W "auto 1 2 4 8 16 32 64" -- "$cur")
        return 0
        ;;
    --output)
        mapfile -t COMPREPLY < <(compgen -W "text json" -- "$cur")
        return 0
        ;;
    --bucket | --prefix | --endpoint | --exclude)
        return 0
        ;;
    --changed-list | --summary-markdown | --root)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
        ;;
    esac
    case $cur in
    --target=*)
        mapfile -t COMPREPLY < <(compgen -P --target= -W "$(_sitemirror_targets)" -- "${cur#--target=}")
        ;;
    -*)
        mapfile -t COMPREPLY < <(compgen -W "$(_sitemirror_options "${COMP_WORDS[0]}")" -- "$cur")
        ;;
    *)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        ;;
    esac
    return 0
}

complete -F _sitemirror sitemirror
