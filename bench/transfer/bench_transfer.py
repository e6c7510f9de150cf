#!/usr/bin/env python3
"""Transfer rates of `orvyn s` beside two peer FTP servers, vsftpd and
Pure-FTPd, all three serving the same temporary folder on loopback to an
anonymous client that may upload:

  - RETR and STOR of one big file (default 1 GiB), with curl, in MB/s;
  - the same over FTPS (AUTH TLS, PROT P, one self-signed certificate for
    all servers), for the servers configured for TLS (orvyn and vsftpd);
  - RETR and STOR of many small files (default 1000 of 4 KiB) in one
    session with ftplib, PASV + RETR / PASV + STOR per file, in files/s,
    and the same over FTPS (a fifth as many files, each data connection
    resuming the control connection's TLS session).

Prints per case the rate of each server and the ratios orvyn / vsftpd,
orvyn / Pure-FTPd and orvyn / the better peer. --runs N keeps the best of N
runs per server and case; the servers take turns within every run. Since
the best of a few runs is whichever server had the luckiest one, the last
column also gives orvyn / the better peer within each run: the median of
the runs and, in brackets, the lowest and the highest. The
disk is synced before every big case and every upload case, so that no case
pays for the pages an earlier one left to be written.

Every server runs in the foreground with its own configuration on a free
loopback port; none is started as a system service. vsftpd comes from its
Debian package, Pure-FTPd from the packages that `scripts/install-deps
--bench` unpacks into build/peers/pure-ftpd. A peer that is missing or does
not start is reported and left out. Everything lives in a temporary folder
that is removed at the end.

    python3 bench/transfer/bench_transfer.py [--size-mib 1024] [--files 1000] [--runs 5]

ORVYN_BIN names the folder of the built programs (default build/bin),
ORVYN_PURE_FTPD the Pure-FTPd program (default
build/peers/pure-ftpd/usr/sbin/pure-ftpd of this checkout).
"""

import argparse
import ftplib
import glob
import os
import shutil
import ssl
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from orvyntest import Sandbox, Service, free_port, program, wait_listening  # noqa: E402

MIB = 1024 * 1024
SMALL = 4096
HOST = "127.0.0.1"


def make_file(path, size):
    block = os.urandom(MIB)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, MIB)
            f.write(block[:n])
            left -= n


def make_certificate(sb):
    """A self-signed certificate in the sandbox's service store; returns
    (pem file with certificate and key, its SHA-1 hash as hex)."""
    store = os.path.join(sb.certdir, "service")
    os.makedirs(store, exist_ok=True)
    pem = os.path.join(store, "bench.pem")
    key, crt = pem + ".key", pem + ".crt"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", crt],
                   check=True, capture_output=True)
    with open(pem, "wb") as out:
        for part in (crt, key):
            with open(part, "rb") as f:
                out.write(f.read())
    os.chmod(pem, 0o600)
    os.remove(key)
    os.remove(crt)
    fp = subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha1"], check=True,
                        capture_output=True, text=True).stdout
    return pem, fp.strip().split("=", 1)[1].replace(":", "").lower()


class Server:
    """One server process in the foreground; its output goes to a log file."""

    name = "?"
    tls = False  # configured for FTPS

    def __init__(self, workdir, root):
        self.workdir = workdir
        self.root = root
        self.port = free_port()
        self.log = os.path.join(workdir, self.name.lower() + ".out")
        self.proc = None

    def command(self):
        raise NotImplementedError

    def env(self):
        return None

    def cwd(self):
        return self.workdir

    def start(self):
        """Starts the server; returns None, or why it could not be started."""
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen(self.command(), env=self.env(), cwd=self.cwd(), stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT)
        if wait_listening(self.port, timeout=10):
            return None
        self.stop()
        with open(self.log, errors="replace") as f:
            return "did not start: " + (f.read().strip() or "no output")

    def stop(self):
        if self.proc is None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc = None


class Orvyn(Server):
    """`orvyn s`, serving its working directory to anonymous clients, uploads allowed."""

    name = "orvyn"

    def __init__(self, sandbox, root, cert_hash=None):
        super().__init__(sandbox.dir, root)
        sandbox.add_instance("Bench", self.port, log=False, values={
            "Security\\Secure": 0, "Security\\Allow_Anon_Puts": 1, "Security\\DisableLowPorts": 1})
        if cert_hash:
            sandbox.reg("cert", "use", "Bench", cert_hash)
            self.tls = True
        self.svc = Service(sandbox)

    def command(self):
        return self.svc.args

    def env(self):
        return self.svc.env

    def cwd(self):
        return self.root


class Vsftpd(Server):
    """vsftpd in the foreground as the calling user, anonymous access to root, uploads allowed."""

    name = "vsftpd"

    def __init__(self, workdir, root, cert=None):
        super().__init__(workdir, root)
        self.exe = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
        # TLS as it would be set up for clients today: AES-GCM and
        # CHACHA20 suites, session reuse required (vsftpd's default).
        tls = ["ssl_enable=YES", "allow_anon_ssl=YES", "rsa_cert_file=%s" % cert, "rsa_private_key_file=%s" % cert,
               "ssl_ciphers=ECDHE+AESGCM:ECDHE+CHACHA20", "force_anon_logins_ssl=NO",
               "force_anon_data_ssl=NO"] if cert else []
        self.tls = cert is not None
        self.conf = os.path.join(workdir, "vsftpd.conf")
        empty = os.path.join(workdir, "vsftpd-empty")
        os.makedirs(empty, exist_ok=True)
        with open(self.conf, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=%s" % HOST, "listen_port=%d" % self.port,
                "background=NO", "run_as_launching_user=YES", "anonymous_enable=YES", "local_enable=NO",
                "no_anon_password=YES", "anon_root=%s" % root, "write_enable=YES", "anon_upload_enable=YES",
                "anon_other_write_enable=YES", "anon_umask=022", "allow_writeable_chroot=YES",
                "secure_chroot_dir=%s" % empty, "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
                "pasv_enable=YES", "pasv_address=%s" % HOST, "xferlog_enable=NO", "syslog_enable=NO",
                "vsftpd_log_file=%s" % os.path.join(workdir, "vsftpd.log"), "dual_log_enable=NO",
                "use_localtime=NO", "check_shell=NO", "max_clients=50", "idle_session_timeout=120",
            ] + tls + [""]))

    def missing(self):
        if not os.access(self.exe, os.X_OK):
            return "not installed (scripts/install-deps --bench installs it)"
        return None

    def command(self):
        return [self.exe, self.conf]


def find_nss_wrapper():
    for pattern in ("/usr/lib/*/libnss_wrapper.so", "/usr/lib/libnss_wrapper.so", "/usr/lib64/libnss_wrapper.so"):
        found = glob.glob(pattern)
        if found:
            return found[0]
    return None


class PureFtpd(Server):
    """Pure-FTPd from the unpacked Debian packages, in the foreground, anonymous
    sessions only, uploads allowed, no syslog.

    Pure-FTPd gives anonymous sessions the home folder of the account "ftp"
    and chroots them there. So as not to touch the machine's accounts, it runs
    under nss_wrapper with a passwd file of its own in which "ftp" (uid and gid
    of nobody) has the served folder as its home.
    """

    name = "Pure-FTPd"
    SCOREBOARD = "/var/run/pure-ftpd"

    def __init__(self, workdir, root):
        super().__init__(workdir, root)
        self.exe = os.environ.get("ORVYN_PURE_FTPD") or os.path.join(
            REPO, "build", "peers", "pure-ftpd", "usr", "sbin", "pure-ftpd")
        self.nss_wrapper = find_nss_wrapper()
        self.passwd = os.path.join(workdir, "pure-ftpd.passwd")
        self.group = os.path.join(workdir, "pure-ftpd.group")
        with open(self.passwd, "w") as f:
            f.write("root:x:0:0:root:/root:/bin/sh\n")
            f.write("ftp:x:65534:65534:anonymous FTP:%s:/usr/sbin/nologin\n" % root)
        with open(self.group, "w") as f:
            f.write("root:x:0:\nnogroup:x:65534:\n")
        self.made_scoreboard = False

    def missing(self):
        if not os.access(self.exe, os.X_OK):
            return "not found at %s (scripts/install-deps --bench fetches it from the Debian archive)" % self.exe
        if self.nss_wrapper is None:
            return "needs libnss_wrapper.so (Debian package libnss-wrapper)"
        if os.geteuid() != 0:
            return "needs root to chroot its anonymous sessions"
        return None

    def command(self):
        # -f none first: no syslog at all. -e anonymous only, -H no name lookups,
        # -U the same umasks as the others (files 644, folders 755).
        return [self.exe, "-f", "none", "-S", "%s,%d" % (HOST, self.port), "-4", "-e", "-H",
                "-U", "133:022", "-c", "50", "-C", "50", "-I", "2",
                "-g", os.path.join(self.workdir, "pure-ftpd.pid")]

    def env(self):
        env = dict(os.environ)
        env.update(LD_PRELOAD=self.nss_wrapper, NSS_WRAPPER_PASSWD=self.passwd, NSS_WRAPPER_GROUP=self.group)
        return env

    def start(self):
        # Its session scoreboard folder is compiled in; it is removed again if
        # this run created it.
        self.made_scoreboard = not os.path.exists(self.SCOREBOARD)
        return super().start()

    def stop(self):
        super().stop()
        if self.made_scoreboard:
            try:
                os.rmdir(self.SCOREBOARD)
            except OSError:
                pass


# ---- the cases ------------------------------------------------------------------


def curl(args):
    """Runs one curl transfer; returns (bytes moved, seconds curl took)."""
    r = subprocess.run(["curl", "-sS", "--ftp-method", "nocwd", "-w", "%{size_download} %{size_upload} %{time_total}"]
                       + args, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("curl failed (%d): %s" % (r.returncode, r.stderr.strip()))
    down, up, total = r.stdout.split()
    return int(down) + int(up), float(total)


def settle_disk():
    """Writes back what earlier cases left dirty: an upload must not pay for the one before it."""
    os.sync()


def big_retr(port, size, tls=False):
    options = ["--ssl-reqd", "-k"] if tls else []
    settle_disk()
    n, t = curl(options + ["-o", os.devnull, "ftp://%s:%d/data/big.bin" % (HOST, port)])
    if n != size:
        raise RuntimeError("RETR moved %d bytes, not %d" % (n, size))
    return size / t


def big_stor(port, root, tag, size, tls=False):
    options = ["--ssl-reqd", "-k"] if tls else []
    name = "big-%s.bin" % tag
    settle_disk()
    n, t = curl(options + ["-T", os.path.join(root, "data", "big.bin"), "ftp://%s:%d/up/%s" % (HOST, port, name)])
    stored = os.path.join(root, "up", name)
    got = os.path.getsize(stored)
    os.remove(stored)
    if n != size or got != size:
        raise RuntimeError("STOR sent %d bytes and stored %d, not %d" % (n, got, size))
    return size / t


class ResumingFtpTls(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's TLS
    session, as curl and lftp do (and as vsftpd requires)."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


def ftp_session(port, tls=False):
    if tls:
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        ftp = ResumingFtpTls(context=context)
    else:
        ftp = ftplib.FTP()
    ftp.connect(HOST, port, timeout=60)
    ftp.login()
    if tls:
        ftp.prot_p()
    ftp.set_pasv(True)
    ftp.voidcmd("TYPE I")
    return ftp


def small_retr(port, nfiles, tls=False):
    """Files per second over one session: PASV + RETR per file."""
    ftp = ftp_session(port, tls)
    try:
        t0 = time.perf_counter()
        for i in range(nfiles):
            got = 0
            with ftp.transfercmd("RETR data/small/f%04d.bin" % i) as conn:
                while True:
                    block = conn.recv(65536)
                    if not block:
                        break
                    got += len(block)
                if tls:
                    conn.unwrap()
            ftp.voidresp()
            if got != SMALL:
                raise RuntimeError("RETR f%04d.bin gave %d bytes" % (i, got))
        elapsed = time.perf_counter() - t0
        ftp.quit()
    finally:
        ftp.close()
    return nfiles / elapsed


def small_stor(port, root, tag, blobs, tls=False):
    """Files per second over one session: PASV + STOR per file."""
    names = ["s-%s-%04d.bin" % (tag, i) for i in range(len(blobs))]
    settle_disk()
    ftp = ftp_session(port, tls)
    try:
        t0 = time.perf_counter()
        for name, blob in zip(names, blobs):
            with ftp.transfercmd("STOR up/" + name) as conn:
                conn.sendall(blob)
                if tls:
                    conn.unwrap()
            ftp.voidresp()
        elapsed = time.perf_counter() - t0
        ftp.quit()
    finally:
        ftp.close()
    for name in names:
        path = os.path.join(root, "up", name)
        got = os.path.getsize(path)
        os.remove(path)
        if got != SMALL:
            raise RuntimeError("STOR %s stored %d bytes" % (name, got))
    return len(blobs) / elapsed


def bench_cases(root, size_mib, blobs):
    """[(case, unit, tls only, measure(server, tag) -> rate)]."""
    size = size_mib * MIB
    n = len(blobs)
    # A TLS handshake per file: a fifth as many files keeps the case short.
    tls_blobs = blobs[:max(1, n // 5)]
    nt = len(tls_blobs)
    return [
        ("RETR %d MiB" % size_mib, "MB/s", False, lambda s, tag: big_retr(s.port, size) / 1e6),
        ("STOR %d MiB" % size_mib, "MB/s", False, lambda s, tag: big_stor(s.port, root, tag, size) / 1e6),
        ("FTPS RETR %d MiB" % size_mib, "MB/s", True, lambda s, tag: big_retr(s.port, size, tls=True) / 1e6),
        ("FTPS STOR %d MiB" % size_mib, "MB/s", True,
         lambda s, tag: big_stor(s.port, root, tag + "t", size, tls=True) / 1e6),
        ("RETR %d x 4 KiB" % n, "files/s", False, lambda s, tag: small_retr(s.port, n)),
        ("STOR %d x 4 KiB" % n, "files/s", False, lambda s, tag: small_stor(s.port, root, tag, blobs)),
        ("FTPS RETR %d x 4 KiB" % nt, "files/s", True, lambda s, tag: small_retr(s.port, nt, tls=True)),
        ("FTPS STOR %d x 4 KiB" % nt, "files/s", True,
         lambda s, tag: small_stor(s.port, root, tag + "t", tls_blobs, tls=True)),
    ]


# ---- the table -------------------------------------------------------------------


def ratio(a, b):
    return "%.2f" % (a / b) if a is not None and b else "-"


def run_ratios(runs, peers):
    """orvyn / the better peer within each run that measured both: the
    median and the range, or "-"."""
    values = []
    for rates in runs:
        best = max((rates[p] for p in peers if p in rates), default=None)
        if "orvyn" in rates and best:
            values.append(rates["orvyn"] / best)
    if not values:
        return "-"
    return "%.2f (%.2f-%.2f)" % (statistics.median(values), min(values), max(values))


def print_table(cases, results, per_run, names):
    peers = [n for n in names if n != "orvyn"]
    head = (["case", "unit"] + names + ["orvyn/" + p for p in peers]
            + ["orvyn/best peer", "per run: median (range)"])
    rows = []
    for case, unit in cases:
        rate = {n: results.get(n, {}).get(case) for n in names}
        best = max((rate[p] for p in peers if rate[p] is not None), default=None)
        rows.append([case, unit] + ["%.1f" % rate[n] if rate[n] is not None else "-" for n in names]
                    + [ratio(rate["orvyn"], rate[p]) for p in peers] + [ratio(rate["orvyn"], best)]
                    + [run_ratios(per_run.get(case, []), peers)])
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    for r in [head] + rows:
        print("  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))


def process_tree(pid):
    """pid and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def pin_processors(servers, mode):
    """Every server (its threads, and the processes it forks later) on the
    first processor; this client, and the curl it starts, on the same one
    ("same") or on the second ("apart")."""
    cpus = sorted(os.sched_getaffinity(0))
    if mode == "apart" and len(cpus) < 2:
        raise SystemExit("--cpus apart needs two processors")
    for server in servers:
        for pid in process_tree(server.proc.pid):
            for tid in os.listdir("/proc/%d/task" % pid):
                os.sched_setaffinity(int(tid), {cpus[0]})
    os.sched_setaffinity(0, {cpus[0] if mode == "same" else cpus[1]})


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mib", type=int, default=1024, help="size of the big file (default 1024)")
    ap.add_argument("--files", type=int, default=1000, help="number of 4 KiB files (default 1000)")
    ap.add_argument("--runs", type=int, default=5, help="runs per server; the best is kept (default 5)")
    ap.add_argument("--cpus", choices=("any", "same", "apart"), default="any",
                    help="where servers and client run: where the scheduler puts them (default), all on one "
                         "processor, or the servers on one and the client on another")
    args = ap.parse_args()
    if not os.access(program("orvyn"), os.X_OK):
        raise SystemExit("orvyn is not built (ORVYN_BIN=%s)" % os.path.dirname(program("orvyn")))
    if shutil.which("curl") is None:
        raise SystemExit("curl is missing (scripts/install-deps installs it)")

    with Sandbox(prefix="orvyn-bench-") as sb:
        root = os.path.join(sb.dir, "srv")
        for d in (os.path.join(root, "data", "small"), os.path.join(root, "up")):
            os.makedirs(d)
        os.chmod(os.path.join(root, "up"), 0o777)
        make_file(os.path.join(root, "data", "big.bin"), args.size_mib * MIB)
        blobs = []
        for i in range(args.files):
            blob = os.urandom(SMALL)
            blobs.append(blob)
            with open(os.path.join(root, "data", "small", "f%04d.bin" % i), "wb") as f:
                f.write(blob)

        servers = []
        names = ["orvyn", "vsftpd", "Pure-FTPd"]
        try:
            cert, cert_hash = make_certificate(sb) if shutil.which("openssl") else (None, None)
            if cert is None:
                print("openssl is missing: FTPS is not measured", file=sys.stderr)
            for server in (Orvyn(sb, root, cert_hash), Vsftpd(sb.dir, root, cert), PureFtpd(sb.dir, root)):
                why = getattr(server, "missing", lambda: None)() or server.start()
                if why:
                    if server.name == "orvyn":
                        raise SystemExit("orvyn " + why)
                    print("%s %s; measured without it" % (server.name, why), file=sys.stderr)
                    continue
                servers.append(server)

            if args.cpus != "any":
                pin_processors(servers, args.cpus)
            print("big file %d MiB, %d small files, best of %d run(s), processors: %s; load average %.2f"
                  % (args.size_mib, args.files, args.runs, args.cpus, os.getloadavg()[0]), flush=True)
            results = {}
            per_run = {}  # case -> one {server: rate} per run
            cases = []
            for run in range(args.runs):
                # Case by case, the servers take turns (starting with a
                # different one each run), so that the machine's speed, which
                # drifts over minutes, is much the same for all of them.
                k = run % len(servers)
                order = servers[k:] + servers[:k]
                for case, unit, tls_only, measure in bench_cases(root, args.size_mib, blobs):
                    for server in order:
                        if tls_only and not server.tls:
                            continue
                        try:
                            rate = measure(server, "%s%d" % (server.name[0].lower(), run))
                        except (RuntimeError, OSError, ftplib.Error) as e:
                            print("%s, %s, run %d: %s" % (server.name, case, run + 1, e), file=sys.stderr)
                            continue
                        if (case, unit) not in cases:
                            cases.append((case, unit))
                        best = results.setdefault(server.name, {})
                        best[case] = max(rate, best.get(case, 0.0))
                        runs = per_run.setdefault(case, [])
                        while len(runs) <= run:
                            runs.append({})
                        runs[run][server.name] = rate
                print("run %d of %d done; load average %.2f" % (run + 1, args.runs, os.getloadavg()[0]),
                      file=sys.stderr, flush=True)
        finally:
            for server in servers:
                server.stop()

    print_table(cases, results, per_run, names)


if __name__ == "__main__":
    main()
