#!/usr/bin/env python3
"""Measures Pelmar against real web and FTP servers on loopback.

Every server gets the same files. Each figure is the median of interleaved
rounds (round 1 of every server, then round 2, ...). Run through
bench/run.sh, which installs the peers and builds what is measured.
"""
import argparse
import json
import os
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=10.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        with open("/proc/net/tcp") as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if fields[3] == "0A" and int(fields[1].split(":")[1], 16) == port:
                    return True
        time.sleep(0.05)
    return False


def descendants(pid):
    found = [pid]
    try:
        children = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True,
                                  text=True).stdout.split()
    except OSError:
        children = []
    for child in children:
        found += descendants(int(child))
    return found


def cpu_seconds(pid):
    total = 0.0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            pass
    return total


def peak_rss_kib(pid):
    total = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                match = re.search(r"VmHWM:\s+(\d+)", f.read())
            total += int(match.group(1)) if match else 0
        except OSError:
            pass
    return total


class Server:
    def __init__(self, name, kind, command, port, cwd=None, stdout=subprocess.DEVNULL,
                 paths=None):
        self.name, self.kind, self.port = name, kind, port
        self.paths = paths or {}
        self.process = subprocess.Popen(command, cwd=cwd, stdout=stdout,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        if not wait_listening(port):
            self.stop()
            raise RuntimeError(f"{name} did not start")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def make_tree(root):
    web, ftp = os.path.join(root, "www"), os.path.join(root, "ftp")
    os.makedirs(os.path.join(web, "dir"))
    with open(os.path.join(web, "small.html"), "wb") as f:
        f.write((b"<p>Pelmar benchmark page</p>\n" * 40)[:1024])
    with open(os.path.join(web, "big.bin"), "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(100):
            f.write(block)
    os.makedirs(os.path.join(web, "few"))
    for name in ("a.txt", "b.txt", "c.txt"):
        with open(os.path.join(web, "few", name), "wb") as f:
            f.write(b"few\n")
    for i in range(1000):
        with open(os.path.join(web, "dir", f"file{i:04d}.txt"), "wb") as f:
            f.write(b"x" * (i % 97))
    shutil.copytree(web, ftp, copy_function=os.link)
    return web, ftp


def start_pelmar(work, name, binary, log_to=None):
    web, ftp = os.path.join(work, "www"), os.path.join(work, "ftp")
    # Pelmar serves the trees beside its executable.
    base = os.path.join(work, name)
    if not os.path.exists(base):
        os.makedirs(base)
        shutil.copy2(binary, os.path.join(base, "pelmar"))
        os.symlink(web, os.path.join(base, "wwwroot"))
        os.symlink(ftp, os.path.join(base, "ftproot"))
    www_port, ftp_port = free_port(), free_port()
    out = open(log_to, "wb") if log_to else subprocess.DEVNULL
    pelmar = Server(name, "both", [os.path.join(base, "pelmar"), "/wwwport", str(www_port),
                                   "/ftpport", str(ftp_port)], www_port, stdout=out,
                    paths={"dir": "/dir"})
    pelmar.ftp_port = ftp_port
    return pelmar


def start_servers(work, pelmar_binary, log_to=None, baseline_binary=None):
    servers = [start_pelmar(work, "pelmar", pelmar_binary, log_to)]
    if baseline_binary:
        servers.append(start_pelmar(work, "baseline", baseline_binary))
    return servers


def start_peers(work):
    web, ftp = os.path.join(work, "www"), os.path.join(work, "ftp")
    peers = []

    def attempt(factory):
        try:
            peers.append(factory())
        except (RuntimeError, OSError) as error:
            print(f"  (peer skipped: {error})", file=sys.stderr)

    def nginx():
        port = free_port()
        conf_dir = os.path.join(work, "nginx")
        os.makedirs(conf_dir, exist_ok=True)
        conf = os.path.join(conf_dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""worker_processes auto;
pid {conf_dir}/nginx.pid;
error_log {conf_dir}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  sendfile on;
  client_body_temp_path {conf_dir}/body;
  proxy_temp_path {conf_dir}/proxy;
  fastcgi_temp_path {conf_dir}/fastcgi;
  uwsgi_temp_path {conf_dir}/uwsgi;
  scgi_temp_path {conf_dir}/scgi;
  server {{ listen 127.0.0.1:{port}; root {web}; autoindex on; }}
}}
""")
        return Server("nginx", "http", ["nginx", "-c", conf, "-g", "daemon off;"], port,
                      paths={"dir": "/dir/"})

    def lighttpd():
        port = free_port()
        conf = os.path.join(work, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write(f"""server.document-root = "{web}"
server.bind = "127.0.0.1"
server.port = {port}
server.modules = ("mod_dirlisting")
dir-listing.activate = "enable"
""")
        return Server("lighttpd", "http", ["lighttpd", "-D", "-f", conf], port,
                      paths={"dir": "/dir/"})

    def busybox():
        port = free_port()
        return Server("busybox", "http", ["busybox", "httpd", "-f", "-p", f"127.0.0.1:{port}",
                                          "-h", web], port)

    def python_http():
        port = free_port()
        return Server("python", "http", ["/usr/bin/python3", "-m", "http.server", str(port),
                                         "--bind", "127.0.0.1", "--directory", web], port,
                      paths={"dir": "/dir/"})

    def vsftpd():
        port = free_port()
        conf = os.path.join(work, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write(f"""listen=YES
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root={ftp}
local_enable=NO
write_enable=NO
connect_from_port_20=NO
port_enable=YES
xferlog_enable=NO
seccomp_sandbox=NO
max_clients=0
max_per_ip=0
secure_chroot_dir=/var/run/vsftpd/empty
""")
        return Server("vsftpd", "ftp", ["vsftpd", conf], port)

    def pyftpdlib():
        port = free_port()
        return Server("pyftpdlib", "ftp", ["/usr/bin/python3", "-m", "pyftpdlib", "-i",
                                           "127.0.0.1", "-p", str(port), "-d", ftp], port)

    for factory in (nginx, lighttpd, busybox, python_http, vsftpd, pyftpdlib):
        attempt(factory)
    return peers


def run_ab(port, path, concurrency, seconds):
    """One ab run: (requests/s, completed requests, {percent: ms}), or None."""
    with tempfile.NamedTemporaryFile(suffix=".csv") as percentiles:
        out = subprocess.run(["ab", "-q", "-t", str(seconds), "-n", "10000000", "-c",
                              str(concurrency), "-e", percentiles.name,
                              f"http://127.0.0.1:{port}{path}"],
                             capture_output=True, text=True).stdout
        served_within = {}
        for row in open(percentiles.name).read().splitlines()[1:]:
            percent, ms = row.split(",")
            served_within[int(float(percent))] = float(ms)
    rate = re.search(r"Requests per second:\s+([\d.]+)", out)
    complete = re.search(r"Complete requests:\s+(\d+)", out)
    failed = re.search(r"Failed requests:\s+(\d+)", out)
    if not rate or not complete or (failed and int(failed.group(1)) > 0) or "Non-2xx" in out:
        return None
    return float(rate.group(1)), int(complete.group(1)), served_within


class KernelEvents:
    """System calls and context switches of a server's whole process tree,
    counted by perf while it runs, or None where perf cannot count them."""

    EVENTS = "raw_syscalls:sys_enter,context-switches"

    def __init__(self, pid):
        self.output = tempfile.NamedTemporaryFile(suffix=".perf")
        pids = ",".join(str(p) for p in descendants(pid))
        try:
            self.perf = subprocess.Popen(["perf", "stat", "-x,", "-e", self.EVENTS, "-p", pids,
                                          "-o", self.output.name],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except OSError:
            self.perf = None
        time.sleep(0.2)  # attached before the load begins

    def stop(self):
        """{event: count}, or {} when nothing was counted."""
        counts = {}
        if self.perf:
            self.perf.send_signal(signal.SIGINT)
            self.perf.wait()
            for line in open(self.output.name).read().splitlines():
                fields = line.split(",")
                if len(fields) > 2 and fields[0].isdigit():
                    counts[fields[2]] = int(fields[0])
        self.output.close()
        return counts


def tcp_segments_sent():
    """TCP segments this machine has sent, on every interface: on an
    otherwise idle loopback, both ends of the benchmark's connections."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Tcp:")]
    return int(rows[1][rows[0].index("OutSegs")])


def children_cpu_seconds():
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def ab_with_costs(server, path, concurrency, seconds, latency=False):
    """Requests/s, and per request the server's CPU time in microseconds,
    its system calls and its context switches (its whole process tree), the
    client's CPU time (ab, a single process, is the limit once it keeps one
    processor busy) and the TCP segments both ends sent; with `latency`,
    the median and 99th percentile time of a request too."""
    before = cpu_seconds(server.process.pid)
    events = KernelEvents(server.process.pid)
    client_before, segments_before = children_cpu_seconds(), tcp_segments_sent()
    result = run_ab(server.port, path, concurrency, seconds)
    client_used = children_cpu_seconds() - client_before
    segments = tcp_segments_sent() - segments_before
    counts = events.stop()
    used = cpu_seconds(server.process.pid) - before
    if not result:
        return None
    rate, complete, served_within = result
    figures = {"": rate, f"server CPU us per small GET, c={concurrency}": used / complete * 1e6,
               f"client CPU us per small GET, c={concurrency}": client_used / complete * 1e6,
               f"TCP segments per small GET, c={concurrency}": segments / complete}
    syscalls = counts.get("raw_syscalls:sys_enter")
    switches = counts.get("context-switches")
    figures[f"syscalls per small GET, c={concurrency}"] = \
        syscalls / complete if syscalls is not None else None
    figures[f"context switches per small GET, c={concurrency}"] = \
        switches / complete if switches is not None else None
    if latency:
        figures[f"p50 ms, c={concurrency}"] = served_within.get(50)
        figures[f"p99 ms, c={concurrency}"] = served_within.get(99)
    return figures


def wrk(port, path, threads, connections, seconds):
    # Each request on its own connection, as Pelmar (HTTP/1.0) serves them.
    # wrk takes whole seconds only.
    duration = max(1, round(seconds))
    out = subprocess.run(["wrk", "-t", str(threads), "-c", str(connections), "-d",
                          f"{duration}s", "-H", "Connection: close",
                          f"http://127.0.0.1:{port}{path}"],
                         capture_output=True, text=True).stdout
    rate = re.search(r"Requests/sec:\s+([\d.]+)", out)
    if not rate or "Non-2xx" in out or "Socket errors" in out:
        return None
    return float(rate.group(1))


def loadgen(binary, mode, port, what, concurrency, seconds, field):
    # A server that stops answering (pyftpdlib once held a LIST for minutes)
    # costs its figure, not the run.
    try:
        out = subprocess.run([binary, mode, str(port), what, str(concurrency), str(seconds)],
                             capture_output=True, text=True, timeout=seconds + 30).stdout.split()
    except subprocess.TimeoutExpired:
        return None
    if len(out) != 3 or int(out[2]) > 0:
        return None
    return float(out[field])


def iperf3_mb_per_s(seconds):
    """One single-stream iperf3 run over loopback, in the units of the
    other rows (10^6 bytes a second), or None without iperf3."""
    port = free_port()
    try:
        server = subprocess.Popen(["iperf3", "-s", "-1", "-B", "127.0.0.1", "-p",
                                   str(port)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
    except OSError:
        return None
    try:
        if not wait_listening(port):
            return None
        out = subprocess.run(["iperf3", "-c", "127.0.0.1", "-B", "127.0.0.1", "-p", str(port),
                              "-J", "-t",
                              str(max(1, round(seconds)))], capture_output=True, text=True).stdout
        received = json.loads(out)["end"]["sum_received"]
        return received["bytes"] / received["seconds"] / 1e6
    except (ValueError, KeyError):
        return None
    finally:
        server.kill()
        server.wait()


def measure(metrics, servers, rounds, seconds, gen):
    results = {}
    for _ in range(rounds):
        for metric in metrics:
            name, kinds, run = metric
            if kinds == ("limit",):
                # What the loopback itself carries, in the same round.
                results.setdefault(name, {}).setdefault("iperf3", []).append(run(None, seconds,
                                                                                 gen))
                continue
            for server in servers:
                if server.kind not in kinds and server.kind != "both":
                    continue
                if name in ("large file MB/s", "directory page req/s") and \
                        server.name not in ("pelmar", "baseline", "nginx", "lighttpd"):
                    continue
                value = run(server, seconds, gen)
                # A run may also report figures of its own, named after the
                # metric ("" is the metric itself).
                figures = value if isinstance(value, dict) else {"": value}
                for suffix, figure in figures.items():
                    row = suffix or name
                    results.setdefault(row, {}).setdefault(server.name, []).append(figure)
    return results


def ftp_port_of(server):
    return getattr(server, "ftp_port", server.port)


METRICS = [
    ("small file req/s, c=1", ("http",),
     lambda s, t, g: ab_with_costs(s, "/small.html", 1, t)),
    ("small file req/s, c=8", ("http",),
     lambda s, t, g: ab_with_costs(s, "/small.html", 8, t)),
    ("small file req/s, wrk -t2 -c8", ("http",),
     lambda s, t, g: wrk(s.port, "/small.html", 2, 8, t)),
    ("small file req/s, c=32", ("http",),
     lambda s, t, g: ab_with_costs(s, "/small.html", 32, t, latency=True)),
    ("large file MB/s", ("http",),
     lambda s, t, g: loadgen(g, "http", s.port, "/big.bin", 1, t, 1)),
    ("FTP RETR 100 MiB MB/s", ("ftp",),
     lambda s, t, g: loadgen(g, "ftp", ftp_port_of(s), "RETR big.bin", 1, t, 1)),
    ("loopback iperf3, one stream MB/s", ("limit",),
     lambda s, t, g: iperf3_mb_per_s(t)),
    ("directory page req/s", ("http",),
     lambda s, t, g: loadgen(g, "http", s.port, s.paths.get("dir", "/dir/"), 8, t, 0)),
    ("FTP LIST 1000 entries/s", ("ftp",),
     lambda s, t, g: loadgen(g, "ftp", ftp_port_of(s), "LIST dir", 8, t, 0)),
    ("FTP sessions/s", ("ftp",),
     lambda s, t, g: loadgen(g, "ftp", ftp_port_of(s), "none", 8, t, 0)),
    # One client at a time: the time of one whole exchange, in milliseconds.
    ("ms per small HTTP request", ("http",),
     lambda s, t, g: milliseconds(loadgen(g, "http", s.port, "/small.html", 1, t, 0))),
    ("ms per FTP session w/ LIST", ("ftp",),
     lambda s, t, g: milliseconds(loadgen(g, "ftp", ftp_port_of(s), "LIST few", 1, t, 0))),
]


def milliseconds(rate):
    return 1000.0 / rate if rate else None


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def shares_of_the_loopback(results):
    """Each server's large transfers as a share of iperf3's in the same run."""
    limit = median(results.get("loopback iperf3, one stream MB/s", {}).get("iperf3", []))
    rows = []
    for metric in ("large file MB/s", "FTP RETR 100 MiB MB/s"):
        shares = {name: median(values) / limit
                  for name, values in results.get(metric, {}).items()
                  if limit and median(values) is not None}
        rows.append((metric.replace(" MB/s", "") + ", share of iperf3", shares))
    return rows


def print_table(results, extra_rows):
    names = ["pelmar", "baseline", "nginx", "lighttpd", "busybox", "python", "vsftpd",
             "pyftpdlib", "iperf3"]
    names = [n for n in names if n != "baseline" or any(n in row for _, row in results.items())]
    header = f"{'metric':38}" + "".join(f"{n:>11}" for n in names) + f"{'vs best':>9}"
    print(header)
    print("-" * len(header))
    for metric, by_server in list(results.items()) + extra_rows:
        row = f"{metric:38}"
        for n in names:
            v = median(by_server.get(n, [])) if isinstance(by_server.get(n), list) \
                else by_server.get(n)
            digits = 2 if (metric.startswith("ms ") or " ms" in metric or
                           "calls per" in metric or "switches per" in metric or "segments per" in metric or
                           "share of" in metric) else 1
            row += f"{v:>11.{digits}f}" if v is not None else f"{'-':>11}"
        ours = by_server.get("pelmar")
        ours = median(ours) if isinstance(ours, list) else ours
        peers = [median(v) if isinstance(v, list) else v
                 for k, v in by_server.items() if k not in ("pelmar", "baseline", "iperf3")]
        peers = [p for p in peers if p is not None]
        lower_is_better = ("CPU" in metric or "RSS" in metric or metric.startswith("ms ") or
                           " ms" in metric or "per small GET" in metric)
        if ours is not None and peers:
            best = min(peers) if lower_is_better else max(peers)
            ratio = (ours / best) if best else (0.0 if ours == 0 else float("inf"))
            row += f"{ratio:>8.2f}x"
        print(row)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pelmar", required=True)
    parser.add_argument("--loadgen", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--only-pelmar", action="store_true")
    # Another build of Pelmar (an earlier commit's, say), measured in the same
    # interleaved rounds and shown in its own column, outside the ratio.
    parser.add_argument("--baseline")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="pelmar-bench-")
    os.chmod(work, 0o755)  # the peers' workers run as other users
    servers = []
    try:
        make_tree(work)
        servers = start_servers(work, args.pelmar, baseline_binary=args.baseline)
        if not args.only_pelmar:
            servers += start_peers(work)
        print(f"servers: {', '.join(s.name for s in servers)}; {args.rounds} rounds of "
              f"{args.seconds:g} s", file=sys.stderr)

        idle_start = {s.name: cpu_seconds(s.process.pid) for s in servers}
        time.sleep(10)
        idle = {s.name: (cpu_seconds(s.process.pid) - idle_start[s.name]) / 10 * 100
                for s in servers}

        results = measure(METRICS, servers, args.rounds, args.seconds, args.loadgen)
        rss = {s.name: peak_rss_kib(s.process.pid) / 1024 for s in servers}
        extra = [("idle CPU % over 10 s", idle), ("peak RSS MiB under load", rss)]
        extra += shares_of_the_loopback(results)

        # The cost of the console log: the same loads with it written to a file.
        for s in servers:
            s.stop()
        servers = start_servers(work, args.pelmar, log_to=os.path.join(work, "pelmar.log"))
        logged_metrics = [m for m in METRICS
                          if m[0] in ("small file req/s, c=8", "FTP LIST 1000 entries/s")]
        logged = measure(logged_metrics, servers, args.rounds, args.seconds, args.loadgen)
        for metric, by_server in logged.items():
            extra.append((metric + " (log to file)", {"pelmar": median(by_server["pelmar"])}))
        print_table(results, extra)
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
