"""Global fits of synthetic cooling curves made by the models themselves."""

import json
import math
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.fit import Curve, FitOptions, celsius, compare, fit  # noqa: E402

TRUE = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)
NOISE = 0.005


def synthetic(model="cooperative", seed=7, thermo=None, nuc_size=None, points=200):
    """Three cooling curves (5 to 95 degrees C) at three concentrations."""
    rng = np.random.default_rng(seed)
    thermo = TRUE if thermo is None else thermo
    curves = []
    for i, c_tot in enumerate(CONCENTRATIONS):
        temps = celsius(np.linspace(5.0, 95.0, points))
        function = getattr(_core, "temp_" + {"cooperative": "cooperative_model",
                                             "isodesmic": "isodesmic_model",
                                             "cooperative_n": "cooperative_model_n"}[model])
        extra = (nuc_size,) if nuc_size else ()
        fraction = np.array(function(temps.tolist(), *thermo.values(), c_tot, 1.0, *extra))
        signal = 0.05 + 0.01 * i + (0.8 - 0.05 * i) * fraction + rng.normal(0.0, NOISE, points)
        curves.append(Curve(temps, signal, c_tot, label=f"{c_tot:g} M"))
    return curves


@pytest.fixture(scope="module")
def cooperative_fit():
    return fit(synthetic(), "cooperative")


def test_fit_recovers_the_true_parameters_within_three_standard_errors(cooperative_fit):
    result = cooperative_fit
    assert result.converged
    for name, true in TRUE.items():
        parameter = result.parameters[name]
        assert abs(parameter.value - true) < 3 * parameter.stderr, (name, parameter)
    assert result.curves is result.curve_results  # the results per curve, under their former name too
    for i, curve in enumerate(result.curve_results):
        assert curve.amplitude == pytest.approx(0.8 - 0.05 * i, abs=0.01)
        assert curve.baseline == pytest.approx(0.05 + 0.01 * i, abs=0.01)
    # The residuals are the noise: reduced chi-square near its variance.
    assert result.reduced_chi2 == pytest.approx(NOISE**2, rel=0.2)


def test_derived_values_follow_from_the_parameters(cooperative_fit):
    result = cooperative_fit
    h, s, nuc = (result.value(n) for n in ("delta_h", "delta_s", "delta_h_nuc"))
    for i, c_tot in enumerate(CONCENTRATIONS):
        te = h / (s + 8.314 * math.log(c_tot))
        assert result.derived[f"Te[{i}]"].value == pytest.approx(te)
        assert result.curves[i].te == pytest.approx(te)
        assert result.derived[f"sigma(Te)[{i}]"].value == pytest.approx(math.exp(-nuc / (8.314 * te)))
        # Te is known far better than dH or dS alone: their errors cancel.
        assert result.derived[f"Te[{i}]"].stderr < 0.5
    assert result.derived["dG(298.15 K)"].value == pytest.approx(h - 298.15 * s)
    k298 = math.exp(s / 8.314 - h / (8.314 * 298.15))
    assert result.derived["K(298.15 K)"].value == pytest.approx(k298)
    # Higher concentration, higher elongation temperature.
    assert result.curves[0].te < result.curves[1].te < result.curves[2].te
    # The nucleation step's own enthalpy, as papers publish it: the sum, its error from the covariance.
    i, j = result.free.index("delta_h"), result.free.index("delta_h_nuc")
    absolute = result.derived["delta_h_n"]
    assert absolute.value == pytest.approx(h + nuc, rel=1e-12)
    cov = result.covariance
    assert absolute.stderr == pytest.approx(math.sqrt(cov[i, i] + cov[j, j] + 2 * cov[i, j]), rel=1e-3)
    assert result.derived["delta_s_n"].value == pytest.approx(s)  # delta_s_nuc is 0 here


def test_a_published_absolute_nucleation_enthalpy_is_entered_as_printed(cooperative_fit):
    h, s, nuc = (cooperative_fit.value(n) for n in ("delta_h", "delta_s", "delta_h_nuc"))
    given = fit(synthetic(), "cooperative", fix={"delta_h": h, "delta_s": s, "delta_h_n": h + nuc})
    assert given.value("delta_h_nuc") == pytest.approx(nuc, rel=1e-12) and given.parameters["delta_h_nuc"].fixed
    assert given.chi2 == pytest.approx(cooperative_fit.chi2, rel=1e-6)  # the same curves: the free fit's minimum


def test_delta_h_and_delta_s_are_strongly_correlated(cooperative_fit):
    result = cooperative_fit
    i, j = result.free.index("delta_h"), result.free.index("delta_s")
    assert result.correlation[i, j] > 0.99
    assert "correlation" in result.summary()


def test_standard_errors_agree_with_the_bootstrap_spread(cooperative_fit):
    result = cooperative_fit
    intervals = result.run_bootstrap(resamples=120, seed=3, progress=False)
    for name in TRUE:
        spread = float(np.std(result.bootstrap_samples[name]))
        assert 1 / 1.5 < spread / result.parameters[name].stderr < 1.5, name
        low, high = intervals[name]
        assert low < result.value(name) < high


def test_threads_bootstrapping_one_result_get_what_one_run_gets(cooperative_fit):
    import threading

    alone = cooperative_fit.run_bootstrap(8, seed=5, progress=False)
    got = []
    threads = [threading.Thread(target=lambda: got.append(cooperative_fit.run_bootstrap(8, seed=5, progress=False)))
               for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert got == [alone] * 3


def test_the_true_model_wins_the_comparison():
    ranking = compare(synthetic(), ["isodesmic", "cooperative"])
    assert [r.model for r in ranking.results] == ["cooperative", "isodesmic"]
    assert ranking.results[1].aic - ranking.results[0].aic > 10
    assert ranking.results[1].bic > ranking.results[0].bic
    assert "dAIC" in ranking.summary()


@pytest.mark.parametrize("fits, decisive, words", [
    # within 2 of each other in AIC
    ([("cooperative", True, 100.0, 110.0), ("coop_iso", True, 101.5, 108.0)], False, "within 1.5"),
    # AIC and BIC prefer different models
    ([("coop_iso", True, 100.0, 120.0), ("cooperative", True, 105.0, 110.0)], False, "BIC prefers cooperative"),
    # clearly apart; a model that is not ok has no weight, whatever its AIC
    ([("cooperative", True, 100.0, 100.0), ("coop_iso", True, 110.0, 112.0), ("isodesmic", False, 50.0, 50.0)],
     True, "Akaike weight 0.99"),
])
def test_a_comparison_says_how_strong_the_evidence_is(fits, decisive, words):
    from types import SimpleNamespace

    from kelvara.fit.compare import Comparison

    comparison = Comparison([SimpleNamespace(model=m, ok=ok, aic=aic, bic=bic) for m, ok, aic, bic in fits])
    evidence = comparison.evidence
    assert evidence["decisive"] is decisive and words in comparison.headline
    assert comparison.headline.startswith(f"best: {fits[0][0]}")
    weights = evidence["akaike_weights"]
    assert set(weights) == {m for m, ok, _, _ in fits if ok} and sum(weights.values()) == pytest.approx(1.0)
    assert weights[fits[0][0]] == pytest.approx(1.0 / (1.0 + math.exp(-0.5 * (fits[1][2] - fits[0][2]))))
    assert min(evidence["delta_aic"][m] for m, ok, _, _ in fits if ok) == 0.0


def test_fixing_a_parameter_at_its_true_value_shrinks_the_others_errors(cooperative_fit):
    fixed = fit(synthetic(), "cooperative", fix={"delta_h_nuc": TRUE["delta_h_nuc"]})
    assert fixed.parameters["delta_h_nuc"].fixed
    assert fixed.value("delta_h_nuc") == TRUE["delta_h_nuc"]
    assert "delta_h_nuc" not in fixed.free
    for name in ("delta_h", "delta_s"):
        assert fixed.parameters[name].stderr < cooperative_fit.parameters[name].stderr


def test_fit_survives_a_start_where_the_model_raises_its_error():
    # delta_s = -6320 J/(mol K) makes K subnormal over the whole range: the
    # sweep raises.
    with pytest.raises(ValueError):
        _core.temp_cooperative_model([300.0], -95000.0, -6320.0, 22000.0, 1e-5, 1.0)
    result = fit(synthetic(), "cooperative", start={"delta_s": -6320.0})
    assert result.converged
    assert any("delta_s" in note for note in result.notes)
    assert abs(result.value("delta_h") - TRUE["delta_h"]) < 3 * result.parameters["delta_h"].stderr


def test_bounds_and_given_starts_are_respected():
    result = fit(synthetic(), "cooperative", start={"delta_h": -80000.0},
                 bounds={"delta_h_nuc": (0.0, 21000.0)})
    assert 0.0 <= result.value("delta_h_nuc") <= 21000.0
    assert result.parameters["delta_h_nuc"].bounds == (0.0, 21000.0)


def test_shared_amplitude_and_baseline_slope():
    result = fit(synthetic(), "cooperative", shared_amplitude=True, baseline_slope=True)
    assert "amplitude" in result.parameters and "amplitude[0]" not in result.parameters
    assert {"slope[0]", "slope[1]", "slope[2]"} <= set(result.parameters)
    assert len({c.amplitude for c in result.curves}) == 1


def test_a_fit_that_does_not_converge_says_so():
    with pytest.warns(RuntimeWarning, match="did not converge"):
        result = fit(synthetic(), "cooperative", max_nfev=3)
    assert not result.converged and not result.ok
    assert result.summary().splitlines()[:2] == [
        "NOT OK: the answer is not determined or not found; this fit is not to be trusted:",
        "  - the fit did not converge: stopped after 3 model evaluations (the cap given)",
    ]
    assert result.failure == ["answer"]
    data = result.to_dict()
    assert data["failure"] == ["answer"]
    assert data["statistics"]["converged"] is False and data["ok"] is False


def test_nucleus_size_scan_keeps_the_best():
    thermo = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 12000.0}
    curves = synthetic("cooperative_n", thermo=thermo, nuc_size=4)
    result = fit(curves, "cooperative_n", nuc_size=range(2, 7))
    assert result.nuc_size == 4
    assert set(result.nuc_size_scan) == {2, 3, 4, 5, 6}
    assert result.nuc_size_scan[4] == min(result.nuc_size_scan.values())


def test_isodesmic_tm_is_where_the_model_crosses_one_half():
    result = fit(synthetic("isodesmic", thermo={"delta_h": -70000.0, "delta_s": -110.0}), "isodesmic")
    h, s = result.value("delta_h"), result.value("delta_s")
    for i, c_tot in enumerate(CONCENTRATIONS):
        low, high = 250.0, 450.0  # the fraction falls with temperature
        for _ in range(60):
            middle = 0.5 * (low + high)
            low, high = (middle, high) if _core.temp_isodesmic_model([middle], h, s, c_tot, 1.0)[0] > 0.5 \
                else (low, middle)
        tm = result.derived[f"Tm[{i}]"]
        assert tm.value == pytest.approx(low, abs=1e-6) and 0 < tm.stderr < 1.0
        assert tm.unit == "K"


def test_every_model_fits_its_own_data():
    for model, function in [("isodesmic", "isodesmic"), ("isodesmic_direct", "isodesmic")]:
        curves = synthetic(function, thermo={"delta_h": -70000.0, "delta_s": -110.0})
        result = fit(curves, model)
        assert result.converged
        assert abs(result.value("delta_h") + 70000.0) < 3 * result.parameters["delta_h"].stderr
    mixed = fit(synthetic(), "coop_iso")
    assert mixed.converged
    assert mixed.chi2 <= fit(synthetic(), "cooperative").chi2 * 1.001


def test_results_convert_to_json():
    result = fit(synthetic(), "cooperative")
    data = json.loads(json.dumps(result.to_dict()))
    assert set(data) >= {"model", "parameters", "curves", "derived", "statistics"}
    assert set(data["parameters"]["delta_h"]) == {"value", "stderr", "fixed", "at_bound", "unit", "label"}
    assert data["derived"]["Te[1]"]["label"] == f"Te ({result.labels[1]})" and "[" not in result.labels[1]
    assert set(data["statistics"]) >= {"chi2", "reduced_chi2", "aic", "bic", "n_points", "converged"}
    assert data["statistics"]["n_points"] == 600
    assert data["curves"][0]["te"] > 273.15


def _curve(**changes):
    values = {"temperature": [300.0, 310.0, 320.0], "signal": [1.0, 0.5, 0.1], "c_tot": 1e-5}
    values.update(changes)
    return Curve(**values)


@pytest.mark.parametrize(
    "make, words",
    [
        (lambda: _curve(signal=[1.0, 0.5]), "3 temperatures but 2 signal values"),
        (lambda: _curve(signal=[1.0, math.nan, 0.1]), "signal is not finite at point 1"),
        (lambda: _curve(temperature=[300.0, math.inf, 320.0]), "temperature is not finite"),
        (lambda: _curve(c_tot=0.0), "total concentration must be positive"),
        (lambda: _curve(c_tot=-1e-5), "total concentration must be positive"),
        (lambda: _curve(c_tot=math.nan), "total concentration must be positive"),
        (lambda: _curve(temperature=[-3.0, 10.0, 20.0]), "positive kelvin"),
        (lambda: fit([_curve()], "cooperative"), "3 points cannot determine 5 free parameters"),
        (lambda: fit(synthetic(), "cooperative", fix={"delta_q": 1.0}), "unknown parameter 'delta_q'"),
        (lambda: fit(synthetic(), "cooperative", start={"amplitude[7]": 1.0}), "unknown parameter"),
        (lambda: fit(synthetic(), "helical"), "unknown model 'helical'"),
        (lambda: fit(synthetic(), "cooperative", nuc_size=3), "nuc_size applies to the cooperative_n"),
        (lambda: fit(synthetic(), "cooperative_n", nuc_size=1), "nuc_size must be 2 or more"),
        (lambda: fit(synthetic(), "cooperative_n", nuc_size="25"), "a whole number or a range of them"),
        (lambda: fit(synthetic(), "cooperative_n", nuc_size=[2, "3"]), "a whole number or a range of them"),
        (lambda: fit(synthetic(), "cooperative_n", nuc_size=object()), "a whole number or a range of them"),
        (lambda: fit(synthetic(), "cooperative_n", nuc_size=range(2, 10 ** 20)), "sizes from 2 to 100"),
        (lambda: fit(synthetic(), "cooperative", FitOptions(), search=False), "either as FitOptions or as keywords"),
        (lambda: fit(synthetic(), "cooperative", {"search": False}), "options must be FitOptions, not dict"),
        (lambda: fit(synthetic(), "cooperative", bounds={"delta_h": (0.0, -1.0)}), "bounds of 'delta_h' are empty"),
        (lambda: fit(synthetic(), "cooperative", fix={"delta_h": "-9e4 J"}), "fix of 'delta_h' must be a number"),
        (lambda: fit(synthetic(), "cooperative", bounds={"delta_h": -1.0}), "bounds of 'delta_h' must be a pair"),
        (lambda: fit(synthetic(), 3), "model must be a model's name"),
    ],
)
def test_bad_input_is_refused_before_fitting(make, words):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
            make()


def test_results_serve_notebooks_and_tables(cooperative_fit):
    pytest.importorskip("pandas")
    frame = cooperative_fit.to_frame()
    assert frame.loc["delta_h", "unit"] == "J/mol" and frame.loc["Te[0]", "kind"] == "derived"
    assert "<table" in cooperative_fit._repr_html_() and "delta_h_nuc" in cooperative_fit._repr_html_()
    assert "<td>kJ/mol</td>" in cooperative_fit._repr_html_()  # rounded to the errors, as printed
    with pytest.raises(TypeError, match="curve_index must be an integer"):
        cooperative_fit.predict(0, [300.0, 310.0])  # arguments swapped
    with pytest.raises(IndexError, match="the fit has 3 curves"):
        cooperative_fit.predict([300.0], 3)


def test_the_result_shows_its_data_fitted_values_and_fraction(cooperative_fit):
    result = cooperative_fit
    assert result.thermodynamic == ["delta_h", "delta_s", "delta_h_nuc", "delta_s_nuc"]
    for i, (curve, fitted) in enumerate(zip(result.data, result.curves)):
        assert np.allclose(result.fitted(i) - curve.signal, fitted.residuals, rtol=0, atol=1e-12)  # model - data
        x = np.linspace(curve.x.min(), curve.x.max(), 7)
        # signal = baseline + amplitude * fraction, curve by curve
        assert np.allclose(result.eval(x, i), fitted.baseline + fitted.amplitude * result.fraction(x, i),
                           rtol=1e-12, atol=1e-12)
        assert np.all((result.fraction(x, i) >= 0.0) & (result.fraction(x, i) <= 1.0))
    assert result.fitted_as_logarithm("delta_h") is False


@pytest.mark.parametrize("model, values, extra", [
    ("isodesmic", {"delta_h": -70000.0, "delta_s": -110.0}, ()),
    ("cooperative", TRUE, ()),
    ("cooperative_n", {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 12000.0}, (4,)),
    ("coop_iso", {"delta_h_iso": -60000.0, "delta_s_iso": -100.0, "delta_h_coop": -95000.0,
                  "delta_s_coop": -180.0, "delta_h_nuc_coop": 22000.0}, ()),
])
def test_degree_of_polymerisation_agrees_with_a_sum_over_the_species(model, values, extra):
    from kelvara.models import GAS_CONSTANT, MODELS, degree_of_polymerisation

    c_tot, temps = 1e-5, [335.0, 345.0, 355.0, 365.0]
    fraction = MODELS[model].function(temps, *values.values(), c_tot, 1.0, *extra)
    dp_n, dp_n_all = degree_of_polymerisation(model, values, temps, c_tot, fraction, *extra)
    for t, f, a, b in zip(temps, fraction, dp_n, dp_n_all):
        m = c_tot * (1.0 - f)

        def k(h, s):
            return math.exp(s / GAS_CONSTANT - h / (t * GAS_CONSTANT))

        if model == "coop_iso":
            ki, kc = k(values["delta_h_iso"], values["delta_s_iso"]), k(values["delta_h_coop"], values["delta_s_coop"])
            sigma = math.exp(-values["delta_h_nuc_coop"] / (t * GAS_CONSTANT))
            sizes = range(2, 10 + int(-46.0 / math.log(max(ki * m, kc * m))))  # to x^i < 1e-20
            species = [(ki * m) ** i / ki + sigma * (kc * m) ** i / kc for i in sizes]
        else:
            kk = k(values["delta_h"], values["delta_s"])
            sigma = math.exp(-values["delta_h_nuc"] / (t * GAS_CONSTANT)) if "delta_h_nuc" in values else 1.0
            n = extra[0] if extra else 2
            x = kk * m
            sizes = range(2, 10 + int(-46.0 / math.log(x)))  # to x^i < 1e-20
            species = [sigma ** (min(i, n) - 1) * x ** i / kk for i in sizes]
        number, held = math.fsum(species), math.fsum(i * s for i, s in zip(sizes, species))
        assert a == pytest.approx(held / number, rel=1e-12)
        assert b == pytest.approx((m + held) / (m + number), rel=1e-12)


def test_sloping_aggregate_and_extensive_signals_are_recovered():
    rng = np.random.default_rng(5)
    temps = celsius(np.linspace(5.0, 95.0, 181))
    sloped, extensive = [], []
    for c_tot in CONCENTRATIONS:
        f = np.array(_core.temp_cooperative_model(temps.tolist(), *TRUE.values(), c_tot, 1.0))
        noise = rng.normal(0.0, NOISE, temps.size)
        sloped.append(Curve(temps, 0.05 + (0.8 - 0.004 * (temps - 298.15)) * f + noise, c_tot))
        # absorbance: 4e4 L/mol per unit of fraction, 1e3 L/mol of monomer, shared by every curve
        extensive.append(Curve(temps, c_tot * (1e3 + 4e4 * f) + noise / 5, c_tot))
    result = fit(sloped, "cooperative", aggregate_slope=True)
    assert result.ok, result.problems
    assert result.curves[0].aggregate_slope == pytest.approx(-0.004, abs=3 * result.parameters["aggregate_slope[0]"].stderr)
    result = fit(extensive, "cooperative", extensive=True, shared_amplitude=True)
    assert result.ok, result.problems
    amplitude = result.parameters["amplitude"]
    assert amplitude.unit == "signal L/mol" and abs(amplitude.value - 4e4) < 3 * amplitude.stderr
    for name, true in TRUE.items():
        assert abs(result.value(name) - true) < 3 * result.parameters[name].stderr


@pytest.mark.parametrize("model", ["isodesmic", "cooperative", "cooperative_n", "coop_iso"])
def test_the_fit_takes_enough_steps_where_k_c_tot_is_tiny(model):
    from kelvara.fit import MODELS
    from kelvara.fit.problem import FitProblem

    # K = exp(-923 / R + 3e5 / (R T)): 1e4 L/mol near 300 K, 1e-31 at 900 K, where 100 halvings
    # of [0, 1/K] leave the free monomer uncertain by far more than c_tot.
    temps = np.array([300.0, 302.0, 304.0, 306.0, 308.0, 310.0, 312.0, 900.0])
    curve = Curve(temps, np.zeros(temps.size), 1e-5)
    values = {"delta_h": -3e5, "delta_s": -923.0, "delta_h_nuc": 1e4, "delta_h_iso": -3e5, "delta_s_iso": -923.0,
              "delta_h_coop": -3e5, "delta_s_coop": -923.0, "delta_h_nuc_coop": 1e4}
    problem = FitProblem([curve], MODELS[model], 3 if model == "cooperative_n" else None, False, False, False,
                       {}, {}, {})
    fraction = problem.fraction(values, curve, curve.temperature)
    k = math.exp(-923.0 / 8.314 - -3e5 / (900.0 * 8.314))
    sigma = math.exp(-1e4 / (8.314 * 900.0))
    exact = {"isodesmic": lambda: _core.isodesmic_model(1e-5, k, 5000),
             "cooperative": lambda: _core.cooperative_model(1e-5, k, sigma, 5000),
             "cooperative_n": lambda: _core.cooperative_model_n(1e-5, k, sigma, 3, 5000),
             "coop_iso": lambda: _core.coop_iso_model(1e-5, k, k, sigma, 5000)}[model]()
    assert fraction[-1] == exact and abs(exact) < 1e-15  # 1 - m / c_tot with m rounded to c_tot
    thermo = [values[n] for n in MODELS[model].thermo]
    raw = MODELS[model].function(temps.tolist(), *thermo, 1e-5, 1.0, *((3,) if model == "cooperative_n" else ()))
    assert raw[-1] != exact  # the sweep's 100 steps alone are not enough there
    assert list(fraction[:-1]) == raw[:-1]  # and are left alone elsewhere


def test_a_polish_that_worsens_the_refined_minimum_does_not_replace_it(monkeypatch):
    from kelvara.fit.problem import FitProblem

    kelvin = np.linspace(280.0, 370.0, 121)
    curves = [Curve(kelvin, 0.05 + 0.8 * np.array(_core.temp_cooperative_model(
        kelvin.tolist(), -95000.0, -180.0, 22000.0, c_tot, 1.0)), c_tot) for c_tot in (5e-6, 2e-5)]
    honest = fit(curves, "cooperative", baseline_slope=False, aggregate_slope=False)
    solve = FitProblem.solve

    def astray(self, x0, *args, **kwargs):
        result = solve(self, x0, *args, **kwargs)
        result.x = result.x + 0.3 * np.abs(result.x) + 0.1  # "converged", far off
        return result

    monkeypatch.setattr(FitProblem, "solve", astray)
    kept = fit(curves, "cooperative", baseline_slope=False, aggregate_slope=False)
    assert kept.converged and kept.chi2 <= honest.chi2 * (1 + 1e-6) + 1e-20
    assert kept.parameters["delta_h"].value == pytest.approx(-95000.0, rel=1e-4)


@pytest.mark.parametrize("model", ["isodesmic", "cooperative", "cooperative_n", "coop_iso", "vanderschoot",
                                   "isodesmic_sigmoid"])
def test_published_values_are_evaluated_with_only_the_signals_fitted(model):
    """Every thermodynamic (or per-curve) value fixed, as a paper gives
    them: the baselines and amplitudes alone are fitted, linearly, and the
    misfit is that of the fit that found those values."""
    kelvin = np.linspace(280.0, 370.0, 121)
    rng = np.random.default_rng(11)
    curves = [Curve(kelvin, 0.05 + 0.8 * np.array(_core.temp_cooperative_model(
        kelvin.tolist(), -95000.0, -180.0, 22000.0, c_tot, 1.0)) + rng.normal(0, 0.004, kelvin.size), c_tot)
        for c_tot in (5e-6, 2e-5)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        found = fit(curves, model)
        slopes = {c.option: c.kept for c in found.choices}
        published = {n: p.value for n, p in found.parameters.items() if n in found._problem.nonlinear_set}
        evaluated = fit(curves, model, fix=published, **slopes)
    assert evaluated.free == [n for n in found.free if n not in published]
    assert evaluated.chi2 == pytest.approx(found.chi2, rel=1e-6)
    assert evaluated.converged
    # A value the data left undetermined is given now: only the misfit can fail.
    assert {p.code for p in evaluated.problems} <= {p.code for p in found.problems} - {"not_determined"}


def test_a_results_own_options_fit_it_again_to_the_same_doubles():
    curves = synthetic()
    first = fit(curves, "cooperative", fix={"delta_s_nuc": 0.0}, bounds={"delta_h": (-2e5, -1e4)}, search=False)
    again = fit(curves, "cooperative", first.options)
    assert again.options == first.options
    assert [p.value for p in again.parameters.values()] == [p.value for p in first.parameters.values()]
