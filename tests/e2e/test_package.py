"""The Debian package: made with cpack, checked with lintian, and installed, used and removed
with dpkg in a throwaway root (this machine's root under an overlay, in namespaces of its own)."""
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import USAGE, _build_path
from sessions import outcome

BUILD = _build_path("VK_BUILD")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

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


def contents(deb):
    """{path: link target or None} of the package's files and links."""
    out = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True, check=True).stdout
    entries = (line.split(None, 5)[5].partition(" -> ") for line in out.splitlines() if line[0] != "d")
    return {name.removeprefix("./"): target or None for name, _, target in entries}


class ThrowawayRoot:
    def __init__(self, top):
        self.upper, self.work, self.merged = (Path(top) / d for d in ("upper", "work", "merged"))
        for d in (self.upper, self.work, self.merged):
            d.mkdir(parents=True)

    def write(self, inside, text, mode=0o755):
        """A file of the root, there before anything runs in it."""
        p = self.upper / inside.lstrip("/")
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)
        p.chmod(mode)

    def run(self, script, mnt=None, args=()):
        """Runs a bash script in the root with `args`; `mnt` is shown at /mnt."""
        m = self.merged
        setup = (f"set -e\n"
                 f"mount -t overlay vkpkg -o lowerdir=/,upperdir={self.upper},workdir={self.work} {m}\n"
                 f"mount -t proc proc {m}/proc\n"
                 f"mount --rbind /dev {m}/dev\n"
                 f"mount -t tmpfs run {m}/run\n"
                 + (f"mount --bind {mnt} {m}/mnt\n" if mnt else "")
                 + f'exec chroot {m} /usr/bin/env -i PATH={PATH} HOME=/root LC_ALL=C.UTF-8 '
                   f'TERM=dumb MANPAGER=cat DEBIAN_FRONTEND=noninteractive /bin/bash -c "$@"\n')
        return subprocess.run(["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                               "--kill-child", "/bin/sh", "-c", setup, "sh", script, "bash", *args],
                              capture_output=True, text=True, timeout=600)


@pytest.fixture
def root(tmp_path):
    return ThrowawayRoot(tmp_path / "root")


def test_control_fields_and_contents(deb, tmp_path):
    info = subprocess.run(["dpkg-deb", "-I", str(deb)], capture_output=True, text=True).stdout
    fields = dict(re.findall(r"^ ?([A-Za-z-]+): (.*)$", info, re.M))
    # Every dependency is a package of this Debian release (the tests' own
    # dependencies have installed them all here).
    names = sorted({re.sub(r"\s*\(.*\)", "", p).strip()
                    for p in (fields["Depends"] + "," + fields["Recommends"]).split(",")})
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}\n", *names], capture_output=True, text=True)
    assert r.stdout.splitlines() == ["install ok installed"] * len(names), r.stderr
    # The install tree, less the ping link that only a host without ping gets.
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(tmp_path)],
                   capture_output=True, check=True, env={**os.environ, "DESTDIR": ""})
    installed = {str(p.relative_to(tmp_path)): os.readlink(p) if p.is_symlink() else None
                 for p in tmp_path.rglob("*") if p.is_symlink() or not p.is_dir()}
    assert installed.pop("usr/sbin/ping") == "/opt/KELWvk/lib/ping"
    assert contents(deb) == installed


def test_lintian_finds_no_errors_or_warnings(deb):
    r = subprocess.run(["lintian", "--pedantic", "--fail-on", "none", str(deb)],
                       capture_output=True, text=True, timeout=600)
    assert (r.returncode, [x for x in r.stdout.splitlines() if x[:2] in ("E:", "W:")]) == (0, []), r.stderr


def test_install_use_and_remove(deb, root):
    r = root.run(f"dpkg -i /mnt/{deb.name} >/dev/null && /opt/KELWvk/sbin/vksession -h", mnt=deb.parent)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", USAGE)
    # The pages are found by name, completion is loaded on demand, and the
    # host (without a ping of its own) gets the probe's, which hands every
    # form but its own to the host's ping.
    r = root.run("set -e; MANWIDTH=80 man vksession | grep -c 'vksession - administer'; "
                 "for p in vkauthd vksessionstart vksessionkill vkwall vkrcmd vkrcmd-gate vkgroup "
                 "vkustatus ptree pstop prun vkping; do man -w $p >/dev/null; done; "
                 "source /usr/share/bash-completion/bash_completion; __load_completion vksession; "
                 "COMP_LINE='vksession -p -'; COMP_POINT=${#COMP_LINE}; "
                 "_vksession vksession -; echo ${COMPREPLY[*]}; readlink /usr/sbin/ping; "
                 "/usr/sbin/ping -V | head -c 17")
    assert r.stdout == "1\n-x -u -d -t -n\n/opt/KELWvk/lib/ping\nping from iputils", r.stderr
    # vkrcmd makes the directory of its connections' sockets (and the one above) as it runs;
    # the package takes them along.
    r = root.run("/opt/KELWvk/lib/vkrcmd --close server2 && stat -c %a /var/opt/KELWvk/vkrcmd")
    assert (r.returncode, r.stdout, r.stderr) == (0, "700\n", ""), r.stderr
    # vkweb's accounts and its first certificate, for this host, the key root's alone.
    r = root.run("set -e; getent passwd vkweb | cut -d: -f7; getent group vkadmin >/dev/null; "
                 "stat -c '%a %U' /etc/opt/KELWvk/web/vkweb.key; "
                 "openssl x509 -in /etc/opt/KELWvk/web/vkweb.crt -noout -ext subjectAltName | tail -1; "
                 "/opt/KELWvk/sbin/vkweb -h | head -1")
    assert r.stdout.splitlines() == ["/usr/sbin/nologin", "600 root",
                                     f"    DNS:{r.stdout.split('DNS:')[1].split(',')[0]}, DNS:localhost, "
                                     "IP Address:127.0.0.1", "usage: vkweb [-c FILE]"], r.stderr
    r = root.run("dpkg -r vksession && dpkg -P vksession && dpkg-query -W vksession")
    assert r.returncode == 1 and "no packages found matching vksession" in r.stderr
    paths = [*contents(deb), "usr/sbin/ping", "opt/KELWvk", "usr/proc", "usr/share/doc/vksession",
             "etc/opt/KELWvk/web/vkweb.crt", "etc/opt/KELWvk/web/vkweb.key",
             "var/opt/KELWvk"]
    r = root.run('for p; do [ -e "/$p" ] || [ -L "/$p" ] && echo "$p"; done; true', args=paths)
    assert (r.returncode, r.stdout) == (0, "")


@pytest.mark.parametrize("how", ["package", "source"])
def test_the_hosts_own_ping_stays(deb, root, how):
    root.write("/usr/sbin/ping", "#!/bin/sh\necho the host ping\n")
    install = f"dpkg -i /mnt/{deb.name}" if how == "package" else \
        f"cmake --install {BUILD} >/dev/null && cmake --install {BUILD}"
    r = root.run(f"{install} >/dev/null 2>&1 && /usr/sbin/ping && /opt/KELWvk/sbin/vksession -h",
                 mnt=deb.parent)
    assert (r.returncode, r.stdout, r.stderr) == (1, "the host ping\n", USAGE)


def test_the_timers_units_are_valid(host):
    units = [f"/build/stage/lib/systemd/system/vkgroup-{u}.{t}" for u in ("metrics", "limits")
             for t in ("service", "timer")]
    assert outcome(host.run(["systemd-analyze", "verify", "--man=no", *units])) == (0, "", "")
