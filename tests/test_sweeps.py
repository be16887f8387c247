"""The temperature-dependent models: constants from dH and dS, swept over T."""

import math
import random

import pytest

import reference
from helpers import outcome, reference_outcome, same
from kelvara import _core
from reference import COOPERATIVE_ERROR, ISODESMIC_ERROR, NUCLEUS_ERROR

INF = math.inf
NAN = math.nan
TEMPS = [300.0, 320.0, 340.0, 360.0]
# delta_h, delta_s, delta_h_nuc of a typical cooperative polymer (J/mol, J/(mol K)).
COOP = (-100000.0, -200.0, 20000.0)


# Each sweep with a typical argument set (temp first) and its reference.
SWEEPS = {
    "temp_isodesmic_model_direct": ((-70000.0, -150.0, 1e-5, 1.0), None),
    "temp_isodesmic_model": ((-70000.0, -150.0, 1e-5, 1.0), reference.temp_isodesmic_model),
    "temp_cooperative_model": ((*COOP, 1e-5, 1.0), reference.temp_cooperative_model),
    "temp_cooperative_model_n": ((*COOP, 1e-5, 1.0, 4), reference.temp_cooperative_model_n),
    "temp_coop_iso_model": (
        (-60000.0, -100.0, *COOP, 1e-5, 1.0),
        reference.temp_coop_iso_model,
    ),
}


@pytest.mark.parametrize("name", SWEEPS)
def test_empty_list_gives_an_empty_list_whatever_the_parameters(name):
    function = getattr(_core, name)
    args, _ = SWEEPS[name]
    assert function([], *args) == []
    nan_args = [NAN] * len(args)
    if name == "temp_cooperative_model_n":
        nan_args[-1] = 0  # an invalid nucleus size is not even looked at
    assert function([], *nan_args) == []


@pytest.mark.parametrize("name", SWEEPS)
def test_scaler_multiplies_every_value(name):
    function = getattr(_core, name)
    args, _ = SWEEPS[name]
    one = function(TEMPS, *args)
    scaled_args = list(args)
    scale_index = len(args) - 2 if name == "temp_cooperative_model_n" else len(args) - 1
    for scaler in (2.0, -0.5, 1e-3):
        scaled_args[scale_index] = scaler
        assert function(TEMPS, *scaled_args) == [scaler * v for v in one]
    scaled_args[scale_index] = 0.0
    assert function(TEMPS, *scaled_args) == [0.0] * len(TEMPS)


@pytest.mark.parametrize("name", [n for n in SWEEPS if SWEEPS[n][1] is not None])
def test_sweep_matches_the_reference_bit_for_bit(name):
    function = getattr(_core, name)
    args, ref = SWEEPS[name]
    rng = random.Random(name)
    for _ in range(12):
        temps = [rng.uniform(250.0, 400.0) for _ in range(rng.randint(1, 9))]
        jittered = [a * rng.uniform(0.8, 1.2) if isinstance(a, float) else a for a in args]
        assert same(outcome(function, temps, *jittered), reference_outcome(ref, temps, *jittered))


def test_direct_sweep_is_the_direct_formula_at_each_temperature():
    delta_h, delta_s, c_tot, scaler = -70000.0, -150.0, 1e-5, 3.0
    temps = [250.0 + 2.5 * i for i in range(61)]
    expected = [
        scaler * _core.isodesmic_model_direct(c_tot, reference.equilibrium_constant(delta_h, delta_s, t))
        for t in temps
    ]
    assert _core.temp_isodesmic_model_direct(temps, delta_h, delta_s, c_tot, scaler) == expected


@pytest.mark.parametrize(
    "sweep, solver",
    [
        (_core.temp_isodesmic_model, lambda c, k, s: _core.isodesmic_model(c, k, 100)),
        (_core.temp_isodesmic_model_direct, lambda c, k, s: _core.isodesmic_model_direct(c, k)),
    ],
)
def test_isodesmic_sweeps_equal_their_solver_per_temperature(sweep, solver):
    delta_h, delta_s, c_tot = -60000.0, -90.0, 2e-5
    temps = [273.15 + t for t in range(0, 100, 3)]
    got = sweep(temps, delta_h, delta_s, c_tot, 1.0)
    assert got == [solver(c_tot, reference.equilibrium_constant(delta_h, delta_s, t), None) for t in temps]


def test_cooperative_sweeps_equal_their_solvers_per_temperature():
    temps = [273.15 + t for t in range(0, 100, 3)]
    c_tot = 1e-5
    ks = [reference.equilibrium_constant(COOP[0], COOP[1], t) for t in temps]
    sigmas = [reference.sigma_at(COOP[2], t) for t in temps]
    assert _core.temp_cooperative_model(temps, *COOP, c_tot, 1.0) == [
        _core.cooperative_model(c_tot, k, s, 100) for k, s in zip(ks, sigmas)
    ]
    assert _core.temp_cooperative_model_n(temps, *COOP, c_tot, 1.0, 5) == [
        _core.cooperative_model_n(c_tot, k, s, 5, 100) for k, s in zip(ks, sigmas)
    ]
    k_isos = [reference.equilibrium_constant(-60000.0, -100.0, t) for t in temps]
    assert _core.temp_coop_iso_model(temps, -60000.0, -100.0, *COOP, c_tot, 1.0) == [
        _core.coop_iso_model(c_tot, ki, k, s, 100) for ki, k, s in zip(k_isos, ks, sigmas)
    ]


# --- the documented values ---------------------------------------------------


def test_isodesmic_sweeps_at_k_equal_one():
    assert _core.temp_isodesmic_model([300.0], 0.0, 0.0, 1.0, 2.0) == [1.2360679774997896]
    assert _core.temp_isodesmic_model_direct([300.0], 0.0, 0.0, 1.0, 2.0) == [1.2360679774997898]
    for sweep in (_core.temp_isodesmic_model, _core.temp_isodesmic_model_direct):
        assert sweep([250.0, 300.0, 250.0], 0.0, 0.0, 2.0, 1.0) == [0.75, 0.75, 0.75]


def test_isodesmic_sweep_fails_where_k_is_subnormal():
    assert outcome(_core.temp_isodesmic_model, [300.0, 1.0], 5986.08, 0.0, 1.0, 1.0) == (ISODESMIC_ERROR,)
    assert len(_core.temp_isodesmic_model([300.0], 5986.08, 0.0, 1.0, 1.0)) == 1
    # The direct sweep has no failure; at so tiny an X the fraction is ~2X.
    values = _core.temp_isodesmic_model_direct([300.0, 1.0], 5986.08, 0.0, 1.0, 1.0)
    assert len(values) == 2 and 0.0 < values[1] < 1e-312


def test_isodesmic_sweeps_where_k_underflows_to_zero():
    assert _core.temp_isodesmic_model([1.0], 6651.2, 0.0, 1.0, 1.0) == [-INF]
    assert math.isnan(_core.temp_isodesmic_model_direct([1.0], 6651.2, 0.0, 1.0, 1.0)[0])


@pytest.mark.parametrize("delta_h, iso_value", [(6651.2, -INF), (-100000.0, 1.0)])
def test_zero_temperature_is_not_rejected(delta_h, iso_value):
    # T = 0 makes K zero or infinite, and the direct formula NaN at both.
    assert _core.temp_isodesmic_model([0.0], delta_h, 0.0, 1.0, 1.0) == [iso_value]
    assert math.isnan(_core.temp_isodesmic_model_direct([0.0], delta_h, 0.0, 1.0, 1.0)[0])


def test_cooperative_sweep_values():
    values = _core.temp_cooperative_model(TEMPS, *COOP, 1e-5, 1.0)
    assert values == pytest.approx([0.98918, 0.86835, 0.021433, 0.00034860], rel=5e-5)
    assert _core.temp_cooperative_model(TEMPS, *COOP, 1e-5, 2.0) == [2.0 * v for v in values]
    assert _core.temp_cooperative_model([0.0], *COOP, 1e-5, 3.0) == [3.0]


def test_cooperative_sweep_first_failure_discards_everything():
    args = (-100000.0, -100.0, 100000.0, 1e-3, 1.0)
    for t in (400.0, 350.0, 300.0):
        assert len(_core.temp_cooperative_model([t], *args)) == 1
    assert outcome(_core.temp_cooperative_model, [400.0, 350.0, 300.0, 250.0], *args) == (COOPERATIVE_ERROR,)


def test_zero_nucleation_enthalpy_is_the_sigma_one_model():
    temps = [280.0, 310.0, 350.0]
    got = _core.temp_cooperative_model(temps, -100000.0, -200.0, 0.0, 1e-5, 2.0)
    assert got == [
        2.0 * _core.cooperative_model(1e-5, reference.equilibrium_constant(-100000.0, -200.0, t), 1.0, 100)
        for t in temps
    ]


@pytest.mark.parametrize("nuc_size", [0, 1])
def test_cooperative_n_sweep_rejects_small_nuclei_at_the_first_temperature(nuc_size):
    assert outcome(_core.temp_cooperative_model_n, TEMPS, *COOP, 1e-5, 1.0, nuc_size) == (NUCLEUS_ERROR,)
    assert _core.temp_cooperative_model_n([], *COOP, 1e-5, 1.0, nuc_size) == []


def test_cooperative_n_sweep_with_n_two_equals_the_dimer_sweep():
    temps = [270.0 + 2.0 * i for i in range(60)]
    assert _core.temp_cooperative_model_n(temps, *COOP, 1e-5, 1.0, 2) == _core.temp_cooperative_model(
        temps, *COOP, 1e-5, 1.0
    )


def test_mixed_sweep_values():
    args = (-60000.0, -100.0, *COOP, 1e-5)
    values = _core.temp_coop_iso_model(TEMPS, *args, 1.0)
    assert values == pytest.approx([0.98918, 0.86836, 0.16390, 0.056760], rel=5e-5)
    assert _core.temp_coop_iso_model(TEMPS, *args, 2.0) == [2.0 * v for v in values]
    # A negligible isodesmic pathway leaves the cooperative sweep.
    weak = _core.temp_coop_iso_model(TEMPS, 0.0, -1000.0, *COOP, 1e-5, 1.0)
    assert weak == pytest.approx(_core.temp_cooperative_model(TEMPS, *COOP, 1e-5, 1.0), rel=1e-5)


def test_mixed_sweep_all_zero_enthalpies_and_entropies():
    assert _core.temp_coop_iso_model([300.0], 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0) == [0.6888921825340181]


def test_mixed_sweep_fails_at_a_later_temperature_with_its_own_message():
    args = (5986.08, 0.0, 5986.08, 0.0, 0.0, 1.0, 1.0)
    assert _core.temp_coop_iso_model([300.0], *args) == pytest.approx([0.23603], rel=1e-4)
    assert outcome(_core.temp_coop_iso_model, [300.0, 1.0], *args) == (ISODESMIC_ERROR,)


def test_repeated_temperatures_give_repeated_values_in_list_order():
    temps = [340.0, 300.0, 340.0, 320.0, 300.0]
    values = _core.temp_cooperative_model(temps, *COOP, 1e-5, 1.0)
    assert values[0] == values[2] and values[1] == values[4]
    assert values[1] > values[3] > values[0]


# --- physical properties -------------------------------------------------------

REALISTIC = [
    ("temp_isodesmic_model", (-80000.0, -150.0)),
    ("temp_isodesmic_model_direct", (-80000.0, -150.0)),
    ("temp_cooperative_model", (-90000.0, -180.0, 25000.0)),
    ("temp_cooperative_model_n", (-90000.0, -180.0, 25000.0)),
    ("temp_coop_iso_model", (-50000.0, -110.0, -90000.0, -180.0, 25000.0)),
]


@pytest.mark.parametrize("name, thermo", REALISTIC)
@pytest.mark.parametrize("c_tot", [2e-6, 1e-5, 5e-5])
def test_fraction_falls_with_temperature(name, thermo, c_tot):
    temps = [260.0 + 0.5 * i for i in range(301)]
    extra = (3,) if name == "temp_cooperative_model_n" else ()
    values = getattr(_core, name)(temps, *thermo, c_tot, 1.0, *extra)
    assert all(0.0 <= v <= 1.0 for v in values)
    assert all(a >= b for a, b in zip(values, values[1:]))
    assert values[0] > 0.5 > values[-1]


def test_cooperative_sweep_satisfies_the_mass_balance():
    delta_h, delta_s, delta_h_nuc, c_tot = -90000.0, -180.0, 25000.0, 1e-5
    temps = [280.0 + i for i in range(80)]
    for t, fraction in zip(temps, _core.temp_cooperative_model(temps, delta_h, delta_s, delta_h_nuc, c_tot, 1.0)):
        k = reference.equilibrium_constant(delta_h, delta_s, t)
        sigma = reference.sigma_at(delta_h_nuc, t)
        total = lambda m: reference.cooperative_total(m, k, sigma)
        assert reference.on_the_root(total, fraction, c_tot), t


def test_mixed_sweep_satisfies_the_mass_balance():
    dh_iso, ds_iso, dh, ds, dh_nuc, c_tot = -50000.0, -110.0, -90000.0, -180.0, 25000.0, 1e-5
    temps = [280.0 + i for i in range(80)]
    values = _core.temp_coop_iso_model(temps, dh_iso, ds_iso, dh, ds, dh_nuc, c_tot, 1.0)
    for t, fraction in zip(temps, values):
        k_iso = reference.equilibrium_constant(dh_iso, ds_iso, t)
        k = reference.equilibrium_constant(dh, ds, t)
        sigma = reference.sigma_at(dh_nuc, t)
        total = lambda m: reference.mixed_total(m, k_iso, k, sigma)
        assert reference.on_the_root(total, fraction, c_tot), t
