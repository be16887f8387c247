"""The Jacobian of a fit's residuals as tall as the data, exact and by central differences: what
the tests check the fit's compressed, exact derivatives against (the fit itself never forms either)."""

from __future__ import annotations

import numpy as np


def tall_jacobian(problem, x):
    """The Jacobian of the residuals in every free parameter at x, as
    tall as the data (for checks; the fit itself uses `compressed`), or
    None where the model cannot be evaluated there: exact, by the chain
    rule through the kernels' derivatives (or the phenomenological
    shapes' own)."""
    values = problem.values(x)
    fractions = problem.fractions(values)
    if fractions is None:
        return None
    linear = np.asarray(x, dtype=float)[problem.linear_index]
    out = np.empty((problem.n_points, len(problem.free)))
    for i, part in problem.blocks:
        rows = slice(problem.rows[i].start + part.start, problem.rows[i].start + part.stop)
        out[rows], _ = problem._block_jacobian(values, i, part, fractions[i][part], problem.observed[i], linear)
    return out if np.all(np.isfinite(out)) else None


def numerical_jacobian(problem, x):
    """Central differences of the residuals in every free parameter, or
    None where the model cannot be evaluated next to x.  A piecewise
    model keeps each point in its regime meanwhile: a point jumping
    across the step at Te is not a slope.  The oracle of the exact
    Jacobian."""
    if "te" in problem.model.per_curve:
        values = problem.values(x)
        problem.frozen_branches = [values["te" if "te" in problem.nonlinear_set else f"te[{i}]"]
                                   for i in range(len(problem.curves))]
    try:
        return _central_differences(problem, x)
    finally:
        problem.frozen_branches = None


def _central_differences(problem, x):
    columns = []
    for j, name in enumerate(problem.free):
        base = name.split("[")[0]
        typical = 1e3 if base.startswith(("delta_h", "h_e", "delta_g")) or base == "m" else 1.0
        step = 6e-6 * max(abs(x[j]), typical)
        up, down = x.copy(), x.copy()
        up[j] += step
        down[j] -= step
        r_up, r_down = problem.model_minus_data(up), problem.model_minus_data(down)
        if r_up is None or r_down is None:
            return None
        columns.append((r_up - r_down) / (up[j] - down[j]))
    return np.column_stack(columns) if columns else np.zeros((problem.n_points, 0))
