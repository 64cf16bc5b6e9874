"""Exceptions of the scripted server."""


class ScriptError(Exception):
    """A scenario could not go on (reported, exit code 1)."""


class PeerClosed(ScriptError):
    """The viewer closed the connection."""


class ScriptTimeout(ScriptError):
    """A bounded wait ran out (exit code 2)."""


class HandshakeStopped(Exception):
    """The handshake script ended early on purpose (close_at, stall_at, a failure)."""
