#!/usr/bin/env python3
"""Transfer throughput of `orvyn s` beside a reference FTP server (vsftpd),
both serving the same temporary folder on loopback, measured with curl:

  - download and upload of one 1 GiB file;
  - download and upload of 1000 files of 4 KiB over one control connection.

Prints each server's throughput and the ratio orvyn / reference per case.
vsftpd runs in the foreground with its own configuration file, as the
calling user, on a free loopback port; it is never started as a system
service. Everything lives in a temporary folder that is removed at the end.

    python3 bench/transfer/bench_transfer.py [--size-mib 1024] [--files 1000] [--runs 1]

ORVYN_BIN names the folder of the built programs (default build/bin).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

from orvyntest import Sandbox, Service, free_port, program, wait_listening  # noqa: E402

MIB = 1024 * 1024


def make_file(path, size):
    block = os.urandom(MIB)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, MIB)
            f.write(block[:n])
            left -= n


class Reference:
    """vsftpd in the foreground, anonymous access to root, uploads allowed."""

    def __init__(self, workdir, root, port):
        self.conf = os.path.join(workdir, "vsftpd.conf")
        empty = os.path.join(workdir, "vsftpd-empty")
        os.makedirs(empty, exist_ok=True)
        with open(self.conf, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
                "background=NO", "run_as_launching_user=YES", "anonymous_enable=YES", "local_enable=NO",
                "no_anon_password=YES", "anon_root=%s" % root, "write_enable=YES", "anon_upload_enable=YES",
                "anon_other_write_enable=YES", "anon_umask=022", "allow_writeable_chroot=YES",
                "secure_chroot_dir=%s" % empty, "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
                "pasv_enable=YES", "pasv_address=127.0.0.1", "xferlog_enable=NO", "syslog_enable=NO",
                "vsftpd_log_file=%s" % os.path.join(workdir, "vsftpd.log"), "dual_log_enable=NO",
                "use_localtime=NO", "check_shell=NO", "max_clients=50", "idle_session_timeout=120", "",
            ]))
        self.port = port
        self.proc = None

    def __enter__(self):
        exe = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
        self.proc = subprocess.Popen([exe, self.conf], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if not wait_listening(self.port, timeout=10):
            self.proc.kill()
            out = self.proc.communicate()[0].decode(errors="replace")
            raise SystemExit("vsftpd did not start: " + out)
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def curl(args):
    t0 = time.monotonic()
    r = subprocess.run(["curl", "-sS", "--ftp-method", "nocwd"] + args, capture_output=True)
    elapsed = time.monotonic() - t0
    if r.returncode != 0:
        raise SystemExit("curl failed (%d): %s" % (r.returncode, r.stderr.decode(errors="replace")))
    return elapsed


def run_cases(port, root, scratch, tag, size_mib, nfiles):
    """Runs the four cases against one server; returns {case: bytes per second}."""
    base = "ftp://127.0.0.1:%d/" % port
    out = {}
    big = size_mib * MIB
    got = os.path.join(scratch, "big-got")
    out["download %d MiB" % size_mib] = big / curl(["-o", got, base + "data/big.bin"])
    os.remove(got)
    up = "big-up-%s.bin" % tag
    out["upload %d MiB" % size_mib] = big / curl(["-T", os.path.join(root, "data", "big.bin"), base + "up/" + up])
    os.remove(os.path.join(root, "up", up))

    cfg = os.path.join(scratch, "down-%s.cfg" % tag)
    dl = os.path.join(scratch, "dl-" + tag)
    os.makedirs(dl, exist_ok=True)
    with open(cfg, "w") as f:
        for i in range(nfiles):
            f.write('url = "%sdata/small/f%04d.bin"\noutput = "%s/f%04d.bin"\n' % (base, i, dl, i))
    out["download %d x 4 KiB" % nfiles] = nfiles * 4096 / curl(["-K", cfg])
    shutil.rmtree(dl)

    cfg = os.path.join(scratch, "up-%s.cfg" % tag)
    with open(cfg, "w") as f:
        for i in range(nfiles):
            f.write('upload-file = "%s/data/small/f%04d.bin"\nurl = "%sup/%s-%04d.bin"\n' % (root, i, base, tag, i))
    out["upload %d x 4 KiB" % nfiles] = nfiles * 4096 / curl(["-K", cfg])
    for i in range(nfiles):
        os.remove(os.path.join(root, "up", "%s-%04d.bin" % (tag, i)))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--runs", type=int, default=1, help="runs per server; the best is kept")
    args = ap.parse_args()
    if not os.access(program("orvyn"), os.X_OK):
        raise SystemExit("orvyn is not built (ORVYN_BIN=%s)" % os.path.dirname(program("orvyn")))

    with Sandbox(prefix="orvyn-bench-") as sb:
        root = os.path.join(sb.dir, "srv")
        scratch = os.path.join(sb.dir, "scratch")
        for d in (os.path.join(root, "data", "small"), os.path.join(root, "up"), scratch):
            os.makedirs(d)
        os.chmod(os.path.join(root, "up"), 0o777)
        make_file(os.path.join(root, "data", "big.bin"), args.size_mib * MIB)
        for i in range(args.files):
            with open(os.path.join(root, "data", "small", "f%04d.bin" % i), "wb") as f:
                f.write(os.urandom(4096))

        oport = free_port()
        sb.add_instance("Bench", oport, log=False, values={
            "Security\\Secure": 0, "Security\\Allow_Anon_Puts": 1, "Security\\DisableLowPorts": 1})
        svc = Service(sb)
        svc.start_in = root
        results = {"orvyn": {}, "vsftpd": {}}

        def keep_best(name, r):
            for case, v in r.items():
                results[name][case] = max(v, results[name].get(case, 0.0))

        # orvyn serves its working directory to a client that needs no login.
        svc.proc = subprocess.Popen(svc.args, env=svc.env, cwd=root, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        try:
            if not wait_listening(oport, timeout=10):
                raise SystemExit("orvyn did not start")
            for _ in range(args.runs):
                keep_best("orvyn", run_cases(oport, root, scratch, "o", args.size_mib, args.files))
        finally:
            svc.proc.terminate()
            svc.proc.wait(timeout=10)

        vport = free_port()
        with Reference(sb.dir, root, vport):
            for _ in range(args.runs):
                keep_best("vsftpd", run_cases(vport, root, scratch, "v", args.size_mib, args.files))

    print("%-24s %14s %14s %8s" % ("case", "orvyn MB/s", "vsftpd MB/s", "ratio"))
    for case in results["orvyn"]:
        o, v = results["orvyn"][case], results["vsftpd"][case]
        print("%-24s %14.3f %14.3f %8.2f" % (case, o / 1e6, v / 1e6, o / v if v else float("inf")))


if __name__ == "__main__":
    main()
