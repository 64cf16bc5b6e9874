#!/usr/bin/python3
"""Scripted RFB test server: library entry point and command line.

Command line (Debian's /usr/bin/python3):

  rfbserver.py --scenario handshake-38-none --port-file /tmp/p --record /tmp/rec.json \\
               --timeout 30
  rfbserver.py --list
  rfbserver.py --scenario demo --port 5901 --timeout 3600

Exit codes: 0 the scenario ran as scripted; 1 a check failed, the viewer sent
something unexpected or closed the connection when the script did not expect it;
2 a bounded wait ran out (global timeout); 3 a usage or scenario error.

Python:

  import rfbserver
  srv = rfbserver.Server(scenario, timeout=20).start()   # scenario: callable/dict/name
  ... connect a viewer to srv.port ...
  assert srv.wait() == 0, srv.report()
  srv.session.record  # handshake, client messages, what was sent
"""

import argparse
import json
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from rfboracle import clientmsg, handshake, images, scenarios, servermsg  # noqa: E402,F401
from rfboracle.encoders import REGISTRY, RectPlan, lookup, rect  # noqa: E402,F401
from rfboracle.errors import PeerClosed, ScriptError, ScriptTimeout  # noqa: E402,F401
from rfboracle.pixfmt import PixelFormat, named_format  # noqa: E402,F401
from rfboracle.session import (EXIT_ERROR, EXIT_FAIL, EXIT_OK, EXIT_TIMEOUT,  # noqa: E402,F401
                               Server, Session)


def _value(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="rfbserver.py", description="Scripted RFB server for viewer tests "
        "(listens on 127.0.0.1 only).")
    p.add_argument("--scenario", default="handshake-38-none",
                   help="built-in name (see --list), a .json file or module:function")
    p.add_argument("--param", action="append", default=[], metavar="KEY=VALUE",
                   help="override a scenario value; dotted keys for dict scenarios "
                   "(handshake.version=...), keyword arguments for Python ones; VALUE is "
                   "JSON when it parses, else a string")
    p.add_argument("--port", type=int, default=0, help="port to listen on (0: any free)")
    p.add_argument("--port-file", help="write the listening port to this file")
    p.add_argument("--connections", type=int, default=1,
                   help="number of viewer connections to serve one after another")
    p.add_argument("--timeout", type=float, default=30.0,
                   help="global limit in seconds for the whole run")
    p.add_argument("--record", help="write a JSON record of the run here")
    p.add_argument("--record-raw", help="write every byte the viewer sent here")
    p.add_argument("--connect", metavar="HOST:PORT",
                   help="connect to a listening viewer (loopback) instead of listening")
    p.add_argument("--image", help="desktop image: a file or a pattern name "
                   "(demo, gradient, checker, blocks, noise, solid:RRGGBB)")
    p.add_argument("--log", help="append the log lines to this file too")
    p.add_argument("--quiet", action="store_true", help="no log lines on stderr")
    p.add_argument("--list", action="store_true", help="list the built-in scenarios")
    p.add_argument("--check", action="store_true",
                   help="only check that the (dict or JSON) scenario is well formed")
    return p.parse_args(argv)


def main(argv=None):
    a = parse_args(sys.argv[1:] if argv is None else argv)
    if a.list:
        for n in scenarios.names():
            print("%-34s %s" % (n, scenarios.describe(n)))
        return EXIT_OK
    params = {}
    for kv in a.param:
        if "=" not in kv:
            print("rfbserver: --param needs KEY=VALUE, got %r" % kv, file=sys.stderr)
            return EXIT_ERROR
        k, v = kv.split("=", 1)
        params[k] = _value(v)
    if a.check:
        try:
            d = scenarios.load_dict(a.scenario, params)
            if d is None:
                scenarios.resolve(a.scenario, params)
            else:
                scenarios.check(d)
        except (ValueError, OSError, ImportError, AttributeError) as e:
            print("rfbserver: %s" % e, file=sys.stderr)
            return EXIT_ERROR
        print("rfbserver: scenario %s is well formed" % a.scenario)
        return EXIT_OK
    connect = None
    if a.connect:
        host, _, port = a.connect.rpartition(":")
        connect = (host, int(port))
    log_file = open(a.log, "a") if a.log else None
    try:
        srv = Server(a.scenario, params, port=a.port, connections=a.connections,
                     timeout=a.timeout, record=a.record, record_raw=a.record_raw,
                     connect=connect, quiet=a.quiet, log_file=log_file, image=a.image)
    except (ValueError, OSError) as e:
        print("rfbserver: %s" % e, file=sys.stderr)
        return EXIT_ERROR
    if a.port_file and connect is None:
        tmp = a.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % srv.port)
        os.replace(tmp, a.port_file)
    srv.emit("[rfbserver] scenario %s, %s, timeout %gs" % (
        a.scenario, "connecting to %s" % a.connect if connect else
        "listening on 127.0.0.1:%d" % srv.port, a.timeout))

    def on_signal(signum, _frame):
        srv.emit("[rfbserver] signal %d: stopping" % signum)
        srv.stop()
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    code = srv.run()
    if log_file:
        log_file.close()
    return code


if __name__ == "__main__":
    sys.exit(main())
