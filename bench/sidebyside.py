#!/usr/bin/env python3
"""Side-by-side benchmark: tolvek, GStreamer's multiudpsink and two floor relays.

Each run starts one relay pinned to one core, a counting receiver for N
client ports and a paced load generator pinned to the other core, all on
127.0.0.1, and reads the relay's CPU time (utime + stime from /proc/PID/stat)
and peak memory (VmHWM) around the load. The relays take turns on the same
ports. floor-a waits with poll, reads with recvfrom and sends one sendto per
client; floor-b reads with recvmmsg and sends the copies of a datagram with
one sendmmsg. Three phases:

  cpu      a fixed rate per client count; relay CPU seconds per million
           delivered copies, the median of the repeats;
  search   a bounded bisection (on a log scale) for the highest input rate
           that a run delivers to every client without loss (a run that
           loses under 5% is repeated once, and either run may pass), the
           relays' searches stepping in turn;
  latency  1,000 datagrams a second of 172 bytes, each stamped with its send
           time; the one-way latency of every delivered copy, from the stamp
           to the kernel's receive time at the client's socket, as p50, p99,
           p99.9 and max, and the spread from a datagram's first copy to its
           last. Run idle, with one busy loop pinned to the relay's core, and
           with many (16); tolvek also as "tolvek-rt", started under
           chrt -f 10 (its real-time mode). The busy loops are bounded
           programs that the run starts and stops.

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

RELAYS = ["tolvek", "gstreamer", "floor-a", "floor-b"]
FLOORS = ["floor-a", "floor-b"]
# Fixed rates of the cpu phase, datagrams a second, and the search range.
# 256 clients is a large table's case, for the latency phase above all.
CPU_RATE = {1: 20000, 8: 8000, 32: 3000, 256: 400}
SEARCH_RANGE = {1: (10000, 400000), 8: (2000, 100000), 32: (500, 30000), 256: (50, 4000)}
# The latency phase: rate and size of the stream, and the priority of the
# real-time mode (chrt -f RT_PRIORITY tolvek FILE).
LATENCY_RATE = 1000
# A large table takes a slower stream: 1,000 datagrams a second to 256
# clients would be more copies than one core makes, and the latency would
# be the queue's.
LATENCY_RATE_FOR = {256: 100}


def latency_rate(n):
    return LATENCY_RATE_FOR.get(n, LATENCY_RATE)

LATENCY_SIZE = 172
RT_PRIORITY = 10
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


def core_jiffies(core):
    """Busy and total clock ticks of one CPU so far (/proc/stat)."""
    with open("/proc/stat") as f:
        for line in f:
            if line.startswith(f"cpu{core} "):
                v = [int(x) for x in line.split()[1:]]
                idle = v[3] + v[4]  # idle, iowait
                return sum(v[:8]) - idle, sum(v[:8])
    return 0, 0


def vm_hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def other_on_core(before, after, relay_cpu):
    """Percent of the relay's core used by anything but the relay (and the
    run's own busy loops, counted in relay_cpu) during a run: what makes a
    figure noisy on a shared machine."""
    busy, total = after[0] - before[0], after[1] - before[1]
    return round(max(0.0, percent(busy - relay_cpu * TICK, total)), 1)


def pinned(core):
    return lambda: os.sched_setaffinity(0, {core})


def pinned_realtime(core, priority):
    """Pinned, and under SCHED_FIFO where the benchmark may set it: a load
    generator that is not preempted between its stamp and its send."""
    def setup():
        os.sched_setaffinity(0, {core})
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
        except OSError:
            pass
    return setup


def pinned_idle(core):
    """Pinned, under SCHED_IDLE: a loop that takes only what nothing else
    wants, so that the core never halts."""
    def setup():
        os.sched_setaffinity(0, {core})
        os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
    return setup


def percent(part, whole):
    return 100.0 * part / whole if whole else 0.0


class Bench:
    def __init__(self, args):
        self.a = args
        self.tmp = tempfile.mkdtemp(prefix="tolvek-bench-")
        self.run_id = int(time.time()) & 0xFFFF
        self.binaries = {
            "tolvek": args.tolvek or os.path.join(args.build, "tolvek"),
            "floor-a": os.path.join(args.build, "floor_a"),
            "floor-b": os.path.join(args.build, "floor_b"),
        }
        self.binaries.update(args.compare)

    def relay_command(self, relay, n):
        a = self.a
        clients = [a.port + 100 + i for i in range(n)]
        if relay.endswith("-rt"):
            # The real-time mode as a user starts it; chrt execs the relay,
            # which keeps chrt's process id.
            return ["chrt", "-f", str(RT_PRIORITY)] + self.relay_command(relay[:-3], n)
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
        return [self.binaries[relay], str(a.port)] + [str(p) for p in clients]

    def start_relay(self, relay, n):
        """Starts the relay pinned to its core and waits until it has bound
        the input port; returns the process and its output file."""
        a = self.a
        if a.port in bound_udp_ports():
            raise SystemExit(f"sidebyside: UDP port {a.port} is taken; choose another with --port")
        out = open(os.path.join(self.tmp, f"{relay}.out"), "w")
        proc = subprocess.Popen(self.relay_command(relay, n), stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, preexec_fn=pinned(a.relay_core))
        deadline = time.monotonic() + 10
        while a.port not in bound_udp_ports():
            if proc.poll() is not None or time.monotonic() > deadline:
                self.stop(proc)
                out.close()
                raise SystemExit(f"sidebyside: {relay} did not start; see {out.name}")
            time.sleep(0.01)
        return proc, out

    @staticmethod
    def stop(proc, kill=False):
        if proc is None or proc.poll() is not None:
            return
        if kill:
            proc.kill()
        else:
            proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def run_once(self, relay, size, n, rate, seconds):
        """One relay under one load; returns the figures of the run."""
        a = self.a
        count = max(1, int(rate * seconds))
        proc, out = self.start_relay(relay, n)
        receiver = None
        try:
            receiver = subprocess.Popen(
                [os.path.join(a.build, "benchreceive"), "--port", str(a.port + 100), "--clients", str(n),
                 "--size", str(size), "--count", str(count), "--run", str(self.run_id),
                 "--seconds", str(seconds + 10)],
                stdout=subprocess.PIPE, text=True, preexec_fn=pinned(a.load_core))
            if receiver.stdout.readline().strip() != "ready":
                raise SystemExit("sidebyside: the receiver did not start")
            time.sleep(0.1)  # the relay settles into its loop
            cpu0 = cpu_seconds(proc.pid)
            core0 = core_jiffies(a.relay_core)
            gen = subprocess.run(
                [os.path.join(a.build, "loadgen"), "--port", str(a.port), "--size", str(size), "--rate", str(rate),
                 "--count", str(count), "--run", str(self.run_id), "--seconds", str(seconds * 1.5 + 1)],
                capture_output=True, text=True, preexec_fn=pinned(a.load_core))
            receiver.send_signal(signal.SIGUSR1)
            line = receiver.communicate(timeout=seconds + 15)[0].strip()
            cpu1 = cpu_seconds(proc.pid)
            core1 = core_jiffies(a.relay_core)
            hwm = vm_hwm_kb(proc.pid)
            if proc.poll() is not None:
                raise SystemExit(f"sidebyside: {relay} ended during the run; see {out.name}")
        finally:
            self.stop(receiver, kill=True)
            self.stop(proc)
            out.close()
        r = dict(kv.split("=") for kv in line.split())
        res = {k: int(r[k]) for k in ("delivered", "lost", "reordered", "duplicated", "altered")}
        res.update(relay=relay, size=size, clients=n, rate=rate, sent=count, cpu=cpu1 - cpu0, hwm_kb=hwm,
                   generator_kept_rate=gen.returncode == 0,
                   core_other_pct=other_on_core(core0, core1, cpu1 - cpu0))
        return res

    def run_latency(self, relay, n, busy, seconds):
        """One relay under the stamped stream, with `busy` bounded busy loops
        pinned to its core; returns the latency figures of the run."""
        a = self.a
        count = max(1, int(latency_rate(n) * seconds))
        proc, out = self.start_relay(relay, n)
        receiver = None
        spinners = []
        try:
            receiver = subprocess.Popen(
                [os.path.join(a.build, "latreceive"), "--port", str(a.port + 100), "--clients", str(n),
                 "--size", str(LATENCY_SIZE), "--count", str(count), "--run", str(self.run_id),
                 "--seconds", str(seconds + 15), "--linger", "1"],
                stdout=subprocess.PIPE, text=True, preexec_fn=pinned(a.load_core))
            if receiver.stdout.readline().strip() != "ready":
                raise SystemExit("sidebyside: the latency receiver did not start")
            # Each busy loop ends by itself a while after the run should have.
            spinners = [subprocess.Popen([os.path.join(a.build, "spin"), str(seconds + 20)],
                                         preexec_fn=pinned(a.relay_core)) for _ in range(busy)]
            if a.keep_core_awake:
                spinners.append(subprocess.Popen([os.path.join(a.build, "spin"), str(seconds + 20)],
                                                 preexec_fn=pinned_idle(a.relay_core)))
            time.sleep(0.2)  # the relay settles; the busy loops take their share
            cpu0 = cpu_seconds(proc.pid)
            core0 = core_jiffies(a.relay_core)
            spin0 = sum(cpu_seconds(s.pid) for s in spinners)
            gen = subprocess.run(
                [os.path.join(a.build, "loadgen"), "--port", str(a.port), "--size", str(LATENCY_SIZE),
                 "--rate", str(latency_rate(n)), "--count", str(count), "--run", str(self.run_id), "--stamp", "1",
                 "--seconds", str(seconds * 1.5 + 1)],
                capture_output=True, text=True, preexec_fn=pinned_realtime(a.load_core, RT_PRIORITY + 10))
            receiver.send_signal(signal.SIGUSR1)
            line = receiver.communicate(timeout=seconds + 20)[0].strip()
            cpu1 = cpu_seconds(proc.pid)
            core1 = core_jiffies(a.relay_core)
            spin1 = sum(cpu_seconds(s.pid) for s in spinners)
            if proc.poll() is not None:
                raise SystemExit(f"sidebyside: {relay} ended during the run; see {out.name}")
        finally:
            for s in spinners:
                self.stop(s, kill=True)
            self.stop(receiver, kill=True)
            self.stop(proc)
            out.close()
        r = dict(kv.split("=") for kv in line.split())
        res = {k: int(r[k]) for k in ("delivered", "lost", "duplicated", "altered", "spread_datagrams")}
        res.update({k: float(r[k]) for k in ("p50", "p90", "p99", "p999", "max", "spread_p50", "spread_p99",
                                             "spread_max")})
        res.update(phase="latency", relay=relay, size=LATENCY_SIZE, clients=n, busy=busy, rate=latency_rate(n),
                   sent=count, cpu=cpu1 - cpu0, generator_kept_rate=gen.returncode == 0,
                   core_other_pct=other_on_core(core0, core1, cpu1 - cpu0 + spin1 - spin0))
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
                            f"  lost {r['lost']}  VmHWM {r['hwm_kb']} kB  others on the core"
                            f" {r['core_other_pct']:.0f}%")

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

    def latency_relays(self, busy):
        """Every relay, and tolvek in its real-time mode; under many busy
        loops only tolvek in both modes (the others fall as far behind as
        tolvek's default mode, and the core is not held longer than needed)."""
        tolveks = [r for r in self.relays if r == "tolvek" or r in self.a.compare]
        modes = [x for r in tolveks for x in (r, r + "-rt")]
        if busy > 1:
            return modes
        return modes + [r for r in self.relays if r not in tolveks]

    def latency_phase(self, results):
        a = self.a
        for busy in a.busy:
            for n in a.clients:
                for relay in self.latency_relays(busy):
                    r = self.run_latency(relay, n, busy, a.latency_seconds)
                    results.append(r)
                    log(f"latency {busy:2d} busy {n:2d} clients {relay:13s} p50 {r['p50']:8.1f} p99 {r['p99']:8.1f}"
                        f" p99.9 {r['p999']:8.1f} max {r['max']:8.1f} us  delivered "
                        f"{percent(r['delivered'], r['sent'] * n):.1f}%"
                        f"{'' if r['generator_kept_rate'] else ' (generator behind)'}")

    def run(self):
        self.relays = [r for r in RELAYS if r in self.a.relays] + list(self.a.compare)
        results = []
        t0 = time.monotonic()
        if "cpu" in self.a.phases:
            self.cpu_phase(results)
        if "search" in self.a.phases:
            self.search_phase(results)
        if "latency" in self.a.phases:
            self.latency_phase(results)
        log(f"took {time.monotonic() - t0:.0f} s")
        return results


def summarize(results, relays, sizes, clients):
    """Per size, client count and relay: median CPU per million copies,
    lossless rate, peak memory."""
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


def latency_rows(results):
    """The latency runs in the order they ran: one row per busy loops,
    clients and relay."""
    return [r for r in results if r["phase"] == "latency"]


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "-"


def print_table(rows, relays):
    print("| size | clients | relay | CPU s per 1e6 copies | lossless rate /s | VmHWM kB |"
          " CPU vs GStreamer | CPU vs floor-a | CPU vs floor-b |"
          " rate vs GStreamer | rate vs floor-a | rate vs floor-b |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        rel = row["relays"]
        refs = [rel.get(r, {}) for r in ("gstreamer", "floor-a", "floor-b")]
        for relay in relays:
            x = rel[relay]
            cpu = f"{x['cpu']:.2f}" if x["cpu"] is not None else "-"
            rate = f"{x['rate']:,}" if x["rate"] is not None else "-"
            print(f"| {row['size']} | {row['clients']} | {relay} | {cpu} | {rate} | {x['hwm_kb'] or '-'} | " +
                  " | ".join(ratio(x["cpu"], g.get("cpu")) for g in refs) + " | " +
                  " | ".join(ratio(x["rate"], g.get("rate")) for g in refs) + " |")


def load_name(busy):
    return "idle" if busy == 0 else f"{busy} busy loop{'s' if busy > 1 else ''}"


def print_latency_tables(lat):
    print()
    print("| load on the relay's core | clients | relay | delivered | p50 us | p99 us | p99.9 us | max us |"
          " p99 vs floor-b | relay CPU us per copy |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for r in lat:
        fb = [x for x in lat if x["relay"] == "floor-b" and x["busy"] == r["busy"] and x["clients"] == r["clients"]]
        cpu = r["cpu"] / r["delivered"] * 1e6 if r["delivered"] else None
        print(f"| {load_name(r['busy'])} | {r['clients']} | {r['relay']} | "
              f"{percent(r['delivered'], r['sent'] * r['clients']):.1f}% | {r['p50']:,.1f} | {r['p99']:,.1f} | "
              f"{r['p999']:,.1f} | {r['max']:,.1f} | {ratio(r['p99'], fb[0]['p99'] if fb else None)} | "
              f"{f'{cpu:.2f}' if cpu is not None else '-'} |")
    wide = [r for r in lat if r["clients"] > 1]
    if not wide:
        return
    print()
    print("| load on the relay's core | clients | relay | spread p50 us | spread p99 us | spread max us |"
          " spread p50 per further copy, us |")
    print("|---|---:|---|---:|---:|---:|---:|")
    for r in wide:
        if r["clients"] != max(x["clients"] for x in wide):
            continue
        print(f"| {load_name(r['busy'])} | {r['clients']} | {r['relay']} | {r['spread_p50']:,.1f} | "
              f"{r['spread_p99']:,.1f} | {r['spread_max']:,.1f} | {r['spread_p50'] / (r['clients'] - 1):.2f} |")


def targets(rows, lat):
    """The performance targets against this run's figures: (target, figures,
    met), met None where a figure is missing (a search that never passed)."""
    out = []

    def cell(row, relay, key):
        return row["relays"].get(relay, {}).get(key)

    def against(what, pairs, fmt, test):
        """pairs: (clients, tolvek's figure, the other's figure)."""
        if not pairs:
            return
        known = [(n, t, o) for n, t, o in pairs if t is not None and o]
        figures = ", ".join(fmt(n, t, o) if t is not None and o else f"{n}: -" for n, t, o in pairs)
        out.append((what, figures, all(test(t, o) for _, t, o in known) if len(known) == len(pairs) else None))

    for size in sorted({row["size"] for row in rows}):
        sized = [row for row in rows if row["size"] == size]
        ratio_of = lambda n, t, o: f"{n}: {t / o:.2f}x"
        against(f"{size} B: CPU per copy at most 1.1x floor-b's at 8 and 32 clients",
                [(row["clients"], cell(row, "tolvek", "cpu"), cell(row, "floor-b", "cpu")) for row in sized
                 if row["clients"] in (8, 32)], ratio_of, lambda t, o: t / o <= 1.1)
        against(f"{size} B: CPU per copy below GStreamer's at 1, 8 and 32 clients",
                [(row["clients"], cell(row, "tolvek", "cpu"), cell(row, "gstreamer", "cpu")) for row in sized],
                ratio_of, lambda t, o: t < o)
        against(f"{size} B: highest lossless rate at least GStreamer's",
                [(row["clients"], cell(row, "tolvek", "rate"), cell(row, "gstreamer", "rate")) for row in sized],
                ratio_of, lambda t, o: t >= o)

    def pick(relay, busy, n):
        x = [r for r in lat if r["relay"] == relay and r["busy"] == busy and r["clients"] == n]
        return x[0] if x else None

    def delivered(n, x):
        return f"{n}: {percent(x['delivered'], x['sent'] * n):.2f}%"

    counts = sorted({r["clients"] for r in lat})
    idle = [(n, pick("tolvek", 0, n), pick("floor-b", 0, n)) for n in counts]
    if idle and all(t and b for _, t, b in idle):
        out.append(("idle: tolvek's p99 at most 1.1x floor-b's",
                    ", ".join(f"{n}: {t['p99']:.0f} / {b['p99']:.0f} us = {t['p99'] / b['p99']:.2f}x"
                              for n, t, b in idle),
                    all(t["p99"] <= 1.1 * b["p99"] for _, t, b in idle)))
    busies = sorted({r["busy"] for r in lat})
    for busy in [b for b in busies if b == 1]:
        rt = [(n, pick("tolvek-rt", busy, n), pick("tolvek", busy, n)) for n in counts]
        if not rt or not all(x and d for _, x, d in rt):
            continue
        out.append(("one busy loop: the real-time mode delivers 100%",
                    ", ".join(delivered(n, x) for n, x, _ in rt), all(x["lost"] == 0 for _, x, _ in rt)))
        out.append(("one busy loop: real-time p99 at most 500 us",
                    ", ".join(f"{n}: {x['p99']:.0f} us" for n, x, _ in rt), all(x["p99"] <= 500 for _, x, _ in rt)))
        out.append(("one busy loop: real-time p99.9 at most 1,000 us",
                    ", ".join(f"{n}: {x['p999']:.0f} us" for n, x, _ in rt),
                    all(x["p999"] <= 1000 for _, x, _ in rt)))
        out.append(("one busy loop: real-time p99.9 at least 5x lower than the default mode's",
                    ", ".join(f"{n}: {d['p999']:.0f} / {x['p999']:.0f} us = {d['p999'] / x['p999']:.1f}x"
                              for n, x, d in rt),
                    all(d["p999"] >= 5 * x["p999"] for _, x, d in rt)))
    for busy in [b for b in busies if b > 1]:
        rt = [(n, pick("tolvek-rt", busy, n), pick("tolvek", busy, n)) for n in counts]
        if not rt or not all(x for _, x, _ in rt):
            continue
        out.append((f"{busy} busy loops: the real-time mode delivers 100%",
                    ", ".join(delivered(n, x) + (f" (default mode {percent(d['delivered'], d['sent'] * n):.1f}%)"
                                                 if d else "") for n, x, d in rt),
                    all(x["lost"] == 0 for _, x, _ in rt)))
    return out


def print_targets(rows, lat):
    t = targets(rows, lat)
    if not t:
        return
    print()
    print("| target | this run | met? |")
    print("|---|---|---|")
    for what, figures, met in t:
        print(f"| {what} | {figures} | {'-' if met is None else 'yes' if met else 'no'} |")


COLORS = {"tolvek": "#1f77b4", "tolvek-rt": "#17becf", "gstreamer": "#d62728", "floor-a": "#7f7f7f",
          "floor-b": "#000000"}
OTHER_COLORS = ["#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#bcbd22"]


def colors_for(relays):
    colors = dict(COLORS)
    for i, relay in enumerate(r for r in relays if r not in colors):
        colors[relay] = OTHER_COLORS[i % len(OTHER_COLORS)]
    return colors


def block(name):
    return "$" + name.replace("-", "_")


def plot(rows, relays, sizes, path):
    """Writes a gnuplot script for the four panels beside the PNG and runs it."""
    script = path[:-4] + ".gp"
    colors = colors_for(relays)
    with open(script, "w") as f:
        # One block per relay and size, so that each line is drawn unbroken.
        for relay in relays:
            for size in sizes:
                f.write(f"{block(relay)}_{size} << EOD\n")
                for row in rows:
                    x = row["relays"][relay]
                    if row["size"] == size:
                        cpu = x["cpu"] if x["cpu"] is not None else "NaN"
                        f.write(f"{row['clients']} {cpu} {x['rate'] or 'NaN'}\n")
                f.write("EOD\n")
        f.write(f'set terminal pngcairo size 1100,800 font ",10"\nset output "{path}"\n')
        f.write('set multiplot layout 2,%d title "Relay on 127.0.0.1, one core: tolvek, GStreamer multiudpsink, '
                'floor-a (poll, recvfrom, sendto), floor-b (recvmmsg, sendmmsg)"\n' % len(sizes))
        f.write("set logscale x 2\nset xtics (1, 8, 32)\nset xrange [0.8:40]\nset key top right\nset grid\n"
                "set xlabel 'clients'\n")
        for col, label, logy in ((2, "relay CPU s per million delivered copies", False),
                                 (3, "highest lossless input rate (datagrams/s)", True)):
            for size in sizes:
                f.write("set logscale y\nset yrange [*:*]\n" if logy else "unset logscale y\nset yrange [0:*]\n")
                f.write(f"set ylabel '{label}'\nset title '{size}-byte datagrams'\n")
                parts = [f"{block(relay)}_{size} using 1:{col} with linespoints lw 2 pt 7 "
                         f"lc rgb '{colors[relay]}' title '{relay}'" for relay in relays]
                f.write("plot " + ", \\\n     ".join(parts) + "\n")
        f.write("unset multiplot\n")
    subprocess.run(["gnuplot", script], check=True)


def plot_latency(lat, path):
    """One panel per load on the relay's core: p99 (solid) and p99.9
    (dashed) against the number of clients, per relay, on a log scale."""
    script = path[:-4] + ".gp"
    relays = list(dict.fromkeys(r["relay"] for r in lat))
    busies = sorted({r["busy"] for r in lat})
    colors = colors_for(relays)
    with open(script, "w") as f:
        for busy in busies:
            for relay in relays:
                f.write(f"{block(relay)}_{busy} << EOD\n")
                for r in lat:
                    if r["relay"] == relay and r["busy"] == busy:
                        f.write(f"{r['clients']} {r['p99']} {r['p999']}\n")
                f.write("EOD\n")
        f.write(f'set terminal pngcairo size {420 * len(busies)},520 font ",10"\nset output "{path}"\n')
        f.write(f'set multiplot layout 1,{len(busies)} title "One-way latency through the relay, '
                f'{LATENCY_RATE:,} datagrams/s of {LATENCY_SIZE} bytes: p99 (solid) and p99.9 (dashed)"\n')
        f.write("set logscale x 2\nset xtics (1, 8, 32)\nset xrange [0.8:40]\nset logscale y\nset format y '%g'\n"
                "set key top left font ',8'\nset grid\nset xlabel 'clients'\nset ylabel 'microseconds'\n")
        for busy in busies:
            f.write(f'set title "{load_name(busy)} on the relay\'s core"\n')
            parts = []
            for relay in relays:
                if not any(r["relay"] == relay and r["busy"] == busy for r in lat):
                    continue
                parts.append(f"{block(relay)}_{busy} using 1:2 with linespoints lw 2 pt 7 lc rgb '{colors[relay]}' "
                             f"title '{relay}'")
                parts.append(f"{block(relay)}_{busy} using 1:3 with linespoints lw 1 dt 2 pt 6 "
                             f"lc rgb '{colors[relay]}' notitle")
            f.write("plot " + ", \\\n     ".join(parts) + "\n")
        f.write("unset multiplot\n")
    subprocess.run(["gnuplot", script], check=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build-bench",
                   help="directory with tolvek, floor_a, floor_b, loadgen, benchreceive, latreceive, spin")
    p.add_argument("--quick", action="store_true",
                   help="one run per point, a coarser search and short latency runs: about three minutes")
    p.add_argument("--port", type=int, default=29000,
                   help="input port; the tolvek output is the next one, clients from PORT+100 (default 29000)")
    p.add_argument("--relays", default=",".join(RELAYS), help="comma-separated subset of " + ",".join(RELAYS))
    p.add_argument("--tolvek", metavar="BINARY", help="the tolvek to measure (default: the build directory's)")
    p.add_argument("--compare", metavar="NAME=BINARY", action="append", default=[],
                   help="add another tolvek build as relay NAME (repeatable)")
    p.add_argument("--sizes", default="172,1328")
    p.add_argument("--clients", default="1,8,32")
    p.add_argument("--phases", default="cpu,search,latency", help="any of cpu,search,latency")
    p.add_argument("--repeats", type=int, help="cpu phase runs per point (default 3, quick 1)")
    p.add_argument("--cpu-seconds", type=float, help="length of a cpu phase run (default 3, quick 1)")
    p.add_argument("--steps", type=int, help="bisection steps (default 7, quick 4)")
    p.add_argument("--search-seconds", type=float, help="length of a search run (default 1, quick 0.5)")
    p.add_argument("--latency-seconds", type=float, help="length of a latency run (default 5, quick 1.5)")
    p.add_argument("--busy", default="0,1,16",
                   help="latency phase: numbers of busy loops on the relay's core, one condition each "
                        "(default 0,1,16)")
    p.add_argument("--keep-core-awake", action="store_true",
                   help="latency phase: one more loop on the relay's core under SCHED_IDLE, which takes only "
                        "idle time, so that a virtual machine's core never halts and the figures leave out "
                        "the hypervisor's wake-up of it")
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
    a.latency_seconds = a.latency_seconds or (1.5 if a.quick else 5.0)
    a.busy = [int(b) for b in a.busy.split(",")]
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
            "search_seconds": a.search_seconds, "latency_rate": LATENCY_RATE, "latency_size": LATENCY_SIZE,
            "latency_seconds": a.latency_seconds, "busy": a.busy, "rt_priority": RT_PRIORITY,
            "keep_core_awake": a.keep_core_awake,
            "load_at_end": os.getloadavg()[0]}
    lat = latency_rows(results)
    with open(os.path.join(out, "sidebyside.json"), "w") as f:
        json.dump({"meta": meta, "summary": rows, "runs": results}, f, indent=1)
    if "cpu" in a.phases or "search" in a.phases:
        print_table(rows, bench.relays)
    if lat:
        print_latency_tables(lat)
    print_targets(rows, lat)
    other = [r["core_other_pct"] for r in results if "core_other_pct" in r]
    if other:
        log(f"other work on the relay's core during the runs: median {statistics.median(other):.1f}%"
            f", highest {max(other):.1f}%; load average {load:.2f} at the start, {meta['load_at_end']:.2f} at the end")
    if "cpu" in a.phases and "search" in a.phases:
        try:
            plot(rows, bench.relays, a.sizes, os.path.join(out, "sidebyside.png"))
            log(f"plot: {os.path.join(out, 'sidebyside.png')}")
        except (OSError, subprocess.CalledProcessError) as e:
            log(f"sidebyside: no plot ({e})")
    if lat:
        try:
            plot_latency(lat, os.path.join(out, "latency.png"))
            log(f"plot: {os.path.join(out, 'latency.png')}")
        except (OSError, subprocess.CalledProcessError) as e:
            log(f"sidebyside: no latency plot ({e})")
    log(f"results: {os.path.join(out, 'sidebyside.json')}")


if __name__ == "__main__":
    main()
