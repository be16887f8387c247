"""The fit's array kernels: the same doubles as the model functions, exact
derivatives, and the fit's Jacobian from them."""

import math

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core, _kernels  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.fit.jacobians import numerical_jacobian, tall_jacobian  # noqa: E402
from kelvara.fit.points import Workspace  # noqa: E402
from kelvara.models import EXACT_STEPS, MODELS  # noqa: E402

ISODESMIC, COOPERATIVE, NUCLEUS, MIXED, DIRECT = range(5)


def solve(code, conc, k, sigma=None, k_iso=None, nuc_size=0, steps=EXACT_STEPS):
    """fraction, monomer, d/d ln k, d/d ln sigma, d/d ln k_iso."""
    outputs = [bytearray(8 * len(conc)) for _ in range(5)]

    def data(a):
        return None if a is None else np.ascontiguousarray(a, dtype=float).tobytes()

    given = {"k": k, "sigma": sigma, "k_iso": k_iso}
    slopes = {"k": outputs[2], "sigma": outputs[3], "k_iso": outputs[4]}
    names = next(names for number, names in _kernels.MODELS.values() if number == code)
    _kernels.solve(code, nuc_size, steps, data(conc), tuple(data(given[name]) for name in names), outputs[0],
                   outputs[1], tuple(slopes[name] for name in names))
    return [np.frombuffer(o) for o in outputs]


def bits(values):
    return np.asarray(values, dtype=float).view(np.int64)


def scalar(code, c, k, sigma, k_iso, n):
    """The model function of _core for one point (the dimer solver's guard
    answered by the nucleus solver with n = 2, as the fit does)."""
    if code == ISODESMIC:
        return _core.isodesmic_model(c, k, EXACT_STEPS)
    if code == DIRECT:
        return _core.isodesmic_model_direct(c, k)
    if code == NUCLEUS:
        return _core.cooperative_model_n(c, k, sigma, n, EXACT_STEPS)
    if code == MIXED:
        return _core.coop_iso_model(c, k_iso, k, sigma, EXACT_STEPS)
    try:
        return _core.cooperative_model(c, k, sigma, EXACT_STEPS)
    except ValueError:
        return _core.cooperative_model_n(c, k, sigma, 2, EXACT_STEPS)


def random_points(seed, size=300):
    rng = np.random.default_rng(seed)
    c = 10.0 ** rng.uniform(-9, -2, size)
    return (c, 10.0 ** rng.uniform(-18, 14, size) / c, 10.0 ** rng.uniform(-40, 0.3, size),
            10.0 ** rng.uniform(-6, 3, size) / c)


@pytest.mark.parametrize("code, nuc_size", [(ISODESMIC, 0), (COOPERATIVE, 0), (NUCLEUS, 2), (NUCLEUS, 5),
                                            (NUCLEUS, 60), (NUCLEUS, 300), (MIXED, 0), (DIRECT, 0)])
def test_fractions_are_the_model_functions_own_doubles(code, nuc_size):
    c, k, sigma, k_iso = random_points(code * 100 + nuc_size)
    # Edge cases among them: no constant, no nucleation, no cooperativity.
    k[:3] = 0.0
    sigma[3:6] = (0.0, 1.0, 1e-300)
    expected, failing = [], []
    for i, point in enumerate(zip(c, k, sigma, k_iso)):
        try:
            expected.append(scalar(code, *point, nuc_size))
        except ValueError as error:  # the mixed model's guards: the kernels raise the same
            failing.append(i)
            with pytest.raises(ValueError, match=str(error).replace("*", ".")):
                solve(code, *(a[i:i + 1] for a in (c, k, sigma, k_iso)), nuc_size)
    keep = np.setdiff1d(np.arange(c.size), failing)
    assert keep.size > 200
    fraction = solve(code, c[keep], k[keep], sigma[keep], k_iso[keep], nuc_size)[0]
    assert np.array_equal(bits(fraction), bits(expected))


@pytest.mark.parametrize("name, extra", [("isodesmic", ()), ("isodesmic_direct", ()), ("cooperative", ()),
                                         ("cooperative_n", (4,)), ("coop_iso", ())])
def test_a_fit_sees_the_temperature_models_doubles(name, extra):
    """Where the sweeps' 100 steps reach the fixed point (K c_tot from 1e-6
    to 1e8 here), the kernels give the sweeps' own doubles."""
    model = MODELS[name]
    thermo = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0, "delta_h_iso": -60000.0,
              "delta_s_iso": -110.0, "delta_h_coop": -95000.0, "delta_s_coop": -180.0, "delta_h_nuc_coop": 22000.0}
    values = {n: thermo[n] for n in model.thermo}
    temperatures = np.linspace(250.0, 380.0, 1301)
    for c_tot in (1e-6, 2e-5, 1e-4):
        points = Workspace(model, extra[0] if extra else None, temperatures.size + 7)
        sweep = model.function(temperatures.tolist(), *(values[n] for n in model.thermo), c_tot, 1.0, *extra)
        assert np.array_equal(bits(points.solve(values, temperatures, c_tot)), bits(sweep))


def test_weak_points_are_exact_where_100_steps_are_not():
    """Far below K c_tot = 1 the sweeps' 100 halvings of [0, 1/K] stop far
    from the root; the kernels reach the solvers' fixed point, where the
    fraction 1 - m / c_tot is K c_tot to within the rounding of that
    difference."""
    c = np.full(4, 1e-5)
    k = np.array([1e-15, 1e-20, 1e-25, 1e-30]) / c
    fraction = solve(ISODESMIC, c, k)[0]
    assert np.all(np.abs(fraction - k * c) <= 1e-15)
    swept = [_core.temp_isodesmic_model([300.0], -8.314 * 300.0 * math.log(kk), 0.0, 1e-5, 1.0)[0] for kk in k]
    assert max(abs(s - kk * 1e-5) for s, kk in zip(swept, k)) > 1e-9  # what the fit no longer sees


def test_the_monomer_closes_the_mass_balance():
    c, k, sigma, _ = random_points(7, 200)
    fraction, monomer, *_ = solve(COOPERATIVE, c, k, sigma)
    assert np.array_equal(bits(fraction), bits(1.0 - monomer / c))
    x = k * monomer
    ok = x < 1 - 1e-6
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        total = monomer + (sigma / k) * x * x * (2 - x) / (1 - x) ** 2
    assert np.allclose(total[ok], c[ok], rtol=1e-9)


# Derivatives against the mass balance solved in 120 digits and
# differentiated by central differences there.
def _balance(code, m, k, sigma, k_iso, n):
    x = k * m
    if code in (ISODESMIC, DIRECT):
        return m / (1 - x) ** 2
    if code == MIXED:
        return m / (1 - k_iso * m) ** 2 + (sigma / k) * x ** 2 * (2 - x) / (1 - x) ** 2
    head = x + sum(i * sigma ** (i - 1) * x ** i for i in range(2, n))
    return (head + sigma ** (n - 1) * x ** n * (n * (1 - x) + x) / (1 - x) ** 2) / k


def _exact_fraction(mp, code, c, k, sigma, k_iso, n):
    low, high = mp.mpf(0), 1 / k if code != MIXED else min(1 / k, 1 / k_iso)
    for _ in range(500):
        middle = (low + high) / 2
        if _balance(code, middle, k, sigma, k_iso, n) <= c:
            low = middle
        else:
            high = middle
    return 1 - (low + high) / 2 / c


@pytest.mark.parametrize("code, nuc_size, log_sigma", [
    (ISODESMIC, 2, (-6, 0)), (COOPERATIVE, 2, (-6, 0)), (NUCLEUS, 5, (-6, 0)), (NUCLEUS, 12, (-6, 0)),
    (MIXED, 2, (-6, 0)), (DIRECT, 2, (-6, 0)),
    # nucleation favoured
    (COOPERATIVE, 2, (0, 6)), (NUCLEUS, 3, (0, 12)), (NUCLEUS, 8, (0, 8)), (NUCLEUS, 12, (0, 4)), (MIXED, 2, (0, 6)),
])
def test_derivatives_agree_with_high_precision_differences(code, nuc_size, log_sigma):
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 120
    rng = np.random.default_rng(code + nuc_size + 100 * log_sigma[1])
    size = 6
    c = 10.0 ** rng.uniform(-7, -4, size)
    k = 10.0 ** rng.uniform(-3, 4, size) / c
    sigma = 10.0 ** rng.uniform(*log_sigma, size)
    k_iso = 10.0 ** rng.uniform(-3, 1, size) / c
    _, _, d_k, d_sigma, d_k_iso = solve(code, c, k, sigma, k_iso, nuc_size if code == NUCLEUS else 0)
    h = mp.mpf("1e-30")
    for i in range(size):
        point = [mp.mpf(float(v)) for v in (c[i], k[i], sigma[i], k_iso[i])]

        def slope(j):
            up, down = list(point), list(point)
            up[j] *= mp.exp(h)
            down[j] *= mp.exp(-h)
            return (_exact_fraction(mp, code, *up, nuc_size) - _exact_fraction(mp, code, *down, nuc_size)) / (2 * h)

        checks = [(d_k[i], 1)]
        if code in (COOPERATIVE, NUCLEUS, MIXED):
            checks.append((d_sigma[i], 2))
        if code == MIXED:
            checks.append((d_k_iso[i], 3))
        for got, j in checks:
            exact = float(slope(j))
            assert got == pytest.approx(exact, rel=1e-8, abs=1e-300), (i, j)


def test_derivatives_stay_finite_deep_in_the_polymer():
    """sigma of 1e-41 at K c_tot of 1 puts the free monomer within 1e-20 of
    1/K: the derivatives come from the balance itself, not from 1 - K m."""
    c = np.full(3, 5e-6)
    k = np.array([2e6, 2e7, 2e9])
    sigma = np.array([1e-41, 1e-41, 0.0])
    for code, n in ((COOPERATIVE, 0), (NUCLEUS, 12)):
        out = solve(code, c, k, sigma, nuc_size=n)
        assert all(np.all(np.isfinite(a)) for a in out)
        # The monomer is pinned at 1/K: the fraction moves as 1 - 1/(K c).
        assert out[2] == pytest.approx(1.0 / (k * c), rel=1e-6)


@pytest.mark.parametrize("arguments, error, text", [
    ((9, 0, 10, b"", (b"",), bytearray(), None, None), ValueError, "unknown model"),
    ((1, 0, 10, b"\0" * 8, (b"\0" * 8,), bytearray(8), None, None), ValueError,
     r"the inputs of the cooperative model are a tuple of 2 \(k, sigma\)$"),
    ((3, 0, 10, b"\0" * 8, [b"\0" * 8] * 3, bytearray(8), None, None), ValueError,
     r"the inputs of the coop_iso model are a tuple of 3 \(k, sigma, k_iso\)$"),
    ((1, 0, 10, b"\0" * 8, (b"\0" * 8, None), bytearray(8), None, None), ValueError, "the cooperative model needs sigma"),
    ((1, 0, 10, b"\0" * 8, (b"\0" * 8,) * 2, bytearray(8), None, (None,)), ValueError,
     r"the slopes of the cooperative model are a tuple of 2 \(k, sigma\) or None"),
    ((1, 0, 10, b"\0" * 16, (b"\0" * 16,) * 2, bytearray(16), None, (None, bytearray(8))), ValueError,
     "d_ln_sigma holds 1 values, conc 2"),
    ((0, 0, 10, b"\0" * 16, (b"\0" * 8,), bytearray(16), None, None), ValueError, "k holds 1 values, conc 2"),
    ((0, 0, 10, b"\0" * 12, (b"\0" * 12,), None, None, None), ValueError, "whole number"),
    ((0, 0, 10, b"\0" * 8, (b"\0" * 8,), b"\0" * 8, None, None), TypeError, "bytearray"),
    ((0, 0, 10, [0.0], (b"\0" * 8,), None, None, None), TypeError, "bytes"),
    ((0, 0, -1, b"", (b"",), None, None, None), ValueError, "non-negative"),
    ((2, 1, 10, np.ones(1).tobytes(), (np.ones(1).tobytes(),) * 2, None, None, None), ValueError,
     "Nucleation size must be at least 2."),
])
def test_bad_arguments_are_refused_in_words(arguments, error, text):
    with pytest.raises(error, match=text):
        _kernels.solve(*arguments)


def test_exp_is_the_library_function():
    values = np.array([-745.2, -1.5, 0.0, 1e-17, 0.3, 1.0, 88.7, 709.7, 710.0])
    out = bytearray(values.tobytes())
    _kernels.exp(out)
    got = np.frombuffer(out)
    assert np.array_equal(bits(got[:-1]), bits([math.exp(v) for v in values[:-1]]))
    assert got[-1] == math.inf
    with pytest.raises(TypeError):
        _kernels.exp(values.tobytes())


# The Jacobian of a fit against central differences of its residuals.
def _cooling(model="cooperative", count=3, seed=3):
    rng = np.random.default_rng(seed)
    t = np.linspace(280.0, 370.0, 181)
    curves = []
    for c_tot in (5e-6, 1e-5, 2e-5)[:count]:
        f = np.array(_core.temp_cooperative_model(t.tolist(), -95000.0, -180.0, 22000.0, c_tot, 1.0))
        curves.append(Curve(t, 0.1 + 0.8 * f + 0.01 * (t - 300) / 50 + rng.normal(0, 0.004, t.size), c_tot))
    return curves


CASES = {
    "cooperative with slopes": lambda: (_cooling(), "cooperative", {"baseline_slope": True, "aggregate_slope": True}),
    "isodesmic": lambda: (_cooling(), "isodesmic", {}),
    "isodesmic closed form": lambda: (_cooling(), "isodesmic_direct", {}),
    "nucleus of 4": lambda: (_cooling(), "cooperative_n", {"nuc_size": 4}),
    "species signals, nucleus of 4": lambda: (_cooling(), "cooperative_n", {"nuc_size": 4, "species_signals": True}),
    "species signals, dimer nucleus": lambda: (_cooling(), "cooperative", {"species_signals": True,
                                                                            "aggregate_slope": True}),
    "mixed": lambda: (_cooling(), "coop_iso", {}),
    "shared amplitude, extensive": lambda: (_cooling(), "cooperative", {"shared_amplitude": True,
                                                                         "extensive": True}),
    "van der Schoot": lambda: (_cooling(), "vanderschoot", {}),
    "sigmoid": lambda: (_cooling(), "isodesmic_sigmoid", {}),
    "stacked fraction": lambda: (_cooling(), "isodesmic", {"signal_model": "stacked", "baseline_slope": True}),
}


@pytest.mark.parametrize("case", CASES)
def test_the_exact_jacobian_is_the_residuals_derivative(case):
    curves, model, options = CASES[case]()
    result = fit(curves, model, **options)
    problem, x = result._problem, result._x
    exact = tall_jacobian(problem, x)
    numerical = numerical_jacobian(problem, x)
    scale = np.linalg.norm(numerical, axis=0)
    assert np.all(np.abs(exact - numerical) <= 1e-5 * scale + 1e-12), case


@pytest.mark.parametrize("kind", ["series", "denaturation", "joint"])
def test_the_exact_jacobian_of_series_and_denaturations(kind):
    from kelvara.models import concentration_fraction, constants

    rng = np.random.default_rng(5)
    if kind == "denaturation":
        f = np.linspace(0.0, 0.6, 61)
        model = MODELS["denaturation"]
        consts = constants(model, {"delta_g0": -50000.0, "m": 60000.0, "sigma": 0.01}, np.full(f.size, 298.15), f)
        y = 0.2 + 0.6 * concentration_fraction(model, consts, 1e-5) + rng.normal(0, 0.003, f.size)
        curves, name = [Curve.denaturation(f, y, 298.15, 1e-5)], "denaturation"
    else:
        c = np.logspace(-7, -4, 40)
        values = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
        curves = []
        for t in (298.15, 318.15):
            consts = constants(MODELS["cooperative"], values, np.full(c.size, t))
            y = 0.05 + 0.8 * concentration_fraction(MODELS["cooperative"], consts, c) + rng.normal(0, 0.004, c.size)
            curves.append(Curve.concentration_series(c, y, temperature=t))
        if kind == "series":
            curves = curves[:1]
        else:
            curves += _cooling(count=2)
        name = "cooperative"
    result = fit(curves, name)
    problem, x = result._problem, result._x
    exact, numerical = tall_jacobian(problem, x), numerical_jacobian(problem, x)
    assert np.all(np.abs(exact - numerical) <= 1e-5 * np.linalg.norm(numerical, axis=0) + 1e-12)


def test_fits_run_on_one_blas_thread(monkeypatch):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    import kelvara.fit.search as search

    seen = []
    refine = search._refine

    def watched(*args):
        seen.extend(p["num_threads"] for p in threadpoolctl.threadpool_info() if p["user_api"] == "blas")
        return refine(*args)

    monkeypatch.setattr(search, "_refine", watched)
    before = [p["num_threads"] for p in threadpoolctl.threadpool_info() if p["user_api"] == "blas"]
    fit(_cooling(), "cooperative")
    assert seen and set(seen) == {1}
    assert [p["num_threads"] for p in threadpoolctl.threadpool_info() if p["user_api"] == "blas"] == before


def test_vanderschoot_converges_and_names_the_curve_its_data_cannot_determine():
    """Seven cooling curves, the most concentrated with its Te above the
    highest temperature measured: the fit converges quickly, the other six
    curves are determined, and that curve's te, h_e and ka are reported as
    not determined (NOT OK), never as numbers."""
    from kelvara.models import GAS_CONSTANT

    rng = np.random.default_rng(1)
    kelvin = np.linspace(90.0, -5.0, 381) + 273.15
    curves = []
    for c_tot in (1e-6, 2e-6, 5e-6, 1e-5, 2e-5, 5e-5, 1e-4):
        f = np.array(_core.temp_cooperative_model(kelvin.tolist(), -95000.0, -180.0, 22000.0, c_tot, 1.0))
        curves.append(Curve(kelvin, -2.0 - 40.0 * f + rng.normal(0.0, 0.4, kelvin.size), c_tot))
    result = fit(curves, "vanderschoot")
    assert result.converged
    assert not result.ok
    undetermined = {p.split(" ")[0] for p in result.problems if "not determined" in p}
    # ka of 50 µM (1.3e-5 +- 2.2e-5) cannot be told from zero either.
    assert undetermined == {"te[6]", "h_e[6]", "ka[6]", "ka[5]"}
    for i, c_tot in enumerate((1e-6, 2e-6, 5e-6, 1e-5, 2e-5, 5e-5)):
        te = -95000.0 / (-180.0 + GAS_CONSTANT * math.log(c_tot))  # K(Te) c_tot = 1
        assert abs(result.parameters[f"te[{i}]"].value - te) < 3.0


def test_a_signal_handler_ends_a_long_kernel_call():
    """20,000 points of a nucleus too large for the tables take seconds; the
    kernels poll the caller's signal handlers every few thousand points."""
    import signal
    import time

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    size = 20000
    c, k, sigma = np.full(size, 1e-5), np.full(size, 1e5), np.full(size, 0.5)
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        start = time.perf_counter()
        with pytest.raises(Stop):
            solve(NUCLEUS, c, k, sigma, nuc_size=1000)
        assert time.perf_counter() - start < 1.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert solve(NUCLEUS, c[:3], k[:3], sigma[:3], nuc_size=5)[0][0] == _core.cooperative_model_n(
        1e-5, 1e5, 0.5, 5, EXACT_STEPS)  # and the module goes on working

