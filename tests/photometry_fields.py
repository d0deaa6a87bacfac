"""The field imaged many times that the photometry's, the pipeline's and the
tool's tests measure, made in one place."""

import importlib

import numpy as np

import gauss2_fitter as g2

pm = importlib.import_module("gauss2_fitter.photometry")  # the package's name `photometry` is the function

SHAPE = (96, 112)
CAM = g2.Camera(baseline=100.0, sensitivity=0.5, qe=0.9, read_noise=1.5)
CAMERA_OPTIONS = ("--baseline", "100", "--sensitivity", "0.5", "--qe", "0.9", "--read-noise", "1.5")


def render(photons, sigma, x, y, shape):
    """Spots sampled at every pixel's centre (as the library's model), none
    cut off at the frame's edge."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]]
    out = np.zeros(shape)
    for a, s, xs, ys in zip(photons, sigma, x, y):
        out += a * pm._gaussians([xs], [ys], [s], [s], [0.0], cols[None], rows[None])[0]
    return out


def field(seed=0, n_channels=2, n_cycles=5, shifts=None, ramp=0.3, background=40.0):
    """Camera counts (channels, cycles, h, w) of spots on a grid (jittered,
    8 px from the edges) with channel-dependent widths; spot 3 goes dark
    from cycle 2 in every channel, spot 5 is lit in channel 1 only. The
    illumination rises from 1 - ramp to 1 + ramp across the field. Returns
    (counts, photons truth (n, channels, cycles), x, y, shifts)."""
    rng = np.random.default_rng(seed)
    h, w = SHAPE
    gx, gy = np.meshgrid(np.arange(12, w - 8, 14.0), np.arange(12, h - 8, 14.0))
    x = gx.ravel() + rng.uniform(-2, 2, gx.size)
    y = gy.ravel() + rng.uniform(-2, 2, gy.size)
    n = len(x)
    if shifts is None:
        shifts = np.vstack([[0, 0], rng.uniform(-2.5, 2.5, (n_cycles - 1, 2))])
    photons = rng.uniform(1500, 4000, (n, n_channels))
    photons[5, 0] = 0.0
    truth = np.zeros((n, n_channels, n_cycles))
    counts = np.empty((n_channels, n_cycles, h, w), dtype=np.uint16)
    for ch in range(n_channels):
        for c in range(n_cycles):
            xs, ys = x + shifts[c, 0], y + shifts[c, 1]
            light = 1 - ramp + 2 * ramp * xs / w
            truth[:, ch, c] = photons[:, ch] * light
            if c >= 2:
                truth[3, ch, c] = 0.0
            clean = render(truth[:, ch, c], np.full(n, 1.2 + 0.3 * ch), xs, ys, SHAPE) \
                + background * (1 - ramp + 2 * ramp * (np.arange(w) + 0.5) / w)
            electrons = rng.poisson(clean * CAM.qe) + rng.normal(0, CAM.read_noise, SHAPE)
            counts[ch, c] = np.clip(np.round(electrons / CAM.sensitivity + CAM.baseline), 0, 65535)
    return counts, truth, x, y, shifts


def acquisition_order(counts):
    """The frames of counts (channels, cycles, h, w) as a camera takes them:
    cycle after cycle, the channels interleaved (channel fastest)."""
    return counts.transpose(1, 0, 2, 3).reshape(-1, *counts.shape[2:])
