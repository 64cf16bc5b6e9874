"""End-to-end comparison of KEBviewer.exe under Wine with TigerVNC's native viewer on the
same Xvnc session: pixels per second sent by the server (updates per second beside it: a
server splits its work into updates differently for each viewer, so only pixels compare),
viewer CPU per Mpixel (ours alone and with the wineserver), the viewers' X server CPU per
Mpixel, peak memory, and (optionally) torn pictures and close speed.

Run through bench/e2e/run.sh, which installs what it needs and builds the scene helper.

Each run: a fresh Xvnc (1920x1080x24) with a scene on its screen, one viewer on the
viewers' Xvfb, measured from the moment the server accepts the connection for the given
seconds. Runs are interleaved (every scenario, encoding and viewer once, then again) and
the table shows medians. The server counts the updates and pixels it sent (its own
statistics when the client leaves); CPU comes from /proc (user + system) of the viewer's
process, for ours of the prefix's wineserver too, and of the viewers' Xvfb; memory is the peak resident set
(VmHWM) of the viewer's process.
"""

import argparse
import collections
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))
sys.path.insert(0, str(ROOT / "tests" / "display"))
import kebwine  # noqa: E402

CLK_TCK = os.sysconf("SC_CLK_TCK")
WIDTH, HEIGHT = 1920, 1080

# encoding -> (its number; our options: enabled encodings; TigerVNC's options). The relay
# leaves both viewers only that encoding and CopyRect. TigerVNC 1.12's viewer sends its
# -CompressLevel only with -CustomCompressLevel=1, and its -QualityLevel only with
# -NoJPEG=0 (and -AutoSelect=0, given to it always).
ENCODINGS = {
    "hextile": (5, [1, 5], ["-PreferredEncoding=Hextile", "-NoJPEG=1"]),
    # Zlib is listed only so that our viewer sends its compression level (the relay drops
    # it from the list); TigerVNC is given the same level.
    "zrle": (16, [1, 6, 16], ["-PreferredEncoding=ZRLE", "-NoJPEG=1", "-CustomCompressLevel=1",
                             "-CompressLevel=6"]),
    "tight": (7, [1, 7], ["-PreferredEncoding=Tight", "-NoJPEG=0", "-QualityLevel=8",
                               "-CustomCompressLevel=1", "-CompressLevel=6"]),
    "raw": (0, [0, 1], ["-PreferredEncoding=Raw", "-NoJPEG=1"]),
}
SUFFIX = {"": 1, "k": 1e3, "M": 1e6, "G": 1e9, "T": 1e12}


class EncodingRelay:
    """Carries one viewer connection to the server and gives both viewers the same choice of
    encoding: in the viewer's SetEncodings every real encoding but the one measured (and
    CopyRect) is dropped, pseudo-encodings stay as the viewer sent them. (TigerVNC's viewer
    always offers all it knows, and Xvnc then picks per area.) The server's bytes pass
    through the kernel untouched (splice)."""

    REAL = range(0, 256)

    def __init__(self, server_port, encoding):
        import socket
        import threading
        self.server_port = server_port
        self.keep = [encoding, 1]
        self.error = None
        # The timeline of a viewer that asks for each update: when each request went to the
        # server and when the server's next bytes came after it.
        self.requests = []
        self.answers = []
        self._asked = None
        # When the server's bytes last came before each request: from there to the request
        # is the viewer's own tail (the update's last decoding, its paint wait, the request).
        self._last_data = None
        self.tails = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.threads = [threading.Thread(target=self._run, daemon=True)]
        self.threads[0].start()

    def _run(self):
        import socket
        import threading
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        server = socket.create_connection(("127.0.0.1", self.server_port))
        for sock in (client, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        down = threading.Thread(target=self._splice, args=(server, client, self), daemon=True)
        down.start()
        self.threads.append(down)
        try:
            self._upstream(client, server)
        except (OSError, EOFError):
            pass
        except ValueError as e:
            self.error = str(e)
        for sock in (client, server):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    @staticmethod
    def _splice(src, dst, relay=None):
        r, w = os.pipe()
        try:
            while True:
                n = os.splice(src.fileno(), w, 1 << 20)
                if n == 0:
                    break
                if relay is not None:
                    now = time.monotonic()
                    relay._last_data = now
                    if relay._asked is not None:
                        relay.answers.append((relay._asked, now))
                        relay._asked = None
                while n > 0:
                    n -= os.splice(r, dst.fileno(), n)
        except OSError:
            pass
        finally:
            os.close(r)
            os.close(w)
            try:
                dst.shutdown(2)
            except OSError:
                pass

    def _upstream(self, client, server):
        import struct
        buf = bytearray()

        def take(n):
            while len(buf) < n:
                data = client.recv(65536)
                if not data:
                    raise EOFError
                buf.extend(data)
            out = bytes(buf[:n])
            del buf[:n]
            return out

        # ProtocolVersion, the security type (None) and ClientInit, as both viewers send them.
        for n in (12, 1, 1):
            server.sendall(take(n))
        sizes = {0: 20, 3: 10, 4: 8, 5: 6, 150: 10, 8: 4, 9: 4, 13: 1}
        while True:
            kind = take(1)
            t = kind[0]
            if t == 2:
                head = take(3)
                n = struct.unpack(">H", head[1:3])[0]
                encs = list(struct.unpack(">%di" % n, take(4 * n)))
                kept = [e for e in encs if e in self.keep] + [e for e in encs if e not in self.REAL]
                server.sendall(bytes([2, 0]) + struct.pack(">H%di" % len(kept), len(kept), *kept))
            elif t in sizes:
                server.sendall(kind + take(sizes[t] - 1))
                if t == 3:
                    now = time.monotonic()
                    self.requests.append(now)
                    if self._last_data is not None:
                        self.tails.append((now, now - self._last_data))
                    if self._asked is None:
                        self._asked = now
            elif t == 6:
                head = take(7)
                server.sendall(kind + head + take(abs(struct.unpack(">i", head[3:7])[0])))
            elif t == 248:
                head = take(8)
                server.sendall(kind + head + take(head[7]))
            elif t == 251:
                head = take(7)
                server.sendall(kind + head + take(16 * head[5]))
            else:
                raise ValueError("client message %d cannot be followed" % t)

    def timeline(self, since):
        """Medians over the requests after `since` (monotonic seconds): the time between two
        requests (one update's whole cycle) and, of it, the time until the server's first
        bytes (the server's share: the request's way there and its encoding) and the time
        from the server's last bytes to the next request (the viewer's share after the
        transfer; between the two the server encodes and sends while the viewer reads)."""
        reqs = [t for t in self.requests if t >= since]
        cycles = [b - a for a, b in zip(reqs, reqs[1:])]
        waits = [b - a for a, b in self.answers if a >= since]
        tails = [d for t, d in self.tails if t >= since]
        if len(cycles) < 3 or not waits:
            return None
        return statistics.median(cycles), statistics.median(waits), statistics.median(tails) if tails else None

    def close(self):
        self.listener.close()


def cpu_seconds(pid):
    try:
        fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, IndexError, ValueError):
        return None


def peak_rss_mib(pid):
    try:
        m = re.search(r"VmHWM:\s+(\d+) kB", Path("/proc/%d/status" % pid).read_text())
        return int(m.group(1)) / 1024 if m else None
    except OSError:
        return None


def procs_with(predicate):
    out = []
    for d in Path("/proc").iterdir():
        if not d.name.isdigit():
            continue
        try:
            cmd = (d / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
            env = (d / "environ").read_bytes()
        except OSError:
            continue
        if predicate(cmd, env):
            out.append(int(d.name))
    return out


def wine_process(prefix, exe_name):
    tag = ("WINEPREFIX=%s" % prefix).encode()
    found = procs_with(lambda cmd, env: exe_name.lower() in cmd.lower() and tag in env.split(b"\0"))
    return max(found) if found else None


def wineserver_pid(prefix):
    tag = ("WINEPREFIX=%s" % prefix).encode()
    found = procs_with(lambda cmd, env: "wineserver" in os.path.basename(cmd.split(" ")[0]) and tag in env.split(b"\0"))
    return found[0] if found else None


def server_stats(xvnc, since):
    """Updates and pixels of the last connection that closed, from Xvnc's log."""
    text = kebwine.Path(xvnc.log.name).read_text(errors="replace")[since:]
    m = re.search(r"Framebuffer updates: (\d+)", text)
    total = re.search(r"Total: ([\d.]+) (\w?)rects, ([\d.]+) (\w?)pixels", text)
    encoders = set(re.findall(r"EncodeManager:   (\S[^:\n]*):\n", text.split("Framebuffer updates:")[-1]))
    if not m or not total:
        return None
    return {"updates": int(m.group(1)), "pixels": float(total.group(3)) * SUFFIX.get(total.group(4), 1),
            "encoders": sorted(encoders - {"Total"}), "log": text[text.index("Framebuffer updates:"):]}


def log_size(xvnc):
    return len(kebwine.Path(xvnc.log.name).read_text(errors="replace"))


class Scene:
    """What the server's screen shows: pictures, or desktop work (a scrolling xterm and a
    moving photo window over a photo background)."""

    def __init__(self, kind, display, xscene):
        self.procs = []
        env = dict(os.environ, DISPLAY=display)
        if kind == "pictures":
            self._start([xscene, "pictures", "60"], env, ready=True)
        else:
            self._start([xscene, "photo"], env, ready=True)
            text = Path(xscene).parent / "xterm-text.txt"
            if not text.exists():
                lines = []
                for i in range(4000):
                    lines.append("%06d  %s" % (i, " ".join("w%03d" % ((i * 7 + k * 13) % 997) for k in range(14))))
                text.write_text("\n".join(lines) + "\n")
            self._start(["xterm", "-geometry", "120x50+40+40", "-fa", "Monospace", "-fs", "10", "-e", "sh", "-c",
                         "while :; do cat %s; done" % text], env)
        time.sleep(1.0)

    def _start(self, argv, env, ready=False):
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE if ready else
                             subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
                             preexec_fn=kebwine._die_with_parent)
        self.procs.append(p)
        if ready and p.stdout.readline().strip() != b"ready":
            raise RuntimeError("%s did not start" % argv)

    def stop(self):
        for p in self.procs:
            kebwine._stop_process(p)


def write_options(folder, encoding, extra=()):
    preferred, numbers, _ = ENCODINGS[encoding]
    lines = ["[options]"] + ["use_encoding_%d=%d" % (i, int(i in numbers)) for i in range(30)]
    keys = {"preferred_encoding": str(preferred), "AutoScaling": "0", "showtoolbar": "0", "quality": "8",
            "compresslevel": "6"}
    keys.update(kv.split("=", 1) for kv in extra)
    lines += ["%s=%s" % kv for kv in keys.items()]
    (folder / "options.keb").write_text("\r\n".join(lines) + "\r\n")


def wait_accepted(xvnc, since, timeout=60):
    def accepted():
        return "Connections: accepted" in Path(xvnc.log.name).read_text(errors="replace")[since:]
    kebwine.wait_until(accepted, timeout, interval=0.01, what="the viewer's connection")


def wait_closed(xvnc, since, timeout=30):
    try:
        kebwine.wait_until(lambda: server_stats(xvnc, since) is not None, timeout, interval=0.05,
                           what="the server's statistics")
    except kebwine.Timeout:
        sys.stderr.write(Path(xvnc.log.name).read_text(errors="replace")[since:][-3000:])
        raise


class Runner:
    def __init__(self, args):
        self.args = args
        w, h = (int(v) for v in args.screen.split("x"))
        self.session = kebwine.Session(width=w, height=h)
        self.xscene = args.xscene
        self.program_dir = Path(tempfile.mkdtemp(prefix="keb-e2e-"))
        shutil.copy2(str(args.exe), str(self.program_dir / "KEBviewer.exe"))
        self.viewers_display = self.session.xvfb.display
        self.trace = self.trace_proc = None
        if args.trace_requests:
            # The prefix's wineserver again, now listing every request it serves (slower:
            # only the counts of such runs mean something).
            env = self.session.env
            subprocess.run(["wineserver", "-k"], env=env, timeout=30, capture_output=True)
            subprocess.run(["wineserver", "-w"], env=env, timeout=30, capture_output=True)
            self.trace = tempfile.NamedTemporaryFile(prefix="keb-e2e-requests-", suffix=".txt")
            self.trace_proc = subprocess.Popen(["wineserver", "-f", "-d1", "-p30"], env=env, stdin=subprocess.DEVNULL,
                                               stdout=self.trace, stderr=self.trace, start_new_session=True)
            time.sleep(1)

    def close(self):
        self.session.close()
        if self.trace_proc:
            kebwine._stop_process(self.trace_proc)
        shutil.rmtree(str(self.program_dir), ignore_errors=True)

    def trace_mark(self):
        return os.path.getsize(self.trace.name) if self.trace else None

    def requests_per_update(self, start, end):
        """Wine-server requests per update in the trace between two marks, by thread and
        request (the update count is the number of update requests our viewer sent)."""
        with open(self.trace.name, "rb") as f:
            f.seek(start)
            text = f.read(end - start).decode(errors="replace")
        count = collections.Counter(re.findall(r"^([0-9a-f]{4}): (\w+)\(", text, re.M))
        threads = {}
        for (thread, request), n in count.items():
            threads.setdefault(thread, collections.Counter())[request] = n
        # The reading thread is the one that receives from the socket; the window thread
        # the one that takes messages.
        reader = max(threads, key=lambda t: threads[t]["recv_socket"], default=None)
        window = max(threads, key=lambda t: threads[t]["get_message"], default=None)
        updates = threads[window]["send_socket"] if window else 0
        if not updates:
            return None
        return {role: {k: v / updates for k, v in threads[t].most_common()}
                for role, t in (("reading thread", reader), ("window thread", window)) if t}

    def baseline_mib(self):
        """Peak memory of a trivial Wine program on the same prefix: the Wine baseline."""
        p = self.session.start(self.args.baseline_exe)
        try:
            pid = kebwine.wait_until(lambda: wine_process(self.session.prefix, Path(self.args.baseline_exe).name),
                                     30, what="the baseline program")
            time.sleep(3)
            return peak_rss_mib(pid)
        finally:
            p.kill()

    def run(self, viewer, scenario, encoding):
        """One measured run of one viewer ("keb", "keb-pre": ours with PreemptiveUpdates,
        "tiger") on a fresh server."""
        xvnc = kebwine.Xvnc(WIDTH, HEIGHT, 24)
        scene = proc = relay = None
        ours = viewer.startswith("keb")
        try:
            scene = Scene(scenario, xvnc.display, self.xscene)
            since = log_size(xvnc)
            relay = EncodingRelay(xvnc.port, ENCODINGS[encoding][0])
            target = "127.0.0.1::%d" % relay.port
            if ours:
                extra = list(self.args.option) + (["PreemptiveUpdates=1"] if viewer == "keb-pre" else [])
                write_options(self.program_dir, encoding, extra)
                proc = self.session.start(self.program_dir / "KEBviewer.exe", target)
            else:
                proc = subprocess.Popen(["vncviewer", "-AutoSelect=0", "-FullColor=1", "-RemoteResize=0",
                                         "-Shared=1"] + ENCODINGS[encoding][2] + [target],
                                        env=dict(os.environ, DISPLAY=self.viewers_display), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True, preexec_fn=kebwine._die_with_parent)
            wait_accepted(xvnc, since)
            pid = kebwine.wait_until(lambda: wine_process(self.session.prefix, "KEBviewer.exe"), 30,
                                     what="the viewer's process") if ours else proc.pid
            wsp = wineserver_pid(self.session.prefix) if ours else None
            xsp = self.session.xvfb.proc.pid
            t0, c0 = time.monotonic(), cpu_seconds(pid)
            ws0 = cpu_seconds(wsp) if wsp else None
            xs0 = cpu_seconds(xsp)
            mark0 = self.trace_mark() if ours else None
            torn = None
            if self.args.tear and scenario == "pictures":
                time.sleep(2)
                out = subprocess.run([self.xscene, "tear"] + self.tear_column(viewer, proc) + [str(self.args.tear)],
                                     env=dict(os.environ, DISPLAY=self.viewers_display), capture_output=True,
                                     text=True, timeout=120).stdout
                m = re.search(r"torn (\d+) of (\d+)", out)
                torn = (int(m.group(1)), int(m.group(2))) if m else None
            left = self.args.seconds - (time.monotonic() - t0)
            if left > 0:
                time.sleep(left)
            c1, t1 = cpu_seconds(pid), time.monotonic()
            ws1 = cpu_seconds(wsp) if wsp else None
            xs1 = cpu_seconds(xsp)
            requests = self.requests_per_update(mark0, self.trace_mark()) if mark0 is not None else None
            peak = peak_rss_mib(pid)
            timeline = relay.timeline(t0)
            close_s, exit_s = self.close_viewer(pid)
            wait_closed(xvnc, since)
            stats = server_stats(xvnc, since)
            if self.args.verbose:
                print(stats["log"])
            if relay.error:
                raise RuntimeError(relay.error)
            return {"viewer": viewer, "scenario": scenario, "encoding": encoding, "seconds": t1 - t0,
                    "updates": stats["updates"], "mpixels": stats["pixels"] / 1e6, "encoders": stats["encoders"],
                    "cpu": c1 - c0, "peak_mib": peak, "torn": torn, "close_s": close_s, "exit_s": exit_s,
                    "wineserver": (ws1 - ws0) if wsp else None,
                    "xserver": (xs1 - xs0) if xs0 is not None and xs1 is not None else None, "timeline": timeline, "requests": requests}
        finally:
            if proc is not None:
                if ours:
                    proc.kill()
                else:
                    kebwine._stop_process(proc)
            if scene:
                scene.stop()
            if relay:
                relay.close()
            xvnc.stop()

    def tear_column(self, viewer, proc):
        """The probe's column: inside the marker strip of the viewer's window, all its rows
        that are on the screen."""
        env = dict(os.environ, DISPLAY=self.viewers_display)
        if not viewer.startswith("keb"):
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(proc.pid)], env=env,
                                 capture_output=True, text=True, timeout=30).stdout.split()
            geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", out[0]], env=env, capture_output=True,
                                 text=True, timeout=30).stdout
            v = dict(line.split("=") for line in geo.split())
            left, top, bottom = int(v["X"]), int(v["Y"]), int(v["Y"]) + int(v["HEIGHT"])
        else:
            import displaytest
            left, top, right, bottom = self.session.driver.call("rect", hwnd=displaytest.frame(proc).hwnd)["client"]
        bottom = min(bottom, self.session.xvfb.size[1])
        return [str(left + 4), str(top), str(bottom - top)]

    def close_viewer(self, pid):
        """Seconds from a window manager's close (WM_DELETE_WINDOW to the viewer's top-level
        X window) to that window leaving the screen, and to the viewer's process ending."""
        env = dict(os.environ, DISPLAY=self.viewers_display)
        wins = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], env=env,
                              capture_output=True, text=True, timeout=30).stdout.split()
        if not wins:
            return None, None
        t0 = time.monotonic()
        out = subprocess.run([self.xscene, "close", wins[0]], env=env, capture_output=True, text=True,
                             timeout=60).stdout
        m = re.search(r"closed ([\d.]+)", out)
        try:
            kebwine.wait_until(lambda: not Path("/proc/%d" % pid).exists() or
                               Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[0] == "Z",
                               30, interval=0.01, what="the viewer to end")
            ended = time.monotonic() - t0
        except (kebwine.Timeout, OSError):
            ended = None
        return (float(m.group(1)) if m else None), ended


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v, f="%.1f"):
    return f % v if v is not None else "-"


def print_table(results, baseline, scenarios, encodings, viewers):
    ours = [v for v in viewers if v.startswith("keb")]
    print()
    print("Medians of %d interleaved runs each; ratios are ours / TigerVNC's." % max(
        1, len([r for r in results if r["viewer"] == viewers[0]]) // max(1, len(scenarios) * len(encodings))))
    print("Wine baseline (trivial program) peak memory: %s MiB" % fmt(baseline, "%.0f"))
    row = "%-8s %-8s %-8s | %6s %6s %5s | %6s %6s | %6s %6s %6s %5s %5s | %6s %6s %5s | %9s | %9s | %16s | %s"
    head = row % ("scenario", "encoding", "viewer", "Mpx/s", "tiger", "ratio", "upd/s", "tiger", "ms/Mpx", "+ws",
                  "tiger", "ratio", "+ws", "X", "tiger", "ratio", "wineserv", "peak MiB", "cycle (srv/tail)", "server sent")
    print(head)
    print("-" * len(head))
    for scenario in scenarios:
        for encoding in encodings:
            def of(viewer, f):
                return median([f(r) for r in results if r["viewer"] == viewer and r["scenario"] == scenario and
                               r["encoding"] == encoding])

            def per_mpx(key):
                return lambda r: r[key] / r["mpixels"] if r["mpixels"] and r.get(key) is not None else None

            def ratio(a, b):
                return fmt(a / b if a and b else None, "%.2f")
            pps = {v: of(v, lambda r: r["mpixels"] / r["seconds"]) for v in viewers}
            ups = {v: of(v, lambda r: r["updates"] / r["seconds"]) for v in viewers}
            cpx = {v: of(v, per_mpx("cpu")) for v in viewers}
            xpx = {v: of(v, per_mpx("xserver")) for v in viewers}
            ms = "%.1f"
            for v in ours:
                both = of(v, lambda r: (r["cpu"] + r["wineserver"]) / r["mpixels"]
                          if r["mpixels"] and r["wineserver"] is not None else None)
                ws = of(v, lambda r: r["wineserver"] / r["updates"] * 1000 if r["updates"] else None)
                peak = of(v, lambda r: r["peak_mib"])
                cycle = of(v, lambda r: r["timeline"][0] * 1000 if r["timeline"] else None)
                wait = of(v, lambda r: r["timeline"][1] * 1000 if r["timeline"] else None)
                tail = of(v, lambda r: r["timeline"][2] * 1000 if r["timeline"] and r["timeline"][2] is not None
                          else None)
                encs = sorted({e for r in results if r["viewer"] == v and r["scenario"] == scenario and
                               r["encoding"] == encoding for e in r["encoders"]})
                tiger_cpx = cpx.get("tiger")
                print(row % (
                    scenario, encoding, v, fmt(pps[v]), fmt(pps.get("tiger")), ratio(pps[v], pps.get("tiger")),
                    fmt(ups[v]), fmt(ups.get("tiger")), fmt(cpx[v] and cpx[v] * 1e3, ms), fmt(both and both * 1e3, ms),
                    fmt(tiger_cpx and tiger_cpx * 1e3, ms), ratio(cpx[v], tiger_cpx), ratio(both, tiger_cpx),
                    fmt(xpx[v] and xpx[v] * 1e3, ms), fmt(xpx.get("tiger") and xpx["tiger"] * 1e3, ms),
                    ratio(xpx[v], xpx.get("tiger")), fmt(ws, "%.2f ms"),
                    fmt(peak, "%.0f") + "/" + fmt(of("tiger", lambda r: r["peak_mib"]), "%.0f"),
                    "%s (%s/%s) ms" % (fmt(cycle, "%.0f"), fmt(wait, "%.0f"), fmt(tail, "%.1f")), ",".join(encs)))
    for v in viewers:
        closes = [r["close_s"] for r in results if r["viewer"] == v]
        exits = [r["exit_s"] for r in results if r["viewer"] == v]
        torn = [r["torn"] for r in results if r["viewer"] == v and r["torn"]]
        print("%-8s close: window gone %s s, process ended %s s (medians)%s" % (
            v, fmt(median(closes), "%.2f"), fmt(median(exits), "%.2f"),
            "; torn grabs %d of %d" % (sum(a for a, b in torn), sum(b for a, b in torn)) if torn else ""))
    print("Mpx/s: million pixels per second the server sent (its own count), the rate that compares; upd/s:")
    print("its updates per second, beside it (each viewer's updates are cut differently). ms/Mpx: the viewer")
    print("process's CPU ms per Mpixel, ours alone and with the prefix's wineserver (+ws), TigerVNC's and the")
    print("ratios of both of ours to it; X: the viewers' X server (Xvfb) CPU ms per Mpixel with ours, with")
    print("TigerVNC's, and their ratio;")
    print("wineserv: the wineserver's CPU per update; peak: ours/TigerVNC's resident peak; cycle (srv/tail):")
    print("time between two update requests of ours, and of it the wait for the server's first bytes (srv)")
    print("and the time from the server's last bytes to our next request (tail); between them the server")
    print("encodes and sends while we read.")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--exe", default=str(kebwine.viewer_exe()))
    ap.add_argument("--baseline-exe", required=True, help="the trivial Wine program (kebidle.exe)")
    ap.add_argument("--xscene", required=True)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--scenarios", default="pictures,desktop")
    ap.add_argument("--encodings", default="hextile,zrle,tight,raw")
    ap.add_argument("--viewers", default="keb,keb-pre,tiger",
                    help="keb (ours), keb-pre (ours with PreemptiveUpdates), tiger (TigerVNC)")
    ap.add_argument("--tear", type=int, default=0, help="grabs of the marker column per pictures run")
    ap.add_argument("--screen", default="2048x1280", help="the viewers' screen (default: room for the window)")
    ap.add_argument("--option", action="append", default=[], help="KEY=VALUE for our viewer's options file")
    ap.add_argument("--trace-requests", action="store_true",
                    help="count the Wine-server requests of our viewer per update (a tracing, slower wineserver)")
    ap.add_argument("--verbose", action="store_true", help="print the server's statistics of every run")
    ap.add_argument("--raw-out", help="also write every run's figures to this JSON file")
    args = ap.parse_args()
    scenarios, encodings, viewers = (args.scenarios.split(","), args.encodings.split(","),
                                     args.viewers.split(","))

    runner = Runner(args)
    results = []
    baseline = None
    try:
        baseline = runner.baseline_mib()
        for rep in range(args.reps):
            for scenario in scenarios:
                for encoding in encodings:
                    for viewer in viewers:
                        r = runner.run(viewer, scenario, encoding)
                        results.append(r)
                        print("run %d %-8s %-7s %-8s %6.1f Mpx/s %5.1f upd/s cpu %5.2f s ws %s X %s peak %s MiB "
                              "close %s/%s s torn %s cycle %s %s" % (
                                  rep + 1, scenario, encoding, viewer, r["mpixels"] / r["seconds"],
                                  r["updates"] / r["seconds"], r["cpu"], fmt(r["wineserver"], "%.2f s"),
                                  fmt(r["xserver"], "%.2f s"),
                                  fmt(r["peak_mib"], "%.0f"), fmt(r["close_s"], "%.2f"), fmt(r["exit_s"], "%.2f"),
                                  r["torn"], r["timeline"], ",".join(r["encoders"])), flush=True)
    finally:
        runner.close()
    if args.raw_out:
        import json
        Path(args.raw_out).write_text(json.dumps({"baseline_mib": baseline, "runs": results}, indent=1))
    print_table(results, baseline, scenarios, encodings, viewers)
    if args.trace_requests:
        print()
        print("Wine-server requests per update (medians of the runs), by thread:")
        for scenario in scenarios:
            for encoding in encodings:
                for v in [v for v in viewers if v.startswith("keb")]:
                    runs = [r["requests"] for r in results if r["viewer"] == v and r["scenario"] == scenario and
                            r["encoding"] == encoding and r["requests"]]
                    for role in ("reading thread", "window thread"):
                        names = sorted({k for r in runs for k in r.get(role, {})})
                        per = {k: median([r.get(role, {}).get(k, 0) for r in runs]) for k in names}
                        shown = ", ".join("%s %.1f" % (k, n) for k, n in sorted(per.items(), key=lambda kv: -kv[1])
                                          if n >= 0.5)
                        print("  %-8s %-7s %-7s %-14s %5.1f: %s" % (scenario, encoding, v, role, sum(per.values()),
                                                                    shown))


if __name__ == "__main__":
    main()
