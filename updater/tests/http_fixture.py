#!/usr/bin/env python3
"""Local HTTP server for the updater tests.

  start --dir D   serve in the background; D/port names the port, D/root the files
  stop --dir D    end the server started for D and remove its files

Paths the server answers:
  /files/<path>          the file D/root/<path>, or 404
  /status/<code>/<any>   an empty answer with that status
  /once304/<path>        304 on the first request for the path, then the file
  /hang/<any>            accepts the request and never answers
  /hits/<path>           how many requests came for <path> so far (text)
"""
import argparse
import http.server
import os
import shutil
import signal
import socketserver
import subprocess
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path.startswith("/hits/"):
            counted = path[len("/hits"):]
            with self.server.lock:
                count = self.server.hits.get(counted, 0)
            return self.answer(200, str(count).encode())
        with self.server.lock:
            self.server.hits[path] = self.server.hits.get(path, 0) + 1
            count = self.server.hits[path]
        if path.startswith("/files/"):
            return self.send_file(path[len("/files/"):])
        if path.startswith("/status/"):
            return self.answer(int(path.split("/")[2]), b"")
        if path.startswith("/once304/"):
            if count == 1:
                return self.answer(304, None)
            return self.send_file(path[len("/once304/"):])
        if path.startswith("/hang/"):
            self.server.stopping.wait(60)
            return None
        return self.answer(404, b"not found")

    def send_file(self, relative):
        root = os.path.realpath(self.server.root)
        full = os.path.realpath(os.path.join(root, relative))
        if not full.startswith(root + os.sep) or not os.path.isfile(full):
            return self.answer(404, b"not found")
        with open(full, "rb") as f:
            body = f.read()
        return self.answer(200, body)

    def answer(self, status, body):
        self.send_response(status)
        if body is not None:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def serve(state_dir):
    server = Server(("127.0.0.1", 0), Handler)
    server.root = os.path.join(state_dir, "root")
    server.hits = {}
    server.lock = threading.Lock()
    # Requests to /hang/ wait on this; the server ends by SIGTERM, which
    # needs no cleaning up.
    server.stopping = threading.Event()
    port_file = os.path.join(state_dir, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()


def start(state_dir):
    stop(state_dir)
    os.makedirs(os.path.join(state_dir, "root"), exist_ok=True)
    log = open(os.path.join(state_dir, "server.log"), "wb")
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", "--dir", state_dir],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(state_dir, "pid"), "w") as f:
        f.write(str(child.pid))
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if os.path.exists(os.path.join(state_dir, "port")):
            return 0
        if child.poll() is not None:
            break
        time.sleep(0.05)
    print("the test HTTP server did not start", file=sys.stderr)
    return 1


def alive(pid):
    # The server is not our child: once ended it may stay a zombie until
    # whoever adopted it reaps it.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop(state_dir):
    pid_file = os.path.join(state_dir, "pid")
    if os.path.exists(pid_file):
        with open(pid_file) as f:
            pid = int(f.read().strip() or 0)
        if pid > 0:
            try:
                os.kill(pid, signal.SIGTERM)
                for _ in range(100):
                    if not alive(pid):
                        break
                    time.sleep(0.05)
                else:
                    os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    shutil.rmtree(state_dir, ignore_errors=True)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["start", "stop", "serve"])
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    state_dir = os.path.abspath(args.dir)
    if args.action == "serve":
        serve(state_dir)
        return 0
    return start(state_dir) if args.action == "start" else stop(state_dir)


if __name__ == "__main__":
    sys.exit(main())
