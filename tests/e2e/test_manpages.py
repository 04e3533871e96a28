"""The installed manual pages: clean for both formatters, one for every
installed program, and vksession(1) in step with what the program prints
(its usage text, the table's heading, the keys of a record line)."""
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import USAGE, _build_path
from sessions import plant

STAGE = _build_path("VK_STAGE")
MAN = STAGE / "usr/share/man"
PAGES = sorted(p for p in MAN.glob("man*/*.gz") if not p.is_symlink())
# Programs whose page goes by another name.
PAGE_OF = {"pstop": "ptree", "prun": "ptree", "ping": "vkping"}


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


def test_every_installed_program_has_a_page():
    programs = [p for d in ("opt/KELWvk/sbin", "opt/KELWvk/lib", "usr/proc/bin")
                for p in (STAGE / d).iterdir() if p.is_file() and os.access(p, os.X_OK)]
    assert len(programs) >= 13
    for program in programs:
        name = PAGE_OF.get(program.name, program.name)
        pages = list(MAN.glob(f"man[18]/{name}.[18].gz"))
        assert pages, f"no manual page for {program}"
        # The page names the program (ptree's page names pstop and prun too).
        assert program.name in section(render(pages[0]).stdout, "NAME")[0]
    for link in ("pstop", "prun"):
        assert os.readlink(MAN / f"man1/{link}.1.gz") == "ptree.1.gz"


def test_vksession_synopsis_is_the_usage_text():
    text = render(MAN / "man1/vksession.1.gz", width=200).stdout
    assert " ".join(section(text, "SYNOPSIS")).split() == USAGE.split()


def test_vksession_page_documents_every_option():
    text = render(MAN / "man1/vksession.1.gz").stdout
    options = text[text.index("\nOPTIONS\n"):text.index("\nSELECTING SESSIONS\n")]
    # An entry's tag stands at the left margin of the section's text.
    documented = re.findall(r"^ {7}-([a-z])(?: |$)", options, re.M)
    assert sorted(documented) == sorted(set(re.findall(r"-([a-z])\b", USAGE)))


def test_vksession_page_shows_what_vksession_prints(host):
    plant(host, "5", "user.alice", "card-1")
    table = host.vksession("-p").out.splitlines()
    line = host.vksession("-p", "-x").out
    text = render(MAN / "man1/vksession.1.gz").stdout
    # The heading and the dashes of the table, as in the example.
    example = section(text, "EXAMPLES")
    assert [row.rstrip() for row in table[1:3]] == example[2:4]
    # The record line's keys, in their order.
    keys = [field.split("=", 1)[0] for field in line.rstrip("\n").split(";")]
    listed = [entry.split("=", 1)[0] for entry in section(text, "RECORD LINES")
              if re.match(r"^[A-Za-z_]+=", entry)]
    assert listed[:len(keys)] == keys
