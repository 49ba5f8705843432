#!/usr/bin/env python3
"""TavoTesselSync against a reference server: what it prints and how it
ends, as the README tells a user or a script to rely on.

  folder     a sync folder it cannot use (a plain file, a folder whose parent
             is missing) ends with exit code 4 before any connection is made,
             and the message names the folder;
  lines      each line says what was done (uploaded, downloaded, deleted here
             or on the server, folder created) and the summary counts each
             kind; bytes and rates are in the summary;
  conflict   both computers changed a file: exit code 6, each keeps its own
             copy, and renaming the local copy settles it as the README says;
  sign-on    refusals in words (exit 2); an unreachable server named with the
             port tried (exit 3);
  listings   a listing reply that is cut off, answered as another command or
             announced with an impossible length is not "done": exit 7, and
             the run ends at its --timeout;
  stopped    an upload whose ticket never comes is still pending at the
             --timeout: exit 5, and what was left is printed;
  version    a server of another protocol version: exit 8 at once, with no
             message box waiting for an answer.

Usage: sync_console_test.py --sync-exe EXE --server-bin BIN --work DIR
Each computer runs in a Wine prefix of its own below DIR.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, HERE)

from sync_e2e import Computer, Failure, Server, read_file, write_file  # noqa: E402
from wire_relay import WireRelay  # noqa: E402

EXIT_DONE, EXIT_REFUSED, EXIT_UNREACHABLE, EXIT_FOLDER, EXIT_UNFINISHED = 0, 2, 3, 4, 5
EXIT_PROBLEMS, EXIT_UNLISTED, EXIT_INCOMPATIBLE = 6, 7, 8
LIST_FOLDER, SIGN_ON, BEGIN_UPLOAD = 301, 101, 309


def run_sync(side, port, user="demo", password="demo123", folder=None, timeout=60):
    """One --once run; (exit code, output, wall seconds)."""
    args = ["sync", user, password, side.windows_path(folder or side.folder), "--once", "--server",
            "127.0.0.1:%d" % port]
    if timeout is not None:
        args += ["--timeout", str(timeout)]
    start = time.monotonic()
    result = side.run_tool(args, (timeout or 600) + 120)
    return result.returncode, result.stdout, time.monotonic() - start


def expect(condition, what, output):
    if not condition:
        raise Failure("%s:\n%s" % (what, output))


def expect_exit(code, wanted, output, what):
    expect(code == wanted, "%s: exit code %d, expected %d" % (what, code, wanted), output)


def has_line(output, label, path):
    """A line of the label, its column padded, naming the path (Windows separators)."""
    pattern = r"^%s\s+%s(\s|$)" % (re.escape(label), re.escape(path.replace("/", "\\")))
    return re.search(pattern, output, re.M) is not None


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def check_folder_refusals(a, server, work):
    """Checked before any connection: a port where nothing listens does not
    turn the folder's refusal into an unreachable server."""
    plain = os.path.join(work, "plain-file")
    with open(plain, "w") as f:
        f.write("not a folder")
    missing = os.path.join(work, "missing", "parent", "folder")
    for folder, reason in ((missing, "does not exist"), (plain, "it is a file")):
        code, output, _ = run_sync(a, closed_port(), folder=folder)
        expect_exit(code, EXIT_FOLDER, output, folder)
        expect(a.windows_path(folder) in output and reason in output, "the message does not name the folder",
               output)
        expect("signed on" not in output, "it signed on before refusing the folder", output)
    expect(not os.path.exists(missing), "the folder was created anyway", "")


def check_lines(a, b, server):
    server.start()
    a.reset()
    b.reset()
    os.makedirs(os.path.join(a.folder, "docs"))
    write_file(a.folder, "keep.txt", b"kept")
    write_file(a.folder, "gone.txt", b"to be deleted")
    write_file(a.folder, "docs/big.bin", os.urandom(3 * 1024 * 1024))
    code, output, _ = run_sync(a, server.port)
    expect_exit(code, EXIT_DONE, output, "first upload")
    expect(has_line(output, "uploaded", "keep.txt") and has_line(output, "uploaded", "docs/big.bin") and
           has_line(output, "folder created on server", "docs"), "the uploads are not told as such", output)
    expect("done: 3 uploaded, 0 downloaded" in output and "1 folders created" in output,
           "the summary does not count them", output)
    # A transfer quicker than a tenth of a second is given without a rate.
    expect(re.search(r"^transfers: up 3\.0 MB in [\d.]+ s( \([\d.]+ [KMG]B/s\))?, down nothing", output, re.M),
           "the summary has no bytes and rate", output)

    code, output, _ = run_sync(b, server.port)
    expect_exit(code, EXIT_DONE, output, "first download")
    expect(has_line(output, "downloaded", "docs/big.bin") and has_line(output, "folder created here", "docs"),
           "the downloads are not told as such", output)

    os.remove(os.path.join(a.folder, "gone.txt"))
    code, output, _ = run_sync(a, server.port)
    expect_exit(code, EXIT_DONE, output, "a deletion")
    expect(has_line(output, "deleted on the server", "gone.txt") and "upload" not in output.replace("0 uploaded", ""),
           "the deletion is told as an upload", output)
    expect("1 deleted on the server" in output, "the summary does not count the deletion", output)
    code, output, _ = run_sync(b, server.port)
    expect_exit(code, EXIT_DONE, output, "the deletion coming down")
    expect(has_line(output, "deleted here", "gone.txt") and "1 deleted here" in output,
           "the deletion from the server is not told as such", output)
    expect(not os.path.exists(os.path.join(b.folder, "gone.txt")), "the deletion did not arrive", output)


def check_conflict(a, b, server):
    """Both sides change one file; renaming the copy here keeps both."""
    server.start()
    a.reset()
    b.reset()
    write_file(a.folder, "shared.txt", b"original")
    for side in (a, b):
        code, output, _ = run_sync(side, server.port)
        expect_exit(code, EXIT_DONE, output, "%s before the conflict" % side.name)
    write_file(a.folder, "shared.txt", b"changed on A")
    write_file(b.folder, "shared.txt", b"changed on B")
    code, output, _ = run_sync(a, server.port)
    expect_exit(code, EXIT_DONE, output, "A's change")
    code, output, _ = run_sync(b, server.port)
    expect_exit(code, EXIT_PROBLEMS, output, "a conflict")
    expect(has_line(output, "conflict", "shared.txt") and "1 in conflict" in output and "done:" in output,
           "the conflict is not reported", output)
    expect(read_file(b.folder, "shared.txt") == b"changed on B", "B's copy was replaced", output)

    os.rename(os.path.join(b.folder, "shared.txt"), os.path.join(b.folder, "shared (B).txt"))
    code, output, _ = run_sync(b, server.port)
    expect_exit(code, EXIT_DONE, output, "the conflict settled by a rename")
    expect(read_file(b.folder, "shared.txt") == b"changed on A" and
           read_file(b.folder, "shared (B).txt") == b"changed on B", "B does not hold both copies", output)
    code, output, _ = run_sync(a, server.port)
    expect_exit(code, EXIT_DONE, output, "A after the conflict")
    expect(read_file(a.folder, "shared (B).txt") == b"changed on B", "B's copy did not reach A", output)


def check_sign_on(a, server):
    for user, password, words in (("demo", "wrong", "wrong password for demo"),
                                  ("nobody", "x", "the server knows no user nobody"),
                                  ("frozen", "frozen123", "the account frozen is frozen")):
        code, output, _ = run_sync(a, server.port, user=user, password=password)
        expect_exit(code, EXIT_REFUSED, output, "sign-on as %s" % user)
        expect(words in output, "the refusal is not said in words", output)
    port = closed_port()
    code, output, _ = run_sync(a, port)
    expect_exit(code, EXIT_UNREACHABLE, output, "a port where nothing listens")
    expect("127.0.0.1, port %d" % port in output, "the message does not name the host and port", output)


def run_spoilt(a, server, mode, command, timeout):
    """A run through a relay that spoils the replies to the command; it must
    not be done, and must end at its --timeout."""
    relay = WireRelay(server.port, mode, command)
    try:
        code, output, seconds = run_sync(a, relay.port, timeout=timeout)
    finally:
        relay.close()
    what = "replies to %d spoilt as %s" % (command, mode)
    expect(relay.spoiled > 0, "%s: the relay saw no such reply" % what, output)
    expect("not done:" in output and "done: " not in output.replace("not done: ", ""),
           "%s: the run says it is done" % what, output)
    spent = re.search(r"^time: ([\d.]+) s in all", output, re.M)
    expect(spent and float(spent.group(1)) <= timeout + 2, "%s: the run overran its --timeout" % what, output)
    print("%s: exit %d after %.1f s (%s s in the program)" % (what, code, seconds, spent.group(1)))
    return code, output


def check_listing_failures(a, server):
    server.start()
    a.reset()
    write_file(a.folder, "waiting.txt", b"waits for a listing")
    for mode in ("cut", "wrong-command", "absurd-length"):
        code, output = run_spoilt(a, server, mode, LIST_FOLDER, 12)
        expect_exit(code, EXIT_UNLISTED, output, "a listing spoilt as %s" % mode)


def check_stopped_with_work_left(a, server):
    server.start()
    a.reset()
    write_file(a.folder, "stuck.bin", b"its ticket never comes")
    code, output = run_spoilt(a, server, "hold", BEGIN_UPLOAD, 8)
    expect_exit(code, EXIT_UNFINISHED, output, "an upload without its ticket")
    expect(re.search(r"^pending\s+upload\s+stuck\.bin", output, re.M), "what was left is not printed", output)


def check_incompatible_version(a, server):
    """Ends at once whether the sign-on or a listing comes in another
    version; the first without --timeout, so that only the program's own
    reaction can end it."""
    server.start()
    a.reset()
    for command, timeout in ((SIGN_ON, None), (LIST_FOLDER, 60)):
        relay = WireRelay(server.port, "version", command)
        try:
            code, output, seconds = run_sync(a, relay.port, timeout=timeout)
        finally:
            relay.close()
        what = "a reply of another version to command %d" % command
        expect_exit(code, EXIT_INCOMPATIBLE, output, what)
        expect("another protocol version" in output, "%s: not said" % what, output)
        expect(seconds < 45, "%s: took %.0f s" % (what, seconds), output)
        print("%s: exit %d after %.1f s" % (what, code, seconds))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sync-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    server = Server(args.work, args.server_bin)
    sides = [Computer(name, args.work, args.sync_exe) for name in ("a", "b")]
    checks = [
        ("folder", lambda: check_folder_refusals(sides[0], server, args.work)),
        ("lines", lambda: check_lines(sides[0], sides[1], server)),
        ("conflict", lambda: check_conflict(sides[0], sides[1], server)),
        ("sign-on", lambda: check_sign_on(sides[0], server)),
        ("listings", lambda: check_listing_failures(sides[0], server)),
        ("stopped", lambda: check_stopped_with_work_left(sides[0], server)),
        ("version", lambda: check_incompatible_version(sides[0], server)),
    ]
    failures = 0
    try:
        server.start()
        for name, check in checks:
            try:
                check()
                print("%s: ok" % name, flush=True)
            except Failure as failure:
                failures += 1
                print("%s: FAILED: %s" % (name, failure), flush=True)
    finally:
        server.stop()
        for side in sides:
            subprocess.run(["wineserver", "-k"], env=side.env, check=False, stderr=subprocess.DEVNULL)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
