"""The camera movie that the pipeline's and the tool's tests localise, made in one place."""

import numpy as np

import gauss2_fitter as g2

CAM = g2.Camera(baseline=100.0, sensitivity=0.25, em_gain=2.0, qe=0.8, pixel_size=107.0)
SHAPE = (52, 64)
N_FRAMES = 10
BACKGROUND = 12.0  # photons per pixel


def make_truth(seed=3):
    """Per frame, 2 to 4 spots inside and apart; (frame, photons, sx, sy, x, y, rho)."""
    rng = np.random.default_rng(seed)
    rows = []
    for f in range(N_FRAMES):
        cells = rng.permutation(9)[: rng.integers(2, 5)]
        for c in cells:  # 16 px apart: no rendered tail reaches another spot's window
            x = 9 + (c % 3) * 16 + rng.uniform(0, 2)
            y = 9 + (c // 3) * 15 + rng.uniform(0, 2)
            rows.append((f, rng.uniform(2000, 6000), rng.uniform(1.1, 1.5), rng.uniform(1.1, 1.5), x, y,
                         rng.uniform(-0.2, 0.2)))
    return np.array(rows)


def adu_movie(truth, dtype=np.float64):
    """Noise-free frames in ADU: photons -> electrons (qe) -> ADU (gain, sensitivity, baseline)."""
    frames = np.zeros((N_FRAMES,) + SHAPE)
    for f in range(N_FRAMES):
        t = truth[truth[:, 0] == f]
        spots = np.column_stack([t[:, 1], t[:, 2], t[:, 3], t[:, 4], t[:, 5], t[:, 6], np.zeros(len(t))])
        frames[f] = g2.synth_image(spots, SHAPE, 17) + BACKGROUND
    electrons = frames * CAM.qe
    return (electrons * CAM.em_gain / CAM.sensitivity + CAM.baseline).astype(dtype)


def spots_and_a_blob(n_frames=2, seed=5):
    """Frames of four 3000-photon spots (sigma 1.3) and a broad blob (sigma
    4, 30 000 photons) at (66, 26), Poisson noise on a background of 20."""
    spots = [[3000, 1.3, 1.3, x, y, 0, 0] for x, y in ((12.3, 12.6), (40.2, 12.1), (12.7, 40.4), (40.5, 40.8))]
    mean = g2.synth_image(np.array(spots + [[30000, 4.5, 4.0, 66.4, 26.3, 0, 0]], float), (56, 84), 17) + 20.0
    return np.random.default_rng(seed).poisson(np.stack([mean] * n_frames)).astype(float)
