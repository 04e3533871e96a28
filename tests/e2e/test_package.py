"""The Debian package: made with cpack from the build, checked with lintian,
and installed, used and removed with dpkg in a throwaway root.

The throwaway root is this machine's root under a writable overlay, in a
mount and pid namespace of its own: dpkg, its maintainer scripts, man and
bash see a whole Debian system with its real package database, and every
change lands in the test's directory. The machine's files are only read.
"""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import USAGE, _build_path

BUILD = _build_path("VK_BUILD")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Paths that other programs call, so that they must be exactly there.
FIXED = ["opt/KELWvk/sbin/vksession", "opt/KELWvk/sbin/vkwall", "opt/KELWvk/sbin/vksessionstart",
         "opt/KELWvk/lib/vksessionkill", "opt/KELWvk/lib/vkauthd", "opt/KELWvk/lib/vkrcmd",
         "opt/KELWvk/lib/vkrcmd-gate", "opt/KELWvk/lib/ping", "usr/proc/bin/ptree",
         "usr/proc/bin/pstop", "usr/proc/bin/prun",
         "opt/KELWvk/lib/locale/de/LC_MESSAGES/vk_libvkadmin.mo",
         "opt/KELWvk/share/ldap/parvix.schema", "usr/share/man/man1/vksession.1.gz",
         "usr/share/bash-completion/completions/vksession", "usr/share/doc/vksession/copyright"]

if "VK_SANITIZE:BOOL=ON" in (BUILD / "CMakeCache.txt").read_text():
    pytest.skip("the package is made from the plain build", allow_module_level=True)
if os.geteuid() != 0:
    pytest.skip("dpkg in a throwaway root needs root", allow_module_level=True)


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("cpack")
    r = subprocess.run(["cpack", "-G", "DEB", "-B", str(out), "--config",
                        str(BUILD / "CPackConfig.cmake")],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    (path,) = out.glob("vksession_*.deb")
    return path


def dpkg_deb(*args):
    return subprocess.run(["dpkg-deb", *args], capture_output=True, text=True,
                          check=True).stdout


def contents(deb):
    """{path: (mode text, link target or None)} of the package's files and links."""
    files = {}
    for line in dpkg_deb("-c", str(deb)).splitlines():
        mode, _, _, _, _, name = line.split(None, 5)
        name, _, target = name.partition(" -> ")
        if not mode.startswith("d"):
            files[name.removeprefix("./")] = (mode, target or None)
    return files


def package_names(field):
    """The package names of a relation field, versions left out."""
    return [re.sub(r"\s*\(.*\)", "", p).strip() for p in field.split(",")]


class ThrowawayRoot:
    def __init__(self, top):
        self.top = Path(top)
        self.upper, self.work, self.merged = (self.top / d for d in ("upper", "work", "merged"))
        for d in (self.upper, self.work, self.merged):
            d.mkdir(parents=True)

    def write(self, inside, text, mode=0o755):
        """A file of the root, there before anything runs in it."""
        p = self.upper / inside.lstrip("/")
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)
        p.chmod(mode)

    def run(self, script, mnt=None, args=()):
        """Runs a bash script as root in the root, with `args` as its
        arguments; `mnt` is shown at /mnt."""
        m = self.merged
        setup = (f"set -e\n"
                 f"mount -t overlay vkpkg -o lowerdir=/,upperdir={self.upper},workdir={self.work} {m}\n"
                 f"mount -t proc proc {m}/proc\n"
                 f"mount --rbind /dev {m}/dev\n"
                 f"mount -t tmpfs run {m}/run\n"
                 + (f"mount --bind {mnt} {m}/mnt\n" if mnt else "")
                 + f'exec chroot {m} /usr/bin/env -i PATH={PATH} HOME=/root LC_ALL=C.UTF-8 '
                   f'TERM=dumb MANPAGER=cat DEBIAN_FRONTEND=noninteractive /bin/bash -c "$@"\n')
        r = subprocess.run(["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                            "--kill-child", "/bin/sh", "-c", setup, "sh", script, "bash", *args],
                           capture_output=True, text=True, timeout=600)
        return r


@pytest.fixture
def root(tmp_path):
    return ThrowawayRoot(tmp_path / "root")


def test_control_fields(deb):
    fields = dict(re.findall(r"^ ?([A-Za-z-]+): (.*)$", dpkg_deb("-I", str(deb)), re.M))
    assert (fields["Package"], fields["Architecture"], fields["Section"]) == \
        ("vksession", subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                     text=True).stdout.strip(), "admin")
    depends, recommends = package_names(fields["Depends"]), package_names(fields["Recommends"])
    for p in ("libldap-2.5-0", "libgdbm-compat4", "libgnutls30", "libc6", "libstdc++6",
              "procps", "iputils-ping"):
        assert p in depends
    assert recommends == ["xvfb", "x11-apps", "x11-utils", "openssh-client", "openssh-server"]
    # Every name is a package of this Debian release: the tests' own
    # dependencies have installed them all here.
    for p in depends + recommends:
        status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", p],
                                capture_output=True, text=True).stdout
        assert status == "install ok installed", p


def test_contents_are_the_install_tree_without_the_ping_link(deb, tmp_path):
    files = contents(deb)
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(tmp_path)],
                   capture_output=True, check=True, env={**os.environ, "DESTDIR": ""})
    installed = {}
    for p in tmp_path.rglob("*"):
        if p.is_symlink() or not p.is_dir():
            installed[str(p.relative_to(tmp_path))] = os.readlink(p) if p.is_symlink() else None
    assert installed.pop("usr/sbin/ping") == "/opt/KELWvk/lib/ping"
    assert {name: link for name, (_, link) in files.items()} == installed
    for path in FIXED:
        assert path in files
    for name, (mode, link) in files.items():
        executable = any(name.startswith(d) for d in ("opt/KELWvk/sbin/", "usr/proc/bin/")) or \
            (name.startswith("opt/KELWvk/lib/") and "/locale/" not in name)
        assert mode == ("lrwxrwxrwx" if link else "-rwxr-xr-x" if executable else "-rw-r--r--"), name


def test_lintian_finds_no_errors_or_warnings(deb):
    r = subprocess.run(["lintian", "--pedantic", "--fail-on", "none", str(deb)],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr
    complaints = [line for line in r.stdout.splitlines() if line[:2] in ("E:", "W:")]
    assert complaints == []


def test_install_use_and_remove(deb, root):
    r = root.run(f"dpkg -i /mnt/{deb.name}", mnt=deb.parent)
    assert r.returncode == 0, r.stdout + r.stderr

    r = root.run("/opt/KELWvk/sbin/vksession -h")
    assert (r.returncode, r.stdout, r.stderr) == (1, "", USAGE)
    r = root.run("MANWIDTH=80 man vksession; MANWIDTH=80 man -l /usr/share/man/man1/vksession.1.gz")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count("vksession - administer the user sessions of a Parvix server") == 2
    r = root.run("for p in vkauthd vksessionstart vksessionkill vkwall vkrcmd vkrcmd-gate vkgroup "
                 "vkustatus ptree pstop prun vkping; do man -w $p; done")
    assert r.returncode == 0, r.stderr
    r = root.run("source /usr/share/bash-completion/bash_completion; __load_completion vksession; "
                 "complete -p vksession; COMP_LINE='vksession -p -'; COMP_POINT=${#COMP_LINE}; "
                 "_vksession vksession -; echo ${COMPREPLY[*]}")
    assert r.stdout == "complete -F _vksession vksession\n-x -u -d -t -n\n", r.stderr
    # The host has no /usr/sbin/ping: it is the probe's, which hands every
    # form but its own to the host's ping.
    r = root.run("readlink /usr/sbin/ping; /usr/sbin/ping -V")
    assert r.returncode == 0 and r.stdout.startswith("/opt/KELWvk/lib/ping\nping from iputils")

    r = root.run("dpkg -r vksession && dpkg -P vksession && dpkg-query -W vksession")
    assert r.returncode == 1 and "no packages found matching vksession" in r.stderr
    paths = [*contents(deb), "usr/sbin/ping", "opt/KELWvk", "usr/proc", "usr/share/doc/vksession"]
    r = root.run('for p; do [ -e "/$p" ] || [ -L "/$p" ] && echo "$p"; done; true', args=paths)
    assert (r.returncode, r.stdout) == (0, "")


def test_the_hosts_own_ping_stays(deb, root):
    root.write("/usr/sbin/ping", "#!/bin/sh\necho the host ping\n")
    r = root.run(f"dpkg -i /mnt/{deb.name} && /usr/sbin/ping", mnt=deb.parent)
    assert (r.returncode, r.stdout.splitlines()[-1:]) == (0, ["the host ping"]), r.stderr
    r = root.run("dpkg -P vksession && test ! -e /opt/KELWvk && /usr/sbin/ping")
    assert (r.returncode, r.stdout.splitlines()[-1:]) == (0, ["the host ping"]), r.stderr


@pytest.mark.parametrize("host_ping", [False, True], ids=["no-host-ping", "host-ping"])
def test_source_install_into_the_root_links_ping_only_where_there_is_none(root, host_ping):
    if host_ping:
        root.write("/usr/sbin/ping", "#!/bin/sh\necho the host ping\n")
    r = root.run(f"cmake --install {BUILD} >/dev/null && cmake --install {BUILD} >/dev/null && "
                 "readlink /usr/sbin/ping || /usr/sbin/ping; /opt/KELWvk/sbin/vksession -h")
    assert r.returncode == 1 and r.stderr == USAGE
    assert r.stdout == ("the host ping\n" if host_ping else "/opt/KELWvk/lib/ping\n")
