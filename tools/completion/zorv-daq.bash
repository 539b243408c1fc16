# Bash completion of zorv-daq: subcommands, then each subcommand's options
# as its own --help lists them (so the completion follows the program), and
# file names for everything else.
_zorv_daq() {
    local cur=${COMP_WORDS[COMP_CWORD]} prog=${COMP_WORDS[0]} sub="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -*) ;;
            *) sub=${COMP_WORDS[i]}; break ;;
        esac
    done
    if [[ -z $sub ]]; then
        local subs
        subs=$("$prog" --help 2>/dev/null | sed -n '/^Subcommands:/,$ s/^  \([a-z][a-z-]*\) .*/\1/p')
        COMPREPLY=($(compgen -W "$subs --help --version" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local opts
        opts=$("$prog" "$sub" --help 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _zorv_daq zorv-daq
