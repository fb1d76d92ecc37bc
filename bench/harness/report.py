"""Turns the per-round figures into the raw CSV, the markdown table and the chart."""

import csv
import os
import statistics
import subprocess

# key, title, unit, higher is better, has a ratio to direct
METRICS = [
    ("bulk_up_gbps", "Bulk throughput, client to server (iperf3, one connection)", "Gbit/s",
     True, True),
    ("bulk_down_gbps", "Bulk throughput, server to client (iperf3 -R)", "Gbit/s", True, True),
    ("http_rps", "HTTP keep-alive, 1 KiB from nginx (wrk -t2 -c64)", "req/s", True, True),
    ("http_p99_ms", "HTTP keep-alive, p99 latency", "ms", False, True),
    ("churn_rps", "Connection churn, Connection: close (wrk -t2 -c64)", "req/s", True, True),
    ("rtt_p50_us", "Round trip of 64-byte messages, p50", "µs", False, True),
    ("rtt_p99_us", "Round trip of 64-byte messages, p99", "µs", False, True),
    ("mem_kib_per_conn", "Idle memory: RSS growth per open relayed connection", "KiB", False,
     False),
    ("conc_ok", "Concurrency: simultaneous connections that echoed", "connections", True, True),
    ("syscalls_per_conn", "Per connection: system calls of the relay (strace -c -f)", "calls",
     False, False),
    ("cpu_us_per_conn", "Per connection: CPU time of the relay (perf stat -e task-clock)", "µs",
     False, False),
    ("xfer_mibps", "Transfer both directions at once, every byte compared", "MiB/s each way",
     True, True),
]

SHORT = {
    "bulk_up_gbps": "bulk up", "bulk_down_gbps": "bulk down", "http_rps": "HTTP keep-alive",
    "http_p99_ms": "HTTP p99", "churn_rps": "churn", "rtt_p50_us": "RTT p50",
    "rtt_p99_us": "RTT p99", "mem_kib_per_conn": "memory/conn", "conc_ok": "concurrency",
    "xfer_mibps": "transfer", "syscalls_per_conn": "calls/conn", "cpu_us_per_conn": "CPU µs/conn",
}


def fmt(v):
    if v is None:
        return "–"
    a = abs(v)
    if a >= 100:
        return f"{v:,.0f}"
    if a >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


class Results:
    """Figures of every round: figures[(round, relay)][metric] = value or None."""

    def __init__(self):
        self.figures = {}
        self.notes = []  # (round, relay, text)
        self.skipped = {}  # relay -> reason

    def add(self, rnd, relay, values, notes):
        self.figures.setdefault((rnd, relay), {}).update(values)
        self.notes.extend((rnd, relay, n) for n in notes)

    def rounds(self):
        return sorted({r for r, _ in self.figures})

    def values(self, relay, metric):
        return [self.figures[(r, relay)].get(metric) for r in self.rounds()
                if (r, relay) in self.figures]

    def ratios(self, relay, metric, invert=False):
        out = []
        for r in self.rounds():
            v = self.figures.get((r, relay), {}).get(metric)
            d = self.figures.get((r, "direct"), {}).get(metric)
            if v is not None and d:
                out.append(d / v if invert else v / d)
        return out


def summary(vals):
    vals = [v for v in vals if v is not None]
    if not vals:
        return None, None, None, 0
    return statistics.median(vals), min(vals), max(vals), len(vals)


def write_csv(path, results):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["round", "relay", "metric", "value", "ratio_to_direct", "note"])
        for (rnd, relay), figs in sorted(results.figures.items()):
            direct = results.figures.get((rnd, "direct"), {})
            for key, *_ in METRICS:
                v = figs.get(key)
                d = direct.get(key)
                ratio = v / d if v is not None and d else None
                w.writerow([rnd, relay, key, "" if v is None else f"{v:.6g}",
                            "" if ratio is None else f"{ratio:.4f}", ""])
        for rnd, relay, text in results.notes:
            w.writerow([rnd, relay, "note", "", "", text])


def write_markdown(path, results, relay_names, header_lines, cfg):
    lines = [f"# Relay benchmark, {cfg.mode} mode", ""]
    lines += header_lines + [""]
    lines += ["Each figure is the median of the rounds, with the spread (min–max) beside it. "
              "\"× direct\" is the relay's figure divided by the direct connection's figure "
              "of the same round (median of the rounds); for latencies and memory lower is "
              "better, for everything else higher is better.", ""]
    if results.skipped:
        lines.append("Skipped relays: " + "; ".join(
            f"**{n}** — {why}" for n, why in results.skipped.items()) + ".")
        lines.append("")

    lines += ["## Summary (median, × direct)", ""]
    cols = [m for m in METRICS]
    lines.append("| Relay | " + " | ".join(f"{SHORT[k]} ({u})"
                                              for k, _, u, _, _ in cols) + " |")
    lines.append("|---" * (len(cols) + 1) + "|")
    for relay in relay_names:
        if relay in results.skipped:
            lines.append(f"| {relay} | " + " | ".join("skipped" for _ in cols) + " |")
            continue
        cells = []
        for key, _, _, _, has_ratio in cols:
            med = summary(results.values(relay, key))[0]
            cell = fmt(med)
            if has_ratio and relay != "direct" and med is not None:
                rmed = summary(results.ratios(relay, key))[0]
                cell += f" ({fmt(rmed)}×)" if rmed is not None else ""
            cells.append(cell)
        lines.append(f"| {relay} | " + " | ".join(cells) + " |")
    lines.append("")

    lines += per_connection_table(results, relay_names)

    for key, title, unit, higher, has_ratio in METRICS:
        lines += [f"## {title}", ""]
        note = cfg.metric_note(key)
        if note:
            lines += [note, ""]
        lines.append(f"| Relay | Median ({unit}) | Spread | × direct | × direct spread | Rounds |")
        lines.append("|---|---:|---|---:|---|---:|")
        for relay in relay_names:
            if relay in results.skipped:
                lines.append(f"| {relay} | skipped | | | | 0 |")
                continue
            med, lo, hi, n = summary(results.values(relay, key))
            rmed, rlo, rhi, _ = summary(results.ratios(relay, key)) if has_ratio else (None,) * 4
            if relay == "direct" and has_ratio and med is not None:
                rmed, rlo, rhi = 1.0, 1.0, 1.0
            spread = f"{fmt(lo)}–{fmt(hi)}" if med is not None else ""
            rspread = f"{fmt(rlo)}–{fmt(rhi)}" if rmed is not None else ""
            lines.append(f"| {relay} | {fmt(med)} | {spread} | {fmt(rmed)} | {rspread} | {n} |")
        lines.append("")

    if results.notes:
        lines += ["## Notes from the runs", ""]
        for rnd, relay, text in results.notes:
            lines.append(f"- round {rnd}, {relay}: {text}")
        lines.append("")
    with open(path, "w") as f:
        f.write("\n".join(lines))


def per_connection_table(results, relay_names):
    """System calls and CPU time per relayed connection side by side, each also against
    the lowest figure among the other relays."""
    keys = ("syscalls_per_conn", "cpu_us_per_conn")
    medians = {r: {k: summary(results.values(r, k))[0] for k in keys}
               for r in relay_names if r not in results.skipped and r != "direct"}
    if not any(v is not None for m in medians.values() for v in m.values()):
        return []
    lines = ["## Per connection (median, spread, × the best other relay)", "",
             "| Relay | System calls | Spread | × best other | CPU µs | Spread | × best other |",
             "|---|---:|---|---:|---:|---|---:|"]
    for relay, m in medians.items():
        cells = []
        for key in keys:
            med, lo, hi, _ = summary(results.values(relay, key))
            others = [o[key] for r, o in medians.items() if r != relay and o[key] is not None]
            best = min(others) if others else None
            ratio = med / best if med is not None and best else None
            cells += [fmt(med), f"{fmt(lo)}–{fmt(hi)}" if med is not None else "", fmt(ratio)]
        lines.append(f"| {relay} | " + " | ".join(cells) + " |")
    return lines + [""]


def write_chart(path, results, relay_names, heading, tmpdir, plot_script):
    chart_metrics = [m for m in METRICS if m[4]]
    ratios_path = os.path.join(tmpdir, "ratios.dat")
    memory_path = os.path.join(tmpdir, "memory.dat")
    with open(ratios_path, "w") as f:
        f.write("relay\t" + "\t".join(SHORT[k] for k, *_ in chart_metrics) + "\n")
        for relay in relay_names:
            if relay == "direct":
                continue
            label = relay + (" (skipped)" if relay in results.skipped else "")
            cells = []
            for key, _, _, higher, _ in chart_metrics:
                med = summary(results.ratios(relay, key, invert=not higher))[0]
                cells.append("?" if med is None else f"{med:.4f}")
            f.write(label + "\t" + "\t".join(cells) + "\n")
    with open(memory_path, "w") as f:
        for relay in relay_names:
            if relay == "direct":
                continue
            med = summary(results.values(relay, "mem_kib_per_conn"))[0]
            label = relay + (" (skipped)" if relay in results.skipped else "")
            f.write(f"{label}\t{'?' if med is None or med <= 0 else f'{med:.3f}'}\n")
    heading = heading.replace("'", "")
    done = subprocess.run(["timeout", "60", "gnuplot", "-e",
                           f"ratios='{ratios_path}'; memory='{memory_path}'; out='{path}'; "
                           f"heading='{heading}'", plot_script],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("gnuplot failed: " + done.stderr.strip()[-500:])
