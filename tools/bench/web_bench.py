#!/usr/bin/python3
"""How fast vkweb's sessions page answers 20 logged-in clients at once, and how much of it is
the group-wide listing.

Builds the browser tests' group (tools/sandbox/vksbx_web.py) with 16 members instead of three, each
with the benchmark's 100 sessions (tools/bench/bench.py) and its authentication manager,
starts vkweb on parvix1, logs in 20 times from the desk, warms the connections of the group
up, and then runs wrk in the desk against https://parvix1:8443/sessions with 20 connections,
each request carrying one of the 20 logins. Every page says in its Server-Timing header how
long it waited for the listing (the helper's answer to it, including the wait for a listing
that another request had started); wrk's script collects those beside the page's own latency.
Printed: the page's median and 99th percentile, the listing's, what the page adds at the
median, requests a second, and vkweb's peak resident set (the web side; the helper's too).

All 16 members and the desk share this machine's two cores: the absolute figures say little
about real machines; what the page adds to its listing, measured in the same run, carries over.

usage: web_bench.py --stage STAGE --build BUILD [--members 16] [--sessions 100]
                    [--clients 20] [--seconds 20] [--json FILE]
Needs root (sandboxed hosts).
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
for d in ("tools/sandbox", "tools/bench"):
    sys.path.insert(0, str(SOURCE / d))
import bench  # noqa: E402  its report of the checks
import group_bench  # noqa: E402  sessions and their managers on every member
from vksbx_parvix import host_maker  # noqa: E402
from vksbx_web import PASSWORDS, WebGroup  # noqa: E402

# Logs in `n` times from the desk; prints the session cookies, one a line.
LOGIN = r'''
import http.client, re, ssl, sys, time
from urllib.parse import quote_plus
host, n, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
ctx = ssl._create_unverified_context()
done = 0
while done < n:
    c = http.client.HTTPSConnection(host, 8443, context=ctx)
    c.request("GET", "/login")
    r = c.getresponse(); body = r.read().decode()
    token = re.search(r'name="csrf" value="([0-9a-f]{64})"', body).group(1)
    form = f"csrf={token}&user={quote_plus(user)}&password={quote_plus(password)}"
    c.request("POST", "/login", body=form, headers={
        "Content-Type": "application/x-www-form-urlencoded", "Cookie": f"vkweb_login={token}"})
    r = c.getresponse(); r.read()
    cookie = [v for k, v in r.getheaders() if k.lower() == "set-cookie" and v.startswith("__Host-vkweb_session=")]
    if not cookie:
        time.sleep(1)  # refused (backing off): try again
        continue
    print(cookie[0].split(";")[0])
    done += 1
'''

# wrk's script: each request one of the logins in turn; each response's listing time noted;
# at the end, one JSON line with the percentiles of both.
WRK = r'''
local cookies = {}
for line in io.lines("/tmp/cookies") do cookies[#cookies + 1] = line end
local threads = {}
function setup(thread) table.insert(threads, thread) end
local n = 0
listing = {}
function request()
  n = n + 1
  -- As a browser asks: with its login's cookie, taking gzip.
  return wrk.format("GET", "/sessions", {["Cookie"] = cookies[(n % #cookies) + 1],
                                         ["Accept-Encoding"] = "gzip, deflate, br"})
end
function response(status, headers, body)
  local t = headers["Server-Timing"] or headers["server-timing"]
  if status == 200 and t then
    local d = t:match("dur=([%d%.]+)")
    if d then listing[#listing + 1] = tonumber(d) end
  end
  if status ~= 200 then wrk.thread:stop() end
end
function done(summary, latency, requests)
  local all = {}
  for _, t in ipairs(threads) do
    local l = t:get("listing")
    for i = 1, #l do all[#all + 1] = l[i] end
  end
  table.sort(all)
  local function pct(p) if #all == 0 then return 0 end return all[math.max(1, math.ceil(#all * p / 100))] end
  io.write(string.format(
    '{"requests": %d, "seconds": %.3f, "errors": %d, "page_p50_ms": %.2f, "page_p99_ms": %.2f, ' ..
    '"listing_p50_ms": %.2f, "listing_p99_ms": %.2f, "listings": %d}\n',
    summary.requests, summary.duration / 1e6,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.status +
    summary.errors.timeout,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, pct(50), pct(99), #all))
end
'''


def vm_hwm_kib(hostpid):
    with open(f"/proc/{hostpid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def wrk(w, clients, seconds):
    r = w.desk.host.run(["/usr/bin/wrk", "-t2", f"-c{clients}", f"-d{seconds}s", "--timeout", "30s",
                         "-s", "/tmp/bench.lua", f"{w.url}/sessions"], timeout=seconds + 120)
    if r.rc != 0:
        raise RuntimeError(f"wrk failed: {r.err}")
    return json.loads(r.out.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--stage", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--members", type=int, default=16)
    ap.add_argument("--sessions", type=int, default=100)
    ap.add_argument("--clients", type=int, default=20)
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--json", help="also write the figures here")
    a = ap.parse_args(argv)
    if os.geteuid() != 0:
        sys.exit("web_bench.py needs root (sandboxed hosts)")
    stage, build = Path(a.stage).resolve(), Path(a.build).resolve()
    top = tempfile.mkdtemp(prefix="vkwebbench.")
    names = [f"parvix{i}" for i in range(1, a.members + 1)]
    try:
        print(f"building a group of {a.members} hosts and a desk ...", file=sys.stderr, flush=True)
        make, hosts = host_maker(top, stage, build)
        w = WebGroup(make, stage, names=names)
        try:
            group_bench.populate(w.group, a.sessions)
            w.start_vkweb()
            r = w.desk.host.run(["/usr/bin/python3", "-c", LOGIN, w.url.split("//")[1].split(":")[0],
                                 str(a.clients), "alice", PASSWORDS["alice"]])
            if r.rc != 0:
                raise RuntimeError(f"login failed: {r.err}")
            w.desk.host.write("/tmp/cookies", r.out)
            w.desk.host.write("/tmp/bench.lua", WRK)
            print("warming up ...", file=sys.stderr, flush=True)
            wrk(w, a.clients, 5)
            print(f"measuring for {a.seconds} s ...", file=sys.stderr, flush=True)
            res = wrk(w, a.clients, a.seconds)
            helper = next(p for p in w.h1.processes() if p.comm == "vkweb-helper")
            res["vkweb_peak_mib"] = vm_hwm_kib(w.vkweb.hostpid) / 1024
            res["helper_peak_mib"] = vm_hwm_kib(helper.hostpid) / 1024
        finally:
            w.stop()
            for h in hosts:
                h.stop()
    finally:
        shutil.rmtree(top, ignore_errors=True)
    added = res["page_p50_ms"] - res["listing_p50_ms"]
    print(f"{a.members} members x {a.sessions} sessions, {a.clients} logged-in clients, "
          f"{res['requests']} pages in {res['seconds']:.1f} s ({res['requests'] / res['seconds']:.1f}/s), "
          f"{res['errors']} errors")
    print(f"  sessions page: median {res['page_p50_ms']:.1f} ms, 99th percentile {res['page_p99_ms']:.1f} ms")
    print(f"  its listing (the helper: the login's check and the listing, waits included):\n                 median {res['listing_p50_ms']:.1f} ms, 99th percentile {res['listing_p99_ms']:.1f} ms")
    print(f"  the page adds {added:.1f} ms at the median")
    print(f"  vkweb peak resident set {res['vkweb_peak_mib']:.1f} MiB (its helper {res['helper_peak_mib']:.1f} MiB)")
    checks = [("the page adds at most 10 ms at the median", added, 10),
              ("the 99th percentile at most 100 ms", res["page_p99_ms"], 100),
              ("vkweb under 64 MiB", res["vkweb_peak_mib"], 64),
              ("no errors", res["errors"], 0)]
    ok = bench.report_checks(checks)
    if a.json:
        Path(a.json).write_text(json.dumps(res, indent=1) + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
