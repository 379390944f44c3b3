#!/usr/bin/python3
"""Real telnet servers on loopback for the tests, with a test account.

inetutils telnetd runs per connection under socat; busybox telnetd (from the
busybox-static package, when it is there) runs as a daemon of its own. Both
log in through /bin/login with the account ACCOUNT / PASSWORD, which is
created (as root) when missing. A /bin/sh account shows the prompt "$ ".

As a program: starts one server, prints "ready <port> <pid>" and serves until
it gets SIGTERM or SIGINT.
"""
import argparse
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

ACCOUNT = "kortel"
PASSWORD = "Kor-tel-42"
SHELL_PROMPT = "$ "
TELNETD = "/usr/sbin/telnetd"

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from harness import unused_port  # noqa: E402


def ensure_account():
    """Creates the test account if missing and sets its password. Needs root."""
    if os.geteuid() != 0:
        raise PermissionError("the telnet test account can only be made as root")
    try:
        pwd.getpwnam(ACCOUNT)
    except KeyError:
        subprocess.run(["useradd", "-m", "-s", "/bin/sh", ACCOUNT], check=True)
    subprocess.run(["chpasswd"], input=f"{ACCOUNT}:{PASSWORD}\n", text=True, check=True)
    home = pwd.getpwnam(ACCOUNT).pw_dir
    open(os.path.join(home, ".hushlogin"), "a").close()


def find_busybox():
    """A busybox binary with telnetd, or None."""
    for path in (shutil.which("busybox"), "/bin/busybox", "/usr/bin/busybox"):
        if path and os.path.exists(path):
            out = subprocess.run([path, "--list"], capture_output=True, text=True).stdout
            if "telnetd" in out.split():
                return path
    return None


def _listening(host, port):
    """True when a socket listens on host:port (read from /proc, no probe connection)."""
    want = "%08X:%04X" % (int.from_bytes(socket.inet_aton(host), "little"), port)
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == want and fields[3] == "0A":
                return True
    return False


def _wait_listening(proc, host, port, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError("telnet server ended at start")
        if _listening(host, port):
            return
        time.sleep(0.05)
    proc.kill()
    raise RuntimeError("telnet server does not listen")


def start_inetutils(host="127.0.0.1", port=0):
    """Starts inetutils telnetd under socat. Returns (process, port)."""
    ensure_account()
    port = port or unused_port(host)
    proc = subprocess.Popen(
        ["socat", f"TCP-LISTEN:{port},bind={host},fork,reuseaddr", f"EXEC:{TELNETD} -h"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    _wait_listening(proc, host, port)
    return proc, port


def start_busybox(busybox, host="127.0.0.1", port=0):
    """Starts busybox telnetd in the foreground. Returns (process, port)."""
    ensure_account()
    port = port or unused_port(host)
    proc = subprocess.Popen(
        [busybox, "telnetd", "-F", "-K", "-p", str(port), "-b", host, "-l", "/bin/login"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    _wait_listening(proc, host, port)
    return proc, port


def stop(proc):
    """Ends the server and every session it started."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    ap.add_argument("--port", type=int, default=0, help="port (0: a free one)")
    ap.add_argument("--busybox", action="store_true",
                    help="run busybox telnetd instead of inetutils telnetd")
    args = ap.parse_args()
    if not args.host.startswith("127."):
        ap.error("only loopback addresses are allowed")
    if args.busybox:
        busybox = find_busybox()
        if busybox is None:
            print("unavailable: no busybox with telnetd", flush=True)
            return 2
        proc, port = start_busybox(busybox, args.host, args.port)
    else:
        proc, port = start_inetutils(args.host, args.port)

    ending = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: ending.set())
    signal.signal(signal.SIGINT, lambda *_: ending.set())
    print(f"ready {port} {os.getpid()}", flush=True)
    while not ending.wait(0.2) and proc.poll() is None:
        pass
    stop(proc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
