#!/usr/bin/env python3
"""compare_updaters.py BEFORE AFTER CORPUS [ROUNDS]

Paired comparison of two builds of the updater on one corpus of make_corpus.sh: each round
updates a fresh folder from CORPUS/mirror with BEFORE and with AFTER, in an order that alternates
from round to round, and the summary gives the median and range of the per-round ratios
AFTER/BEFORE of wall time, CPU time (user + system) and peak RSS. One warm-up run of each is not
counted. This machine's noise is several per cent from run to run, so a change of a few per cent
needs some twenty rounds to show.

DEST (environment) is the folder the updated folders are made in [the system's temporary
folder]; a tmpfs leaves out most of the file system's own cost, which shows a change in the
updater's own work as a larger share. HTTP=1 fetches the corpus over HTTP instead, from a
python3 http.server on 127.0.0.1 that serves the corpus's parent folder.

Use it for a change that has no switch of its own, such as what a new step costs: build the tree
before and after the change (or with the step taken out) and compare the two executables.
"""
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def update_once(binary, corpus, dest, port):
    folder = tempfile.mkdtemp(dir=dest)
    try:
        with open(os.path.join(corpus, "root", "nuvraconfig.json")) as template:
            config = template.read()
        with open(os.path.join(folder, "nuvraconfig.json"), "w") as out:
            out.write(re.sub(r"127\.0\.0\.1:PORT", f"127.0.0.1:{port}", config))
        os.sync()
        start = time.monotonic()
        source = [] if port else ["--source-dir", os.path.join(corpus, "mirror")]
        child = subprocess.Popen([binary, "--headless", "--root", folder] + source,
                                 stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
        child.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
        if child.returncode != 0:
            sys.exit(f"{binary} failed with status {child.returncode}")
        return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024
    finally:
        shutil.rmtree(folder)
        os.sync()


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    before, after, corpus = sys.argv[1:4]
    rounds = int(sys.argv[4]) if len(sys.argv) == 5 else 20
    dest = os.environ.get("DEST") or None
    port, server = 0, None
    if os.environ.get("HTTP") == "1":
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", "--bind", "127.0.0.1", str(port)],
            cwd=os.path.dirname(os.path.abspath(corpus)), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        time.sleep(1)
    runs = {before: [], after: []}
    try:
        update_once(before, corpus, dest, port)
        update_once(after, corpus, dest, port)
        for round_number in range(rounds):
            order = (before, after) if round_number % 2 == 0 else (after, before)
            for binary in order:
                runs[binary].append(update_once(binary, corpus, dest, port))
    finally:
        if server:
            server.terminate()
    for index, measure in enumerate(("wall", "CPU", "peak RSS")):
        ratios = [a[index] / b[index] for b, a in zip(runs[before], runs[after])]
        unit = " MiB" if index == 2 else " s"
        print(f"{measure}: after/before {statistics.median(ratios):.3f} "
              f"[{min(ratios):.3f}-{max(ratios):.3f}], medians "
              f"{statistics.median(r[index] for r in runs[before]):.2f}{unit} before, "
              f"{statistics.median(r[index] for r in runs[after]):.2f}{unit} after")


if __name__ == "__main__":
    main()
