"""The system log of a sandbox host: a datagram socket that the sandbox sees
as /dev/log, drained by a thread of the harness that keeps every datagram."""
import os
import re
import socket
import threading
from dataclasses import dataclass
from typing import Optional

# Datagrams of the harness itself; syslog(3) datagrams begin with "<".
_CTL = b"\0vksbx:"
_STOP = _CTL + b"stop"

# glibc: "<PRI>Mmm dd hh:mm:ss ident[pid]: message" ([pid] only with LOG_PID).
_RECORD = re.compile(rb"<(\d{1,3})>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?(.*?)(?:\[(\d+)\])?: (.*)\Z",
                     re.S)


@dataclass(frozen=True)
class LogRecord:
    raw: bytes            # the datagram as sent, "<PRI>" prefix included
    pri: Optional[int]    # facility * 8 + severity; None when the datagram is not syslog's
    ident: str            # the program's name as syslog(3) writes it
    pid: Optional[int]
    msg: str              # the message, trailing newlines included

    @property
    def severity(self):
        return None if self.pri is None else self.pri & 7

    @property
    def facility(self):
        return None if self.pri is None else self.pri >> 3

    @classmethod
    def parse(cls, raw):
        m = _RECORD.match(raw)
        if not m:
            return cls(raw, None, "", None, raw.decode(errors="replace"))
        pri, ident, pid, msg = m.groups()
        return cls(raw, int(pri), ident.decode(errors="replace"), int(pid) if pid else None,
                   msg.decode(errors="replace"))


class SyslogSink:
    """Binds a datagram socket at `path` (mode 0666, so that every user of
    the sandbox can log) and records what arrives until close()."""

    def __init__(self, path):
        self.path = os.fspath(path)
        # sun_path holds 107 bytes; test directories can be deeper than that,
        # so the socket is always addressed through a short descriptor path.
        self._dirfd = os.open(os.path.dirname(self.path) or ".", os.O_PATH)
        self._addr = f"/proc/self/fd/{self._dirfd}/{os.path.basename(self.path)}"
        if os.path.exists(self.path):
            os.unlink(self.path)  # a stale socket file would drop every message
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(self._addr)
        os.chmod(self.path, 0o666)
        self._records = []
        self._marks_sent = 0
        self._marks_seen = 0
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._serve, name=f"syslog {self.path}", daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            data = self._sock.recv(1 << 16)
            with self._cond:
                if data == _STOP:
                    return
                if data.startswith(_CTL):
                    self._marks_seen = int(data[len(_CTL):])
                    self._cond.notify_all()
                else:
                    self._records.append(data)

    def _send(self, data):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(data, self._addr)

    def sync(self, timeout=10):
        """Returns once every datagram sent before the call is recorded: the
        socket's queue is FIFO, so a mark sent now arrives after them."""
        with self._cond:
            self._marks_sent += 1
            mark = self._marks_sent
        self._send(_CTL + str(mark).encode())
        with self._cond:
            if not self._cond.wait_for(lambda: self._marks_seen >= mark, timeout):
                raise TimeoutError(f"the log listener of {self.path} does not answer")

    def records(self):
        self.sync()
        with self._cond:
            return [LogRecord.parse(r) for r in self._records]

    def clear(self):
        self.sync()
        with self._cond:
            self._records.clear()

    def close(self):
        if self._thread.is_alive():
            self._send(_STOP)
            self._thread.join(10)
        self._sock.close()
        os.close(self._dirfd)
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
