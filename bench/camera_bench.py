"""How well Camera.from_movie measures a camera, and what the camera checks say.

Simulated movies in ADU (deterministic seeds), 200 frames of 128 x 128:
  beads       static spots of 200-20 000 photons on a background of 20
  blinking    SMLM: 20 spots a frame (about 1 per 800 pixels) of 500-3 000
              photons, each on for 1-4 frames, on a background of 20 with a
              +-30 % illumination ramp
  dense       as blinking with 60 spots a frame (1 per 270 pixels)
  emccd       blinking, through an EM register of gain 150 (gamma-distributed
              gain, F^2 = 2)
each for an sCMOS-like camera (baseline 100 ADU, 0.5 e-/ADU, read noise 1.5 e-)
and the EMCCD (baseline 200, 20 e-/ADU before the gain of 150, 0.133 after).
Prints the estimates against the truth (with their standard errors, and the
error in standard errors), and the checks' words for the right camera, no
camera, the gain inverted, an EM gain on the sCMOS movie, a baseline above
every pixel.

    /usr/bin/python3 bench/camera_bench.py [--frames 200] [--markdown]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import gauss2_fitter as g2  # noqa: E402
from gauss2_fitter.photon_transfer import camera_warnings  # noqa: E402

SHAPE = (128, 128)
BASELINE, SENSITIVITY, READ_NOISE = 100.0, 0.5, 1.5
EM_BASELINE, EM_GAIN, EM_SENSITIVITY = 200.0, 150.0, 20.0


def photons(kind, n_frames, rng):
    """(n_frames, h, w) expected photo-electrons of a scene."""
    h, w = SHAPE
    ramp = 20.0 * (1 + 0.3 * np.linspace(-1, 1, w))[None, :] * np.ones((h, 1))
    if kind == "beads":
        spots = [[p, 1.3, 1.3, x, y, 0, 0] for p, (x, y) in
                 zip(np.exp(rng.uniform(np.log(200), np.log(20000), 60)), rng.uniform(6, 122, (60, 2)))]
        still = g2.synth_image(spots, SHAPE, 15) + 20.0
        return np.broadcast_to(still, (n_frames, h, w))
    per_frame = 60 if kind == "dense" else 20
    out = np.empty((n_frames, h, w))
    alive = []  # [frames left, photons, x, y]
    for f in range(n_frames):
        alive = [s for s in alive if s[0] > 0]
        while len(alive) < per_frame:
            alive.append([int(rng.integers(1, 5)), rng.uniform(500, 3000), *rng.uniform(6, 122, 2)])
        spots = [[p, 1.3, 1.3, x, y, 0, 0] for _, p, x, y in alive]
        out[f] = g2.synth_image(spots, SHAPE, 15) + ramp
        for s in alive:
            s[0] -= 1
    return out


def movie(kind, n_frames, seed):
    rng = np.random.default_rng(seed)
    e = rng.poisson(photons(kind, n_frames, rng)).astype(np.float64)
    if kind == "emccd":
        amplified = rng.gamma(np.maximum(e, 1e-12), EM_GAIN) * (e > 0)
        adu = (amplified + rng.normal(0, 30.0, e.shape)) / EM_SENSITIVITY + EM_BASELINE
    else:
        adu = (e + rng.normal(0, READ_NOISE, e.shape)) / SENSITIVITY + BASELINE
    return np.clip(np.round(adu), 0, 65535).astype(np.uint16)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--markdown", action="store_true")
    a = ap.parse_args()
    rows = []
    for i, kind in enumerate(("beads", "blinking", "dense", "emccd")):
        mv = movie(kind, a.frames, 100 + i)
        em = kind == "emccd"
        true_b, true_s = (EM_BASELINE, EM_SENSITIVITY) if em else (BASELINE, SENSITIVITY)
        t0 = time.perf_counter()
        est = g2.Camera.from_movie(mv, em_gain=EM_GAIN if em else 1.0, read_noise=0.0 if em else READ_NOISE)
        dt = time.perf_counter() - t0
        rows.append((kind, true_b, est.baseline, est.baseline_se, true_s, est.sensitivity, est.sensitivity_se,
                     est.n_frames, dt))
        right = g2.Camera(baseline=true_b, sensitivity=true_s, em_gain=EM_GAIN if em else 1.0)
        cams = {"right camera": right, "no camera": g2.Camera(),
                "gain inverted": g2.Camera(baseline=true_b, sensitivity=1 / true_s, em_gain=right.em_gain)}
        if not em:
            cams["EM gain 300"] = g2.Camera(baseline=true_b, sensitivity=true_s, em_gain=300)
        cams["baseline 2000"] = g2.Camera(baseline=2000, sensitivity=true_s, em_gain=right.em_gain)
        for name, cam in cams.items():
            said = camera_warnings(mv, cam)
            print(f"  {kind:9s} {name:14s} -> {' | '.join(m.split('off; ')[-1][:100] for m in said) or 'no warning'}")
    head = ("movie", "baseline true", "estimate", "+-", "(err/se)", "sensitivity true", "estimate", "+-",
            "(err/se)", "frames", "s")
    fmt = [f"{r[0]}|{r[1]:g}|{r[2]:.2f}|{r[3]:.2f}|{(r[2] - r[1]) / r[3]:+.1f}|{r[4]:g}|{r[5]:.4f}|{r[6]:.4f}|"
           f"{(r[5] - r[4]) / r[6]:+.1f}|{r[7]}|{r[8]:.2f}" for r in rows]
    if a.markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for line in fmt:
            print("| " + line.replace("|", " | ") + " |")
    else:
        print("  ".join(head))
        for line in fmt:
            print("  ".join(f"{c:>10s}" for c in line.split("|")))


if __name__ == "__main__":
    main()
