"""What the administrator reads and types: the installed manual pages are clean for both
formatters and vksession(1) and vkgroup(8) are in step with what the programs print (usage text,
the table's heading, a record line's keys, the options); bash completion of vksession (option
letters, the values of the host's sessions) and of vkgroup (commands, options, the group's
members)."""
import os
import re
import subprocess

import pytest

from conftest import USAGE, _build_path
from sessions import plant, start

STAGE = _build_path("VK_STAGE")
MAN = STAGE / "usr/share/man"
PAGES = sorted(p for p in MAN.glob("man*/*.gz") if not p.is_symlink())


def render(page, width=80):
    r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", str(page)],
                       capture_output=True, text=True, timeout=60,
                       env={**os.environ, "LC_ALL": "C.UTF-8", "MANWIDTH": str(width),
                            "MANPAGER": "cat", "PAGER": "cat"})
    assert r.returncode == 0, r.stderr
    return r


def section(text, name):
    """The lines of a rendered section, indentation removed."""
    lines = text.splitlines()
    start = lines.index(name) + 1
    end = next((i for i in range(start, len(lines)) if re.match(r"^[A-Z][A-Z ]+$", lines[i])),
               len(lines))
    return [line.strip() for line in lines[start:end] if line.strip()]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page_is_clean_for_mandoc_and_groff(page):
    lint = subprocess.run(["mandoc", "-T", "lint", "-W", "all", str(page)],
                          capture_output=True, text=True, timeout=60)
    assert (lint.returncode, lint.stdout, lint.stderr) == (0, "", "")
    assert render(page).stderr == ""


def test_the_vksession_and_vkgroup_pages_are_in_step_with_the_programs(host):
    usage = host.run(["/opt/KELWvk/sbin/vkgroup", "-h"]).out
    vkgroup_synopsis = usage[:usage.index("\n\n")].replace("usage:", "")
    # The synopsis as the program prints it, and every option in it described under OPTIONS.
    for page, synopsis, after_options in (("man1/vksession.1.gz", USAGE, "SELECTING SESSIONS"),
                                          ("man8/vkgroup.8.gz", vkgroup_synopsis, "MEMBERS")):
        wide, text = (render(MAN / page, w).stdout for w in (200, 80))
        assert " ".join(section(wide, "SYNOPSIS")).split() == synopsis.split(), page
        options = text[text.index("\nOPTIONS\n"):text.index(f"\n{after_options}\n")]
        documented = re.findall(r"^ {7}-([a-zA-Z])(?: |$)", options, re.M)
        assert sorted(documented) == sorted(set(re.findall(r"-([a-zA-Z])\b", synopsis))), page
    # vksession(1): the table's heading as in the example, and the record line's keys in their order.
    plant(host, "5", "user.alice", "card-1")
    table = host.vksession("-p").out.splitlines()
    text = render(MAN / "man1/vksession.1.gz").stdout
    assert [row.rstrip() for row in table[1:3]] == section(text, "EXAMPLES")[2:4]
    keys = [f.split("=", 1)[0] for f in host.vksession("-p", "-x").out.rstrip("\n").split(";")]
    listed = [e.split("=", 1)[0] for e in section(text, "RECORD LINES") if re.match(r"^[A-Za-z_]+=", e)]
    assert listed[:len(keys)] == keys


# ---- bash completion --------------------------------------------------------------------------

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
    # vkgroup: a member file with comments, blanks and a line that the shell would run.
    host.write("/etc/opt/KELWvk/group/members",
               "# the group\n\n  parvix2\t\nparvix3.example.org\n$(touch /tmp/pwned)\n")
    host.write("/root/metrics.prom", "")
    vksession = {"-": "-a -d -h -k -l -n -p -r -s -t -u -x",
                 # One action; -a only where an action may act on several sessions.
                 "-px -": "-d -n -t -u", "-k -a -": "-d -n -t -u -x", "-h ": "",
                 "-r -d 3 -": "-a -n -t -u -x", "-p -u ": "alice bob", "-k -ub": "-ubob", "-p -d ": "1 2 7",
                 "-p -n ": "",
                 # Filters already given narrow the values.
                 "-p -u alice -d ": "1", "-d 2 -k -t ": "mobile.bob term-00b0b",
                 "-l -t ": "card-0a11ce mobile.bob term-00b0b user.alice x:y:z",
                 "-k -t x:y": "y:z"}   # readline replaces the text after the last colon only
    vkgroup = {"": "-h limits list metrics notify resume suspend terminate", "s": "suspend",
               "limits -": "--enforce -P -j -w -x", "limits -j -": "-P -w", "notify -a -": "-P -d -t -u -w",
               "list -": "-P -d -j -t -u -w -x", "list -x -": "-P -d -t -u -w",
               "terminate -a -u alice -": "-P -d -t -w", "metrics -": "-P -o -w",
               "list -u ": "", "list -w 5 ": "parvix2 parvix3.example.org",
               "suspend -d 3 parvix2 ": "parvix3.example.org", "list parvix2 -": "",
               "metrics -o /root/met": "/root/metrics.prom", "frobnicate ": ""}
    for program, lines in (("vksession", vksession), ("vkgroup", vkgroup)):
        r = host.run(["/bin/bash", "-c", (LOADER + DRIVER).replace("vksession", program), "bash",
                      *(f"{program} {x}" for x in lines)], cwd="/root")
        assert (r.rc, r.err, dict(zip(lines, r.out.split("\n")))) == (0, "", lines)
    assert not host.path("/tmp/pwned").exists()
