# bash completion for camupgrade. The options come from the command's own
# --help, so they cannot drift from it.
_camupgrade() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} sub="" word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in info|list|history) sub=$word ;; esac
    done
    case $prev in
    --package|--cameras|--log|--report|--history)
        if declare -F _filedir >/dev/null; then _filedir; else COMPREPLY=($(compgen -f -- "$cur")); fi
        return ;;
    --camera|--host|--model|--interface|--parallel|--canary|--stop-after|--inactivity|--serial|--since)
        return ;;
    esac
    if [[ $cur == -* ]]; then
        local options
        options=$(camupgrade $sub --help 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $sub ]]; then
        COMPREPLY=($(compgen -W "info list history" -- "$cur"))
    fi
}
complete -F _camupgrade camupgrade
