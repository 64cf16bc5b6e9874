"""Scenarios: the JSON-style script interpreter and the built-in scenarios.

A scenario is either a Python callable(session) or a dict:

  {
    "image":     pattern name / path / {"pattern", "width", "height", "seed"},
    "handshake": {...parameters of handshake.py...},
    "ft_version": 2,                  file-transfer version assumed by the parser
    "steps":     [ {"op": ...}, ... ] (default: [{"op": "serve"}]),
    "end":       "wait_close" (default) | "close" | "half_close" | {"linger": seconds}
                 (half_close: end-of-stream to the viewer, then wait for it to close)
  }

Step operations:
  {"op": "wait", "msg": "FramebufferUpdateRequest", "timeout": s, "match": {...},
   "count": n}                      wait for the next n messages of that type
  {"op": "update", "rects": [rect, ...], "count": n, "close_after": bool}
        rect = {"enc": name|number, "x", "y", "w", "h", "opts", "hdr", "payload_hex",
                "truncate", "src"}; w/h default to the rest of the framebuffer
  {"op": "send", "msg": name, ...arguments}   a server message (servermsg.BY_NAME)
  {"op": "raw", "hex": "..."} | {"op": "raw", "text": "..."}
  {"op": "sleep", "seconds": s}
  {"op": "serve", "encodings": [...], "updates": n, "duration": s, "force": bool,
   "animate": period}
  {"op": "draw", "fill": [x, y, w, h], "colour": [r, g, b]}
  {"op": "draw", "text": "...", "at": [x, y], "colour": [r, g, b], "scale": 1}
  {"op": "quiet", "msg": name | [names], "seconds": s}   nothing of that type arrives
  {"op": "close"}
  {"op": "wait_close", "timeout": s}
  {"op": "set", "ft_version": n}
"""

import copy
import importlib
import json
import time

from . import images
from .errors import ScriptError, ScriptTimeout

DEFAULT_IMAGE = {"pattern": "demo", "width": 320, "height": 240}


# -- interpreter ------------------------------------------------------------------------

def _rect(s, r):
    r = dict(r)
    from .encoders import lookup
    enc = lookup(r["enc"])
    if not enc.pseudo and enc.name != "copyrect":
        r.setdefault("x", 0)
        r.setdefault("y", 0)
        r.setdefault("w", max(0, s.fb_w - r["x"]))
        r.setdefault("h", max(0, s.fb_h - r["y"]))
    return r


def run_step(s, st):
    st = dict(st)
    op = st.pop("op")
    if op == "wait":
        for _ in range(st.get("count", 1)):
            s.wait_for(st["msg"], st.get("timeout"), st.get("match"))
    elif op == "update":
        s.send_update([_rect(s, r) for r in st.get("rects", [])], st.get("count"),
                      st.get("close_after"))
    elif op == "send":
        name = st.pop("msg")
        s.send_msg(name, **st)
    elif op == "raw":
        data = bytes.fromhex(st["hex"]) if "hex" in st else st["text"].encode("latin-1")
        s.send_raw(data)
    elif op == "sleep":
        time.sleep(min(st["seconds"], max(0.0, s.deadline - time.monotonic())))
    elif op == "serve":
        period = st.get("animate")
        s.serve(encodings=st.get("encodings", ("hextile", "raw")), updates=st.get("updates"),
                duration=st.get("duration"), force=st.get("force", False), period=period,
                change=animate if period else None, opts=st.get("opts"))
    elif op == "draw":
        if "fill" in st:
            s.draw_fill(*st["fill"], tuple(st.get("colour", (255, 255, 255))))
        if "text" in st:
            s.draw_text(st["text"], tuple(st.get("at", (0, 0))),
                        tuple(st.get("colour", (255, 255, 255))), st.get("scale", 1))
    elif op == "quiet":
        names = st["msg"] if isinstance(st["msg"], list) else [st["msg"]]
        s.expect_quiet(names, st.get("seconds", 1.0))
    elif op == "close":
        s.close()
    elif op == "wait_close":
        s.wait_closed(st.get("timeout"))
    elif op == "set":
        if "ft_version" in st:
            s.parse_opts.ft_version = st["ft_version"]
    else:
        raise ScriptError("unknown step op %r" % op)


def end_session(s, end):
    if end == "close" or s._closed:
        s.close()
    elif end == "half_close":
        s.half_close()
    elif end == "wait_close":
        s.wait_closed()
    elif isinstance(end, dict) and "linger" in end:
        try:
            s.wait_closed(end["linger"])
        except ScriptTimeout:
            if time.monotonic() >= s.deadline:
                raise
        s.close()
    else:
        raise ScriptError("unknown end %r" % (end,))


def for_connection(d, index):
    """The scenario of connection `index`: "connections" holds per-connection
    overrides (the last one also serves every later connection)."""
    per = d.get("connections")
    if not per:
        return d
    out = {k: v for k, v in d.items() if k != "connections"}
    for k, v in per[min(index, len(per) - 1)].items():
        if isinstance(v, dict) and isinstance(out.get(k), dict):
            out[k] = dict(out[k], **v)
        else:
            out[k] = v
    return out


def run_script(s, d):
    d = for_connection(d, s.index)
    s.parse_opts.ft_version = d.get("ft_version", 2)
    s.handshake(**d.get("handshake", {}))
    if not s.handshake_completed:
        return
    for st in d.get("steps", [{"op": "serve"}]):
        if s._closed:
            break
        run_step(s, st)
    end_session(s, d.get("end", "wait_close"))


class _CheckCtx:
    """Enough of a session for encoding rectangles while checking a scenario."""

    def __init__(self):
        from .pixfmt import named_format
        self.pf = named_format("rgb888")
        self.state = {}
        self.fb_w, self.fb_h = 320, 240
        self._img = images.pattern("demo", 320, 240)

    def desktop_crop(self, x, y, w, h):
        out = images.pattern("solid:000000", w, h)
        part = self._img[max(0, y):y + h, max(0, x):x + w]
        out[:part.shape[0], :part.shape[1]] = part
        return out


def check(d):
    """Raise ValueError when a scenario dict has an unknown key, op, message name,
    encoding or encoder option value that cannot be encoded."""
    from . import handshake, servermsg
    from .encoders import RectPlan
    known = {"image", "handshake", "ft_version", "steps", "end", "connections"}
    for dd in [d] + [for_connection(d, i) for i in range(len(d.get("connections") or []))]:
        bad = set(dd) - known
        if bad:
            raise ValueError("unknown scenario keys: %s" % ", ".join(sorted(bad)))
        handshake.check_script(dd.get("handshake", {}))
        images.from_description(dd.get("image", DEFAULT_IMAGE))
        ctx = _CheckCtx()
        for st in dd.get("steps", []):
            st = dict(st)
            op = st.pop("op", None)
            if op not in OPS:
                raise ValueError("unknown step op %r" % op)
            if op == "update":
                for r in st.get("rects", []):
                    plan = RectPlan.from_dict(_rect(ctx, r))
                    if plan.payload is None:
                        plan.enc.encode(ctx, plan)
            elif op == "send":
                servermsg.build(st.pop("msg"), **st)
        end = dd.get("end", "wait_close")
        if end not in ("wait_close", "close", "half_close") and not (
                isinstance(end, dict) and set(end) == {"linger"}):
            raise ValueError("unknown end %r" % (end,))


OPS = {"wait", "update", "send", "raw", "sleep", "serve", "draw", "quiet", "close",
       "wait_close", "set"}


# -- the demo ---------------------------------------------------------------------------

def animate(s, tick):
    """Move a box along a band and update a counter line (marks what changed)."""
    w, h = s.desktop.shape[1], s.desktop.shape[0]
    if w < 40 or h < 40:
        return
    band_y = h - 36
    s.draw_fill(0, band_y, w, 36, (40, 40, 60))
    x = (tick * 13) % max(1, w - 30)
    s.draw_fill(x, band_y + 4, 28, 28, ((tick * 40) % 256, 200, 255 - (tick * 40) % 256))
    s.draw_fill(4, band_y - 16, min(w - 8, 260), 14, (0, 0, 0))
    s.draw_text("tick %d  %s" % (tick, time.strftime("%H:%M:%S")), (6, band_y - 16),
                (255, 255, 0))


def demo(s, width=640, height=480, encodings=("hextile", "raw"), period=0.5,
         version="RFB 003.008\n", sectypes=(1,)):
    """A desktop for manual runs: serves and animates until the viewer closes."""
    s.desktop = images.demo(width, height)
    s.handshake(version=version, sectypes=list(sectypes), name="rfbserver demo")
    if not s.handshake_completed:
        return
    s.serve(encodings=list(encodings), period=period, change=animate)


# -- built-in scenarios -----------------------------------------------------------------

def _hs(**kw):
    return {"handshake": kw}


def _after_first_request(*steps, end=None, serve=True, image=None):
    d = {"handshake": {},
         "steps": [{"op": "wait", "msg": "FramebufferUpdateRequest"}] + list(steps)
         + ([{"op": "serve"}] if serve else [])}
    if end is not None:
        d["end"] = end
    if image is not None:
        d["image"] = image
    return d


def _full(enc="raw"):
    return {"op": "update", "rects": [{"enc": enc}]}


def _wait_req():
    return {"op": "wait", "msg": "FramebufferUpdateRequest"}


LINGER = {"linger": 3.0}
BLOCKS = {"pattern": "blocks", "width": 160, "height": 120}

BUILTIN = {
    # -- handshake variants (then serve until the viewer closes) --
    "handshake-38-none": _hs(),
    "handshake-37-none": _hs(version="RFB 003.007\n"),
    "handshake-33-none": _hs(version="RFB 003.003\n"),
    "handshake-36-none": _hs(version="RFB 003.006\n"),
    "handshake-34-none": _hs(version="RFB 003.004\n"),
    "handshake-35": _hs(version="RFB 003.005\n", expect={"client_version": "RFB 003.008\n"}),
    "handshake-39": _hs(version="RFB 003.009\n", expect={"client_version": "RFB 003.008\n"}),
    "handshake-314-text": _hs(version="RFB 003.014\n", extra_text="Accept test server?"),
    "handshake-316-text": _hs(version="RFB 003.016\n", extra_text="Accept test server?"),
    "handshake-318-text": _hs(version="RFB 003.018\n", extra_text="Accept test server?"),
    "handshake-314-text-oversize": _hs(version="RFB 003.014\n", extra_text="x" * 1025,
                                       expect={"peer_closed_at": "client_version"}),
    "handshake-bad-version": _hs(version="XYZ 003.008\n", stall_at="version"),
    "repeater-00": _hs(repeater="RFB 000.000\n"),
    "repeater-38": _hs(repeater="RFB 003.008\n"),
    "silent": _hs(stall_at="accept"),
    "close-after-accept": _hs(close_at="accept"),
    "close-after-version": _hs(close_at="version"),
    "close-after-sectypes": _hs(close_at="sectypes"),
    "close-after-result": _hs(close_at="result"),
    "close-after-serverinit": _hs(close_at="serverinit"),
    # -- security types --
    "sec-empty-list": _hs(sectypes=[], reason="No security types configured"),
    "sec-33-type0": _hs(version="RFB 003.003\n", type33=0, reason="Too many connections"),
    "sec-33-type2": _hs(version="RFB 003.003\n", type33=2, password="test"),
    "sec-fail-reason": _hs(sectypes=[1], result=1, result_reason="Not allowed from here"),
    "sec-fail-37": _hs(version="RFB 003.007\n", sectypes=[2], result=1,
                       result_reason="Bad password", password="test"),
    "sec-fail-33": _hs(version="RFB 003.003\n", type33=2, result=1, password="test"),
    "sec-too-many": _hs(sectypes=[1], result=2),
    "sec-fail-3": _hs(sectypes=[1], result=3, result_reason="Failure with a reason"),
    "sec-unknown-result": _hs(sectypes=[1], result=7),
    "sec-continue-33": _hs(version="RFB 003.003\n", type33=2, password="test", result=-1),
    "sec-104": _hs(sectypes=[104], server_text="Allow the test server's user in?"),
    "sec-104-oversize": _hs(sectypes=[104], server_text="y" * 1025,
                            expect={"peer_closed_at": "choice"}),
    "sec-105": _hs(sectypes=[105], helpdesk=["First desk", "Second desk", "Third desk"]),
    "sec-116": _hs(sectypes=[116]),
    "sec-117": _hs(sectypes=[117, 1]),
    "sec-117-only": _hs(sectypes=[117], expect={"peer_closed_at": "sectypes"}),
    "sec-unsupported-only": _hs(sectypes=[99, 200], expect={"peer_closed_at": "sectypes"}),
    "sec-prefer": _hs(sectypes=[1, 2], password="test"),
    "sec-continue-chain": _hs(rounds=[
        {"sectypes": [17], "result": -1}, {"sectypes": [104], "result": -1},
        {"sectypes": [116], "result": -1}, {"sectypes": [105], "result": -1},
        {"sectypes": [1], "result": -1}, {"sectypes": [2], "password": "test", "result": -1},
        {"sectypes": [113]}], stall_at="choice:6",
        expect={"choices": [17, 104, 116, 105, 1, 2, 113]}),
    # -- ServerInit variants --
    "serverinit-name-3000": _hs(name_size=3000),
    "serverinit-name-huge": _hs(name="short", name_length=0x7FFFFFF0, close_at="serverinit"),
    "serverinit-name-empty": _hs(name=""),
    "serverinit-size-zero": _hs(width=0, height=0),
    "serverinit-size-odd": _hs(width=333, height=77),
    "serverinit-size-one": _hs(width=1, height=1),
    "serverinit-size-huge": _hs(width=20001, height=100),
    "serverinit-16bpp": _hs(pixel_format="rgb565"),
    "serverinit-16bpp-be": _hs(pixel_format="rgb565be"),
    "serverinit-8bpp": _hs(pixel_format="bgr233"),
    "serverinit-24bpp": _hs(pixel_format={"bpp": 24, "depth": 24}),
    "serverinit-colourmap": _hs(pixel_format="map8"),
    # -- updates, one encoding each, after the first request --
    "update-raw": _after_first_request(_full("raw")),
    "update-rre": _after_first_request(_full("rre"), image=BLOCKS),
    "update-corre": _after_first_request(_full("corre"), image=BLOCKS),
    "update-hextile": _after_first_request(_full("hextile")),
    "update-hextile-raw": _after_first_request(
        {"op": "update", "rects": [{"enc": "hextile", "opts": {"mode": "raw"}}]}),
    "update-hextile-viewer-inherit": _after_first_request(
        {"op": "update", "rects": [{"enc": "hextile", "opts": {"inherit": "viewer"}}]},
        image=BLOCKS),
    "update-copyrect": _after_first_request(
        _full("raw"), _wait_req(),
        {"op": "update", "rects": [{"enc": "copyrect", "x": 10, "y": 20, "w": 60, "h": 40,
                                    "src": [0, 0]},
                                   {"enc": "copyrect", "x": 100, "y": 50, "w": 50,
                                    "h": 50, "src": [100, 40]}]}),
    "update-lastrect": _after_first_request(
        {"op": "update", "count": 0xFFFF, "rects": [
            {"enc": "raw", "x": 0, "y": 0, "w": 64, "h": 64}, {"enc": "lastrect"}]}),
    "update-empty": _after_first_request({"op": "update", "rects": []}),
    "update-newfbsize": _after_first_request(
        _full("raw"), {"op": "update", "rects": [{"enc": "newfbsize", "w": 200, "h": 150}]}),
    "update-extdesktop": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "extdesktopsize", "w": 320, "h": 240}]}),
    "update-extdesktop-2screens": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "extdesktopsize", "w": 320, "h": 240, "opts": {"screens": [
                {"id": 1, "x": 0, "y": 0, "w": 160, "h": 240},
                {"id": 2, "x": 160, "y": 0, "w": 160, "h": 240}]}}]}),
    "update-desktoprect": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "desktoprect", "x": 10, "y": 10, "w": 100, "h": 80}]}),
    "update-cursor-rich": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "richcursor", "x": 1, "y": 1, "w": 11, "h": 17}]}),
    "update-cursor-x": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "xcursor", "x": 1, "y": 1, "w": 11, "h": 17}]}),
    "update-cursor-pos": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "richcursor", "x": 1, "y": 1, "w": 11, "h": 17},
            {"enc": "cursorpos", "x": 50, "y": 60}]}),
    "update-cursor-empty": _after_first_request(
        _full("raw"), {"op": "update", "rects": [{"enc": "richcursor", "w": 0, "h": 0}]}),
    # -- other server messages --
    "msg-bell": _after_first_request(_full("raw"), {"op": "send", "msg": "bell"}),
    "msg-cuttext": _after_first_request(
        _full("raw"), {"op": "send", "msg": "cuttext", "text": "line one\nline two"}),
    "msg-cuttext-ext": _after_first_request(
        _full("raw"), {"op": "send", "msg": "clip_caps"},
        {"op": "send", "msg": "clip_provide_text", "text": "extended text"}),
    "msg-colourmap": _after_first_request(
        _full("raw"), {"op": "send", "msg": "colourmap", "first": 0,
                       "colours": [[65535, 0, 0], [0, 65535, 0]]}, serve=False),
    "msg-resize": _after_first_request(
        _full("raw"), {"op": "send", "msg": "resize", "width": 200, "height": 100}),
    "msg-keepalive": _after_first_request(_full("raw"), {"op": "send", "msg": "keepalive"}),
    "msg-20": _after_first_request(_full("raw"), {"op": "send", "msg": "msg20"},
                                   {"op": "send", "msg": "bell"}),
    "msg-streaming": _after_first_request(_full("raw"), {"op": "send", "msg": "streaming"}),
    "msg-serverstate": _after_first_request(
        _full("raw"), {"op": "send", "msg": "serverstate", "state": 2, "value": 100},
        {"op": "send", "msg": "serverstate", "state": 1, "value": 0},
        {"op": "send", "msg": "serverstate", "state": 99, "value": 5}),
    "msg-252": _after_first_request(_full("raw"), {"op": "send", "msg": "msg252",
                                                   "value": 1}),
    "msg-gii-version": _after_first_request(
        _full("raw"), {"op": "send", "msg": "gii_version", "maximum": 1, "minimum": 1}),
    "msg-textchat": _after_first_request(
        _full("raw"), {"op": "send", "msg": "textchat", "length": 0xFFFFFFFF},
        {"op": "send", "msg": "textchat", "text": "hello from the server"}),
    "msg-unknown": _after_first_request(_full("raw"), {"op": "raw", "hex": "63"},
                                        serve=False),
    # -- hostile forms: out-of-range fields, huge counts, truncated data --
    "hostile-rect-outside": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "raw", "x": 0, "y": 0, "w": 32, "h": 16, "hdr": {"x": 300}},
            {"enc": "raw", "x": 0, "y": 0, "w": 16, "h": 16, "hdr": {"x": 65530,
                                                                      "y": 65530}}]},
        end=LINGER),
    "hostile-raw-truncated": _after_first_request(
        {"op": "update", "rects": [{"enc": "raw", "truncate": 1000}]}, serve=False,
        end=LINGER),
    "hostile-raw-huge": _after_first_request(
        {"op": "update", "rects": [{"enc": "raw", "x": 0, "y": 0, "w": 16, "h": 16,
                                    "hdr": {"w": 65535, "h": 65535}, "truncate": 1024}]},
        serve=False, end=LINGER),
    "hostile-rre-count": _after_first_request(
        {"op": "update", "rects": [{"enc": "rre", "x": 0, "y": 0, "w": 16, "h": 16,
                                    "opts": {"count": 0xFFFFFFFF, "subrects": []}}]},
        serve=False, end=LINGER),
    "hostile-rre-count-truncated": _after_first_request(
        {"op": "update", "rects": [{"enc": "rre", "x": 0, "y": 0, "w": 16, "h": 16,
                                    "opts": {"count": 1000000, "subrects": [
                                        [0, 0, 4, 4, [255, 0, 0]]]}}]},
        serve=False, end=LINGER),
    "hostile-rre-subrect-outside": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "rre", "x": 10, "y": 10, "w": 20, "h": 20, "opts": {"subrects": [
                [15, 15, 400, 400, [255, 0, 0]], [65000, 65000, 10, 10, [0, 255, 0]],
                [2, 2, 4, 4, [0, 0, 255]]]}}]}, end=LINGER),
    "hostile-corre-subrect-outside": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "corre", "x": 300, "y": 220, "w": 20, "h": 20, "opts": {"subrects": [
                [250, 250, 255, 255, [255, 0, 0]], [5, 5, 200, 3, [0, 255, 0]]]}}]},
        end=LINGER),
    "hostile-hextile-subrect-outside": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "hextile", "x": 304, "y": 224, "w": 16, "h": 16, "opts": {"tiles": {
                "0": {"bg": [0, 0, 255], "subrects": [[12, 12, 16, 16, [255, 0, 0]]]}}}}]},
        end=LINGER),
    "hostile-hextile-flags": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "hextile", "x": 0, "y": 0, "w": 32, "h": 16, "opts": {"tiles": [
                {"flags": 0xE0}, {"flags": 0xFF, "raw": True}]}}]}, end=LINGER),
    "hostile-hextile-truncated": _after_first_request(
        {"op": "update", "rects": [{"enc": "hextile", "truncate": 100}]}, serve=False,
        end=LINGER),
    "hostile-copyrect-outside": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "copyrect", "x": 0, "y": 0, "w": 32, "h": 32, "src": [310, 0]},
            {"enc": "copyrect", "x": 300, "y": 0, "w": 32, "h": 32, "src": [0, 0]},
            {"enc": "copyrect", "x": 0, "y": 0, "w": 32, "h": 32, "src": [65535, 65535]}]},
        end=LINGER),
    "hostile-cursor-hotspot": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "richcursor", "x": 1000, "y": 1000, "w": 11, "h": 17},
            {"enc": "xcursor", "x": 1000, "y": 1000, "w": 11, "h": 17}]}, end=LINGER),
    "hostile-cursor-huge": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "richcursor", "x": 0, "y": 0, "w": 65535, "h": 65535,
             "payload_hex": "00" * 64}]}, serve=False, end=LINGER),
    "hostile-cursorpos-outside": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "richcursor", "x": 1, "y": 1, "w": 11, "h": 17},
            {"enc": "cursorpos", "x": 60000, "y": 60000}]}, end=LINGER),
    "hostile-newfbsize-huge": _after_first_request(
        _full("raw"), {"op": "update", "rects": [{"enc": "newfbsize", "w": 30000,
                                                  "h": 30000}]}, serve=False, end=LINGER),
    "hostile-newfbsize-zero": _after_first_request(
        _full("raw"), {"op": "update", "rects": [{"enc": "newfbsize", "w": 0, "h": 0}]},
        end=LINGER),
    "hostile-extdesktop-truncated": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": "extdesktopsize", "w": 320, "h": 240, "opts": {"count": 255},
             "truncate": 20}]}, serve=False, end=LINGER),
    "hostile-unknown-encoding": _after_first_request(
        _full("raw"), {"op": "update", "rects": [
            {"enc": 0x7FFF0000, "x": 0, "y": 0, "w": 8, "h": 8, "payload_hex": "ab" * 64}]},
        {"op": "sleep", "seconds": 2.0}, end=LINGER),
    "hostile-count-short": _after_first_request(
        {"op": "update", "count": 3, "rects": [{"enc": "raw", "x": 0, "y": 0, "w": 8,
                                                "h": 8}]}, serve=False, end=LINGER),
    "hostile-cuttext-huge": _after_first_request(
        _full("raw"), {"op": "send", "msg": "cuttext", "text": "abc", "length": 0x7FFFFFFF},
        serve=False, end=LINGER),
    "hostile-cuttext-ext-huge": _after_first_request(
        _full("raw"), {"op": "send", "msg": "cuttext_ext", "flags": 0x10000001,
                       "length": -0x7FFFFFFF}, serve=False, end=LINGER),
    "hostile-cuttext-ext-badzlib": _after_first_request(
        _full("raw"), {"op": "send", "msg": "clip_caps"},
        {"op": "send", "msg": "cuttext_ext", "flags": 0x10000001,
         "payload_hex": "0102030405060708"}, end=LINGER),
    "hostile-colourmap-huge": _after_first_request(
        _full("raw"), {"op": "send", "msg": "colourmap", "first": 0, "count": 65535,
                       "colours": [[1, 2, 3]]}, serve=False, end=LINGER),
    "hostile-textchat-huge": _after_first_request(
        _full("raw"), {"op": "send", "msg": "textchat", "text": "x", "length": 20000},
        serve=False, end=LINGER),
    "hostile-filetransfer-huge": _after_first_request(
        _full("raw"), {"op": "send", "msg": "filetransfer", "content_type": 2, "param": 1,
                       "length": 0x7FFFFFFF, "body": "C:\\"}, serve=False, end=LINGER),
    "hostile-gii-length": _after_first_request(
        _full("raw"), {"op": "send", "msg": "gii", "subtype": 1, "length": 65535,
                       "payload_hex": "0001"}, serve=False, end=LINGER),
    "hostile-serverstate-truncated": _after_first_request(
        _full("raw"), {"op": "raw", "hex": "ad000000000002"}, serve=False, end=LINGER),
}

PYTHON_BUILTIN = {"demo": demo}


def names():
    return sorted(list(BUILTIN) + list(PYTHON_BUILTIN))


def describe(name):
    if name in PYTHON_BUILTIN:
        return (PYTHON_BUILTIN[name].__doc__ or "").strip().splitlines()[0]
    d = BUILTIN[name]
    return json.dumps(d, default=repr)[:200]


# -- resolving what the caller gave -----------------------------------------------------

def set_param(d, key, value):
    """Set a dotted key ('handshake.version') in a scenario dict."""
    parts = key.split(".")
    cur = d
    for p in parts[:-1]:
        if isinstance(cur, list):
            cur = cur[int(p)]
        else:
            cur = cur.setdefault(p, {})
    if isinstance(cur, list):
        cur[int(parts[-1])] = value
    else:
        cur[parts[-1]] = value


def _from_dict(d, params):
    d = copy.deepcopy(d)
    for k, v in params.items():
        set_param(d, k, v)
    return (lambda s: run_script(s, d)), d.get("image", DEFAULT_IMAGE)


def load_dict(scenario, params):
    """The scenario dict (with params applied) for dict, built-in and .json scenarios;
    None for Python ones."""
    if isinstance(scenario, str):
        if scenario in BUILTIN:
            scenario = BUILTIN[scenario]
        elif scenario.endswith(".json"):
            with open(scenario) as f:
                scenario = json.load(f)
    if not isinstance(scenario, dict):
        return None
    d = copy.deepcopy(scenario)
    for k, v in params.items():
        set_param(d, k, v)
    return d


def resolve(scenario, params):
    """(run function(session), image description) for any accepted scenario form."""
    if callable(scenario):
        if params:
            return (lambda s: scenario(s, **params)), DEFAULT_IMAGE
        return scenario, DEFAULT_IMAGE
    if isinstance(scenario, dict):
        return _from_dict(scenario, params)
    if not isinstance(scenario, str):
        raise ValueError("a scenario is a callable, a dict or a name")
    if scenario in BUILTIN:
        return _from_dict(BUILTIN[scenario], params)
    if scenario in PYTHON_BUILTIN:
        fn = PYTHON_BUILTIN[scenario]
        return (lambda s: fn(s, **params)), DEFAULT_IMAGE
    if scenario.endswith(".json"):
        with open(scenario) as f:
            return _from_dict(json.load(f), params)
    if ":" in scenario:
        mod, fn = scenario.split(":", 1)
        return resolve(getattr(importlib.import_module(mod), fn), params)
    raise ValueError("unknown scenario %r; see --list" % scenario)
