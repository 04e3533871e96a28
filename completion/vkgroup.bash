# bash completion for vkgroup                               -*- shell-script -*-
#
# Completes the sub-commands, each one's options, and as SERVER operands
# the members of the failover group from its members file. Nothing read
# from the file is evaluated by the shell: a line is offered only when it
# is a plain host name.

_vkgroup_members=/etc/opt/KELWvk/group/members

# The host names of the members file, one per line.
_vkgroup_names() {
    local line
    [[ -r $_vkgroup_members ]] || return 0
    while IFS= read -r line || [[ -n $line ]]; do
        line=${line#"${line%%[![:space:]]*}"}
        line=${line%"${line##*[![:space:]]}"}
        [[ -z $line || $line == \#* ]] && continue
        [[ $line =~ ^[A-Za-z0-9][A-Za-z0-9.-]*$ ]] && printf '%s\n' "$line"
    done <"$_vkgroup_members"
}

_vkgroup() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local sub=${COMP_WORDS[1]-} i w opts operands=0
    local -A used=()
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "list terminate suspend resume metrics limits notify -h" -- "$cur")
        return 0
    fi
    case $sub in
        list) opts="-x -j -w -P -u -t -d" ;;
        terminate | suspend | resume | notify) opts="-a -w -P -u -t -d" ;;
        limits) opts="-x -j -w -P --enforce" ;;
        metrics) opts="-w -P -o" ;;
        *) return 0 ;;
    esac
    # The words between the sub-command and the current one, read as vkgroup
    # reads them: options with their values, then operands only.
    for ((i = 2; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        if ((operands)) || [[ $w != -* ]]; then
            operands=1
            used[$w]=1
        else
            used[$w]=1
            [[ $w == -[wPutdo] ]] && ((i++))
        fi
    done
    case $prev in
        -o)
            ((operands)) || { mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return 0; }
            ;;
        -[wPutd])
            ((operands)) || return 0
            ;;
    esac
    local -a offer=()
    if [[ $cur == -* ]] && ! ((operands)); then
        for w in $opts; do
            [[ ${used[$w]-} ]] && continue
            [[ $w == -[xj] && ( ${used[-x]-} || ${used[-j]-} ) ]] && continue
            # limits -x and --enforce stand alone.
            [[ $sub == limits && ${#used[@]} -gt 0 && ( $w == --enforce || $w == -x ) ]] && continue
            offer+=("$w")
        done
    else
        while IFS= read -r w; do
            [[ ${used[$w]-} ]] || offer+=("$w")
        done < <(_vkgroup_names)
    fi
    ((${#offer[@]})) && mapfile -t COMPREPLY < <(compgen -W "${offer[*]}" -- "$cur")
    return 0
}
complete -F _vkgroup vkgroup
