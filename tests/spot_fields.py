"""The fields of spots that the binding's tests fit, made in one place."""

import numpy as np


def grid_spots(rng, shape, step, margin, n, amp, width, rho):
    """Parameter rows (image coordinates) of up to n spots, one in each cell of
    a grid of `step` pixels that keeps `margin` pixels from the edges of an
    image of `shape`, each at a random sub-pixel offset, with amplitudes and
    both widths uniform in the ranges `amp` and `width` and rho in +-rho."""
    h, w = shape
    ys, xs = np.mgrid[margin:h - margin:step, margin:w - margin:step]
    pos = np.stack([xs.ravel(), ys.ravel()], 1)[:n] + rng.uniform(0, 1, (min(n, xs.size), 2))
    k = len(pos)
    return np.column_stack([rng.uniform(*amp, k), rng.uniform(*width, k), rng.uniform(*width, k), pos[:, 0],
                            pos[:, 1], rng.uniform(-rho, rho, k), np.zeros(k)])
