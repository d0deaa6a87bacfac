"""The camera: from its counts (ADU) to photo-electrons and photons.

    cam = Camera(baseline=100, sensitivity=0.45, em_gain=1, qe=0.82, read_noise=1.6, pixel_size=108)
    electrons = cam.to_electrons(frame)      # float64
    photons = electrons / cam.qe

The conventions of the established SMLM tools:

    photo-electrons = (ADU - baseline) * sensitivity / em_gain
    photons         = photo-electrons / qe

`sensitivity` is in photo-electrons per ADU (the inverse of the camera's
conversion gain in ADU per electron); `em_gain` the electron-multiplying
gain of an EMCCD (1 for sCMOS and CCD); `qe` the quantum efficiency;
`read_noise` the read noise sigma in photo-electrons, a scalar or a
per-pixel map (sCMOS) of the frame's shape; `excess_noise` the variance
factor F^2 of an electron-multiplying register (the photo-electrons'
variance is F^2 times their mean: by default 2 - 1 / em_gain when
em_gain > 1, the register's factor, 2 at the gains EMCCDs run at; 1
otherwise), which the fits and every standard error take into account; `pixel_size` the size of a
camera pixel in the sample, nm (None when unknown: no nm columns).

Fits run on photo-electrons, which follow Poisson statistics; photon counts
(and their errors) are the electrons divided by `qe`.
"""

from dataclasses import dataclass

import numpy as np

from ._checks import as_real, excess_noise_factor, read_noise_sigma

# The variance factor of an electron-multiplying register at high gain
# (2 - 1 / gain at a gain above 1).
EMCCD_EXCESS_NOISE = 2.0


def _positive(name, value):
    return as_real(f"camera {name}", value, positive=True)


@dataclass(frozen=True, eq=False)
class Camera:
    """A camera's conversion of its counts (ADU) to photo-electrons and photons.

    photo-electrons = (ADU - baseline) * sensitivity / em_gain and
    photons = photo-electrons / qe, as the established SMLM tools define
    them. Settings are checked when the camera is made.

    Parameters
    ----------
    baseline : float, optional
        The camera's offset, ADU (default 0).
    sensitivity : float, optional
        Photo-electrons per ADU (the inverse of a conversion gain in ADU per
        electron), positive (default 1).
    em_gain : float, optional
        EMCCD gain, positive; 1 for sCMOS and CCD (default 1).
    qe : float, optional
        Quantum efficiency, above 0 and at most 1 (default 1).
    read_noise : float or array_like, optional
        Read noise sigma in photo-electrons, non-negative: a number or a
        per-pixel map of the frame's shape (sCMOS) (default 0).
    pixel_size : float, optional
        The camera pixel in the sample, nm; with it, tables get nm columns.
    excess_noise : float, optional
        The EM register's excess-noise variance factor F^2, at least 1;
        default 2 - 1 / em_gain when em_gain > 1 (about 2 at the gains
        EMCCDs run at) and 1 otherwise.

    Raises
    ------
    TypeError
        A setting that is not a number (a map that is not of real numbers).
    ValueError
        A setting out of range: a non-finite baseline, a sensitivity,
        em_gain, qe or pixel_size that is not positive, qe above 1, a
        negative read noise, a map that is not 2-D, an excess_noise below 1.

    Examples
    --------
    >>> cam = g2.Camera(baseline=100, sensitivity=0.5, qe=0.8, pixel_size=107)
    >>> cam.to_electrons(np.array([100, 300]))
    array([  0., 100.])
    >>> cam.to_photons(np.array([300]))
    array([125.])
    >>> g2.Camera(sensitivity=0)
    Traceback (most recent call last):
    ...
    ValueError: camera sensitivity must be positive and finite, got 0
    """

    baseline: float = 0.0
    sensitivity: float = 1.0
    em_gain: float = 1.0
    qe: float = 1.0
    read_noise: object = 0.0
    pixel_size: object = None
    excess_noise: object = None

    def __post_init__(self):
        object.__setattr__(self, "baseline", as_real("camera baseline", self.baseline))
        object.__setattr__(self, "sensitivity", _positive("sensitivity", self.sensitivity))
        object.__setattr__(self, "em_gain", _positive("em_gain", self.em_gain))
        qe = _positive("qe", self.qe)
        if qe > 1:
            raise ValueError(f"camera qe must be at most 1, got {self.qe}")
        object.__setattr__(self, "qe", qe)
        object.__setattr__(self, "read_noise", read_noise_sigma("camera read_noise", self.read_noise))
        if self.pixel_size is not None:
            object.__setattr__(self, "pixel_size", _positive("pixel_size", self.pixel_size))
        f2 = self.excess_noise
        if f2 is None:
            f2 = EMCCD_EXCESS_NOISE - 1.0 / self.em_gain if self.em_gain > 1 else 1.0
        object.__setattr__(self, "excess_noise", excess_noise_factor(f2, "camera excess_noise"))

    @property
    def electrons_per_adu(self):
        """Photo-electrons per ADU above the baseline: sensitivity / em_gain."""
        return self.sensitivity / self.em_gain

    def to_electrons(self, adu, out=None):
        """Photo-electrons of frames in ADU (any shape), as float64. With
        `out` (a float64 array of the same shape) the result is written
        there."""
        out = np.subtract(adu, self.baseline, out=out, dtype=np.float64, casting="unsafe")
        out *= self.electrons_per_adu
        return out

    def to_photons(self, adu):
        """Photons of frames in ADU, as float64."""
        out = self.to_electrons(adu)
        out /= self.qe
        return out

    def check_frame_shape(self, shape):
        """Refuses a per-pixel read-noise map that does not match frames of
        `shape` (h, w)."""
        rn = self.read_noise
        if isinstance(rn, np.ndarray) and rn.shape != tuple(shape):
            raise ValueError(f"camera read_noise map has shape {rn.shape}, the frames {tuple(shape)}")

    def as_dict(self):
        """The settings as plain values (a read-noise map as its shape and
        median), for table attributes and file metadata."""
        rn = self.read_noise
        if isinstance(rn, np.ndarray):
            rn = {"map_shape": list(rn.shape), "median": float(np.median(rn))}
        return {"baseline": self.baseline, "sensitivity": self.sensitivity, "em_gain": self.em_gain,
                "qe": self.qe, "read_noise": rn, "pixel_size": self.pixel_size, "excess_noise": self.excess_noise}

    @classmethod
    def from_dict(cls, d):
        """A Camera from as_dict's values (a read-noise map comes back as its
        median)."""
        rn = d.get("read_noise", 0.0)
        if isinstance(rn, dict):
            rn = rn.get("median", 0.0)
        return cls(baseline=d.get("baseline", 0.0), sensitivity=d.get("sensitivity", 1.0),
                   em_gain=d.get("em_gain", 1.0), qe=d.get("qe", 1.0), read_noise=rn,
                   pixel_size=d.get("pixel_size"), excess_noise=d.get("excess_noise"))

    def __repr__(self):
        rn = self.read_noise
        rn = f"<map {rn.shape[0]}x{rn.shape[1]}>" if isinstance(rn, np.ndarray) else f"{rn:g}"
        ps = "None" if self.pixel_size is None else f"{self.pixel_size:g}"
        return (f"Camera(baseline={self.baseline:g}, sensitivity={self.sensitivity:g}, em_gain={self.em_gain:g}, "
                f"qe={self.qe:g}, read_noise={rn}, pixel_size={ps}, excess_noise={self.excess_noise:g})")
