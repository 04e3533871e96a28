#!/usr/bin/python3
"""Starts vkweb-helper inside a sandboxed host as vkweb does: a socket pair, the helper's end on
descriptor 3. Relays standard input to the helper and the helper's answers to standard output;
once standard input ends, the helper's end sees EOF. Exits with the helper's exit status.

  helper_driver.py [socket|pipe|none] [HELPER ARGUMENT...]

`pipe` and `none` put a pipe, or nothing, on descriptor 3 instead (the helper must refuse)."""
import os
import socket
import subprocess
import sys
import threading

HELPER = "/opt/KELWvk/lib/vkweb-helper"


def relay_input(ours):
    try:
        while data := os.read(0, 65536):
            ours.sendall(data)
        ours.shutdown(socket.SHUT_WR)
    except OSError:     # the helper has gone: what it said is still relayed
        pass


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "socket"
    args = sys.argv[2:]
    ours = None
    if mode == "socket":
        ours, theirs = socket.socketpair()
        fd = theirs.fileno()
    elif mode == "pipe":
        fd, _ = os.pipe()
    else:
        fd = None
    # The helper's end becomes its descriptor 3 (pass_fds keeps 3 open and inheritable).
    p = subprocess.Popen([HELPER, *args], pass_fds=(3,) if fd is not None else (),
                         preexec_fn=(lambda: os.dup2(fd, 3)) if fd is not None and fd != 3 else None)
    if ours is None:
        sys.exit(p.wait())
    theirs.close()
    threading.Thread(target=relay_input, args=(ours,), daemon=True).start()
    while data := ours.recv(65536):
        os.write(1, data)
    rc = p.wait()
    os._exit(rc if rc >= 0 else 128 - rc)


if __name__ == "__main__":
    main()
