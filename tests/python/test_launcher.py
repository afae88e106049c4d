"""The launcher starts the service in a child process, starts it again each
time it returns, and stops on SIGINT."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from test_service import wait_for

SRC = os.environ.get("TESSEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def load_launcher():
    import importlib.util
    spec = importlib.util.spec_from_file_location("launcher", os.path.join(SRC, "tools", "launcher.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def children(pid):
    out = []
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                out += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


def holds_open(pid, path):
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                return True
        except OSError:
            pass
    return False




def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Launcher(unittest.TestCase):
    def test_log_file_and_line_format(self):
        launcher = load_launcher()
        for conf, default, env, expected in [
            ("/etc/t/tessel.conf", "/etc/t/tessel.conf", {}, "/var/log/vexa/tessel.log"),
            ("/etc/t/tessel.conf", "/etc/t/tessel.conf", {"TESSEL_LOG_DIR": "/l/"}, "/l/tessel.log"),
            ("/etc/t/tessel.conf", "/etc/t/tessel.conf", {"TESSEL_LOG_DIR": ""}, "/var/log/vexa/tessel.log"),
            # another configuration file logs in a sub-directory named after it
            ("/etc/t/edge.conf", "/etc/t/tessel.conf", {"TESSEL_LOG_DIR": "/l"}, "/l/edge/tessel.log"),
            ("/etc/t/a.conf.conf", "/etc/t/tessel.conf", {"TESSEL_LOG_DIR": "/l/"}, "/l/a/tessel.log"),
        ]:
            self.assertEqual(launcher.log_file(conf, default, env), expected, (conf, env))
        now_ns = int(time.mktime((2026, 3, 4, 5, 6, 7, 0, 0, -1))) * 10**9 + 89 * 10**6 + 999
        self.assertEqual(launcher.log_line("WARNING", "restart requested", now_ns),
                         "2026-03-04 05:06:07,089 LAUNCHER     WARNING  restart requested\n")

    def test_service_started_with_sigint_ignored_stops_and_the_log_tells(self):
        # A launcher started in the background by a script inherits SIGINT
        # ignored; the service must still stop at once when asked, without
        # the launcher's 30 s wait, and its log must say what happened.
        with tempfile.TemporaryDirectory() as d:
            env = dict(os.environ)
            env["TESSEL_LOG_DIR"] = os.path.join(d, "log") + "/"
            env["TESSEL_ML_DIR"] = os.path.join(d, "ml") + "/"
            # an empty configuration stops the start: the service then waits
            # (interruptibly) before it returns
            env["TESSEL_RESTART_WAIT_MS"] = "600000"
            conf = os.path.join(d, "t.conf")
            open(conf, "w").close()
            log = os.path.join(d, "log", "tessel.log")
            p = subprocess.Popen([sys.executable, os.path.join(SRC, "tools", "launcher.py"), "--conf", conf,
                                  "--error-pause", "0.1"],
                                 env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
            try:
                def service():
                    for c in children(p.pid):
                        if holds_open(c, log):
                            return c
                    return None

                first = wait_for("the service's log", service, 120)
                os.kill(first, signal.SIGKILL)
                wait_for("the second start", lambda: read(log).count(" START") >= 2, 120)
                second = wait_for("the second service", service, 120)
                started = time.monotonic()
                p.send_signal(signal.SIGTERM)
                p.wait(60)
                elapsed = time.monotonic() - started
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()
            err = p.stderr.read()
            p.stderr.close()
            self.assertEqual(p.returncode, 0, err)
            # far below the 30 s the launcher waits for a service that does not stop
            self.assertLess(elapsed, 15, err)
            self.assertFalse(os.path.exists("/proc/%d" % second), "the service is gone")
            lines = [line[24:] for line in read(log).splitlines() if line[24:].startswith("LAUNCHER ")]
            self.assertEqual(lines, [
                "LAUNCHER     ERROR    the service ended with exit code -9; restarting",
                "LAUNCHER     WARNING  stop requested; stopping the service",
                "LAUNCHER     WARNING  the service stopped (exit code 130); the launcher stops",
            ], read(log))
            self.assertIn("launcher: the service ended with exit code -9; restarting", err)

    def test_allocator_tunables_keep_what_is_set(self):
        launcher = load_launcher()
        own = "glibc.malloc.tcache_count=%d" % launcher.TCACHE_COUNT
        for current, expected in [
            ("", own),
            ("glibc.malloc.arena_max=2", "glibc.malloc.arena_max=2:" + own),
            ("glibc.malloc.tcache_count=7", "glibc.malloc.tcache_count=7"),
        ]:
            self.assertEqual(launcher.allocator_tunables(current), expected)

    def test_allocator_preload_comes_after_what_is_set(self):
        launcher = load_launcher()
        lib = "libjemalloc.so.2"
        for current, library, expected in [
            ("", lib, lib),
            ("", None, ""),
            ("/opt/own.so", lib, "/opt/own.so " + lib),
            ("libjemalloc.so.2", lib, "libjemalloc.so.2"),
            ("/opt/own.so", None, "/opt/own.so"),
        ]:
            self.assertEqual(launcher.allocator_preload(current, library), expected)

    def test_restarts_after_return_and_stops_on_sigint(self):
        with tempfile.TemporaryDirectory() as d:
            env = dict(os.environ)
            # the log root cannot be created: each start ends in the early restart path
            env["TESSEL_LOG_DIR"] = os.path.join(d, "missing", "log") + "/"
            env["TESSEL_ML_DIR"] = os.path.join(d, "ml") + "/"
            env["TESSEL_RESTART_WAIT_MS"] = "50"
            conf = os.path.join(d, "t.conf")
            open(conf, "w").close()
            p = subprocess.Popen([sys.executable, os.path.join(SRC, "tools", "launcher.py"), "--conf", conf],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            lines = []
            deadline = time.monotonic() + 60
            try:
                while time.monotonic() < deadline:
                    line = p.stdout.readline()
                    if not line:
                        break
                    if "An error occurred while creating directory" in line:
                        lines.append(line)
                        if len(lines) >= 2:
                            break
            finally:
                p.send_signal(signal.SIGINT)
                out, _ = p.communicate(timeout=60)
            self.assertGreaterEqual(len(lines), 2, out)
            self.assertEqual(p.returncode, 0, out)


if __name__ == "__main__":
    unittest.main()
