"""The fit block by block: what the optimiser sees of a problem taken in
blocks is the full problem's chi2, gradient and Gauss-Newton matrix, and
the answer does not depend on how the points are cut."""

import re

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

import kelvara.fit.blocks as blocks  # noqa: E402
from kelvara import _core  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.fit.jacobians import tall_jacobian  # noqa: E402


def cooling(count=3, points=301, seed=4):
    rng = np.random.default_rng(seed)
    t = np.linspace(280.0, 370.0, points)
    curves = []
    for c_tot in (5e-6, 1e-5, 2e-5)[:count]:
        f = np.array(_core.temp_cooperative_model(t.tolist(), -95000.0, -180.0, 22000.0, c_tot, 1.0))
        curves.append(Curve(t, 0.1 + 0.8 * f + rng.normal(0, 0.004, t.size), c_tot))
    return curves


@pytest.fixture
def small_blocks(monkeypatch):
    """Blocks of about a hundred rows: several per curve."""
    monkeypatch.setattr(blocks, "BLOCK_CELLS", 1024)
    monkeypatch.setattr(blocks, "MIN_ROWS", 16)


@pytest.mark.parametrize("options", [{}, {"shared_amplitude": True, "baseline_slope": True}])
def test_the_compressed_problem_is_the_full_one(small_blocks, options):
    result = fit(cooling(), "cooperative", **options)
    problem = result._problem
    x = result._x.copy()
    x[problem.thermo_index[0]] += 300.0  # away from the minimum: a gradient to compare
    assert len(problem.blocks) > len(problem.curves)
    jacobian = tall_jacobian(problem, x)
    residuals = problem.model_minus_data(x)
    rho, r = problem.compressed(x)
    assert rho @ rho == pytest.approx(residuals @ residuals, rel=1e-10)
    assert np.allclose(r.T @ r, jacobian.T @ jacobian, rtol=1e-9, atol=1e-9 * np.abs(jacobian.T @ jacobian).max())
    assert np.allclose(r.T @ rho, jacobian.T @ residuals, rtol=1e-8, atol=1e-8 * np.abs(jacobian.T @ residuals).max())


@pytest.mark.parametrize("options", [{}, {"shared_amplitude": True, "baseline_slope": True},
                                     {"fix": {"baseline[1]": 0.1}, "aggregate_slope": True}])
def test_the_projection_matches_linear_least_squares(small_blocks, options):
    result = fit(cooling(), "cooperative", **options)
    problem = result._problem
    theta = result._x[problem.thermo_index]
    theta[0] += 300.0  # away from the minimum: a gradient to compare
    projection = problem.projection(theta)
    assert len(problem.chunks) > 1 and any(len(c.pieces) > 1 for c in problem.chunks)
    # The same baselines and amplitudes by a dense least-squares solve.
    fractions = problem.fractions(problem.thermo_values(theta))
    design = np.zeros((problem.n_points, len(problem.free_linear)))
    rhs = np.zeros(problem.n_points)
    for i, part in problem.blocks:
        rows = slice(problem.rows[i].start + part.start, problem.rows[i].start + part.stop)
        own, columns, rhs[rows] = problem._own_design(i, part, fractions[i][part], problem.observed[i])
        design[rows, columns] = own
    beta, chi2, *_ = np.linalg.lstsq(design, rhs, rcond=None)
    assert np.allclose(projection.beta, beta, rtol=1e-9)
    assert projection.chi2 == pytest.approx(float(chi2[0]), rel=1e-9)
    assert projection.rho @ projection.rho == pytest.approx(projection.chi2, rel=1e-9)
    # R is the Jacobian in the nonlinear parameters orthogonal to the design.
    x = result._x.copy()
    x[problem.thermo_index], x[problem.linear_index] = theta, projection.beta
    jacobian = tall_jacobian(problem, x)
    thermo, linear = jacobian[:, problem.thermo_index], jacobian[:, problem.linear_index]
    orthogonal = thermo - linear @ np.linalg.lstsq(linear, thermo, rcond=None)[0]
    residuals = problem.model_minus_data(x)
    r, rho = projection.factor, projection.rho
    assert np.allclose(r.T @ r, orthogonal.T @ orthogonal, rtol=1e-8, atol=0)
    assert np.allclose(r.T @ rho, orthogonal.T @ residuals, rtol=1e-7, atol=1e-9 * np.abs(r.T @ rho).max())


@pytest.mark.parametrize("model", ["cooperative", "vanderschoot"])
def test_the_answer_does_not_depend_on_the_blocks(monkeypatch, model):
    whole = fit(cooling(), model)
    monkeypatch.setattr(blocks, "BLOCK_CELLS", 1024)
    monkeypatch.setattr(blocks, "MIN_ROWS", 16)
    cut = fit(cooling(), model)
    assert cut.ok == whole.ok
    for name, p in whole.parameters.items():
        if p.determined:
            assert abs(cut.parameters[name].value - p.value) <= 1e-4 * p.stderr, name
            assert cut.parameters[name].stderr == pytest.approx(p.stderr, rel=1e-6), name


def test_buffers_are_let_go_and_made_again():
    result = fit(cooling(), "cooperative")
    problem = result._problem
    assert problem._fraction is None and problem._slopes == {}  # after the fit
    profiles = result.profile(["delta_h"])  # evaluates again, derivatives and all
    assert profiles["delta_h"].low < result.parameters["delta_h"].value < profiles["delta_h"].high


def test_the_noise_is_read_as_before():
    """The pooled noise variance kept by the problem is the median of the
    normalised values, as when they were kept whole."""
    from kelvara.fit.noise import noise_summary

    rng = np.random.default_rng(3)
    values = [rng.normal(0, 1, 500), rng.normal(0, 3, 300)]
    weights = [1.0, 1 / 3]
    variance, count = noise_summary(values, weights)
    expected = 1.4826 * np.median(np.abs(np.concatenate([v * w for v, w in zip(values, weights)])))
    assert count == 800 and variance == expected ** 2
    assert noise_summary([np.zeros(3)], None) == (None, 3)


def test_repeated_readings_are_dropped_as_before():
    """The first of each repeated (x, y) reading stays, in the curve's own
    order: what numpy's unique over the pairs keeps."""
    from kelvara.fit.noise import noise_per_point

    rng = np.random.default_rng(8)
    t = np.round(rng.uniform(280.0, 360.0, 400), 1)
    y = np.round(rng.normal(0.0, 1.0, t.size), 2)
    t[50:80], y[50:80] = t[10:40], y[10:40]  # recorded twice
    curve = Curve(t, y, 1e-5)
    _, first = np.unique(np.stack([t, y], axis=1), axis=0, return_index=True)
    keep = np.sort(first)
    expected = noise_per_point(Curve(t[keep], y[keep], 1e-5), y[keep])
    assert np.array_equal(noise_per_point(curve, y), expected)


@pytest.mark.parametrize("value, error, unit, shown", [
    (-94781.9, 208.742, "J/mol", ("-94.78", "0.21", "kJ/mol")),
    (-179.342, 0.621456, "J/(mol K)", ("-179.3", "0.6", "J/(mol K)")),
    (337.514, 0.0220646, "K", ("337.514", "0.022", "K")),
    (1.72891e7, 168432.0, "L/mol", ("1.729e+07", "1.7e+05", "L/mol")),
    (0.000361078, 4.17541e-05, "1", ("3.6e-04", "4e-05", "1")),
    (0.7999, 0.00104703, "signal", ("0.7999", "0.0010", "signal")),
    (123456.0, 9600.0, "1", ("123000", "10000", "1")),
    # The error's first three digits: to 354 two digits, 355 to 949 one, 950 up to 1000 and two.
    (1.23456, 0.0354, "1", ("1.235", "0.035", "1")),
    (1.23456, 0.0355, "1", ("1.23", "0.04", "1")),
    (1.23456, 0.0949, "1", ("1.23", "0.09", "1")),
    (1.23456, 0.0950, "1", ("1.23", "0.10", "1")),
    (1.234, 0.0996, "1", ("1.23", "0.10", "1")),
    (-246.47, 0.998, "1", ("-246.5", "1.0", "1")),
    (-95120.0, 1000.0, "1", ("-95100", "1000", "1")),
    (-0.001, 0.5, "1", ("0.0", "0.5", "1")),  # no negative zero
    (22242.2, float("nan"), "J/mol", ("22.2422", "n/a", "kJ/mol")),  # no error: six digits
])
def test_printed_values_are_rounded_to_their_errors(value, error, unit, shown):
    from kelvara.units import rounded as _rounded

    assert _rounded(value, error, unit) == shown


def test_the_summary_prints_enthalpies_in_kj_per_mol_to_their_errors():
    result = fit(cooling(), "cooperative")
    p = result.parameters["delta_h"]
    line = next(line for line in result.summary().splitlines() if line.startswith("delta_h "))
    value, error, unit = line.split()[1:]
    assert unit == "kJ/mol" and len(error.replace(".", "").lstrip("0")) == 2
    assert abs(float(value) * 1000 - p.value) <= 500 * 10.0 ** -len(value.partition(".")[2]) * (1 + 1e-9)
    assert result.to_dict()["parameters"]["delta_h"]["value"] == p.value  # the JSON keeps every digit


def test_the_command_prints_each_curve_rounded_to_its_errors():
    from kelvara.cli.fit import curve_table
    from kelvara.units import error_place

    result = fit(cooling(), "cooperative")
    table = curve_table(result).splitlines()
    baselines = [line.split()[-3] for line in table[1:]]  # baseline, amplitude, Te end each row
    errors = [result.parameters[f"baseline[{i}]"].stderr for i in range(len(baselines))]
    for i, (baseline, error) in enumerate(zip(baselines, errors)):
        assert abs(float(baseline) - result.parameters[f"baseline[{i}]"].value) <= 0.5 * 10.0 ** error_place(error)
    # one number of decimals down the column: the most any curve's error needs
    needed = max(max(-error_place(e), 0) for e in errors)
    assert {len(b.split(".")[1]) for b in baselines} == {needed}
    assert " µM " in table[1] and "e-0" not in table[1]  # c_tot in µM, not 5e-06


def test_the_curve_table_never_runs_values_together():
    from kelvara.tables import _columns

    rows = [["curve", "c_tot", "baseline (mdeg L/mol)", "Te (K)"],
            ["a very long sample name · CD", "5 µM", "-19.99999153", "37.500207"],
            ["b", "10 µM", "-1", "not determined"]]
    lines = _columns(rows).splitlines()
    assert [re.split(r"\s{2,}", line) for line in lines] == rows


def test_the_projected_problem_keeps_all_of_chi2_where_a_regressor_vanishes():
    """Where no monomer aggregates (an elongation constant far too small)
    the species' shares are zero at every point, and so their amplitudes'
    regressors: the projected problem still sees the whole chi2 (it once
    lost part of it, and a search could end at a chi2 of 0)."""
    result = fit(cooling(), "cooperative", baseline_slope=False, aggregate_slope=False, species_signals=True)
    problem = result._problem
    theta = result._x[problem.thermo_index].copy()
    theta[problem.free_thermo.index("delta_s")] -= 4000.0  # K smaller by e^481: no aggregate at all
    projected = problem.projection(theta)
    assert projected.chi2 > 100 * result.chi2 / problem.scale ** 2  # the transition is gone
    assert float(projected.rho @ projected.rho) == pytest.approx(projected.chi2, rel=1e-9)


@pytest.mark.parametrize("model", ["cooperative", "vanderschoot"])
def test_starts_screened_on_every_kth_point_reach_the_answer_of_all_points(monkeypatch, model):
    import kelvara.fit.search as search

    curves = cooling(points=1201)  # 3603 points: thinned to every second
    thinned = fit(curves, model, baseline_slope=False, aggregate_slope=False)
    monkeypatch.setattr(search, "_SCREEN_POINTS", 10**9)
    whole = fit(curves, model, baseline_slope=False, aggregate_slope=False)
    assert thinned.ok == whole.ok
    for name, p in whole.parameters.items():
        if p.determined:
            assert abs(thinned.parameters[name].value - p.value) <= 1e-3 * p.stderr, name
    assert thinned.starts[0] == whole.starts[0]  # the same starts, ranked on half the points
