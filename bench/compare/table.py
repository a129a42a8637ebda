#!/usr/bin/env python3
"""The Markdown table of bench/compare.sh, from hyperfine's and iperf3's JSON."""
import argparse
import json
import statistics

MIB = 1024 * 1024

LABELS = {
    "zem4": ("zem4 get from zem4d", "unicast, block 1032, window 64"),
    "atftp": ("atftp from atftpd", "blksize 1032"),
    "atftp_w64": ("atftp from atftpd", "blksize 1032, windowsize 64"),
    "curl": ("curl (TFTP) from atftpd", "blksize 1032"),
    "mcast8": ("8 x zem4 get --multicast", "one group, at once"),
    "ucast8": ("8 x zem4 get", "unicast, at once"),
}


def iperf_goodput(path):
    """Receiver goodput in bytes/s of one iperf3 -u -J run, or None."""
    try:
        with open(path) as f:
            data = json.load(f)
        end = data["end"]
        if "sum_received" in end:
            return end["sum_received"]["bits_per_second"] / 8
        s = end["sum"]
        return s["bits_per_second"] / 8 * (1 - s.get("lost_percent", 0) / 100)
    except (OSError, ValueError, KeyError):
        return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bytes", type=int, required=True)
    ap.add_argument("--hyperfine", required=True)
    ap.add_argument("--iperf", nargs="*", default=[])
    ap.add_argument("--sent-mcast", type=int, default=0)
    ap.add_argument("--sent-ucast", type=int, default=0)
    ap.add_argument("--failed", default="")
    ap.add_argument("--runs", type=int, default=0)
    ap.add_argument("--only", default=",".join(LABELS))
    a = ap.parse_args()

    ran = set(a.only.split(","))
    medians, cpu = {}, {}
    try:
        with open(a.hyperfine) as f:
            for r in json.load(f)["results"]:
                medians[r["command"]] = r["median"]
                cpu[r["command"]] = r.get("user", 0) + r.get("system", 0)
    except (OSError, ValueError, KeyError):
        pass
    failed = {n for n in a.failed.split(",") if n}
    goodputs = [g for g in (iperf_goodput(p) for p in a.iperf) if g]
    ceiling = statistics.median(goodputs) if goodputs else None

    out = []
    out.append("| transfer | configuration | median time | throughput | of the UDP ceiling | client CPU |")
    out.append("|---|---|---:|---:|---:|---:|")
    if ceiling:
        out.append(f"| raw UDP ceiling (iperf3 -u -l 1042 -b 0, receiver goodput) | 1042-byte datagrams | | "
                   f"{ceiling / MIB:.1f} MiB/s | 100 % | |")
    rates = {}
    for name in [n for n in ("zem4", "atftp", "atftp_w64", "curl") if n in ran]:
        tool, conf = LABELS[name]
        if name in failed or name not in medians:
            out.append(f"| {tool} | {conf} | failed or unsupported | | | |")
            continue
        t = medians[name]
        rate = a.bytes / t
        rates[name] = rate
        share = f"{100 * rate / ceiling:.0f} %" if ceiling else "?"
        out.append(f"| {tool} | {conf} | {t:.2f} s | {rate / MIB:.1f} MiB/s | {share} | {cpu[name]:.2f} s |")
    for name in [n for n in ("mcast8", "ucast8") if n in ran]:
        tool, conf = LABELS[name]
        if name in failed or name not in medians:
            out.append(f"| {tool} | {conf} | failed | | | |")
            continue
        t = medians[name]
        out.append(f"| {tool} | {conf} | {t:.2f} s | {8 * a.bytes / t / MIB:.1f} MiB/s delivered | | "
                   f"{cpu[name]:.2f} s |")

    eight = [(n, s) for n, s in (("mcast8", a.sent_mcast), ("ucast8", a.sent_ucast)) if n in ran]
    if eight:
        out.append("")
        out.append("| eight clients | wall time | server bytes per byte of file |")
        out.append("|---|---:|---:|")
    for name, sent in eight:
        t = medians.get(name)
        ratio = sent / a.bytes if a.bytes else 0
        out.append(f"| {LABELS[name][0]} | {f'{t:.2f} s' if t else 'failed'} | {ratio:.2f} |")

    out.append("")
    out.append("| bar | measured | met |")
    out.append("|---|---:|:---:|")
    std = [rates[n] for n in ("atftp", "atftp_w64", "curl") if n in rates]
    z = rates.get("zem4")
    if z and std:
        r = z / max(std)
        out.append(f"| zem4 unicast >= 1.5 x the best standard TFTP | {r:.2f} x | {'yes' if r >= 1.5 else 'no'} |")
    if medians.get("zem4") and medians.get("atftp_w64"):
        r = medians["atftp_w64"] / medians["zem4"]
        out.append(f"| zem4 get (whole command) at least on par with atftp windowsize 64 | {r:.2f} x | "
                   f"{'yes' if r >= 1.0 else 'no'} |")
    if z and ceiling:
        r = z / ceiling
        out.append(f"| zem4 unicast >= 75 % of raw UDP goodput | {100 * r:.0f} % | {'yes' if r >= 0.75 else 'no'} |")
    tm, tu = medians.get("mcast8"), medians.get("ucast8")
    if tm and tu:
        r = tm / tu
        out.append(f"| 8 multicast members < 0.5 x the time of 8 unicast | {r:.2f} x | {'yes' if r < 0.5 else 'no'} |")
    if a.bytes and "mcast8" in ran:
        r = a.sent_mcast / a.bytes
        out.append(f"| server sends <= 1.1 bytes per byte of file (multicast, 8) | {r:.2f} | {'yes' if r <= 1.1 else 'no'} |")
    print("\n".join(out))


if __name__ == "__main__":
    main()
