#!/usr/bin/env python3
"""End-to-end tests of the real client against the real reference server.

Two computers, A and B, each a Wine prefix of its own with a sync folder,
sync one account through a tessel-server on loopback. Every sync is one run
of TavoTesselSync --once, so every sync is also a client restart.

Scenarios check single behaviours; the randomized part applies random
creates, edits, renames, moves and deletes on both sides, interleaved with
syncs and server restarts, and two moves that meet on the server: a rename
made on the server (through the web pages) onto a name a side has just
created, and an edit by one side while the other's upload of the same file
stands cut off by a crash. It then syncs until quiet and checks:

  convergence  every path is equal on both sides, or recorded as conflict or
               error with each side's content intact;
  no loss      every content ever present on either side is still present
               somewhere, unless a deliberate delete or overwrite on a side
               that held it superseded it;
  server       each side's tree equals the server's (names, sizes, MD5s),
               except paths that side records as conflict or error and its
               .tavo download files.

Every scenario ends with the server comparison too.

Contents are unique tokens, so "present" means a file with that token.
Usage: sync_e2e.py --sync-exe EXE --server-bin BIN --work DIR [--seeds N] [--first-seed S]
A failing seed is printed; replay it with --first-seed S --seeds 1.
"""
import argparse
import hashlib
import html
import http.cookiejar
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request


def write_file(folder, rel, data):
    with open(os.path.join(folder, rel), "wb") as f:
        f.write(data)


def read_file(folder, rel):
    with open(os.path.join(folder, rel), "rb") as f:
        return f.read()


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURE = os.path.join(ROOT, "tools", "server-fixture.sh")
WINE_RUN = os.path.join(ROOT, "tools", "wine-run.sh")


class Failure(Exception):
    pass


class Server:
    def __init__(self, work, binary):
        self.dir = os.path.join(work, "server")
        self.binary = binary
        self.port = None

    def start(self):
        """A fresh server with the test accounts, on free ports."""
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        subprocess.run([FIXTURE, "start", self.dir, "--binary", self.binary, "--sync-port", "0",
                        "--data-port", "0", "--http-port", "0"], check=True, stdout=subprocess.DEVNULL)
        self.port = int(self.ports()["TESSEL_SYNC_PORT"])

    def ports(self):
        """The ports the fixture chose, as it wrote them to server.env."""
        ports = {}
        with open(os.path.join(self.dir, "server.env")) as env:
            for line in env:
                key, _, value = line.strip().partition("=")
                ports[key] = value
        return ports

    def stop(self):
        subprocess.run([FIXTURE, "stop", self.dir], check=False)

    def tree(self):
        """The demo account on the server: path -> ("dir",) or (size, md5)."""
        result = subprocess.run([self.binary, "tree", os.path.join(self.dir, "data"), "demo"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        if result.returncode != 0:
            raise Failure("tessel-server tree ended with %d: %s" %
                          (result.returncode, result.stderr.decode(errors="replace")))
        tree = {}
        for line in result.stdout.decode().splitlines():
            fields = line.split("\t")
            if fields[0] == "D" and len(fields) == 2:
                tree[fields[1]] = ("dir",)
            elif fields[0] == "F" and len(fields) == 4:
                tree[fields[1]] = (int(fields[2]), fields[3])
            else:
                raise Failure("tessel-server tree printed %r" % line)
        return tree

    def kill_and_restart(self):
        """Kills the server as a crash would and starts it again on its data
        and ports: every connection drops, the sessions are gone, committed
        files and upload tickets stay."""
        pid_file = os.path.join(self.dir, "server.pid")
        with open(pid_file) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and os.path.exists("/proc/%d" % pid):
            time.sleep(0.02)
        ports = self.ports()
        with open(os.path.join(self.dir, "server.log"), "a") as log:
            process = subprocess.Popen([self.binary, "serve", os.path.join(self.dir, "data"), "--static",
                                        os.path.join(self.dir, "static"), "--sync-port", ports["TESSEL_SYNC_PORT"],
                                        "--data-port", ports["TESSEL_DATA_PORT"], "--http-port",
                                        ports["TESSEL_HTTP_PORT"]],
                                       stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL,
                                       env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"),
                                       start_new_session=True)
        with open(pid_file, "w") as f:
            f.write(str(process.pid))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise Failure("the server did not come back after being killed")


class WebClient:
    """The service's file pages, used the way another client of the account
    would: signed on with a cookie, each form with the page's token."""

    def __init__(self, server):
        self.base = "http://127.0.0.1:%s" % server.ports()["TESSEL_HTTP_PORT"]
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        self.token = ""
        self.page = self.open("/files")
        self.page = self.open("/files/signin", {"user": "demo", "password": "demo123"})

    def open(self, path, fields=None):
        data = None if fields is None else urllib.parse.urlencode(dict(fields, token=self.token)).encode()
        with self.opener.open(urllib.request.Request(self.base + path, data=data), timeout=60) as response:
            page = response.read().decode(errors="replace")
        found = re.search(r'name="token" value="([A-Za-z0-9]+)"', page)
        if found:
            self.token = found.group(1)
        return page

    def entry_id(self, name):
        found = re.search(r'href="/files(?:/download)?\?(?:id|folder)=(\d+)">%s</a>' % re.escape(html.escape(name)),
                          self.page)
        if not found:
            raise Failure("the web pages do not list %s" % name)
        return int(found.group(1))

    def rename(self, rel, new_name):
        """Renames the entry at rel (a path with "/") on the server."""
        parts = rel.split("/")
        for folder in parts[:-1]:
            self.page = self.open("/files?folder=%d" % self.entry_id(folder))
        self.page = self.open("/files/rename", {"id": self.entry_id(parts[-1]), "name": new_name})


class Computer:
    def __init__(self, name, work, sync_exe):
        self.name = name
        self.prefix = os.path.join(work, "prefix-" + name)
        self.folder = os.path.join(work, "folder-" + name)
        self.sync_exe = sync_exe
        self.env = dict(os.environ, TAVO_WINEPREFIX=self.prefix, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        os.makedirs(self.prefix, exist_ok=True)
        subprocess.run(["wineserver", "-p"], env=self.env, check=False, stderr=subprocess.DEVNULL)
        # Wine's background services start with the first program and keep
        # whatever output it had open; they must not get our pipes.
        subprocess.run([WINE_RUN, "cmd", "/c", "exit", "0"], env=self.env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def reset(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        state = self.state_file()
        if state and os.path.exists(state):
            os.remove(state)

    def state_file(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        if not os.path.isdir(users):
            return None
        for user in os.listdir(users):
            path = os.path.join(users, user, "AppData", "Roaming", "Tavo", "Tessel", "demo.user_cfg")
            if os.path.isdir(os.path.dirname(path)):
                return path
        return None

    def sync_through_crash(self, server, rng):
        """A sync during which the server is killed and restarted; it may end
        either way, and nothing it did may lose content."""
        log = os.path.join(os.path.dirname(self.folder), "tool-%s.log" % self.name)
        with open(log, "w") as out:
            process = subprocess.Popen([WINE_RUN, self.sync_exe, "sync", "demo", "demo123",
                                        self.windows_path(self.folder), "--once", "--server",
                                        "127.0.0.1:%d" % server.port, "--timeout", "20"],
                                       env=self.env, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.5, 2.5))
            server.kill_and_restart()
            try:
                process.wait(timeout=140)
            except subprocess.TimeoutExpired:
                process.kill()
                raise Failure("%s: a sync through a server crash did not end" % self.name)

    def sync_until_uploading(self, server, name, seconds=60):
        """Starts a sync and kills it as soon as its state file shows an
        upload of a file called name under way, as a crash or a power cut
        would; True when it was caught under way."""
        log = os.path.join(os.path.dirname(self.folder), "tool-%s.log" % self.name)
        state = self.state_file()
        pattern = re.compile(r'name="%s"[^>]*u_o="[1-9]' % re.escape(name))
        with open(log, "w") as out:
            process = subprocess.Popen([WINE_RUN, self.sync_exe, "sync", "demo", "demo123",
                                        self.windows_path(self.folder), "--once", "--server",
                                        "127.0.0.1:%d" % server.port, "--timeout", str(seconds)],
                                       env=self.env, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            deadline = time.monotonic() + seconds + 60
            caught = False
            while not caught and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.005)
                state = state or self.state_file()
                try:
                    with open(state, errors="replace") as f:
                        caught = bool(pattern.search(f.read()))
                except (OSError, TypeError):
                    pass
            process.kill()
            process.wait()
        return caught

    def run_tool(self, args, seconds=180):
        """Runs TavoTesselSync; output goes through a file, not a pipe, so
        that only the program's own end is waited for."""
        log = os.path.join(os.path.dirname(self.folder), "tool-%s.log" % self.name)
        with open(log, "w") as out:
            try:
                process = subprocess.run([WINE_RUN, self.sync_exe] + args, env=self.env, stdout=out,
                                         stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=seconds)
            except subprocess.TimeoutExpired:
                process = None
        with open(log, errors="replace") as out:
            output = out.read()
        if process is None:
            raise Failure("%s: TavoTesselSync %s did not end:\n%s" % (self.name, args[0], output))
        return subprocess.CompletedProcess(args, process.returncode, output, "")

    def windows_path(self, path):
        return "Z:" + path.replace("/", "\\")

    def sync(self, server, seconds=60):
        result = self.run_tool(["sync", "demo", "demo123", self.windows_path(self.folder), "--once", "--server",
                                "127.0.0.1:%d" % server.port, "--timeout", str(seconds)], seconds + 120)
        # 6: done, with items in conflict or error, which the checks allow for.
        if result.returncode not in (0, 6):
            raise Failure("%s: sync ended with %d:\n%s" % (self.name, result.returncode, result.stdout))
        match = re.search(r"^done: (\d+) uploaded, (\d+) downloaded, (\d+) deleted here, (\d+) deleted on the "
                          r"server, (\d+) renamed, (\d+) folders created", result.stdout, re.M)
        if not match:
            raise Failure("%s: sync printed no summary:\n%s" % (self.name, result.stdout))
        return sum(int(count) for count in match.groups())

    def problems(self):
        """Paths the state file records as conflict or error."""
        state = self.state_file()
        if not state or not os.path.exists(state):
            return set()
        result = self.run_tool(["state", self.windows_path(state)])
        found = set()
        for line in result.stdout.splitlines():
            parts = line.split()
            if parts and parts[0] in ("conflict", "error"):
                found.add(parts[-1].rstrip("\\").replace("\\", "/"))
        return found

    def files(self):
        """Relative path -> content of every file; folders as path/ -> None."""
        tree = {}
        for base, dirs, names in os.walk(self.folder):
            rel = os.path.relpath(base, self.folder)
            for d in dirs:
                tree[os.path.normpath(os.path.join(rel, d)) + "/"] = None
            for n in names:
                tree[os.path.normpath(os.path.join(rel, n))] = read_file(base, n)
        return tree


def tokens_of(tree):
    """Contents of the user's files; a download temporary file that a killed
    sync left behind holds only part of a content that lives elsewhere."""
    return {content for path, content in tree.items()
            if content is not None and not path.lower().endswith(".tavo")}


def under_problem(path, problems):
    """True for a path at, below or above a path recorded as conflict or error."""
    path = path.rstrip("/")
    return any(path == p or path.startswith(p + "/") or p.startswith(path + "/") for p in problems)


def as_server_sees(tree):
    """A side's files() in the server's tree form; .tavo download files
    never reach the server."""
    result = {}
    for path, content in tree.items():
        if any(part.lower().endswith(".tavo") for part in path.rstrip("/").split("/")):
            continue
        if content is None:
            result[path.rstrip("/")] = ("dir",)
        else:
            result[path] = (len(content), hashlib.md5(content).hexdigest())
    return result


def check_server(server, sides):
    """Each side's tree equals the server's outside its own conflicts and errors."""
    remote = server.tree()
    for side in sides:
        local = as_server_sees(side.files())
        problems = side.problems()
        only_local, only_server, different = [], [], []
        for path in sorted(set(local) | set(remote)):
            if under_problem(path, problems):
                continue
            if path not in remote:
                only_local.append(path)
            elif path not in local:
                only_server.append(path)
            elif local[path] != remote[path]:
                different.append("%s (%s here, %s on the server)" % (path, local[path], remote[path]))
        if only_local or only_server or different:
            raise Failure("%s differs from the server: only on %s: %s; only on the server: %s; different: %s" %
                          (side.name.upper(), side.name.upper(), only_local, only_server, different))


class World:
    """Both computers, the server, the random operations and the oracle."""

    def __init__(self, a, b, server, rng, seed):
        self.sides = [a, b]
        self.server = server
        self.rng = rng
        self.seed = seed
        self.counter = 0
        self.superseded = set()
        self.ever = set()

    def new_content(self, side):
        self.counter += 1
        pad = self.rng.choice([0, 10, 5000, 70000])
        return ("seed%d-%s-%d|" % (self.seed, side.name, self.counter)).encode() + b"x" * pad

    def random_path(self, side, files_only=False, dirs_only=False):
        tree = side.files()
        choices = [p for p, c in tree.items()
                   if (not files_only or c is not None) and (not dirs_only or c is None)]
        return self.rng.choice(choices) if choices else None

    def deliberately_remove(self, side, rel):
        """Marks every content below rel on this side as deliberately superseded."""
        full = os.path.join(side.folder, rel.rstrip("/"))
        if os.path.isdir(full):
            for base, _, names in os.walk(full):
                for n in names:
                    self.superseded.add(read_file(base, n))
        elif os.path.exists(full):
            self.superseded.add(read_file(side.folder, rel.rstrip("/")))

    def files_on_both(self):
        """Files both sides hold with the same content."""
        trees = [side.files() for side in self.sides]
        return sorted(p for p, c in trees[0].items() if c is not None and trees[1].get(p) == c)

    def other(self, side):
        return self.sides[1] if side is self.sides[0] else self.sides[0]

    def rename_onto_new_file(self, side):
        """Another client renames on the server a file this side holds as
        synced, while this side makes a new file of the new name."""
        remote = self.server.tree()
        local = as_server_sees(side.files())
        synced = sorted(p for p, v in remote.items() if v != ("dir",) and local.get(p) == v)
        if not synced:
            return
        rel = self.rng.choice(synced)
        name = "n%d.txt" % self.rng.randrange(30)
        target = os.path.join(os.path.dirname(rel), name)
        if target in remote or any(os.path.exists(os.path.join(s.folder, target)) for s in self.sides):
            return
        WebClient(self.server).rename(rel, name)
        write_file(side.folder, target, self.new_content(side))
        self.note_contents()

    def edit_during_interrupted_upload(self, side):
        """This side's upload of an edit is cut off by a crash; the other side
        then changes the same file and syncs it, and this side runs again."""
        common = self.files_on_both()
        if not common:
            return
        rel = self.rng.choice(common)
        other = self.other(side)
        self.deliberately_remove(side, rel)
        self.counter += 1
        big = ("seed%d-%s-%d|" % (self.seed, side.name, self.counter)).encode() + b"y" * (8 << 20)
        write_file(side.folder, rel, big)
        self.note_contents()
        side.sync_until_uploading(self.server, os.path.basename(rel))
        self.note_contents()
        self.deliberately_remove(other, rel)
        write_file(other.folder, rel, self.new_content(other))
        self.sync(other)
        # This side runs again before anything else can move the file, so
        # that the interrupted upload meets the newer version on the server.
        self.sync(side)

    def random_operation(self, side):
        op = self.rng.choice(["create", "create", "edit", "rename", "move", "delete", "mkdir", "rmdir",
                              "rendir", "rename onto new", "edit during upload"])
        if op == "rename onto new":
            return self.rename_onto_new_file(side)
        if op == "edit during upload":
            return self.edit_during_interrupted_upload(side)
        folders = [""] + [p.rstrip("/") for p, c in side.files().items() if c is None]
        if op == "create":
            rel = os.path.join(self.rng.choice(folders), "f%d.txt" % self.rng.randrange(30))
            full = os.path.join(side.folder, rel)
            if os.path.isdir(full):
                return
            self.deliberately_remove(side, rel)
            write_file(side.folder, rel, self.new_content(side))
        elif op == "edit":
            rel = self.random_path(side, files_only=True)
            if rel:
                self.deliberately_remove(side, rel)
                write_file(side.folder, rel, self.new_content(side))
        elif op in ("rename", "move", "rendir"):
            rel = self.random_path(side, dirs_only=(op == "rendir"), files_only=(op != "rendir"))
            if not rel:
                return
            rel = rel.rstrip("/")
            target_dir = self.rng.choice(folders) if op == "move" else os.path.dirname(rel)
            target = os.path.join(target_dir, "r%d%s" % (self.rng.randrange(30), "" if op == "rendir" else ".txt"))
            src, dst = os.path.join(side.folder, rel), os.path.join(side.folder, target)
            if os.path.exists(dst) or dst.startswith(src + os.sep):
                return
            os.rename(src, dst)
        elif op == "delete":
            rel = self.random_path(side, files_only=True)
            if rel:
                self.deliberately_remove(side, rel)
                os.remove(os.path.join(side.folder, rel))
        elif op == "mkdir":
            full = os.path.join(side.folder, self.rng.choice(folders), "d%d" % self.rng.randrange(10))
            if not os.path.exists(full):
                os.mkdir(full)
        elif op == "rmdir":
            rel = self.random_path(side, dirs_only=True)
            if rel:
                self.deliberately_remove(side, rel)
                shutil.rmtree(os.path.join(side.folder, rel))
        self.note_contents()

    def note_contents(self):
        for side in self.sides:
            self.ever |= tokens_of(side.files())

    def sync(self, side):
        self.note_contents()
        side.sync(self.server)
        self.note_contents()

    def quiet(self, rounds=8):
        for _ in range(rounds):
            moved = sum(side.sync(self.server) for side in self.sides)
            self.note_contents()
            if moved == 0:
                return
        raise Failure("no quiet state after %d rounds of syncs" % rounds)

    def check(self):
        trees = [side.files() for side in self.sides]
        problems = self.sides[0].problems() | self.sides[1].problems()
        for path in sorted(set(trees[0]) | set(trees[1])):
            if under_problem(path, problems):
                continue
            if path not in trees[0] or path not in trees[1]:
                raise Failure("%s only on %s" % (path, "A" if path in trees[0] else "B"))
            if trees[0][path] != trees[1][path]:
                raise Failure("%s differs between A and B" % path)
        present = tokens_of(trees[0]) | tokens_of(trees[1])
        lost = self.ever - self.superseded - present
        if lost:
            raise Failure("contents lost without a deliberate delete: %s" %
                          sorted(t.split(b"|")[0].decode() for t in lost))


def run_seed(seed, a, b, server, rounds):
    rng = random.Random(seed)
    server.start()
    for side in (a, b):
        side.reset()
    world = World(a, b, server, rng, seed)
    for _ in range(rounds):
        for _ in range(rng.randrange(1, 5)):
            world.random_operation(rng.choice(world.sides))
        for side in rng.sample(world.sides, rng.choice([1, 2])):
            if rng.random() < 0.2:
                world.note_contents()
                side.sync_through_crash(server, rng)
                world.note_contents()
            else:
                world.sync(side)
    world.quiet()
    # Both checks run, so that a loss also shows how the server differs.
    failures = []
    for check in (world.check, lambda: check_server(server, world.sides)):
        try:
            check()
        except Failure as failure:
            failures.append(str(failure))
    if failures:
        raise Failure("; ".join(failures))


def scenario_conflict(a, b, server):
    """Both sides change one file: conflict, and each side keeps its own content."""
    server.start()
    for side in (a, b):
        side.reset()
    write_file(a.folder, "shared.txt", b"original")
    a.sync(server)
    b.sync(server)
    write_file(a.folder, "shared.txt", b"changed on A")
    write_file(b.folder, "shared.txt", b"changed on B")
    a.sync(server)
    b.sync(server)
    if "shared.txt" not in b.problems():
        raise Failure("B does not record shared.txt as a conflict: %s" % b.problems())
    if read_file(b.folder, "shared.txt") != b"changed on B":
        raise Failure("B's content of the conflicting file was replaced")
    if read_file(a.folder, "shared.txt") != b"changed on A":
        raise Failure("A's content of the conflicting file was replaced")
    check_server(server, (a, b))


def scenario_round_trip(a, b, server):
    """Files, folders, renames and deletes travel from A to B and back."""
    server.start()
    for side in (a, b):
        side.reset()
    os.makedirs(os.path.join(a.folder, "docs"))
    for i in range(3):
        write_file(a.folder, os.path.join("docs", "file%d.txt" % i), b"content %d" % i + b"z" * (i * 40000))
    write_file(a.folder, "same1.bin", b"identical")
    write_file(a.folder, "same2.bin", b"identical")
    write_file(a.folder, "download.tavo", b"temporary")
    a.sync(server)
    b.sync(server)
    tree_b = b.files()
    if "download.tavo" in tree_b:
        raise Failure("a .tavo file was uploaded")
    expected = {k: v for k, v in a.files().items() if k != "download.tavo"}
    if tree_b != expected:
        raise Failure("B differs from A after the first sync: %s" % sorted(set(tree_b) ^ set(expected)))
    os.rename(os.path.join(b.folder, "docs", "file0.txt"), os.path.join(b.folder, "docs", "renamed.txt"))
    os.remove(os.path.join(b.folder, "same1.bin"))
    b.sync(server)
    a.sync(server)
    tree_a = a.files()
    if "docs/renamed.txt" not in tree_a or "docs/file0.txt" in tree_a or "same1.bin" in tree_a:
        raise Failure("B's rename and delete did not reach A: %s" % sorted(tree_a))
    check_server(server, (a, b))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sync-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--seeds", type=int, default=int(os.environ.get("TAVO_E2E_SEEDS", "3")))
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=6)
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    server = Server(args.work, args.server_bin)
    a = Computer("a", args.work, args.sync_exe)
    b = Computer("b", args.work, args.sync_exe)
    passed = failed = 0
    cases = [("round trip", lambda: scenario_round_trip(a, b, server)),
             ("conflict", lambda: scenario_conflict(a, b, server))]
    cases += [("seed %d" % s, (lambda s=s: run_seed(s, a, b, server, args.rounds)))
              for s in range(args.first_seed, args.first_seed + args.seeds)]
    try:
        for name, case in cases:
            try:
                case()
                passed += 1
                print("ok      %s" % name, flush=True)
            except Failure as failure:
                failed += 1
                print("FAILED  %s: %s" % (name, failure), flush=True)
    finally:
        server.stop()
        for side in (a, b):
            subprocess.run(["wineserver", "-k"], env=side.env, check=False, stderr=subprocess.DEVNULL)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
