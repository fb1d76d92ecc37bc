"""Processes the benchmark starts: each is tracked by PID and stopped by PID,
SIGTERM first and SIGKILL after a deadline, also when the run is interrupted."""

import os
import select
import signal
import socket
import subprocess
import time

_started = []


class Proc:
    """One started process; it leads its own session, so its forks can be found
    and stopped with it and a Ctrl+C at the terminal reaches only the driver."""

    def __init__(self, name, popen):
        self.name = name
        self.popen = popen
        self.pid = popen.pid

    def alive(self):
        return self.popen.poll() is None

    def stop(self, grace=3.0):
        if self.alive():
            _signal(self.pid, signal.SIGTERM)
            try:
                self.popen.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                _signal(self.pid, signal.SIGKILL)
                try:
                    self.popen.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    # Killed, but the kernel may still be tearing down thousands of its
                    # sockets; the run goes on rather than dying here.
                    pass
        # Forks left behind (socat's per-connection children) share the group id
        # that is this process's own PID.
        _signal_group(self.pid, signal.SIGKILL)
        if self in _started:
            _started.remove(self)


def _signal(pid, sig):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass


def _signal_group(pgid, sig):
    try:
        os.killpg(pgid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def start(name, argv, cwd=None, env=None, stdout=None, stderr=None):
    popen = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                             stdout=stdout if stdout is not None else subprocess.DEVNULL,
                             stderr=stderr if stderr is not None else subprocess.DEVNULL,
                             start_new_session=True)
    proc = Proc(name, popen)
    _started.append(proc)
    return proc


def stop_all():
    for proc in list(reversed(_started)):
        try:
            proc.stop(grace=2.0)
        except Exception:  # keep stopping the others
            _signal(proc.pid, signal.SIGKILL)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds, proc=None):
    """True once 127.0.0.1:port accepts a connection; False at the deadline or
    when the process that should listen there has ended."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc is not None and not proc.alive():
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def read_line(popen, seconds):
    """First line the process prints on its stdout pipe, or None at the deadline."""
    deadline = time.monotonic() + seconds
    buf = b""
    fd = popen.stdout.fileno()
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            buf += chunk
            if b"\n" in buf:
                return buf.split(b"\n", 1)[0].decode(errors="replace")
    return None


def tree_rss_kib(pid):
    """Sum of VmRSS of the process and all its descendants, in KiB."""
    return sum(_rss_kib(p) for p in tree_pids(pid))


def tree_pids(pid):
    """The process and all its descendants."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    todo, seen = [pid], []
    while todo:
        p = todo.pop()
        if p in seen:
            continue
        seen.append(p)
        todo.extend(children.get(p, []))
    return seen


def _rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def wait_port_listening(port, seconds, proc):
    """True once something listens on 127.0.0.1:port, found without connecting
    (a connection would count as a client to servers such as iperf3)."""
    deadline = time.monotonic() + seconds
    needle = f"0100007F:{port:04X}"
    while time.monotonic() < deadline and proc.alive():
        try:
            with open("/proc/net/tcp") as f:
                for line in f:
                    cols = line.split()
                    if len(cols) > 3 and cols[1] == needle and cols[3] == "0A":
                        return True
        except OSError:
            pass
        time.sleep(0.05)
    return False
