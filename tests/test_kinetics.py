"""Simulations in time: their limits, their conservation of mass, an
independent integration, an exact solution, and the refusals of bad input."""

import math

import numpy as np
import pytest

from kelvara import _core
from kelvara.errors import KelvaraError
from kelvara.kinetics import SimulationError, simulate

R = 8.314
ROOM = 293.15


def delta_s_for(k, delta_h, temperature=ROOM):
    """The entropy that gives the elongation constant k at `temperature`."""
    return R * math.log(k) + delta_h / temperature


@pytest.mark.parametrize("nuc_size, delta_h_nuc, c_tot", [
    (2, 15e3, 20e-6),   # cooperative, dimer nucleus
    (5, 10e3, 5e-6),    # larger nucleus
    (3, -4e3, 2e-6),    # nucleation favoured (sigma > 1)
    (2, 0.0, 50e-6),    # isodesmic
])
def test_at_long_times_the_state_is_the_cores_equilibrium(nuc_size, delta_h_nuc, c_tot):
    delta_h = -70e3
    delta_s = delta_s_for(3e5, delta_h)
    run = simulate([0.0, 1e12], c_tot, ROOM, start_temperature=ROOM + 30, nuc_size=nuc_size, delta_h=delta_h,
                   delta_s=delta_s, delta_h_nuc=delta_h_nuc, k_plus=1e5, nucleation_ratio=0.1, cutoff=60,
                   rtol=1e-10, atol=1e-15)
    before = _core.temp_cooperative_model_n([ROOM + 30], delta_h, delta_s, delta_h_nuc, c_tot, 1.0, nuc_size)[0]
    after = _core.temp_cooperative_model_n([ROOM], delta_h, delta_s, delta_h_nuc, c_tot, 1.0, nuc_size)[0]
    assert run.fraction[0] == pytest.approx(before, abs=1e-12)
    assert run.fraction[-1] == pytest.approx(after, abs=1e-9)
    assert run.equilibrium_fraction == pytest.approx(after, abs=1e-12)


@pytest.mark.parametrize("kind, expected", [
    ("monomer", 0.0),
    ("jump", "at 313.15 K, c_tot"),
    ("stopped-flow", "at 313.15 K, 3.5 c_tot"),
    ("mixing", "at 293.15 K, 3.5 c_tot"),
    ("seeds", 2e-8 * 100 / 10e-6),
])
def test_the_state_at_time_zero_is_the_starts(kind, expected):
    given = {"monomer": {}, "jump": {"start_temperature": 313.15},
             "stopped-flow": {"start_temperature": "40C", "dilution": 3.5}, "mixing": {"dilution": 3.5},
             "seeds": {"seeds": 2e-8}}[kind]
    delta_h, delta_s, delta_h_nuc = -80e3, delta_s_for(2e6, -80e3), 12e3
    run = simulate([0.0, 1.0], 10e-6, ROOM, nuc_size=4, delta_h=delta_h, delta_s=delta_s,
                   delta_h_nuc=delta_h_nuc, k_plus=1e6, states=True, cutoff=200, **given)
    if isinstance(expected, str):
        temperature = float(expected.split()[1])
        dilution = 3.5 if "3.5" in expected else 1.0
        fraction = _core.temp_cooperative_model_n([temperature], delta_h, delta_s, delta_h_nuc, 10e-6 * dilution,
                                                  1.0, 4)[0]
        expected = fraction
    assert run.fraction[0] == pytest.approx(expected, abs=1e-12)
    assert run.start_fraction == run.fraction[0]


def total_mass(run):
    weights = np.concatenate((run.sizes, [run.cutoff, 1.0]))
    return run.states @ weights


def test_mass_is_conserved_to_rounding_through_a_seeded_run_past_the_cutoff():
    times = np.concatenate(([0.0], np.logspace(-2, 6, 60)))
    run = simulate(times, 10e-6, ROOM, nuc_size=3, delta_h=-80e3, delta_s=delta_s_for(1e7, -80e3),
                   delta_h_nuc=20e3, k_plus=1e5, seeds=5e-9, seed_size=30, cutoff=120, states=True)
    assert run.polymers[-1] / run.polymer_count[-1] > 120  # the polymers outgrew the explicit sizes
    assert np.max(np.abs(total_mass(run) / 10e-6 - 1.0)) < 1e-13
    sums = run.monomer + run.oligomers + run.polymers
    assert np.max(np.abs(sums / 10e-6 - 1.0)) < 1e-13


def every_species(k, sigma, nuc_size, k_plus, ratio, size):
    """dc/dt of every aggregate up to `size` (none grows beyond it), and its
    Jacobian, written out reaction by reaction for the reference."""
    from scipy.sparse import lil_matrix

    grow = np.array([ratio * k_plus if i + 1 <= nuc_size else k_plus for i in range(1, size)])
    constant = np.array([sigma * k if i + 1 <= nuc_size else k for i in range(1, size)])
    shrink = grow / constant

    def rates(_, c):
        r = grow * c[0] * c[:-1] - shrink * c[1:]  # reaction i: i + 1 -> i + 1 + 1
        dc = np.zeros_like(c)
        dc[1:] += r
        dc[:-1] -= r
        dc[0] -= r.sum()
        return dc

    def jacobian(_, c):
        jac = lil_matrix((size, size))
        for i in range(size - 1):
            for target, sign in ((i + 1, 1.0), (i, -1.0), (0, -1.0)):
                jac[target, 0] += sign * grow[i] * c[i]
                jac[target, i] += sign * grow[i] * c[0]
                jac[target, i + 1] -= sign * shrink[i]
        return jac.tocsc()

    return rates, jacobian


def test_a_small_system_agrees_with_an_independent_radau_integration():
    from scipy.integrate import solve_ivp

    c_tot, nuc_size, k_plus, ratio = 20e-6, 3, 2e5, 0.05
    delta_h, delta_h_nuc = -60e3, 8e3
    delta_s = delta_s_for(2e5, delta_h)
    k = 2e5
    sigma = math.exp(-delta_h_nuc / (ROOM * R))
    times = np.concatenate(([0.0], np.logspace(-3, 3, 40)))
    run = simulate(times, c_tot, ROOM, nuc_size=nuc_size, delta_h=delta_h, delta_s=delta_s,
                   delta_h_nuc=delta_h_nuc, k_plus=k_plus, nucleation_ratio=ratio, cutoff=100)
    assert run.beyond_cutoff[-1] > 0.01  # the tail's closure is put to work
    size = 400  # the reference follows every size; nothing reaches 400
    start = np.zeros(size)
    start[0] = c_tot
    rates, jacobian = every_species(k, sigma, nuc_size, k_plus, ratio, size)
    reference = solve_ivp(rates, (0.0, times[-1]), start, method="Radau", t_eval=times, rtol=1e-10,
                          atol=1e-20, jac=jacobian)
    assert reference.success
    assert np.max(np.abs(1.0 - reference.y[0] / c_tot - run.fraction)) < 1e-6
    assert abs(reference.y[0, -1] / c_tot - 1.0 + run.fraction[-1]) < 1e-7


def test_seeded_elongation_follows_its_exact_exponential():
    # With nucleation shut off, s seeds growing and shrinking at their ends
    # give dm/dt = -k+ s (m - 1/K): m approaches 1/K exponentially, so the
    # half-time is ln 2 / (k+ s).
    k, k_plus, seeds, c_tot = 1e7, 1e6, 1e-8, 10e-6
    times = np.concatenate(([0.0], np.geomspace(1.0, 600.0, 30)))  # sparse: t50 lies between two points
    run = simulate(times, c_tot, ROOM, nuc_size=2, delta_h=-80e3, delta_s=delta_s_for(k, -80e3),
                   delta_h_nuc=40e3, k_plus=k_plus, nucleation_ratio=1e-15, seeds=seeds)
    m0 = c_tot - seeds * 100
    exact = 1.0 / k + (m0 - 1.0 / k) * np.exp(-k_plus * seeds * times)
    assert np.max(np.abs(run.monomer - exact)) / c_tot < 1e-6
    assert run.t50 == pytest.approx(math.log(2.0) / (k_plus * seeds), rel=2e-4)  # a line between them: 3e-3


GOOD = dict(times=[0.0, 1.0, 2.0], c_tot=10e-6, temperature=ROOM, delta_h=-80e3, delta_s=-150.0, k_plus=1e6)


@pytest.mark.parametrize("change, words", [
    ({"times": [-1.0, 0.0, 1.0]}, "count them from the jump"),
    ({"times": [0.0, 2.0, 1.0]}, "sort them"),
    ({"times": [0.0, float("nan")]}, "finite"),
    ({"start_temperature": "40C", "start": "monomer"}, "start='equilibrium'"),
    ({"k_plus": 0.0}, "elongation rate constant"),
    ({"nucleation_ratio": -1.0}, "nucleation rate constant over k_plus"),
    ({"dilution": 0.5}, "1 or more"),
    ({"seeds": 1e-6}, "fewer or smaller seeds"),
    ({"nuc_size": 1}, "2 or more"),
    ({"temperature": "20 F"}, "20C"),
])
def test_bad_input_is_refused_before_any_work_naming_the_cure(change, words):
    with pytest.raises(KelvaraError, match=None) as refused:
        simulate(**{**GOOD, **change})
    assert words in str(refused.value)


def test_an_integration_that_cannot_finish_gives_no_trace(monkeypatch):
    import kelvara.kinetics as kinetics

    monkeypatch.setattr(kinetics, "MAX_STEPS", 3)
    with pytest.raises(SimulationError, match="could not be completed: the integration took more steps"):
        simulate(np.logspace(-3, 5, 20), 10e-6, ROOM, delta_h=-80e3, delta_s=-150.0, delta_h_nuc=10e3, k_plus=1e6)


def test_the_slopes_integrated_beside_the_state_are_the_derivatives_of_the_fraction():
    # d fraction / d delta_h moves K at both temperatures (the run's and the
    # start's); each slope against central differences of tight simulations.
    times = np.concatenate(([0.0], np.logspace(-2, 4, 30)))
    given = dict(c_tot=10e-6, temperature=ROOM, nuc_size=4, delta_h=-80e3, delta_s=delta_s_for(4e5, -80e3),
                 delta_h_nuc=15e3, k_plus=1e6, nucleation_ratio=0.1, start_temperature=ROOM + 15, dilution=2.0,
                 cutoff=100)
    slopes = simulate(times, **given, slopes=True).slopes

    def central(name, step):
        up = simulate(times, **{**given, name: given[name] + step}, rtol=1e-10, atol=1e-14).fraction
        down = simulate(times, **{**given, name: given[name] - step}, rtol=1e-10, atol=1e-14).fraction
        return (up - down) / (2.0 * step)

    minus = -1.0 / (R * ROOM), -1.0 / (R * (ROOM + 15))
    expected = {
        "k_plus": slopes["k_plus"] / given["k_plus"],
        "nucleation_ratio": slopes["nucleation_ratio"] / given["nucleation_ratio"],
        "delta_h": slopes["k"] * minus[0] + slopes["k_start"] * minus[1],
        "delta_h_nuc": slopes["sigma"] * minus[0] + slopes["sigma_start"] * minus[1],
    }
    for name, step in (("k_plus", 1e2), ("nucleation_ratio", 1e-5), ("delta_h", 1.0), ("delta_h_nuc", 1.0)):
        numeric = central(name, step)
        assert np.max(np.abs(numeric - expected[name])) < 1e-5 * np.max(np.abs(numeric)), name


def test_the_sensitivities_leave_the_trace_itself_unchanged():
    given = dict(times=np.logspace(-2, 3, 25), c_tot=10e-6, temperature=ROOM, nuc_size=3, delta_h=-80e3,
                 delta_s=delta_s_for(4e5, -80e3), delta_h_nuc=12e3, k_plus=1e5, start_temperature=ROOM + 10)
    assert np.array_equal(simulate(**given).fraction, simulate(**given, slopes=True).fraction)


def test_a_run_whose_tail_outgrew_the_cutoff_is_made_again_with_more_sizes():
    # Few nuclei grow long: at 1,000 sizes the tail would hold most of the
    # mass before equilibrium; the run raises the cutoff until it holds
    # under a tenth, and agrees with one given many more sizes outright.
    given = dict(times=np.concatenate(([0.0], np.geomspace(1.0, 3000.0, 40))), c_tot=10e-6, temperature=ROOM,
                 nuc_size=4, delta_h=-80e3, delta_s=delta_s_for(4e5, -80e3), delta_h_nuc=15e3, k_plus=2e5,
                 nucleation_ratio=0.05, start_temperature=ROOM + 20)
    auto = simulate(**given)
    assert simulate(**given, cutoff=1000).beyond_cutoff.max() > 0.1
    assert auto.cutoff > 1000 and auto.beyond_cutoff.max() <= 0.1
    wide = simulate(**given, cutoff=4 * auto.cutoff)
    assert np.max(np.abs(auto.fraction - wide.fraction)) < 1e-7


def test_a_start_of_polymers_far_longer_than_the_cutoff_keeps_its_mass():
    # K c_tot of 1e6 at the start: x = K m rounds to 1, and the tail is
    # taken from the mass it must hold.
    from kelvara.kinetics import equilibrium_state

    state = equilibrium_state(10e-6, 1e11, 1e-3, 2, 200)
    weights = np.concatenate((np.arange(1, 201), [200.0, 1.0]))
    assert np.all(np.isfinite(state)) and state[-2] > 0.0
    assert abs(state @ weights / 10e-6 - 1.0) < 1e-12


@pytest.mark.parametrize("arguments, error", [
    ((2, 1e5, 0.1, 1e6, 1.0, 1e-5, np.zeros(7).tobytes(), (0,), b"", 1e-6, 1e-8, 10, bytearray(8), None),
     "start must hold the state and each sensitivity"),
    ((2, 1e5, 0.1, 1e6, 1.0, 1e-5, np.zeros(6).tobytes(), (9,), b"", 1e-6, 1e-8, 10, bytearray(8), None),
     "unknown forcing code 9"),
    ((2, 1e5, 0.1, 1e6, 1.0, 1e-5, np.zeros(6).tobytes(), (), np.zeros(3).tobytes(), 1e-6, 1e-8, 10,
      bytearray(8), None), "sums must hold 5 values per time"),
    ((2, 1e5, 0.1, -1.0, 1.0, 1e-5, np.zeros(6).tobytes(), (), np.zeros(1).tobytes(), 1e-6, 1e-8, 10,
      bytearray(40), None), "out of range"),
    ((1, 1e5, 0.1, 1e6, 1.0, 1e-5, np.zeros(6).tobytes(), (), b"", 1e-6, 1e-8, 10, bytearray(8), None),
     "nuc_size must be 2 or more"),
])
def test_the_kernel_refuses_what_it_cannot_integrate(arguments, error):
    from kelvara import _kernels

    with pytest.raises(ValueError, match=error):
        _kernels.simulate(*arguments)


def test_a_trace_is_refused_unless_its_times_start_at_zero_or_later_and_increase():
    from kelvara.curves import Curve

    for times in ([-1.0, 0.0, 1.0], [0.0, 2.0, 1.0]):
        with pytest.raises(KelvaraError, match="times must start at 0 or later"):
            Curve.time_trace(times, [1.0, 2.0, 3.0], ROOM, 1e-5)


def test_a_heating_jump_melts_the_polymers_and_its_half_time_is_where_the_fraction_crosses_half_way():
    times = np.concatenate(([0.0], np.geomspace(1e-3, 1e4, 400)))
    run = simulate(times, 20e-6, ROOM + 25, start_temperature=ROOM, nuc_size=3, delta_h=-80e3,
                   delta_s=delta_s_for(3e5, -80e3), delta_h_nuc=10e3, k_plus=1e5)
    assert run.equilibrium_fraction < run.start_fraction  # it melts
    halfway = 0.5 * (run.start_fraction + run.equilibrium_fraction)
    at = simulate([run.t50], 20e-6, ROOM + 25, start_temperature=ROOM, nuc_size=3, delta_h=-80e3,
                  delta_s=delta_s_for(3e5, -80e3), delta_h_nuc=10e3, k_plus=1e5).fraction[0]
    assert abs(at - halfway) < 1e-3 * abs(run.start_fraction - run.equilibrium_fraction)
    assert run.t50 < run.t90


def test_seeds_longer_than_the_cutoff_start_in_the_tail_and_grow_as_exactly():
    # The exponential of the seeded test, with seeds of 3,000 monomers kept
    # in the two moments beyond a cutoff of 500.
    k, k_plus, seeds, c_tot = 1e7, 1e6, 1e-9, 10e-6
    times = np.linspace(0.0, 3000.0, 61)
    run = simulate(times, c_tot, ROOM, nuc_size=2, delta_h=-80e3, delta_s=delta_s_for(k, -80e3), delta_h_nuc=40e3,
                   k_plus=k_plus, nucleation_ratio=1e-15, seeds=seeds, seed_size=3000, cutoff=500, states=True)
    assert run.beyond_cutoff[0] == pytest.approx(seeds * 3000 / c_tot)
    m0 = c_tot - seeds * 3000
    exact = 1.0 / k + (m0 - 1.0 / k) * np.exp(-k_plus * seeds * times)
    assert np.max(np.abs(run.monomer - exact)) / c_tot < 1e-6
    assert np.max(np.abs(total_mass(run) / c_tot - 1.0)) < 1e-13
