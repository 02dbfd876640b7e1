#!/usr/bin/env python3
"""Reads what scripts/bench.sh collected, prints each figure beside its limit, writes the
results as JSON and plots batch latency (the library against a minimal service and against
zolta-smbusd, and the ping-pong) with gnuplot."""
import argparse
import json
import os
import platform
import re
import subprocess

RATIO_LIMIT = 1.2
SYSCALL_LIMIT = 2
INSTRUCTION_LIMIT = 2000


def read(path):
    with open(path) as f:
        return f.read()


def syscalls_per_call(strace_text, calls):
    lines = strace_text.splitlines()
    begin = next(i for i, l in enumerate(lines) if '"zl-perf-begin"' in l)
    end = next(i for i, l in enumerate(lines) if '"zl-perf-end"' in l)
    names = {}
    for line in lines[begin + 1:end]:
        m = re.match(r"(\w+)\(", line)
        if m:
            names[m.group(1)] = names.get(m.group(1), 0) + 1
    return sum(names.values()) / calls, {k: v / calls for k, v in names.items()}


def syscalls_per_request(strace_text, requests):
    names = {}
    for line in strace_text.splitlines():
        m = re.match(r"(\w+)\(", line)
        if m and m.group(1) != "restart_syscall":  # the wait strace found it in
            names[m.group(1)] = names.get(m.group(1), 0) + 1
    return sum(names.values()) / requests, {k: v / requests for k, v in names.items()}


def instructions_per_call(callgrind_text, calls):
    m = re.search(r"^(?:summary|totals):\s+(\d+)", callgrind_text, re.M)
    return int(m.group(1)) / calls


def machine():
    model = "unknown CPU"
    for line in read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release()}


def plot(latency, path, work):
    data = os.path.join(work, "latency.dat")
    with open(data, "w") as f:
        for b in latency["batches"]:
            f.write(f'{b["reads"]} {b["library_ns"] / 1000:.3f} {b["pingpong_ns"] / 1000:.3f} '
                    f'{b["library_smbusd_ns"] / 1000:.3f}\n')
    script = f"""
set terminal pngcairo size 800,480 font ",10"
set output "{path}"
set title "One SMBus batch: library vs tight Unix-socket ping-pong of the same frames"
set xlabel "reads in the batch"
set ylabel "microseconds per batch (median)"
set logscale x 2
set key top left
set grid
plot "{data}" using 1:2 with linespoints title "library (HAM + ZLSocket), minimal service", \\
     "{data}" using 1:4 with linespoints title "library (HAM + ZLSocket), zolta-smbusd", \\
     "{data}" using 1:3 with linespoints title "ping-pong (echo in a forked process)"
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--plot", required=True)
    ap.add_argument("--pinned", default="", help="the core the latency rounds ran on, if one")
    a = ap.parse_args()
    w = a.work

    latency = json.loads(read(os.path.join(w, "latency.json")))
    loop_calls = 2000
    sys_total, sys_names = syscalls_per_call(read(os.path.join(w, "strace.txt")), loop_calls)
    cg_calls = json.loads(read(os.path.join(w, "callgrind-loop.json")))["callbacks"]
    instr = instructions_per_call(read(os.path.join(w, "callgrind.out")), cg_calls)
    svc_requests = json.loads(read(os.path.join(w, "smbusd-loop.json")))["callbacks"]
    svc_instr = instructions_per_call(read(os.path.join(w, "smbusd-callgrind.out")), svc_requests)
    svc_sys_total, svc_sys_names = syscalls_per_request(read(os.path.join(w, "smbusd-strace.txt")), svc_requests)

    def board(name):
        trips = int(read(os.path.join(w, name + ".trips")).strip() or 0)
        rss = int(read(os.path.join(w, name + ".rss")).strip().splitlines()[-1])
        return trips, rss

    show_trips, show_rss = board("show")
    w1_trips, w1_rss = board("watch1")
    w3_trips, w3_rss = board("watch3")
    sweep_trips = (w3_trips - w1_trips) / 2

    results = {
        "machine": machine(),
        "latency_pinned_cpu": a.pinned,
        "callback_ns": latency["callback_ns"],
        "callback_pingpong_ns": latency["callback_pingpong_ns"],
        "callback_ratio": latency["callback_ratio"],
        "callback_smbusd_ns": latency["callback_smbusd_ns"],
        "callback_smbusd_ratio": latency["callback_smbusd_ratio"],
        "syscalls_per_callback": sys_total,
        "syscalls_by_name": sys_names,
        "instructions_per_callback": round(instr),
        "callback_pollpong_ns": latency["callback_pollpong_ns"],
        "callback_smbusd_pollpong_ratio": latency["callback_smbusd_pollpong_ratio"],
        "service_instructions_per_request": round(svc_instr),
        "service_syscalls_per_request": svc_sys_total,
        "service_syscalls_by_name": svc_sys_names,
        "show_round_trips": show_trips,
        "sweep_round_trips": sweep_trips,
        "host_peak_rss_kib": max(show_rss, w3_rss),
        "batches": latency["batches"],
    }
    with open(a.out, "w") as f:
        json.dump(results, f, indent=2)
    plot(latency, a.plot, w)

    def row(name, value, limit, ok):
        print(f"  {name:<52} {value:>14}  {limit:<14} {'ok' if ok is True else ('OVER' if ok is False else '')}")

    m = results["machine"]
    print(f"machine: {m['cpu']}, nproc {m['nproc']}, kernel {m['kernel']}"
          + (f"; latency rounds on cpu {a.pinned}" if a.pinned else ""))
    print(f"  {'figure':<52} {'measured':>14}  {'limit':<14}")
    row("tight ping-pong, same frames (median, us)", f"{latency['callback_pingpong_ns'] / 1000:.2f}", "", None)
    row("single-read callback, minimal service (median, us)", f"{latency['callback_ns'] / 1000:.2f}", "", None)
    row("  callback / ping-pong (median of rounds)", f"{latency['callback_ratio']:.2f}x",
        f"<= {RATIO_LIMIT}x", latency["callback_ratio"] <= RATIO_LIMIT)
    row("single-read callback, zolta-smbusd (median, us)", f"{latency['callback_smbusd_ns'] / 1000:.2f}", "", None)
    row("  callback / ping-pong (median of rounds)", f"{latency['callback_smbusd_ratio']:.2f}x",
        "(no limit)", None)
    row("  callback / ping-pong whose echo waits in poll()",
        f"{latency['callback_smbusd_pollpong_ratio']:.2f}x", "", None)
    detail = ", ".join(f"{k} {v:g}" for k, v in sorted(sys_names.items()))
    row("system calls per callback", f"{sys_total:g}", f"<= {SYSCALL_LIMIT}", sys_total <= SYSCALL_LIMIT)
    print(f"    ({detail})")
    row("user instructions per callback (library)", f"{instr:.0f}", f"<= {INSTRUCTION_LIMIT}",
        instr <= INSTRUCTION_LIMIT)
    row("zolta-smbusd user instructions per request", f"{svc_instr:.0f}", "", None)
    detail = ", ".join(f"{k} {v:.2g}" for k, v in sorted(svc_sys_names.items()))
    row("zolta-smbusd system calls per request", f"{svc_sys_total:.2f}", "", None)
    print(f"    ({detail})")
    row("bus round trips: zolta-host show (add + report)", f"{show_trips}", "", None)
    row("bus round trips: one status sweep (watch report)", f"{sweep_trips:g}", "", None)
    row("zolta-host peak RSS, full board (KiB)", f"{results['host_peak_rss_kib']}", "", None)
    print("  batch latency (median us), library against the minimal service and against zolta-smbusd:")
    print("    reads  minimal  ratio  smbusd  ratio  ping-pong")
    for b in latency["batches"]:
        pong = b["pingpong_ns"]
        print(f"    {b['reads']:>5} {b['library_ns'] / 1000:>8.2f} {b['library_ns'] / pong:>6.2f} "
              f"{b['library_smbusd_ns'] / 1000:>7.2f} {b['library_smbusd_ns'] / pong:>6.2f} {pong / 1000:>10.2f}")
    print(f"results: {a.out}\nplot: {a.plot}")


if __name__ == "__main__":
    main()
