"""A tree laid out like a fresh clone after its build, for running the
demo and the README's commands as a newcomer would: tools/ is this
repository's, build/native and the programs of build/win are the ones just
built, and everything the commands write (demo folders, Wine prefixes,
server data) stays inside the tree.
"""
import argparse
import os
import re
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def make_tree(where, win_build, server_bin):
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(os.path.join(where, "build", "win"))
    os.symlink(os.path.join(ROOT, "tools"), os.path.join(where, "tools"))
    native = os.path.dirname(os.path.dirname(os.path.abspath(server_bin)))
    os.symlink(native, os.path.join(where, "build", "native"))
    # The programs only: the build tree's own Wine prefix serves the tests.
    os.symlink(os.path.join(os.path.abspath(win_build), "client"), os.path.join(where, "build", "win", "client"))
    return where


def readme():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return f.read()


def marked_block(text, marker):
    """The indented block that follows <!-- marker --> in the README, its
    indentation taken off."""
    at = text.index("<!-- %s -->" % marker)
    lines = []
    for line in text[at:].splitlines()[1:]:
        if line.startswith("    ") or (not line.strip() and lines):
            lines.append(line[4:])
        elif line.strip():
            break
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def masked(line):
    """A line with its figures and its place on this disk taken out, for
    comparing a run with the README's sample."""
    line = re.sub(r" \([^()]*/s\)", "", line)
    line = re.sub(r"[A-Za-z]:\\\S*\\build\\demo\\", r"<demo>\\", line)
    line = re.sub(r"\S*/build/demo/", "<demo>/", line)
    return re.sub(r"\d+", "#", line.rstrip())


class Failure(Exception):
    pass


def expect(condition, what, output=""):
    if not condition:
        raise Failure("%s\n%s" % (what, output))


def tree_from_arguments():
    """The tree named by --work, made from --win-build and --server-bin."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--win-build", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    return make_tree(args.work, args.win_build, args.server_bin)


def run_checks(*checks):
    """Runs the checks in order; the exit code of the test."""
    try:
        for check in checks:
            check()
    except (Failure, subprocess.TimeoutExpired) as failure:
        print("FAILED: %s" % failure)
        return 1
    return 0
