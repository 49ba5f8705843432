#!/usr/bin/env python3
"""Prints sync figures of the real client against the real reference server
on loopback: one 256 MiB file up and down, an initial sync of 2,000 files of
4 KiB to 1 MiB in both directions, and a no-change rescan of that tree.

Each figure is the wall time of one TavoTesselSync --once run, so it
includes starting the program under Wine, signing on and one scan.
Usage: sync_bench.py --sync-exe EXE --server-bin BIN --work DIR [--files N]
"""
import argparse
import os
import random
import time

from sync_e2e import Computer, Server


def timed_sync(side, server, what):
    start = time.monotonic()
    side.sync(server, seconds=3600)
    spent = time.monotonic() - start
    # The program's own account of where its time went.
    with open(os.path.join(os.path.dirname(side.folder), "tool-%s.log" % side.name), errors="replace") as log:
        shares = [line.strip() for line in log if line.startswith("time:")]
    print("  %s: %s" % (what, shares[-1] if shares else "no time shares printed"), flush=True)
    return spent


def tree_bytes(folder):
    return sum(os.path.getsize(os.path.join(base, n)) for base, _, names in os.walk(folder) for n in names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sync-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--big-mib", type=int, default=256)
    args = parser.parse_args()

    server = Server(args.work, args.server_bin)
    a = Computer("a", args.work, args.sync_exe)
    b = Computer("b", args.work, args.sync_exe)
    try:
        server.start()
        a.reset()
        b.reset()
        with open(os.path.join(a.folder, "big.bin"), "wb") as f:
            for _ in range(args.big_mib):
                f.write(os.urandom(1 << 20))
        size = args.big_mib
        up = timed_sync(a, server, "upload")
        down = timed_sync(b, server, "download")
        print("one %d MiB file: upload %.1f s (%.1f MB/s), download %.1f s (%.1f MB/s)"
              % (size, up, size * 1.048576 / up, down, size * 1.048576 / down), flush=True)

        server.start()
        a.reset()
        b.reset()
        rng = random.Random(7)
        for i in range(args.files):
            folder = os.path.join(a.folder, "dir%02d" % (i % 40))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "file%04d.bin" % i), "wb") as f:
                f.write(os.urandom(rng.randint(4096, 1 << 20)))
        total = tree_bytes(a.folder) / 1e6
        up = timed_sync(a, server, "upload")
        down = timed_sync(b, server, "download")
        rescan = timed_sync(a, server, "rescan")
        print("%d files, %.0f MB: upload %.1f s (%.0f files/s, %.1f MB/s), download %.1f s (%.0f files/s, "
              "%.1f MB/s), no-change rescan %.1f s"
              % (args.files, total, up, args.files / up, total / up, down, args.files / down, total / down,
                 rescan), flush=True)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
