#!/usr/bin/env python3
"""Processor time (user + system) of commands against a baseline, as medians.

Usage: cpu_medians.py RUNS FILE BASELINE [NAME=COMMAND ...]

Runs the baseline and every command in turn, RUNS times after two rounds of
warm-up, each started directly (no shell, standard output and error thrown
away) after FILE is removed, and reads each finished run's own processor time
from the kernel (wait4). Prints, for each command, the median processor time,
the ratio of its median to the baseline's, and the median of the ratios of
the runs taken side by side (which holds when the machine's speed drifts).
Commands are split into words as a shell would, without its expansions.
"""
import os
import shlex
import statistics
import sys


def run(words, remove):
    try:
        os.unlink(remove)
    except FileNotFoundError:
        pass
    pid = os.fork()
    if pid == 0:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        try:
            os.execvp(words[0], words)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        sys.exit(f"{shlex.join(words)} failed ({status})")
    return usage.ru_utime + usage.ru_stime


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    runs, remove, baseline = int(sys.argv[1]), sys.argv[2], shlex.split(sys.argv[3])
    commands = []
    for spec in sys.argv[4:]:
        name, _, command = spec.partition("=")
        commands.append((name, shlex.split(command)))
    base_times = []
    times = {name: [] for name, _ in commands}
    for round_ in range(runs + 2):
        base = run(baseline, remove)
        if round_ >= 2:
            base_times.append(base)
        for name, words in commands:
            spent = run(words, remove)
            if round_ >= 2:
                times[name].append((spent, spent / base))
    base_median = statistics.median(base_times)
    print(f"{'baseline':<24} {1000 * base_median:8.2f} ms  ({shlex.join(baseline)})")
    for name, _ in commands:
        spent = statistics.median(t for t, _ in times[name])
        paired = statistics.median(r for _, r in times[name])
        print(f"{name:<24} {1000 * spent:8.2f} ms  {spent / base_median:5.2f}x the baseline"
              f" (paired runs: {paired:.2f}x)")


if __name__ == "__main__":
    main()
