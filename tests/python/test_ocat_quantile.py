"""Quantile (ELF) and ordered-categorical fits: coverage of the fitted quantile curves, the
automatic loss scale against a NumPy rebuild of the warm start, equivariance under a change of
units, and the data checks of both drivers in their order."""

import math

import numpy as np
import pytest

import zelki
from reference_model import cr_design

# --- quantile fits ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def skewed_data():
    """n = 3000 draws with a smooth median, spread growing with t and right-skewed noise."""
    rng = np.random.default_rng(44)
    t = rng.uniform(0.0, 1.0, 3000)
    y = np.sin(2.0 * np.pi * t) + (0.3 + 0.5 * t) * rng.gamma(2.0, 1.0, t.size) - 1.0
    return t[:, None], y


@pytest.fixture(scope="module")
def gaussian_noise_data():
    """n = 3000 draws of sin(2πt) + N(0, 0.5²)."""
    rng = np.random.default_rng(45)
    t = rng.uniform(0.0, 1.0, 3000)
    return t[:, None], np.sin(2.0 * np.pi * t) + rng.normal(0.0, 0.5, t.size)


@pytest.mark.parametrize("tau", [0.1, 0.5, 0.9])
def test_quantile_curve_leaves_tau_of_the_responses_below(gaussian_noise_data, skewed_data, tau):
    # Automatic σ = λ: the loss is the pinball loss smoothed by a logistic of scale λ ≈ s/4 at
    # τ = 0.1 or 0.9, which pulls extreme quantiles towards the median by about two points
    # for Gaussian noise. Binomial sampling sd √(τ(1 − τ)/n) ≤ 0.009 at n = 3000.
    x, y = gaussian_noise_data
    g = zelki.fit("quantile", x, y, tau=tau)
    assert g.converged
    assert abs(np.mean(y < g.predict(x)) - tau) < 0.03
    # A small λ makes the loss nearly the pinball loss: the fraction below is τ up to sampling
    # error (about 1.7 sd), even for skewed noise.
    x, y = skewed_data
    g = zelki.fit("quantile", x, y, tau=tau, elf_lambda=0.02)
    assert g.converged
    assert abs(np.mean(y < g.predict(x)) - tau) < 0.015


def test_quantile_curves_do_not_cross_on_average(skewed_data):
    x, y = skewed_data
    curves = [zelki.fit("elf", x, y, tau=tau).predict(x) for tau in (0.1, 0.5, 0.9)]
    assert np.all(np.diff(np.vstack(curves), axis=0).mean(axis=1) > 0.0)


def _automatic_sigma(x, y, tau, k=10):
    """The warm start written out in NumPy: penalised least squares at λ = 1 with the 1e-7 ridge,
    its residual variance, and σ = √(2π s²)·0.05/ln 4·max(1/(4τ(1 − τ)), 1)."""
    d = cr_design(x[:, 0], k)
    a = d.x.T @ d.x + d.penalty
    a += 1e-7 * np.abs(np.diag(a)).max() * np.eye(a.shape[0])
    r = y - d.x @ np.linalg.solve(a, d.x.T @ y)
    s2 = np.mean(r**2)
    return math.sqrt(2.0 * math.pi * max(s2, 1e-6)) * 0.05 / math.log(4.0) * max(
        1.0 / (4.0 * tau * (1.0 - tau)), 1.0
    )


@pytest.mark.parametrize("tau", [0.1, 0.5])
def test_automatic_sigma_follows_the_least_squares_residuals(skewed_data, tau):
    x, y = skewed_data
    g = zelki.fit("quantile", x, y, tau=tau)
    # Two independent least-squares solves of a well-conditioned 10×10 system.
    assert g.scale == pytest.approx(_automatic_sigma(x, y, tau), rel=1e-9)


def test_given_sigma_is_kept(skewed_data):
    x, y = skewed_data
    assert zelki.fit("quantile", x, y, elf_sigma=2.0).scale == 2.0
    # Zero, negative and NaN select the automatic value.
    auto = zelki.fit("quantile", x, y).scale
    for value in (0.0, -1.0, math.nan):
        assert zelki.fit("quantile", x, y, elf_sigma=value).scale == auto


def test_quantile_fit_is_equivariant_under_a_change_of_units(skewed_data):
    """y in other units (×10): σ and λ follow automatically, the curve scales by 10 and so must
    its interval half-widths; a covariance scaled by σ would grow them by 10^1.5 instead."""
    x, y = skewed_data
    a = zelki.fit("quantile", x, y, tau=0.25)
    b = zelki.fit("quantile", x, 10.0 * y, tau=0.25)
    grid = np.linspace(0.05, 0.95, 7)[:, None]
    # Both searches stop within their relative tolerance of the same optimum.
    np.testing.assert_allclose(b.predict(grid), 10.0 * a.predict(grid), rtol=1e-3, atol=1e-3)
    mean_a, lo_a, _ = a.predict_ci(grid)
    mean_b, lo_b, _ = b.predict_ci(grid)
    np.testing.assert_allclose(mean_b - lo_b, 10.0 * (mean_a - lo_a), rtol=1e-3)


# --- ordered-categorical fits -----------------------------------------------------------------


@pytest.fixture(scope="module")
def ordinal_data():
    """n = 3000 latent logistic draws around a smooth trend, cut at (−1, 0.5, 2): K = 4."""
    rng = np.random.default_rng(91)
    t = rng.uniform(0.0, 1.0, 3000)
    f = 1.5 * np.sin(2.0 * np.pi * t)
    latent = 0.4 + f + rng.logistic(size=t.size)
    y = 1.0 + np.searchsorted(np.array([-1.0, 0.5, 2.0]), latent).astype(float)
    return t[:, None], y, f


def test_ordered_categorical_fit_tracks_the_latent_trend(ordinal_data):
    x, y, f = ordinal_data
    g = zelki.fit("ocat", x, y, r=4)
    eta = g.predict(x)
    # The fitted predictor is the latent location up to the sampling error of a smooth with a
    # few effective degrees of freedom; the shift 0.4 is the intercept.
    assert np.sqrt(np.mean((eta - 0.4 - f) ** 2)) < 0.15
    assert g.scale == 1.0
    assert g.converged
    v = g.vcov()
    np.testing.assert_allclose(v, v.T, rtol=0, atol=1e-12 * np.abs(v).max())
    assert np.all(np.linalg.eigvalsh(v) > 0.0)


def test_ordered_categorical_accepts_labels_that_round_into_range():
    rng = np.random.default_rng(2)
    t = np.linspace(0.0, 1.0, 90)
    y = rng.integers(1, 4, t.size).astype(float)
    y[5] = 2.5  # rounds (half away from zero) to 3
    y[6] = 1.4  # rounds to 1
    g = zelki.fit("ocat", t[:, None], y, r=3, k=5)
    assert np.all(np.isfinite(g.beta))


# --- data checks, in the order the drivers make them -----------------------------------------

N = 12
T = np.linspace(0.0, 1.0, N)
X = np.column_stack([T, T**2])
Y_CAT = 1.0 + (np.arange(N) % 3)


def _with(values, row, value):
    out = np.array(values, dtype=float)
    out[row] = value
    return out


CHECKS = [
    # ordered categorical
    ("ocat", {"r": 3, "design": "bad"}, X[:5], Y_CAT, None,
     "design must be 'cr', 're', or 'cr_stable'; got bad"),
    ("ocat", {"r": 3, "k": 2}, X[:5], Y_CAT, None, "CR spline needs k ≥ 3 (got 2)"),
    ("ocat", {"r": 3}, X[:5], Y_CAT, None,
     "x and y must have the same number of rows; got x.nrows()=5, y.len()=12"),
    ("ocat", {"r": 3}, X, _with(Y_CAT, 0, 0.0), np.ones(N - 1),
     f"prior_weights length must match x rows; got weights.len()={N - 1}, x.nrows()={N}"),
    ("ocat", {"r": 3}, X, _with(Y_CAT, 4, 0.0), None,
     "Ocat requires y to be an integer in 1..=3; got y=0 at row 4"),
    ("ocat", {"r": 3}, X, _with(Y_CAT, 2, 3.6), None,
     "Ocat requires y to be an integer in 1..=3; got y=3.6 at row 2"),
    ("ocat", {"r": 3}, X, _with(Y_CAT, 7, np.nan), None,
     "Ocat requires y to be an integer in 1..=3; got y=NaN at row 7"),
    ("ocat", {"r": 3}, _with(X, (3, 0), np.inf), Y_CAT, None,
     "x[:, 0] must be finite; got inf at row 3"),
    ("ocat", {"r": 3}, X, Y_CAT, _with(np.ones(N), 1, -2.0),
     "weights must be finite and ≥ 0; got -2 at row 1"),
    # quantile
    ("quantile", {"k": 2}, X[:5], Y_CAT, None, "CR spline needs k ≥ 3 (got 2)"),
    ("quantile", {}, X[:5], Y_CAT, None,
     "x and y must have the same number of rows; got x.nrows()=5, y.len()=12"),
    ("elf", {}, X, _with(Y_CAT, 0, np.nan), np.ones(N + 1),
     f"prior_weights length must match x rows; got weights.len()={N + 1}, x.nrows()={N}"),
    ("elf", {}, X, _with(Y_CAT, 5, -np.inf), None, "y must be finite; got -inf at row 5"),
    ("elf", {}, _with(X, (0, 0), np.nan), Y_CAT, None, "x[:, 0] must be finite; got NaN at row 0"),
    ("quantile", {"tau": 0.3}, X, Y_CAT, _with(np.ones(N), 9, np.nan),
     "weights must be finite and ≥ 0; got NaN at row 9"),
]


@pytest.mark.parametrize("family, kwargs, x, y, weights, message", CHECKS)
def test_data_checks(family, kwargs, x, y, weights, message):
    with pytest.raises(ValueError) as info:
        zelki.fit(family, x, y, weights=weights, **kwargs)
    assert str(info.value) == message


def test_quantile_accepts_negative_responses_and_ignores_prior_weights():
    rng = np.random.default_rng(8)
    t = np.linspace(0.0, 1.0, 200)
    y = -5.0 + np.cos(3.0 * t) + rng.normal(0.0, 0.2, t.size)
    a = zelki.fit("quantile", t[:, None], y, tau=0.7)
    b = zelki.fit("quantile", t[:, None], y, tau=0.7, weights=rng.uniform(0.1, 3.0, t.size))
    np.testing.assert_array_equal(a.beta, b.beta)
