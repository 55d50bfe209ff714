#!/usr/bin/env python3
"""Time actually used by "go movetime T", measured from sending "go" to reading "bestmove".

For each MoveOverhead value and each movetime, searches a few fixed positions (each after
"ucinewgame", so no search profits from the one before) and prints the least, median and largest
time used in ms, and the median depth of the last "info" line.

usage: measure_movetime.py ENGINE [--overhead 100,10,0] [--movetime 100,1000,5000] [--repeat 3]
"""
import argparse
import statistics
import subprocess
import time

POSITIONS = [
    "startpos",
    "fen r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4",
    "fen 2r2rk1/pp1bqppp/2n1pn2/3p4/2PP4/2N1PN2/PP2BPPP/R2QK2R w KQ - 0 10",
    "fen 8/5pk1/6p1/3R4/7P/6P1/r4PK1/8 b - - 0 40",
]


def split_ints(text):
    return [int(x) for x in text.split(",") if x]


class Engine:
    def __init__(self, command):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def send(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def read_until(self, word):
        depth = 0
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("engine ended early")
            if line.startswith("info ") and " depth " in line:
                depth = int(line.split(" depth ")[1].split()[0])
            if line.startswith(word):
                return depth

    def close(self):
        self.send("quit")
        self.proc.wait(timeout=30)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("engine", nargs="+")
    ap.add_argument("--overhead", type=split_ints, default=[100, 10, 0])
    ap.add_argument("--movetime", type=split_ints, default=[100, 1000, 5000])
    ap.add_argument("--repeat", type=int, default=1, help="rounds over the positions")
    args = ap.parse_args()

    print("MoveOverhead  movetime  used ms: min  median  max   median depth   searches")
    for overhead in args.overhead:
        engine = Engine(args.engine)
        engine.send("uci")
        engine.read_until("uciok")
        engine.send(f"setoption name MoveOverhead value {overhead}")
        for movetime in args.movetime:
            used, depths = [], []
            for _ in range(args.repeat):
                for position in POSITIONS:
                    engine.send("ucinewgame")
                    engine.send(f"position {position}")
                    engine.send("isready")
                    engine.read_until("readyok")
                    start = time.monotonic()
                    engine.send(f"go movetime {movetime}")
                    depths.append(engine.read_until("bestmove"))
                    used.append((time.monotonic() - start) * 1000)
            print(f"{overhead:12d}  {movetime:8d}  {min(used):13.0f}  {statistics.median(used):6.0f}  "
                  f"{max(used):5.0f}   {statistics.median(depths):12.1f}   {len(used):8d}")
        engine.close()


if __name__ == "__main__":
    main()
