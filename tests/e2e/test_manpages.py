"""The installed manual pages are clean for both formatters, and vksession(1) is in step with
what the program prints (usage text, the table's heading, a record line's keys)."""
import os
import re
import subprocess

import pytest

from conftest import USAGE, _build_path
from sessions import plant

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
    wide, text = (render(MAN / "man1/vksession.1.gz", w).stdout for w in (200, 80))
    assert " ".join(section(wide, "SYNOPSIS")).split() == USAGE.split()
    options = text[text.index("\nOPTIONS\n"):text.index("\nSELECTING SESSIONS\n")]
    documented = re.findall(r"^ {7}-([a-z])(?: |$)", options, re.M)
    assert sorted(documented) == sorted(set(re.findall(r"-([a-z])\b", USAGE)))
    # The table's heading as in the example, and the record line's keys in their order.
    plant(host, "5", "user.alice", "card-1")
    table = host.vksession("-p").out.splitlines()
    assert [row.rstrip() for row in table[1:3]] == section(text, "EXAMPLES")[2:4]
    keys = [f.split("=", 1)[0] for f in host.vksession("-p", "-x").out.rstrip("\n").split(";")]
    listed = [e.split("=", 1)[0] for e in section(text, "RECORD LINES") if re.match(r"^[A-Za-z_]+=", e)]
    assert listed[:len(keys)] == keys

    usage = host.run(["/opt/KELWvk/sbin/vkgroup", "-h"]).out
    synopsis = usage[:usage.index("\n\n")].replace("usage:", "").split()
    wide, text = (render(MAN / "man8/vkgroup.8.gz", w).stdout for w in (200, 80))
    assert " ".join(section(wide, "SYNOPSIS")).split() == synopsis
    options = text[text.index("\nOPTIONS\n"):text.index("\nMEMBERS\n")]
    documented = re.findall(r"^ {7}-([a-zA-Z])(?: |$)", options, re.M)
    assert sorted(documented) == sorted(set(re.findall(r"-([a-zA-Z])\b", " ".join(synopsis))))
