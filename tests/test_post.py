"""After the fit: drift correction, linking, NeNA and FRC on small known
tables, and the run metadata they carry on. (Their files: test_movies.py;
their subcommands: test_cli.py.)"""

import importlib

import numpy as np
import pandas as pd
import pytest

import gauss2_fitter as g2
from gauss2_fitter.drift import fit_peaks
from post_fields import PIXEL_NM, blinking, linear

link_labels = importlib.import_module("gauss2_fitter.link").link_labels  # the package exports the function link

# ---- drift ------------------------------------------------------------------------------


def test_a_known_linear_drift_is_recovered_and_taken_out_of_every_row():
    locs, _, _ = blinking(drift=linear)
    locs.loc[5, "flag"] = 2  # a failed fit: not measured, but corrected like its frame
    before = locs.copy()
    fixed, drift = g2.correct_drift(locs)
    frames = np.arange(locs.frame.min(), locs.frame.max() + 1)
    assert drift.index.tolist() == frames.tolist() and drift.index.name == "frame"
    tx, ty = linear(frames)
    assert np.abs(drift.dx - (tx - tx[0])).max() < 0.01 and np.abs(drift.dy - (ty - ty[0])).max() < 0.01
    k = locs.frame - frames[0]
    np.testing.assert_allclose(fixed.x, locs.x - drift.dx.to_numpy()[k])
    np.testing.assert_allclose(fixed.y, locs.y - drift.dy.to_numpy()[k])
    np.testing.assert_allclose(fixed.x_nm, fixed.x * PIXEL_NM)
    pd.testing.assert_frame_equal(locs, before)  # the input is left as it was
    step = fixed.attrs["steps"][-1]
    assert step["step"] == "drift" and step["method"] == "rcc" and fixed.attrs["pixel_size"] == PIXEL_NM
    # Segments of a given length find it too.
    _, by_frames = g2.correct_drift(locs, segment_frames=100)
    assert by_frames.attrs["segments"] == 8
    assert np.abs(by_frames.dx - (tx - tx[0])).max() < 0.02 and np.abs(by_frames.dy - (ty - ty[0])).max() < 0.02


def test_fiducial_markers_give_the_drift_found_or_named():
    def wobble(f):
        return 0.3 * np.sin(f / 60.0), 0.2 * f / 800

    locs, _, _ = blinking(drift=wobble, seed=1)
    rng = np.random.default_rng(2)
    frames = np.arange(800)
    beads = []
    for bx, by in ((10.0, 30.0), (35.0, 8.0)):
        seen = frames[rng.random(800) > 0.05]  # a bead missed now and then
        dx, dy = wobble(seen)
        beads.append(pd.DataFrame({"frame": seen, "x": bx + dx + rng.normal(0, 0.005, len(seen)),
                                   "y": by + dy + rng.normal(0, 0.005, len(seen)), "photons": 1e5, "lpx": 0.005,
                                   "lpy": 0.005, "flag": np.int8(0)}))
    table = pd.concat([locs.drop(columns=["x_nm", "y_nm"])] + beads, ignore_index=True).sort_values("frame")
    tx, ty = wobble(frames)
    for fiducials in (True, [(10.2, 30.1)], [(10, 30), (35, 8)]):
        fixed, drift = g2.correct_drift(table, fiducials=fiducials)
        error = np.hypot(drift.dx - (tx - tx[0]), drift.dy - (ty - ty[0]))
        # Each frame's drift from the markers' 0.005 px, less frame 0's.
        assert np.sqrt(np.mean(error**2)) < 0.01 and error.max() < 0.04
        assert len(drift.attrs["fiducials"]) == (2 if fiducials is True else len(fiducials))
    with pytest.raises(ValueError, match=r"no track .* fiducial at \(20, 20\)"):
        g2.correct_drift(table, fiducials=[(20, 20)])
    with pytest.raises(ValueError, match="no fiducial marker found"):
        g2.correct_drift(locs, method="fiducials")


def test_correlation_peaks_are_centred_to_a_small_part_of_a_bin():
    rng = np.random.default_rng(10)
    n = 200
    centre = rng.uniform(-1.5, 1.5, (n, 2))
    width = rng.uniform(0.8, 1.8, n)
    v, u = np.mgrid[-3:4, -3:4]
    peaks = np.exp(-((u[None] - centre[:, 0, None, None]) ** 2 + (v[None] - centre[:, 1, None, None]) ** 2)
                   / (2 * width[:, None, None] ** 2))
    windows = 50 * peaks + 3 + rng.normal(0, 0.01, peaks.shape)
    windows[-1] = 7.0  # flat: no peak
    found, ok = fit_peaks(windows)
    assert ok[:-1].all() and not ok[-1]
    assert np.abs(found[:-1] - centre[:-1]).max() < 0.01


def test_two_segments_give_a_straight_line():
    locs, _, _ = blinking(drift=linear, seed=11)
    _, drift = g2.correct_drift(locs, segment_frames=400)
    tx, ty = linear(drift.index.to_numpy())
    assert drift.attrs["segments"] == 2
    assert np.abs(drift.dx - tx).max() < 0.02 and np.abs(np.diff(drift.dx, 2)).max() < 1e-9


@pytest.mark.parametrize("change, kwargs, error, message", [
    (lambda t: t.drop(columns="frame"), {}, ValueError, "no frame column"),
    (lambda t: t.assign(frame=7), {}, ValueError, "all .* are in frame 7"),
    (lambda t: t.assign(flag=1), {}, ValueError, "no measured localisation"),
    (lambda t: t.iloc[:60], {}, ValueError, "too few; two segments"),
    (lambda t: t, {"segment_frames": 5}, ValueError, r"segment \d+ \(frames .*\) holds \d+ localisation"),
    (lambda t: t, {"segment_frames": 5000}, ValueError, "leave one segment"),
    (lambda t: t, {"segment_frames": 0}, ValueError, "segment_frames must be at least 1"),
    (lambda t: t, {"segment_frames": 2.5}, TypeError, "segment_frames must be an integer"),
    (lambda t: t, {"bin_size": 0}, ValueError, "bin_size must be positive"),
    (lambda t: t, {"max_shift": -1}, ValueError, "max_shift must be positive"),
    (lambda t: t, {"method": "magic"}, ValueError, "method must be one of rcc, fiducials"),
    (lambda t: t, {"fiducials": [(1, 2, 3)]}, ValueError, "list of \\(x, y\\) positions"),
    (lambda t: t.to_dict(), {}, TypeError, "takes a localisation table"),
])
def test_drift_correction_refuses_what_it_cannot_measure(change, kwargs, error, message):
    locs, _, _ = blinking(drift=linear)
    with pytest.raises(error, match=message):
        g2.correct_drift(change(locs), **kwargs)


def test_the_steps_carry_the_run_metadata_on():
    locs, _, _ = blinking(drift=linear)
    bare = locs.copy()
    bare.attrs = {}  # attrs lost (pd.concat drops them): the metadata is given
    meta = g2.RunMetadata(pixel_size=PIXEL_NM, estimator="mle")
    fixed, _ = g2.correct_drift(bare, metadata=meta)
    assert fixed.attrs["estimator"] == "mle" and [s["step"] for s in fixed.attrs["steps"]] == ["drift"]
    np.testing.assert_allclose(fixed.x_nm, fixed.x * PIXEL_NM)
    events = g2.link(fixed)  # from the attrs' copy
    assert [s["step"] for s in events.attrs["steps"]] == ["drift", "link"] and meta.steps == ()
    np.testing.assert_allclose(events.lpx_nm, events.lpx * PIXEL_NM)
    assert g2.nena(bare, metadata=meta).precision_nm == pytest.approx(g2.nena(locs).precision_nm)
    # Without a pixel size the nm columns the table had would be stale: they go.
    fixed, _ = g2.correct_drift(bare, metadata=g2.RunMetadata())
    assert not set(g2.NM_COLUMNS) & set(fixed.columns) and "x_nm" in bare
    with pytest.raises(ValueError, match="pixel_size must be positive"):
        g2.correct_drift(bare, metadata=g2.RunMetadata(pixel_size=-1.0))
    with pytest.raises(TypeError, match="RunMetadata"):
        g2.link(bare, metadata={"pixel_size": PIXEL_NM})


# ---- link -------------------------------------------------------------------------------


def one_site(frames, x=10.0, sigma=0.02, seed=0):
    rng = np.random.default_rng(seed)
    frames = np.asarray(frames)
    return pd.DataFrame({"frame": frames, "x": x + rng.normal(0, sigma, len(frames)),
                         "y": 20.0 + rng.normal(0, sigma, len(frames)), "photons": 500.0 + 100 * frames,
                         "photons_se": 20.0, "lpx": sigma, "lpy": sigma, "flag": np.int8(0)})


@pytest.mark.parametrize("gap, max_dark, events", [(1, 1, 1), (2, 1, 2), (2, 2, 1), (3, 2, 2), (1, 0, 2)])
def test_blinks_further_apart_than_max_dark_frames_stay_apart(gap, max_dark, events):
    # Frames 0-2, then `gap` dark frames, then 3 more.
    locs = one_site([0, 1, 2] + [3 + gap, 4 + gap, 5 + gap])
    ev = g2.link(locs, max_dark_frames=max_dark)
    assert len(ev) == events
    assert ev.n.sum() == 6 and ev["frame"].tolist() == ([0] if events == 1 else [0, 3 + gap])
    assert ev["len"].tolist() == ([6 + gap] if events == 1 else [3, 3])


def test_an_event_is_the_precision_weighted_blink_with_summed_photons():
    locs = one_site([4, 5, 6, 7])
    locs["lpx"] = [0.01, 0.02, 0.02, 0.04]
    locs.loc[1, "flag"] = 2  # not a measurement: left out
    ev = g2.link(locs)
    assert len(ev) == 1 and ev.n[0] == 3 and ev["len"][0] == 4 and ev.frame[0] == 4 and ev.flag[0] == 0
    good = locs[locs.flag == 0]
    w = 1 / good.lpx**2
    assert ev.x[0] == pytest.approx((w * good.x).sum() / w.sum())
    assert ev.lpx[0] == pytest.approx(1 / np.sqrt(w.sum()))
    assert ev.photons[0] == pytest.approx(good.photons.sum())
    assert ev.photons_se[0] == pytest.approx(20 * np.sqrt(3))
    assert list(ev.columns[-2:]) == ["len", "n"] and ev["len"].dtype == np.int64
    assert ev.attrs["steps"][-1]["events"] == 1


def test_linking_follows_each_emitter_and_counts_the_blinks():
    # Two emitters 6 standard deviations of a difference apart, on together
    # for 30 frames: no event joins them.
    a, b = one_site(range(30), x=10.0, seed=1), one_site(range(30), x=10.0 + 6 * 0.02 * np.sqrt(2), seed=2)
    both = pd.concat([a, b], ignore_index=True)
    labels, n = link_labels(both.x.to_numpy(), both.y.to_numpy(), both.frame.to_numpy(), sigma=both.lpx.to_numpy())
    assert set(labels[:30]).isdisjoint(labels[30:]) and n <= 4
    # A blinking table: the events are its blinks, give or take a few percent.
    locs, site, blink = blinking(n_frames=2000, n_sites=200, seed=3)
    ev = g2.link(locs)
    blinks = len(np.unique(blink))
    assert abs(len(ev) / blinks - 1) < 0.05 and ev.n.sum() == len(locs)


@pytest.mark.parametrize("max_dark", [0, 1, 3])
def test_an_event_is_a_chain_in_time(max_dark):
    # Crowded: 40 sites in 6 x 6 px, precisions from 0.02 to 0.2 px; every
    # event holds at most one row a frame, its frames no further apart
    # than max_dark + 1, and every row is in exactly one event.
    locs, _, _ = blinking(n_frames=500, n_sites=40, field=6.0, on=8.0, seed=12,
                          sigma=np.random.default_rng(13).uniform(0.02, 0.2, 40))
    labels, n = link_labels(locs.x.to_numpy(), locs.y.to_numpy(), locs.frame.to_numpy(), sigma=locs.lpx.to_numpy(),
                            max_dark_frames=max_dark)
    assert sorted(np.unique(labels)) == list(range(n))
    order = np.lexsort((locs.frame.to_numpy(), labels))
    lab, fr = labels[order], locs.frame.to_numpy()[order]
    same = lab[1:] == lab[:-1]
    step = np.diff(fr)[same]
    assert (step >= 1).all() and (step <= max_dark + 1).all()
    first = np.r_[True, ~same]
    assert (np.argsort(fr[first], kind="stable") == np.arange(n)).all()  # numbered by their first frame


def test_a_fixed_radius_and_what_linking_refuses():
    locs = one_site([0, 1, 2], sigma=0.0)
    locs.loc[2, "x"] += 0.3
    assert g2.link(locs, radius=0.5).n.tolist() == [3]
    assert g2.link(locs, radius=0.2).n.tolist() == [2, 1]
    no_precision = locs.assign(lpx=np.nan)
    assert g2.link(no_precision, radius=0.5).lpx.isna().all()  # positions the plain mean
    with pytest.raises(ValueError, match="have no precision .* give a radius"):
        g2.link(no_precision)
    for radius in (0, -1, np.nan):
        with pytest.raises(ValueError, match="radius must be positive"):
            g2.link(locs, radius=radius)
    with pytest.raises(ValueError, match="max_dark_frames must be at least 0"):
        g2.link(locs, max_dark_frames=-1)
    with pytest.raises(ValueError, match="no frame column"):
        g2.link(locs.drop(columns="frame"))
    empty = g2.link(locs.assign(flag=1))
    assert len(empty) == 0 and list(empty.columns) == list(g2.COLUMNS) + ["len", "n"]


def test_frame_numbers_however_large_or_sparse():
    # A pause of 2^50 frames in the middle links and pairs as one of 10 does.
    locs, _, _ = blinking(n_frames=600, seed=9)
    later = locs.frame >= 300
    near, far = locs.assign(frame=locs.frame + 10 * later), locs.assign(frame=locs.frame + 2**50 * later)
    assert g2.link(far).n.tolist() == g2.link(near).n.tolist()
    assert g2.nena(far).precision == g2.nena(near).precision
    with pytest.raises(ValueError, match="frames run from 0 to .* are the frame numbers right"):
        g2.correct_drift(far)


# ---- NeNA, FRC --------------------------------------------------------------------------


def test_nena_measures_a_known_precision():
    locs, _, _ = blinking(n_frames=3000, sigma=0.05, seed=4)
    r = g2.nena(locs)
    assert r.precision == pytest.approx(0.05, rel=0.1) and r.precision_nm == pytest.approx(r.precision * PIXEL_NM)
    assert r.ratio == pytest.approx(1.0, rel=0.1)
    assert g2.nena(locs, classic=True).precision == pytest.approx(0.05, rel=0.1)
    assert g2.nena(locs, pixel_size_nm=50).precision_nm == pytest.approx(r.precision * 50)
    # Precisions that vary from site to site: the mean of them.
    sigma = np.where(np.arange(150) % 2, 0.03, 0.08)
    mixed, site, _ = blinking(n_frames=3000, sigma=sigma, seed=5)
    assert g2.nena(mixed).precision == pytest.approx(sigma[site].mean(), rel=0.1)


def test_frc_of_a_known_structure_falls_in_a_sensible_band():
    rng = np.random.default_rng(6)
    sites = rng.uniform(1, 31, (4000, 2))
    frame = rng.integers(0, 1000, 40000)
    res = []
    for sigma in (0.05, 0.15):
        xy = sites[rng.integers(0, 4000, frame.size)] + rng.normal(0, sigma, (frame.size, 2))
        locs = pd.DataFrame({"frame": frame, "x": xy[:, 0], "y": xy[:, 1], "lpx": sigma, "lpy": sigma})
        r = g2.frc(locs, pixel_size_nm=PIXEL_NM)
        assert 2 * sigma < r.resolution < 8 * sigma
        assert r.resolution_nm == pytest.approx(r.resolution * PIXEL_NM) and r.curve[0] > 0.9
        res.append(r.resolution)
    assert res[1] > 2 * res[0]


@pytest.mark.parametrize("step", ["nena", "frc"])
def test_nena_and_frc_refuse_what_they_cannot_measure(step):
    fn = getattr(g2, step)
    locs, _, _ = blinking(n_frames=400)
    with pytest.raises(ValueError, match="no frame column"):
        fn(locs.drop(columns="frame"))
    with pytest.raises(ValueError, match="all .* in frame 3" if step == "nena" else "hold .* and 0 localisations"):
        fn(locs.assign(frame=3))
    with pytest.raises(ValueError, match="fewer than the 100 needed" if step == "nena" else "needs at least"):
        fn(locs.iloc[:50])
    with pytest.raises(ValueError, match="pixel_size must be positive"):
        fn(locs, pixel_size_nm=-1)
    if step == "nena":
        with pytest.raises(ValueError, match="is the table linked"):
            g2.nena(g2.link(locs))
    else:
        with pytest.raises(ValueError, match="bin_size must be positive"):
            g2.frc(locs, bin_size=0)


def test_pictures_are_pngs_written_whole(tmp_path):
    locs, _, _ = blinking(n_frames=1500, drift=linear)
    for result in (g2.nena(locs), g2.frc(locs)):
        out = tmp_path / "fig.png"
        result.save_png(out)
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        with pytest.raises(ValueError, match="ending in .png"):
            result.save_png(tmp_path / "fig.jpg")
    assert not (tmp_path / "fig.jpg").exists()


# ---- filtering -----------------------------------------------------------------


def test_filtering_keeps_the_rows_that_meet_every_criterion():
    from gauss2_fitter import schema

    cols = schema.empty_columns(6)
    cols.update(frame=np.arange(6), x=np.arange(6) + 0.5, y=np.full(6, 3.5), photons=np.array([100, 400, 800, 900,
                1e4, 500.0]), lpx=np.array([0.1, 0.1, 0.3, np.nan, 0.05, 0.1]), lpy=np.full(6, 0.1),
                sx=np.array([1.2, 0.5, 1.3, 1.4, 1.2, 1.1]), sy=np.full(6, 1.25), flag=np.array([0, 0, 0, 0, 6, 0]))
    locs = g2.RunMetadata(pixel_size=100.0).attach(schema.make_table(cols, 100.0))
    got = g2.filter_localizations(locs)
    assert got.frame.tolist() == [0, 1, 2, 3, 5]  # the flagged row goes by default
    assert g2.filter_localizations(locs, keep_flagged=True).frame.tolist() == list(range(6))
    assert g2.filter_localizations(locs, min_photons=400).frame.tolist() == [1, 2, 3, 5]
    # Precision: RMS of lpx and lpy in nm; an unknown one never passes.
    assert g2.filter_localizations(locs, max_precision_nm=15).frame.tolist() == [0, 1, 5]
    assert g2.filter_localizations(locs, sx_range=(1.0, 1.3), sy_range=(1.25, 1.25)).frame.tolist() == [0, 2, 5]
    both = g2.filter_localizations(locs, min_photons=450, sx_range=(0.6, 2), keep_flagged=True)
    assert both.frame.tolist() == [2, 3, 4, 5] and both.index.tolist() == [0, 1, 2, 3]
    step = g2.RunMetadata.from_attrs(both.attrs).steps[-1]
    assert step["step"] == "filter" and step["min_photons"] == 450 and (step["kept"], step["of"]) == (4, 6)
    assert not g2.RunMetadata.from_attrs(locs.attrs).steps  # the table given is left as it was
    for kwargs, exc, words in [({"max_precision_nm": 20, "metadata": g2.RunMetadata()}, ValueError, "pixel size"),
                               ({"sx_range": (2, 1)}, ValueError, "low <= high"),
                               ({"sx_range": 1.5}, TypeError, "pair"),
                               ({"min_photons": "many"}, TypeError, "min_photons"),
                               ({"keep_flagged": 1}, TypeError, "keep_flagged")]:
        with pytest.raises(exc, match=words):
            g2.filter_localizations(locs, **kwargs)
    with pytest.raises(ValueError, match="lacks the column"):
        g2.filter_localizations(locs.drop(columns="photons"), min_photons=1)
