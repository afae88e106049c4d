"""The service run by the launcher, as in production, against the
management-API simulator and the real broker: start-up, events delivered,
the main loop's passes, a settings change that asks for a restart, and a
start while the management API is down."""
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

SRC = os.environ.get("TESSEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("TESSEL_BINARY_DIR", os.path.join(SRC, "build"))
SIM = os.path.join(BUILD, "bin", "tessel-mgmt-sim")
LAUNCHER = os.path.join(SRC, "tools", "launcher.py")
BROKER_PORT = int(os.environ.get("TESSEL_BROKER_PORT", "5672"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def broker_answers():
    try:
        with socket.create_connection(("127.0.0.1", BROKER_PORT), timeout=2):
            return True
    except OSError:
        return False


def wait_for(what, pred, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = pred()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Sim:
    """The simulator on a fixed port, so that it can be stopped and started again."""

    def __init__(self, root, port):
        self.port = port
        self.answers = os.path.join(root, "answers")
        self.record = os.path.join(root, "requests.jsonl")
        self.proc = None
        self.extra_args = []

    def answer(self, name, doc):
        path = os.path.join(self.answers, name + ".json")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + ".tmp", "w") as f:
            json.dump(doc, f)
        os.replace(path + ".tmp", path)

    def start(self):
        self.proc = subprocess.Popen([SIM, "--port", str(self.port), "--record", self.record,
                                      "--answers", self.answers] + self.extra_args, stdout=subprocess.DEVNULL)
        wait_for("the simulator", lambda: self._listening(), 10)

    def _listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc = None

    def bodies(self, path):
        out = []
        if not os.path.exists(self.record):
            return out
        with open(self.record) as f:
            for line in f:
                if not line.endswith("\n"):
                    break  # the simulator is still writing this line
                r = json.loads(line)
                if r["path"] == "/vx-api" + path:
                    out.append(json.loads(r["body"]))
        return out

    def events(self):
        return [e for b in self.bodies("/set_event") for e in b.get("events", [])]


class Vhost:
    """A broker virtual host of the test's own when rabbitmqctl can make one."""

    def __init__(self):
        self.name = "/"
        ctl = os.environ.get("TESSEL_RMQCTL")
        self.ctl = shlex.split(ctl) if ctl else None
        if self.ctl:
            name = "tessel-svc-" + uuid.uuid4().hex[:8]
            ok = subprocess.run(self.ctl + ["add_vhost", name], capture_output=True).returncode == 0
            ok = ok and subprocess.run(self.ctl + ["set_permissions", "-p", name, "guest", ".*", ".*", ".*"],
                                       capture_output=True).returncode == 0
            if ok:
                self.name = name

    def delete(self):
        if self.name != "/":
            subprocess.run(self.ctl + ["delete_vhost", self.name], capture_output=True)


class ServiceBase(unittest.TestCase):
    """Starts the simulator, a virtual host and the launcher; reads the log."""

    def setUp(self):
        if not os.path.exists(SIM):
            self.skipTest("the simulator is not built")
        if not broker_answers():
            if os.environ.get("TESSEL_REQUIRE_BROKER") == "1":
                self.fail("no broker on 127.0.0.1:%d" % BROKER_PORT)
            self.skipTest("no broker on 127.0.0.1:%d" % BROKER_PORT)
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.sim = Sim(self.root, free_port())
        self.vhost = Vhost()
        self.launcher = None
        self.launcher_out = os.path.join(self.root, "launcher.out")
        self.extra_env = {}
        self.extra_conf = ""

    def tearDown(self):
        self.stop_launcher()
        self.sim.stop()
        self.vhost.delete()
        self.dir.cleanup()

    def start_launcher(self):
        conf = os.path.join(self.root, "tessel.conf")
        vh = "" if self.vhost.name == "/" else "/" + self.vhost.name
        with open(conf, "w") as f:
            f.write("[main]\ndebug = true\napi_key = k1\napi_uri = http://127.0.0.1:%d\n"
                    "[run]\nrmq_host = guest:guest@127.0.0.1:%d%s\n" % (self.sim.port, BROKER_PORT, vh))
            f.write(self.extra_conf)
        env = dict(os.environ)
        env.update({
            "TESSEL_LOG_DIR": os.path.join(self.root, "log") + "/",
            "TESSEL_ML_DIR": os.path.join(self.root, "ml") + "/",
            "TESSEL_DATASET_URL": "http://127.0.0.1:%d/vx" % self.sim.port,
            "TESSEL_RESTART_WAIT_MS": "200",
            "TESSEL_LOOP_PAUSE_MS": "200",
            "TESSEL_SETTINGS_PERIOD_MS": "300",
        })
        env.update(self.extra_env)
        os.makedirs(env["TESSEL_LOG_DIR"], exist_ok=True)
        os.makedirs(env["TESSEL_ML_DIR"], exist_ok=True)
        out = open(self.launcher_out, "a")
        self.launcher = subprocess.Popen([sys.executable, LAUNCHER, "--conf", conf, "--restart-grace", "1",
                                          "--error-pause", "0.5"], env=env, stdout=out, stderr=out)
        out.close()

    def stop_launcher(self):
        if self.launcher and self.launcher.poll() is None:
            self.launcher.send_signal(signal.SIGINT)
            self.launcher.wait(60)
        self.launcher = None

    def log(self):
        """(level, message) of every record of the log file."""
        path = os.path.join(self.root, "log", "tessel.log")
        out = []
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                for line in f:
                    line = line.rstrip("\n")
                    if len(line) >= 46 and line[23:37] == " MAIN         ":
                        out.append((line[37:45].rstrip(), line[46:]))
        return out

    def messages(self, since_start=1):
        """The messages after the since_start-th "START"."""
        msgs, starts = [], 0
        for _, m in self.log():
            if m == "START":
                starts += 1
            if starts == since_start:
                msgs.append(m)
        return msgs

    def passes(self, since_start=1):
        return sum(1 for m in self.messages(since_start) if m.startswith("Queue q_mt_api size: "))

    def assertInOrder(self, messages, want):
        at = 0
        for w in want:
            prefix = w.endswith("*")
            text = w[:-1] if prefix else w
            while at < len(messages) and not (messages[at].startswith(text) if prefix else messages[at] == text):
                at += 1
            self.assertLess(at, len(messages), "not found in order: %r\n%s" % (w, "\n".join(messages)))
            at += 1


class Service(ServiceBase):
    def test_runs_restarts_and_starts_from_stored_settings(self):
        sim = self.sim
        settings = {"main__ai_extra": True, "ddos__enable": True, "ddos__interval": 60, "brute__enable": False}
        sim.answer("api/get_tessel_settings_hash", {"body": {"status": "success", "hash": "h1"}})
        sim.answer("api/v2/get_tessel_settings", {"body": {"status": "success", "hash": "h1", "settings": settings}})
        sim.answer("api/v2/get_vhosts_list", {"body": {"status": "success", "hash": "v1", "vhosts": ["a.com"]}})
        sim.start()
        self.start_launcher()

        # 1. start-up, the main loop's passes, events delivered
        wait_for("two passes of the main loop", lambda: self.passes() >= 2)
        self.assertInOrder(self.messages(), [
            "START", "Configuration file: *", "Reading configuration", "PID: *",
            "Corvane WAF API Base URL: http://127.0.0.1:%d/vx-api/" % sim.port,
            "Maximum training dataset size: 800000 request(s)",
            "Attack detection by Corvane AI TESSEL is activated",
            "DDoS detection interval: 60 sec.", "Schemix schema generation is not activated",
            "BF attack detection module is disabled", "Event Collector is activated",
            "DDoS attack detection module is running", "q_attack_bd_processing is running (PID: *",
            "dyn_queue_consumer is running (PID: *", "rmq_log_and_api_processing is running (PID: *",
            "rmq_stats_processing is running (PID: *", "Training period for virtual host a.com: 4 day(s)",
            "Using SQLite file for virtual host a.com: *", "ml_core is running (PID: *",
            "ML attack detection module is running", "Queue q_aad size: *", "Queue q_mt_api size: *",
        ])
        wait_for("the start-up events", lambda: "ML attack detection module is running" in
                 [e["message"] for e in sim.events()])
        body = sim.bodies("/set_event")[0]
        self.assertEqual(body["key"], "k1")
        self.assertEqual(sim.events()[0]["message"], "START")
        self.assertEqual(sim.events()[0]["category"], "os")
        wait_for("the agent report", lambda: sim.bodies("/v1/set_agent_monitoring"))

        # 2. a setting that cannot change at run time: restart flag, a new start
        settings2 = dict(settings, ddos__enable=False)
        sim.answer("api/v2/get_tessel_settings", {"body": {"status": "success", "hash": "h2", "settings": settings2}})
        sim.answer("api/get_tessel_settings_hash", {"body": {"status": "success", "hash": "h2"}})
        wait_for("the second start's main loop", lambda: self.passes(2) >= 1)
        self.assertInOrder(self.messages(1), [
            "Corvane AI TESSEL settings changed, the service will be restarted"])
        second = self.messages(2)
        self.assertInOrder(second, ["START", "DDoS attack detection module is disabled",
                                    "ML attack detection module is running"])
        self.assertNotIn("DDoS attack detection module is running", second)
        with open(self.launcher_out) as f:
            self.assertIn("restart requested", f.read())

        # 3. the management API down at start: the stored settings serve, the
        # failures are "network" events, delivered once the API is back
        self.stop_launcher()
        sim.stop()
        self.start_launcher()
        wait_for("the third start's main loop", lambda: self.passes(3) >= 1)
        third = self.messages(3)
        self.assertInOrder(third, [
            "START",
            "An error occurred while receiving data from http://127.0.0.1:%d/vx-api/get_tessel_settings_hash: "
            "ConnectionError*" % sim.port,
            "DDoS attack detection module is disabled", "ML attack detection module is running"])
        sent_before = len(sim.events())
        sim.start()

        def network_events():
            evs = sim.events()[sent_before:]
            return [e for e in evs if e["message"].startswith("An error occurred while receiving data from")]
        errors = wait_for("the kept events", network_events)
        self.assertTrue(all(e["category"] == "network" for e in errors), errors)
        self.assertIn("START", [e["message"] for e in sim.events()[sent_before:]])


if __name__ == "__main__":
    unittest.main()
