#!/usr/bin/env python3
"""Prints the tray program's figures: start-up to the tray icon and to
Synced, the idle cost over some minutes (CPU per minute, private memory at
the start and the end), and the progress timer's tick with an upload
running. Each runs tray_bench.exe in a Wine desktop of a fresh prefix
against a reference server of its own, as the whole-program scenarios do.

Usage: tray_bench.py --bench EXE --tray-exe EXE --server-bin BIN --work DIR
                     [--idle-minutes 10] [--only startup|idle|tick]...
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import tray_scenarios  # noqa: E402


def figures(output):
    return "\n".join(line for line in output.splitlines()
                     if line and not line.startswith(("Running", "[", "wine:", "err:", "fixme:")))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True)
    parser.add_argument("--tray-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--idle-minutes", type=int, default=10)
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    status = tray_scenarios.enter_namespace()
    if status is not None:
        return status
    os.makedirs(args.work, exist_ok=True)
    template = tray_scenarios.make_template(args.work)
    runs = [("startup", ["startup", "5"], 600), ("idle", ["idle", str(args.idle_minutes)], 120 * args.idle_minutes + 600),
            ("tick", ["tick", "200"], 600)]
    failed = False
    for name, bench_args, seconds in runs:
        if args.only and name not in args.only:
            continue
        output, ended = tray_scenarios.run_in_desktop(args, template, os.path.join(args.work, name),
                                                      [tray_scenarios.windows_path(args.bench)] + bench_args, seconds)
        print(figures(output))
        failed = failed or not ended
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
