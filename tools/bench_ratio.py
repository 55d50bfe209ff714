#!/usr/bin/env python3
"""Search speed against a reference engine, in alternated runs on the same machine.

    python3 tools/bench_ratio.py [--rounds 5] [--depth 16] [--engine ./build/tarnvik]
                                 [--reference /usr/games/stockfish] [--no-reference]

Each round runs, one after the other: the engine's bench with the kernels it picks itself, the same
with TARNVIK_NO_AVX512=1 (AVX2 kernels; skipped when the processor has no AVX-512), and the
reference's "bench 16 1 13" (its own depth 13 bench). Prints every figure as it comes and, at the
end, the medians of each with the ratios to the reference, over elapsed time (the engines' own
nodes/second) and over processor time (the engine's "nodes per processor second"; for the
reference its nodes over the processor time of the run less that of a bare start-up). Alternating
spreads the load of other work on the machine over all three; on a busy machine the processor-time
figures vary less.
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_engine(engine, depth, env):
    p = subprocess.run([engine, "pgo", str(depth)], capture_output=True, text=True, env=env)
    kernels = re.search(r"Evaluation kernels: (\S+)", p.stderr)
    nps = re.search(r"(\d+) nodes/second", p.stderr)
    cpu_nps = re.search(r"(\d+) nodes per processor second", p.stderr)
    nodes = re.search(r"Total nodes searched: (\d+)", p.stdout)
    if p.returncode != 0 or not nps or not nodes or not cpu_nps:
        sys.exit("engine run failed:\n" + p.stderr)
    return int(nps.group(1)), int(cpu_nps.group(1)), int(nodes.group(1)), kernels.group(1) if kernels else "?"


def run_reference(reference):
    """Elapsed-time nodes/second as the reference prints it, and nodes per processor second: its
    nodes over the processor time of the whole run less that of a run that only starts and quits
    (loading its network)."""
    before = children_cpu()
    subprocess.run([reference, "quit"], capture_output=True)
    start_up = children_cpu() - before
    before = children_cpu()
    p = subprocess.run([reference, "bench", "16", "1", "13"], capture_output=True, text=True)
    cpu = children_cpu() - before - start_up
    out = p.stderr + p.stdout
    nps = re.search(r"Nodes/second\s*:\s*(\d+)", out)
    nodes = re.search(r"Nodes searched\s*:\s*(\d+)", out)
    if not nps or not nodes:
        sys.exit("reference run failed:\n" + p.stderr)
    return int(nps.group(1)), int(int(nodes.group(1)) / max(cpu, 1e-3))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--depth", type=int, default=16)
    ap.add_argument("--engine", default="./build/tarnvik")
    ap.add_argument("--reference", default="/usr/games/stockfish")
    ap.add_argument("--no-reference", action="store_true")
    a = ap.parse_args()

    plain_env = {k: v for k, v in os.environ.items() if k != "TARNVIK_NO_AVX512"}
    avx2_env = dict(plain_env, TARNVIK_NO_AVX512="1")
    wall, cpu = {}, {}
    wide_kernels = None

    def record(label, w, c):
        wall.setdefault(label, []).append(w)
        cpu.setdefault(label, []).append(c)

    for r in range(a.rounds):
        w, c, nodes, kernels = run_engine(a.engine, a.depth, plain_env)
        record(f"tarnvik ({kernels})", w, c)
        print(f"round {r + 1}: tarnvik {kernels}: {w} nodes/s, {c} per processor second ({nodes} nodes)", flush=True)
        if kernels != "avx2":
            wide_kernels = kernels
            w, c, nodes2, k2 = run_engine(a.engine, a.depth, avx2_env)
            if nodes2 != nodes:
                sys.exit(f"node counts differ between kernels: {nodes} and {nodes2}")
            record(f"tarnvik ({k2})", w, c)
            print(f"round {r + 1}: tarnvik {k2}: {w} nodes/s, {c} per processor second", flush=True)
        if not a.no_reference:
            w, c = run_reference(a.reference)
            record("reference", w, c)
            print(f"round {r + 1}: reference: {w} nodes/s, {c} per processor second", flush=True)

    print()
    for title, figures in (("elapsed time", wall), ("processor time", cpu)):
        print(f"nodes/second over {title}:")
        ref = figures.get("reference")
        for k, v in figures.items():
            m = statistics.median(v)
            ratio = ""
            if ref and k != "reference":
                # Also the median of the ratios within each round, which the load of the moment
                # affects less when it changes slowly.
                per_round = statistics.median(x / y for x, y in zip(v, ref))
                ratio = f"  ratio {m / statistics.median(ref):.3f} (median of the rounds' ratios {per_round:.3f})"
            print(f"  {k:24s} median {m:>9.0f} over {len(v)} runs{ratio}")
    if wide_kernels is None:
        print("(no AVX-512 on this processor: only the AVX2 kernels ran)")


if __name__ == "__main__":
    main()
