"""Helpers of the peer tests: dump-client images, PSNR and loopback ports."""

import socket

import numpy as np


def read_rgb(path):
    """An image file of the dump clients: "W H\\n" and RGB triplets."""
    data = open(path, "rb").read()
    head, _, rgb = data.partition(b"\n")
    w, h = map(int, head.split())
    return np.frombuffer(rgb, dtype=np.uint8).reshape(h, w, 3)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
