"""bash completion of vksession in a sandboxed host: loaded on demand by
bash-completion, option letters, and the logins, displays and tokens of
the host's sessions (real ones, and planted files with hostile values)."""
import pytest

from sessions import plant, start

COMPLETION = "/usr/share/bash-completion/completions/vksession"

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
ON_DEMAND = "source /usr/share/bash-completion/bash_completion; __load_completion vksession\n"
ALONE = f"source {COMPLETION}\n"


def complete(h, *lines, loader=ON_DEMAND, uid=0):
    r = h.run(["/bin/bash", "-c", loader + DRIVER, "bash", *lines], uid=uid)
    assert (r.rc, r.err) == (0, ""), r
    return dict(zip(lines, r.out.split("\n")))


@pytest.mark.parametrize("loader", [ON_DEMAND, ALONE], ids=["bash-completion", "alone"])
def test_option_letters(host, loader):
    assert complete(host, "vksession ", "vksession -", "vksession -p ", "vksession -px -",
                    "vksession -k -a -", "vksession -s -u", "vksession -h ", "vksession -r -d 3 -",
                    loader=loader) == {
        "vksession ": "-a -d -h -k -l -n -p -r -s -t -u -x",
        "vksession -": "-a -d -h -k -l -n -p -r -s -t -u -x",
        # One action; -a only where an action may act on several sessions.
        "vksession -p ": "-d -n -t -u -x",
        "vksession -px -": "-d -n -t -u",
        "vksession -k -a -": "-d -n -t -u -x",
        "vksession -s -u": "-u",
        "vksession -h ": "",
        "vksession -r -d 3 -": "-a -n -t -u -x",
    }


@pytest.fixture
def sessions(host):
    start(host, "alice", "user.alice", "card-0a11ce")
    start(host, "bob", "mobile.bob", "term-00b0b")
    # Files no session starter writes: a token that the shell would run, a
    # raw token that readline splits at its colons, a ';' that the record
    # line turns into '?'.
    plant(host, "7", "$(touch /tmp/pwned)", "x:y:z")
    plant(host, "8", "semi;colon", "card-08")
    return host


def test_values_of_the_hosts_sessions(sessions):
    got = complete(sessions, "vksession -p -u ", "vksession -k -u a", "vksession -pu ",
                   "vksession -k -ub", "vksession -p -d ", "vksession -p -u alice -d ",
                   "vksession -d 2 -k -t ", "vksession -p -u nobody -d ", "vksession -l -t ",
                   "vksession -k -t x:y", "vksession -k -t car", "vksession -p -n ")
    assert got == {
        "vksession -p -u ": "alice bob",
        "vksession -k -u a": "alice",
        "vksession -pu ": "alice bob",
        "vksession -k -ub": "-ubob",
        "vksession -p -d ": "1 2 7 8",
        # Filters already given narrow the values.
        "vksession -p -u alice -d ": "1",
        "vksession -d 2 -k -t ": "mobile.bob term-00b0b",
        "vksession -p -u nobody -d ": "",
        "vksession -l -t ": "card-08 card-0a11ce mobile.bob term-00b0b user.alice x:y:z",
        # Readline replaces the text after the last colon only.
        "vksession -k -t x:y": "y:z",
        "vksession -k -t car": "card-08 card-0a11ce",
        "vksession -p -n ": "",
    }
    assert not sessions.path("/tmp/pwned").exists()
