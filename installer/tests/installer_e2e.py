#!/usr/bin/env python3
"""The installer end to end under Wine, each scenario in a Wine prefix of its
own (copied from one prefix made at the start), with the real reference
server on loopback serving the update manifest where the updater looks for
it (127.0.0.1:8765). So that port 8765 is free whatever else runs on the
machine, the run moves into a network namespace of its own when it can.

Scenarios:
  install    a silent install with the updater's switches
  wizard     an install through its pages, the client started at the end
  road       version N running, N+1 published, the real updater started:
             it downloads and checks the installer and starts it; the
             installer ends the client, replaces the files (the overlay DLL
             held as Explorer holds it), starts the new client and tells it
  mismatch   a package whose MD5 is not the manifest's: nothing changes
  uninstall  silent removal: nothing of the program is left, the sync
             folder and the account stay
  hung       an install over a client whose window does not answer: silent,
             it is ended after the deadline; with message boxes, the user's
             refusal stops the installation with the reason

The client is a stand-in (standin_client.cpp) that logs what it receives.
"""

import argparse
import getpass
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
        self.log = path / "client.log"
        self.env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                        TAVO_STANDIN_LOG=windows_path(self.log))
        self.env.pop("TAVO_STANDIN_HANG", None)
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

    def log_lines(self):
        if not self.log.exists():
            return []
        return self.log.read_text(encoding="utf-8").splitlines()

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
    if path.exists():
        shutil.rmtree(path)
    env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    subprocess.run([WINE, "wineboot", "--init"], env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, check=True)


# ---- the reference server -------------------------------------------------------

class Server:
    def __init__(self, work: Path, binary: Path):
        self.work = work
        self.static = work / "static"
        env = dict(os.environ, TESSEL_SERVER_BINARY=str(binary))
        subprocess.run([str(ROOT / "tools" / "server-fixture.sh"), "start", str(work),
                        "--http-port", str(MANIFEST_PORT)], env=env, check=True)

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


def start_line(pid, version, build):
    return f"start {pid} TavoTessel {version} Beta (Build {build})"


def upgraded_line(version, build):
    return f"upgraded 升级至版本：TavoTessel {version} Beta (Build {build})"


def install_silently(ctx, prefix, installer, extra_env=None):
    prefix.run_installer(installer, UPDATER_SWITCHES, extra_env=extra_env)
    return prefix.client_window_pid()


def seed_account(prefix):
    """An account bound as the client binds it, with a folder of files and a
    state file; returns what must stay as it is."""
    client = INSTALL_DIR + r"\TavoTessel.exe"
    prefix.probe("seed", ACCOUNT, SYNC_FOLDER, client)
    folder = prefix.drive(SYNC_FOLDER)
    (folder / "文档").mkdir(parents=True)
    (folder / "文档" / "计划.txt").write_text("第一季度\n", encoding="utf-8")
    (folder / "photo.jpg").write_bytes(bytes(range(256)) * 64)
    state = state_file(prefix)
    state.parent.mkdir(parents=True, exist_ok=True)
    state.write_text('<?xml version="1.0" encoding="UTF-8"?>\n<TavoTessel></TavoTessel>\n', encoding="utf-8")
    return kept_things(prefix)


def state_file(prefix):
    user = getpass.getuser()
    return prefix.drive(rf"C:\users\{user}\AppData\Roaming\Tavo\Tessel\{ACCOUNT}.user_cfg")


def kept_things(prefix):
    files = {}
    for root in (prefix.drive(SYNC_FOLDER), state_file(prefix).parent):
        for path in sorted(root.rglob("*")):
            files[str(path)] = path.read_bytes() if path.is_file() else "folder"
    registry = prefix.registry()["tessel"]
    check(registry is not None, "no settings key")
    registry["values"].pop("Version", None)
    return files, registry


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
    pid = install_silently(ctx, prefix, args.old_installer)
    registry = check_installed(prefix, args.old_version, args.old_file_version)
    check_overlay_registered(registry)
    entry = registry["uninstall"]
    check(entry is not None, "no uninstall entry")
    check(reg_text(reg_value(entry, "DisplayName")) == "TavoTessel", "uninstall entry's name")
    check(reg_text(reg_value(entry, "DisplayVersion")) == args.old_version, "uninstall entry's version")
    check(reg_text(reg_value(entry, "UninstallString")) == f'"{INSTALL_DIR}\\uninst.exe"', "uninstall command")
    menu = prefix.drive(r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\TavoTessel")
    check((menu / "TavoTessel.lnk").is_file(), "no start-menu entry")
    check(prefix.log_lines() == [start_line(pid, args.old_version, args.old_build)],
          f"client log: {prefix.log_lines()}")
    stamped = prefix.version(windows_path(args.old_installer))
    check(stamped == {"product": args.old_version, "file": args.old_file_version}, f"installer is {stamped}")


def start_updater(prefix):
    out = prefix.probe("run", "60000", INSTALL_DIR + r"\TavoTesselUpdate.exe", "")
    check(out == "exit 0", f"updater: {out}")


def scenario_road(ctx):
    args = ctx.args
    prefix = ctx.prefix("road")
    server = ctx.server("road")
    old_pid = install_silently(ctx, prefix, args.old_installer)
    kept = seed_account(prefix)
    holder, held = prefix.spawn_probe("hold", "hold", INSTALL_DIR + r"\Glint.dll")
    wait_for(lambda: held.read_text().strip() == "held" or holder.poll() is not None, 30, "the DLL's holder")
    check(holder.poll() is None, "the overlay DLL could not be loaded")
    server.publish(args.new_installer)

    start_updater(prefix)
    wait_for(lambda: any(line.startswith("upgraded") for line in prefix.log_lines()), 120, "the upgrade notice")
    new_pid = prefix.client_window_pid()
    expected = [start_line(old_pid, args.old_version, args.old_build), "update-result 0", f"quit {old_pid}",
                start_line(new_pid, args.new_version, args.new_build), upgraded_line(args.new_version, args.new_build)]
    check(prefix.log_lines() == expected, f"client log: {prefix.log_lines()}")
    check_overlay_registered(check_installed(prefix, args.new_version, args.new_file_version))
    check(kept_things(prefix) == kept, "the account, its state file or the sync folder changed")

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
    pid = install_silently(ctx, prefix, args.old_installer)
    package = server.publish(args.new_installer)
    with package.open("ab") as f:
        f.write(b"\0")
    start_updater(prefix)
    wait_for(lambda: "update-result 2" in prefix.log_lines(), 30, "the failure notice")
    check(prefix.client_window_pid() == pid, "the old client is no longer running")
    check_installed(prefix, args.old_version, args.old_file_version)
    check(prefix.log_lines() == [start_line(pid, args.old_version, args.old_build), "update-result 2"],
          f"client log: {prefix.log_lines()}")


def scenario_uninstall(ctx):
    args = ctx.args
    prefix = ctx.prefix("uninstall")
    pid = install_silently(ctx, prefix, args.old_installer)
    kept = seed_account(prefix)
    uninstaller = INSTALL_DIR + r"\uninst.exe"
    out = prefix.probe("run-tree", "120000", uninstaller, f'"{uninstaller}" /S')
    check(out == "exit 0", f"uninstaller: {out}")
    check(f"quit {pid}" in prefix.log_lines(), "the client was not ended")
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
    # The installer's client inherits the switch that makes it hang.
    pid = install_silently(ctx, prefix, args.old_installer, extra_env={"TAVO_STANDIN_HANG": "1"})

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
    started = time.monotonic()
    prefix.run_installer(args.new_installer, UPDATER_SWITCHES)
    took = time.monotonic() - started
    check(took >= CLIENT_END_DEADLINE - 1, f"the installer waited only {took:.1f} s")
    print(f"  silent install over the hung client took {took:.1f} s")
    new_pid = prefix.client_window_pid()
    check(new_pid != pid, "the hung client still owns the window")
    check_installed(prefix, args.new_version, args.new_file_version)
    check(prefix.log_lines() == [start_line(pid, args.old_version, args.old_build),
                                 start_line(new_pid, args.new_version, args.new_build),
                                 upgraded_line(args.new_version, args.new_build)],
          f"client log: {prefix.log_lines()}")


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
    pid = prefix.client_window_pid()
    check_installed(prefix, args.old_version, args.old_file_version)
    check(prefix.log_lines() == [start_line(pid, args.old_version, args.old_build)],
          f"client log: {prefix.log_lines()}")


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
    for name in ("old_installer", "new_installer", "probe", "server_bin", "work"):
        setattr(args, name, getattr(args, name).resolve())
    args.work.mkdir(parents=True, exist_ok=True)
    ctx = Context(args)
    make_template(ctx.template)
    return run_scenarios(ctx, args.scenario or list(SCENARIOS))


if __name__ == "__main__":
    sys.exit(main())
