"""bash completion of vksession (option letters, the values of the host's sessions) and of
vkgroup (commands, options, the group's members)."""
from sessions import plant, start

# Completes each command line given as an argument the way readline would
# at its end, and prints the candidates of each on one line, sorted.
DRIVER = r'''
complete_line() {
    COMP_LINE=$1 COMP_POINT=${#1}
    read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$fn" vksession "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}
fn=$(complete -p vksession | sed -n 's/^complete -F \([^ ]*\) vksession$/\1/p')
[[ $fn ]] || { echo "no completion for vksession" >&2; exit 3; }
for line; do complete_line "$line"; done
'''
LOADER = "source /usr/share/bash-completion/bash_completion; __load_completion vksession\n"


def test_options_and_values_of_the_hosts_sessions_and_the_group_members(host):
    start(host, "alice", "user.alice", "card-0a11ce")
    start(host, "bob", "mobile.bob", "term-00b0b")
    # Files no session starter writes: a token that the shell would run, a
    # raw token that readline splits at its colons.
    plant(host, "7", "$(touch /tmp/pwned)", "x:y:z")
    lines = {"-": "-a -d -h -k -l -n -p -r -s -t -u -x",
             # One action; -a only where an action may act on several sessions.
             "-px -": "-d -n -t -u", "-k -a -": "-d -n -t -u -x", "-h ": "", "-r -d 3 -": "-a -n -t -u -x",
             "-p -u ": "alice bob", "-k -ub": "-ubob", "-p -d ": "1 2 7", "-p -n ": "",
             # Filters already given narrow the values.
             "-p -u alice -d ": "1", "-d 2 -k -t ": "mobile.bob term-00b0b",
             "-l -t ": "card-0a11ce mobile.bob term-00b0b user.alice x:y:z",
             "-k -t x:y": "y:z"}   # readline replaces the text after the last colon only
    r = host.run(["/bin/bash", "-c", LOADER + DRIVER, "bash", *("vksession " + x for x in lines)])
    assert (r.rc, r.err, dict(zip(lines, r.out.split("\n")))) == (0, "", lines)
    assert not host.path("/tmp/pwned").exists()

    # vkgroup: a member file with comments, blanks and a line that the shell would run.
    host.write("/etc/opt/KELWvk/group/members",
               "# the group\n\n  parvix2\t\nparvix3.example.org\n$(touch /tmp/pwned)\n")
    host.write("/root/metrics.prom", "")
    lines = {"": "-h limits list metrics notify resume suspend terminate", "s": "suspend",
             "limits -": "--enforce -P -j -w -x", "limits -j -": "-P -w", "notify -a -": "-P -d -t -u -w",
             "list -": "-P -d -j -t -u -w -x", "list -x -": "-P -d -t -u -w",
             "terminate -a -u alice -": "-P -d -t -w", "metrics -": "-P -o -w",
             "list -u ": "", "list -w 5 ": "parvix2 parvix3.example.org",
             "suspend -d 3 parvix2 ": "parvix3.example.org", "list parvix2 -": "",
             "metrics -o /root/met": "/root/metrics.prom", "frobnicate ": ""}
    driver = DRIVER.replace("vksession", "vkgroup")
    loader = LOADER.replace("vksession", "vkgroup")
    r = host.run(["/bin/bash", "-c", loader + driver, "bash", *("vkgroup " + x for x in lines)],
                 cwd="/root")
    assert (r.rc, r.err, dict(zip(lines, r.out.split("\n")))) == (0, "", lines)
    assert not host.path("/tmp/pwned").exists()
