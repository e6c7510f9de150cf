#!/usr/bin/env python3
"""Memory and threads of many concurrent listings of one large folder.

    python3 bench/listing/concurrent_listings.py [--entries 200000] [--clients 100]
            [--max-listings N] [--max-per-address N] [--folder DIR] [--bin DIR]

Fills a temporary folder with --entries empty files, starts `orvyn s` on a
temporary store (one confined user whose home holds the folder), logs in
--clients control connections from 127.0.0.1, sends LIST of the folder on all
of them at once (each after its PASV), then takes every listing. While they
run, the service's resident memory and thread count are sampled from /proc
every 10 ms. Prints the peak resident memory (sampled, and the kernel's
high-water mark VmHWM), the peak thread count, how many listings were
answered with 150 and how many refused with 450, and the wall time.

--max-listings and --max-per-address set Security\\MaxListings and
Security\\MaxListingsPerAddress; leave them out for the defaults, give 0 to
lift the bounds (to measure the memory of the listings themselves).
--folder keeps the filled folder at DIR (filled when missing, reused when
there), so several runs need not fill it again.
"""

import argparse
import os
import re
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import orvyntest  # noqa: E402

PASSWORD = "bench pass"


def fill(folder, count):
    os.makedirs(folder)
    for i in range(count):
        # Names of mixed letter case, not in their sorted order on disk.
        name = "%s%07d.dat" % ("E" if i % 3 == 0 else "e", (i * 7919) % count)
        open(os.path.join(folder, name), "wb").close()


def status_values(pid):
    values = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM", "Threads"):
                    values[key] = int(rest.split()[0])
    except OSError:
        pass
    return values


class Sampler(threading.Thread):
    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_rss_kib = 0
        self.peak_threads = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            v = status_values(self.pid)
            self.peak_rss_kib = max(self.peak_rss_kib, v.get("VmRSS", 0))
            self.peak_threads = max(self.peak_threads, v.get("Threads", 0))
            time.sleep(0.01)


def read_reply(sock_file):
    line = sock_file.readline()
    text = line
    if re.match(r"^\d{3}-", line):
        code = line[:3]
        while not (line.startswith(code + " ")):
            line = sock_file.readline()
            if not line:
                break
            text += line
    return text


def pasv_address(reply):
    n = [int(x) for x in re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply).groups()]
    return "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5]


def client(port, folder, barrier, results, index):
    s = socket.create_connection(("127.0.0.1", port), timeout=300)
    f = s.makefile("r", encoding="latin-1", newline="\r\n")
    try:
        read_reply(f)
        s.sendall(b"USER bench\r\n")
        read_reply(f)
        s.sendall(("PASS %s\r\n" % PASSWORD).encode())
        if not read_reply(f).startswith("230"):
            results[index] = "login failed"
            return
        s.sendall(b"PASV\r\n")
        address = pasv_address(read_reply(f))
        d = socket.socket()
        d.settimeout(300)
        barrier.wait()
        s.sendall(("LIST %s\r\n" % folder).encode())
        d.connect(address)
        reply = read_reply(f)
        if not reply.startswith("150"):
            d.close()
            results[index] = reply[:3]
            return
        size = 0
        while True:
            chunk = d.recv(1 << 20)
            if not chunk:
                break
            size += len(chunk)
        d.close()
        end = read_reply(f)
        results[index] = "150/%s/%d" % (end[:3], size)
    except Exception as e:  # noqa: BLE001 - reported, not raised
        results[index] = "error %s" % e
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--entries", type=int, default=200000)
    ap.add_argument("--clients", type=int, default=100)
    ap.add_argument("--max-listings", type=int)
    ap.add_argument("--max-per-address", type=int)
    ap.add_argument("--folder", help="the filled folder, kept between runs")
    ap.add_argument("--bin", default=orvyntest.BIN)
    args = ap.parse_args()
    orvyntest.BIN = os.path.abspath(args.bin)

    with orvyntest.Sandbox(prefix="orvyn-bench-") as sb:
        top = os.path.abspath(args.folder) if args.folder else os.path.join(sb.dir, "top")
        if not os.path.isdir(os.path.join(top, "big")):
            t0 = time.perf_counter()
            fill(os.path.join(top, "big"), args.entries)
            print("filled %d entries in %.1f s" % (args.entries, time.perf_counter() - t0))
        key = sb.instance_key("Main", "Users\\bench")
        sb.set_value(key, "Home", top + "/")
        sb.set_value(key, "Restricted", 1)
        sb.reg("passwd", "Main", "bench", input=PASSWORD + "\n")
        values = {"Security\\TimeOut": 600}
        if args.max_listings is not None:
            values["Security\\MaxListings"] = args.max_listings
        if args.max_per_address is not None:
            values["Security\\MaxListingsPerAddress"] = args.max_per_address
        svc = sb.start_instance("Main", values=values, log=False)
        try:
            pid = svc.proc.pid
            idle = status_values(pid)
            sampler = Sampler(pid)
            sampler.start()
            barrier = threading.Barrier(args.clients)
            results = [None] * args.clients
            threads = [threading.Thread(target=client, args=(svc.port, "big", barrier, results, i))
                       for i in range(args.clients)]
            t0 = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            elapsed = time.perf_counter() - t0
            sampler.done.set()
            sampler.join()
            end = status_values(pid)
        finally:
            svc.stop()

    answered = [r for r in results if r and r.startswith("150")]
    sizes = {r.split("/")[2] for r in answered}
    refused = sum(1 for r in results if r == "450")
    other = [r for r in results if r and not r.startswith("150") and r != "450"]
    print("clients %d: %d listed (%d distinct sizes: %s), %d refused with 450, %d other %s"
          % (args.clients, len(answered), len(sizes), ",".join(sorted(sizes)), refused, len(other), other[:3]))
    print("idle: RSS %.1f MiB, threads %d" % (idle.get("VmRSS", 0) / 1024, idle.get("Threads", 0)))
    print("peak: RSS %.1f MiB sampled, VmHWM %.1f MiB, threads %d"
          % (sampler.peak_rss_kib / 1024, end.get("VmHWM", 0) / 1024, sampler.peak_threads))
    print("wall time %.1f s" % elapsed)


if __name__ == "__main__":
    main()
