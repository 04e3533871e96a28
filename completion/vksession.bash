# bash completion for vksession                             -*- shell-script -*-
#
# Completes the option letters, and the values of -u, -d and -t from the
# sessions of this host: their Unix logins, display numbers, and logical
# and raw tokens, as `vksession -p -x` lists them in record lines. Filters
# already on the command line narrow the list (`-u alice -d <TAB>` offers
# alice's displays). When vksession lists nothing (no sessions, or not
# run as root), only the option letters are completed.
#
# Nothing read from the sessions is ever evaluated by the shell: the
# record lines are taken apart with parameter expansions only, and a value
# is offered only if it consists of characters that need no quoting.

_vksession_prog=/opt/KELWvk/sbin/vksession
# Values that can go on the command line as they are: no blanks, quotes,
# glob or other shell characters.
_vksession_plain='^[A-Za-z0-9._:@+,=-]+$'

# The values of one record-line key ("uid", "DISPLAY", "TOKEN",
# "INSERT_TOKEN") over all sessions that match the filters in
# _vksession_filters, one per line, without duplicates.
_vksession_values() {
    local key line field
    local -a fields out=()
    [[ -x $_vksession_prog ]] || return 0
    while IFS= read -r line; do
        [[ $line == INSERT_TOKEN=* ]] || continue
        IFS=';' read -r -a fields <<<"$line"
        for field in "${fields[@]}"; do
            for key; do
                [[ $field == "$key="* ]] || continue
                field=${field#"$key="}
                [[ $field != NULL && $field =~ $_vksession_plain ]] && out+=("$field")
                break
            done
        done
    done < <(LC_ALL=C timeout 5 "$_vksession_prog" -p -x "${_vksession_filters[@]}" 2>/dev/null)
    ((${#out[@]})) && printf '%s\n' "${out[@]}" | LC_ALL=C sort -u
}

_vksession() {
    local cur line i j c w arg_of=""
    local -a words
    # The words up to the cursor, split at blanks only, so that a ':' or
    # '=' inside a token does not cut it in two.
    if [[ -n ${COMP_LINE-} ]]; then
        line=${COMP_LINE:0:${COMP_POINT:-${#COMP_LINE}}}
        read -r -a words <<<"$line"
        [[ $line == *[[:space:]] ]] && words+=("")
    else
        words=("${COMP_WORDS[@]:0:COMP_CWORD+1}")
    fi
    ((${#words[@]})) || return 0
    cur=${words[-1]}
    COMPREPLY=()

    # What the words before the current one hold, read as getopt reads
    # "ad:hkn:plrst:u:x": grouped letters, attached or separate values.
    local action=""
    local -A used=() value=()
    for ((i = 1; i < ${#words[@]} - 1; i++)); do
        w=${words[i]}
        if [[ -n $arg_of ]]; then
            value[$arg_of]=$w
            arg_of=""
            continue
        fi
        [[ $w == -?* ]] || continue
        for ((j = 1; j < ${#w}; j++)); do
            c=${w:j:1}
            used[$c]=1
            case $c in
                [hpklrs]) action=$c ;;
                [dntu])
                    if ((j + 1 < ${#w})); then value[$c]=${w:j+1}; else arg_of=$c; fi
                    break
                    ;;
            esac
        done
    done

    # A value: after a letter that takes one, or attached to it (-ualice).
    local letter=$arg_of prefix=""
    if [[ -z $letter && $cur =~ ^-[ahklprsx]*([dntu])(.+)$ ]]; then
        letter=${BASH_REMATCH[1]}
        prefix=${cur%"${BASH_REMATCH[2]}"}
        cur=${BASH_REMATCH[2]}
    fi
    if [[ -n $letter ]]; then
        local -a keys=()
        case $letter in
            u) keys=(uid) ;;
            d) keys=(DISPLAY) ;;
            t) keys=(TOKEN INSERT_TOKEN) ;;
            *) return 0 ;;  # registered names are not in the record lines
        esac
        local -a _vksession_filters=()
        for c in u d t n; do
            [[ $c != "$letter" && ${value[$c]-} =~ $_vksession_plain ]] &&
                _vksession_filters+=("-$c" "${value[$c]}")
        done
        while IFS= read -r w; do
            [[ $w == "$cur"* ]] && COMPREPLY+=("$prefix$w")
        done < <(_vksession_values "${keys[@]}")
        cur=$prefix$cur
    elif [[ -z $cur || $cur == -* ]]; then
        local -a opts=()
        if [[ -z $action ]]; then
            ((${#used[@]})) || opts+=(-h)
            opts+=(-p -l -k -s -r)
        fi
        if [[ $action != h ]]; then
            [[ ${used[a]-} || $action == [pl] ]] || opts+=(-a)
            [[ ${used[x]-} ]] || opts+=(-x)
            for c in u d t n; do
                [[ ${used[$c]-} ]] || opts+=("-$c")
            done
        fi
        for w in "${opts[@]}"; do
            [[ $w == "$cur"* ]] && COMPREPLY+=("$w")
        done
    fi

    # Readline replaces only the text after the last word break (':' and
    # '=' by default); answer with the same part of each candidate.
    local breaks=${COMP_WORDBREAKS-}
    local tail=$cur
    for ((i = 0; i < ${#breaks}; i++)); do
        c=${breaks:i:1}
        [[ $c == [[:space:]] || $tail != *"$c"* ]] && continue
        tail=${tail##*"$c"}
    done
    if [[ $tail != "$cur" ]]; then
        local cut=$((${#cur} - ${#tail}))
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]=${COMPREPLY[i]:cut}
        done
    fi
    return 0
}
complete -F _vksession vksession
