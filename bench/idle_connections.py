"""What idle connections cost each program: its resident memory, address
space and threads (from /proc/PID/status) before and while N connections
stay open without sending anything. In a network namespace of its own (needs
root) with a veth card 10.9.0.1/16; the connections come from further
addresses of the card, 50 each, so that no per-host limit refuses them.
Prints one Markdown row per program.

  python3 bench/idle_connections.py [BUILD_DIR] [N]

BUILD_DIR defaults to build/release, N to 1000.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
PER_SOURCE = 50
HOST = "10.9.0.1"

if os.environ.get("IDLE_BENCH_NS") != "1":
    os.environ["IDLE_BENCH_NS"] = "1"
    os.execvp("unshare", ["unshare", "-n", sys.executable] + sys.argv)
sources = [f"10.9.{1 + i // 200}.{1 + i % 200}" for i in range(count // PER_SOURCE + 1)]
for line in ["link set lo up", "link add d0 type veth peer name d1",
             "link set d1 up", "link set d0 up",
             f"addr add {HOST}/16 dev d0"] + [f"addr add {a}/16 dev d0" for a in sources]:
    subprocess.run(["ip"] + line.split(), check=True)


def status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if value.split():
                fields[key] = value.split()[0]
    return int(fields["VmRSS"]), int(fields["VmSize"]), int(fields["Threads"])


def wait_threads(pid, want, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if status(pid)[2] >= want:
            return True
        time.sleep(0.1)
    return False


def wait_port(port, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def measure(name, command, port):
    program = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    held = []
    try:
        if not wait_port(port):
            return f"| {name} | did not start |"
        time.sleep(0.5)  # the probe's worker ends
        rss0, size0, threads0 = status(program.pid)
        for i in range(count):
            s = socket.socket()
            s.bind((sources[i // PER_SOURCE], 0))
            s.connect((HOST, port))
            held.append(s)
        if not wait_threads(program.pid, threads0 + count):
            return f"| {name} | {count} workers did not start |"
        time.sleep(0.5)
        rss1, size1, threads1 = status(program.pid)
        per = (rss1 - rss0) / count
        return (f"| {name} | {rss0 / 1024:.1f} MiB, {threads0} threads | "
                f"{rss1 / 1024:.1f} MiB, {threads1} threads | {per:.1f} KiB | "
                f"{size0 / 1024:.0f} MiB -> {size1 / 1024:.0f} MiB |")
    finally:
        for s in held:
            s.close()
        try:
            program.stdin.write(b"q\n")
            program.stdin.flush()
        except BrokenPipeError:
            pass
        try:
            program.wait(10)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()


with tempfile.TemporaryDirectory() as site:
    rows = [
        measure("tessaran", [f"{build}/relay/app/tessaran", "-li", HOST, "-lp", "29301",
                             "-ri", HOST], 29301),
        measure("ondrel", [f"{build}/web/ondrel", "-q", "-li", HOST, "-lp", "29302", "-sp",
                           site + "/"], 29302),
    ]
print(f"| program | idle | with {count} idle connections | RSS per connection | address space |")
print("|---|---|---|---|---|")
for row in rows:
    print(row)
