#!/usr/bin/env bash
# Decodes the same 5 MiB picture, posted once as a base64 article and once as
# a uuencoded article, with lumigrab-decode, munpack (mpack) and uudeview,
# and compares whole-process wall time and peak memory side by side.
#
#   bench/decode_vs_tools.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR (default: build-rel in the source tree) must already hold
# tools/lumigrab-decode and bench/decode_floor; nothing is built here. Each
# command runs RUNS times (default 9) after one warm-up run, the commands
# taking turns so that load from other processes hits them alike; medians
# count. Every run is checked: the decoded file must equal the original
# picture (the floor's must have its size).
# Targets: 4x faster than munpack, 10x faster than uudeview, peak memory at
# most 3x the article's size, wall time at most 1.2x the I/O floor. Exit
# status 1 when a target is missed.
#
# The I/O floor is bench/decode_floor: a process linked and started like
# lumigrab-decode that reads the article file into memory as the decoder
# does and writes as many bytes as the picture has into a new file in a
# fresh folder, through the same writer, decoding nothing. That is what
# lumigrab-decode cannot do without. cp of the picture, shown for
# reference, is no floor: it never reads the article, which is 1.35 to 1.4
# times the picture, and copies inside the kernel.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-rel}
runs=${2:-9}
lumigrab=$build/tools/lumigrab-decode
floor=$build/bench/decode_floor

for tool in "$lumigrab" "$floor" /usr/bin/time munpack uudeview python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/decode-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$lumigrab" "$floor" "$runs" <<'EOF'
import base64, binascii, os, random, shutil, statistics, sys, time

work, lumigrab, floor, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

# The picture and its two articles (LF line ends, as articles are saved).
pic = random.Random(20261207).randbytes(5 * 1024 * 1024)
with open(os.path.join(work, "pic.jpg"), "wb") as f:
    f.write(pic)
head = ("From: Poster <poster@example.invalid>\nNewsgroups: alt.binaries.pictures.test\n"
        "Subject: benchmark picture\nMessage-ID: <bench@example.invalid>\n")
b64 = base64.b64encode(pic).decode()
articles = {
    "base64": head + 'MIME-Version: 1.0\nContent-Type: image/jpeg; name="pic.jpg"\n'
    "Content-Transfer-Encoding: base64\n\n" + "".join(b64[i:i + 76] + "\n" for i in range(0, len(b64), 76)),
    "uu": head + "\nA picture.\nbegin 644 pic.jpg\n"
    + "".join(binascii.b2a_uu(pic[i:i + 45], backtick=True).decode() for i in range(0, len(pic), 45))
    + "`\nend\n",
}

tools = {
    "lumigrab-decode": lambda article, out: [lumigrab, article, out],
    "munpack": lambda article, out: ["munpack", "-q", "-f", "-C", out, article],
    "uudeview": lambda article, out: ["uudeview", "-i", "-q", "-p", out, article],
    # The floor: the article read, the picture's bytes written, nothing
    # decoded (the file holds the article's first bytes).
    "floor": lambda article, out: [floor, article, out, "pic.jpg", str(len(pic))],
    "cp": lambda article, out: ["cp", os.path.join(work, "pic.jpg"), out],
}


def run_once(name, article):
    """Wall seconds, CPU seconds and peak RSS (KiB) of one whole process."""
    out = os.path.join(work, "out-" + name)
    shutil.rmtree(out, ignore_errors=True)
    os.mkdir(out)
    # /usr/bin/time reports the peak: a child spawned from this (large)
    # interpreter would carry the interpreter's own RSS into its maximum.
    mem_file = os.path.join(work, "mem")
    argv = ["/usr/bin/time", "-f", "%M", "-o", mem_file] + tools[name](article, out)
    devnull = os.open(os.devnull, os.O_RDWR)
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=[
        (os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    os.close(devnull)
    with open(mem_file) as f:
        peak = int(f.read().split()[-1])
    with open(os.path.join(out, "pic.jpg"), "rb") as decoded:
        written = decoded.read()
    expected = len(written) == len(pic) if name == "floor" else written == pic
    if os.waitstatus_to_exitcode(status) != 0 or not expected:
        sys.exit(f"{name}: wrong result for {article}")
    return wall, usage.ru_utime + usage.ru_stime, peak


missed = False


def check(label, value, ok, target):
    global missed
    missed |= not ok
    print(f"  {label:<30} {value:7.2f}   (target {target})  {'ok' if ok else 'MISSED'}")


print(f"picture: {len(pic)} bytes; {runs} runs per tool after one warm-up, medians")
for kind, text in articles.items():
    article = os.path.join(work, kind + ".eml")
    with open(article, "w") as f:
        f.write(text)
    size = os.path.getsize(article)
    samples = {name: [] for name in tools}
    for name in tools:
        run_once(name, article)
    for _ in range(runs):
        for name in tools:
            samples[name].append(run_once(name, article))
    med = {name: [statistics.median(s[i] for s in runs_) for i in range(3)] for name, runs_ in samples.items()}

    print(f"\n{kind} article: {size} bytes, decoded bytes verified on every run")
    print(f"  {'tool':<16} {'wall ms':>9} {'cpu ms':>9} {'peak KiB':>10}")
    for name, (wall, cpu, peak) in med.items():
        print(f"  {name:<16} {wall * 1000:9.1f} {cpu * 1000:9.1f} {peak:10d}")
    lw, lc, lm = med["lumigrab-decode"]
    for other, target in (("munpack", 4), ("uudeview", 10)):
        ratio = med[other][0] / lw
        check(f"wall speed-up vs {other} (x)", ratio, ratio >= target, f">= {target}")
        print(f"  {'  cpu-time ratio, for reference':<30} {med[other][1] / lc:7.2f}")
    check("peak memory / article size", lm * 1024 / size, lm * 1024 <= 3 * size, "<= 3")
    ratio = lw / med["floor"][0]
    check("wall time / I/O floor (x)", ratio, ratio <= 1.2, "<= 1.2")
    print(f"  {'  cpu-time ratio, for reference':<30} {lc / med['floor'][1]:7.2f}")

sys.exit(1 if missed else 0)
EOF
