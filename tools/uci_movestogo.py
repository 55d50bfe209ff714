#!/usr/bin/env python3
"""Runs a UCI engine and adds "movestogo N" to every clock-based "go" it is sent.

Match runners that only play base+increment games never send movestogo; this proxy lets them
exercise an engine's repeating-control time management. N counts down from the control length
(default 40) to 1 with the game's moves and starts again, so the engine believes the clock is
refilled at each control while the runner keeps its own clock: the engine must budget carefully
enough never to lose on time.

    python3 tools/uci_movestogo.py [--moves 40] ENGINE [ARGS...]
"""
import subprocess
import sys
import threading


def main():
    args = sys.argv[1:]
    control = 40
    if len(args) >= 2 and args[0] == "--moves":
        if not args[1].isdigit():
            sys.exit("uci_movestogo.py: --moves needs a positive integer")
        control = max(1, int(args[1]))
        args = args[2:]
    if not args:
        sys.exit("usage: uci_movestogo.py [--moves N] ENGINE [ARGS...]")
    engine = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)

    def pump_out():
        for line in engine.stdout:
            sys.stdout.buffer.write(line)
            sys.stdout.buffer.flush()

    reader = threading.Thread(target=pump_out, daemon=True)
    reader.start()
    played = 0  # own moves of the current game
    for line in sys.stdin.buffer:
        text = line.decode("utf-8", "replace").rstrip("\r\n")
        words = text.split()
        if words[:1] == ["ucinewgame"]:
            played = 0
        elif words[:1] == ["go"] and ("wtime" in words or "btime" in words) and "movestogo" not in words:
            text += " movestogo %d" % (control - played % control)
            played += 1
        engine.stdin.write((text + "\n").encode())
        engine.stdin.flush()
        if words[:1] == ["quit"]:
            break
    try:
        engine.stdin.close()
    except BrokenPipeError:
        pass
    engine.wait()
    reader.join(timeout=1)
    sys.exit(engine.returncode)


if __name__ == "__main__":
    main()
