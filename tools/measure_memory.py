#!/usr/bin/env python3
"""Figures of the search-memory block, measured on the engine binary.

For each (Hash, Threads) pair: sends the options, then "ucinewgame" followed by "isready"; the
command loop answers "readyok" only after the block is allocated and cleared, so the time to the
answer is the time of the allocation and clearing. Prints that time for two successive
"ucinewgame" commands and the resident memory (VmRSS) after each, next to the block's size.

usage: measure_memory.py ENGINE [HASH:THREADS ...]   (default 1024:2 4096:1 4096:2)
"""
import subprocess
import sys
import time

ENTRY_BYTES = 16


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def wait_for(proc, word):
    while True:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("engine ended early")
        if line.startswith(word):
            return


def measure(engine, hash_mb, threads):
    proc = subprocess.Popen(engine.split(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        def send(text):
            proc.stdin.write(text + "\n")
            proc.stdin.flush()

        send("isready")
        wait_for(proc, "readyok")
        base = vm_rss_kib(proc.pid)
        send(f"setoption name Hash value {hash_mb}")
        send(f"setoption name Threads value {threads}")
        results = []
        for _ in range(2):
            start = time.monotonic()
            send("ucinewgame")
            send("isready")
            wait_for(proc, "readyok")
            results.append((time.monotonic() - start, vm_rss_kib(proc.pid)))
        send("quit")
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    power = 1
    while power * 2 <= hash_mb:
        power *= 2
    table_mib = power
    print(f"Hash {hash_mb} Threads {threads}: a table of {table_mib} MiB ({table_mib * 65536} entries of {ENTRY_BYTES} bytes) asked for")
    print(f"  resident before any allocation: {base / 1024:.1f} MiB")
    for i, (seconds, rss) in enumerate(results, 1):
        print(f"  ucinewgame #{i}: {seconds * 1000:.0f} ms, resident {rss / 1024:.1f} MiB "
              f"(above the start: {(rss - base) / 1024:.1f} MiB)")


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    pairs = sys.argv[2:] or ["1024:2", "4096:1", "4096:2"]
    for pair in pairs:
        hash_mb, threads = (int(x) for x in pair.split(":"))
        measure(sys.argv[1], hash_mb, threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
