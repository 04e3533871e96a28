"""Where a fault of the tree tool, the session killer or the probe's ping would let a session
file or a command line make root act on another process or host."""
import pytest

from conftest import USERS
from sessions import PTREE, client, plant, wait_for

KILL = "/opt/KELWvk/lib/vksessionkill"


def test_ptree_lines_cannot_be_forged_by_a_command_line(host):
    # vksession stops every pid on ptree's lines: neither a newline in the
    # arguments nor a line longer than a 1024-byte buffer may add a line.
    p = host.spawn(["/bin/sh", "-c", "sleep 300; :", "x\n    1 forged", "A" * 1019 + "    1 padded"])
    out = wait_for(lambda: (o := host.run([PTREE, str(p.pid)]).out).endswith(" sleep 300\n") and o,
                   what="the sleep")
    lines = out.splitlines()
    assert [x.split()[0] for x in lines] == ["1", str(p.pid), lines[2].split()[0]]
    assert "x?    1 forged" in lines[1] and all(len(x) <= 1000 for x in lines)
    assert lines[2].split(None, 1)[1] == "sleep 300"


@pytest.mark.parametrize("case", ["root_process", "other_users_process", "fake_server_and_lock"])
def test_session_killer_spares_processes_a_forged_proc_file_names(host, case):
    bystander = host.spawn(["/bin/sleep", "1000"])
    impostor = host.spawn(["/bin/sh", "-c", "sleep 1000", ":7"], uid=USERS["alice"],
                          env={"DISPLAY": ":7"})
    pid, uid, server = {"root_process": (bystander.pid, 0, ""),
                        "other_users_process": (impostor.pid, USERS["bob"], ""),
                        "fake_server_and_lock": ("", USERS["alice"], impostor.pid)}[case]
    plant(host, "7", "t", "r", proc=client(pid, uid, server_pid=server, server_prog="Xvfb"))
    host.write("/tmp/.X7-lock", f"{bystander.pid:>10}\n", uid=USERS["alice"])
    assert host.run([KILL, "display", "7"]).rc == 0
    assert bystander.state() == "S" and impostor.state() == "S"
    assert not host.path("/tmp/KELWvk/session_proc/7").exists()


def test_ping_takes_a_host_name_and_nothing_else(host):
    for target, rc in [("127.0.0.1", 0), ("192.0.2.1", 1), ("-f", 2), ("a;b", 2), ("", 2)]:
        r = host.run(["/usr/sbin/ping", target, "5"], env={"PATH": "/usr/bin:/bin", "HOME": None})
        assert r.rc == rc, target
