#!/usr/bin/env python3
"""The demo as a newcomer runs it: a second run keeps what the user did in
the demo folders and on the server, --pc2 syncs the second computer again,
and only --fresh starts afresh. The first run prints what the README's
sample output shows.

Usage: demo_test.py --win-build DIR --server-bin BIN --work DIR
(the programs of the Windows build tree, the native server, a work folder)
"""
import collections
import os
import subprocess
import sys

from newcomer_tree import Failure, expect, marked_block, masked, readme, run_checks, tree_from_arguments


def run_demo(tree, *options):
    log = os.path.join(tree, "demo.log")
    with open(log, "w") as out:
        process = subprocess.run([os.path.join(tree, "tools", "demo.sh"), "--no-build"] + list(options), cwd=tree,
                                 stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=900)
    with open(log, errors="replace") as out:
        output = out.read()
    if process.returncode != 0:
        raise Failure("demo.sh %s ended with %d:\n%s" % (" ".join(options), process.returncode, output))
    return output


def files(folder):
    """Relative path -> contents of every file below the folder."""
    found = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def check_sample_output(output):
    """Every line of the README's sample up to the watch that --once leaves
    out is a line of a first run, figures, rates and places aside; the order
    of the transfers may differ."""
    actual = collections.Counter(masked(line) for line in output.splitlines())
    sample = marked_block(readme(), "demo-output")
    watch = next((i for i, line in enumerate(sample) if line.startswith("== keeping")), len(sample))
    missing = [line for line in sample[:watch] if actual[masked(line)] == 0]
    expect(not missing, "README sample lines the demo did not print: %s" % missing, output)


def check_runs(tree):
    demo = os.path.join(tree, "build", "demo")
    pc1, pc2 = os.path.join(demo, "pc1"), os.path.join(demo, "pc2")
    output = run_demo(tree, "--once")
    check_sample_output(output)
    sample = files(pc1)
    expect(sorted(sample) == ["docs/photo.bin", "docs/plan.txt", "hello.txt"], "no sample files", output)
    expect(files(pc2) == sample, "pc2 did not receive the sample files", output)

    # What a user does between two runs.
    os.remove(os.path.join(pc1, "hello.txt"))
    with open(os.path.join(pc1, "mine.txt"), "wb") as f:
        f.write(b"my own file")
    with open(os.path.join(pc1, "docs", "plan.txt"), "wb") as f:
        f.write(b"a better plan")
    with open(os.path.join(pc2, "from-pc2.txt"), "wb") as f:
        f.write(b"written on the second computer")
    mine = files(pc1)

    output = run_demo(tree, "--once")
    expect("as the last run left it" in output, "the second run does not say it continues", output)
    expect(files(pc1) == mine, "the second run changed pc1: %s" % sorted(files(pc1)), output)
    expect(files(pc2) == dict(mine, **{"from-pc2.txt": b"written on the second computer"}),
           "pc2 does not hold pc1's changes and its own file: %s" % sorted(files(pc2)), output)

    output = run_demo(tree, "--pc2")
    expect("from-pc2.txt" in output and "mine.txt" in output, "--pc2 does not show what pc2 holds", output)

    output = run_demo(tree, "--fresh", "--once")
    expect(sorted(files(pc1)) == sorted(sample) and "mine.txt" not in files(pc2),
           "--fresh did not start afresh: %s, %s" % (sorted(files(pc1)), sorted(files(pc2))), output)
    print("the demo keeps what is there and starts afresh only with --fresh")


def main():
    tree = tree_from_arguments()
    return run_checks(lambda: check_runs(tree))


if __name__ == "__main__":
    sys.exit(main())
