"""The scripted server of the VeNCrypt tests: a VeNCrypt handshake with the given `auth`
callback (rfboracle/vencrypt.py), then a 160 x 100 picture in Hextile answered to every
request; and the picture a correct viewer shows of it."""
import rfbserver
from rfboracle import images
from rfbserver import rect


def scripted(auth, expect=None):
    def run(s):
        s.desktop = images.pattern("demo", 160, 100)
        hs = {"sectypes": [19], "auth": auth, "width": 160, "height": 100}
        if expect:
            hs["expect"] = expect
        s.handshake(**hs)
        if not s.record["handshake"].get("completed"):
            return
        s.wait_for("FramebufferUpdateRequest")
        s.send_update([rect("hextile", 0, 0, 160, 100)])
        s.serve(encodings=("hextile",))
    return rfbserver.Server(run, timeout=120, quiet=True).start()


def expected(srv):
    if srv.session is None:
        return None
    view, known = srv.session.expected_view()
    return view if known.all() else None
