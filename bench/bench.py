#!/usr/bin/env python3
"""Benchmarks qmr against rsync, cp -a and a bare metadata walk.

Generates deterministic trees outside the repository, runs every workload for
qmr and its peers interleaved within one run, several repetitions each, checks
after every qmr run that the destination equals the source, and prints medians,
minima, peak RSS and the ratios.
"""
import argparse
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = None  # the command line, set once in main


def make_tree(root, files, seed, small=False):
    """~100 files a directory, depth up to 3, mostly 1-16 KiB, ~1% large."""
    rng = random.Random(seed)
    os.makedirs(root)
    dirs = [""]
    frontier = [""]
    while len(dirs) * 100 < files:
        parent = frontier.pop(0) if frontier else rng.choice(dirs)
        for _ in range(6):
            name = parent + rng.choice(["Data", "docs", "Src", "misc", "Old Stuff"]) + str(len(dirs))
            dirs.append(name + "/")
            if name.count("/") < 2:
                frontier.append(name + "/")
            os.makedirs(os.path.join(root, name))
    base_time = 1_600_000_000_000_000_000
    for i in range(files):
        d = dirs[i % len(dirs)]
        name = rng.choice(["File", "file", "REPORT", "photo ", "Note"]) + str(i)
        name += rng.choice([".dat", ".TXT", ".jpg", "", ".tar.gz"])
        if small:
            size = rng.randint(0, 64)
        elif rng.random() < 0.01:
            size = rng.randint(256 << 10, 2 << 20)
        else:
            size = rng.randint(1 << 10, 16 << 10)
        path = os.path.join(root, d, name)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
        t = base_time + rng.randint(0, 10**17)
        os.utime(path, ns=(t, t))


def run(cmd):
    """Runs a command; returns (seconds, peak RSS in KiB of that process).

    GNU time forks from a small process, so the peak is the measured
    program's own, not that of this interpreter."""
    stats = os.path.join(ARGS.work, "rss")
    start = time.perf_counter()
    code = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", stats] + cmd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if code != 0:
        sys.exit(f"{cmd[0]} failed with status {code}")
    with open(stats) as f:
        return elapsed, int(f.read().split()[-1])


def listing(root, step=1):
    """Each file's size and last-write time in steps of `step` nanoseconds."""
    result = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            st = os.lstat(p)
            result[os.path.relpath(p, root)] = (st.st_size, st.st_mtime_ns // step)
    return result


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def verify(src, dst, check_content=None, step=1):
    """The destination must hold exactly the source's files, sizes and times
    (to the destination's precision, `step` nanoseconds)."""
    a, b = listing(src, step), listing(dst, step)
    if a != b:
        missing = set(a) ^ set(b)
        sys.exit(f"mirror differs: {len(missing)} names, e.g. {sorted(missing)[:3]}")
    for rel in check_content if check_content is not None else a:
        if digest(os.path.join(src, rel)) != digest(os.path.join(dst, rel)):
            sys.exit(f"content differs: {rel}")


def qmr_cmd(qmr, src, dst, threads=None):
    extra = [f"/THREADS:{threads}"] if threads else []
    return [qmr, "/FROM:" + src, "/TO:" + dst, "/R", "/QUIET"] + extra


def with_baseline(tools, make):
    """Adds the build given by --baseline after qmr, run interleaved with the
    others, so that both builds are measured against the same peers."""
    if not ARGS.baseline:
        return tools
    ordered = {}
    for tool, command in tools.items():
        ordered[tool] = command
        if tool == "qmr":
            ordered["qmr before"] = make(ARGS.baseline)
    return ordered


class Table:
    def __init__(self):
        self.rows = []

    def add(self, workload, tool, times, rss, files, base=None):
        self.rows.append((workload, tool, times, rss, files, base))

    def print(self):
        print()
        print("| workload | tool | median s | min s | peak RSS MiB | RSS bytes/file | us/file | ratio to qmr |")
        print("|---|---|---|---|---|---|---|---|")
        medians = {(w, t): statistics.median(ts) for w, t, ts, *_ in self.rows}
        for w, t, ts, rss, files, _ in self.rows:
            med = statistics.median(ts)
            ratio = med / medians[(w, "qmr")] if (w, "qmr") in medians else float("nan")
            print(f"| {w} | {t} | {med:.3f} | {min(ts):.3f} | {rss / 1024:.1f} | "
                  f"{rss * 1024 / files:.0f} | {med / files * 1e6:.1f} | {ratio:.2f} |")


def fresh(path):
    # rm -rf: rmtree recurses once per level, too deep for a long chain.
    if os.path.exists(path):
        subprocess.run(["rm", "-rf", path], check=True)


def initial_mirror(args, work, table):
    src = os.path.join(work, "init-src")
    make_tree(src, args.files, 1)
    tools = with_baseline({
        "qmr": lambda d: qmr_cmd(args.qmr, src, d),
        "qmr /THREADS:1": lambda d: qmr_cmd(args.qmr, src, d, 1),
        "rsync": lambda d: ["rsync", "-a", "--delete", src + "/", d + "/"],
        "cp -a": lambda d: ["cp", "-a", src, d],
    }, lambda q: lambda d: qmr_cmd(q, src, d))
    measure(args, table, f"initial mirror {args.files}", tools, args.files,
            prepare=lambda d: None, check=lambda d: verify(src, d))
    fresh(src)


def measure(args, table, workload, tools, files, prepare, check, out_dir=None):
    times = {t: [] for t in tools}
    rss = {t: 0 for t in tools}
    outputs = []
    # Every run writes into a fresh directory and all are deleted at the end:
    # file creation right after a large deletion is several times slower.
    for rep in range(args.reps):
        for tool, make in tools.items():
            label = tool.replace(" ", "").replace("/", "").replace(":", "")
            dst = os.path.join(out_dir or args.work, f"out-{rep}-{label}")
            outputs.append(dst)
            prepare(dst)
            # Dirty pages left by the last writer would otherwise be flushed
            # on whichever program runs next.
            os.sync()
            seconds, peak = run(make(dst))
            if tool.startswith("qmr"):
                check(dst)
            times[tool].append(seconds)
            rss[tool] = max(rss[tool], peak)
            if args.verbose:
                print(f"{workload}: {tool} {seconds:.3f} s", file=sys.stderr)
    for dst in outputs:
        fresh(dst)
    for tool in tools:
        table.add(workload, tool, times[tool], rss[tool], files)


def repeat_same(args, table, workload, tools, files, before=None, check=None):
    """Runs commands that find nothing to do, interleaved, `before` ahead of
    each run."""
    times = {t: [] for t in tools}
    rss = {t: 0 for t in tools}
    for _ in range(args.reps):
        for tool, cmd in tools.items():
            if before:
                before()
            seconds, peak = run(cmd)
            times[tool].append(seconds)
            rss[tool] = max(rss[tool], peak)
            if args.verbose:
                print(f"{workload}: {tool} {seconds:.3f} s", file=sys.stderr)
        if check:
            check()
    for tool in tools:
        table.add(workload, tool, times[tool], rss[tool], files)


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def no_change(args, work, table, files, small=False, peers=True, cold=False):
    src = os.path.join(work, f"same-src-{files}")
    dst = os.path.join(work, f"same-dst-{files}")
    make_tree(src, files, 2, small)
    run(qmr_cmd(args.qmr, src, dst))
    verify(src, dst, check_content=[])
    tools = with_baseline({"qmr": qmr_cmd(args.qmr, src, dst),
                           "qmr /THREADS:1": qmr_cmd(args.qmr, src, dst, 1)},
                          lambda q: qmr_cmd(q, src, dst))
    if peers:
        tools["rsync"] = ["rsync", "-a", "--delete", src + "/", dst + "/"]
    tools["find floor"] = ["find", src, dst, "-printf", "%s %T@\\n"]
    workload = f"no change {files}{' small' if small else ''}{', cold cache' if cold else ''}"
    repeat_same(args, table, workload, tools, files, before=drop_caches if cold else None,
                check=lambda: verify(src, dst, check_content=[]))
    fresh(src)
    fresh(dst)


def cold_cache(args, work, table):
    """Nothing to do, with every cache dropped before each run: the daily
    backup's real case."""
    try:
        drop_caches()
    except OSError:
        print("cold cache: skipped, the caches can be dropped only by root", file=sys.stderr)
        return
    no_change(args, work, table, 100000, small=True, cold=True)


def initial_tiny(args, work, table):
    """An initial mirror of many tiny files into an empty destination."""
    files = max(args.scale) if args.scale else 1000000
    src = os.path.join(work, "tiny-src")
    make_tree(src, files, 8, small=True)
    tools = with_baseline({
        "qmr": lambda d: qmr_cmd(args.qmr, src, d),
        "cp -a": lambda d: ["cp", "-a", src, d],
    }, lambda q: lambda d: qmr_cmd(q, src, d))
    measure(args, table, f"initial mirror {files} tiny", tools, files, prepare=lambda d: None,
            check=lambda d: verify(src, d, check_content=[]))
    fresh(src)


def churn(args, work, table):
    old = os.path.join(work, "churn-old")
    new = os.path.join(work, "churn-new")
    base = os.path.join(work, "churn-base")
    make_tree(old, args.files, 3)
    shutil.copytree(old, new, symlinks=True)
    run(qmr_cmd(args.qmr, old, base))
    rng = random.Random(4)
    names = sorted(listing(new))
    changed = []
    for rel in rng.sample(names, len(names) // 100):  # rewritten
        with open(os.path.join(new, rel), "wb") as f:
            f.write(rng.randbytes(rng.randint(1 << 10, 16 << 10)))
        changed.append(rel)
    for rel in rng.sample(names, len(names) // 100):  # deleted
        if rel not in changed:
            os.remove(os.path.join(new, rel))
    for i in range(len(names) // 100):  # added
        rel = os.path.join(os.path.dirname(names[i * 97 % len(names)]), f"Added {i}.dat")
        with open(os.path.join(new, rel), "wb") as f:
            f.write(rng.randbytes(4096))
        changed.append(rel)
    tools = with_baseline({
        "qmr": lambda d: qmr_cmd(args.qmr, new, d),
        "qmr /THREADS:1": lambda d: qmr_cmd(args.qmr, new, d, 1),
        "rsync": lambda d: ["rsync", "-a", "--delete", new + "/", d + "/"],
    }, lambda q: lambda d: qmr_cmd(q, new, d))
    measure(args, table, f"churn 3% of {args.files}", tools, args.files,
            prepare=lambda d: subprocess.run(["cp", "-a", base, d], check=True),
            check=lambda d: verify(new, d, check_content=changed))
    for p in (old, new, base):
        fresh(p)


def big_file(args, work, table):
    src = os.path.join(work, "big-src")
    os.makedirs(src)
    with open(os.path.join(src, "big.bin"), "wb") as f:
        block = random.Random(5).randbytes(1 << 20)
        for i in range(args.big_mib):
            f.write(block[i % 7:] + block[: i % 7])
    tools = with_baseline({
        "qmr": lambda d: qmr_cmd(args.qmr, src, d),
        "qmr /THREADS:1": lambda d: qmr_cmd(args.qmr, src, d, 1),
        "rsync": lambda d: ["rsync", "-a", "--delete", src + "/", d + "/"],
        "cp": lambda d: ["cp", "--preserve=timestamps", "-r", src, d],
    }, lambda q: lambda d: qmr_cmd(q, src, d))
    measure(args, table, f"one {args.big_mib} MiB file", tools, 1, prepare=lambda d: None,
            check=lambda d: verify(src, d))
    fresh(src)


def slow_destination(args, work, table):
    """An initial mirror onto a FUSE pass-through (bindfs), where every file
    operation is a round trip to another process, as on a network share."""
    has_bindfs = ensure(("bindfs", "bindfs"))
    backing = os.path.join(work, "slow-backing")
    mount = os.path.join(work, "slow-mount")
    os.makedirs(backing)
    os.makedirs(mount)
    if not has_bindfs or subprocess.call(["bindfs", backing, mount]) != 0:
        print("slow destination: skipped, bindfs (FUSE) cannot be mounted here", file=sys.stderr)
        return
    files = args.files // 4
    src = os.path.join(work, "slow-src")
    make_tree(src, files, 6)
    tools = with_baseline({
        "qmr": lambda d: qmr_cmd(args.qmr, src, d),
        "qmr /THREADS:1": lambda d: qmr_cmd(args.qmr, src, d, 1),
        "cp -a": lambda d: ["cp", "-a", src, d],
    }, lambda q: lambda d: qmr_cmd(q, src, d))
    try:
        measure(args, table, f"initial mirror {files}, FUSE destination", tools, files,
                prepare=lambda d: None, check=lambda d: verify(src, d), out_dir=mount)
    finally:
        subprocess.call(["fusermount", "-u", mount])
        fresh(src)
        fresh(backing)


def ensure(*pairs):
    """Installs the package of each missing command; False if one stays missing."""
    missing = [package for command, package in pairs if shutil.which(command) is None]
    if missing:
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends"] + missing,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return all(shutil.which(command) for command, _ in pairs)


class SftpServer:
    """A local sshd on its own port, with a key of its own, mounted through
    sshfs with every cache off: each metadata call is a round trip."""

    def __init__(self, work):
        self.work = os.path.join(work, "sftp")
        self.key = os.path.join(self.work, "key")
        self.port = "2222"
        os.makedirs(self.work)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key], check=True)
        subprocess.run(["ssh-keygen", "-A"], check=True, stdout=subprocess.DEVNULL)
        os.makedirs("/run/sshd", exist_ok=True)
        keys = os.path.join(self.work, "authorized_keys")
        shutil.copy(self.key + ".pub", keys)
        os.chmod(keys, 0o600)
        self.pid = os.path.join(self.work, "sshd.pid")
        subprocess.run(["/usr/sbin/sshd", "-p", self.port, "-o", "PidFile=" + self.pid,
                        "-o", "AuthorizedKeysFile=" + keys, "-o", "PermitRootLogin=yes",
                        "-o", "StrictModes=no"], check=True)
        time.sleep(0.5)

    def mount(self, backing, mount):
        os.makedirs(backing)
        os.makedirs(mount)
        return subprocess.call(
            ["sshfs", "-p", self.port, "-o", f"IdentityFile={self.key},StrictHostKeyChecking=no,"
             "UserKnownHostsFile=/dev/null,dir_cache=no,attr_timeout=0,entry_timeout=0,"
             "negative_timeout=0", f"root@localhost:{backing}", mount],
            stderr=subprocess.DEVNULL) == 0

    def stop(self):
        with open(self.pid) as f:
            os.kill(int(f.read()), 15)


def sshfs_destination(args, work, table):
    """2,000 files onto a destination reached over SFTP: the initial mirror,
    then a run with nothing to do."""
    if not ensure(("sshfs", "sshfs"), ("rclone", "rclone"), ("/usr/sbin/sshd", "openssh-server")):
        print("sshfs destination: skipped, sshfs, rclone or sshd cannot be installed", file=sys.stderr)
        return
    server = SftpServer(work)
    backing = os.path.join(work, "sftp-backing")
    mount = os.path.join(work, "sftp-mount")
    try:
        if not server.mount(backing, mount):
            print("sshfs destination: skipped, sshfs cannot be mounted here", file=sys.stderr)
            return
        files = 2000
        src = os.path.join(work, "sftp-src")
        make_tree(src, files, 9)
        # Every tool writes through the same mount.
        rclone = ["rclone", "sync", "--transfers", "8", "--checkers", "16", src]
        tools = with_baseline({
            "qmr": lambda d: qmr_cmd(args.qmr, src, d),
            "qmr /THREADS:1": lambda d: qmr_cmd(args.qmr, src, d, 1),
            "rclone, 8 transfers": lambda d: rclone + [d],
            "cp -a": lambda d: ["cp", "-a", src, d],
            "rsync": lambda d: ["rsync", "-a", "--delete", src + "/", d + "/"],
        }, lambda q: lambda d: qmr_cmd(q, src, d))
        measure(args, table, f"initial mirror {files}, sshfs destination", tools, files,
                prepare=lambda d: None, check=lambda d: verify(src, d, step=10**9), out_dir=mount)
        dst = os.path.join(mount, "same")
        run(qmr_cmd(args.qmr, src, dst))
        same = with_baseline({
            "qmr": qmr_cmd(args.qmr, src, dst),
            "qmr /THREADS:1": qmr_cmd(args.qmr, src, dst, 1),
            "rclone, 8 transfers": rclone + [dst],
            "rsync": ["rsync", "-a", "--delete", src + "/", dst + "/"],
        }, lambda q: qmr_cmd(q, src, dst))
        repeat_same(args, table, f"no change {files}, sshfs destination", same, files,
                    check=lambda: verify(src, dst, check_content=[], step=10**9))
        fresh(src)
    finally:
        subprocess.call(["fusermount", "-u", mount], stderr=subprocess.DEVNULL)
        server.stop()
        fresh(backing)


def make_chain(root, levels):
    """`levels` nested directories named d, one small file at the bottom."""
    os.makedirs(root)
    fd = os.open(root, os.O_RDONLY)
    for _ in range(levels):
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    with open(os.open("leaf.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "w") as f:
        f.write("leaf")
    # Whole seconds: Windows keeps times in steps of 100 ns.
    os.utime("leaf.txt", ns=(1_600_000_000 * 10**9,) * 2, dir_fd=fd)
    os.close(fd)


def wine_deep(args, work, table):
    """A chain of 1,000 directories mirrored by the Windows build under Wine,
    where every open by path costs a walk of the whole path."""
    if not args.qmr_exe or not os.path.exists(args.wine):
        print("deep chain under Wine: skipped, give --qmr-exe (and --wine)", file=sys.stderr)
        return
    os.environ["WINEDEBUG"] = "-all"
    src = os.path.join(work, "deep-src")
    make_chain(src, 1000)

    def exe(d):
        return [args.wine, args.qmr_exe, "/FROM:Z:" + src.replace("/", "\\"),
                "/TO:Z:" + d.replace("/", "\\"), "/R", "/QUIET"]

    tools = {"qmr": lambda d: qmr_cmd(args.qmr, src, d), "qmr.exe under Wine": exe}
    measure(args, table, "1000-level chain, first run", tools, 1000, prepare=lambda d: None,
            check=lambda d: verify(src, d))
    dst = os.path.join(work, "deep-dst")
    run(exe(dst))
    same = {"qmr": qmr_cmd(args.qmr, src, dst), "qmr.exe under Wine": exe(dst)}
    repeat_same(args, table, "1000-level chain, no change", same, 1000,
                check=lambda: verify(src, dst))
    fresh(src)
    fresh(dst)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--qmr", default=os.path.join(REPO, "build", "qmr"))
    parser.add_argument("--work", default="/tmp/qmr-bench", help="where the trees go")
    parser.add_argument("--baseline", help="another qmr build, measured in the same run as 'qmr before'")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--scale", type=int, nargs="*", default=[10000, 100000, 1000000],
                        help="tree sizes of the no-change scale runs (none to skip)")
    parser.add_argument("--qmr-exe", help="the Windows build, for the deep chain under Wine")
    parser.add_argument("--wine", default="/usr/lib/wine/wine64")
    parser.add_argument("--verbose", action="store_true", help="print every run's time")
    parser.add_argument("--only", nargs="*",
                        default=["initial", "nochange", "churn", "big", "slow", "sshfs", "cold",
                                 "scale", "tiny", "deep"])
    args = parser.parse_args()
    global ARGS
    ARGS = args
    sys.setrecursionlimit(10000)  # os.walk recurses once per level of the deep chain
    if not ensure(("rsync", "rsync"), ("/usr/bin/time", "time")):
        sys.exit("rsync and GNU time are needed, and could not be installed")
    fresh(args.work)
    os.makedirs(args.work)
    table = Table()
    if "initial" in args.only:
        initial_mirror(args, args.work, table)
    if "nochange" in args.only:
        for files in (args.files, 100000):
            no_change(args, args.work, table, files)
    if "churn" in args.only:
        churn(args, args.work, table)
    if "big" in args.only:
        big_file(args, args.work, table)
    if "slow" in args.only:
        slow_destination(args, args.work, table)
    if "sshfs" in args.only:
        sshfs_destination(args, args.work, table)
    if "cold" in args.only:
        cold_cache(args, args.work, table)
    if "scale" in args.only:
        for files in args.scale:
            no_change(args, args.work, table, files, small=True, peers=files <= 100000)
    if "tiny" in args.only:
        initial_tiny(args, args.work, table)
    if "deep" in args.only:
        wine_deep(args, args.work, table)
    table.print()
    fresh(args.work)


if __name__ == "__main__":
    main()
