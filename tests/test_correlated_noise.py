"""Noise correlated from point to point, as an instrument's time constant
makes it along a slow ramp: the errors allow for it, white noise keeps its
errors, and residuals that are not such noise are called a misfit."""

import json
import math
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

import kelvara.fit.blocks as blocks  # noqa: E402
from kelvara import _core  # noqa: E402
from kelvara.cli import main  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.fit.jacobians import tall_jacobian  # noqa: E402
from kelvara.fit.noise import _averaged_variance, local_noise_ratio, noise_per_point  # noqa: E402
from kelvara.fit.bootstrap import _resampled  # noqa: E402

from helpers import write_cooling_run  # noqa: E402

KELVIN = np.linspace(363.15, 283.15, 401)  # a cooling ramp, in the order measured
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)
TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}


def ar1(rng, n, rho, sd):
    """AR(1) noise of marginal SD `sd`, stationary from its first point."""
    out = np.empty(n)
    out[0] = rng.normal(0.0, sd)
    innovations = rng.normal(0.0, sd * math.sqrt(1.0 - rho * rho), n)
    for t in range(1, n):
        out[t] = rho * out[t - 1] + innovations[t]
    return out


def cooperative(c_tot, delta_h=-95000.0, delta_s=-180.0, delta_h_nuc=22000.0):
    return np.array(_core.temp_cooperative_model(KELVIN.tolist(), delta_h, delta_s, delta_h_nuc, c_tot, 1.0))


def cooling(rho, seed, kind="cooperative", sd=0.005):
    """Three cooling curves of the cooperative model (or of two pathways
    side by side: 65 % cooperative, 35 % a second, steeper assembly) under
    AR(1) noise."""
    rng = np.random.default_rng(seed)
    curves = []
    for c_tot in CONCENTRATIONS:
        f = cooperative(c_tot)
        if kind == "two pathways":
            f = 0.65 * f + 0.35 * cooperative(c_tot, -120000.0, -260.0, 25000.0)
        curves.append(Curve(KELVIN.copy(), 0.1 + f + ar1(rng, KELVIN.size, rho, sd), c_tot))
    return curves


def quiet_fit(*args, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fit(*args, **options)


@pytest.mark.parametrize("rho", [0.5, 0.9, 0.95])
def test_errors_match_the_scatter_under_correlated_noise(rho):
    values = {name: [] for name in TRUTH}
    errors = {name: [] for name in TRUTH}
    for seed in range(8):
        result = fit(cooling(rho, 100 + seed), "cooperative")
        assert result.ok, result.problems
        assert abs(result.noise_model.rho - rho) < 0.06
        for name, truth in TRUTH.items():
            p = result.parameters[name]
            assert abs(p.value - truth) < 3 * p.stderr, (seed, name, p.value, p.stderr)
            values[name].append(p.value)
            errors[name].append(p.stderr)
    for name in TRUTH:
        scatter = np.std(values[name], ddof=1)
        typical = math.sqrt(np.mean(np.square(errors[name])))
        # Eight seeds measure the scatter to about 25 %.
        assert 0.5 < scatter / typical < 1.8, (name, scatter, typical)


def test_white_noise_keeps_the_errors_of_independent_points():
    result = fit(cooling(0.0, 7), "cooperative")
    assert result.ok and result.noise_model.white
    problem, x = result._problem, result._x
    jacobian = tall_jacobian(problem, x)
    residuals = problem.model_minus_data(x)
    n, p = jacobian.shape
    covariance = np.linalg.inv(jacobian.T @ jacobian) * (residuals @ residuals) / (n - p)
    for j, name in enumerate(problem.free):
        if name in TRUTH:
            expected = math.sqrt(covariance[j, j]) * problem.external_slope(name, x[j])
            assert result.parameters[name].stderr == pytest.approx(expected, rel=1e-6)
    assert all(scale == 1.0 for scale in result._error_scales.values())
    assert not any("noise: residuals correlated" in note for note in result.notes)


@pytest.mark.parametrize("kind, model, rho", [
    ("two pathways", "cooperative", 0.0),
    ("two pathways", "cooperative", 0.9),
    ("two pathways", "cooperative", 0.95),
    ("cooperative", "isodesmic", 0.0),
    ("cooperative", "isodesmic", 0.9),
])
@pytest.mark.parametrize("seed", [100, 102])
def test_a_wrong_model_stays_not_ok_under_correlated_noise(kind, model, rho, seed):
    result = quiet_fit(cooling(rho, seed, kind), model)
    assert not result.ok
    assert any("structure in the residuals" in p for p in result.problems), result.problems
    assert "model" in result.failure and result.verdict.startswith("NOT OK: ")


@pytest.mark.parametrize("small", [False, True])
def test_the_middle_of_the_sandwich_is_the_sum_over_every_pair_of_points(monkeypatch, small):
    if small:
        monkeypatch.setattr(blocks, "BLOCK_CELLS", 1024)
        monkeypatch.setattr(blocks, "MIN_ROWS", 16)
    result = fit(cooling(0.8, 3), "cooperative", baseline_slope=True)
    problem, x = result._problem, result._x
    assert (len(problem.blocks) > len(problem.curves)) == small
    rho = [0.8, 0.0, 0.6]
    jacobian = tall_jacobian(problem, x)
    expected = np.zeros((jacobian.shape[1],) * 2)
    for i, rows in enumerate(problem.rows):
        j = jacobian[rows]
        lags = np.abs(np.subtract.outer(np.arange(j.shape[0]), np.arange(j.shape[0])))
        expected += j.T @ (rho[i] ** lags) @ j
    got = problem.correlated_gram(x, rho)
    assert np.allclose(got, expected, rtol=1e-9, atol=1e-10 * np.abs(expected).max())


def test_profiles_widen_with_the_errors():
    result = fit(cooling(0.9, 104), "cooperative")
    scale = result._error_scales["delta_h"]
    assert scale > 2.5
    profile = result.profile(["delta_h"])["delta_h"]
    half = 0.5 * (profile.high - profile.low)
    assert half == pytest.approx(1.96 * result.parameters["delta_h"].stderr, rel=0.3)


def test_the_bootstrap_keeps_the_noise_correlated():
    rng = np.random.default_rng(5)
    residuals = ar1(rng, 20000, 0.9, 1.0)
    drawn = _resampled(residuals, 0.9, np.random.default_rng(1))
    lag1 = float(drawn[1:] @ drawn[:-1] / (drawn @ drawn))
    assert lag1 == pytest.approx(0.9, abs=0.02)
    assert np.std(drawn) == pytest.approx(1.0, rel=0.1)
    # White noise: drawn as ever, one residual at a time.
    assert np.array_equal(_resampled(residuals, 0.0, np.random.default_rng(1)),
                          np.random.default_rng(1).choice(residuals, size=residuals.size, replace=True))


def test_bootstrap_intervals_are_as_wide_as_the_errors_under_correlated_noise():
    result = fit(cooling(0.9, 105), "cooperative")
    low, high = result.run_bootstrap(40, seed=2)["delta_h"]
    assert (high - low) / (2 * 1.96 * result.parameters["delta_h"].stderr) > 0.5


def test_the_local_noise_reads_correlated_noise_as_the_known_fraction():
    assert local_noise_ratio(0.0) == 1.0
    rng = np.random.default_rng(0)
    for rho in (0.5, 0.9):
        noise = ar1(rng, 200000, rho, 1.0)
        values = noise_per_point(Curve(np.arange(noise.size, dtype=float) + 300.0, noise, 1e-5), noise)
        assert np.var(noise) / np.mean(values * values) == pytest.approx(local_noise_ratio(rho), rel=0.05)


@pytest.mark.parametrize("rho, width", [(0.0, 5), (0.5, 3), (0.9, 17), (0.99, 41)])
def test_the_variance_of_averaged_noise(rho, width):
    lags = np.abs(np.subtract.outer(np.arange(width), np.arange(width)))
    assert _averaged_variance(rho, width) == pytest.approx(float(np.mean(rho ** lags)), rel=1e-12)


def test_readings_recorded_twice_in_a_row_are_not_read_as_correlation():
    once = cooling(0.0, 8)
    twice = [Curve(np.repeat(c.temperature, 2), np.repeat(c.signal, 2), c.c_tot) for c in once]
    result = fit(twice, "cooperative")
    assert result.ok, result.problems
    assert result.noise_model.white


def test_the_misfit_is_given_per_curve_in_percent_of_the_signal_change():
    right = fit(cooling(0.5, 106, sd=0.002), "cooperative")
    wrong = quiet_fit(cooling(0.5, 106, "two pathways", sd=0.002), "cooperative")
    for curve in right.curves:
        # Right model: the averaged residuals are the averaged noise.
        assert curve.misfit_percent["rms"] < 2.0 * curve.misfit_percent["noise"]
    assert max(c.misfit_percent["max"] for c in wrong.curves) > 2 * max(c.misfit_percent["max"] for c in right.curves)
    assert "% of a curve's signal change" in wrong.problems[0]


def test_the_command_reports_the_noise_and_its_exit_status(tmp_path, capsys):
    right = write_cooling_run(cooling(0.9, 107), tmp_path / "right.csv")
    wrong = write_cooling_run(cooling(0.9, 107, "two pathways"), tmp_path / "wrong.csv")
    assert main(["fit", str(right), "--json", str(tmp_path / "right.json")]) == 0
    out = capsys.readouterr().out
    assert "residuals correlated over about" in out and "misfit (residuals averaged over" in out
    saved = json.loads((tmp_path / "right.json").read_text())
    assert saved["ok"] and saved["noise_model"]["lag1_correlation"] > 0.8 and saved["failure"] == []
    assert all(c["misfit_percent"]["rms"] > 0 for c in saved["curves"])
    assert main(["fit", str(wrong), "--json", str(tmp_path / "wrong.json")]) == 1
    wrong_json = json.loads((tmp_path / "wrong.json").read_text())
    assert not wrong_json["ok"] and wrong_json["failure"] == ["model"]
    assert "(the model does not describe the data):" in capsys.readouterr().err


def test_the_noise_statistics_do_not_depend_on_the_pieces(monkeypatch):
    import kelvara.fit.noise as noise

    rng = np.random.default_rng(9)
    series = [ar1(rng, 1000, 0.7, 1.0), ar1(rng, 61, 0.7, 1.0)]
    curve = Curve(np.arange(1000.0) + 270.0, np.linspace(0.0, 1.0, 1000), 1e-5)
    model = noise.NoiseModel(0.7, 17.0 / 3.0, 0.7, 17.0 / 3.0, [0], None)
    whole = noise._innovations(series, 0.7), noise.misfit_percentages(curve, series[0], model, 1.0, 0)
    monkeypatch.setattr(noise, "_PIECE", 7)
    pieces = noise._innovations(series, 0.7), noise.misfit_percentages(curve, series[0], model, 1.0, 0)
    assert np.allclose(whole[0], pieces[0], rtol=1e-12)
    assert whole[1] == pytest.approx(pieces[1], rel=1e-12)
    # The innovations' first autocorrelation, directly.
    a = [r[1:] - 0.7 * r[:-1] for r in series]
    acf1 = sum(float(x[1:] @ x[:-1]) for x in a) / sum(float(x @ x) for x in a)
    assert whole[0][0] >= sum(x.size for x in a) * acf1 ** 2


@pytest.mark.parametrize("rho", [0.0, 0.5])
def test_under_a_misfit_the_noise_is_read_at_scales_the_misfit_does_not_reach(rho):
    result = quiet_fit(cooling(rho, 101, "two pathways", sd=0.002), "cooperative")
    assert result.noise_model.misfit is not None
    assert result.noise_model.noise_rho == pytest.approx(rho, abs=0.2)
    for curve in result.curves:
        # The misfit stands well above what the noise alone would leave.
        assert curve.misfit_percent["rms"] > 3 * curve.misfit_percent["noise"]


def test_the_figure_draws_and_names_the_misfit(tmp_path):
    pytest.importorskip("matplotlib")
    from kelvara.plot import fit_figure

    result = fit(cooling(0.9, 3), "cooperative")
    figure = fit_figure(result, result._problem.curves)
    residual_axis = figure.axes[1]
    assert len(residual_axis.lines) >= 2 * len(result.curves)  # points and averaged line per curve
    assert any("misfit 0." in text.get_text() for text in residual_axis.texts)


def test_the_noise_sd_reported_is_the_noise_s_own():
    for rho in (0.0, 0.9):
        result = fit(cooling(rho, 3), "cooperative")
        assert result.noise == pytest.approx(0.005, rel=0.15)


def smoothed(rng, n, kind, sd):
    """Noise as instrument software and spreadsheets leave it: white noise
    through a 3- or 5-point moving average or a Savitzky-Golay filter (9
    points, quadratic), or a second-order autoregression; marginal SD `sd`."""
    from scipy.signal import lfilter, savgol_filter

    e = rng.normal(0.0, 1.0, n + 40)
    if kind == "savitzky-golay 9/2":
        x = savgol_filter(e, 9, 2)
    elif kind == "AR(2) 0.9, -0.3":
        x = lfilter([1.0], [1.0, -0.9, 0.3], e)
    else:
        width = int(kind.split("-")[0])
        x = np.convolve(e, np.ones(width) / width, "same")
    x = x[20:20 + n]
    return sd * x / x.std()


def smoothed_cooling(kelvin, seed, kind, sd):
    """Cooling curves of the cooperative model at CONCENTRATIONS under smoothed noise."""
    rng = np.random.default_rng(seed)
    return [Curve(kelvin, 0.1 + 0.8 * np.array(_core.temp_cooperative_model(kelvin.tolist(), *TRUTH.values(), c_tot,
                                                                            1.0)) + smoothed(rng, kelvin.size, kind, sd),
                  c_tot) for c_tot in CONCENTRATIONS]


@pytest.mark.parametrize("kind", ["3-point moving average", "5-point moving average", "savitzky-golay 9/2",
                                  "AR(2) 0.9, -0.3"])
def test_smoothed_noise_is_noise_and_a_wrong_model_under_it_is_still_refused(kind):
    for seed in range(3):
        curves = smoothed_cooling(KELVIN[::2], 40 + seed, kind, 0.01)
        right = quiet_fit(curves, "cooperative")
        assert right.ok, (seed, right.problems)
        assert not any("shape the model misses" in note for note in right.notes)
        for name, truth in TRUTH.items():
            p = right.parameters[name]
            assert abs(p.value - truth) < 3 * p.stderr, (seed, name, p.value, p.stderr)
        wrong = quiet_fit(curves, "isodesmic")
        assert not wrong.ok and "structure" in wrong.to_dict()["problem_codes"], (seed, wrong.problems)


def white_on_drift(rng, n, sd):
    """White noise plus a slow first-order drift (lag-1 0.9) of the same
    variance: the commonest noise of a CD ramp."""
    drift = ar1(rng, n, 0.9, 1.0)
    return sd * (rng.normal(0.0, 1.0, n) + drift) / math.sqrt(2.0)


def test_white_noise_on_a_drift_is_noise_and_a_wrong_model_stays_a_misfit():
    rng = np.random.default_rng(21)
    curves = [Curve(KELVIN.copy(), 0.1 + cooperative(c) + white_on_drift(rng, KELVIN.size, 0.012), c)
              for c in CONCENTRATIONS]
    right = quiet_fit(curves, "cooperative")
    assert right.ok, right.problems
    assert right.noise_model.order > 1 and right.noise_model.error_scale > 1.5
    for name, truth in TRUTH.items():
        p = right.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, name
    assert not quiet_fit(curves, "isodesmic").ok


def test_short_curves_are_read_together_and_say_so():
    kelvin = np.linspace(363.15, 283.15, 37)  # variable-temperature spectra of 37 temperatures
    rng = np.random.default_rng(5)
    curves = [Curve(kelvin, 0.1 + np.array(_core.temp_cooperative_model(kelvin.tolist(), *TRUTH.values(), c, 1.0))
                    + ar1(rng, kelvin.size, 0.8, 0.01), c) for c in (2e-6, 5e-6, 1e-5, 2e-5, 5e-5)]
    result = quiet_fit(curves, "cooperative")
    assert result.noise_model.pooled and not result.noise_model.white
    assert any("read from the residuals along the curves together, each too short alone" in n for n in result.notes)
    few = quiet_fit([Curve(c.x[::3], c.signal[::3], c.c_tot) for c in curves[:2]], "cooperative")
    assert few.noise_model is None
    assert any("its correlation from point to point could not be read" in n for n in few.notes)


def test_compare_does_not_let_correlated_noise_buy_a_richer_mechanism():
    from kelvara.fit import compare

    rng = np.random.default_rng(102)
    curves = [Curve(KELVIN.copy(), 0.1 + 0.8 * np.array(_core.temp_isodesmic_model(
        KELVIN.tolist(), -100000.0, -240.0, c, 1.0)) + ar1(rng, KELVIN.size, 0.9, 0.01), c) for c in CONCENTRATIONS]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        comparison = compare(curves)
    assert not (comparison.evidence["decisive"] and comparison.best.model != "isodesmic"), comparison.headline
    assert "one likelihood for every model, of noise correlated" in comparison.summary()


def boxcar(rng, n, sd, width=9):
    """White noise averaged over `width` points, as an instrument's software smooths."""
    x = np.convolve(rng.normal(0.0, 1.0, n + width), np.ones(width) / width, "valid")[:n]
    return sd * x / x.std()


@pytest.mark.parametrize("kind", ["boxcar of 9", "proportional to the signal"])
def test_the_right_model_is_ok_under_the_noise_instruments_make(kind):
    rng = np.random.default_rng(31)
    curves = []
    for c in CONCENTRATIONS:
        f = cooperative(c)
        e = boxcar(rng, KELVIN.size, 0.01) if kind == "boxcar of 9" else rng.normal(0.0, 0.01, KELVIN.size) * (0.2 + f)
        curves.append(Curve(KELVIN.copy(), 0.1 + f + e, c))
    result = quiet_fit(curves, "cooperative")
    assert result.ok, result.problems
    for name, truth in TRUTH.items():
        p = result.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, name


@pytest.mark.parametrize("kind", ["5-point moving average", "savitzky-golay 9/2"])
def test_smoothed_noise_on_short_curves_is_noise_and_a_wrong_model_is_still_refused(kind):
    """37 temperatures each: noise smoothed over five to nine of them spans
    more than a seventh of a curve, which alone cannot tell it from a shape;
    noise is as large on the plateaus as in the transitions, a misfit is not."""
    for seed in range(4):
        curves = smoothed_cooling(np.linspace(363.15, 283.15, 37), 60 + seed, kind, 0.016)
        right = quiet_fit(curves, "cooperative")
        assert right.ok and right.noise_model.pooled, (seed, right.problems)
        wrong = quiet_fit(curves, "isodesmic")
        assert not wrong.ok and "structure" in wrong.to_dict()["problem_codes"], (seed, wrong.problems)


def test_boxcar_noise_on_curves_of_sixty_points_is_noise_and_a_wrong_model_is_still_refused():
    """61 temperatures: the spectrum of an autoregression read from so few
    points peaks anywhere for smoothed noise, so they are checked as short
    curves are (a boxcar of nine was called a misfit in 15 of 20 seeds)."""
    for seed in range(70, 73):
        curves = smoothed_cooling(np.linspace(363.15, 283.15, 61), seed, "9-point moving average", 0.016)
        right = quiet_fit(curves, "cooperative")
        assert right.ok and right.noise_model.rho > 0.5, (seed, right.problems)
        wrong = quiet_fit(curves, "isodesmic")
        assert not wrong.ok and "structure" in wrong.to_dict()["problem_codes"], (seed, wrong.problems)


def test_the_noise_of_time_traces_is_read_in_the_order_measured():
    from kelvara.fit.noise import fit_noise_model

    rng = np.random.default_rng(5)
    times = np.geomspace(0.5, 3000.0, 80)
    curves = [Curve.time_trace(times, np.zeros(times.size), 293.15, c) for c in CONCENTRATIONS]
    residuals = np.concatenate([boxcar(rng, times.size, 0.01, width=5) for _ in curves])
    rows = [np.arange(i * times.size, (i + 1) * times.size) for i in range(len(curves))]
    middle = [(times > 10.0) & (times < 500.0)] * len(curves)  # where the traces change
    model = fit_noise_model(curves, residuals, rows, 2, lambda: middle)
    assert model is not None and model.misfit is None and model.rho > 0.5
