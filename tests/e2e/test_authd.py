"""The authentication manager's status service vkauthd and the ping form of
the host probe, in sandboxed hosts. Clients run inside the host (its
loopback is its own), as small Python programs."""
import json
import signal
import time

import pytest

from test_server_tools import wait_for

AUTHD = "/opt/KELWvk/lib/vkauthd"
PING = "/usr/sbin/ping"
TERMINALS = "/var/opt/KELWvk/authd/terminals"
PIDFILE = "/var/opt/KELWvk/authd/vkauthd.pid"
LOG_DAEMON_WARNING = 3 * 8 + 4
PROBE_ENV = {"PATH": "/usr/bin:/usr/sbin:/bin", "HOME": None}

# Prepended to every client program run inside a host.
CLIENT = r'''
import json, socket, sys, time

def connect(port=7010, rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(20)
    s.connect(("127.0.0.1", port))
    return s

def read_all(s):
    data = b""
    while chunk := s.recv(65536):
        data += chunk
    return data.decode()

def query(request=b"status\n", port=7010, eof=False):
    with connect(port) as s:
        s.sendall(request)
        if eof:
            s.shutdown(socket.SHUT_WR)
        return read_all(s)
'''


def client(h, program):
    """Runs `program` (after CLIENT) inside the host; answers what it printed as JSON."""
    r = h.run(["/usr/bin/python3", "-c", CLIENT + program])
    assert r.rc == 0, r.err
    return json.loads(r.out)


def query(h, request="status\n", port=7010, eof=False):
    """The answer to `request`; with `eof` the client closes its side after it."""
    return client(h, f"print(json.dumps(query({request.encode()!r}, {port}, {eof})))")


def listening(h):
    """The addresses with a listening TCP socket in the host."""
    return [line.split()[3] for line in h.run(["/usr/bin/ss", "-Hltn"]).out.splitlines()]


def start_authd(h, *args):
    """Starts the daemon; answers its pid once the starter has returned."""
    r = h.run([AUTHD, *args])
    assert (r.rc, r.out, r.err) == (0, "", ""), r
    return int(h.path(PIDFILE).read_text())


def terminal(h, name, text, uid=0):
    h.write(f"{TERMINALS}/{name}", text, uid=uid)


def record(*lines):
    return "begin\n" + "".join(line + "\n" for line in lines) + "end\n"


class TestStatusService:
    def test_answers_status_with_the_terminal_files_in_name_order(self, host):
        terminal(host, "b.term", "tokenName=card.2\nencryptUpType=arcfour\n"
                 "securityMode=vpn\nterminalIPA=10.0.0.7")      # no final newline
        terminal(host, "A.term", "terminalCID=IEEE802.0a\ntokenName=card.1\n")
        terminal(host, "a.term", "terminalId=old\nMultiheadGroupName=g1\n"
                 "MultiheadTerminalIndex=abc\n  tokenName = odd\t\n\n# note\n")
        terminal(host, ".a.term.swp", "tokenName=hidden\n")
        pid = start_authd(host)
        assert host.run(["/bin/cat", f"/proc/{pid}/comm"]).out == "vkauthd\n"

        expected = (record("terminalCID=IEEE802.0a", "tokenName=card.1")
                    + record("terminalId=old", "MultiheadGroupName=g1", "MultiheadTerminalIndex=abc",
                             "  tokenName = odd\t", "", "# note")
                    + record("terminalCID=b.term", "tokenName=card.2", "encryptUpType=arcfour",
                             "securityMode=vpn", "terminalIPA=10.0.0.7"))
        assert query(host) == expected
        assert host.run([AUTHD, "-t"]).out == expected

        # Every request reads the files afresh.
        host.path(f"{TERMINALS}/A.term").unlink()
        terminal(host, "c", "tokenName=card.3\n")
        answer = query(host)
        assert answer.startswith(record("terminalId=old", "MultiheadGroupName=g1",
                                        "MultiheadTerminalIndex=abc", "  tokenName = odd\t",
                                        "", "# note"))
        assert answer.endswith(record("terminalCID=c", "tokenName=card.3"))

        # Anything but "status" gets nothing; a telnet user's "\r" and a
        # request whose newline never comes are still understood.
        assert query(host, "Status\n") == query(host, "status now\n") == ""
        assert query(host, "status\r\n") == query(host, "status", eof=True) == answer

    @pytest.mark.parametrize("services, args, port", [
        ("", [], 7010),
        ("vkauthd-cb\t7123/tcp\n", [], 7123),
        ("vkauthd-cb\t7123/tcp\n", ["-p", "7200"], 7200),
    ])
    def test_listens_at_the_service_port_on_loopback_only(self, make_host, services, args, port):
        h = make_host(services=services)
        terminal(h, "t1", "tokenName=card.1\n")
        start_authd(h, *args)
        assert query(h, port=port) == record("terminalCID=t1", "tokenName=card.1")
        assert [a for a in listening(h) if a.endswith(f":{port}")] == [f"127.0.0.1:{port}"]

    def test_leaves_out_what_would_break_the_answer_and_logs_it(self, host):
        ok = "tokenName=" + "x" * 501                            # 511 bytes: the longest line
        terminal(host, "t1", "\n".join([ok, "MultiheadGroupName=" + "y" * 493, "tokenName=cr\r",
                                        "end", "begin", "securityMode=a\x1bb",
                                        "encryptUpType=tab\tok"]) + "\n")
        terminal(host, "t2", "tokenName=big\n" + "#" * (64 * 1024))
        edge = "tokenName=edge\n" + ("#" * 511 + "\n") * 127 + "#" * 496 + "\n"
        assert len(edge) == 64 * 1024                           # the largest file sent
        terminal(host, "t3", edge)
        terminal(host, "t4\nterminalCID=forged", "tokenName=x\n")
        host.path(f"{TERMINALS}/t5").mkdir()
        terminal(host, "t6", "tokenName=users\n", uid=1001)
        start_authd(host)
        answer = query(host)
        assert answer.startswith(record("terminalCID=t1", ok, "encryptUpType=tab\tok"))
        assert [r.split("\n")[0] for r in answer.split("begin\n")[1:]] == ["terminalCID=t1",
                                                                          "terminalCID=t3"]
        warnings = [m for p, m in host.messages() if p == LOG_DAEMON_WARNING]
        assert warnings == [
            "terminal t1: line 2 not sent: longer than 511 bytes",
            "terminal t1: line 3 not sent: holds control characters",
            "terminal t1: line 4 not sent: would cut the record",
            "terminal t1: line 5 not sent: would cut the record",
            "terminal t1: line 6 not sent: holds control characters",
            "terminal t2: not sent: file larger than 65536 bytes",
            "terminal t4?terminalCID=forged: not sent: unusable file name",
            "terminal t5: not sent: no regular file of root's",
            "terminal t6: not sent: no regular file of root's",
        ]

    def test_slow_and_vanishing_clients_stall_nobody(self, host):
        # About 720 KB of answer, and socket buffers (of this host's network
        # namespace only) too small to take it for a client that never reads.
        assert host.sh("echo 4096 16384 65536 >/proc/sys/net/ipv4/tcp_wmem").rc == 0
        for i in range(12):
            terminal(host, f"t{i:02}", f"tokenName=card.{i}\n" + ("#" * 500 + "\n") * 120)
        start_authd(host)
        r = client(host, r'''
silent = connect()                          # never sends its request
partial = connect()                         # never ends it
partial.sendall(b"stat")
hog = connect(rcvbuf=4096)                  # never reads its answer
hog.sendall(b"status\n")
quitter = connect()                         # gone before the answer
quitter.sendall(b"status\n")
quitter.close()
connect().close()                           # gone before asking
time.sleep(0.3)
t0 = time.monotonic()
answers = [query() for _ in range(3)]
served = time.monotonic() - t0
silent_data = read_all(silent) + read_all(partial)     # the daemon ends the wait
dropped = time.monotonic() - t0
print(json.dumps({"sizes": [len(a) for a in answers], "records": answers[0].count("begin\n"),
                  "same": len(set(answers)) == 1, "served": served, "silent": silent_data,
                  "dropped": dropped}))
''')
        assert r["records"] == 12 and r["same"] and r["sizes"][0] > 700_000
        assert r["served"] < 2.0, r
        assert r["silent"] == "" and 3.5 < r["dropped"] < 8.0, r
        query(host)  # still serving

    def test_stops_cleanly_on_sigterm_and_sigint(self, host):
        pid = start_authd(host)
        assert host.path(PIDFILE).read_text() == f"{pid}\n"
        assert host.run(["/bin/kill", "-TERM", str(pid)]).rc == 0
        assert wait_for(lambda: host.exit_status(pid) is not None, what="the daemon's exit") \
            and host.exit_status(pid) == 0
        assert not host.path(PIDFILE).exists()
        assert ("vkauthd", "stopped") in [(r.ident, r.msg) for r in host.log()]
        # The port is free again at once, for a daemon in the foreground.
        p = host.spawn([AUTHD, "-f"])
        wait_for(lambda: "127.0.0.1:7010" in listening(host), what="the listener")
        assert query(host) == ""
        assert not host.path(PIDFILE).exists()
        p.signal(signal.SIGINT)
        assert p.wait() == 0

    def test_refuses_bad_usage_and_a_taken_port(self, host):
        r = host.run([AUTHD, "-h"])
        assert r.rc == 0 and r.out.startswith("NAME\n     vkauthd - ") and "SYNOPSIS" in r.out
        for argv in (["-p", "0"], ["-p", "65536"], ["-p", "x"], ["-x"], ["extra"], ["-t", "-f"]):
            r = host.run([AUTHD, *argv])
            assert (r.rc, r.out) == (2, ""), argv
        start_authd(host)
        r = host.run([AUTHD])
        assert r.rc == 1 and "cannot listen at 127.0.0.1:7010: Address already in use" in r.err
        r = host.run([AUTHD, "-p", "7011"])                       # its own port, our pid file
        assert r.rc == 1 and "held by another vkauthd" in r.err


class TestPing:
    @pytest.mark.parametrize("target, rc", [
        ("127.0.0.1", 0), ("localhost", 0),
        ("192.0.2.1", 1),                                       # no route in the sandbox
        ("-f", 2), ("a;b", 2), ("", 2), ("x" * 254, 2),
    ])
    def test_answers_whether_the_host_answered(self, host, target, rc):
        assert host.run([PING, target, "5"], env=PROBE_ENV).rc == rc

    def test_waits_no_longer_than_the_timeout_for_a_silent_host(self, host):
        # Packets routed into loopback for an address nobody has: no error,
        # just no answer.
        assert host.run(["/usr/sbin/ip", "route", "add", "192.0.2.0/24", "dev", "lo"]).rc == 0
        t0 = time.monotonic()
        r = host.run([PING, "192.0.2.1", "1"], env=PROBE_ENV)
        assert r.rc == 1 and 0.9 < time.monotonic() - t0 < 4.0

    def test_other_forms_go_to_the_real_ping(self, host):
        r = host.run([PING, "-c", "1", "127.0.0.1"])
        assert r.rc == 0 and "1 received" in r.out and "icmp_seq=1" in r.out
        r = host.run([PING, "-c", "1", "-W", "1", "192.0.2.1"])
        assert r.rc == 2 and "Network is unreachable" in r.err
        r = host.run([PING, "-V"])
        assert r.rc == 0 and "iputils" in r.out


class TestWithTheLibrary:
    def test_probe_and_status_query_of_the_library_reach_both(self, host):
        # The library's own probe (exact argument list and environment) and
        # its status query, against the stand-ins above.
        terminal(host, "IEEE802.01", "tokenName=card.b\nencryptUpType=arcfour\n")
        terminal(host, "IEEE802.02", "tokenName=card.a\nsecurityMode=clear\n")
        assert host.probe("ping", "localhost").out == "rc=0\n"
        assert host.probe("ping", "192.0.2.1").out != "rc=0\n"
        start_authd(host)
        r = host.probe("authmgr", "localhost", "2", "tokenName", "encryptUpType", "securityMode")
        assert r.out == ("rc=0\n"
                         "terminal=IEEE802.02 token=card.a mode=clear\n"
                         "terminal=IEEE802.01 token=card.b encUp=arcfour\n")
