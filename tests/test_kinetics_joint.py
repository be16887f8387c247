"""A joint fit: cooling curves and a time trace sharing their
thermodynamic parameters (long: it simulates the trace at every step)."""

import math

import numpy as np

from kelvara.kinetics import simulate

R = 8.314
ROOM = 293.15
THERMO = dict(delta_h=-80e3, delta_s=R * math.log(4e5) - 80e3 / ROOM, delta_h_nuc=15e3)


def test_cooling_curves_and_time_traces_share_their_thermodynamics_in_one_fit():
    from kelvara import _core
    from kelvara.curves import Curve, Start
    from kelvara.fit import fit

    rng = np.random.default_rng(11)
    celsius = np.arange(70.0, 5.0, -1.0)
    cooling = [Curve(celsius + 273.15, 1.0 - 30.0 * np.array(_core.temp_cooperative_model_n(
        (celsius + 273.15).tolist(), THERMO["delta_h"], THERMO["delta_s"], THERMO["delta_h_nuc"], c, 1.0, 4))
        + rng.normal(0.0, 0.2, celsius.size), c) for c in (5e-6, 20e-6)]
    times = np.concatenate(([0.0], np.geomspace(1.0, 3000.0, 30)))
    run = simulate(times, 20e-6, ROOM, start_temperature=ROOM + 20, nuc_size=4, k_plus=2e5, nucleation_ratio=0.05,
                   **THERMO)
    trace = Curve.time_trace(times, 1.0 - 30.0 * run.fraction + rng.normal(0.0, 0.2, times.size), ROOM, 20e-6,
                             start=Start("equilibrium", ROOM + 20))
    # One trace cannot tell k_plus from a (they trade off): a is fixed, and
    # the search left out (it simulates the trace at every start it screens).
    result = fit(cooling + [trace], model="cooperative_n", nuc_size=4, start={**THERMO, "k_plus": 1e5},
                 fix={"nucleation_ratio": 0.05}, search=False)
    assert result.ok, result.problems
    for name in ("delta_h", "k_plus"):
        found, truth = result.parameters[name], {**THERMO, "k_plus": 2e5}[name]
        assert abs(found.value - truth) < 3.0 * found.stderr, (name, found.value, found.stderr)
