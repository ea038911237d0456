# bash completion for zorel, the Zorel File Packer: verbs, options, files and folders, and the
# entry names of the pack for unpack, list and remove (from `zorel list --null`), quoted.

_zorel() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local verb='' pack='' word i operands=0
    # The verb is the first word that is no option; operands count after it (-j's value aside).
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $verb ]]; then
            [[ $word == -* ]] || verb=$word
        elif [[ $word == - || $word != -* ]] && [[ ${COMP_WORDS[i - 1]} != @(-j|--jobs) ]]; then
            ((operands++)) || pack=$word
        fi
    done
    if [[ -z $verb ]]; then
        mapfile -t COMPREPLY < <(compgen -W 'pack unpack list test add remove rename diff convert --help --version' -- "$cur")
        return
    fi
    if [[ $cur == -?* ]]; then
        local options='-h --help'
        case $verb in
            pack) options+=' -z --compress --fast -r --recursive --skip -v --verbose -j --jobs --exclude= --wait=' ;;
            add) options+=' -z --compress --fast --skip -v --verbose -j --jobs --exclude= --wait=' ;;
            unpack) options+=' -v --verbose -O --to-stdout -k --keep-old-files --keep-newer-files --exclude= --strip-components= -j --jobs' ;;
            remove) options+=' -v --verbose -j --jobs --wait=' ;;
            rename) options+=' -j --jobs --wait=' ;;
            list) options+=' -1 --names -0 --null -l --long --exclude=' ;;
            test) options+=' --exclude= -j --jobs' ;;
            convert) options+=' -z --compress --fast --skip -v --verbose -j --jobs --wait= --format=' ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    [[ $prev == @(-j|--jobs) ]] && return
    case $verb:$operands in
        pack:1 | unpack:1 | diff:1)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            ;;
        unpack:[2-9]* | unpack:[1-9][0-9]* | list:[1-9]* | remove:[1-9]* | rename:1)
            # The pack's own names, each quoted as the shell reads it back (a blank, a line end);
            # shell wildcards stay the user's to type.
            local name quoted
            COMPREPLY=()
            while IFS= read -r -d '' name; do
                printf -v quoted '%q' "$name"
                [[ $name == "$cur"* || $quoted == "$cur"* ]] && COMPREPLY+=("$quoted")
            done < <(zorel list --null -- "$pack" 2>/dev/null)
            ;;
        *)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
    esac
}
complete -F _zorel zorel
