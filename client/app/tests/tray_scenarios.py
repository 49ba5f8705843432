#!/usr/bin/env python3
"""Runs the tray program's whole-program scenarios: each one in a fresh
Wine prefix (a copy of a prefix made once per run), in a Wine desktop on
the X display, against a reference server of its own on loopback, driven
from the scenario program (tray_scenarios.exe) that runs in the same
desktop. The run lives in a network namespace of its own, so that its
server holds the client's first sync port (6666) whatever else runs on
this machine.

The scenario program asks this side for what it cannot do under Wine by
writing SHARE/host-N.request; the answer goes to SHARE/host-N.reply:
  server-stop, server-start   the reference server goes away and returns
  server-tree                 the demo account's tree on the server
  server-put NAME TEXT        another computer adds a file for demo
  screenshot NAME             the desktop saved as SCREENS/tray_NAME.png
                              (when the run names a folder for them)
  usage EXE                   "CPU_MS ANON_KIB" of the running Windows
                              program of that name, as Linux counts them

Usage: tray_scenarios.py --driver EXE --tray-exe EXE --sync-exe EXE
                         --server-bin BIN --work DIR [--only NAME]...
"""
import argparse
import atexit
import fcntl
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
FIXTURE = os.path.join(ROOT, "tools", "server-fixture.sh")
WINE_RUN = os.path.join(ROOT, "tools", "wine-run.sh")
CJK_FONTS = os.path.join(ROOT, "tools", "wine-cjk-fonts.sh")
SYNC_PORT = 6666
HTTP_PORT = 8765
SCENARIO_SECONDS = 600
REQUEST_SUFFIX = ".request"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def bring_loopback_up():
    """In a new network namespace loopback starts down."""
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH", b"lo", 0)
        flags = struct.unpack("16sH", fcntl.ioctl(s, siocgifflags, request)[:18])[1]
        fcntl.ioctl(s, siocsifflags, struct.pack("16sH", b"lo", flags | iff_up))


def wine_env(prefix, **extra):
    env = dict(os.environ, WINEPREFIX=prefix, TAVO_WINEPREFIX=prefix, WINEDEBUG="-all")
    env.update(extra)
    return env


def stop_wineserver(prefix):
    env = wine_env(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_template(work):
    """One pristine prefix with the CJK fonts mapped; each scenario copies it."""
    template = os.path.join(work, "template-prefix")
    if os.path.exists(os.path.join(template, ".tavo-ready")):
        return template
    shutil.rmtree(template, ignore_errors=True)
    env = wine_env(template)
    subprocess.run([WINE_RUN, "cmd", "/c", "exit", "0"], env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run([CJK_FONTS], env=env, check=False, stdout=subprocess.DEVNULL)
    # The registry reaches the disk when the server ends.
    stop_wineserver(template)
    return template


def copy_prefix(template, prefix):
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.copytree(template, prefix, symlinks=True)


def discard_prefixes(work):
    """A scenario's prefixes take hundreds of megabytes each; what tells of
    the run (the desktop's log, the server's data and log) stays."""
    for name in ("prefix", "other-prefix"):
        shutil.rmtree(os.path.join(work, name), ignore_errors=True)


class Server:
    """The reference server of one scenario, which can go away and return."""

    def __init__(self, args, directory):
        self.args = args
        self.directory = directory
        self.process = None

    def data(self):
        return os.path.join(self.directory, "data")

    def start_fresh(self):
        subprocess.run([FIXTURE, "start", self.directory, "--binary", self.args.server_bin, "--sync-port",
                        str(SYNC_PORT), "--data-port", "0", "--http-port", str(HTTP_PORT)], check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(self.directory, "server.env")) as env:
            self.ports = dict(line.strip().split("=", 1) for line in env if "=" in line)

    def stop(self):
        subprocess.run([FIXTURE, "stop", self.directory], stdout=subprocess.DEVNULL)
        return "stopped"

    def restart(self):
        """The same data and ports as before it went away."""
        log = open(os.path.join(self.directory, "server.log"), "a")
        process = subprocess.Popen(
            [self.args.server_bin, "serve", self.data(), "--static", os.path.join(self.directory, "static"),
             "--sync-port", self.ports["TESSEL_SYNC_PORT"], "--data-port", self.ports["TESSEL_DATA_PORT"],
             "--http-port", self.ports["TESSEL_HTTP_PORT"]],
            stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL)
        with open(os.path.join(self.directory, "server.pid"), "w") as pid:
            pid.write(str(process.pid))
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", int(self.ports["TESSEL_SYNC_PORT"])), timeout=1).close()
                return "started"
            except OSError:
                time.sleep(0.1)
        return "not started"

    def tree(self):
        result = subprocess.run([self.args.server_bin, "tree", self.data(), "demo"], capture_output=True, text=True)
        return result.stdout if result.stdout else "(empty)"


def put_from_other_computer(args, template, work, name, text):
    """Another computer of the demo account adds a file through the console client."""
    prefix = os.path.join(work, "other-prefix")
    if not os.path.exists(prefix):
        copy_prefix(template, prefix)
    folder = os.path.join(work, "other-folder")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)
    result = subprocess.run([WINE_RUN, args.sync_exe, "sync", "demo", "demo123", windows_path(folder), "--once",
                             "--server", "127.0.0.1:%d" % SYNC_PORT, "--timeout", "60"],
                            env=wine_env(prefix), capture_output=True, text=True, timeout=300)
    stop_wineserver(prefix)
    return "exit %d\n%s" % (result.returncode, result.stdout)


def screenshot(args, name):
    """The Wine desktop, the top left 1024x768 of the display."""
    folder = getattr(args, "screens", None)
    if not folder or not name.replace("_", "").isalnum():
        return "no screenshot"
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "tray_%s.png" % name)
    grabbed = subprocess.run(["import", "-display", os.environ.get("DISPLAY", ""), "-window", "root", "-crop",
                              "1024x768+0+0", "+repage", target], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return "taken" if grabbed.returncode == 0 else "not taken"


def process_usage(exe_name):
    """CPU time (ms) and anonymous resident memory (KiB) of the Wine
    process running the program, from /proc; what the Windows calls give for
    another process under Wine is not kept up to date."""
    tick = os.sysconf("SC_CLK_TCK")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if exe_name.encode() not in f.read():
                    continue
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/status" % pid) as f:
                anon = next((line.split()[1] for line in f if line.startswith("RssAnon:")), "0")
        except OSError:
            continue
        cpu_ms = (int(fields[11]) + int(fields[12])) * 1000 // tick
        return "%d %s" % (cpu_ms, anon)
    return "none"


def answer(args, template, work, server, command):
    words = command.split(" ", 2)
    if words[0] == "usage" and len(words) == 2:
        return process_usage(words[1])
    if words[0] == "screenshot" and len(words) == 2:
        return screenshot(args, words[1])
    if words[0] == "server-stop":
        return server.stop()
    if words[0] == "server-start":
        return server.restart()
    if words[0] == "server-tree":
        return server.tree()
    if words[0] == "server-put" and len(words) == 3:
        return put_from_other_computer(args, template, work, words[1], words[2])
    return "unknown command"


def serve_requests(args, template, work, share, server):
    for name in sorted(os.listdir(share)):
        if not name.endswith(REQUEST_SUFFIX):
            continue
        path = os.path.join(share, name)
        with open(path) as f:
            command = f.read()
        os.remove(path)
        reply = answer(args, template, work, server, command)
        base = path[:-len(REQUEST_SUFFIX)]
        with open(base + ".part-reply", "w") as f:
            f.write(reply)
        os.rename(base + ".part-reply", base + ".reply")


def reported(log_path):
    """Whether the scenario program printed its verdict. The desktop itself
    lasts while any window of it is open, such as a folder window that the
    program under test opened; the wineserver's end closes them."""
    with open(log_path, errors="replace") as log:
        text = log.read()
    return "[  PASSED  ]" in text or re.search(r"\d+ FAILED TESTS?$", text, re.MULTILINE) is not None


def run_in_desktop(args, template, work, command, seconds):
    """Runs the Windows command in a Wine desktop of a fresh prefix against
    a fresh server, answering its requests; its output and whether it ended
    in time."""
    shutil.rmtree(work, ignore_errors=True)
    share = os.path.join(work, "share")
    os.makedirs(share)
    prefix = os.path.join(work, "prefix")
    copy_prefix(template, prefix)
    server = Server(args, os.path.join(work, "server"))
    server.start_fresh()
    env = wine_env(prefix, TAVO_SHARE=windows_path(share), TAVO_TRAY_EXE=windows_path(args.tray_exe))
    log_path = os.path.join(work, "desktop.log")
    started = time.time()
    ended = False
    try:
        with open(log_path, "w") as log:
            process = subprocess.Popen(["wine", "explorer", "/desktop=tavo,1024x768"] + command, env=env, stdout=log,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            while process.poll() is None and time.time() - started < seconds and not reported(log_path):
                serve_requests(args, template, work, share, server)
                time.sleep(0.1)
            ended = process.poll() is not None or reported(log_path)
            if not ended:
                process.kill()
    finally:
        stop_wineserver(prefix)
        server.stop()
        discard_prefixes(work)
    with open(log_path, errors="replace") as log:
        return log.read(), ended


def run_scenario(args, template, name):
    started = time.time()
    output, ended = run_in_desktop(args, template, os.path.join(args.work, name),
                                   [windows_path(args.driver), "--gtest_filter=" + name], SCENARIO_SECONDS)
    if not ended:
        print("%s: did not end within %d s" % (name, SCENARIO_SECONDS))
    passed = "[  PASSED  ] 1 test." in output
    print("%s: %s in %.0f s" % (name, "passed" if passed else "FAILED", time.time() - started))
    if not passed:
        print(output)
    return passed


def start_display():
    """An X display of the run's own, so that its Wine desktops cover
    nothing another test reads from the screen."""
    for number in range(140, 200):
        if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            continue
        server = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                break
            time.sleep(0.05)
        if server.poll() is None:
            os.environ["DISPLAY"] = ":%d" % number
            atexit.register(server.terminate)
            return
    raise RuntimeError("no free X display number")


def enter_namespace():
    """Runs this script again in a user and network namespace of its own,
    with a private loopback and an X display of its own; returns its exit
    code, or None when already inside."""
    if "--in-namespace" in sys.argv:
        bring_loopback_up()
        start_display()
        return None
    command = ["unshare", "--map-root-user", "--net", sys.executable] + sys.argv + ["--in-namespace"]
    return subprocess.run(command).returncode


def list_scenarios(args, template):
    result = subprocess.run([WINE_RUN, args.driver, "--gtest_list_tests"], env=wine_env(template),
                            capture_output=True, text=True, timeout=120)
    stop_wineserver(template)
    names, suite = [], None
    for line in result.stdout.splitlines():
        if not line.startswith(" "):
            suite = line.strip()
        elif suite:
            names.append(suite + line.strip())
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--tray-exe", required=True)
    parser.add_argument("--sync-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    status = enter_namespace()
    if status is not None:
        return status
    os.makedirs(args.work, exist_ok=True)
    template = make_template(args.work)
    names = list_scenarios(args, template)
    if args.only:
        names = [n for n in names if any(o in n for o in args.only)]
    if not names:
        print("no scenarios found")
        return 1
    failed = [name for name in names if not run_scenario(args, template, name)]
    print("%d of %d scenarios passed" % (len(names) - len(failed), len(names)))
    for name in failed:
        print("failed: " + name)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
