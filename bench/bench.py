# Benchmark driver: builds the images, times efsh and the host tools, reports medians, spread and peak memory.
import csv, os, statistics, subprocess, sys, time

work, csv_path = sys.argv[1], sys.argv[2]
EFSH, MKIMAGE, REPS = os.environ["EFSH"], os.environ["MKIMAGE"], int(os.environ["REPS"])

def mkimage(name, lines):
    tree = os.path.join(work, name + ".txt")
    with open(tree, "w") as f:
        f.write("\n".join(lines) + "\n")
    img = os.path.join(work, name + ".img")
    subprocess.run([MKIMAGE, tree, img], check=True)
    return img

def timed(cmd, stdin=None, cwd=work):
    """Runs cmd under /usr/bin/time -v when present; returns (seconds, peak KiB)."""
    use_time = os.path.exists("/usr/bin/time")
    full = (["/usr/bin/time", "-v"] if use_time else []) + cmd
    t0 = time.perf_counter()
    p = subprocess.run(full, input=stdin, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    dt = time.perf_counter() - t0
    rss = 0
    for line in p.stderr.decode(errors="replace").splitlines():
        if "Maximum resident set size" in line:
            rss = int(line.split(":")[1])
    return dt, rss

def measure(label, cmd, stdin=None, prep=None):
    times, rss = [], 0
    for _ in range(REPS):
        if prep:
            prep()
        dt, r = timed(cmd, stdin)
        times.append(dt)
        rss = max(rss, r)
    return {"case": label, "median_s": statistics.median(times), "spread_s": max(times) - min(times), "peak_kib": rss}

def fresh(path):
    def go():
        subprocess.run(["rm", "-rf", path], check=True)
        os.makedirs(path)
    return go

rows = []
def ratio(a, b):
    a["ratio"] = a["median_s"] / b["median_s"] if b["median_s"] > 0 else float("nan")
    rows.extend([a, b])

# 1. A tree of ~300 MB in 3,000 files and 100 directories.
lines = ["partition 7", "fs cg_inode_blocks=64"]
for d in range(100):
    lines.append(f"dir /tree/d{d:03} 0755 extent_blocks=8")
    for i in range(30):
        lines.append(f"file /tree/d{d:03}/f{i:02} 0644 pattern 100000 seed={d * 30 + i}")
img = mkimage("tree", lines)
host_tree = os.path.join(work, "hosttree")
subprocess.run(f"mkdir -p {work}/x && printf 'cp -r tree {work}/x\\nbye\\n' | {EFSH} -p 7 {img} >/dev/null 2>&1 && mv {work}/x/tree {host_tree}", shell=True, check=True)
subprocess.run(["cat", img], stdout=subprocess.DEVNULL)
ratio(measure("cp -r tree (efsh)", [EFSH, "-p", "7", img], f"cp -r tree {work}/out\nbye\n".encode(), fresh(f"{work}/out")),
      measure("cp -r tree (host)", ["cp", "-r", host_tree, f"{work}/out"], None, fresh(f"{work}/out")))

# 2. One 200 MB file over more than 64 extents.
img = mkimage("big", ["partition 7", "file /big 0644 pattern 209715200 extent_blocks=248"])
ratio(measure("cp big (efsh)", [EFSH, "-p", "7", img], f"cp big {work}/big.out\nbye\n".encode()),
      measure("cat image (host)", ["sh", "-c", f"cat {img} > {work}/big.cat"]))

# 3. ls and ls -l of 10,000 entries.
lines = ["partition 7", "fs cg_inode_blocks=256", "dir /d 0755 extent_blocks=8"]
lines += [f"file /d/e{i:05} 0644 text x" for i in range(10000)]
img = mkimage("ls", lines)
hostdir = os.path.join(work, "hostls")
os.makedirs(hostdir)
for i in range(10000):
    open(os.path.join(hostdir, f"e{i:05}"), "w").write("x")
ratio(measure("ls 10k (efsh)", [EFSH, "-p", "7", img], b"cd d\nls\nbye\n"), measure("ls -f 10k (host)", ["ls", "-f", hostdir]))
ratio(measure("ls -l 10k (efsh)", [EFSH, "-p", "7", img], b"cd d\nls -l\nbye\n"), measure("ls -lf 10k (host)", ["ls", "-lf", hostdir]))

# 4. cp -r time per file as one directory grows.
for n in (1000, 10000, 50000):
    lines = ["partition 7", f"fs cg_inode_blocks={max(16, n // 4 + 64)}", "dir /d 0755 extent_blocks=8"]
    lines += [f"file /d/f{i:05} 0644 text {i}" for i in range(n)]
    img = mkimage(f"grow{n}", lines)
    m = measure(f"cp -r {n} small files (efsh)", [EFSH, "-p", "7", img], f"cp -r d {work}/g\nbye\n".encode(), fresh(f"{work}/g"))
    m["per_file_us"] = m["median_s"] / n * 1e6
    rows.append(m)

keys = ["case", "median_s", "spread_s", "ratio", "per_file_us", "peak_kib"]
print(f"{'case':34} {'median s':>9} {'spread s':>9} {'ratio':>6} {'us/file':>8} {'peak KiB':>9}")
for r in rows:
    print(f"{r['case']:34} {r['median_s']:9.3f} {r['spread_s']:9.3f} {r.get('ratio', float('nan')):6.2f} "
          f"{r.get('per_file_us', float('nan')):8.1f} {r['peak_kib']:9d}")
with open(csv_path, "w", newline="") as f:
    w = csv.DictWriter(f, fieldnames=keys)
    w.writeheader()
    for r in rows:
        w.writerow({k: r.get(k, "") for k in keys})
print(f"CSV: {csv_path}")
