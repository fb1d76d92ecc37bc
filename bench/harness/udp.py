"""UDP part of the benchmark: the program (one panel with PROTOCOL=UDP), socat, nginx's
stream module and pen in front of one UDP echo server,
each in a fresh instance per workload, in rotating rounds like the TCP part:
64-byte ping-pong interleaved with direct, a fixed offered rate, the largest rate held with
under 0.1 % loss, and memory per idle session. Writes results/udp-<mode>-table.md."""

import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

import procs

START_SECONDS = 10
# Every relay is asked for the same socket buffers (within net.core.rmem_max).
BUFFER_BYTES = 4 * 1024 * 1024
DATAGRAM = 512
SOCKETS = 4
LOSS_HELD = 0.001


class UdpConfig:
    def __init__(self, mode, rounds):
        quick = mode == "quick"
        self.mode = mode
        self.rounds = rounds or 3
        self.rtt_count = 2000 if quick else 20000
        self.rate_seconds = 1 if quick else 3
        self.fixed_rate = 50000
        self.search_start = 20000
        self.search_factor = 1.25
        self.search_steps = 12
        self.hold_count = 500 if quick else 2000


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_echo(port, seconds, proc=None):
    """True once a datagram sent to port comes back (the relay is up and reaches the echo)."""
    deadline = time.monotonic() + seconds
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.1)
        while time.monotonic() < deadline:
            if proc is not None and not proc.alive():
                return False
            try:
                s.sendto(b"probe", ("127.0.0.1", port))
                if s.recvfrom(64)[0] == b"probe":
                    return True
            except OSError:
                pass
    return False


class UdpRelay:
    name = ""

    def where(self, workdir):
        """The folder and environment the relay runs in (its own by default)."""
        return None, None

    def start(self, dest_port, workdir, tools):
        port = free_udp_port()
        argv = self.command(port, dest_port, workdir, tools)
        cwd, env = self.where(workdir)
        log = open(os.path.join(workdir, f"udp-{self.name}.log"), "ab")
        try:
            proc = procs.start("udp-" + self.name, argv, cwd=cwd, env=env, stdout=log,
                               stderr=log)
        finally:
            log.close()
        if not wait_echo(port, START_SECONDS, proc):
            proc.stop()
            raise RuntimeError(f"{self.name} (UDP) did not answer on port {port}")
        return port, proc


class Direct(UdpRelay):
    name = "direct"

    def start(self, dest_port, workdir, tools):
        return dest_port, None


class Tarnwick(UdpRelay):
    """The program itself, headless, with one panel set to UDP."""
    name = "tarnwick-pico"

    def __init__(self):
        self.copy_dir = None

    def where(self, workdir):
        # Its own runtime folder, so a copy someone runs meanwhile does not hold the lock.
        return self.copy_dir, dict(os.environ, QT_QPA_PLATFORM="offscreen",
                                   XDG_RUNTIME_DIR=self.copy_dir)

    def command(self, port, dest_port, workdir, tools):
        self.copy_dir = tempfile.mkdtemp(prefix="tarnwick-udp-", dir=workdir)
        shutil.copy2(tools["program"], self.copy_dir)
        with open(os.path.join(self.copy_dir, "TarnwickPico.ini"), "w") as f:
            f.write(f"[TCP-PORT0]\nACT=1\nPORT={port}\nFORWARDHOST=127.0.0.1\n"
                    f"FORWARDPORT={dest_port}\nPROTOCOL=UDP\n"
                    f"BUFFERSIZE={BUFFER_BYTES // 1024}\n")
        return [os.path.join(self.copy_dir, os.path.basename(tools["program"]))]


class Socat(UdpRelay):
    name = "socat"

    def command(self, port, dest_port, workdir, tools):
        return ["socat", f"UDP4-LISTEN:{port},bind=127.0.0.1,fork,reuseaddr,rcvbuf={BUFFER_BYTES}",
                f"UDP4:127.0.0.1:{dest_port},rcvbuf={BUFFER_BYTES}"]


class NginxStream(UdpRelay):
    name = "nginx-stream"
    module = "/usr/lib/nginx/modules/ngx_stream_module.so"

    def command(self, port, dest_port, workdir, tools):
        prefix = tempfile.mkdtemp(prefix="nginx-udp-", dir=workdir)
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"load_module {self.module};\ndaemon off;\nmaster_process on;\n"
                    f"worker_processes auto;\npid {prefix}/nginx.pid;\n"
                    f"error_log {prefix}/error.log warn;\n"
                    "events {\n    worker_connections 16384;\n}\n"
                    "stream {\n    server {\n"
                    f"        listen 127.0.0.1:{port} udp rcvbuf={BUFFER_BYTES};\n"
                    f"        proxy_pass 127.0.0.1:{dest_port};\n"
                    "        proxy_responses 1;\n        proxy_timeout 10s;\n    }\n}\n")
        return ["nginx", "-p", prefix, "-c", conf, "-e", os.path.join(prefix, "error.log")]


class Pen(UdpRelay):
    """Debian's pen in UDP mode, one listening port to one destination, in the foreground."""
    name = "pen"

    def command(self, port, dest_port, workdir, tools):
        return ["pen", "-U", "-f", f"127.0.0.1:{port}", f"127.0.0.1:{dest_port}"]


def relays():
    return [Direct(), Tarnwick(), Socat(), NginxStream(), Pen()]


def missing(relay, tools):
    if isinstance(relay, Tarnwick) and not os.access(tools["program"], os.X_OK):
        return "tarnwick-pico not built"
    if isinstance(relay, Socat) and shutil.which("socat") is None:
        return "socat not installed"
    if isinstance(relay, Pen) and shutil.which("pen") is None:
        return "pen not installed"
    if isinstance(relay, NginxStream) and not os.path.exists(NginxStream.module):
        return "libnginx-mod-stream not installed"
    return None


def _client(tools, args, seconds):
    try:
        out = subprocess.run([tools["client"]] + args, capture_output=True, text=True,
                             timeout=seconds).stdout.split()
    except subprocess.TimeoutExpired:
        return {}
    return {out[i]: float(out[i + 1]) for i in range(0, len(out) - 1, 2)}


def rtt(port, direct_port, cfg, tools):
    f = _client(tools, ["rtt", "--relay", str(port), "--direct", str(direct_port),
                        "--count", str(cfg.rtt_count)], 60)
    if not f or f.get("lost", 1) > 0:
        return {"rtt_p50_us": None, "rtt_p99_us": None, "direct_p50_us": None,
                "direct_p99_us": None}
    return {"rtt_p50_us": f["relay_p50_us"], "rtt_p99_us": f["relay_p99_us"],
            "direct_p50_us": f["direct_p50_us"], "direct_p99_us": f["direct_p99_us"]}


def offered(port, rate, cfg, tools):
    """Loss at the given offered rate (datagrams a second over SOCKETS sockets), or None."""
    f = _client(tools, ["rate", "--port", str(port), "--rate", str(int(rate)),
                        "--seconds", str(cfg.rate_seconds), "--sockets", str(SOCKETS),
                        "--size", str(DATAGRAM)], cfg.rate_seconds + 20)
    return f.get("loss")


def held_rate(port, cfg, tools):
    """The largest offered rate of a rising series that lost under 0.1 %."""
    best, rate = None, cfg.search_start
    for _ in range(cfg.search_steps):
        loss = offered(port, rate, cfg, tools)
        if loss is None or loss >= LOSS_HELD:
            break
        best = rate
        rate *= cfg.search_factor
    return best


def idle_memory(port, proc, cfg, tools):
    if proc is None:
        return None
    time.sleep(0.3)
    base = procs.tree_rss_kib(proc.pid)
    client = procs.start("udp-hold", [tools["client"], "hold", "--port", str(port), "--count",
                                      str(cfg.hold_count), "--seconds", "30"],
                         stdout=subprocess.PIPE)
    try:
        line = procs.read_line(client.popen, 30) or ""
        held = int(line.split()[1]) if line.startswith("held ") else 0
        if held == 0:
            return None
        time.sleep(0.3)
        return (procs.tree_rss_kib(proc.pid) - base) * 1024 / held
    finally:
        client.stop(grace=2)


def session(relay, echo_port, workdir, tools, fn):
    try:
        port, proc = relay.start(echo_port, workdir, tools)
    except (RuntimeError, OSError) as e:
        return None, str(e)
    try:
        return fn(port, proc), None
    finally:
        if proc is not None:
            proc.stop(grace=5)


def run_relay(relay, echo_port, cfg, tools, workdir):
    values, notes = {}, []
    for fn in (lambda p, pr: rtt(p, echo_port, cfg, tools),
               lambda p, pr: {"fixed_loss_pct": _pct(offered(p, cfg.fixed_rate, cfg, tools))},
               lambda p, pr: {"held_kpps": _k(held_rate(p, cfg, tools))},
               lambda p, pr: {"idle_bytes_per_session": idle_memory(p, pr, cfg, tools)}):
        out, note = session(relay, echo_port, workdir, tools, fn)
        if note:
            notes.append(note)
        values.update(out or {})
    return values, notes


def _pct(loss):
    return None if loss is None else loss * 100


def _k(rate):
    return None if rate is None else rate / 1000


METRICS = [
    ("rtt_p50_us", "RTT p50 (µs)", "lower"),
    ("rtt_p99_us", "RTT p99 (µs)", "lower"),
    ("direct_p50_us", "direct p50 in the same run (µs)", "lower"),
    ("direct_p99_us", "direct p99 in the same run (µs)", "lower"),
    ("fixed_loss_pct", "loss at 50 kpps (%)", "lower"),
    ("held_kpps", "held rate, < 0.1 % loss (k datagrams/s)", "higher"),
    ("idle_bytes_per_session", "RSS per idle session (bytes)", "lower"),
]


def run(mode, rounds, build_dir, results_dir, workdir, deadline):
    cfg = UdpConfig(mode, rounds)
    bench = os.path.join(build_dir, "bench")
    tools = {"client": os.path.join(bench, "udp_bench_client"),
             "echo": os.path.join(bench, "udp_echo_server"),
             "program": os.path.join(build_dir, "tarnwick-pico")}
    echo = procs.start("udp-echo", [tools["echo"], "--max-seconds", "7200"],
                       stdout=subprocess.PIPE)
    line = procs.read_line(echo.popen, START_SECONDS) or ""
    if not line.startswith("port "):
        raise RuntimeError("udp_echo_server did not start")
    echo_port = int(line.split()[1])
    active, skipped = [], {}
    for r in relays():
        why = missing(r, tools)
        if why:
            skipped[r.name] = why
        else:
            active.append(r)
    table = {r.name: {m: [] for m, _, _ in METRICS} for r in active}
    notes, cut = [], False
    try:
        for rnd in range(cfg.rounds):
            shift = rnd % len(active)
            for relay in active[shift:] + active[:shift]:
                if time.monotonic() > deadline:
                    cut = True
                    break
                values, n = run_relay(relay, echo_port, cfg, tools, workdir)
                notes += [f"round {rnd + 1} {relay.name}: {x}" for x in n]
                for m, v in values.items():
                    if v is not None and m in table[relay.name]:
                        table[relay.name][m].append(v)
                print(f"udp round {rnd + 1} {relay.name:14} " +
                      ", ".join(f"{k} {v:.1f}" for k, v in values.items() if v is not None),
                      flush=True)
    finally:
        echo.stop(grace=2)
    os.makedirs(results_dir, exist_ok=True)
    path = os.path.join(results_dir, f"udp-{mode}-table.md")
    write_table(path, cfg, table, skipped, notes, cut)
    print(f"wrote {path}", flush=True)


def _commit():
    try:
        return subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(__file__)),
                               "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              timeout=10).stdout.strip() or "unknown"
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


def write_table(path, cfg, table, skipped, notes, cut):
    names = list(table)
    lines = [f"# UDP relay benchmark ({cfg.mode}, median of {cfg.rounds} rounds, "
             f"{time.strftime('%Y-%m-%d', time.gmtime())})", "",
             f"- Loopback, one UDP echo server (recvmmsg/sendmmsg) behind every relay; "
             f"{DATAGRAM}-byte datagrams over {SOCKETS} client sockets for the rates, "
             f"{cfg.rate_seconds} s per step; the held rate rises from "
             f"{cfg.search_start // 1000} k/s by x{cfg.search_factor} while loss stays under "
             "0.1 %. Every relay asks for 4 MiB socket buffers.",
             f"- RTT: {cfg.rtt_count} 64-byte ping-pongs alternating with direct ones in the "
             f"same run. Idle memory: {cfg.hold_count} sessions each answered once, then "
             "silent; RSS growth of all the relay's processes per session (kernel socket "
             "memory not included).",
             f"- Load average at the end: {open('/proc/loadavg').read().split()[0]}; "
             f"{os.cpu_count()} shared cores, so read the spreads. Source at commit "
             f"{_commit()}.", ""]
    if cut:
        lines.append("- **Cut short at the time limit.**")
    lines += ["| metric | " + " | ".join(names) + " |",
              "|---|" + "---|" * len(names)]
    for m, title, _ in METRICS:
        cells = []
        for n in names:
            vals = table[n][m]
            cells.append("–" if not vals else
                         f"{statistics.median(vals):.1f} ({min(vals):.1f}–{max(vals):.1f})")
        lines.append(f"| {title} | " + " | ".join(cells) + " |")
    lines.append("")
    for n, why in skipped.items():
        lines.append(f"- {n} skipped: {why}")
    lines += [f"- {n}" for n in notes]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
