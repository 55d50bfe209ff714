#!/usr/bin/env python3
"""Search speed against a reference engine, in alternated runs on the same machine.

    python3 tools/bench_ratio.py [--rounds 5] [--depth 16] [--engine ./build/tarnvik]
                                 [--reference /usr/games/stockfish] [--no-reference]

Each round runs, one after the other: the engine's bench with the kernels it picks itself, the same
with TARNVIK_NO_AVX512=1 (AVX2 kernels; skipped when the processor has no AVX-512), and the
reference's "bench 16 1 13" (its own depth 13 bench). Prints every figure as it comes and, at the
end, the median nodes/second of each with the ratios to the reference. Alternating spreads the
load of other work on the machine over all three.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys


def run_engine(engine, depth, env):
    p = subprocess.run([engine, "pgo", str(depth)], capture_output=True, text=True, env=env)
    kernels = re.search(r"Evaluation kernels: (\S+)", p.stderr)
    nps = re.search(r"(\d+) nodes/second", p.stderr)
    nodes = re.search(r"Total nodes searched: (\d+)", p.stdout)
    if p.returncode != 0 or not nps or not nodes:
        sys.exit("engine run failed:\n" + p.stderr)
    return int(nps.group(1)), int(nodes.group(1)), kernels.group(1) if kernels else "?"


def run_reference(reference):
    p = subprocess.run([reference, "bench", "16", "1", "13"], capture_output=True, text=True)
    nps = re.search(r"Nodes/second\s*:\s*(\d+)", p.stderr + p.stdout)
    if not nps:
        sys.exit("reference run failed:\n" + p.stderr)
    return int(nps.group(1))


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
    figures = {}
    wide_kernels = None
    for r in range(a.rounds):
        nps, nodes, kernels = run_engine(a.engine, a.depth, plain_env)
        figures.setdefault(f"tarnvik ({kernels})", []).append(nps)
        print(f"round {r + 1}: tarnvik {kernels}: {nps} nodes/s ({nodes} nodes)", flush=True)
        if kernels != "avx2":
            wide_kernels = kernels
            nps, nodes2, k2 = run_engine(a.engine, a.depth, avx2_env)
            if nodes2 != nodes:
                sys.exit(f"node counts differ between kernels: {nodes} and {nodes2}")
            figures.setdefault(f"tarnvik ({k2})", []).append(nps)
            print(f"round {r + 1}: tarnvik {k2}: {nps} nodes/s", flush=True)
        if not a.no_reference:
            nps = run_reference(a.reference)
            figures.setdefault("reference", []).append(nps)
            print(f"round {r + 1}: reference: {nps} nodes/s", flush=True)

    print()
    medians = {k: statistics.median(v) for k, v in figures.items()}
    ref = medians.get("reference")
    for k, m in medians.items():
        ratio = f"  ratio {m / ref:.3f}" if ref and k != "reference" else ""
        print(f"{k:24s} median {m:>9.0f} nodes/s over {len(figures[k])} runs{ratio}")
    if wide_kernels is None and not a.no_reference:
        print("(no AVX-512 on this processor: only the AVX2 kernels ran)")


if __name__ == "__main__":
    main()
