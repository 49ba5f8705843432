#!/usr/bin/env python3
"""Screenshots of the running tray program (tray_screens.exe walks it
through the wizard, the balloon, the menu, the settings centre and the about
box) in a Wine desktop of a fresh prefix against a reference server of its
own, saved as SCREENS/tray_*.png.

Usage: tray_screens.py --screens-exe EXE --tray-exe EXE --server-bin BIN
                       --work DIR --screens DIR
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import tray_scenarios  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--screens-exe", required=True)
    parser.add_argument("--tray-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--screens", required=True)
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.screens = os.path.abspath(args.screens)
    status = tray_scenarios.enter_namespace()
    if status is not None:
        return status
    os.makedirs(args.work, exist_ok=True)
    template = tray_scenarios.make_template(args.work)
    output, ended = tray_scenarios.run_in_desktop(args, template, os.path.join(args.work, "screens"),
                                                  [tray_scenarios.windows_path(args.screens_exe)], 600)
    print("\n".join(line for line in output.splitlines() if ": " in line))
    return 0 if ended and "NOT taken" not in output else 1


if __name__ == "__main__":
    sys.exit(main())
