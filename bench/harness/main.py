"""Benchmark driver: starts the servers, then every relay in turn on loopback, runs
the workloads in interleaved rounds and writes the table, the chart and the raw CSV.
Run through bench/run.sh, which installs the tools and raises the open-files limit."""

import argparse
import datetime
import os
import platform
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import peers
import procs
import report
import udp
import workloads

MIB = 1024 * 1024


class Config:
    def __init__(self, mode, rounds):
        self.mode = mode
        quick = mode == "quick"
        self.rounds = rounds or 3
        self.iperf_seconds = 1 if quick else 8
        self.wrk_seconds = 1 if quick else 6
        self.rtt_count = 2000 if quick else 20000
        self.rtt_timeout = 5 if quick else 20
        self.hold_count = 2000
        self.hold_timeout = 4 if quick else 20
        self.conc_count = 10000
        self.conc_timeout = 4 if quick else 20
        self.transfer_bytes = (32 if quick else 1024) * MIB
        self.transfer_timeout = 5 if quick else 40
        self.per_conn_count = 300 if quick else 1000
        self.per_conn_timeout = 30 if quick else 90
        # No new relay is started past this; the report then says the run was cut short.
        self.budget_seconds = 285 if quick else 1440

    def metric_note(self, key):
        return {
            "bulk_up_gbps": f"{self.iperf_seconds} s per direction.",
            "http_rps": f"{self.wrk_seconds} s per run, keep-alive connections to nginx.",
            "churn_rps": f"{self.wrk_seconds} s per run; each request opens a new relayed "
                         "connection.",
            "rtt_p50_us": f"{self.rtt_count} messages on one connection to an echo server, "
                          "after 100 unmeasured ones.",
            "mem_kib_per_conn": f"{self.hold_count} connections held open (limit "
                                f"{self.hold_timeout} s to open them) to a server that "
                                "greets each with one byte; the sum of VmRSS of the relay's "
                                "processes (forks included) held minus idle, divided by the "
                                "connections held. No ratio: direct has no relay process.",
            "conc_ok": f"{self.conc_count} connections, at most 1000 connecting at a time, each "
                       "sending 32 bytes and waiting for their echo; all stay open until the "
                       f"last has finished (limit {self.conc_timeout} s, or 5 s without any "
                       "finishing once all are open).",
            "syscalls_per_conn": f"{self.per_conn_count} requests for the 1 KiB file with "
                                 "Connection: close, one at a time, each on a new relayed "
                                 "connection, after 20 unmeasured ones; the calls that "
                                 "strace -c -f counts in all of the relay's processes, "
                                 "divided by the requests answered. No ratio: direct has "
                                 "no relay process.",
            "cpu_us_per_conn": f"The same {self.per_conn_count} requests again, without "
                               "strace: perf stat -e task-clock of all the relay's "
                               "processes, divided by the requests answered.",
            "xfer_mibps": f"{self.transfer_bytes // MIB} MiB each way through an echo server on "
                          "one connection, sending and receiving at once, every byte checked "
                          f"(limit {self.transfer_timeout} s; a failed check gives no figure).",
        }.get(key)


class Tools:
    def __init__(self, build_dir):
        d = os.path.join(build_dir, "bench")
        self.client = os.path.join(d, "bench_client")
        self.echo = os.path.join(d, "echo_server")
        self.hold = os.path.join(d, "hold_server")

    def missing(self):
        return [p for p in (self.client, self.echo, self.hold) if not os.access(p, os.X_OK)]


def run_session(relay, dest_port, workdir, fn, metrics, notes):
    """Starts a fresh instance of the relay towards dest_port, runs fn(port, proc)."""
    try:
        port, proc = relay.start(dest_port, workdir)
    except (RuntimeError, OSError) as e:
        notes.append(str(e))
        return {m: None for m in metrics}
    try:
        values = fn(port, proc)
        if proc is not None and not proc.alive():
            notes.append(f"{relay.name} exited during the run (code {proc.popen.returncode})")
        return values
    finally:
        if proc is not None:
            proc.stop(grace=5)


def run_relay_round(relay, cfg, tools, backends, workdir):
    notes = []
    values = {}
    if relay.http_proxy_only:
        values.update(run_session(
            relay, backends["http_proxy"], workdir,
            lambda port, proc: workloads.http(port, cfg, notes),
            ["http_rps", "http_p99_ms", "churn_rps"], notes))
        return values, notes
    values.update(run_session(
        relay, backends["hold"], workdir,
        lambda port, proc: workloads.idle_memory(port, proc, cfg, tools, notes),
        ["mem_kib_per_conn"], notes))
    values.update(run_session(
        relay, backends["iperf"], workdir,
        lambda port, proc: workloads.bulk(port, backends["iperf_server"], cfg, notes),
        ["bulk_up_gbps", "bulk_down_gbps"], notes))
    values.update(run_session(
        relay, backends["http"], workdir,
        lambda port, proc: workloads.http(port, cfg, notes),
        ["http_rps", "http_p99_ms", "churn_rps"], notes))
    values.update(run_session(
        relay, backends["http"], workdir,
        lambda port, proc: workloads.per_connection(port, proc, cfg, notes, workdir),
        ["syscalls_per_conn", "cpu_us_per_conn"], notes))

    def echo_workloads(port, proc):
        # The swarm goes last: tearing down its connections keeps a relay busy for a while.
        out = workloads.rtt(port, cfg, tools, notes)
        out.update(workloads.transfer(port, cfg, tools, notes))
        out.update(workloads.concurrency(port, cfg, tools, notes))
        return out

    values.update(run_session(relay, backends["echo"], workdir, echo_workloads,
                              ["rtt_p50_us", "rtt_p99_us", "conc_ok", "xfer_mibps"], notes))
    return values, notes


def machine_lines(cfg, args, started, elapsed, load_before, cut_short):
    def sh(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True, timeout=10).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            return ""

    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "unknown")
    mem_kib = next((int(l.split()[1]) for l in open("/proc/meminfo")
                    if l.startswith("MemTotal")), 0)
    mem = f"{mem_kib / 1024 / 1024:.1f} GiB"
    versions = sh(["dpkg-query", "-W", "-f", "${Package} ${Version}, ", "socat", "rinetd",
                   "haproxy", "nginx", "libnginx-mod-stream", "wrk", "iperf3", "gnuplot-nox",
                   "strace", "linux-perf", "pen"])
    exe = os.path.abspath(args.tarnwick)
    if os.path.exists(exe):
        built = datetime.datetime.fromtimestamp(os.path.getmtime(exe)).strftime("%Y-%m-%d %H:%M")
        commit = sh(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse",
                     "--short", "HEAD"])
        tarnwick = f"{exe} (built {built}, source at commit {commit or 'unknown'})"
    else:
        tarnwick = f"{exe} — not built, skipped"
    nofile = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    lines = [
        f"- Run: {started:%Y-%m-%d %H:%M} UTC, {cfg.rounds} rounds, relays in a rotating order "
        f"each round, took {elapsed / 60:.1f} min" + (" — **cut short at the time limit**"
                                                      if cut_short else ""),
        f"- Machine: {platform.node()}, {sh(['uname', '-srm'])}, {cpu}, {os.cpu_count()} cores, "
        f"{mem} memory; shared and noisy, so read the spreads",
        f"- Load average before / after: {load_before} / {open('/proc/loadavg').read().split()[0]}",
        f"- Open-files limit for the tools and relays: {nofile}",
        f"- Packages: {versions.rstrip(', ')}",
        f"- tarnwick-pico: {tarnwick}",
    ]
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--quick", dest="mode", action="store_const", const="quick")
    mode.add_argument("--full", dest="mode", action="store_const", const="full")
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--tarnwick", help="the relay's executable (default BUILD/tarnwick-pico)")
    ap.add_argument("--results", default=os.path.join(os.path.dirname(__file__), "..",
                                                      "results"))
    ap.add_argument("--relays", help="comma-separated subset (direct is always run)")
    ap.add_argument("--rounds", type=int)
    ap.add_argument("--part", choices=["all", "tcp", "udp"], default="all",
                    help="the TCP workloads, the UDP ones, or both (default)")
    args = ap.parse_args()
    args.mode = args.mode or "quick"
    args.tarnwick = args.tarnwick or os.path.join(args.build_dir, "tarnwick-pico")
    cfg = Config(args.mode, args.rounds)
    tools = Tools(args.build_dir)
    if args.part != "udp" and tools.missing():
        sys.exit("load tools not built: " + ", ".join(tools.missing()))
    for tool in ("iperf3", "wrk", "nginx", "gnuplot", "timeout"):
        if args.part != "udp" and shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (bench/run.sh installs it)")

    def on_signal(signum, _frame):
        # Once: the clean-up that follows must not be interrupted itself.
        for other in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(other, signal.SIG_IGN)
        raise SystemExit(128 + signum)

    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, on_signal)
    if args.part == "udp":
        run_udp(args)
        return

    results = report.Results()
    all_relays = peers.relays(args.tarnwick)
    wanted = set(args.relays.split(",")) | {"direct"} if args.relays else None
    all_relays = [r for r in all_relays
                  if (r.name in wanted if wanted else not getattr(r, "on_request", False))]
    for r in all_relays:
        why = r.missing()
        if why:
            results.skipped[r.name] = why
            print(f"skipping {r.name}: {why}", flush=True)
    active = [r for r in all_relays if r.name not in results.skipped]

    started = datetime.datetime.utcnow()
    t0 = time.monotonic()
    load_before = open("/proc/loadavg").read().split()[0]
    workdir = tempfile.mkdtemp(prefix="tarnwick-bench-")
    os.chmod(workdir, 0o755)  # nginx workers run as nobody and serve a file from here
    try:
        cut_short = run_rounds(cfg, tools, active, results, workdir, t0)
        write_results(cfg, args, results, [r.name for r in all_relays], started, t0,
                      load_before, cut_short, workdir)
    finally:
        procs.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)
    if args.part == "all":
        run_udp(args)


def run_udp(args):
    """The UDP workloads, with a time budget of their own."""
    budget = 240 if args.mode == "quick" else 900
    workdir = tempfile.mkdtemp(prefix="tarnwick-bench-udp-")
    os.chmod(workdir, 0o755)
    try:
        udp.run(args.mode, args.rounds, args.build_dir, args.results, workdir,
                time.monotonic() + budget)
    finally:
        procs.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)


def run_rounds(cfg, tools, active, results, workdir, t0):
    """Runs every round; True when the time limit cut the run short."""
    try:
        iperf = peers.IperfServer()
        backends = {"iperf": iperf.port, "iperf_server": iperf}
        if not iperf.ensure():
            raise RuntimeError("the iperf3 server did not start")
        backends["http"], backends["http_proxy"], _ = peers.start_http_backend(workdir)
        backends["echo"], _ = peers.start_tool_server(tools.echo, "echo_server")
        backends["hold"], _ = peers.start_tool_server(tools.hold, "hold_server")
        for rnd in range(1, cfg.rounds + 1):
            shift = (rnd - 1) % len(active)
            for relay in active[shift:] + active[:shift]:
                if time.monotonic() - t0 > cfg.budget_seconds:
                    print("time limit reached: no further relays started", flush=True)
                    return True
                t = time.monotonic()
                values, notes = run_relay_round(relay, cfg, tools, backends, workdir)
                results.add(rnd, relay.name, values, notes)
                shown = ", ".join(f"{report.SHORT[k]} {report.fmt(v)}" for k, v in values.items())
                print(f"round {rnd} {relay.name:14} {time.monotonic() - t:5.1f}s  {shown}",
                      flush=True)
                for n in notes:
                    print(f"    {n}", flush=True)
        return False
    finally:
        procs.stop_all()


def write_results(cfg, args, results, names, started, t0, load_before, cut_short, workdir):
    os.makedirs(args.results, exist_ok=True)
    prefix = os.path.join(args.results, cfg.mode)
    elapsed = time.monotonic() - t0
    header = machine_lines(cfg, args, started, elapsed, load_before, cut_short)
    report.write_csv(prefix + "-raw.csv", results)
    report.write_markdown(prefix + "-table.md", results, names, header, cfg)
    heading = (f"Relay benchmark ({cfg.mode}, median of {cfg.rounds} rounds, "
               f"{started:%Y-%m-%d})")
    report.write_chart(prefix + "-chart.png", results, names, heading, workdir,
                       os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "plot.gp"))
    print(f"wrote {prefix}-table.md, {prefix}-chart.png, {prefix}-raw.csv "
          f"({elapsed / 60:.1f} min)", flush=True)


if __name__ == "__main__":
    main()
