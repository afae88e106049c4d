"""The configuration phases as the launcher sees them: a file that does not
parse is reported on standard output and ends in a restart; an invalid debug
value, or a launcher namespace without pids in a debug run, leaves tessel_main
as that error without a restart."""
import contextlib
import io
import os
import tempfile
import types
import unittest


class ConfigurationFile(unittest.TestCase):
    def run_service(self, ini, nsg=None):
        import tessel
        with tempfile.TemporaryDirectory() as d:
            conf = os.path.join(d, "tessel.conf")
            with open(conf, "w") as f:
                f.write(ini)
            os.makedirs(os.path.join(d, "log"))
            os.makedirs(os.path.join(d, "ml"))
            env = {"TESSEL_LOG_DIR": os.path.join(d, "log") + "/", "TESSEL_ML_DIR": os.path.join(d, "ml") + "/",
                   "TESSEL_RESTART_WAIT_MS": "10"}
            os.environ.update(env)
            if nsg is None:
                nsg = types.SimpleNamespace(restart_signal=False, overload=False, pids={})
            out = io.StringIO()
            try:
                with contextlib.redirect_stdout(out):
                    result = tessel.tessel_main(nsg, conf, conf)
                return result, nsg, out.getvalue(), conf, None
            except Exception as e:  # noqa: BLE001
                return None, nsg, out.getvalue(), conf, e
            finally:
                for k in env:
                    os.environ.pop(k, None)

    def test_parse_failure_is_printed(self):
        result, nsg, out, conf, err = self.run_service("[main]\ndebug = 1\ndebug = 0\n")
        self.assertIsNone(err)
        self.assertIsNone(result)
        self.assertTrue(nsg.restart_signal)
        self.assertEqual(out, "An error occurred while parsing file %s: While reading from %r [line  3]: "
                              "option 'debug' in section 'main' already exists\n" % (conf, conf))

    def test_invalid_debug_value_is_a_value_error(self):
        _, nsg, out, _, err = self.run_service("[main]\ndebug = maybe\n")
        self.assertIsInstance(err, ValueError)
        self.assertEqual(str(err), "Not a boolean: maybe")
        self.assertFalse(nsg.restart_signal)
        self.assertEqual(out, "")

    def test_launcher_namespace_without_pids_leaves_as_its_error(self):
        # the "PID: {}" line of a debug run reads nsg.pids
        nsg = types.SimpleNamespace(restart_signal=False, overload=False)
        _, nsg, out, _, err = self.run_service("[main]\ndebug = 1\n", nsg)
        self.assertIsInstance(err, AttributeError)
        self.assertIn("pids", str(err))
        self.assertFalse(nsg.restart_signal)
        self.assertEqual(out, "")


if __name__ == "__main__":
    unittest.main()
