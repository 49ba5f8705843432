#!/usr/bin/env python3
"""The service's web pages in a real browser: headless Chromium driven by
Selenium against a tessel-server on loopback.

A user registers, signs in, creates a folder, uploads a file, renames it,
downloads it (the bytes must be equal), deletes it and signs out; the
feedback and password pages are filled in too. A screenshot of every page
is saved into the screenshots folder (--shots, default WORK/screenshots).

Usage: web_browser_test.py --server-bin BIN --work DIR [--shots DIR]
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURE = os.path.join(ROOT, "tools", "server-fixture.sh")
USER = "浏览器用户"
PASSWORD = "网页密码123"
NEW_PASSWORD = "新的密码456"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Site:
    """The server, a browser, and the steps a user takes."""

    def __init__(self, args):
        self.server_bin = args.server_bin
        self.server_dir = os.path.join(args.work, "server")
        self.shots = args.shots or os.path.join(args.work, "screenshots")
        self.downloads = os.path.join(args.work, "downloads")
        self.profile = tempfile.mkdtemp(prefix="tessel-chromium-")
        self.driver = None
        self.base = None
        self.recovery_code = ""

    def start(self):
        for folder in (self.shots, self.downloads):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        subprocess.run([FIXTURE, "start", self.server_dir, "--binary", self.server_bin, "--sync-port", "0",
                        "--data-port", "0", "--http-port", "0"], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.server_dir, "server.env")) as env:
            port = dict(line.strip().split("=", 1) for line in env)["TESSEL_HTTP_PORT"]
        self.base = "http://127.0.0.1:%s" % port
        # A published installer, for the home page's download link.
        with open(os.path.join(self.server_dir, "static", "TavoTesselSetup-1.0.0.1.exe"), "wb") as f:
            f.write(b"MZ" + b"\0" * 4094)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        # Without the background-networking switches Chromium keeps trying
        # hosts that a closed network refuses.
        for switch in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                       "--disable-background-networking", "--disable-component-update", "--disable-sync",
                       "--disable-dev-shm-usage", "--user-data-dir=" + self.profile, "--window-size=1200,860",
                       "--lang=zh-CN"):
            options.add_argument(switch)
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.driver.set_page_load_timeout(30)
        self.driver.execute_cdp_cmd("Page.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": self.downloads})

    def stop(self):
        if self.driver:
            self.driver.quit()
        subprocess.run([FIXTURE, "stop", self.server_dir], check=False)
        shutil.rmtree(self.profile, ignore_errors=True)

    def open(self, path):
        self.driver.get(self.base + path)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def fill(self, form, values):
        for name, value in values.items():
            field = self.find("%s [name=%s]" % (form, name))
            field.clear()
            field.send_keys(value)

    def submit(self, form):
        self.find(form + " button[type=submit]").click()

    def wait_for(self, condition, what, seconds=20):
        try:
            return WebDriverWait(self.driver, seconds).until(condition)
        except TimeoutException:
            raise Failure("waited in vain for %s on %s" % (what, self.driver.current_url))

    def wait_text(self, css, text):
        self.wait_for(expected_conditions.text_to_be_present_in_element((By.CSS_SELECTOR, css), text),
                      "%r in %s" % (text, css))

    def notice(self):
        found = self.driver.find_elements(By.CSS_SELECTOR, "p.notice")
        return found[0].text if found else ""

    def row_link(self, name):
        for link in self.driver.find_elements(By.CSS_SELECTOR, "table.list td:first-child a"):
            if link.text == name:
                return link
        return None

    def server_tree(self):
        result = subprocess.run([self.server_bin, "tree", os.path.join(self.server_dir, "data"), USER],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False,
                                env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        check(result.returncode == 0, "tessel-server tree failed: %s" % result.stderr.decode(errors="replace"))
        return result.stdout.decode().splitlines()


def test_home_and_registration(site):
    site.open("/")
    check("TavoTessel是一个特殊文件夹" in site.driver.page_source, "the home page does not say what the service is")
    link = site.find("p.download a")
    check(link.get_attribute("href").endswith("/static/TavoTesselSetup-1.0.0.1.exe"), "no installer link")
    site.shot("home")
    site.find("nav a[href='/register']").click()
    site.fill("form[action='/register']", {"user": "ab", "password": PASSWORD, "confirm": PASSWORD})
    site.submit("form[action='/register']")
    site.wait_text("p.notice", "用户名须为3到15个字符")
    site.fill("form[action='/register']", {"user": USER, "password": PASSWORD, "confirm": PASSWORD})
    site.shot("register")
    site.submit("form[action='/register']")
    site.wait_text("h1", "注册成功")
    code = site.find("p.code").text
    check(re.fullmatch(r"[A-Z2-9]{5}(-[A-Z2-9]{5}){3}", code), "no recovery code shown: %r" % code)
    site.shot("registered")
    site.recovery_code = code


def upload(site, path):
    site.find("#upload input[type=file]").send_keys(path)
    site.find("#upload button[type=submit]").click()
    site.wait_text("p.notice", "已上传" + os.path.basename(path))


def test_files_round_trip(site):
    site.open("/files")
    site.shot("signin")
    site.fill("form[action='/files/signin']", {"user": USER, "password": "wrong-password"})
    site.submit("form[action='/files/signin']")
    site.wait_text("p.notice", "用户名或密码错误，请重新输入")
    site.fill("form[action='/files/signin']", {"user": USER, "password": PASSWORD})
    site.submit("form[action='/files/signin']")
    site.wait_text(".account .user", USER)

    for name in ("工作文档", "照片"):
        site.fill("form[action='/files/mkdir']", {"name": name})
        site.submit("form[action='/files/mkdir']")
        site.wait_text("p.notice", "已新建文件夹“%s”" % name)
    site.row_link("工作文档").click()
    site.wait_text("nav.path", "工作文档")
    content = os.urandom(3 * 1024 * 1024 + 17)
    local = os.path.join(site.downloads, "..", "季度报告.bin")
    with open(local, "wb") as f:
        f.write(content)
    upload(site, os.path.abspath(local))
    for i, text in enumerate(("会议纪要", "预算草案")):
        extra = os.path.abspath(os.path.join(site.downloads, "..", "%s-%d.txt" % (text, i)))
        with open(extra, "w") as f:
            f.write(text * (i + 1) * 300)
        upload(site, extra)
    site.shot("files")

    site.driver.find_element(By.XPATH, "//tr[td/a[text()='季度报告.bin']]//a[text()='管理']").click()
    site.wait_text("h1", "季度报告.bin")
    site.shot("entry")
    site.fill("form[action='/files/rename']", {"name": "年度报告.bin"})
    site.submit("form[action='/files/rename']")
    site.wait_text("p.notice", "已重命名为“年度报告.bin”")

    site.row_link("年度报告.bin").click()
    target = os.path.join(site.downloads, "年度报告.bin")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not os.path.exists(target):
        time.sleep(0.1)
    check(os.path.exists(target), "the download did not arrive: %s" % os.listdir(site.downloads))
    with open(target, "rb") as f:
        check(hashlib.md5(f.read()).digest() == hashlib.md5(content).digest(), "the downloaded bytes differ")
    tree = site.server_tree()
    check("F\t工作文档/年度报告.bin\t%d\t%s" % (len(content), hashlib.md5(content).hexdigest()) in tree,
          "the server's tree lacks the upload: %s" % tree)

    site.driver.find_element(By.XPATH, "//tr[td/a[text()='年度报告.bin']]//a[text()='管理']").click()
    site.wait_text("h1", "年度报告.bin")
    site.submit("form[action='/files/delete']")
    site.wait_for(expected_conditions.alert_is_present(), "the question before deleting")
    site.driver.switch_to.alert.accept()
    site.wait_text("p.notice", "已删除“年度报告.bin”")
    check(site.row_link("年度报告.bin") is None, "the deleted file is still listed")
    check(not any("年度报告" in line for line in site.server_tree()), "the deleted file is still on the server")

    site.find(".account button").click()
    site.wait_text("p.notice", "您已安全退出")
    site.open("/files/download?id=1")
    check(site.driver.find_elements(By.CSS_SELECTOR, "form[action='/files/signin']"),
          "a signed-out browser still reaches files")


def test_password_and_feedback(site):
    site.open("/password")
    site.fill("form[action='/password']", {"user": USER, "code": site.recovery_code.lower(),
                                           "password": NEW_PASSWORD, "confirm": NEW_PASSWORD})
    site.shot("password")
    site.submit("form[action='/password']")
    site.wait_text("h1", "密码已重设")
    site.shot("password-reset")
    site.open("/feedback")
    site.fill("form[action='/feedback']", {"message": "网页版很好用，希望能支持拖放上传。", "contact": "user@example.org"})
    site.shot("feedback")
    site.submit("form[action='/feedback']")
    site.wait_text("h1", "感谢您的反馈")
    site.open("/files")
    site.fill("form[action='/files/signin']", {"user": USER, "password": NEW_PASSWORD})
    site.submit("form[action='/files/signin']")
    site.wait_text(".account .user", USER)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--shots")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    site = Site(args)
    passed = failed = 0
    try:
        site.start()
        for name, case in (("home page and registration", test_home_and_registration),
                           ("files round trip", test_files_round_trip),
                           ("password and feedback", test_password_and_feedback)):
            try:
                case(site)
                passed += 1
                print("ok      %s" % name, flush=True)
            except (Failure, WebDriverException) as failure:
                failed += 1
                site.shot("failed-" + name.replace(" ", "-"))
                print("FAILED  %s: %s" % (name, failure), flush=True)
    finally:
        site.stop()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
