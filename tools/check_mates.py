#!/usr/bin/env python3
"""Runs every "<fen> ;mate N" line through the engine with "go depth min(10+4N, 30)" and
reports how many end with a mate score for the side to move and how many with the exact one.

usage: tools/check_mates.py ENGINE FILE [--threads N]
"""
import subprocess
import sys


def main():
    engine, path = sys.argv[1], sys.argv[2]
    threads = sys.argv[sys.argv.index("--threads") + 1] if "--threads" in sys.argv else "1"
    lines = [l.strip() for l in open(path) if ";mate" in l]
    proc = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def send(cmd):
        proc.stdin.write(cmd + "\n")
        proc.stdin.flush()

    send("uci")
    send(f"setoption name Threads value {threads}")
    found = exact = 0
    for line in lines:
        fen, rest = line.split(";mate")
        n = int(rest.split()[0])
        send("ucinewgame")
        send(f"position fen {fen.strip()}")
        send(f"go depth {min(10 + 4 * n, 30)}")
        last = None
        while True:
            out = proc.stdout.readline()
            if not out:
                sys.exit("engine ended")
            if " score " in out:
                last = out
            if out.startswith("bestmove"):
                break
        words = last.split() if last else []
        got = None
        if "mate" in words:
            got = int(words[words.index("mate") + 1])
        ok_found = got is not None and got > 0
        found += ok_found
        exact += got == n
        status = "exact" if got == n else ("mate" if ok_found else "MISS")
        print(f"{status:5} want {n} got {got} {fen.strip()}")
    send("quit")
    proc.wait()
    print(f"{found}/{len(lines)} mates found, {exact}/{len(lines)} exact")


if __name__ == "__main__":
    main()
