#!/usr/bin/env python3
"""The boot-storm benchmark's own logic, without a bed: the goals it calls met
or not, the medians, zem4d's command line, the cases and the counters it reads
from tc and /proc. Needs no root: python3 bench/lan/test_boot_storm.py"""

import argparse
import importlib.util
import os
import unittest

_spec = importlib.util.spec_from_file_location(
    "boot_storm", os.path.join(os.path.dirname(os.path.abspath(__file__)), "boot_storm.py"))
bs = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bs)

MIB = bs.MIB


def result(tool, loss=0, wall=1.0, exact=8, clients=8, server=1.05, size=32 * MIB,
           timed_out=False, cpu=1.0):
    return bs.Result(tool, loss, wall=wall, exact=exact, clients=clients,
                     server_bytes=int(server * size), timed_out=timed_out, cpu=cpu)


def goals_of(case, runs, tools=bs.TOOLS):
    losses = [0, case.loss] if case.loss else [0]
    rows, goals = bs.summarize(case, runs, tools, losses)
    return rows, {name: (goal, measured, met) for name, goal, measured, met, _ in goals}


class GoalsA(unittest.TestCase):
    case = bs.Case("a", 8, 32 * MIB, 200)  # one copy 1.34 s; 1.5 x is 2.01 s

    def test_goals(self):
        # (multicast row, uftp wall) -> (<= 1.5 x met, faster than uftp met, bytes met)
        table = [
            (dict(wall=1.9), 2.5, (True, True, True)),
            (dict(wall=2.1), 2.5, (False, True, True)),
            (dict(wall=1.9), 1.8, (True, False, True)),
            (dict(wall=1.9, exact=7), 2.5, (False, False, True)),  # a bad copy is no win
            (dict(wall=1.9, server=1.2), 2.5, (True, True, False)),
            (dict(wall=1.9, timed_out=True), 2.5, (False, True, True)),
        ]
        for mc, uftp_wall, want in table:
            with self.subTest(mc=mc, uftp=uftp_wall):
                run = {("zem4-mcast", 0): result("zem4-mcast", **mc),
                       ("uftp", 0): result("uftp", wall=uftp_wall)}
                _, g = goals_of(self.case, [run])
                got = (g["zem4 multicast <= 1.5 x one copy"][2],
                       g["zem4 multicast faster than uftp"][2],
                       g["server bytes (zem4 multicast)"][2])
                self.assertEqual(got, want)
                self.assertEqual(g["zem4 multicast <= 1.5 x one copy"][0], "2.01 s")

    def test_medians_of_runs(self):
        runs = [{("zem4-mcast", 0): result("zem4-mcast", wall=w, exact=e, cpu=c)}
                for w, e, c in ((9.0, 8, 3.0), (1.8, 8, 2.0), (1.9, 7, 4.0))]
        rows, g = goals_of(self.case, runs, ["zem4-mcast"])
        self.assertEqual(rows[0].wall, 1.9)
        self.assertEqual(rows[0].cpu, 3.0)
        self.assertEqual(rows[0].exact, 7)  # the worst run's copies, never a median
        self.assertFalse(g["zem4 multicast <= 1.5 x one copy"][2])
        self.assertNotIn("zem4 multicast faster than uftp", g)  # no uftp in this run

    def test_floor(self):
        run = {("zem4-mcast", 0): result("zem4-mcast", cpu=4.0),
               ("zem4-ucast", 0): result("zem4-ucast", cpu=6.0)}
        _, goals = bs.summarize(self.case, [run], bs.TOOLS, [0])
        self.assertEqual(goals[0][4], "1.34 s link, 2.00 s CPU")


class GoalsB(unittest.TestCase):
    def test_ratio(self):
        case = bs.Case("b", 32, 32 * MIB, 25)  # one copy 10.74 s; 1.2 x is 12.88 s
        for wall, met in ((12.8, True), (12.9, False)):
            run = {("zem4-mcast", 0): result("zem4-mcast", wall=wall, exact=32, clients=32)}
            _, g = goals_of(case, [run], ["zem4-mcast"])
            self.assertEqual(g["zem4 multicast <= 1.2 x one copy"][2], met, wall)


class GoalsC(unittest.TestCase):
    case = bs.Case("c", 4, 16 * MIB, 200, loss=20)

    def test_loss_against_lossless(self):
        table = [
            # (lossless wall, lossy wall, lossy exact, lossy timed out) -> met
            (4.0, 5.2, 4, False, True),
            (4.0, 5.3, 4, False, False),
            (4.0, 5.0, 3, False, False),
            (4.0, 5.0, 4, True, False),
        ]
        for clean, lossy, exact, timed_out, met in table:
            with self.subTest(clean=clean, lossy=lossy, exact=exact, timed_out=timed_out):
                run = {}
                for tool in ("zem4-ucast", "zem4-mcast"):
                    run[(tool, 0)] = result(tool, wall=clean, exact=4, clients=4,
                                            size=16 * MIB)
                    run[(tool, 20)] = result(tool, 20, wall=lossy, exact=exact, clients=4,
                                             size=16 * MIB, timed_out=timed_out)
                _, g = goals_of(self.case, [run], ["zem4-mcast", "zem4-ucast"])
                for label in ("unicast", "multicast"):
                    name = f"zem4 {label} at 2 % loss <= 1.3 x lossless"
                    self.assertEqual(g[name][2], met)
                    self.assertEqual(g[name][0], f"{1.3 * clean:.2f} s")

    def test_rows_in_order(self):
        run = {(t, l): result(t, l, clients=4, size=16 * MIB) for t in bs.TOOLS for l in (0, 20)}
        rows, _ = goals_of(self.case, [run])
        self.assertEqual([(r.tool, r.loss) for r in rows],
                         [(t, l) for l in (0, 20) for t in bs.TOOLS])


class CommandLine(unittest.TestCase):
    def test_zem4d_args(self):
        base = ["--bind", bs.SERVER, "--log-level", "info", "--idle-timeout", "20"]
        table = [
            (([], False), base),
            ((["--rate-limit=23750000"], False), base + ["--rate-limit=23750000"]),
            ((["--log-level=debug"], False),
             ["--bind", bs.SERVER, "--idle-timeout", "20", "--log-level=debug"]),
            (([], True), base + ["--fin-count", "3", "--fin-interval", "20"]),
            ((["--fin-count=5"], True), base + ["--fin-interval", "20", "--fin-count=5"]),
        ]
        for (extra, short_fin), want in table:
            with self.subTest(extra=extra, short_fin=short_fin):
                self.assertEqual(bs.zem4d_args(extra, short_fin), want)

    def args(self, **kw):
        d = dict(cases=None, quick=False, clients=None, size=None, mbit=None, loss=None)
        d.update(kw)
        return argparse.Namespace(**d)

    def test_cases(self):
        got = {c.name: (c.clients, c.size, c.mbit, c.loss) for c in bs.make_cases(self.args())}
        self.assertEqual(got, {"a": (8, 32 * MIB, 200, 0), "b": (32, 32 * MIB, 25, 0),
                               "c": (4, 16 * MIB, 200, 20)})
        quick = [(c.name, c.clients, c.size) for c in bs.make_cases(self.args(quick=True))]
        self.assertEqual(quick, [("a", 8, 8 * MIB), ("c", 4, 4 * MIB)])
        b = bs.make_cases(self.args(cases="b", quick=True))[0]
        self.assertEqual((b.clients, b.size, b.tools), (8, 8 * MIB, ("zem4-mcast", "uftp")))
        over = bs.make_cases(self.args(cases="a,c", clients=2, size=MIB, mbit=50, loss=10))
        self.assertEqual([(c.clients, c.size, c.mbit, c.loss) for c in over],
                         [(2, MIB, 50, 0), (2, MIB, 50, 10)])  # the loss is c's alone
        for bad in (dict(cases="d"), dict(clients=33), dict(cases="c", loss=1000)):
            with self.subTest(bad=bad), self.assertRaises(SystemExit):
                bs.make_cases(self.args(**bad))

    def test_programs(self):
        import tempfile
        with tempfile.TemporaryDirectory() as d:
            self.assertEqual(bs.programs(d), (os.path.join(d, "tools", "zem4"),
                                              os.path.join(d, "server", "zem4d")))
            for n in ("zem4", "zem4d"):
                open(os.path.join(d, n), "w").close()
            self.assertEqual(bs.programs(d), (os.path.join(d, "zem4"), os.path.join(d, "zem4d")))

    def test_build_commands(self):
        # A --head tree has no git metadata: the configure step names the commit.
        for commit, extra in ((None, []), ("", []), ("1eb7a22", ["-DZEM4_COMMIT=1eb7a22"])):
            with self.subTest(commit=commit):
                configure, make = bs.build_commands("/b", commit)
                self.assertEqual(configure, ["cmake", "--preset", "release", "-B", "/b"] + extra)
                self.assertEqual(make, ["cmake", "--build", "/b", "-j2", "--target", "zem4",
                                        "zem4d"])

    def test_sizes(self):
        for text, want in (("32M", 32 * MIB), ("4k", 4096), ("100", 100), ("1G", 1 << 30)):
            self.assertEqual(bs.size_arg(text), want, text)
        for text in ("3X", "M", "-1", ""):
            with self.subTest(text=text), self.assertRaises(argparse.ArgumentTypeError):
                bs.size_arg(text)


class Counters(unittest.TestCase):
    def test_tbf(self):
        tc = ("qdisc tbf 8072: root refcnt 3 rate 200Mbit burst 64Kb lat 20.9ms \n"
              " Sent 35211530 bytes 32813 pkt (dropped 1603, overlimits 18071 requeues 0) \n"
              " backlog 0b 0p requeues 0\n")
        self.assertEqual(bs.tbf_dropped(tc), 1603)
        self.assertEqual(bs.tbf_dropped(""), 0)

    def test_snmp(self):
        snmp = ("Ip: Forwarding DefaultTTL\nIp: 2 64\n"
                "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors "
                "InCsumErrors IgnoredMulti MemErrors\n"
                "Udp: 40210 3 9451 120 9451 0 0 0 0\n"
                "UdpLite: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors "
                "InCsumErrors IgnoredMulti MemErrors\n"
                "UdpLite: 0 0 0 0 7 0 0 0 0\n")
        self.assertEqual(bs.udp_rcvbuf_errors(snmp), 9451)


if __name__ == "__main__":
    unittest.main()
