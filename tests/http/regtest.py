"""Shared helpers of the HTTP tests.

Registry starts lighttpd from the project's own configuration template
(scripts/lighttpd.conf.in, the one scripts/run.sh renders) on a free loopback
port, with a temporary run directory and storage root, and serves the built
endpoint programs from --bin-dir. Each test file calls main(), which takes
--bin-dir and --source-dir from the command line and runs its unittest cases.
"""

import argparse
import hashlib
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BIN_DIR = None
SOURCE_DIR = None

API_VERSION = ("Docker-Distribution-API-Version", "registry/2.0")
SANITIZER_MARKERS = ("AddressSanitizer", "LeakSanitizer", "runtime error:")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args, rest = parser.parse_known_args()
    global BIN_DIR, SOURCE_DIR
    BIN_DIR = os.path.abspath(args.bin_dir)
    SOURCE_DIR = os.path.abspath(args.source_dir)
    if shutil.which("lighttpd") is None and not os.path.exists("/usr/sbin/lighttpd"):
        print("lighttpd is not installed (scripts/setup.sh installs it)", file=sys.stderr)
        sys.exit(1)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


def lighttpd_binary():
    return shutil.which("lighttpd") or "/usr/sbin/lighttpd"


def built_with_asan(path):
    """True when the program carries the AddressSanitizer runtime."""
    marker = b"__asan_init"
    tail = b""
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return False
            if marker in tail + block:
                return True
            tail = block[-len(marker):]


def sha256_file(path, piece=1 << 20):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(piece)
            if not block:
                break
            h.update(block)
    return "sha256:" + h.hexdigest()


def digest_of(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Reply:
    def __init__(self, status, reason, headers, body):
        self.status = status
        self.reason = reason
        self.headers = headers  # list of (name, value) in the order received
        self.body = body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def __repr__(self):
        return "Reply(%d %s, %r, %r)" % (self.status, self.reason, self.headers, self.body[:200])


class Registry:
    """lighttpd serving the endpoint programs, for the life of a `with`.

    measure_memory: each program runs under /usr/bin/time, which appends the
    process's peak resident size in KiB to a log (see peak_rss_kib).
    """

    def __init__(self, measure_memory=False):
        self.measure_memory = measure_memory
        self.base = tempfile.mkdtemp(prefix="regtest-http-")
        self.run_dir = os.path.join(self.base, "run")
        self.storage = os.path.join(self.base, "storage")
        self.memory_log = os.path.join(self.base, "peak-rss.log")
        self.log_path = os.path.join(self.base, "lighttpd.log")
        self.proc = None
        self.port = None

    # -- set-up -------------------------------------------------------------

    def _install_programs(self):
        cgi_bin = os.path.join(self.run_dir, "cgi-bin")
        os.makedirs(cgi_bin)
        for name in sorted(os.listdir(BIN_DIR)):
            prog = os.path.join(BIN_DIR, name)
            if not (os.path.isfile(prog) and os.access(prog, os.X_OK)):
                continue
            target = os.path.join(cgi_bin, name)
            if self.measure_memory:
                with open(target, "w") as f:
                    f.write("#!/bin/sh\nexec /usr/bin/time -a -o '%s' -f '%%M' '%s'\n"
                            % (self.memory_log, prog))
                os.chmod(target, 0o755)
            else:
                os.symlink(prog, target)

    def _render(self, port):
        with open(os.path.join(SOURCE_DIR, "scripts", "lighttpd.conf.in")) as f:
            text = f.read()
        text = (text.replace("@PORT@", str(port))
                    .replace("@RUN_DIR@", self.run_dir)
                    .replace("@STORAGE_ROOT@", self.storage))
        left = re.findall(r"@[A-Z_]+@", text)
        if left:
            raise RuntimeError("template placeholders left unfilled: %s" % left)
        conf = os.path.join(self.run_dir, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write(text)
        return conf

    def _wait_ready(self, port):
        for _ in range(200):
            if self.proc.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.05)
        return False

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self._stop_server()
            shutil.rmtree(self.base, ignore_errors=True)
            raise
        return self

    def _start(self):
        for d in ("htdocs", "spool"):
            os.makedirs(os.path.join(self.run_dir, d))
        os.makedirs(self.storage)
        self._install_programs()
        # A port found free can be taken before lighttpd binds it: try again.
        for _ in range(5):
            port = free_port()
            conf = self._render(port)
            log = open(self.log_path, "ab")
            self.proc = subprocess.Popen([lighttpd_binary(), "-D", "-f", conf],
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            log.close()
            if self._wait_ready(port):
                self.port = port
                return
            self._stop_server()
        raise RuntimeError("lighttpd did not start:\n" + self.log())

    def _stop_server(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def __exit__(self, *exc):
        self._stop_server()
        shutil.rmtree(self.base, ignore_errors=True)
        return False

    # -- what happened --------------------------------------------------------

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def sanitizer_reports(self):
        """Lines of the server log (programs' standard error included) that
        report a sanitizer finding."""
        return [line for line in self.log().splitlines()
                if any(m in line for m in SANITIZER_MARKERS)]

    def peak_rss_kib(self):
        """Peak resident size of every program run so far, in KiB."""
        if not os.path.exists(self.memory_log):
            return []
        with open(self.memory_log) as f:
            return [int(line) for line in f if line.strip().isdigit()]

    def blob_path(self, digest):
        hexpart = digest[len("sha256:"):]
        return os.path.join(self.storage, "blobs", "sha256", hexpart[:2], hexpart)

    def session_path(self, upload_id):
        return os.path.join(self.storage, "uploads", upload_id + ".part")

    def session_files(self):
        d = os.path.join(self.storage, "uploads")
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def files(self):
        """Every file below the storage root, relative to it, sorted."""
        out = []
        for dirpath, _, names in os.walk(self.storage):
            for n in names:
                out.append(os.path.relpath(os.path.join(dirpath, n), self.storage))
        return sorted(out)

    # -- requests -------------------------------------------------------------

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def request(self, method, path, body=None, headers=None, timeout=120):
        """One request on its own connection; body may be bytes or a file."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.putrequest(method, path, skip_accept_encoding=True)
            hdrs = dict(headers or {})
            if body is None and method in ("POST", "PUT", "PATCH"):
                # As container tools do; lighttpd answers 411 to a POST that
                # announces no length at all.
                hdrs.setdefault("Content-Length", "0")
            elif body is not None and "Transfer-Encoding" not in hdrs:
                if isinstance(body, (bytes, bytearray)):
                    size = len(body)
                else:
                    size = os.fstat(body.fileno()).st_size
                hdrs.setdefault("Content-Length", str(size))
            for k, v in hdrs.items():
                conn.putheader(k, v)
            conn.endheaders()
            if body is not None:
                conn.send(body)
            resp = conn.getresponse()
            data = resp.read()
            return Reply(resp.status, resp.reason, resp.getheaders(), data)
        finally:
            conn.close()

    def curl(self, *args):
        """Runs curl with `args` and the URL of the last argument's path;
        returns (status, headers dict with lowercase names, body)."""
        *opts, path = args
        out = subprocess.run(["curl", "-sS", "-i", "--max-time", "600", *opts, self.url(path)],
                             stdin=subprocess.DEVNULL, capture_output=True, check=True).stdout
        while True:
            head, _, out = out.partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            status = int(lines[0].split()[1])
            if status >= 200:  # skip interim replies such as 100 Continue
                break
        body = out
        headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(":")
            headers[k.strip().lower()] = v.strip()
        return status, headers, body
