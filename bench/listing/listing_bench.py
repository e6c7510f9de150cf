#!/usr/bin/env python3
"""LIST, NLST and MLSD of large folders: orvyn beside vsftpd.

    python3 bench/listing/listing_bench.py [--sizes 10000,100000] [--runs 3] [--bin DIR]
"""

import argparse
import ftplib
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import orvyntest  # noqa: E402

PASSWORD = "bench pass"
VSFTPD = "/usr/sbin/vsftpd"


def fill(folder, count):
    os.makedirs(folder)
    for i in range(count):
        with open(os.path.join(folder, "entry-%07d.dat" % i), "wb") as f:
            if i % 10 == 0:
                f.write(b"x" * (i % 5000))


def timed(ftp, command, folder):
    # Every listing is taken as plain lines, so what is timed is the
    # server's work and the transfer, not the client's parsing of facts.
    lines = []
    start = time.perf_counter()
    ftp.retrlines("%s %s" % (command, folder), lines.append)
    return time.perf_counter() - start, len(lines)


def best(connect, command, folder, runs):
    times = []
    count = 0
    for _ in range(runs):
        ftp = connect()
        try:
            t, count = timed(ftp, command, folder)
        finally:
            ftp.close()
        times.append(t)
    return min(times), count


def start_orvyn(sb, top, bin_dir):
    port = orvyntest.free_port()
    key = sb.instance_key("Main", "Users\\bench")
    sb.set_value(key, "Home", top + "/")
    sb.set_value(key, "Restricted", 1)
    subprocess.run([os.path.join(bin_dir, "orvyn-reg"), "--store", sb.store, "passwd", "Main", "bench"],
                   input=PASSWORD + "\n", text=True, check=True, capture_output=True, env=sb.env)
    sb.add_instance("Main", port, log=False)
    svc = orvyntest.Service(sb).start()
    svc.wait_listening(port)
    return svc, port


def start_vsftpd(work, top):
    port = orvyntest.free_port()
    low = orvyntest.free_port()
    empty = os.path.join(work, "vsftpd-empty")
    os.makedirs(empty, exist_ok=True)
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
            "background=NO", "anonymous_enable=YES", "no_anon_password=YES", "local_enable=NO",
            "anon_root=%s" % top, "run_as_launching_user=YES", "write_enable=NO", "seccomp_sandbox=NO",
            "secure_chroot_dir=%s" % empty, "xferlog_enable=NO", "pasv_enable=YES",
            "pasv_min_port=%d" % low, "pasv_max_port=%d" % min(low + 200, 65535), "check_shell=NO", ""]))
    proc = subprocess.Popen([VSFTPD, conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not orvyntest.wait_listening(port):
        proc.kill()
        raise RuntimeError("vsftpd did not start")
    return proc, port


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="10000,100000")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--bin", default=orvyntest.BIN)
    args = ap.parse_args()
    orvyntest.BIN = args.bin
    sizes = [int(s) for s in args.sizes.split(",")]

    work = tempfile.mkdtemp(prefix="orvyn-listing-bench-")
    top = os.path.join(work, "top")
    sb = orvyntest.Sandbox()
    svc = vs = None
    try:
        for n in sizes:
            fill(os.path.join(top, "d%d" % n), n)
        svc, oport = start_orvyn(sb, top, os.path.abspath(args.bin))
        vport = None
        if os.access(VSFTPD, os.X_OK):
            vs, vport = start_vsftpd(work, top)
        else:
            print("vsftpd not found: orvyn times only")

        def orvyn():
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", oport, timeout=300)
            ftp.login("bench", PASSWORD)
            return ftp

        def vsftpd():
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", vport, timeout=300)
            ftp.login()
            return ftp

        print("%-8s %-5s %10s %10s %8s %9s" % ("entries", "cmd", "orvyn s", "vsftpd s", "ratio", "lines"))
        for n in sizes:
            folder = "d%d" % n
            for command, peer in (("LIST", "LIST"), ("NLST", "NLST"), ("MLSD", "LIST")):
                ot, olines = best(orvyn, command, folder, args.runs)
                if vport is not None:
                    vt, _ = best(vsftpd, peer, folder, args.runs)
                    print("%-8d %-5s %10.3f %10.3f %8.2f %9d" % (n, command, ot, vt, vt / ot, olines))
                else:
                    print("%-8d %-5s %10.3f %10s %8s %9d" % (n, command, ot, "-", "-", olines))
    finally:
        if vs is not None:
            vs.terminate()
            vs.wait(timeout=10)
        if svc is not None:
            svc.stop()
        sb.cleanup()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
