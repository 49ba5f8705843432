#!/usr/bin/env python3
"""TavoTesselSync refuses a sync folder it cannot use: one that does not
exist and cannot be created (its parent is missing), and a plain file. Each
ends with exit code 4 and says so, after a sign-on that succeeded against a
reference server started for the test.

Usage: sync_console_test.py --sync-exe EXE --server-bin BIN --work DIR
Runs in the Wine prefix that TAVO_WINEPREFIX names.
"""
import argparse
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
FIXTURE = os.path.join(ROOT, "tools", "server-fixture.sh")
WINE_RUN = os.path.join(ROOT, "tools", "wine-run.sh")
EXIT_FOLDER = 4


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def sync_port(server_dir):
    with open(os.path.join(server_dir, "server.env")) as env:
        for line in env:
            key, _, value = line.strip().partition("=")
            if key == "TESSEL_SYNC_PORT":
                return int(value)
    raise RuntimeError("the fixture wrote no sync port")


def run_sync(args, folder, port):
    """TavoTesselSync on the folder; output through a file, not a pipe, so
    that only the program's own end is waited for."""
    log = os.path.join(args.work, "sync.log")
    with open(log, "w") as out:
        process = subprocess.run([WINE_RUN, args.sync_exe, "sync", "demo", "demo123", windows_path(folder), "--once",
                                  "--server", "127.0.0.1:%d" % port, "--timeout", "30"],
                                 stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=180)
    with open(log, errors="replace") as out:
        return process.returncode, out.read()


def expect_refused(args, folder, port, what):
    code, output = run_sync(args, folder, port)
    if code != EXIT_FOLDER or "cannot be used" not in output or "signed on as demo" not in output:
        print("%s: exit code %d, expected %d:\n%s" % (what, code, EXIT_FOLDER, output))
        return False
    if os.path.exists(folder) and not os.path.isfile(folder):
        print("%s: the folder was created anyway" % what)
        return False
    print("%s: refused with exit code %d" % (what, code))
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sync-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    server_dir = os.path.join(args.work, "server")
    subprocess.run([FIXTURE, "start", server_dir, "--binary", args.server_bin, "--sync-port", "0", "--data-port", "0",
                    "--http-port", "0"], check=True, stdout=subprocess.DEVNULL)
    try:
        port = sync_port(server_dir)
        plain_file = os.path.join(args.work, "plain-file")
        with open(plain_file, "w") as f:
            f.write("not a folder")
        results = [
            expect_refused(args, os.path.join(args.work, "missing", "parent", "folder"), port,
                           "a folder whose parent is missing"),
            expect_refused(args, plain_file, port, "a plain file"),
        ]
    finally:
        subprocess.run([FIXTURE, "stop", server_dir], check=False)
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
