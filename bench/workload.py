"""The benchmark workload: a 1024 x 1024 image with 6 000 bright, well
separated spots on a background of 100, Poisson photon noise and Gaussian
read noise (sigma 5), fitted with 11 x 11 patches. Deterministic."""

import time

import numpy as np

SHAPE = (1024, 1024)
N_SPOTS = 6000
MEA = 11
SEED = 20261208
RENDER_MEA = 15  # spots are rendered on patches of this side
READ_NOISE = 5.0  # sigma of the Gaussian read noise


def make(seed=SEED, n_spots=N_SPOTS, shape=SHAPE, mea=MEA):
    """Returns (image, center_x, center_y, truth) with truth (n, 7) in image
    coordinates (amp, std_x, std_y, pos_x, pos_y, rho, offset)."""
    import gauss2_fitter as g2

    rng = np.random.default_rng(seed)
    h, w = shape
    # One spot per cell of a jittered grid keeps spots 10 px or more apart.
    cell = 13
    gy, gx = np.mgrid[0:h // cell, 0:w // cell]
    cells = np.stack([gx.ravel(), gy.ravel()], 1)
    cells = cells[rng.permutation(len(cells))[:n_spots]]
    pos = cells * cell + 5.0 + rng.uniform(0, cell - 10, cells.shape)
    n = len(pos)
    truth = np.column_stack([
        rng.uniform(8e3, 3e4, n),        # volume: bright spots
        rng.uniform(1.1, 1.9, n),
        rng.uniform(1.1, 1.9, n),
        pos[:, 0], pos[:, 1],
        rng.uniform(-0.3, 0.3, n),
        np.zeros(n),
    ])
    clean = g2.synth_image(truth, shape, RENDER_MEA) + 100.0
    im = rng.poisson(clean).astype(np.float64) + rng.normal(0.0, READ_NOISE, shape)
    cx = np.floor(truth[:, 3]).astype(np.int64)
    cy = np.floor(truth[:, 4]).astype(np.int64)
    # Spots whose rendering patch would cross the border were not rendered.
    r = RENDER_MEA // 2
    inside = (cx >= r) & (cy >= r) & (cx + r + 1 < w) & (cy + r + 1 < h)
    return im, cx[inside], cy[inside], truth[inside]


def best_rate(fn, n, repeats=5):
    """Items per second of fn(), which handles n items: the best of `repeats` runs."""
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return n / best
