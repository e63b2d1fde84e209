"""Fits checked against independent facts: a NumPy rebuild of the design and of the REML/LAML
criteria, reference fits by mgcv, simulated truths and invariances of the designs."""

import json

import numpy as np
import pytest
from conftest import DATA_DIR
from reference_model import (
    cr_design,
    gaussian_reml,
    laml,
    penalised_irls,
    re_design,
)

import zelki

# The outer iteration stops when |gradient| < 5e-7·(|V| + 1); near a minimum the criterion can then
# sit at most g²/(2·curvature) above its true minimum, far below this allowance.
OUTER_VALUE_TOL = 1e-8
# Both sides evaluate the same closed-form criterion at the same ρ; they differ by rounding in
# p×p log-determinants and solves (p ≤ 12) and by the 1e-12 relative ridge of the solve.
SAME_FORMULA_RTOL = 1e-9


def lam(g):
    return getattr(g, "lambda")


# --- Gaussian: exact REML --------------------------------------------------------------------


@pytest.fixture(scope="module", params=["unweighted", "weighted"])
def gaussian_case(request, sine_data):
    x, y, _ = sine_data
    weights = None
    if request.param == "weighted":
        weights = np.random.default_rng(11).uniform(0.5, 2.0, y.size)
    g = zelki.fit("gaussian", x, y, weights=weights)
    return g, cr_design(x[:, 0], 10), y, weights


def test_gaussian_reml_value_matches_textbook_formula(gaussian_case):
    g, d, y, w = gaussian_case
    np.testing.assert_allclose(
        g.reml_value, gaussian_reml(d.x, d.penalty, y, g.rho[0], w), rtol=SAME_FORMULA_RTOL
    )


def test_gaussian_rho_minimises_reml_on_grids(gaussian_case):
    g, d, y, w = gaussian_case
    rho_hat = g.rho[0]
    fine = rho_hat + np.linspace(-1.0, 1.0, 201)
    wide = np.linspace(-10.0, 15.0, 101)
    best = gaussian_reml(d.x, d.penalty, y, rho_hat, w)
    values = np.array([gaussian_reml(d.x, d.penalty, y, r, w) for r in np.r_[fine, wide]])
    assert values.min() >= best - OUTER_VALUE_TOL * (abs(best) + 1)
    # The grid minimum lies next to ρ̂, not at another local minimum.
    assert abs(np.r_[fine, wide][values.argmin()] - rho_hat) <= 0.01 + 1e-12


def test_gaussian_final_quantities(gaussian_case):
    g, d, y, w = gaussian_case
    w = np.ones(y.size) if w is None else w
    xtwx = d.x.T @ (w[:, None] * d.x)
    h = xtwx + lam(g)[0] * d.penalty
    beta = np.linalg.solve(h, d.x.T @ (w * y))
    # Same penalised least-squares problem at the same λ: rounding of a p = 10 solve.
    np.testing.assert_allclose(d.x @ g.beta, d.x @ beta, rtol=0, atol=1e-9)
    h_inv = np.linalg.inv(h)
    np.testing.assert_allclose(g.edf_total, np.trace(h_inv @ xtwx), rtol=SAME_FORMULA_RTOL)
    np.testing.assert_allclose(g.edf_total, g.edf_per_term.sum() + 1.0, rtol=0, atol=1e-10)
    rank_deficit = 2  # intercept and the linear function are unpenalised
    d_p = w @ (y - d.x @ beta) ** 2 + lam(g)[0] * beta @ d.penalty @ beta
    np.testing.assert_allclose(g.scale, d_p / (y.size - rank_deficit), rtol=SAME_FORMULA_RTOL)
    np.testing.assert_allclose(g.vcov(), g.scale * h_inv, rtol=1e-7, atol=1e-12 * g.scale)


def test_gaussian_recovers_truth(gaussian_fit, sine_data):
    x, _, truth = sine_data
    d = cr_design(x[:, 0], 10)
    # Noise sd 0.3 with n = 300 and about 8 edf: pointwise standard error near 0.05.
    assert np.abs(d.x @ gaussian_fit.beta - truth).max() < 0.15
    # Residual variance of ~290 degrees of freedom: relative sd about 8%, so 25% is three sds.
    assert abs(gaussian_fit.scale / 0.3**2 - 1.0) < 0.25


def test_gaussian_constant_weights_rescale_lambda_and_scale(gaussian_fit, sine_data):
    x, y, _ = sine_data
    g2 = zelki.fit("gaussian", x, y, weights=np.full(y.size, 2.0))
    # Doubling every weight doubles XᵀWX and the profiled scale; λ doubles and the fit is unchanged.
    # Each fit stops with |∂V/∂ρ| < 5e-7·(|V| + 1) ≈ 4e-5 here, so ρ̂ may move by about that over the
    # curvature; the other quantities follow ρ̂ with derivatives of order one.
    outer_rtol = 5e-4
    np.testing.assert_allclose(g2.rho, gaussian_fit.rho + np.log(2.0), atol=outer_rtol)
    np.testing.assert_allclose(g2.scale, 2.0 * gaussian_fit.scale, rtol=outer_rtol)
    np.testing.assert_allclose(g2.beta, gaussian_fit.beta, rtol=outer_rtol, atol=outer_rtol)
    np.testing.assert_allclose(g2.edf_total, gaussian_fit.edf_total, rtol=outer_rtol)


# --- mgcv reference fits ---------------------------------------------------------------------


def load_reference(name):
    data = np.genfromtxt(DATA_DIR / f"{name}.csv", delimiter=",", names=True)
    grid = np.genfromtxt(DATA_DIR / f"{name}_grid.csv", delimiter=",", names=True)
    ref = json.loads((DATA_DIR / f"{name}.json").read_text())
    x = np.column_stack([data[f"x{i}"] for i in range(4)])
    return x, data["y"], grid["x0"], ref


# Gaussian: the same criterion as mgcv up to constants, so only the two outer tolerances separate the
# optima. Poisson and binomial: zelki's outer gradient holds the working weights fixed, so the optimum
# may move slightly; agreement is expected within a few percent of the range of η.
MGCV_CASES = [
    pytest.param(
        "gauss_sin",
        "gaussian",
        {"eta": 1e-3, "edf": 0.01, "sp": 1e-3, "scale": 1e-4},
        id="gaussian",
    ),
    pytest.param(
        "pois", "poisson", {"eta": 0.02, "edf": 0.05, "sp": 0.05, "scale": 0.0}, id="poisson"
    ),
    pytest.param(
        "binom", "binomial", {"eta": 0.02, "edf": 0.05, "sp": 0.05, "scale": 0.0}, id="binomial"
    ),
]


@pytest.mark.parametrize("name, family, tol", MGCV_CASES)
def test_agrees_with_mgcv(name, family, tol):
    x, y, grid, ref = load_reference(name)
    g = zelki.fit(family, x, y, k=10)
    assert g.converged is True
    np.testing.assert_allclose(g.edf_total, ref["edf_total"], atol=tol["edf"])
    np.testing.assert_allclose(g.edf_per_term, ref["edf_smooth"], atol=tol["edf"])
    np.testing.assert_allclose(lam(g), ref["sp"], rtol=tol["sp"])
    np.testing.assert_allclose(g.scale, ref["scale"], rtol=tol["scale"])
    eta = cr_design(x[:, 0], 10).model_matrix(grid) @ g.beta
    ref_eta = np.asarray(ref["eta"])
    assert np.abs(eta - ref_eta).max() <= tol["eta"] * np.ptp(ref_eta)


# --- other exponential families --------------------------------------------------------------

N_FAMILY = 1500
T_FAMILY = np.random.default_rng(17).uniform(0.0, 1.0, N_FAMILY)
ETA_TRUE = 0.3 + np.sin(2.0 * np.pi * T_FAMILY)


def _simulate(family, rng):
    mu = np.exp(ETA_TRUE)
    p = 1.0 / (1.0 + np.exp(-2.0 * ETA_TRUE))
    return {
        # (response, true scale or None when the family fixes it at 1, linear predictor truth)
        "poisson": (rng.poisson(mu).astype(float), 1.0, ETA_TRUE),
        "quasipoisson": (rng.poisson(mu).astype(float), 1.0, ETA_TRUE),
        "bernoulli": ((rng.uniform(size=N_FAMILY) < p).astype(float), 1.0, 2.0 * ETA_TRUE),
        "quasibinomial": ((rng.uniform(size=N_FAMILY) < p).astype(float), 1.0, 2.0 * ETA_TRUE),
        # Gamma with shape 5: variance μ²/5, scale 0.2.
        "gamma": (rng.gamma(5.0, mu / 5.0), 0.2, ETA_TRUE),
        # Inverse Gaussian with shape 4: variance μ³/4, scale 0.25.
        "inverse_gaussian": (rng.wald(mu, 4.0), 0.25, ETA_TRUE),
    }[family]


@pytest.fixture(scope="module")
def family_fits():
    fits = {}
    for i, family in enumerate(
        ["poisson", "quasipoisson", "bernoulli", "quasibinomial", "gamma", "inverse_gaussian"]
    ):
        y, scale, eta = _simulate(family, np.random.default_rng(100 + i))
        fits[family] = (zelki.fit(family, T_FAMILY[:, None], y), y, scale, eta)
    return fits


FAMILIES = ["poisson", "quasipoisson", "bernoulli", "quasibinomial", "gamma", "inverse_gaussian"]


@pytest.mark.parametrize("family", FAMILIES)
def test_family_recovers_truth(family_fits, family):
    g, _, scale, eta_true = family_fits[family]
    assert g.converged is True
    x = cr_design(T_FAMILY, 10).x
    error = x @ g.beta - eta_true
    se2 = np.einsum("ij,jk,ik->i", x, g.vcov(), x)
    # Bayesian intervals of penalised fits have close to nominal coverage averaged over the covariate,
    # so the mean squared standardised error is near 1; with ~8 effective degrees of freedom its
    # 99.9% quantile is about 3.3.
    assert np.mean(error**2 / se2) < 4.0
    # A wide covariance cannot hide a fit that misses the truth: the error stays well inside its spread.
    assert np.sqrt(np.mean(error**2)) < 0.25 * np.std(eta_true)
    # Pearson estimates from ~1500 rows: within 15% of the simulated scale (several sds).
    assert abs(g.scale / scale - 1.0) < 0.15
    np.testing.assert_allclose(g.edf_total, g.edf_per_term.sum() + 1.0, rtol=0, atol=1e-10)


@pytest.mark.parametrize("family", FAMILIES)
def test_vcov_symmetric_positive_definite(family_fits, family):
    v = family_fits[family][0].vcov()
    np.testing.assert_allclose(v, v.T, rtol=0, atol=1e-12 * np.abs(v).max())
    assert np.linalg.eigvalsh(v).min() > 0


@pytest.mark.parametrize("family", ["poisson", "bernoulli"])
def test_canonical_family_vcov_is_inverse_penalised_hessian(family_fits, family):
    g, y, _, _ = family_fits[family]
    d = cr_design(T_FAMILY, 10)
    beta, _, h = penalised_irls(family, d.x, d.penalty, y, g.rho[0])
    # zelki's PIRLS stops on a 1e-9 relative deviance change; its coefficients agree to about that.
    np.testing.assert_allclose(d.x @ g.beta, d.x @ beta, rtol=0, atol=1e-6)
    # Its factor carries the working weights of the step before the last update: a loose tolerance.
    h_inv = np.linalg.inv(h)
    np.testing.assert_allclose(g.vcov(), h_inv, rtol=0, atol=1e-6 * np.abs(h_inv).max())


@pytest.mark.parametrize("family", ["poisson", "bernoulli"])
def test_laml_value_and_local_minimum(family_fits, family):
    g, y, _, _ = family_fits[family]
    d = cr_design(T_FAMILY, 10)
    rho_hat = g.rho[0]
    value = laml(family, d.x, d.penalty, y, rho_hat)
    # Same criterion at the same ρ; the inner fits converge to a 1e-9 relative deviance change.
    np.testing.assert_allclose(g.reml_value, value, rtol=1e-8)
    # The outer gradient holds the working weights fixed, so ρ̂ is near, not at, the minimiser of the
    # exact LAML: check the value rises away from ρ̂ and the fine-grid minimum lies within 0.25.
    for delta in (-1.0, -0.5, 0.5, 1.0):
        assert laml(family, d.x, d.penalty, y, rho_hat + delta) > value
    grid = rho_hat + np.linspace(-0.5, 0.5, 41)
    values = [laml(family, d.x, d.penalty, y, r) for r in grid]
    assert abs(grid[int(np.argmin(values))] - rho_hat) <= 0.25


# --- designs ---------------------------------------------------------------------------------


@pytest.mark.parametrize("family", ["gaussian", "poisson", "gamma"])
def test_cr_and_cr_stable_fit_the_same_model(family, sine_data):
    x, _, truth = sine_data
    rng = np.random.default_rng(23)
    y = {
        "gaussian": truth + rng.normal(0.0, 0.3, truth.size),
        "poisson": rng.poisson(np.exp(truth)).astype(float),
        "gamma": rng.gamma(5.0, np.exp(truth) / 5.0),
    }[family]
    a = zelki.fit(family, x, y, k=12, design="cr")
    b = zelki.fit(family, x, y, k=12, design="cr_stable")
    # An orthogonal reparameterisation of the same span: the criterion, λ and every invariant of the
    # fit agree up to the outer tolerance (λ) and rounding (the rest, at equal λ).
    np.testing.assert_allclose(b.reml_value, a.reml_value, rtol=1e-9)
    np.testing.assert_allclose(b.rho, a.rho, atol=1e-4)
    for name in ("edf_total", "scale"):
        np.testing.assert_allclose(getattr(b, name), getattr(a, name), rtol=1e-5)
    np.testing.assert_allclose(b.beta[0], a.beta[0], rtol=1e-5)
    np.testing.assert_allclose(np.linalg.norm(b.beta), np.linalg.norm(a.beta), rtol=1e-5)
    np.testing.assert_allclose(
        np.linalg.eigvalsh(b.vcov()), np.linalg.eigvalsh(a.vcov()), rtol=1e-4, atol=1e-12
    )


def test_re_design_indicator_layout():
    rng = np.random.default_rng(29)
    effects = {1.0: -1.0, 2.0: 0.5, 3.0: 0.0, 7.5: 1.5}
    t = rng.choice(list(effects), size=120)
    y = np.array([effects[v] for v in t]) + rng.normal(0.0, 0.4, t.size)
    g = zelki.fit("gaussian", t[:, None], y, k=3, design="re")
    x, s = re_design(t)
    assert g.beta.size == 1 + len(effects)
    # Columns 1… are the indicators of the ascending levels: the fit is the ridge solution at λ̂.
    beta = np.linalg.solve(x.T @ x + lam(g)[0] * s, x.T @ y)
    np.testing.assert_allclose(g.beta, beta, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(
        g.reml_value, gaussian_reml(x, s, y, g.rho[0]), rtol=SAME_FORMULA_RTOL
    )
    grid = g.rho[0] + np.linspace(-1.0, 1.0, 101)
    assert min(gaussian_reml(x, s, y, r) for r in grid) >= g.reml_value - OUTER_VALUE_TOL * (
        abs(g.reml_value) + 1
    )
    # One penalised coefficient per level, unpenalised intercept.
    np.testing.assert_allclose(g.edf_total, g.edf_per_term.sum() + 1.0, rtol=0, atol=1e-10)
