#!/usr/bin/env python3
"""The web pages together with the real client: an account registered in
the browser signs on from TavoTesselSync, files uploaded, renamed, moved and
deleted in the browser reach the synced folder, a file synced up appears in
the browser, and after a password reset in the browser the old stored
credential is refused.

The browser here is a plain HTTP client that posts the pages' forms as a
browser does (cookies, anti-forgery tokens, multipart uploads); the pages
in a real browser are tested by server/tests/web_browser_test.py.
Usage: web_e2e.py --sync-exe EXE --server-bin BIN --work DIR
"""
import argparse
import http.cookiejar
import os
import re
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request
import uuid

from sync_e2e import Computer, Failure, Server, as_server_sees, read_file, write_file

USER = "网页用户"
PASSWORD = "web-pass-1"
NEW_PASSWORD = "web-pass-2"


class Browser:
    """Cookies, the anti-forgery token of the last page, redirects followed."""

    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        self.token = ""
        self.page = ""

    def _open(self, request):
        try:
            with self.opener.open(request, timeout=60) as response:
                status, body = response.status, response.read().decode(errors="replace")
        except urllib.error.HTTPError as error:
            status, body = error.code, error.read().decode(errors="replace")
        self.page = body
        found = re.search(r'name="token" value="([A-Za-z0-9]+)"', body)
        if found:
            self.token = found.group(1)
        return status

    def get(self, path):
        return self._open(urllib.request.Request(self.base + path))

    def post(self, path, fields):
        fields = dict(fields, token=self.token)
        data = urllib.parse.urlencode(fields).encode()
        return self._open(urllib.request.Request(self.base + path, data=data))

    def upload(self, folder, name, content):
        boundary = uuid.uuid4().hex
        parts = []
        for field, value in (("token", self.token), ("folder", str(folder))):
            parts.append(('--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
                          % (boundary, field, value)).encode())
        parts.append(('--%s\r\nContent-Disposition: form-data; name="file"; filename="%s"\r\n'
                      'Content-Type: application/octet-stream\r\n\r\n' % (boundary, name)).encode())
        body = b"".join(parts) + content + ("\r\n--%s--\r\n" % boundary).encode()
        request = urllib.request.Request(self.base + "/files/upload", data=body, headers={
            "Content-Type": "multipart/form-data; boundary=" + boundary})
        return self._open(request)

    def notice(self):
        found = re.search(r'<p class="notice [a-z]+">([^<]*)</p>', self.page)
        return found.group(1) if found else ""

    def entry_id(self, name):
        """The id of an entry in the listing shown last."""
        found = re.search(r'href="/files(?:/download)?\?(?:id|folder)=(\d+)">%s</a>' % re.escape(name), self.page)
        if not found:
            raise Failure("the listing does not show %s" % name)
        return int(found.group(1))

    def expect(self, status, wanted, what):
        if status != 200 or wanted not in self.notice():
            raise Failure("%s: status %d, notice %r" % (what, status, self.notice()))


def sync(side, server, password=PASSWORD, expect=0):
    result = side.run_tool(["sync", USER, password, side.windows_path(side.folder), "--once", "--server",
                            "127.0.0.1:%d" % server.port, "--timeout", "60"], 180)
    if result.returncode != expect:
        raise Failure("sync ended with %d, not %d:\n%s" % (result.returncode, expect, result.stdout))


def server_tree(server):
    result = subprocess.run([server.binary, "tree", os.path.join(server.dir, "data"), USER], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    if result.returncode != 0:
        raise Failure("tessel-server tree: %s" % result.stderr.decode(errors="replace"))
    tree = {}
    for line in result.stdout.decode().splitlines():
        fields = line.split("\t")
        tree[fields[1]] = ("dir",) if fields[0] == "D" else (int(fields[2]), fields[3])
    return tree


def check_same(side, server):
    local, remote = as_server_sees(side.files()), server_tree(server)
    if local != remote:
        raise Failure("the synced folder differs from the server: only here %s, only there %s" %
                      (sorted(set(local) - set(remote)), sorted(set(remote) - set(local))))


def scenario_register_and_sign_on(side, server, browser):
    """An account registered in the browser signs on from the client."""
    browser.get("/register")
    status = browser.post("/register", {"user": USER, "password": PASSWORD, "confirm": PASSWORD})
    code = re.search(r'<p class="code">([A-Z0-9-]+)</p>', browser.page)
    if status != 200 or not code:
        raise Failure("registration failed with %d" % status)
    browser.recovery_code = code.group(1)
    sync(side, server)
    check_same(side, server)


def scenario_browser_changes_arrive(side, server, browser):
    """Uploads, a new folder, a rename and a move in the browser reach the
    synced folder; a file synced up shows in the browser."""
    browser.get("/files")
    browser.post("/files/signin", {"user": USER, "password": PASSWORD})
    browser.expect(browser.post("/files/mkdir", {"folder": 0, "name": "网页文件夹"}), "已新建文件夹", "mkdir")
    folder = browser.entry_id("网页文件夹")
    big = os.urandom(2 * 1024 * 1024 + 5)
    browser.expect(browser.upload(folder, "来自网页.bin", big), "已上传", "upload into the folder")
    browser.expect(browser.upload(0, "root.txt", b"uploaded in the browser"), "已上传", "upload into the root")
    sync(side, server)
    if read_file(side.folder, os.path.join("网页文件夹", "来自网页.bin")) != big:
        raise Failure("the browser's upload did not arrive intact")
    check_same(side, server)

    browser.get("/files")
    file_id = browser.entry_id("root.txt")
    browser.expect(browser.post("/files/rename", {"id": file_id, "name": "renamed.txt"}), "已重命名", "rename")
    browser.expect(browser.post("/files/move", {"id": file_id, "target": folder}), "已移动", "move")
    write_file(side.folder, "from-client.txt", b"synced up from the client")
    sync(side, server)
    if read_file(side.folder, os.path.join("网页文件夹", "renamed.txt")) != b"uploaded in the browser" or \
            os.path.exists(os.path.join(side.folder, "root.txt")):
        raise Failure("the rename and move did not arrive: %s" % sorted(side.files()))
    check_same(side, server)
    browser.get("/files")
    browser.get("/files/download?id=%d" % browser.entry_id("from-client.txt"))
    if browser.page != "synced up from the client":
        raise Failure("the browser does not get the client's file")


def scenario_browser_deletes(side, server, browser):
    """A file and a folder deleted in the browser disappear locally."""
    browser.get("/files")
    folder = browser.entry_id("网页文件夹")
    browser.get("/files?folder=%d" % folder)
    browser.expect(browser.post("/files/delete", {"id": browser.entry_id("来自网页.bin")}), "已删除", "delete file")
    sync(side, server)
    if os.path.exists(os.path.join(side.folder, "网页文件夹", "来自网页.bin")):
        raise Failure("the file deleted in the browser is still here")
    browser.expect(browser.post("/files/delete", {"id": folder}), "已删除", "delete folder")
    sync(side, server)
    if os.path.exists(os.path.join(side.folder, "网页文件夹")):
        raise Failure("the folder deleted in the browser is still here")
    check_same(side, server)


def scenario_password_reset(side, server, browser):
    """After a password reset in the browser the old credential is refused."""
    browser.get("/password")
    status = browser.post("/password", {"user": USER, "code": browser.recovery_code, "password": NEW_PASSWORD,
                                        "confirm": NEW_PASSWORD})
    if status != 200 or "密码已重设" not in browser.page:
        raise Failure("the password reset failed with %d" % status)
    sync(side, server, PASSWORD, expect=2)
    sync(side, server, NEW_PASSWORD)
    check_same(side, server)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sync-exe", required=True)
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    server = Server(args.work, args.server_bin)
    side = Computer("web", args.work, args.sync_exe)
    passed = failed = 0
    try:
        server.start()
        side.reset()
        browser = Browser(int(server.ports()["TESSEL_HTTP_PORT"]))
        browser.recovery_code = ""
        for name, scenario in (("registered in the browser, signs on", scenario_register_and_sign_on),
                               ("browser changes arrive", scenario_browser_changes_arrive),
                               ("browser deletes", scenario_browser_deletes),
                               ("password reset", scenario_password_reset)):
            try:
                scenario(side, server, browser)
                passed += 1
                print("ok      %s" % name, flush=True)
            except Failure as failure:
                failed += 1
                print("FAILED  %s: %s" % (name, failure), flush=True)
    finally:
        server.stop()
        subprocess.run(["wineserver", "-k"], env=side.env, check=False, stderr=subprocess.DEVNULL)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
