#!/usr/bin/env python3
"""The installer end to end under Wine, each scenario in a Wine prefix of its
own (copied from one prefix made at the start), with the real reference
server on loopback serving the update manifest where the updater looks for
it (127.0.0.1:8765). So that port 8765 is free whatever else runs on the
machine, the run moves into a network namespace of its own when it can.

Scenarios:
  install    a silent install with the updater's switches
  wizard     an install through its pages, the client started at the end
  road       version N running, bound and syncing; N+1 published, the real
             updater started: it downloads and checks the installer and
             starts it; the installer ends the client, replaces the files
             (the overlay DLL held as Explorer holds it), starts the new
             client and tells it, which shows the upgrade balloon and syncs on
  mismatch   a package whose MD5 is not the manifest's: nothing changes
  uninstall  silent removal: nothing of the program is left, the sync
             folder and the account stay
  hung       an install over a client whose window does not answer
             (hung_client.cpp): silent, it is ended after the deadline; with
             message boxes, the user's refusal stops the installation with
             the reason

The client is the tray program, in a Wine desktop that every program of the
prefix shares; what it hands to the notification area (icons, states,
balloons) is read through its tray probe.
"""

import argparse
import getpass
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import update_manifest  # noqa: E402

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
UPDATER_SWITCHES = "/SILENT  /VERYSILENT /NORESTART /SUPPRESSMSGBOXES"
MANIFEST_PORT = 8765
STATIC_URL = f"http://127.0.0.1:{MANIFEST_PORT}/static/"
INSTALL_DIR = r"C:\Program Files\TavoTessel"
PROGRAM_FILES = ["TavoTessel.exe", "TavoTesselUpdate.exe", "Glint.dll", "CrashRpt.dll", "uninst.exe"]
OVERLAY_CLASSES = [f"{{A6BD43D{i}-1439-4577-9727-CD081B1C0597}}" for i in range(5)]
OVERLAY_IDS = [".Tavo_Tessel_" + n for n in ("Synced", "NotSynced", "Syncing", "Error", "Conflict")]
SYNC_FOLDER = r"C:\TesselSync"
ACCOUNT = "demo"
PASSWORD = "demo123"
TRAY_PROBE = r"Local\TavoInstallerTray"
# Shell_NotifyIconW's messages and flags, and the client's states.
NIM_ADD, NIM_DELETE = 0, 2
NIF_INFO = 0x10
STATE_SYNCED = 2
UPGRADE_TITLE = "升级提示"
CLIENT_END_DEADLINE = 10
NETNS_MARK = "TAVO_INSTALLER_NETNS"
SETUP_TITLE = "TavoTessel - 安装"
IDOK, IDNO = 1, 7
# NSIS exit codes: 0 installed, 2 stopped by the script.
EXIT_STOPPED = 2


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.1)


def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


# ---- Wine prefixes ------------------------------------------------------------

class Prefix:
    """A Wine prefix copied from the template, with its own wineserver."""

    def __init__(self, template: Path, path: Path, probe: Path):
        if path.exists():
            shutil.rmtree(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        copy_prefix(template, path)
        self.path = path
        self.probe_exe = str(probe)
        self.env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", TAVO_TRAY_PROBE=TRAY_PROBE)
        self.spawned = []
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def drive(self, windows: str) -> Path:
        check(windows[1:3] == ":\\", f"not a drive path: {windows}")
        return self.path / ("drive_" + windows[0].lower()) / windows[3:].replace("\\", "/")

    # Wine hands its Unix standard handles down to every process started
    # below, the client included: output goes to files, never to pipes that
    # would stay open as long as the client runs.
    def probe(self, *args, timeout=180, extra_env=None, expect=0):
        env = dict(self.env, **(extra_env or {}))
        output = self.path / "probe.out"
        with output.open("wb") as out:
            code = subprocess.run([WINE, self.probe_exe, *args], env=env, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=timeout).returncode
        text = output.read_text(encoding="utf-8", errors="replace").strip()
        if expect is not None and code != expect:
            raise Failure(f"probe {args[0]} ended with {code}, not {expect}: {text}")
        return text

    def spawn_probe(self, name, *args, extra_env=None):
        """Starts the probe in the background; returns the process and the
        file its output goes to."""
        env = dict(self.env, **(extra_env or {}))
        output = self.path / f"{name}.out"
        with output.open("wb") as out:
            process = subprocess.Popen([WINE, self.probe_exe, *args], env=env, stdin=subprocess.PIPE,
                                       stdout=out, stderr=subprocess.DEVNULL)
        self.spawned.append(process)
        return process, output

    def run_installer(self, installer: Path, switches: str, extra_env=None, expect=0):
        out = self.probe("run", "180000", windows_path(installer), switches, extra_env=extra_env, expect=None)
        check(out == f"exit {expect}", f"installer with {switches!r}: {out}, wanted exit {expect}")

    def registry(self):
        return json.loads(self.probe("registry"))

    def version(self, windows: str):
        return json.loads(self.probe("version", windows))

    def client_window_pid(self, timeout=30):
        return int(self.probe("wait-window", str(timeout * 1000), "up"))

    def start_tray_log(self):
        """Makes the client's tray probe before any client starts."""
        self.tray_process, self.tray_out = self.spawn_probe("tray", "tray-log", TRAY_PROBE)
        wait_for(lambda: self.tray_out.read_text().startswith('{"ready":1}') or self.tray_process.poll() is not None,
                 30, "the tray probe")
        check(self.tray_process.poll() is None, "the tray probe could not be made")

    def tray(self):
        """What the clients handed to the notification area, oldest first."""
        lines = self.tray_out.read_text(encoding="utf-8").splitlines()[1:]
        # The last line may be half written.
        records = []
        for line in lines:
            try:
                records.append(json.loads(line))
            except ValueError:
                break
        return records

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        for process in self.spawned:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()


def copy_prefix(template: Path, target: Path):
    """Links the template's files, but copies what Wine rewrites in place."""
    subprocess.run(["cp", "-al", str(template), str(target)], check=True)
    for reg in target.glob("*.reg"):
        data = reg.read_bytes()
        reg.unlink()
        reg.write_bytes(data)


def make_template(path: Path):
    """A fresh prefix whose programs all run in one Wine desktop, where the
    notification area exists."""
    if path.exists():
        shutil.rmtree(path)
    env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    subprocess.run([WINE, "wineboot", "--init"], env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    for key, name, value in ((r"HKCU\Software\Wine\Explorer", "Desktop", "Default"),
                             (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "1024x768")):
        subprocess.run([WINE, "reg", "add", key, "/v", name, "/d", value, "/f"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, check=True)


# ---- the reference server -------------------------------------------------------

class Server:
    def __init__(self, work: Path, binary: Path):
        self.work = work
        self.binary = binary
        self.static = work / "static"
        subprocess.run([str(ROOT / "tools" / "server-fixture.sh"), "start", str(work), "--binary", str(binary),
                        "--http-port", str(MANIFEST_PORT)], check=True, stdout=subprocess.DEVNULL)

    def tree(self):
        """The account's files on the server: path -> (size, md5)."""
        out = subprocess.run([str(self.binary), "tree", str(self.work / "data"), ACCOUNT], check=True,
                             capture_output=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0")).stdout
        files = {}
        for line in out.decode("utf-8").splitlines():
            fields = line.split("\t")
            if fields[0] == "F" and len(fields) == 4:
                files[fields[1]] = (int(fields[2]), fields[3])
        return files

    def publish(self, installer: Path):
        update_manifest.publish(installer, self.static, STATIC_URL)
        return self.static / installer.name

    def close(self):
        subprocess.run([str(ROOT / "tools" / "server-fixture.sh"), "stop", str(self.work)])


# ---- what the scenarios share -------------------------------------------------

class Context:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.template = args.work / "template"
        self.closers = []

    def prefix(self, name):
        prefix = Prefix(self.template, self.work / name / "prefix", self.args.probe)
        self.closers.append(prefix)
        prefix.start_tray_log()
        return prefix

    def server(self, name):
        server = Server(self.work / name / "server", self.args.server_bin)
        self.closers.append(server)
        return server

    def close(self):
        for closer in reversed(self.closers):
            closer.close()
        self.closers = []


def reg_text(value):
    """A string value's text; NSIS and the registrar store the terminator."""
    return None if value is None else value[1].rstrip("\x00")


def reg_value(key, name):
    if key is None:
        return None
    return key["values"].get(name)


def version_text(version, build):
    return f"TavoTessel {version} Beta (Build {build})"


def install_silently(ctx, prefix, installer, extra_env=None):
    prefix.run_installer(installer, UPDATER_SWITCHES, extra_env=extra_env)
    return prefix.client_window_pid()


def sync_folder_files():
    """What the account's folder holds: path on the server -> content."""
    return {"文档/计划.txt": "第一季度\n".encode("utf-8"), "photo.jpg": bytes(range(256)) * 64}


def seed_account(prefix):
    """The account bound as the client binds it, with a folder of files, as
    a computer that ran the client before holds it."""
    credential = hashlib.md5(PASSWORD.encode("utf-8")).hexdigest()
    prefix.probe("seed", ACCOUNT, credential, SYNC_FOLDER, INSTALL_DIR + r"\TavoTessel.exe")
    folder = prefix.drive(SYNC_FOLDER)
    for name, data in sync_folder_files().items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


def server_has(server, files):
    tree = server.tree()
    return all(tree.get(name) == (len(data), hashlib.md5(data).hexdigest()) for name, data in files.items())


def wait_synced(prefix, server, files, since=0):
    """Waits until the server holds the files and the client, since the
    given tray record, last showed itself synced."""
    def synced():
        records = prefix.tray()[since:]
        return records and records[-1]["state"] == STATE_SYNCED and server_has(server, files)
    wait_for(synced, 120, f"the client to sync {sorted(files)}")


def state_file(prefix):
    user = getpass.getuser()
    return prefix.drive(rf"C:\users\{user}\AppData\Roaming\Tavo\Tessel\{ACCOUNT}.user_cfg")


def kept_things(prefix):
    """The sync folder, the state files and the account's settings."""
    check(state_file(prefix).is_file(), "the client kept no state file")
    files = {}
    for root in (prefix.drive(SYNC_FOLDER), state_file(prefix).parent):
        for path in sorted(root.rglob("*")):
            files[str(path)] = path.read_bytes() if path.is_file() else "folder"
    registry = prefix.registry()["tessel"]
    check(registry is not None, "no settings key")
    registry["values"].pop("Version", None)
    return files, registry


def client_shown(records):
    """The records from the last icon a client added on."""
    added = [i for i, record in enumerate(records) if record["message"] == NIM_ADD]
    return records[added[-1]:] if added else []


def check_client_icon(prefix):
    shown = wait_for(lambda: client_shown(prefix.tray()), 10, "the client's icon")
    check(shown[0]["accepted"] == 1, f"the client's icon is not in the notification area: {shown[0]}")


def upgrade_balloons(records):
    """The upgrade balloons a client set up: title and text."""
    return [r for r in records if r["title"] == UPGRADE_TITLE and r["info"].startswith("升级至版本：")]


def wait_upgrade_balloon(prefix, since):
    """The records since the given one, once a new client has set up the
    upgrade balloon."""
    def set_up():
        records = prefix.tray()[since:]
        return records if upgrade_balloons(client_shown(records)) else None
    return wait_for(set_up, 180, "the upgrade balloon")


def check_upgrade_balloon(records, version):
    """The new client's upgrade balloon names the version it runs and is
    handed to the shell."""
    balloons = upgrade_balloons(client_shown(records))
    texts = {r["info"] for r in balloons}
    check(texts == {"升级至版本：" + version}, f"upgrade balloon texts: {texts}")
    check(any(r["flags"] & NIF_INFO and r["accepted"] for r in balloons), "the upgrade balloon was not shown")


def check_installed(prefix, version, file_version):
    folder = prefix.drive(INSTALL_DIR)
    for name in PROGRAM_FILES:
        check((folder / name).is_file(), f"{name} is not installed")
    installed = prefix.version(INSTALL_DIR + r"\TavoTessel.exe")
    check(installed == {"product": version, "file": file_version}, f"installed client is {installed}")
    registry = prefix.registry()
    stored = reg_value(registry["tessel"], "Version")
    check(stored is not None and stored[0] == 1 and reg_text(stored) == version, f"Version is {stored}")
    return registry


def check_overlay_registered(registry):
    glint = INSTALL_DIR + r"\Glint.dll"
    for clsid, identifier in zip(OVERLAY_CLASSES, OVERLAY_IDS):
        key = registry["classes"][clsid]
        check(key is not None, f"class {clsid} is not registered")
        server = key["keys"].get("InprocServer32")
        check(server is not None and reg_text(reg_value(server, "")) == glint, f"{clsid} serves {server}")
        check(reg_text(reg_value(server, "ThreadingModel")) == "Apartment", f"{clsid} threading model")
        check(reg_text(reg_value(registry["identifiers"][identifier], "")) == clsid, f"{identifier} is not {clsid}")


# ---- scenarios ----------------------------------------------------------------

def scenario_install(ctx):
    args = ctx.args
    prefix = ctx.prefix("install")
    install_silently(ctx, prefix, args.old_installer)
    registry = check_installed(prefix, args.old_version, args.old_file_version)
    check_overlay_registered(registry)
    entry = registry["uninstall"]
    check(entry is not None, "no uninstall entry")
    check(reg_text(reg_value(entry, "DisplayName")) == "TavoTessel", "uninstall entry's name")
    check(reg_text(reg_value(entry, "DisplayVersion")) == args.old_version, "uninstall entry's version")
    check(reg_text(reg_value(entry, "UninstallString")) == f'"{INSTALL_DIR}\\uninst.exe"', "uninstall command")
    menu = prefix.drive(r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\TavoTessel")
    check((menu / "TavoTessel.lnk").is_file(), "no start-menu entry")
    check_client_icon(prefix)
    check(not upgrade_balloons(prefix.tray()), "a first installation announced an upgrade")
    stamped = prefix.version(windows_path(args.old_installer))
    check(stamped == {"product": args.old_version, "file": args.old_file_version}, f"installer is {stamped}")


def start_updater(prefix, whole_tree=False):
    """Runs the updater as the client starts it; with whole_tree, waits for
    whatever it started too."""
    command = "run-tree" if whole_tree else "run"
    out = prefix.probe(command, "60000", INSTALL_DIR + r"\TavoTesselUpdate.exe", "")
    check(out == "exit 0", f"updater: {out}")


def bound_and_synced(ctx, prefix, server):
    """Version N installed over a bound account, which it syncs; returns
    its process and what must stay as it is."""
    seed_account(prefix)
    pid = install_silently(ctx, prefix, ctx.args.old_installer)
    wait_synced(prefix, server, sync_folder_files())
    return pid, kept_things(prefix)


def hold_overlay(prefix):
    """Loads the installed overlay DLL and keeps it, as Explorer does."""
    holder, held = prefix.spawn_probe("hold", "hold", INSTALL_DIR + r"\Glint.dll")
    wait_for(lambda: held.read_text().strip() == "held" or holder.poll() is not None, 30, "the DLL's holder")
    check(holder.poll() is None, "the overlay DLL could not be loaded")
    return holder


def check_road_records(records, version):
    """The old client ended through its shutdown before the new one started
    and showed the upgrade balloon."""
    removed = [i for i, r in enumerate(records) if r["message"] == NIM_DELETE]
    added = [i for i, r in enumerate(records) if r["message"] == NIM_ADD]
    check(removed and added and removed[0] < added[0], f"the old client did not remove its icon before the new one: "
          f"{[r['message'] for r in records]}")
    check_upgrade_balloon(records[added[0]:], version)


def scenario_road(ctx):
    args = ctx.args
    prefix = ctx.prefix("road")
    server = ctx.server("road")
    old_pid, kept = bound_and_synced(ctx, prefix, server)
    holder = hold_overlay(prefix)
    server.publish(args.new_installer)

    since = len(prefix.tray())
    start_updater(prefix)
    records = wait_upgrade_balloon(prefix, since)
    check_road_records(records, version_text(args.new_version, args.new_build))
    new_pid = prefix.client_window_pid()
    check(new_pid != old_pid, "the old client still owns the tray window")
    check_overlay_registered(check_installed(prefix, args.new_version, args.new_file_version))
    wait_synced(prefix, server, sync_folder_files(), since=since)
    check(kept_things(prefix) == kept, "the account, its state file or the sync folder changed")

    added = {"升级后/新文件.txt": "升级之后添加的文件\n".encode("utf-8")}
    (prefix.drive(SYNC_FOLDER) / "升级后").mkdir()
    (prefix.drive(SYNC_FOLDER) / "升级后" / "新文件.txt").write_bytes(added["升级后/新文件.txt"])
    wait_synced(prefix, server, added, since=since)

    # The DLL that was held is replaced; what had to be moved aside goes once
    # nothing holds it, at the next installation.
    holder.stdin.close()
    holder.wait(timeout=30)
    aside = list(prefix.drive(INSTALL_DIR).glob("*.old"))
    print(f"  moved aside while held: {[p.name for p in aside]}")
    if aside:
        install_silently(ctx, prefix, args.new_installer)
        check(not list(prefix.drive(INSTALL_DIR).glob("*.old")), "files moved aside were not deleted")


def scenario_mismatch(ctx):
    args = ctx.args
    prefix = ctx.prefix("mismatch")
    server = ctx.server("mismatch")
    pid, _ = bound_and_synced(ctx, prefix, server)
    package = server.publish(args.new_installer)
    with package.open("ab") as f:
        f.write(b"\0")
    since = len(prefix.tray())
    # The updater and anything it would start have ended when this returns.
    start_updater(prefix, whole_tree=True)
    user = getpass.getuser()
    # Wine's temporary folder, where the updater saves the package.
    downloaded = prefix.drive(rf"C:\users\{user}\Temp\{package.name}")
    check(downloaded.read_bytes() == package.read_bytes(), "the updater did not download the package")
    check(prefix.client_window_pid() == pid, "the old client is no longer running")
    check_installed(prefix, args.old_version, args.old_file_version)
    shown = [r["message"] for r in prefix.tray()[since:] if r["message"] in (NIM_ADD, NIM_DELETE)]
    check(not shown, f"a client ended or started: {shown}")


def scenario_uninstall(ctx):
    args = ctx.args
    prefix = ctx.prefix("uninstall")
    server = ctx.server("uninstall")
    _, kept = bound_and_synced(ctx, prefix, server)
    uninstaller = INSTALL_DIR + r"\uninst.exe"
    out = prefix.probe("run-tree", "120000", uninstaller, f'"{uninstaller}" /S')
    check(out == "exit 0", f"uninstaller: {out}")
    wait_for(lambda: prefix.tray()[-1]["message"] == NIM_DELETE, 10, "the client to end through its shutdown")
    prefix.probe("wait-window", "10000", "gone")
    check(not prefix.drive(INSTALL_DIR).exists(), "the program folder is left")
    menu = prefix.drive(r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\TavoTessel")
    check(not menu.exists(), "the start-menu entry is left")
    registry = prefix.registry()
    for clsid, identifier in zip(OVERLAY_CLASSES, OVERLAY_IDS):
        check(registry["classes"][clsid] is None, f"class {clsid} is left")
        check(registry["identifiers"][identifier] is None, f"identifier {identifier} is left")
    for name in ("autorun", "uninstall", "tavo_ext", "tavo_type"):
        check(registry[name] is None, f"{name} is left: {registry[name]}")
    check(reg_value(registry["tessel"], "Version") is None, "Version is left")
    check(kept_things(prefix) == kept, "the account, its state file or the sync folder changed")


def scenario_hung(ctx):
    args = ctx.args
    prefix = ctx.prefix("hung")
    pid = install_silently(ctx, prefix, args.hung_installer)

    # With message boxes, the user may refuse to end it: the installation
    # stops and says why.
    setup, setup_out = prefix.spawn_probe("setup", "run", "180000", windows_path(args.new_installer), "/SILENT")
    question = prefix.probe("answer", "60000", SETUP_TITLE, str(IDNO))
    check("没有响应" in question, f"question: {question}")
    reason = prefix.probe("answer", "30000", SETUP_TITLE, str(IDOK))
    check("仍在运行" in reason, f"reason: {reason}")
    setup.wait(timeout=60)
    out = setup_out.read_text().strip()
    check(out == f"exit {EXIT_STOPPED}", f"refused installation: {out}")
    check(prefix.client_window_pid() == pid, "the hung client was ended")
    check_installed(prefix, args.old_version, args.old_file_version)

    # Silent, it is ended after the deadline and the installation completes.
    since = len(prefix.tray())
    started = time.monotonic()
    prefix.run_installer(args.new_installer, UPDATER_SWITCHES)
    took = time.monotonic() - started
    check(took >= CLIENT_END_DEADLINE - 1, f"the installer waited only {took:.1f} s")
    print(f"  silent install over the hung client took {took:.1f} s")
    check(prefix.client_window_pid() != pid, "the hung client still owns the window")
    check_installed(prefix, args.new_version, args.new_file_version)
    check_upgrade_balloon(wait_upgrade_balloon(prefix, since), version_text(args.new_version, args.new_build))


def scenario_wizard(ctx):
    args = ctx.args
    prefix = ctx.prefix("wizard")
    installer = windows_path(args.old_installer)
    setup, setup_out = prefix.spawn_probe("setup", "run", "180000", installer, f'"{installer}"')
    # Welcome, folder, and once the files are in place, finish with the
    # client's start ticked.
    for shows in (f"欢迎安装 TavoTessel {args.old_version}", INSTALL_DIR, "运行 TavoTessel"):
        prefix.probe("click", "60000", SETUP_TITLE, str(IDOK), shows)
    setup.wait(timeout=60)
    check(setup_out.read_text().strip() == "exit 0", f"installation: {setup_out.read_text()}")
    prefix.client_window_pid()
    check_installed(prefix, args.old_version, args.old_file_version)
    check_client_icon(prefix)


SCENARIOS = {
    "install": scenario_install,
    "wizard": scenario_wizard,
    "road": scenario_road,
    "mismatch": scenario_mismatch,
    "uninstall": scenario_uninstall,
    "hung": scenario_hung,
}


# ---- the run ----------------------------------------------------------------

def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def enter_network_namespace():
    """Runs this script again in a network namespace of its own, where the
    manifest's port is free; returns its exit code, or None to run here."""
    if os.environ.get(NETNS_MARK):
        return None
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        if port_free(MANIFEST_PORT):
            return None
        print(f"installer_e2e: port {MANIFEST_PORT} is taken and no network namespace can be made")
        return 1
    command = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
               sys.executable, *sys.argv]
    return subprocess.run(command, env=dict(os.environ, **{NETNS_MARK: "1"})).returncode


def run_scenarios(ctx, names):
    passed, failed = 0, 0
    for name in names:
        started = time.monotonic()
        try:
            SCENARIOS[name](ctx)
            passed += 1
            print(f"PASS {name} ({time.monotonic() - started:.1f} s)")
            # Prefixes are large; those of failed scenarios stay to be looked at.
            ctx.close()
            shutil.rmtree(ctx.work / name, ignore_errors=True)
        except (Failure, subprocess.SubprocessError, OSError, ValueError) as error:
            failed += 1
            print(f"FAIL {name}: {error}")
        finally:
            ctx.close()
        sys.stdout.flush()
    print(f"{passed} passed, {failed} failed")
    if failed == 0:
        shutil.rmtree(ctx.template, ignore_errors=True)
    return 0 if failed == 0 else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--old-installer", type=Path, required=True)
    parser.add_argument("--new-installer", type=Path, required=True)
    parser.add_argument("--hung-installer", type=Path, required=True)
    parser.add_argument("--old-version", required=True)
    parser.add_argument("--old-build", required=True)
    parser.add_argument("--new-version", required=True)
    parser.add_argument("--new-build", required=True)
    parser.add_argument("--probe", type=Path, required=True)
    parser.add_argument("--server-bin", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--scenario", action="append", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    for which in ("old", "new"):
        version = getattr(args, f"{which}_version")
        setattr(args, f"{which}_file_version", version.rsplit(".", 1)[0] + "." + getattr(args, f"{which}_build"))
    code = enter_network_namespace()
    if code is not None:
        return code
    for name in ("old_installer", "new_installer", "hung_installer", "probe", "server_bin", "work"):
        setattr(args, name, getattr(args, name).resolve())
    args.work.mkdir(parents=True, exist_ok=True)
    ctx = Context(args)
    make_template(ctx.template)
    return run_scenarios(ctx, args.scenario or list(SCENARIOS))


if __name__ == "__main__":
    sys.exit(main())
