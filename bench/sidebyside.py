#!/usr/bin/env python3
"""Side-by-side benchmark: tolvek, GStreamer's multiudpsink and a floor relay.

Each run starts one relay pinned to one core, a counting receiver for N
client ports and a paced load generator pinned to the other core, all on
127.0.0.1, and reads the relay's CPU time (utime + stime from /proc/PID/stat)
and peak memory (VmHWM) around the load. The relays take turns on the same
ports. Two phases:

  cpu     a fixed rate per client count; relay CPU seconds per million
          delivered copies, the median of the repeats;
  search  a bounded bisection (on a log scale) for the highest input rate
          that a run delivers to every client without loss (a run that
          loses under 5% is repeated once, and either run may pass), the
          three relays' searches stepping in turn.

Run through scripts/bench, which builds the programs first.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

RELAYS = ["tolvek", "gstreamer", "floor"]
# Fixed rates of the cpu phase, datagrams a second, and the search range.
CPU_RATE = {1: 20000, 8: 8000, 32: 3000}
SEARCH_RANGE = {1: (10000, 400000), 8: (2000, 100000), 32: (500, 30000)}
TICK = os.sysconf("SC_CLK_TCK")


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def bound_udp_ports():
    ports = set()
    for name in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(name) as f:
                next(f)
                for line in f:
                    ports.add(int(line.split()[1].rsplit(":", 1)[1], 16))
        except OSError:
            pass
    return ports


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        # The command may hold blanks: fields count from after its ')'.
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime


def vm_hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def pinned(core):
    return lambda: os.sched_setaffinity(0, {core})


class Bench:
    def __init__(self, args):
        self.a = args
        self.tmp = tempfile.mkdtemp(prefix="tolvek-bench-")
        self.run_id = int(time.time()) & 0xFFFF
        self.binaries = {
            "tolvek": args.tolvek or os.path.join(args.build, "tolvek"),
            "floor": os.path.join(args.build, "floor"),
        }
        self.binaries.update(args.compare)

    def relay_command(self, relay, n):
        a = self.a
        clients = [a.port + 100 + i for i in range(n)]
        if relay == "tolvek" or relay in self.a.compare:
            conf = os.path.join(self.tmp, f"{relay}.conf")
            with open(conf, "w") as f:
                f.write(f"input_port {a.port}\noutput_port {a.port + 1}\nmax_clients {max(32, n)}\n")
                for p in clients:
                    f.write(f"client 127.0.0.1:{p}\n")
            return [self.binaries[relay], conf]
        if relay == "gstreamer":
            sinks = ",".join(f"127.0.0.1:{p}" for p in clients)
            return ["gst-launch-1.0", "-q", "udpsrc", f"port={a.port}", "!", "multiudpsink", f"clients={sinks}"]
        return [self.binaries["floor"], str(a.port)] + [str(p) for p in clients]

    def run_once(self, relay, size, n, rate, seconds):
        """One relay under one load; returns the figures of the run."""
        a = self.a
        count = max(1, int(rate * seconds))
        if a.port in bound_udp_ports():
            raise SystemExit(f"sidebyside: UDP port {a.port} is taken; choose another with --port")
        out = open(os.path.join(self.tmp, f"{relay}.out"), "w")
        proc = subprocess.Popen(self.relay_command(relay, n), stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, preexec_fn=pinned(a.relay_core))
        receiver = None
        try:
            deadline = time.monotonic() + 10
            while a.port not in bound_udp_ports():
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit(f"sidebyside: {relay} did not start; see {out.name}")
                time.sleep(0.01)
            receiver = subprocess.Popen(
                [os.path.join(a.build, "benchreceive"), "--port", str(a.port + 100), "--clients", str(n),
                 "--size", str(size), "--count", str(count), "--run", str(self.run_id),
                 "--seconds", str(seconds + 10)],
                stdout=subprocess.PIPE, text=True, preexec_fn=pinned(a.load_core))
            if receiver.stdout.readline().strip() != "ready":
                raise SystemExit("sidebyside: the receiver did not start")
            time.sleep(0.1)  # the relay settles into its loop
            cpu0 = cpu_seconds(proc.pid)
            gen = subprocess.run(
                [os.path.join(a.build, "loadgen"), "--port", str(a.port), "--size", str(size), "--rate", str(rate),
                 "--count", str(count), "--run", str(self.run_id), "--seconds", str(seconds * 1.5 + 1)],
                capture_output=True, text=True, preexec_fn=pinned(a.load_core))
            receiver.send_signal(signal.SIGUSR1)
            line = receiver.communicate(timeout=seconds + 15)[0].strip()
            cpu1 = cpu_seconds(proc.pid)
            hwm = vm_hwm_kb(proc.pid)
            if proc.poll() is not None:
                raise SystemExit(f"sidebyside: {relay} ended during the run; see {out.name}")
        finally:
            if receiver and receiver.poll() is None:
                receiver.kill()
                receiver.wait()
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            out.close()
        r = dict(kv.split("=") for kv in line.split())
        res = {k: int(r[k]) for k in ("delivered", "lost", "reordered", "duplicated", "altered")}
        res.update(relay=relay, size=size, clients=n, rate=rate, sent=count, cpu=cpu1 - cpu0, hwm_kb=hwm,
                   generator_kept_rate=gen.returncode == 0)
        return res

    def cpu_phase(self, results):
        a = self.a
        for rep in range(a.repeats):
            for size in a.sizes:
                for n in a.clients:
                    order = self.relays[rep % len(self.relays):] + self.relays[:rep % len(self.relays)]
                    for relay in order:
                        r = self.run_once(relay, size, n, CPU_RATE[n], a.cpu_seconds)
                        r["phase"] = "cpu"
                        results.append(r)
                        us = r["cpu"] / max(r["delivered"], 1) * 1e6
                        log(f"cpu    {size:5d} B {n:2d} clients {relay:13s} {us:6.2f} us/copy"
                            f"  lost {r['lost']}  VmHWM {r['hwm_kb']} kB")

    def search_phase(self, results):
        a = self.a
        for size in a.sizes:
            for n in a.clients:
                lo0, hi0 = SEARCH_RANGE[n]
                state = {relay: [lo0, hi0, False] for relay in self.relays}  # lo, hi, any pass
                for step in range(a.steps):
                    order = self.relays[step % len(self.relays):] + self.relays[:step % len(self.relays)]
                    for relay in order:
                        lo, hi, _ = state[relay]
                        rate = int(round((lo * hi) ** 0.5))
                        r = self.run_once(relay, size, n, rate, a.search_seconds)
                        r["phase"] = "search"
                        results.append(r)
                        ok = r["lost"] == 0 and r["altered"] == 0
                        if not ok and r["lost"] <= r["sent"] * n // 20:
                            # A loss of a few percent may be a stall of the machine (a
                            # preempted virtual CPU) rather than the relay's limit: one more
                            # run decides.
                            r = self.run_once(relay, size, n, rate, a.search_seconds)
                            r["phase"] = "search"
                            results.append(r)
                            ok = r["lost"] == 0 and r["altered"] == 0
                        if ok:
                            state[relay] = [rate, hi, True]
                        else:
                            state[relay] = [lo, rate, state[relay][2]]
                        log(f"search {size:5d} B {n:2d} clients {relay:13s} {rate:7d}/s "
                            f"{'lossless' if ok else 'lost ' + str(r['lost'])}"
                            f"{'' if r['generator_kept_rate'] else ' (generator behind)'}")
                for relay in self.relays:
                    lo, hi, passed = state[relay]
                    results.append({"phase": "lossless", "relay": relay, "size": size, "clients": n,
                                    "rate": lo if passed else None, "below": lo0})

    def run(self):
        self.relays = [r for r in RELAYS if r in self.a.relays] + list(self.a.compare)
        results = []
        t0 = time.monotonic()
        if "cpu" in self.a.phases:
            self.cpu_phase(results)
        if "search" in self.a.phases:
            self.search_phase(results)
        log(f"took {time.monotonic() - t0:.0f} s")
        return results


def summarize(results, relays, sizes, clients):
    """Per size, client count and relay: median CPU per million copies,
    lossless rate, peak memory; with the ratios to GStreamer and the floor."""
    rows = []
    for size in sizes:
        for n in clients:
            row = {}
            for relay in relays:
                runs = [r for r in results if r["phase"] == "cpu" and r["relay"] == relay and r["size"] == size
                        and r["clients"] == n]
                cpu = statistics.median(r["cpu"] / r["delivered"] * 1e6 for r in runs) if runs else None
                hwm = max((r["hwm_kb"] for r in results if r.get("hwm_kb") and r["relay"] == relay
                           and r["size"] == size and r["clients"] == n), default=None)
                loss = [r["rate"] for r in results if r["phase"] == "lossless" and r["relay"] == relay
                        and r["size"] == size and r["clients"] == n]
                row[relay] = {"cpu": cpu, "rate": loss[0] if loss else None, "hwm_kb": hwm,
                              "cpu_runs": [round(r["cpu"] / r["delivered"] * 1e6, 3) for r in runs],
                              "lost_in_cpu_runs": sum(r["lost"] for r in runs)}
            rows.append({"size": size, "clients": n, "relays": row})
    return rows


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "-"


def print_table(rows, relays):
    print("| size | clients | relay | CPU s per 1e6 copies | lossless rate /s | VmHWM kB |"
          " CPU vs GStreamer | CPU vs floor | rate vs GStreamer | rate vs floor |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        rel = row["relays"]
        g = rel.get("gstreamer", {})
        f = rel.get("floor", {})
        for relay in relays:
            x = rel[relay]
            cpu = f"{x['cpu']:.2f}" if x["cpu"] is not None else "-"
            rate = f"{x['rate']:,}" if x["rate"] is not None else "-"
            print(f"| {row['size']} | {row['clients']} | {relay} | {cpu} | {rate} | {x['hwm_kb'] or '-'} | "
                  f"{ratio(x['cpu'], g.get('cpu'))} | {ratio(x['cpu'], f.get('cpu'))} | "
                  f"{ratio(x['rate'], g.get('rate'))} | {ratio(x['rate'], f.get('rate'))} |")


def plot(rows, relays, sizes, path):
    """Writes a gnuplot script for the four panels beside the PNG and runs it."""
    script = path[:-4] + ".gp"
    colors = {"tolvek": "#1f77b4", "gstreamer": "#d62728", "floor": "#7f7f7f"}
    others = ["#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf"]
    for i, relay in enumerate(r for r in relays if r not in colors):
        colors[relay] = others[i % len(others)]
    with open(script, "w") as f:
        # One block per relay and size, so that each line is drawn unbroken.
        for relay in relays:
            for size in sizes:
                f.write(f"${relay.replace('-', '_')}_{size} << EOD\n")
                for row in rows:
                    x = row["relays"][relay]
                    if row["size"] == size:
                        cpu = x["cpu"] if x["cpu"] is not None else "NaN"
                        f.write(f"{row['clients']} {cpu} {x['rate'] or 'NaN'}\n")
                f.write("EOD\n")
        f.write(f'set terminal pngcairo size 1100,800 font ",10"\nset output "{path}"\n')
        f.write('set multiplot layout 2,%d title "Relay on 127.0.0.1, one core: tolvek, GStreamer multiudpsink, '
                'floor (poll, recvfrom, one sendto per client)"\n' % len(sizes))
        f.write("set logscale x 2\nset xtics (1, 8, 32)\nset xrange [0.8:40]\nset key top right\nset grid\n"
                "set xlabel 'clients'\n")
        for col, label, logy in ((2, "relay CPU s per million delivered copies", False),
                                 (3, "highest lossless input rate (datagrams/s)", True)):
            for size in sizes:
                f.write("set logscale y\nset yrange [*:*]\n" if logy else "unset logscale y\nset yrange [0:*]\n")
                f.write(f"set ylabel '{label}'\nset title '{size}-byte datagrams'\n")
                parts = [f"${relay.replace('-', '_')}_{size} using 1:{col} with linespoints lw 2 pt 7 "
                         f"lc rgb '{colors[relay]}' title '{relay}'" for relay in relays]
                f.write("plot " + ", \\\n     ".join(parts) + "\n")
        f.write("unset multiplot\n")
    subprocess.run(["gnuplot", script], check=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build-bench", help="directory with tolvek, floor, loadgen, benchreceive")
    p.add_argument("--quick", action="store_true", help="one run per point and a coarser search: about a minute")
    p.add_argument("--port", type=int, default=29000,
                   help="input port; the tolvek output is the next one, clients from PORT+100 (default 29000)")
    p.add_argument("--relays", default=",".join(RELAYS), help="comma-separated subset of " + ",".join(RELAYS))
    p.add_argument("--tolvek", metavar="BINARY", help="the tolvek to measure (default: the build directory's)")
    p.add_argument("--compare", metavar="NAME=BINARY", action="append", default=[],
                   help="add another tolvek build as relay NAME (repeatable)")
    p.add_argument("--sizes", default="172,1328")
    p.add_argument("--clients", default="1,8,32")
    p.add_argument("--phases", default="cpu,search")
    p.add_argument("--repeats", type=int, help="cpu phase runs per point (default 3, quick 1)")
    p.add_argument("--cpu-seconds", type=float, help="length of a cpu phase run (default 3, quick 1)")
    p.add_argument("--steps", type=int, help="bisection steps (default 7, quick 4)")
    p.add_argument("--search-seconds", type=float, help="length of a search run (default 1, quick 0.5)")
    p.add_argument("--relay-core", type=int, default=0)
    p.add_argument("--load-core", type=int, default=1)
    p.add_argument("--out", help="where to write the JSON results and the plot (default: the build directory)")
    a = p.parse_args()
    a.sizes = [int(s) for s in a.sizes.split(",")]
    a.clients = [int(n) for n in a.clients.split(",")]
    a.relays = a.relays.split(",")
    a.compare = dict(c.split("=", 1) for c in a.compare)
    a.phases = a.phases.split(",")
    a.repeats = a.repeats or (1 if a.quick else 3)
    a.cpu_seconds = a.cpu_seconds or (1.0 if a.quick else 3.0)
    a.steps = a.steps or (4 if a.quick else 7)
    a.search_seconds = a.search_seconds or (0.5 if a.quick else 1.0)
    out = a.out or a.build
    for n in a.clients:
        if n not in CPU_RATE:
            raise SystemExit(f"sidebyside: client counts are {sorted(CPU_RATE)}")
    if not 0 < a.port < 32768 - 200:
        raise SystemExit("sidebyside: --port between 1 and 32567, below the ephemeral range")

    load = os.getloadavg()[0]
    if load > 0.5:
        log(f"sidebyside: load average {load:.2f}: other work on this machine will spoil the figures")
    bench = Bench(a)
    results = bench.run()
    rows = summarize(results, bench.relays, a.sizes, a.clients)
    meta = {"date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()), "load_at_start": load,
            "kernel": os.uname().release, "quick": a.quick, "cpu_rate": CPU_RATE, "search_range": SEARCH_RANGE,
            "repeats": a.repeats, "cpu_seconds": a.cpu_seconds, "steps": a.steps,
            "search_seconds": a.search_seconds}
    with open(os.path.join(out, "sidebyside.json"), "w") as f:
        json.dump({"meta": meta, "summary": rows, "runs": results}, f, indent=1)
    print_table(rows, bench.relays)
    if "cpu" in a.phases and "search" in a.phases:
        try:
            plot(rows, bench.relays, a.sizes, os.path.join(out, "sidebyside.png"))
            log(f"plot: {os.path.join(out, 'sidebyside.png')}")
        except (OSError, subprocess.CalledProcessError) as e:
            log(f"sidebyside: no plot ({e})")
    log(f"results: {os.path.join(out, 'sidebyside.json')}")


if __name__ == "__main__":
    main()
