#!/usr/bin/python3
"""helper_driver.py [socket|pipe|none] [HELPER ARGUMENT...]: starts vkweb-helper as vkweb does (six
socket pairs, its ends on descriptors 3 to 8; or a pipe, or nothing, on 3), relays standard input
and output to its first lane, and exits with its status."""
import fcntl
import os
import socket
import subprocess
import sys
import threading

HELPER = "/opt/KELWvk/lib/vkweb-helper"
LANES = range(3, 9)


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
    theirs = []
    if mode == "socket":
        pairs = [socket.socketpair() for _ in LANES]
        ours = pairs[0][0]
        theirs = [t for _, t in pairs]
        fds = [t.fileno() for t in theirs]
    elif mode == "pipe":
        fds = [os.pipe()[0]]
    else:
        fds = []

    def place():
        # Above the lanes first, so that placing one cannot overwrite another.
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD, LANES[-1] + 1) for fd in fds]
        for lane, fd in zip(LANES, high):
            os.dup2(fd, lane)
    p = subprocess.Popen([HELPER, *args], pass_fds=tuple(LANES[:len(fds)]), preexec_fn=place)
    if ours is None:
        sys.exit(p.wait())
    for t in theirs:
        t.close()
    threading.Thread(target=relay_input, args=(ours,), daemon=True).start()
    while data := ours.recv(65536):
        os.write(1, data)
    rc = p.wait()
    os._exit(rc if rc >= 0 else 128 - rc)


if __name__ == "__main__":
    main()
