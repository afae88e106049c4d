#!/usr/bin/python3
"""Runs the service: owns the launcher namespace (restart_signal, overload,
pids), starts tessel_main in a fresh child process and starts a new one each
time it returns. A service that sets restart_signal without returning (a
finished training does so while the main loop runs) is interrupted after a
grace period and started again. Ctrl-C (or SIGTERM) stops the child and the
launcher. The launcher's stop, crash and restart lines go to standard error
and to the service's log."""
import argparse
import ctypes.util
import multiprocessing as mp
import os
import signal
import sys
import time
import traceback


def _service(nsg, conf_file, conf_default):
    # A launcher started in the background inherits SIGINT ignored, and so
    # would the service; the launcher stops it with SIGINT.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # A fresh interpreter: no thread of an earlier run exists here.
    try:
        import tessel
        tessel.tessel_main(nsg, conf_file, conf_default)
    except KeyboardInterrupt:
        os._exit(130)
    except BaseException:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)
    sys.stdout.flush()
    os._exit(0)


# Blocks of each size a thread keeps of those it freed. The service's threads
# free what others made (request batches, events, reports); a deeper cache
# than the allocator's default of 7 spares them the locks of the other
# threads' heaps.
TCACHE_COUNT = 1024


def allocator_tunables(current):
    """GLIBC_TUNABLES for the service: `current` with a deeper per-thread
    cache of freed blocks, unless it sets one itself."""
    if "glibc.malloc.tcache_count=" in current:
        return current
    own = "glibc.malloc.tcache_count=%d" % TCACHE_COUNT
    return current + ":" + own if current else own


def allocator_preload(current, library):
    """LD_PRELOAD for the service: `current` with `library` (jemalloc) after
    it, so that a library the operator preloads still comes first; `current`
    when `library` is None or already named."""
    if not library or library in current.split():
        return current
    return current + " " + library if current else library


def log_file(conf_file, conf_default, environ=None):
    """The service's log file for this configuration: tessel.log in
    TESSEL_LOG_DIR (default /var/log/vexa/), in a sub-directory named after
    the configuration file when it is not the default one."""
    environ = os.environ if environ is None else environ
    path = environ.get("TESSEL_LOG_DIR") or "/var/log/vexa/"
    if conf_file != conf_default:
        path = os.path.join(path, os.path.basename(conf_file).replace(".conf", ""))
    return os.path.join(path, "tessel.log")


def log_line(level, message, now_ns=None):
    """A line in the format of the service's log, from the logger LAUNCHER."""
    now_ns = time.time_ns() if now_ns is None else now_ns
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(now_ns // 10**9))
    return "%s,%03d %-12s %-8s %s\n" % (stamp, now_ns // 10**6 % 1000, "LAUNCHER", level, message)


class Reporter:
    """Writes the launcher's lines on standard error and appends them to the
    service's log (when its directory exists: the service makes it)."""

    def __init__(self, path):
        self.path = path

    def __call__(self, level, message):
        print("launcher: " + message, file=sys.stderr, flush=True)
        try:
            fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError:
            return
        try:
            os.write(fd, log_line(level, message).encode("utf-8"))
        except OSError:
            pass
        finally:
            os.close(fd)


def _stop(child, report, wait=30.0):
    os.kill(child.pid, signal.SIGINT)
    child.join(wait)
    if child.is_alive():
        report("ERROR", "the service did not stop within %g s; terminating it" % wait)
        child.terminate()
        child.join()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--conf", required=True, help="INI configuration file of this run")
    ap.add_argument("--default-conf", default=None,
                    help="the default configuration file (another file gets its own sub-directories)")
    ap.add_argument("--error-pause", type=float, default=5.0,
                    help="seconds to wait before a restart after the service ended by an error")
    ap.add_argument("--restart-grace", type=float, default=130.0,
                    help="seconds a service that asked for a restart may take to return before it is interrupted")
    args = ap.parse_args(argv)
    conf_file = args.conf
    conf_default = args.default_conf or conf_file

    # read by the allocator of each process started from here
    os.environ["GLIBC_TUNABLES"] = allocator_tunables(os.environ.get("GLIBC_TUNABLES", ""))
    # The service's threads free what others allocated, all the time. glibc
    # keeps such memory in the heap of the thread that allocated it, where
    # at a full WAF stream most of it lay free and resident (7 to 9 GB where
    # 2 to 3 GB were in use, growing by hundreds of MB a minute); jemalloc
    # hands freed pages back to the system within seconds.
    preload = allocator_preload(os.environ.get("LD_PRELOAD", ""), ctypes.util.find_library("jemalloc"))
    if preload:
        os.environ["LD_PRELOAD"] = preload
    ctx = mp.get_context("spawn")
    manager = ctx.Manager()
    nsg = manager.Namespace()
    nsg.restart_signal = False
    nsg.overload = False
    nsg.pids = {}

    def on_term(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_term)
    report = Reporter(log_file(conf_file, conf_default))
    child = None
    try:
        while True:
            nsg.restart_signal = False
            child = ctx.Process(target=_service, args=(nsg, conf_file, conf_default), name="tessel")
            child.start()
            pids = dict(nsg.pids)
            pids[conf_file] = child.pid
            nsg.pids = pids
            flagged_at = None
            while child.is_alive():
                child.join(1.0)
                if not child.is_alive():
                    break
                if flagged_at is None:
                    if nsg.restart_signal:
                        flagged_at = time.monotonic()
                elif time.monotonic() - flagged_at > args.restart_grace:
                    report("WARNING", "restart requested; interrupting the service")
                    _stop(child, report)
                    report("WARNING", "the service stopped (exit code %s); restarting" % child.exitcode)
                    break
            code = child.exitcode
            if flagged_at is not None:
                continue
            if code == 130:
                report("WARNING", "the service stopped on an interrupt; the launcher stops")
                break
            if code != 0:
                report("ERROR", f"the service ended with exit code {code}; restarting")
                time.sleep(args.error_pause)
            else:
                report("WARNING", "the service returned; restarting")
    except KeyboardInterrupt:
        if child is not None and child.is_alive():
            report("WARNING", "stop requested; stopping the service")
            _stop(child, report)
            report("WARNING", "the service stopped (exit code %s); the launcher stops" % child.exitcode)
        else:
            report("WARNING", "stop requested; the launcher stops")
    finally:
        if child is not None and child.is_alive():
            _stop(child, report)
        manager.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
