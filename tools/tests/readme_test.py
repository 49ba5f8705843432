#!/usr/bin/env python3
"""The README's commands run as it writes them, so that a README that
drifts from the programs fails the build:

  by hand     the block of "Running the pieces by hand", line by line in one
              shell, in a tree of its own (its build line excepted: the test
              command has built everything before);
  exit codes  the README's table of TavoTesselSync's exit codes is the one the
              program prints;
  options     every option the README gives the demo and TavoTesselSync is
              one they take.

Usage: readme_test.py --win-build DIR --server-bin BIN --work DIR
"""
import os
import re
import subprocess
import sys

from newcomer_tree import expect, marked_block, readme, run_checks, tree_from_arguments

BUILD_LINE = "./tools/build.sh"


def run(command, tree, timeout=600):
    # The tree's own Wine prefix, which the commands by hand made.
    prefix = os.path.join(tree, "build", "win", "wineprefix")
    env = dict(os.environ, TAVO_WINEPREFIX=prefix, WINEPREFIX=prefix)
    result = subprocess.run(command, cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, timeout=timeout, env=env)
    return result.returncode, result.stdout.decode(errors="replace").replace("\r\n", "\n")


def check_by_hand(tree):
    lines = marked_block(readme(), "by-hand")
    expect(lines and lines[0].split("#")[0].strip() == BUILD_LINE, "the block does not start with the build: %s"
           % lines)
    script = "set -euo pipefail\nset -x\n" + "\n".join(lines[1:]) + "\n"
    code, output = run(["bash", "-c", script], tree)
    expect(code == 0, "the commands ended with %d" % code, output)
    expect(re.search(r"^done: 1 uploaded", output, re.M), "the sync did not upload the example file", output)
    expect(re.search(r"^synced .* hello\.txt$", output, re.M), "the state file does not list hello.txt", output)
    expect("sync port" in output, "the server's ports were not printed", output)
    print("by hand: %d commands ran as written" % (len(lines) - 1))


def check_exit_codes(tree):
    code, usage = run(["tools/wine-run.sh", "build/win/client/shell/TavoTesselSync.exe"], tree)
    expect(code == 1, "the usage ended with %d" % code, usage)
    printed = {int(m.group(1)) for m in re.finditer(r"^\s+(\d+)\s+\S", usage, re.M)}
    documented = {int(m.group(1)) for m in re.finditer(r"^\| (\d+) \|", readme(), re.M)}
    expect(printed and printed == documented, "exit codes: the program prints %s, the README lists %s"
           % (sorted(printed), sorted(documented)), usage)
    for option in set(re.findall(r"TavoTesselSync[^\n]*?(--[a-z]+)", readme())):
        expect(option in usage, "the README gives TavoTesselSync %s, which it does not take" % option, usage)
    print("exit codes 0 to %d as the program prints them" % max(printed))


def check_demo_options(tree):
    code, help_text = run(["tools/demo.sh", "--help"], tree)
    expect(code == 0, "demo.sh --help ended with %d" % code, help_text)
    options = set(re.findall(r"demo\.sh((?: --[a-z0-9-]+)+)", readme()))
    for option in {word for found in options for word in found.split()}:
        expect(option in help_text, "the README gives the demo %s, which it does not take" % option, help_text)
    print("demo options: %s" % " ".join(sorted({w for f in options for w in f.split()})))


def main():
    tree = tree_from_arguments()
    return run_checks(lambda: check_demo_options(tree), lambda: check_by_hand(tree), lambda: check_exit_codes(tree))


if __name__ == "__main__":
    sys.exit(main())
