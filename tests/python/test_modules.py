"""The six extension modules load under Debian's interpreter and the service
entry refuses calls of the wrong shape before anything starts."""
import importlib
import os
import subprocess
import sys
import tempfile
import threading
import types
import unittest

MODULES = ["tessel", "ingestor", "orvik", "stormwatch", "passgate", "schemix"]


class Modules(unittest.TestCase):
    def test_all_six_import(self):
        for name in MODULES:
            mod = importlib.import_module(name)
            self.assertTrue(mod.__file__.endswith(".so"), mod.__file__)

    def test_entry_refusals(self):
        import tessel
        nsg = types.SimpleNamespace(restart_signal=False, overload=False, pids={})
        cases = [
            ((), {}, "tessel_main() takes exactly 3 positional arguments (0 given)"),
            ((nsg, "a", "b", None), {}, "tessel_main() takes exactly 3 positional arguments (4 given)"),
            ((nsg, "a"), {}, "tessel_main() takes exactly 3 positional arguments (2 given)"),
            ((nsg, "a", "b"), {"x": 1}, "tessel_main() got an unexpected keyword argument 'x'"),
            ((nsg, "a"), {"tessel_conf_file": "b"},
             "tessel_main() got multiple values for keyword argument 'tessel_conf_file'"),
        ]
        for args, kwargs, text in cases:
            with self.assertRaises(TypeError) as cm:
                tessel.tessel_main(*args, **kwargs)
            self.assertEqual(str(cm.exception), text)
        self.assertFalse(nsg.restart_signal)

    def test_configuration_path_that_is_not_text_starts_nothing(self):
        import tessel
        with tempfile.TemporaryDirectory() as d:
            os.environ["TESSEL_LOG_DIR"] = os.path.join(d, "log") + "/"
            os.environ["TESSEL_ML_DIR"] = os.path.join(d, "ml") + "/"
            os.environ["TESSEL_RESTART_WAIT_MS"] = "10"
            try:
                for path in (None, b"/etc/t.conf", 5):
                    nsg = types.SimpleNamespace(restart_signal=False, overload=False, pids={})
                    with self.assertRaises(TypeError):
                        tessel.tessel_main(nsg, path, "/etc/t.conf")
                    self.assertFalse(nsg.restart_signal)
                self.assertEqual(os.listdir(d), [])
            finally:
                for k in ("TESSEL_LOG_DIR", "TESSEL_ML_DIR", "TESSEL_RESTART_WAIT_MS"):
                    os.environ.pop(k, None)

    def test_import_fails_without_a_sibling_module(self):
        import tessel
        build = os.path.dirname(tessel.__file__)
        files = {m: [f for f in os.listdir(build) if f.startswith(m + ".") and f.endswith(".so")][0]
                 for m in MODULES}
        for missing in MODULES[1:]:
            with tempfile.TemporaryDirectory() as d:
                for m, f in files.items():
                    if m != missing:
                        os.symlink(os.path.join(build, f), os.path.join(d, f))
                p = subprocess.run([sys.executable, "-c", "import tessel"], env=dict(os.environ, PYTHONPATH=d),
                                   capture_output=True, text=True)
                self.assertNotEqual(p.returncode, 0, missing)
                self.assertIn("ModuleNotFoundError: No module named '%s'" % missing, p.stderr)

    def test_keywords_in_any_order_reach_the_body(self):
        import tessel
        with tempfile.TemporaryDirectory() as d:
            os.environ["TESSEL_LOG_DIR"] = os.path.join(d, "missing", "log") + "/"
            os.environ["TESSEL_ML_DIR"] = os.path.join(d, "ml") + "/"
            os.environ["TESSEL_RESTART_WAIT_MS"] = "10"
            try:
                for call in (
                    lambda n: tessel.tessel_main(n, "c", "c"),
                    lambda n: tessel.tessel_main(tessel_conf_default="c", nsg=n, tessel_conf_file="c"),
                    lambda n: tessel.tessel_main(n, tessel_conf_default="c", tessel_conf_file="c"),
                ):
                    nsg = types.SimpleNamespace(restart_signal=False, overload=False, pids={})
                    # the log root cannot be created: the early restart path
                    self.assertIsNone(call(nsg))
                    self.assertTrue(nsg.restart_signal)
            finally:
                for k in ("TESSEL_LOG_DIR", "TESSEL_ML_DIR", "TESSEL_RESTART_WAIT_MS"):
                    os.environ.pop(k, None)

    def test_gil_is_released_while_the_service_waits(self):
        import tessel
        with tempfile.TemporaryDirectory() as d:
            os.environ["TESSEL_LOG_DIR"] = os.path.join(d, "missing", "log") + "/"
            os.environ["TESSEL_ML_DIR"] = os.path.join(d, "ml") + "/"
            os.environ["TESSEL_RESTART_WAIT_MS"] = "500"
            ticks = []
            stop = threading.Event()

            def ticker():
                while not stop.is_set():
                    ticks.append(1)
                    stop.wait(0.01)

            t = threading.Thread(target=ticker)
            t.start()
            try:
                nsg = types.SimpleNamespace(restart_signal=False, overload=False, pids={})
                tessel.tessel_main(nsg, "c", "c")
            finally:
                stop.set()
                t.join()
                for k in ("TESSEL_LOG_DIR", "TESSEL_ML_DIR", "TESSEL_RESTART_WAIT_MS"):
                    os.environ.pop(k, None)
            self.assertGreater(len(ticks), 10)


if __name__ == "__main__":
    unittest.main()
