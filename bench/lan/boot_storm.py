#!/usr/bin/env python3
"""The boot storm on a LAN of network namespaces.

N clients, each in a namespace of its own, fetch one file from a server
behind a tbf-shaped uplink (scripts/lan.sh), side by side in one run:

  zem4-mcast  N x `zem4 get --multicast` against zem4d, started together
  zem4-ucast  N x `zem4 get` against zem4d
  atftp       N x atftp (blksize 1032, windowsize 64) against atftpd
  uftp        uftp sending to N uftpd at 95 % of the shaped rate, unencrypted

Wall time runs from the moment every client is let go at once to the last
client's exit (for uftp: the sender's session, its receivers waiting before
it starts). Every copy is checked with sha256sum; server bytes are the
tx_bytes of the server's veth. atftp, atftpd and uftp come from Debian's
packages (installed when missing) and run as black boxes, as children of this
script inside the bed; nothing is started as a system service.

  sudo bench/lan/boot_storm.py [--cases a,b,c] [--quick] [--runs R] ...
  (--help lists every option)

Not a test: nothing here passes or fails a build. Needs root with
CAP_NET_ADMIN; every namespace is taken down on every way out.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAN = os.path.join(REPO, "scripts", "lan.sh")
SERVER = "10.199.0.1"
FILE = "boot.img"
MIB = 1 << 20
TOOLS = ("zem4-mcast", "zem4-ucast", "atftp", "uftp")
UNICAST_TOOLS = ("zem4-ucast", "atftp")
ZEM4D_BASE = ["--bind", SERVER, "--log-level", "info", "--idle-timeout", "20"]
# A pass ends with FIN sent several times, and the next pass waits until the
# last one is out: 4 x 100 ms as shipped. --short-fin tries 3 x 20 ms: each
# further pass of a group costs about 0.1 s instead of 0.5 s, but a member
# still working through a backlog of datagrams hears the FIN after the others
# have asked again, is counted as done, and comes back seconds later for a
# group of its own; on this loaded machine that undid the gain.
ZEM4D_LAN = ["--fin-count", "3", "--fin-interval", "20"]
PEER_PACKAGES = ("atftp", "atftpd", "uftp")
# What each case asks of zem4; the thresholds are ratios so that --size and
# --mbit keep their sense.
MCAST_IDEAL_RATIO = {"a": 1.5, "b": 1.2}
SERVER_BYTES_RATIO = 1.1
LOSS_RATIO = 1.3


@dataclass
class Case:
    name: str
    clients: int
    size: int
    mbit: int
    loss: int = 0  # permille dropped at every client; 0 for none
    tools: tuple = TOOLS

    def ideal(self):
        """One copy at the shaped rate, payload only."""
        return self.size * 8 / (self.mbit * 1e6)


CASES = {
    "a": Case("a", 8, 32 * MIB, 200),
    # 32 unicast copies through 25 Mbit/s take six minutes a tool at best:
    # only with --tools.
    "b": Case("b", 32, 32 * MIB, 25, tools=("zem4-mcast", "uftp")),
    "c": Case("c", 4, 16 * MIB, 200, loss=20),
}


@dataclass
class Result:
    tool: str
    loss: int
    wall: float = 0.0
    exact: int = 0
    clients: int = 0
    server_bytes: int = 0
    tbf_drops: int = 0
    rcvbuf: int = 0
    cpu: float = 0.0
    fallbacks: str = "-"
    note: str = ""
    timed_out: bool = False


class Stop(Exception):
    pass


def on_signal(signum, _frame):
    raise Stop(f"signal {signum}")


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def run(argv, **kw):
    return subprocess.run(argv, check=True, text=True, capture_output=True, **kw).stdout


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# --- the bed ---------------------------------------------------------------


class Bed:
    def __init__(self, clients, mbit):
        self.tag = str(os.getpid())
        self.clients = clients
        r = subprocess.run(["bash", LAN, "up", self.tag, str(clients), str(mbit)],
                           text=True, capture_output=True)
        if r.returncode != 0:
            raise SystemExit(f"boot_storm: scripts/lan.sh could not build the bed:\n{r.stderr}")

    def ns(self, name):
        return f"zl{self.tag}-" + ("s" if name == "server" else f"c{name}")

    def loss(self, permille):
        for i in range(1, self.clients + 1):
            run(["bash", LAN, "loss", self.tag, str(i), str(permille)])

    def tx_bytes(self):
        out = run(["ip", "netns", "exec", self.ns("server"), "cat",
                   "/sys/class/net/eth0/statistics/tx_bytes"])
        return int(out)

    def tbf_drops(self):
        return tbf_dropped(run(["tc", "-n", self.ns("server"), "-s", "qdisc", "show", "dev",
                                "eth0"]))

    def rcvbuf_errors(self):
        """UDP datagrams the clients' kernels dropped for a full socket
        buffer: a member that waited too long for a CPU."""
        return sum(udp_rcvbuf_errors(run(["ip", "netns", "exec", self.ns(i), "cat",
                                          "/proc/net/snmp"]))
                   for i in range(1, self.clients + 1))

    def down(self):
        subprocess.run(["bash", LAN, "down", self.tag], capture_output=True)


def tbf_dropped(tc_output):
    """The drops of the root qdisc in `tc -s qdisc show dev X`."""
    m = re.search(r"\(dropped (\d+),", tc_output)
    return int(m.group(1)) if m else 0


def udp_rcvbuf_errors(snmp):
    """RcvbufErrors of the Udp: lines in /proc/net/snmp (names, then values)."""
    udp = [l.split() for l in snmp.splitlines() if l.startswith("Udp:")]
    return int(udp[1][udp[0].index("RcvbufErrors")])


def client_ip(i):
    return f"10.199.0.{10 + i}"


# --- processes -------------------------------------------------------------


class Proc:
    """A child in a namespace; its end and resource use come from wait4."""

    def __init__(self, ns, argv, logpath, gate=None):
        self.logpath = logpath
        out = open(logpath, "wb")
        stdin = subprocess.DEVNULL
        if gate is not None:
            # Held in a shell until the gate closes: every client of a run
            # starts at the same moment, whatever spawning them costs. The
            # shell becomes the client (exec), so its resource use is theirs.
            argv = ["sh", "-c", 'read x; exec "$@" </dev/null', "gate"] + argv
            stdin = gate.fds[0]
        self.p = subprocess.Popen(["ip", "netns", "exec", ns] + argv, stdin=stdin, stdout=out,
                                  stderr=subprocess.STDOUT)
        out.close()
        self.pid = self.p.pid
        self.status = None
        self.cpu = 0.0
        self.end = None

    def reaped(self, status, usage, now):
        self.status = os.waitstatus_to_exitcode(status)
        self.p.returncode = self.status
        self.cpu = usage.ru_utime + usage.ru_stime
        self.end = now

    def output(self):
        with open(self.logpath, errors="replace") as f:
            return f.read()

    def kill(self, sig=signal.SIGKILL):
        if self.status is None:
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass

    def reap(self, timeout=10.0):
        """Waits for this one child alone (servers, receivers)."""
        limit = time.monotonic() + timeout
        while self.status is None:
            try:
                pid, st, ru = os.wait4(self.pid, os.WNOHANG)
            except ChildProcessError:  # reaped by Popen.poll
                self.status = self.p.returncode
                break
            if pid == self.pid:
                self.reaped(st, ru, time.monotonic())
                break
            if time.monotonic() >= limit:
                self.kill()
                limit = time.monotonic() + 10
            time.sleep(0.02)


def wait_all(procs, others, timeout):
    """Reaps `procs` (the timed clients) as they end; `others` (servers)
    that end meanwhile are recorded too. Past `timeout` the rest are killed.
    Returns whether all ended by themselves."""
    byid = {p.pid: p for p in list(procs) + list(others)}
    left = {p.pid for p in procs}
    deadline = time.monotonic() + timeout
    timed_out = False
    while left:
        remaining = deadline - time.monotonic()
        if remaining <= 0 and not timed_out:
            timed_out = True
            for pid in left:
                byid[pid].kill()
        signal.setitimer(signal.ITIMER_REAL, max(remaining, 0.001) if not timed_out else 5.0)
        try:
            pid, st, ru = os.wait4(-1, 0)
        except InterruptedError:
            continue
        except ChildProcessError:
            break
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        now = time.monotonic()
        if pid in byid:
            byid[pid].reaped(st, ru, now)
        left.discard(pid)
    return not timed_out


def on_alarm(_signum, _frame):
    raise InterruptedError()


class Gate:
    def __init__(self):
        self.fds = os.pipe()

    def open(self, procs):
        # Opened once every client waits in its shell's read: a client still
        # being set up would otherwise start late, on the run's clock.
        limit = time.monotonic() + 20
        for p in procs:
            while time.monotonic() < limit:
                try:
                    with open(f"/proc/{p.pid}/stat") as f:
                        stat = f.read()
                except FileNotFoundError:
                    break
                if stat[stat.index("(") + 1:stat.rindex(")")] == "sh" and \
                        stat[stat.rindex(")") + 2] == "S":
                    break
                time.sleep(0.005)
        os.close(self.fds[0])
        os.close(self.fds[1])
        return time.monotonic()


# --- one case ----------------------------------------------------------------


class Stage:
    def __init__(self, args, case, work):
        self.args = args
        self.case = case
        self.work = work
        self.root = os.path.join(work, "root")
        self.servers = []
        self.bed = None
        self.digest = None
        self.tools = args.tools or case.tools

    def start(self):
        os.makedirs(self.root, exist_ok=True)
        os.chmod(self.work, 0o755)
        os.chmod(self.root, 0o755)
        path = os.path.join(self.root, FILE)
        with open("/dev/urandom", "rb") as src, open(path, "wb") as dst:
            left = self.case.size
            while left:
                chunk = src.read(min(left, 4 * MIB))
                dst.write(chunk)
                left -= len(chunk)
        os.chmod(path, 0o644)
        self.digest = run(["sha256sum", path]).split()[0]
        self.bed = Bed(self.case.clients, self.case.mbit)
        srv = self.bed.ns("server")
        if self.wants("zem4-mcast") or self.wants("zem4-ucast"):
            self.zem4d = Proc(srv, [self.args.zem4d, "--root", self.root] + self.args.zem4d_args,
                              os.path.join(self.work, "zem4d.log"))
            self.servers.append(self.zem4d)
            self.wait_for(self.zem4d, "zem4d serving")
            # The server hashes a file on its first request for a digest and
            # leaves requests unanswered meanwhile: a server that has been up
            # for a while has done so, so it is asked once before timing.
            r = subprocess.run(["ip", "netns", "exec", self.bed.ns(1), self.args.zem4, "info",
                                "--server", SERVER, FILE], capture_output=True, text=True,
                               timeout=60)
            if r.returncode != 0:
                raise SystemExit(f"boot_storm: zem4 info failed:\n{r.stdout}{r.stderr}")
        if self.wants("atftp"):
            self.atftpd = Proc(srv, ["atftpd", "--daemon", "--no-fork", "--port", "69",
                                     "--bind-address", SERVER, "--user", "nobody",
                                     "--group", "nogroup", "--logfile", "-", self.root],
                               os.path.join(self.work, "atftpd.log"))
            self.servers.append(self.atftpd)
            time.sleep(0.3)

    def wants(self, tool):
        return tool in self.tools

    def wait_for(self, proc, text, timeout=20):
        limit = time.monotonic() + timeout
        while time.monotonic() < limit:
            if text in proc.output():
                return
            if proc.p.poll() is not None:
                break
            time.sleep(0.05)
        raise SystemExit(f"boot_storm: {proc.logpath}:\n{proc.output()}")

    def stop(self):
        for p in self.servers:
            p.kill(signal.SIGTERM)
        for p in self.servers:
            p.reap()
        if self.bed:
            self.bed.down()

    def out_dir(self, tool):
        d = os.path.join(self.work, "out", tool)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        os.chmod(d, 0o777)
        return d

    def timeout(self, tool):
        if self.args.timeout:
            return self.args.timeout
        # At best one copy through the uplink for a group, one per client
        # for unicast tools.
        copies = self.case.clients if tool in UNICAST_TOOLS else 1
        return 60 + 4 * copies * self.case.ideal()

    def measure(self, tool, loss):
        res = Result(tool, loss, clients=self.case.clients)
        out = self.out_dir(tool)
        n = self.case.clients
        copies = []
        receivers = []
        gate = Gate()
        procs = []
        if tool.startswith("zem4"):
            extra = ["--multicast"] if tool == "zem4-mcast" else []
            for i in range(1, n + 1):
                copy = os.path.join(out, f"c{i}.bin")
                copies.append(copy)
                argv = [self.args.zem4, "get", "--server", SERVER, "-o", copy] + extra \
                    + self.args.get_arg + [FILE]
                procs.append(Proc(self.bed.ns(i), argv, os.path.join(out, f"c{i}.log"), gate))
            mark = len(self.zem4d.output())
        elif tool == "atftp":
            for i in range(1, n + 1):
                copy = os.path.join(out, f"c{i}.bin")
                copies.append(copy)
                argv = ["atftp", "--option", "blksize 1032", "--option", "windowsize 64", "-g",
                        "-r", FILE, "-l", copy, SERVER, "69"]
                procs.append(Proc(self.bed.ns(i), argv, os.path.join(out, f"c{i}.log"), gate))
        else:  # uftp
            ids = []
            for i in range(1, n + 1):
                d = os.path.join(out, f"c{i}")
                os.makedirs(d)
                copies.append(os.path.join(d, FILE))
                uid = "0x%08X" % int.from_bytes(bytes(map(int, client_ip(i).split("."))), "big")
                ids.append(uid)
                receivers.append(Proc(self.bed.ns(i), ["uftpd", "-d", "-q", "-D", d, "-I", "eth0",
                                                       "-U", uid, "-x", "1"],
                                      os.path.join(out, f"c{i}.log")))
            time.sleep(0.5)  # the receivers bind and join before the announcement
            kbps = int(self.case.mbit * 1000 * 0.95)
            argv = ["uftp", "-Y", "none", "-R", str(kbps), "-I", "eth0", "-H", ",".join(ids),
                    "-x", "1", os.path.join(self.root, FILE)]
            procs.append(Proc(self.bed.ns("server"), argv, os.path.join(out, "uftp.log"), gate))
        tx0, drops0, rcv0 = self.bed.tx_bytes(), self.bed.tbf_drops(), self.bed.rcvbuf_errors()
        start = gate.open(procs)
        ended = wait_all(procs, self.servers + receivers, self.timeout(tool))
        res.wall = max(p.end for p in procs) - start
        res.timed_out = not ended
        # Late datagrams (FIN repeats, a last acknowledgement) still count.
        time.sleep(0.2)
        res.server_bytes = self.bed.tx_bytes() - tx0
        res.tbf_drops = self.bed.tbf_drops() - drops0
        res.rcvbuf = self.bed.rcvbuf_errors() - rcv0
        for r in receivers:
            r.kill(signal.SIGTERM)
        for r in receivers:
            r.reap()
        res.cpu = sum(p.cpu for p in (receivers or procs))
        failed = [p for p in procs if p.status != 0]
        if res.timed_out:
            res.note = "stopped at the time limit"
        elif failed:
            said = (failed[0].output().strip().splitlines() or [""])[-1][:60]
            res.note = f"{len(failed)} exit != 0 (first: {failed[0].status}: \"{said}\")"
        res.exact = self.check(copies)
        if tool.startswith("zem4"):
            res.fallbacks = self.fallbacks(tool, procs, mark)
        for s in self.servers:
            if s.status is not None:
                raise SystemExit(f"boot_storm: a server ended during {tool}:\n{s.output()[-2000:]}")
        if not self.args.keep:
            shutil.rmtree(out, ignore_errors=True)
        return res

    def check(self, copies):
        there = [c for c in copies if os.path.isfile(c)]
        if not there:
            return 0
        r = subprocess.run(["sha256sum"] + there, capture_output=True, text=True)
        return sum(1 for line in r.stdout.splitlines() if line.split()[0] == self.digest)

    def fallbacks(self, tool, procs, mark):
        """Clients whose summary says they fell back, and the server's
        transfer lines of this run that served a multicast asker by unicast."""
        said = sum(1 for p in procs if "without multicast data" in p.output())
        if tool != "zem4-mcast":
            return "-"
        lines = [l for l in self.zem4d.output()[mark:].splitlines()
                 if "] transfer client=" in l and 'outcome="complete"' in l]
        unicast = sum(1 for l in lines if re.search(r" roles=\S*unicast", l))
        return f"{said} / {unicast}"


# --- the table ---------------------------------------------------------------


def median(values):
    return statistics.median(values) if values else float("nan")


def fmt_s(v, timed_out=False):
    return f"> {v:.1f} s" if timed_out else f"{v:.2f} s"


def summarize(case, runs, tools, losses):
    """runs: list of {(tool, loss): Result}. Returns the rows and goals."""
    rows = []
    med = {}
    for loss in losses:
        for tool in tools:
            rs = [r[(tool, loss)] for r in runs if (tool, loss) in r]
            if not rs:
                continue
            m = Result(tool, loss, clients=rs[0].clients)
            m.wall = median([r.wall for r in rs])
            m.timed_out = any(r.timed_out for r in rs)
            m.exact = min(r.exact for r in rs)
            m.server_bytes = median([r.server_bytes for r in rs])
            m.tbf_drops = median([r.tbf_drops for r in rs])
            m.rcvbuf = median([r.rcvbuf for r in rs])
            m.cpu = median([r.cpu for r in rs])
            m.fallbacks = ", ".join(sorted({r.fallbacks for r in rs}))
            m.note = "; ".join(sorted({r.note for r in rs if r.note}))
            med[(tool, loss)] = m
            rows.append(m)
    goals = []

    def floor(r):
        copies = case.clients if r.tool in UNICAST_TOOLS else 1
        return f"{copies * case.ideal():.2f} s link, {r.cpu / 2:.2f} s CPU"

    mc = med.get(("zem4-mcast", 0))
    if case.name in MCAST_IDEAL_RATIO and mc:
        k = MCAST_IDEAL_RATIO[case.name]
        goal = k * case.ideal()
        goals.append((f"zem4 multicast <= {k} x one copy", f"{goal:.2f} s", fmt_s(mc.wall),
                      mc.wall <= goal and not mc.timed_out and mc.exact == mc.clients, floor(mc)))
    if case.name == "a" and mc:
        up = med.get(("uftp", 0))
        if up:
            goals.append(("zem4 multicast faster than uftp", f"< {up.wall:.2f} s",
                          fmt_s(mc.wall), mc.wall < up.wall and mc.exact == mc.clients,
                          floor(mc)))
        ratio = mc.server_bytes / case.size
        goals.append(("server bytes (zem4 multicast)", f"<= {SERVER_BYTES_RATIO} x file",
                      f"{ratio:.3f} x", ratio <= SERVER_BYTES_RATIO, "1.0 x"))
    if case.loss:
        for tool, label in (("zem4-ucast", "unicast"), ("zem4-mcast", "multicast")):
            clean, lossy = med.get((tool, 0)), med.get((tool, case.loss))
            if clean and lossy:
                goal = LOSS_RATIO * clean.wall
                goals.append((f"zem4 {label} at {case.loss / 10:g} % loss <= {LOSS_RATIO} x "
                              "lossless", f"{goal:.2f} s", fmt_s(lossy.wall, lossy.timed_out),
                              lossy.wall <= goal and not lossy.timed_out
                              and lossy.exact == lossy.clients,
                              floor(lossy) + f"; lossless {clean.wall:.2f} s"))
    return rows, goals


def print_case(case, rows, goals, header):
    p = print
    p(f"\n### Case {case.name}: {case.clients} clients, {case.size / MIB:g} MiB, "
      f"{case.mbit} Mbit/s uplink" + (f", {case.loss / 10:g} % UDP loss at every client in "
                                      "the lossy rows" if case.loss else ""))
    p("")
    p(header)
    p("")
    p("| tool | loss | wall | exact copies | server bytes / file | fallbacks (client / server) "
      "| tbf drops | full client buffers | clients' CPU |")
    p("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        wall = fmt_s(r.wall, r.timed_out) + (f" ({r.note})" if r.note else "")
        p(f"| {r.tool} | {r.loss / 10:g} % | {wall} | {r.exact} / {r.clients} | "
          f"{r.server_bytes / case.size:.2f} | {r.fallbacks} | {r.tbf_drops:.0f} | {r.rcvbuf:.0f} | "
          f"{r.cpu:.2f} s |")
    if goals:
        p("")
        p("| goal | goal | measured | met | machine's floor |")
        p("|---|---:|---:|:---:|---|")
        for name, goal, measured, met, fl in goals:
            p(f"| {name} | {goal} | {measured} | {'yes' if met else 'no'} | {fl} |")
    sys.stdout.flush()


# --- set-up ------------------------------------------------------------------


def ensure_peers(tools):
    want = []
    if "atftp" in tools:
        want += ["atftp", "atftpd"]
    if "uftp" in tools:
        want += ["uftp"]
    missing = []
    for pkg in want:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True,
                           text=True)
        if r.stdout.strip() != "install ok installed":
            missing.append(pkg)
    if not missing:
        return
    log(f"installing {' '.join(missing)} from Debian's packages")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-q"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + missing,
                   check=True, env=env)
    # The packages' own services (atftpd's socket, uftpd) must not run: the
    # peers here are this script's children only.
    for unit in ("atftpd.socket", "atftpd.service", "uftp.service"):
        subprocess.run(["systemctl", "stop", unit], capture_output=True)
    for svc in ("atftpd", "uftp"):
        subprocess.run(["service", svc, "stop"], capture_output=True)


def build_commands(build_dir, commit=None):
    """The release build of zem4 and zem4d. `commit` names what a tree
    without git metadata (a `git archive`) was made from, for --version."""
    configure = ["cmake", "--preset", "release", "-B", build_dir]
    if commit:
        configure.append(f"-DZEM4_COMMIT={commit}")
    return [configure, ["cmake", "--build", build_dir, "-j2", "--target", "zem4", "zem4d"]]


def build(args, src=None):
    """Builds zem4 and zem4d in args.build, or with `src` the last commit
    alone, unpacked there: a shared tree's uncommitted edits stay out. The
    programs are copied out of it, since `src` goes at the end."""
    if args.no_build:
        return
    head = None
    if src:
        archive = subprocess.Popen(["git", "-C", REPO, "archive", "HEAD"], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", src], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise SystemExit("boot_storm: git archive HEAD failed")
        head = run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"]).strip()
    src = src or REPO
    build_dir = os.path.join(src, "build", "release") if src != REPO else args.build
    env = dict(os.environ)
    env.setdefault("CCACHE_DIR", "/var/cache/zem4-ccache")
    env.update(CCACHE_BASEDIR=src, CCACHE_NOHASHDIR="1")
    log(f"release build of zem4 and zem4d in {build_dir}")
    for command in build_commands(build_dir, head):
        subprocess.run(command, cwd=src, env=env, check=True, stdout=subprocess.DEVNULL)
    if src != REPO:
        # Kept beside the usual build, named after the commit they come from.
        keep = os.path.join(REPO, "build", f"lanbench-head-{head}")
        os.makedirs(keep, exist_ok=True)
        for name, rel in (("zem4", "tools/zem4"), ("zem4d", "server/zem4d")):
            shutil.copy2(os.path.join(build_dir, rel), os.path.join(keep, name))
        args.zem4 = os.path.join(keep, "zem4")
        args.zem4d = os.path.join(keep, "zem4d")
        args.build = keep


def programs(build_dir):
    """zem4 and zem4d in a build tree, or side by side in a directory kept by
    --head (build/lanbench-head-<commit>), which --no-build --build reuses."""
    if all(os.path.isfile(os.path.join(build_dir, n)) for n in ("zem4", "zem4d")):
        return os.path.join(build_dir, "zem4"), os.path.join(build_dir, "zem4d")
    return (os.path.join(build_dir, "tools", "zem4"), os.path.join(build_dir, "server", "zem4d"))


def make_cases(args):
    """The cases asked for, with --quick and the overrides applied."""
    cases = []
    for n in (args.cases or ("a,c" if args.quick else "a,b,c")).split(","):
        if n not in CASES:
            raise SystemExit(f"boot_storm: unknown case {n}")
        c = Case(**vars(CASES[n]))
        if args.quick:
            c.size //= 4
            c.clients = min(c.clients, 8)
        if args.clients:
            c.clients = args.clients
        if args.size:
            c.size = args.size
        if args.mbit:
            c.mbit = args.mbit
        if n == "c" and args.loss is not None:
            c.loss = args.loss
        if not 1 <= c.clients <= 32 or c.size < 1 or c.mbit < 1 or not 0 <= c.loss < 1000:
            raise SystemExit(f"boot_storm: case {n}: 1 to 32 clients, a size, a rate and a "
                             "loss below 1000 permille")
        cases.append(c)
    return cases


def zem4d_args(extra, short_fin):
    """zem4d's command line: ours, less any option given again in `extra`
    (zem4d takes each once), then `extra`."""
    given = {a.split("=")[0] for a in extra if a.startswith("--")}
    ours = []
    for base in (ZEM4D_BASE, ZEM4D_LAN if short_fin else []):
        for i in range(0, len(base), 2):
            if base[i] not in given:
                ours += base[i:i + 2]
    return ours + list(extra)


def size_arg(text):
    m = re.fullmatch(r"(\d+)([KMG]?)", text.upper())
    if not m:
        raise argparse.ArgumentTypeError("a size such as 32M")
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cases",
                    help="a: 8 clients, 32 MiB, 200 Mbit/s; b: 32, 32 MiB, 25 Mbit/s; "
                         "c: 4, 16 MiB, 200 Mbit/s without and with 2 %% loss (default a,b,c)")
    ap.add_argument("--quick", action="store_true",
                    help="cases a and c (unless --cases), a quarter of the size, at most 8 clients")
    ap.add_argument("--tools", help="default: " + ",".join(TOOLS) + " (case b: zem4-mcast,uftp)")
    ap.add_argument("--clients", type=int, help="clients in every case (1-32)")
    ap.add_argument("--size", type=size_arg, help="file size in every case (e.g. 32M)")
    ap.add_argument("--mbit", type=int, help="uplink rate in every case")
    ap.add_argument("--loss", type=int, help="case c's loss in permille (default 20)")
    ap.add_argument("--runs", type=int, default=1, help="runs per case; the table shows medians")
    ap.add_argument("--timeout", type=float, help="seconds a tool may take (default: from the case)")
    ap.add_argument("--build", default="build/release", help="release build directory")
    ap.add_argument("--no-build", action="store_true", help="use the build as it is")
    ap.add_argument("--head", action="store_true",
                    help="build the last commit in a directory of the run's own (a shared "
                         "tree's uncommitted edits stay out)")
    ap.add_argument("--zem4d-arg", action="append", default=[], metavar="ARG",
                    help="extra zem4d argument (repeatable, e.g. --zem4d-arg=--rate-limit=...)")
    ap.add_argument("--short-fin", action="store_true",
                    help="zem4d with " + " ".join(ZEM4D_LAN) + " (default: as shipped)")
    ap.add_argument("--get-arg", action="append", default=[], metavar="ARG",
                    help="extra `zem4 get` argument (repeatable)")
    ap.add_argument("--priority", type=int, default=0, metavar="NICE",
                    help="run every server and client at this nice value (e.g. -10: a shared "
                         "machine's background builds then weigh less on every tool alike)")
    ap.add_argument("--keep", help="keep the logs and copies in this directory")
    args = ap.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("boot_storm: needs root with CAP_NET_ADMIN (network namespaces)")
    args.tools = [t for t in (args.tools or "").split(",") if t]
    for t in args.tools:
        if t not in TOOLS:
            raise SystemExit(f"boot_storm: unknown tool {t}")
    cases = make_cases(args)
    args.zem4d_args = zem4d_args(args.zem4d_arg, args.short_fin)
    args.build = os.path.join(REPO, args.build)
    args.zem4, args.zem4d = programs(args.build)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    signal.signal(signal.SIGALRM, on_alarm)
    ensure_peers(set(args.tools or TOOLS))
    src = tempfile.mkdtemp(prefix="zem4-lanbench-src-") if args.head else None
    try:
        build(args, src)
    finally:
        if src:
            shutil.rmtree(src, ignore_errors=True)
    if args.priority:
        os.setpriority(os.PRIO_PROCESS, 0, args.priority)  # inherited by every child
    began = time.monotonic()
    work = args.keep or tempfile.mkdtemp(prefix="zem4-lanbench-", dir="/dev/shm")
    os.makedirs(work, exist_ok=True)
    shown_build = os.path.relpath(args.build, REPO) if args.build.startswith(REPO + "/") \
        else args.build
    # The programs measured, not the tree: a build may be older than HEAD.
    version = subprocess.run([args.zem4, "--version"], capture_output=True,
                             text=True).stdout.strip()
    print(f"## zem4 boot storm on a namespaced LAN\n\n{time.strftime('%Y-%m-%d %H:%M %Z')}, "
          f"{version} from {shown_build}, {os.cpu_count()} CPUs, load average {load()} at the start; "
          f"{args.runs} run(s) per case, medians shown; nice {args.priority}. zem4d "
          f"{' '.join(args.zem4d_args)}; zem4 get {' '.join(args.get_arg)}; "
          "atftp blksize 1032, windowsize 64; uftp -Y none -R (95 % of the uplink).")
    try:
        for case in cases:
            stage = Stage(args, case, os.path.join(work, f"case-{case.name}"))
            loads = []
            try:
                log(f"case {case.name}: {case.clients} clients, {case.size / MIB:g} MiB, "
                    f"{case.mbit} Mbit/s")
                stage.start()
                runs = []
                losses = [0, case.loss] if case.loss else [0]
                for k in range(args.runs):
                    results = {}
                    for loss in losses:
                        if case.loss:
                            stage.bed.loss(loss)
                        for tool in stage.tools:
                            loads.append(load())
                            r = stage.measure(tool, loss)
                            log(f"  run {k + 1} {tool} loss {loss / 10:g} %: {r.wall:.2f} s, "
                                f"{r.exact}/{r.clients} exact, server {r.server_bytes / case.size:.2f} x, "
                                f"tbf drops {r.tbf_drops}, rcvbuf {r.rcvbuf}, CPU {r.cpu:.2f} s {r.fallbacks} {r.note} "
                                f"(load {loads[-1]})")
                            results[(tool, loss)] = r
                    runs.append(results)
            finally:
                stage.stop()
            rows, goals = summarize(case, runs, stage.tools, losses)
            ones = [float(l.split()[0]) for l in loads]
            header = (f"Load average (1 min) before each tool: {min(ones):.2f} to "
                      f"{max(ones):.2f}; one copy at the shaped rate {case.ideal():.2f} s.")
            print_case(case, rows, goals, header)
    except Stop as e:
        log(f"stopped ({e}); the bed is taken down")
        return 130
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print(f"\nRun time: {time.monotonic() - began:.0f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
