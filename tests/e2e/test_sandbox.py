"""The sandboxed host itself: what the product may rely on inside it, and
that a host leaves nothing behind on the machine."""
import os
import signal
import subprocess

import pytest

from conftest import HOSTNAME, LOG_LOCAL1_INFO


def test_host_sees_only_itself(host):
    sleeper = host.spawn(["sleep", "1000"])
    r = host.sh("hostname; ip -o link | cut -d' ' -f2,3; ps -e -o pid=,comm=")
    lines = r.out.splitlines()
    assert lines[0] == HOSTNAME
    assert lines[1].startswith("lo: <LOOPBACK,UP")
    assert len(lines) == 2 + 4  # the machine's processes are out of sight
    procs = dict(line.split() for line in lines[2:])
    assert procs[str(sleeper.pid)] == "sleep" and procs["1"] == "python3"
    assert host.run(["getent", "passwd", "alice"]).out == "alice:x:1001:1001:alice:/home/alice:/bin/sh\n"


def test_file_system_layout(host):
    places = ["/opt", "/var/opt", "/etc/opt", "/tmp", "/root", "/home",
              "/opt/KELWvk", "/usr", "/etc", "/var", "/"]
    script = "; ".join(f"touch {p}/probe-file 2>/dev/null && echo {p}" for p in places)
    writable = host.sh(script).out.split()
    assert writable == ["/opt", "/var/opt", "/etc/opt", "/tmp", "/root", "/home"]
    assert all(host.path(p + "/probe-file").is_file() for p in writable)
    assert host.run(["test", "-x", "/opt/KELWvk/sbin/vksession"]).rc == 0


def test_user_name_input_and_log(host):
    r = host.run(["/bin/bash"], uid=1001, argv0="renamed",
                 input='echo "$0 $(id -u) $(id -g) $HOME"; logger -p local1.info "from $(id -un)"')
    assert (r.rc, r.out, r.err) == (0, "renamed 1001 1001 /home/alice\n", "")
    assert [(rec.pri, rec.msg) for rec in host.log()] == [(LOG_LOCAL1_INFO, "from alice")]


def test_stop_leaves_no_process_and_no_mount(make_host):
    h = make_host()
    tag = f"1000.{os.getpid()}"  # marks this test's processes among the machine's
    procs = [h.spawn(["sleep", tag]), h.spawn(["sleep", tag], uid=1001)]
    procs[0].signal(signal.SIGSTOP)
    with pytest.raises(subprocess.TimeoutExpired):
        h.run(["sleep", tag], timeout=0.2)
    h.stop()
    assert [os.path.exists(f"/proc/{p.hostpid}") for p in procs] == [False, False]
    leftovers = subprocess.run(["pgrep", "-f", f"sleep {tag}"], capture_output=True, text=True)
    assert leftovers.stdout == ""
    with open("/proc/self/mountinfo") as f:
        mounts = f.read()
    assert str(h.top) not in mounts and "vksbx" not in mounts
