# bash completion for kelvo
_kelvo()
{
    local cur prev command i
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    command=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done
    if [ -z "$command" ]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "-q --quiet --no-progress -h --help -V --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "x e t l v a sfx" -- "$cur"))
        fi
        return
    fi
    case $command in
        x|e|t|l|v|X|E|T|L|V)
            case $prev in
                -o|--output) COMPREPLY=($(compgen -d -- "$cur")); return ;;
            esac
            if [[ $cur == -* ]]; then
                case $command in
                    l|v|L|V) COMPREPLY=($(compgen -W "-y --json --" -- "$cur")) ;;
                    *) COMPREPLY=($(compgen -W "-y -o --output -aoa --overwrite -aos --skip-existing -u --update --" -- "$cur")) ;;
                esac
            else
                COMPREPLY=($(compgen -f -X '!*.@(ace|ACE|Ace|c[0-9][0-9]|C[0-9][0-9]|exe|EXE)' -- "$cur") $(compgen -d -- "$cur"))
            fi
            ;;
        a|sfx)
            case $prev in
                --stub|--splash|--icon) COMPREPLY=($(compgen -f -- "$cur")); return ;;
                -d|-v|-c|--comment|--title|--scratch-name|--file-comment) return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-s -m0 -m1 -m5 -m6 -m9 -d -n --non-solid -v -c --comment --file-comment --no-dirs -o --overwrite --stub --title --scratch-name --splash --icon" -- "$cur"))
            else
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            ;;
    esac
}
complete -o filenames -F _kelvo kelvo
