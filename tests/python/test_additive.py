"""fit_additive: term parsing and its messages, recovery of simulated components and surfaces,
the lpmatrix and term ranges of additive models, and inverse-Gaussian smoothness selection."""

import json
import pathlib

import numpy as np
import pytest
from numpy.testing import assert_allclose

import zelki

DATA = pathlib.Path(__file__).resolve().parent / "data"

FAMILY_MSG = (
    "fit_additive: family {0} is shape-managed and restricted to single-smooth in 94b; use "
    "zelki.fit(family={0}, \u2026) or wait for multi-smooth shape-aware support. Supported "
    "additive families: gaussian, bernoulli/binomial, poisson, quasipoisson, quasibinomial, "
    "gamma, inverse_gaussian"
)


@pytest.fixture(scope="module")
def components():
    """n = 1500 uniform covariates in 4 columns and three centred smooth components of 0 … 2."""
    rng = np.random.default_rng(7)
    x = rng.uniform(0.0, 1.0, (1500, 4))
    f = np.column_stack(
        [np.sin(2 * np.pi * x[:, 0]), np.exp(2 * x[:, 1]), 20 * x[:, 2] ** 2 * (1 - x[:, 2])]
    )
    return x, f - f.mean(axis=0), rng


@pytest.fixture(scope="module")
def three_smooths(components):
    x, f, rng = components
    y = 1.0 + f.sum(axis=1) + rng.normal(0.0, 0.3, len(x))
    return x, f, zelki.fit_additive("gaussian", x, y, [(0, "cr"), (1, "cr_stable", 8), (2, "cr")])


def test_gaussian_fit_recovers_each_component(three_smooths):
    x, f, m = three_smooths
    lp = m.evaluate_lpmatrix(x)
    assert m.converged
    assert m.rho.shape == (3,)
    for j, (first, last) in enumerate(m.term_col_ranges()):
        part = lp[:, first:last] @ m.beta[first:last]
        # Each term is centred over the data, as is the simulated component; with noise sd 0.3
        # and n = 1500 a smooth is recovered to a few hundredths (RMS).
        assert np.sqrt(np.mean((part - f[:, j]) ** 2)) < 0.06 * np.ptp(f[:, j]) + 0.03
        assert abs(part.mean()) < 1e-10


def test_lpmatrix_reproduces_fitted_values_and_ranges_tile(three_smooths):
    x, _, m = three_smooths
    lp = m.evaluate_lpmatrix(x)
    assert_allclose(lp[:, 0], 1.0)
    assert_allclose(lp @ m.beta, m.predict(x), rtol=0, atol=1e-12)
    ranges = m.term_col_ranges()
    assert ranges == [(1, 10), (10, 17), (17, 26)]
    assert ranges[-1][1] == len(m.beta) == lp.shape[1]
    # Rows of a reversed view give reversed predictions: the predictor reads strided data.
    assert_allclose(m.predict(x[::-1]), m.predict(x)[::-1], rtol=0, atol=1e-12)


def test_tensor_term_recovers_a_smooth_surface():
    rng = np.random.default_rng(11)
    x = rng.uniform(0.0, 1.0, (2000, 2))
    surface = np.sin(3 * x[:, 0]) * np.cos(4 * x[:, 1]) + x[:, 0] * x[:, 1]
    y = surface + rng.normal(0.0, 0.2, len(x))
    m = zelki.fit_additive("gaussian", x, y, [((0, 1), "te", (6, 6))])
    assert m.rho.shape == (2,)
    assert m.term_col_ranges() == [(1, 36)]
    grid = np.stack(np.meshgrid(np.linspace(0.05, 0.95, 15), np.linspace(0.05, 0.95, 15)), -1)
    grid = grid.reshape(-1, 2)
    truth = np.sin(3 * grid[:, 0]) * np.cos(4 * grid[:, 1]) + grid[:, 0] * grid[:, 1]
    pred = m.predict(grid)
    # Compare shapes up to the level: the intercept absorbs the mean over the data.
    err = (pred - pred.mean()) - (truth - truth.mean())
    assert np.sqrt(np.mean(err**2)) < 0.05


def test_smooth_plus_nested_tensor_fits(components):
    x, f, rng = components
    y = f[:, 0] + np.sin(3 * x[:, 0] * x[:, 3]) + rng.normal(0.0, 0.3, len(x))
    m = zelki.fit_additive("gaussian", x, y, [(0, "cr"), ((0, 3), "te", (5, 5))])
    assert m.converged
    # The tensor block gives up the straight line in x0 that the cr term already leaves free.
    assert m.term_col_ranges() == [(1, 10), (10, 33)]
    assert_allclose(m.evaluate_lpmatrix(x) @ m.beta, m.predict(x), rtol=0, atol=1e-12)


def test_term_forms_and_defaults(components):
    x, f, rng = components
    y = f[:, 0] + rng.normal(0.0, 0.3, len(x))
    x_re = x.copy()
    x_re[:, 1] = np.floor(4 * x[:, 1])
    m = zelki.fit_additive("gaussian", x_re, y, [(0, "cr", 6), (1, "re", "ignored", "extra")])
    assert m.term_col_ranges() == [(1, 6), (6, 10)]
    m = zelki.fit_additive("poisson", x, np.floor(x[:, 1] * 4), [(0, "cr")])
    assert m.term_col_ranges() == [(1, 10)]
    m = zelki.fit_additive("gaussian", x, y, [((0, 3), "te")])
    assert m.term_col_ranges() == [(1, 100)]


def test_inverse_gaussian_noise_term_gets_small_edf():
    rng = np.random.default_rng(1)
    n = 800
    x = rng.uniform(0.0, 1.0, (n, 2))
    mu = np.exp(0.5 + np.sin(2 * np.pi * x[:, 0]))
    # Inverse-Gaussian draws with shape 20: numpy's wald(mean, scale). Column 1 is pure noise.
    y = rng.wald(mu, 20.0)
    a = zelki.fit_additive("inverse_gaussian", x, y, [(0, "cr"), (1, "cr")])
    b = zelki.fit_additive("inverse_gaussian", x, y, [(1, "cr"), (0, "cr")])
    assert a.converged and b.converged
    # The straight line stays unpenalised, so a noise term shrinks to about one df, whichever
    # position it has; the order of the terms does not change the model.
    assert a.edf_per_term[1] < 1.2
    assert b.edf_per_term[0] < 1.2
    assert a.edf_per_term[0] > 6.0
    # Both searches stop within the outer tolerance of the same optimum.
    assert_allclose(a.edf_per_term, b.edf_per_term[::-1], rtol=1e-4)
    assert_allclose(a.reml_value, b.reml_value, rtol=1e-8)


@pytest.mark.parametrize(
    "family, terms, exc, message",
    [
        ("gaussian", [], ValueError, "fit_additive: terms list must be non-empty"),
        ("gausian", [], ValueError, "fit_additive: terms list must be non-empty"),
        ("gaussian", [[0, "cr"]], ValueError, "fit_additive: term 0 must be a tuple; got [0, 'cr']"),
        ("gaussian", [(0, "cr"), (1,)], ValueError, "fit_additive: term 1 tuple must have at least 2 elements"),
        ("gaussian", [(0, 5)], TypeError, None),
        ("gaussian", [(0.0, "cr")], ValueError, "fit_additive: univariate term 0 first element must be an integer column index"),
        ("gaussian", [(-1, "cr")], ValueError, "fit_additive: univariate term 0 first element must be an integer column index"),
        ("gaussian", [(0, "cr", -3)], OverflowError, None),
        ("gaussian", [(0, "bs")], ValueError, "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got bs"),
        ("gaussian", [(0, "cr"), ([0, 1], "te")], ValueError, "fit_additive: tensor term 1 first element must be a (col_a, col_b) tuple"),
        ("gaussian", [((0,), "te")], ValueError, "fit_additive: tensor term 0 cols tuple must have exactly 2 elements"),
        ("gaussian", [((0, -1), "te")], OverflowError, None),
        ("gaussian", [((0, 1), "te", 5)], ValueError, "fit_additive: tensor term 0 k must be a (k_a, k_b) tuple"),
        ("gaussian", [((0, 1), "te", (5, 5, 5))], ValueError, "fit_additive: tensor term 0 k tuple must have exactly 2 elements"),
        # Terms are parsed completely before the family is looked at.
        ("negbin", [(0, "bs")], ValueError, "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got bs"),
        ("negbin", [(0, "cr")], ValueError, FAMILY_MSG.format("negbin")),
        ("tdist", [(0, "cr")], ValueError, FAMILY_MSG.format("tdist")),
        ("ocat", [(0, "cr")], ValueError, FAMILY_MSG.format("ocat")),
        ("quantile", [(0, "cr")], ValueError, FAMILY_MSG.format("quantile")),
        ("gausian", [(0, "cr")], ValueError, FAMILY_MSG.format("gausian")),
        # Errors of the design: columns are checked against x before any basis is built.
        ("gaussian", [(0, "cr"), ((1, 7), "te")], ValueError, "Additive term 1 reads column 7 but x has only 4 columns"),
        ("gaussian", [((2, 2), "te")], ValueError, "Tensor term must have distinct margin columns (got col_a == col_b == 2)"),
    ],
)
def test_argument_errors(components, family, terms, exc, message):
    x, f, _ = components
    with pytest.raises(exc) as info:
        zelki.fit_additive(family, x, f[:, 0], terms)
    if message is not None:
        assert str(info.value) == message


def test_terms_must_be_a_list(components):
    x, f, _ = components
    with pytest.raises(TypeError, match="argument 'terms'"):
        zelki.fit_additive("gaussian", x, f[:, 0], ((0, "cr"),))


@pytest.mark.parametrize(
    "column, message",
    [(0, "x[:, 0] must be finite; got NaN at row 3"), (3, "x[:, 3] must be finite; got inf at row 3")],
)
def test_non_finite_values_in_read_columns_are_rejected(components, column, message):
    x, f, _ = components
    x = x.copy()
    x[3, column] = np.nan if column == 0 else np.inf
    with pytest.raises(ValueError) as info:
        zelki.fit_additive("gaussian", x, f[:, 0], [(0, "cr"), ((1, 3), "te", (4, 4))])
    assert str(info.value) == message
    # A column no term reads may hold anything.
    assert zelki.fit_additive("gaussian", x, f[:, 0], [(1, "cr")]).converged


def test_predictor_column_check(three_smooths):
    x, _, m = three_smooths
    with pytest.raises(ValueError, match="^AdditivePredictor: term 2 expects column 2 but x has only 2 columns$"):
        m.predict(x[:, :2])


def test_tensor_fits_agree_with_mgcv():
    # mgcv's REML fits of the same data (tests/reference/make_tensor_reference.py): the same
    # criterion, with the two margin penalties of the tensor term entering log|S_λ|₊ together.
    data = np.loadtxt(DATA / "tensor_gauss.csv", delimiter=",", skiprows=1)
    reference = json.loads((DATA / "tensor_gauss.json").read_text())
    x, y = data[:, :3], data[:, 3]
    te = zelki.fit_additive("gaussian", x, y, [((0, 1), "te", (5, 5))])
    both = zelki.fit_additive("gaussian", x, y, [(2, "cr"), ((0, 1), "te", (5, 5))])
    # Both optimise the same function of the smoothing parameters; the optima agree to the
    # outer tolerances, a few thousandths of a degree of freedom.
    assert te.edf_total == pytest.approx(reference["edf_total_te"], abs=0.02)
    assert both.edf_total == pytest.approx(reference["edf_total_s_plus_te"], abs=0.02)
    for m in (te, both):
        # The entries share out the model's degrees of freedom beyond the intercept.
        assert m.edf_per_term.sum() == pytest.approx(m.edf_total - 1.0, abs=1e-9)
        # edf = tr(H⁻¹XᵀX) with H⁻¹ = vcov/scale, from the lpmatrix.
        x_mat = m.evaluate_lpmatrix(x)
        h_inv = m.vcov() / m.scale
        assert np.trace(h_inv @ (x_mat.T @ x_mat)) == pytest.approx(m.edf_total, rel=1e-8)
