"""One scripted connection (Session) and the listening server (Server).

Every wait is bounded by the server's global deadline. After the handshake a reader
thread parses and records everything the viewer sends; the scenario thread waits for
messages with `wait_for` and answers with `send_update`, `send_msg`, `serve`, ...
"""

import json
import socket
import struct
import sys
import threading
import time
import traceback

import numpy as np

from . import clientmsg, handshake, images, servermsg
from .encoders import RectPlan, lookup
from .errors import PeerClosed, ScriptError, ScriptTimeout
from .pixfmt import PixelFormat

EXIT_OK, EXIT_FAIL, EXIT_TIMEOUT, EXIT_ERROR = 0, 1, 2, 3
# Encodings before which the viewer does not save the area to its cache.
NO_CACHE_SAVE = {1, 9, 10, 18, 19}


class UpdateCtx:
    """What an encoder sees while one FramebufferUpdate is built (pixel format fixed)."""

    def __init__(self, s, pf):
        self.s = s
        self.pf = pf
        self.state = s.enc_state

    def __getattr__(self, name):
        # desktop_crop, view_set, view_unknown, copy_area, resize, cursor fields
        return getattr(self.s, name)

    def view_set(self, x, y, rgb):
        self.s.view_set(x, y, rgb, self.pf)

    def __setattr__(self, name, value):
        if name in ("s", "pf", "state"):
            object.__setattr__(self, name, value)
        else:
            setattr(self.s, name, value)


def _clip(x, y, w, h, W, H):
    x0, y0 = max(0, x), max(0, y)
    x1, y1 = min(W, x + w), min(H, y + h)
    return (x0, y0, x1, y1) if x1 > x0 and y1 > y0 else None


class Session:
    """The server side of one viewer connection."""

    def __init__(self, server, sock, index):
        self.server = server
        self.sock = sock
        self.index = index
        self.deadline = server.deadline
        self.t0 = time.monotonic()
        self.rx = bytearray()
        self.tx_bytes = 0
        self.record = {"connection": index, "handshake": {}, "messages": [], "sent": [],
                       "unexpected": [], "failures": [], "log": []}
        self.hs_step = None
        self.channel = None         # encryption between the two ends (plugin.py)
        self.lone_type_bytes = False  # each client message comes after its type byte alone
        self.pf = PixelFormat()
        self.server_pf = None
        self._desktop = None
        self.view = None
        self.view_known = None
        self.cursor = None
        self.cursor_pos = None
        self.desktop_rect = None
        self.enc_state = {}
        self.cache_view = self.cache_known = None
        self.client_encodings = None
        self.parse_opts = clientmsg.ParseOptions()
        self._cond = threading.Condition()
        self._next_idx = {}
        self._reader = None
        self._reader_done = False
        self._reader_why = None
        self._closed = False
        self._dirty = None
        self.updates_sent = 0
        self.fb_w = self.fb_h = 0
        self.fb_sizes = []

    # -- logging and verdicts -------------------------------------------------------
    def now(self):
        return round(time.monotonic() - self.t0, 4)

    def log(self, text):
        line = "[rfbserver %d %7.3f] %s" % (self.index, self.now(), text)
        self.record["log"].append(line)
        self.server.emit(line)

    def unexpected(self, text):
        self.record["unexpected"].append(text)
        self.log("UNEXPECTED: " + text)

    def check(self, cond, text):
        if not cond:
            self.record["failures"].append(text)
            self.log("CHECK FAILED: " + text)
        return bool(cond)

    def fail(self, text):
        self.check(False, text)

    # -- socket ---------------------------------------------------------------------
    def _remaining(self, what):
        rem = self.deadline - time.monotonic()
        if rem <= 0:
            raise ScriptTimeout("global timeout while %s" % what)
        return rem

    def recv(self, n, what=None):
        """Read exactly n bytes (handshake and reader thread), through the session's
        channel when one is set (an encryption plug-in's, see plugin.py)."""
        if self.channel is not None:
            return self.channel.read(n, lambda k: self._recv_raw(k, what))
        return self._recv_raw(n, what)

    def _recv_raw(self, n, what=None):
        what = what or "reading %d bytes (step %s)" % (n, self.hs_step)
        buf = bytearray()
        while len(buf) < n:
            rem = self._remaining(what)
            if self._closed:
                raise PeerClosed("connection closed by the script while %s" % what)
            try:
                self.sock.settimeout(min(rem, 0.25))
                chunk = self.sock.recv(min(n - len(buf), 1 << 20))
            except socket.timeout:
                continue
            except OSError as e:
                if self._closed:
                    raise PeerClosed("connection closed by the script while %s" % what)
                raise PeerClosed("%s while %s" % (e, what))
            if not chunk:
                raise PeerClosed("end of stream after %d of %d bytes while %s"
                                 % (len(buf), n, what))
            buf += chunk
            self.rx += chunk
        return bytes(buf)

    def send(self, data, what="sending"):
        data = bytes(data)
        if self.channel is not None:
            data = self.channel.encrypt(data)
        if self._closed:
            raise PeerClosed("connection already closed while %s" % what)
        try:
            self.sock.settimeout(self._remaining(what))
            self.sock.sendall(data)
        except socket.timeout:
            raise ScriptTimeout("the viewer does not read (%s)" % what)
        except OSError as e:
            raise PeerClosed("%s while %s" % (e, what))
        self.tx_bytes += len(data)

    def close(self, reset=False):
        """Close the connection from the server side (reset: with a TCP reset instead of
        an orderly close)."""
        if self._closed:
            return
        self._closed = True
        self.log("server %s the connection" % ("resets" if reset else "closes"))
        try:
            if reset:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def half_close(self, timeout=None):
        """Send end-of-stream but keep reading; wait until the viewer closes too.

        Unlike close(), nothing the viewer sends afterwards can reset the connection
        before it has read everything sent so far.
        """
        self.log("server shuts down its sending side")
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        return self.wait_closed(timeout)

    def wait_peer_close_raw(self):
        """Before the reader runs: discard (and record) input until the viewer closes."""
        while True:
            try:
                self._recv_raw(1, "waiting for the viewer to close")
            except PeerClosed:
                self.record["closed_by"] = self.record.get("closed_by") or "viewer"
                return

    # -- handshake ------------------------------------------------------------------
    def handshake(self, **script):
        """Run the server side of the handshake (see handshake.py for parameters)."""
        hs = handshake.run(self, script)
        return hs

    def server_init_done(self, w, h, pf):
        self.server_pf = pf.copy()
        self.pf = pf.copy()
        self.fb_w, self.fb_h = w, h
        self.fb_sizes = [(w, h)]
        if self._desktop is None or self._desktop.shape[:2] != (h, w):
            self._desktop = self.server.make_image(w, h)
        self.view = np.zeros((h, w, 3), dtype=np.uint8) if w * h <= images.MAX_PIXELS \
            else np.zeros((0, 0, 3), dtype=np.uint8)
        self.view_known = np.zeros(self.view.shape[:2], dtype=bool)
        self.start_reader()

    @property
    def handshake_completed(self):
        return bool(self.record["handshake"].get("completed"))

    # -- desktop and the model of the client's framebuffer --------------------------
    @property
    def desktop(self):
        if self._desktop is None:
            self._desktop = self.server.make_image(None, None)
        return self._desktop

    @desktop.setter
    def desktop(self, img):
        self._desktop = np.asarray(img, dtype=np.uint8).copy()

    def desktop_crop(self, x, y, w, h):
        out = np.zeros((max(0, h), max(0, w), 3), dtype=np.uint8)
        d = self.desktop
        c = _clip(x, y, w, h, d.shape[1], d.shape[0])
        if c:
            x0, y0, x1, y1 = c
            out[y0 - y:y1 - y, x0 - x:x1 - x] = d[y0:y1, x0:x1]
        return out

    def view_set(self, x, y, rgb, pf=None):
        pf = pf or self.pf
        h, w = rgb.shape[:2]
        c = _clip(x, y, w, h, self.view.shape[1], self.view.shape[0])
        if c:
            x0, y0, x1, y1 = c
            self.view[y0:y1, x0:x1] = pf.displayed(rgb[y0 - y:y1 - y, x0 - x:x1 - x])
            self.view_known[y0:y1, x0:x1] = True

    def view_unknown(self, x, y, w, h):
        c = _clip(x, y, w, h, self.view.shape[1], self.view.shape[0])
        if c:
            x0, y0, x1, y1 = c
            self.view_known[y0:y1, x0:x1] = False

    # The viewer's cache bitmap (its "EnableCache" option), when a scenario sets
    # cache_on: cleared to zero with every new framebuffer; before each rectangle except
    # CopyRect, Opalo, Opalo2, XZ (whose sub-rectangles save their own areas) and the
    # cache encodings the viewer saves the area it is about to overwrite.
    def save_to_cache(self, x, y, w, h):
        if self.cache_view is None:
            return
        W, H = self.view.shape[1], self.view.shape[0]
        if x < 0 or y < 0 or x + w > W or y + h > H:
            return
        self.cache_view[y:y + h, x:x + w] = self.view[y:y + h, x:x + w]
        self.cache_known[y:y + h, x:x + w] = self.view_known[y:y + h, x:x + w]

    def swap_with_cache(self, x, y, w, h):
        if self.cache_view is None:
            return
        W, H = self.view.shape[1], self.view.shape[0]
        if x < 0 or y < 0 or x + w > W or y + h > H:
            return
        for a, b in ((self.view, self.cache_view), (self.view_known, self.cache_known)):
            t = a[y:y + h, x:x + w].copy()
            a[y:y + h, x:x + w] = b[y:y + h, x:x + w]
            b[y:y + h, x:x + w] = t

    @property
    def cache_on(self):
        return self.cache_view is not None

    @cache_on.setter
    def cache_on(self, on):
        self.cache_view = np.zeros(self.view.shape, dtype=np.uint8) if on else None
        self.cache_known = np.ones(self.view.shape[:2], dtype=bool) if on else None

    def copy_area(self, sx, sy, dx, dy, w, h):
        """CopyRect in the model: nothing unless both areas lie inside the framebuffer."""
        W, H = self.view.shape[1], self.view.shape[0]
        if min(sx, sy, dx, dy) < 0 or max(sx, dx) + w > W or max(sy, dy) + h > H:
            return
        for arr in (self.view, self.view_known, self._desktop):
            if arr is not None and arr.shape[:2] == (H, W):
                arr[dy:dy + h, dx:dx + w] = arr[sy:sy + h, sx:sx + w].copy()

    def resize(self, w, h):
        old = self.desktop
        new = self.server.make_image(w, h)
        hh, ww = min(h, old.shape[0], new.shape[0]), min(w, old.shape[1], new.shape[1])
        new[:hh, :ww] = old[:hh, :ww]
        self._desktop = new
        self.fb_w, self.fb_h = w, h
        self.fb_sizes.append((w, h))
        self.view = np.zeros(new.shape, dtype=np.uint8)
        self.view_known = np.zeros(new.shape[:2], dtype=bool)
        if self.cache_view is not None:
            self.cache_on = True

    def expected_view(self):
        """(rgb, known mask) that a correct client shows now."""
        return self.view.copy(), self.view_known.copy()

    def mark_dirty(self, x, y, w, h):
        c = _clip(x, y, w, h, self.desktop.shape[1], self.desktop.shape[0])
        if not c:
            return
        if self._dirty is None:
            self._dirty = c
        else:
            a = self._dirty
            self._dirty = (min(a[0], c[0]), min(a[1], c[1]), max(a[2], c[2]),
                           max(a[3], c[3]))

    def draw_fill(self, x, y, w, h, colour):
        images.fill(self.desktop, x, y, w, h, colour)
        self.mark_dirty(x, y, w, h)

    def draw_text(self, text, at=(0, 0), colour=(255, 255, 255), scale=1, box=None):
        images.draw_text(self.desktop, text, at, colour, scale)
        bx = box or (at[0], at[1], 8 * len(text) * scale + 8, 14 * scale)
        self.mark_dirty(*bx)

    # -- reading client messages ----------------------------------------------------
    def start_reader(self):
        if self._reader is None:
            self._reader = threading.Thread(target=self._read_loop, daemon=True,
                                            name="rfbserver-reader-%d" % self.index)
            self._reader.start()

    def _read_loop(self):
        why = None
        try:
            while True:
                start = len(self.rx)
                lone = self.recv(1, "reading a lone type byte") if self.lone_type_bytes else None
                try:
                    m = clientmsg.parse(lambda n: self.recv(n, "reading client messages"),
                                        self.parse_opts)
                except clientmsg.UnknownMessage as e:
                    self.unexpected("%s; the rest of the input is recorded unparsed" % e)
                    while True:
                        self.recv(1, "reading unparsed input")
                m["t"] = self.now()
                m["offset"] = start
                if lone is not None:
                    if lone[0] != m["type"]:
                        m["unexpected"] = "lone type byte %d before message %d" % (lone[0], m["type"])
                    if m["type"] == 80:   # the viewer streams from now on
                        self.lone_type_bytes = False
                self._on_message(m)
                if m.get("desync"):
                    self.log("cannot follow the input after this message; recording it raw")
                    while True:
                        self.recv(1, "reading unparsed input")
        except PeerClosed as e:
            why = "closed" if not self._closed else "server closed"
            if not self._closed:
                self.record["closed_by"] = self.record.get("closed_by") or "viewer"
                self.log("viewer closed the connection (%s)" % e)
        except ScriptTimeout as e:
            why = "timeout"
            self.log("reader: %s" % e)
        except Exception as e:      # a parser bug must not hang the scenario
            why = "error"
            self.record["failures"].append("reader error: %r" % e)
            self.log("reader error: %s" % traceback.format_exc())
        with self._cond:
            self._reader_done = True
            self._reader_why = why
            self._cond.notify_all()

    def _on_message(self, m):
        if m["name"] == "SetPixelFormat":
            pf = PixelFormat.from_dict(m["pixel_format"])
            if pf.usable():
                self.pf = pf
        elif m["name"] == "SetEncodings":
            self.client_encodings = list(m["encodings"])
        elif m["name"] == "FramebufferUpdateRequest":
            # A request sent before the viewer saw a resize may still name the old
            # size, so only areas outside every size the framebuffer had count.
            if not any(m["x"] + m["w"] <= w and m["y"] + m["h"] <= h
                       for w, h in self.fb_sizes):
                m["unexpected"] = "request outside the %dx%d framebuffer" % (
                    self.fb_w, self.fb_h)
        self.log("C> " + clientmsg.summary(m))
        if "unexpected" in m:
            self.unexpected("%s: %s" % (m["name"], m["unexpected"]))
        with self._cond:
            self.record["messages"].append(m)
            self._cond.notify_all()

    @property
    def messages(self):
        return self.record["messages"]

    def messages_of(self, name):
        t = clientmsg.TYPES.get(name, name)
        return [m for m in self.messages if m["type"] == t]

    def next_message(self, names, timeout=None, raise_timeout=True):
        """The next not yet consumed message of one of `names` (per-type cursors)."""
        if isinstance(names, (str, int)):
            names = [names]
        types = [clientmsg.TYPES[n] if isinstance(n, str) else n for n in names]
        end = self.deadline if timeout is None else min(self.deadline,
                                                       time.monotonic() + timeout)
        with self._cond:
            while True:
                best = None
                for t in types:
                    msgs = self.record["messages"]
                    i = self._next_idx.get(t, 0)
                    while i < len(msgs) and msgs[i]["type"] != t:
                        i += 1
                    self._next_idx[t] = i
                    if i < len(msgs) and (best is None or i < best[0]):
                        best = (i, t)
                if best:
                    self._next_idx[best[1]] = best[0] + 1
                    return self.record["messages"][best[0]]
                if self._reader_done:
                    raise PeerClosed("the viewer closed the connection while the script "
                                     "waited for %s" % "/".join(map(str, names)))
                rem = end - time.monotonic()
                if rem <= 0:
                    if raise_timeout:
                        raise ScriptTimeout("timed out waiting for %s"
                                            % "/".join(map(str, names)))
                    return None
                self._cond.wait(min(rem, 0.5))

    def wait_for(self, name, timeout=None, match=None):
        """Wait for the next message of a type; `match` fields are checked."""
        m = self.next_message(name, timeout)
        for k, v in (match or {}).items():
            self.check(m.get(k) == v, "%s.%s: expected %r, got %r" % (m["name"], k, v,
                                                                      m.get(k)))
        return m

    def expect_quiet(self, names, seconds):
        """Check that no message of these types arrives within `seconds`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                m = self.next_message(names, end - time.monotonic(), raise_timeout=False)
            except PeerClosed:
                return
            if m is not None:
                self.fail("did not expect %s" % clientmsg.summary(m))

    def wait_closed(self, timeout=None):
        """Wait until the viewer closes the connection (bounded)."""
        end = self.deadline if timeout is None else min(self.deadline,
                                                       time.monotonic() + timeout)
        with self._cond:
            while not self._reader_done:
                rem = end - time.monotonic()
                if rem <= 0:
                    raise ScriptTimeout("the viewer did not close the connection")
                self._cond.wait(min(rem, 0.5))
        return self._reader_why

    @property
    def peer_closed(self):
        return self._reader_done and self._reader_why == "closed"

    # -- sending --------------------------------------------------------------------
    def send_msg(self, name, **kw):
        data = servermsg.build(name, **kw)
        self.log("S> %s %s" % (name, kw if kw else ""))
        self.record["sent"].append({"t": self.now(), "what": name, "bytes": len(data)})
        self.send(data, "sending %s" % name)
        if name == "resize":        # message 4 changes the framebuffer size too
            self.resize(kw.get("width", 0), kw.get("height", 0))

    def send_raw(self, data, what="raw bytes"):
        self.log("S> %s (%d bytes)" % (what, len(data)))
        self.record["sent"].append({"t": self.now(), "what": what, "bytes": len(data)})
        self.send(data, "sending %s" % what)

    def _split(self, plan):
        enc = plan.enc
        if (not enc.max_w or plan.hdr or plan.payload is not None or plan.image is not None
                or plan.truncate is not None):
            return [plan]
        out = []
        for y in range(0, max(plan.h, 1), enc.max_h):
            for x in range(0, max(plan.w, 1), enc.max_w):
                out.append(RectPlan(enc, plan.x + x, plan.y + y, min(enc.max_w, plan.w - x),
                                    min(enc.max_h, plan.h - y), plan.opts))
        return out

    def send_update(self, rects, count=None, close_after=None):
        """Send one FramebufferUpdate built from rectangle descriptions (dicts or RectPlan).

        count overrides the rectangle count field (by default each rectangle counts one,
        an XZ list one per sub-rectangle). A rectangle with `truncate` ends
        the message after that many payload bytes; the connection is then closed
        (close_after=False keeps it open).
        """
        plans = []
        for r in rects:
            plans += self._split(RectPlan.from_dict(r))
        ctx = UpdateCtx(self, self.pf)
        n = sum(sp.enc.counts(sp) for sp in plans) if count is None else count
        out = [servermsg.update_header(n)]
        summary = []
        truncated = False
        for sp in plans:
            payload = sp.payload if sp.payload is not None else sp.enc.encode(ctx, sp)
            x, y, w, h, enc = sp.header_fields()
            if sp.truncate is not None:
                payload = payload[:sp.truncate]
                truncated = True
            out.append(servermsg.rect_header(x, y, w, h, enc))
            out.append(payload)
            summary.append([sp.enc.name, x, y, w, h, enc, len(payload)])
            if truncated:
                break
            if sp.payload is None and not sp.hdr:
                if enc not in NO_CACHE_SAVE and not sp.enc.pseudo:
                    self.save_to_cache(sp.x, sp.y, sp.w, sp.h)
                sp.enc.apply(ctx, sp)
            else:
                self.view_unknown(sp.x, sp.y, sp.w, sp.h)
        data = b"".join(out)
        self.record["sent"].append({"t": self.now(), "what": "FramebufferUpdate",
                                    "count": n, "rects": summary, "bytes": len(data)})
        self.log("S> FramebufferUpdate count=%d %s (%d bytes)" % (
            n, " ".join("%s(%d,%d %dx%d)" % tuple(r[:5]) for r in summary[:8])
            + (" ..." if len(summary) > 8 else ""), len(data)))
        self.send(data, "sending a FramebufferUpdate")
        self.updates_sent += 1
        if truncated and close_after is not False or close_after:
            self.close()

    def pick_encoding(self, candidates, force=False):
        nums = [lookup(c).number for c in candidates]
        if not force and self.client_encodings:
            for e in self.client_encodings:
                if e in nums:
                    return lookup(e)
            return lookup("raw")
        return lookup(nums[0])

    def serve(self, encodings=("hextile", "raw"), updates=None, duration=None, force=False,
              period=None, change=None, opts=None, until_close=True):
        """Answer FramebufferUpdateRequests from the desktop image.

        encodings: candidates; the first one in the viewer's SetEncodings order is
        used (force: the first candidate whatever the viewer announced). Full requests
        get the requested area; incremental ones get what changed (held until then).
        change(session, tick) is called every `period` seconds to change the desktop
        (it calls mark_dirty). Ends after `updates` updates, after `duration` seconds,
        or when the viewer closes (an error unless until_close).
        """
        start = time.monotonic()
        stop_at = self.deadline if duration is None else min(self.deadline,
                                                             start + duration)
        next_tick = start + period if period else None
        tick = 0
        pending = None
        sent = 0
        while updates is None or sent < updates:
            now = time.monotonic()
            if now >= stop_at:
                if duration is None:
                    raise ScriptTimeout("global timeout while serving updates")
                return sent
            wait = stop_at - now
            if next_tick:
                wait = min(wait, max(0.0, next_tick - now))
            try:
                m = self.next_message("FramebufferUpdateRequest", wait, raise_timeout=False)
            except PeerClosed:
                if until_close:
                    return sent
                raise
            if next_tick and time.monotonic() >= next_tick:
                tick += 1
                next_tick += period
                if change:
                    change(self, tick)
            if m is not None:
                pending = m
                if not m["incremental"]:
                    self.mark_dirty(m["x"], m["y"], m["w"], m["h"])
            if pending is None:
                continue
            region = None
            if self._dirty:
                x0, y0, x1, y1 = self._dirty
                px0, py0 = pending["x"], pending["y"]
                px1, py1 = px0 + pending["w"], py0 + pending["h"]
                rx0, ry0, rx1, ry1 = max(x0, px0), max(y0, py0), min(x1, px1), min(y1, py1)
                if rx1 > rx0 and ry1 > ry0:
                    region = (rx0, ry0, rx1 - rx0, ry1 - ry0)
            if region is None and pending["incremental"]:
                continue
            self._dirty = None
            enc = self.pick_encoding(encodings, force)
            rects = [] if region is None else [RectPlan(enc, *region, opts=opts)]
            try:
                self.send_update(rects)
            except PeerClosed:
                if until_close:
                    return sent
                raise
            pending = None
            sent += 1
        return sent

    # -- the end --------------------------------------------------------------------
    def finish(self):
        self.close()
        if self._reader is not None:
            self._reader.join(2.0)
        r = self.record
        r["rx_bytes"] = len(self.rx)
        r["tx_bytes"] = self.tx_bytes
        r["duration"] = self.now()
        r.setdefault("closed_by", "server")
        return r


class Server:
    """Listens on 127.0.0.1 and runs a scenario for each of `connections` viewers.

    scenario: a callable(session), a scenario dict, a built-in name, a path to a JSON
    file or 'module:function'; params: overrides (dotted keys) for dict scenarios.
    """

    def __init__(self, scenario="handshake-38-none", params=None, host="127.0.0.1", port=0,
                 connections=1, timeout=30.0, record=None, record_raw=None, connect=None,
                 quiet=False, log_file=None, image=None):
        from . import scenarios
        self.run_scenario, self.scenario_image = scenarios.resolve(scenario, params or {})
        self.image_spec = image if image is not None else self.scenario_image
        self.host, self.port = host, port
        self.connections = connections
        self.timeout = timeout
        self.record_path, self.record_raw_path = record, record_raw
        self.connect = connect
        self.quiet = quiet
        self.log_file = log_file
        self.deadline = time.monotonic() + timeout
        self.sessions = []
        self.errors = []
        self.exit_code = None
        self._thread = None
        self._lsock = None
        self._lock = threading.Lock()
        self._stop = False
        if connect is None:
            self._listen()

    def emit(self, line):
        with self._lock:
            if not self.quiet:
                print(line, file=sys.stderr, flush=True)
            if self.log_file:
                self.log_file.write(line + "\n")
                self.log_file.flush()

    def make_image(self, w, h):
        img = images.from_description(self.image_spec, w, h)
        if w is not None and h is not None and img.shape[:2] != (h, w):
            # A fixed image (a file) on a desktop of another size: crop or pad.
            out = images.pattern("solid:000000", w, h)
            hh, ww = min(out.shape[0], img.shape[0]), min(out.shape[1], img.shape[1])
            out[:hh, :ww] = img[:hh, :ww]
            img = out
        return img

    def _listen(self):
        if self.host not in ("127.0.0.1", "localhost", "::1"):
            raise ValueError("the test server listens on loopback only")
        self._lsock = socket.socket(socket.AF_INET6 if self.host == "::1" else socket.AF_INET)
        self._lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._lsock.bind((self.host, self.port))
        self._lsock.listen(8)
        self.port = self._lsock.getsockname()[1]

    def _accept(self):
        if self.connect is not None:
            host, port = self.connect
            if not (host.startswith("127.") or host in ("localhost", "::1")):
                raise ValueError("the test server connects to loopback only")
            while True:
                rem = self.deadline - time.monotonic()
                if rem <= 0 or self._stop:
                    raise ScriptTimeout("could not connect to the listening viewer "
                                        "at %s:%d" % (host, port))
                try:
                    return socket.create_connection((host, port), timeout=min(rem, 2.0))
                except OSError:
                    time.sleep(min(0.2, rem))
        while True:
            rem = self.deadline - time.monotonic()
            if rem <= 0 or self._stop:
                raise ScriptTimeout("no viewer connected to port %d" % self.port)
            self._lsock.settimeout(min(rem, 0.25))
            try:
                sock, _addr = self._lsock.accept()
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                return sock
            except socket.timeout:
                continue

    def run(self):
        """Serve all connections; returns the exit code."""
        code = EXIT_OK
        try:
            for i in range(self.connections):
                try:
                    sock = self._accept()
                except ScriptTimeout as e:
                    self.errors.append(str(e))
                    self.emit("[rfbserver] TIMEOUT: %s" % e)
                    code = max(code, EXIT_TIMEOUT)
                    break
                s = Session(self, sock, i)
                self.sessions.append(s)
                s.log("connection %d accepted on port %s" % (i, self.port))
                code = max(code, self._run_one(s))
        finally:
            if self._lsock:
                self._lsock.close()
        for s in self.sessions:
            if s.record["failures"] or s.record["unexpected"]:
                code = max(code, EXIT_FAIL)
        self.exit_code = code
        self.write_records()
        self.emit("[rfbserver] done, exit code %d" % code)
        return code

    def _run_one(self, s):
        code = EXIT_OK
        try:
            self.run_scenario(s)
        except ScriptTimeout as e:
            s.record["failures"].append("timeout: %s" % e)
            s.log("TIMEOUT: %s" % e)
            code = EXIT_TIMEOUT
        except PeerClosed as e:
            s.record["failures"].append("viewer closed the connection: %s" % e)
            s.log("FAILED: viewer closed the connection: %s" % e)
            code = EXIT_FAIL
        except ScriptError as e:
            s.record["failures"].append(str(e))
            s.log("FAILED: %s" % e)
            code = EXIT_FAIL
        except Exception:
            tb = traceback.format_exc()
            s.record["failures"].append("scenario error: " + tb.strip().splitlines()[-1])
            s.log("SCENARIO ERROR:\n" + tb)
            code = EXIT_ERROR
        finally:
            s.finish()
        return code

    def start(self):
        """Run in a background thread (for pytest); returns self."""
        self._thread = threading.Thread(target=self.run, daemon=True, name="rfbserver")
        self._thread.start()
        return self

    def wait(self, timeout=None):
        """Join the background thread; returns the exit code (None if still running)."""
        if self._thread:
            self._thread.join(timeout if timeout is not None
                              else max(0.0, self.deadline - time.monotonic()) + 5)
        return self.exit_code

    def stop(self):
        self._stop = True
        for s in self.sessions:
            s.close()

    @property
    def session(self):
        return self.sessions[0] if self.sessions else None

    def report(self, log_lines=40):
        """Text for assertion messages: verdicts, then the end of each session's log."""
        lines = ["exit code %s" % self.exit_code] + ["error: %s" % e for e in self.errors]
        for s in self.sessions:
            r = s.record
            lines += ["conn %d failure: %s" % (s.index, f) for f in r["failures"]]
            lines += ["conn %d unexpected: %s" % (s.index, u) for u in r["unexpected"]]
            lines += r["log"][-log_lines:] if log_lines else []
        return "\n".join(lines)

    def records(self):
        return {"port": self.port, "exit_code": self.exit_code, "errors": self.errors,
                "connections": [s.record for s in self.sessions]}

    def write_records(self):
        if self.record_path:
            with open(self.record_path, "w") as f:
                json.dump(self.records(), f, indent=1, default=_json_default)
        if self.record_raw_path:
            with open(self.record_raw_path, "wb") as f:
                for s in self.sessions:
                    f.write(bytes(s.rx))
            if len(self.sessions) > 1:
                for s in self.sessions:
                    with open("%s.%d" % (self.record_raw_path, s.index), "wb") as f:
                        f.write(bytes(s.rx))


def _json_default(o):
    if isinstance(o, (np.integer,)):
        return int(o)
    if isinstance(o, np.ndarray):
        return o.tolist()
    if isinstance(o, bytes):
        return o.hex()
    return repr(o)
