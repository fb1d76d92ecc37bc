"""The workloads. Each runs its load tool under timeout(1) against a relay port
and returns {metric: value}; a value of None means the run gave no figure, and
the reason goes into the notes."""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import time

import procs


def _run(argv, seconds):
    """Runs a tool under timeout(1); returns (exit code, stdout, stderr). The tool
    leads its own process group, which is killed if the driver is interrupted."""
    popen = subprocess.Popen(["timeout", "-k", "3", str(int(seconds)), *argv],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        stdout, stderr = popen.communicate(timeout=seconds + 10)
        return popen.returncode, stdout, stderr
    except subprocess.TimeoutExpired:
        os.killpg(popen.pid, signal.SIGKILL)
        popen.communicate()
        return 124, "", "timed out"
    except BaseException:
        try:
            os.killpg(popen.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        raise


def _fields(line):
    return dict(w.split("=", 1) for w in line.split() if "=" in w)


def bulk(port, iperf, cfg, notes):
    """iperf3 through the relay, client to server ("up") and back (-R, "down")."""
    # The relay's start-up probe reaches the iperf3 server late through some relays;
    # a test that meets it is refused, so let it pass and try once more if needed.
    time.sleep(0.3)
    out = {}
    for metric, extra in (("bulk_up_gbps", []), ("bulk_down_gbps", ["-R"])):
        out[metric] = None
        for attempt in (1, 2):
            if not iperf.ensure():
                notes.append(f"{metric}: iperf3 server did not start")
                break
            code, stdout, _ = _run(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-J",
                                    "-t", str(cfg.iperf_seconds), *extra],
                                   cfg.iperf_seconds + 15)
            out[metric] = _iperf_gbps(stdout)
            if out[metric] is not None:
                break
            notes.append(f"{metric}: iperf3 failed, attempt {attempt} "
                         f"(exit {code}{_iperf_error(stdout)})")
            iperf.restart()
    return out


def _iperf_error(stdout):
    try:
        return ": " + json.loads(stdout)["error"]
    except (ValueError, KeyError, TypeError):
        return ""


def _iperf_gbps(stdout):
    try:
        end = json.loads(stdout)["end"]
        return end["sum_received"]["bits_per_second"] / 1e9
    except (ValueError, KeyError, TypeError):
        return None


def http(port, cfg, notes):
    """wrk -t2 -c64 against the 1 KiB file, keep-alive and then Connection: close."""
    url = f"http://127.0.0.1:{port}/1k"
    out = {}
    for prefix, extra in (("http", []), ("churn", ["-H", "Connection: close"])):
        code, stdout, _ = _run(["wrk", "-t2", "-c64", f"-d{cfg.wrk_seconds}s", "--latency",
                                "--timeout", "5s", *extra, url], cfg.wrk_seconds + 20)
        rps = re.search(r"Requests/sec:\s+([\d.]+)", stdout)
        out[f"{prefix}_rps"] = float(rps.group(1)) if rps else None
        if prefix == "http":
            p99 = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", stdout, re.M)
            scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}
            out["http_p99_ms"] = float(p99.group(1)) * scale[p99.group(2)] if p99 else None
        errors = re.search(r"Socket errors:.*", stdout)
        non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", stdout)
        if errors:
            notes.append(f"{prefix}: {errors.group(0)}")
        if non2xx:
            notes.append(f"{prefix}: {non2xx.group(1)} non-2xx responses")
        if not rps:
            notes.append(f"{prefix}: wrk gave no result (exit {code})")
    return out


def rtt(port, cfg, tools, notes):
    code, stdout, _ = _run([tools.client, "rtt", "--port", str(port), "--count",
                            str(cfg.rtt_count), "--size", "64", "--timeout-seconds",
                            str(cfg.rtt_timeout)], cfg.rtt_timeout + 5)
    f = _fields(stdout)
    if f.get("status") != "ok":
        notes.append(f"rtt: {f.get('status', f'exit {code}')} after {f.get('count', 0)} messages")
        return {"rtt_p50_us": None, "rtt_p99_us": None}
    return {"rtt_p50_us": float(f["p50_us"]), "rtt_p99_us": float(f["p99_us"])}


def concurrency(port, cfg, tools, notes):
    code, stdout, _ = _run([tools.client, "concurrency", "--port", str(port), "--count",
                            str(cfg.conc_count), "--inflight", "1000", "--timeout-seconds",
                            str(cfg.conc_timeout)], cfg.conc_timeout + 10)
    f = _fields(stdout)
    if "ok" not in f:
        notes.append(f"concurrency: client failed (exit {code})")
        return {"conc_ok": None}
    if int(f["ok"]) < cfg.conc_count:
        notes.append(f"concurrency: {f['ok']} of {f['total']} echoed ({f['failed']} failed, "
                     f"{f['unfinished']} unfinished, {f['dropped']} dropped)")
    return {"conc_ok": float(f["ok"])}


def transfer(port, cfg, tools, notes):
    code, stdout, _ = _run([tools.client, "transfer", "--port", str(port), "--bytes",
                            str(cfg.transfer_bytes), "--timeout-seconds",
                            str(cfg.transfer_timeout)], cfg.transfer_timeout + 5)
    f = _fields(stdout)
    if f.get("status") != "ok":
        got = int(f.get("received", 0)) // (1024 * 1024)
        notes.append(f"transfer: {f.get('status', f'exit {code}')} after {got} MiB "
                     f"of {cfg.transfer_bytes // (1024 * 1024)} MiB")
        return {"xfer_mibps": None}
    return {"xfer_mibps": float(f["mibps"])}


def idle_memory(port, relay_proc, cfg, tools, notes):
    """RSS growth of the relay (all its processes) per held relayed connection."""
    if relay_proc is None:
        return {"mem_kib_per_conn": None}
    time.sleep(0.3)
    base = procs.tree_rss_kib(relay_proc.pid)
    client = procs.start("hold-client", [tools.client, "hold", "--port", str(port),
                                         "--count", str(cfg.hold_count), "--inflight", "256",
                                         "--timeout-seconds", str(cfg.hold_timeout),
                                         "--hold-seconds", "60"],
                         stdout=subprocess.PIPE)
    try:
        line = procs.read_line(client.popen, cfg.hold_timeout + 5)
        f = _fields(line or "")
        held = int(f.get("ok", 0))
        if held == 0:
            notes.append("memory: no connection was held")
            return {"mem_kib_per_conn": None}
        if held < cfg.hold_count:
            notes.append(f"memory: {held} of {cfg.hold_count} connections held")
        time.sleep(0.3)
        grown = procs.tree_rss_kib(relay_proc.pid) - base
        return {"mem_kib_per_conn": grown / held}
    finally:
        client.stop(grace=2)


_CLOSE_REQUEST = (b"GET /1k HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")


def _close_requests(port, count, seconds):
    """count HTTP requests with Connection: close, one connection each, one after the
    other; returns how many got their whole response before the time limit."""
    deadline = time.monotonic() + seconds
    done = 0
    for _ in range(count):
        if time.monotonic() > deadline:
            break
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(_CLOSE_REQUEST)
                got = 0
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    got += len(chunk)
            done += got >= 1024
        except OSError:
            pass
    return done


def _observed(argv, pids, seconds):
    """Starts an observer (strace or perf) on the relay's processes; returns it once it
    is attached to every one of them, or None."""
    popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    if argv[0] == "strace":
        # strace names each process (and thread) as it attaches.
        attached, text = set(), ""
        deadline = time.monotonic() + seconds
        fd = popen.stderr.fileno()
        while not pids <= attached and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.2)
            chunk = os.read(fd, 4096).decode(errors="replace") if ready else ""
            if ready and not chunk:
                break
            text += chunk
            attached = {int(m) for m in re.findall(r"Process (\d+) attached", text)}
        if not pids <= attached:
            _stop_observer(popen)
            return None
    else:
        time.sleep(0.5)  # perf stat prints nothing until it ends
    return popen


def _stop_observer(popen):
    try:
        os.killpg(popen.pid, signal.SIGINT)
        popen.wait(timeout=20)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        os.killpg(popen.pid, signal.SIGKILL)
        popen.wait()


def per_connection(port, relay_proc, cfg, notes, workdir):
    """System calls (strace -c -f) and CPU time (perf stat -e task-clock) of the relay's
    processes per relayed connection: a fixed number of Connection: close requests to the
    1 KiB file, one at a time; strace and perf in separate passes, since strace slows the
    relay down."""
    out = {"syscalls_per_conn": None, "cpu_us_per_conn": None}
    if relay_proc is None:
        return out
    pids = procs.tree_pids(relay_proc.pid)
    _close_requests(port, 20, 10)  # warm-up: first-use costs of the relay stay out
    strace_out = os.path.join(workdir, "strace.txt")
    perf_out = os.path.join(workdir, "perf.txt")
    count = cfg.per_conn_count
    passes = (("syscalls_per_conn",
               ["strace", "-c", "-f", "-o", strace_out] + [a for p in pids for a in ("-p", str(p))],
               strace_out, _strace_calls),
              ("cpu_us_per_conn",
               ["perf", "stat", "-e", "task-clock", "-x", ",", "-o", perf_out,
                "-p", ",".join(str(p) for p in pids)], perf_out, _perf_task_clock_us))
    for metric, argv, path, parse in passes:
        if shutil.which(argv[0]) is None:
            notes.append(f"{metric}: {argv[0]} not installed")
            continue
        observer = _observed(argv, set(pids), 10)
        if observer is None:
            notes.append(f"{metric}: {argv[0]} could not attach")
            continue
        try:
            done = _close_requests(port, count, cfg.per_conn_timeout)
        finally:
            _stop_observer(observer)
        total = parse(path)
        if done < count:
            notes.append(f"{metric}: {done} of {count} requests answered")
        if total is not None and done > 0:
            out[metric] = total / done
    return out


def _strace_calls(path):
    """The calls column of strace -c's total line."""
    try:
        with open(path) as f:
            for line in f:
                cols = line.split()
                if cols and cols[-1] == "total":
                    return float(cols[3])
    except (OSError, ValueError, IndexError):
        pass
    return None


def _perf_task_clock_us(path):
    """perf stat -x, writes "msec,,task-clock,…"; the total in µs."""
    try:
        with open(path) as f:
            for line in f:
                cols = line.strip().split(",")
                if len(cols) > 2 and cols[2].startswith("task-clock"):
                    return float(cols[0]) * 1000.0
    except (OSError, ValueError):
        pass
    return None
