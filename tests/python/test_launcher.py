"""The launcher starts the service in a child process, starts it again each
time it returns, and stops on SIGINT."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SRC = os.environ.get("TESSEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def load_launcher():
    import importlib.util
    spec = importlib.util.spec_from_file_location("launcher", os.path.join(SRC, "tools", "launcher.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Launcher(unittest.TestCase):
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
