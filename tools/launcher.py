#!/usr/bin/python3
"""Runs the service: owns the launcher namespace (restart_signal, overload,
pids), starts tessel_main in a fresh child process and starts a new one each
time it returns. A service that sets restart_signal without returning (a
finished training does so while the main loop runs) is interrupted after a
grace period and started again. Ctrl-C (or SIGTERM) stops the child and the
launcher."""
import argparse
import ctypes.util
import multiprocessing as mp
import os
import signal
import sys
import time
import traceback


def _service(nsg, conf_file, conf_default):
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


def _stop(child, wait=30.0):
    os.kill(child.pid, signal.SIGINT)
    child.join(wait)
    if child.is_alive():
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
                    print("launcher: restart requested; interrupting the service", file=sys.stderr, flush=True)
                    _stop(child)
                    break
            code = child.exitcode
            if flagged_at is not None:
                continue
            if code == 130:
                break
            if code != 0:
                print(f"launcher: the service ended with exit code {code}; restarting", file=sys.stderr, flush=True)
                time.sleep(args.error_pause)
            else:
                print("launcher: the service returned; restarting", file=sys.stderr, flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        if child is not None and child.is_alive():
            _stop(child)
        manager.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
