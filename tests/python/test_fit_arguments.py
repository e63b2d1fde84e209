"""Binding and conversion of fit's arguments, the checks made before any fitting and the data checks."""

import math

import numpy as np
import pytest

import zelki


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(3)
    t = np.sort(rng.uniform(0.0, 1.0, 60))
    x = np.column_stack([t, rng.normal(size=t.size)])
    y = np.exp(np.sin(2.0 * np.pi * t)) + rng.uniform(
        0.1, 0.5, t.size
    )  # positive, for every family
    return x, y


# --- types and conversions -------------------------------------------------------------------


@pytest.mark.parametrize(
    "change, argument",
    [
        (lambda x, y: ("gaussian", x.astype(np.float32), y), "x"),
        (lambda x, y: ("gaussian", x[:, 0], y), "x"),
        (lambda x, y: ("gaussian", x, list(y)), "y"),
        (lambda x, y: ("gaussian", x, y[:, None]), "y"),
        (lambda x, y: (b"gaussian", x, y), "family_name"),
        (lambda x, y: (None, x, y), "family_name"),
    ],
    ids=["x float32", "x 1-D", "y list", "y 2-D", "family bytes", "family None"],
)
def test_wrong_array_or_name_type_names_the_argument(data, change, argument):
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        zelki.fit(*change(*data))


@pytest.mark.parametrize(
    "kwargs, argument",
    [
        ({"design": 1}, "design"),
        ({"design": None}, "design"),
        ({"weights": [1.0] * 60}, "weights"),
        ({"weights": np.ones(60, dtype=np.float32)}, "weights"),
        ({"k": None}, "k"),
        ({"k": 10.0}, "k"),
        ({"theta": "2"}, "theta"),
        ({"r": 3.0}, "r"),
    ],
    ids=lambda v: str(v) if isinstance(v, str) else None,
)
def test_wrong_keyword_type_names_the_argument(data, kwargs, argument):
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        zelki.fit("gaussian", *data, **kwargs)


@pytest.mark.parametrize("kwargs", [{"k": -1}, {"r": -1}])
def test_negative_count_raises_overflow_without_prefix(data, kwargs):
    with pytest.raises(OverflowError) as info:
        zelki.fit("ocat", *data, **kwargs)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda x, y: zelki.fit("gaussian", x, y, None, 10, "cr", *([None] * 9), None),
        lambda x, y: zelki.fit("gaussian", x),
        lambda x, y: zelki.fit("gaussian", x, y, kk=10),
        lambda x, y: zelki.fit("gaussian", x, y, x=x),
    ],
    ids=["too many positional", "missing y", "unknown keyword", "given twice"],
)
def test_binding_errors(data, call):
    with pytest.raises(TypeError):
        call(*data)


def test_index_and_float_protocols_are_accepted(data):
    class Index:
        def __index__(self):
            return 6

    g = zelki.fit("gaussian", *data, k=Index(), theta=np.float32(1.0))
    assert g.beta.shape == (6,)


def test_memory_layout_of_x_does_not_matter(data):
    x, y = data
    reference = zelki.fit("gaussian", x, y)
    column_major = zelki.fit("gaussian", np.asfortranarray(x), y)
    # Column 0 of the view is the covariate, read through negative column and row strides.
    reversed_columns = zelki.fit(
        "gaussian", np.ascontiguousarray(x[:, ::-1])[:, ::-1], y[::-1][::-1]
    )
    for g in (column_major, reversed_columns):
        np.testing.assert_array_equal(g.beta, reference.beta)
        assert g.reml_value == reference.reml_value
    # Reversing the rows of x and y is the same problem; sums run in another order, so agreement is
    # bounded by the outer iteration's tolerance rather than by rounding.
    reversed_rows = zelki.fit("gaussian", x[::-1], y[::-1])
    np.testing.assert_allclose(reversed_rows.beta, reference.beta, rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(reversed_rows.reml_value, reference.reml_value, rtol=1e-10)


def test_extra_columns_of_x_are_ignored(data):
    x, y = data
    a = zelki.fit("gaussian", x[:, :1], y)
    b = zelki.fit("gaussian", np.column_stack([x[:, 0], np.full(len(y), np.nan)]), y)
    np.testing.assert_array_equal(a.beta, b.beta)


# --- checks on names and parameters, made before any data is looked at ------------------------

UNKNOWN = (
    "; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, gamma, "
    "inverse_gaussian, negbin, tdist, tweedie, ocat, elf"
)


@pytest.mark.parametrize(
    "family, kwargs, message",
    [
        ("Gaussian", {}, "unknown family Gaussian" + UNKNOWN),
        ("", {}, "unknown family " + UNKNOWN),
        ("gaussian ", {}, "unknown family gaussian " + UNKNOWN),
        ("bogus", {"design": "CR"}, "unknown family bogus" + UNKNOWN),
        ("nb", {"theta": 0.0}, "negbin theta must be > 0; got theta=0"),
        ("negbin", {"theta": -1.5}, "negbin theta must be > 0; got theta=-1.5"),
        ("nb", {"theta": 0.0, "design": "bad"}, "negbin theta must be > 0; got theta=0"),
        ("tweedie", {"tweedie_p": 2.0}, "tweedie p must be in (1, 2); got tweedie_p=2"),
        ("tw", {"tweedie_p": 1.0}, "tweedie p must be in (1, 2); got tweedie_p=1"),
        ("tweedie", {"tweedie_p": math.nan}, "tweedie p must be in (1, 2); got tweedie_p=NaN"),
        ("ocat", {}, "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
        ("ocat", {"r": 2}, "ocat requires r >= 3, got r=2"),
        ("quantile", {"tau": 1.0}, "elf/quantile tau must be in (0, 1); got tau=1"),
        ("elf", {"tau": math.nan}, "elf/quantile tau must be in (0, 1); got tau=NaN"),
        ("elf", {"tau": 1e-7 - 1}, "elf/quantile tau must be in (0, 1); got tau=-0.9999999"),
        ("gaussian", {"design": "CR"}, "design must be 'cr', 're', or 'cr_stable'; got CR"),
        ("poisson", {"design": ""}, "design must be 'cr', 're', or 'cr_stable'; got "),
        ("gaussian", {"k": 2}, "CR spline needs k ≥ 3 (got 2)"),
        ("gaussian", {"k": 2, "design": "cr_stable"}, "CR spline needs k ≥ 3 (got 2)"),
    ],
)
def test_value_errors(data, family, kwargs, message):
    with pytest.raises(ValueError) as info:
        zelki.fit(family, *data, **kwargs)
    assert str(info.value) == message


def test_constant_covariate_cannot_place_knots(data):
    _, y = data
    with pytest.raises(ValueError) as info:
        zelki.fit("gaussian", np.ones((len(y), 1)), y)
    assert str(info.value) == "CR spline knots must be strictly increasing"


@pytest.mark.parametrize(
    "family, kwargs",
    [
        ("gaussian", {"theta": -5.0, "tweedie_p": 7.0, "tau": 3.0, "r": 0}),
        ("inverse.gaussian", {}),
        ("inverse_gaussian", {}),
        ("binomial", {"design": "re", "k": 0}),
    ],
    ids=["other families' parameters ignored", "dotted alias", "underscore name", "re ignores k"],
)
def test_accepted_without_error(family, kwargs):
    rng = np.random.default_rng(5)
    t = np.round(rng.uniform(0.0, 1.0, 80), 1)
    y = (rng.uniform(size=t.size) < 0.5).astype(float) + 0.5 * (family != "binomial")
    g = zelki.fit(family, t[:, None], y, **kwargs)
    assert np.all(np.isfinite(g.beta))


def test_family_aliases_give_the_same_fit(data):
    x, y = data
    a = zelki.fit("inverse_gaussian", x, y)
    b = zelki.fit("inverse.gaussian", x, y)
    np.testing.assert_array_equal(a.beta, b.beta)
    yb = (np.arange(len(y)) % 3 == 0).astype(float)  # not separable by the covariate
    np.testing.assert_array_equal(
        zelki.fit("binomial", x, yb).beta, zelki.fit("bernoulli", x, yb).beta
    )


# --- data checks ------------------------------------------------------------------------------


def _with(values, row, value):
    out = np.array(values, dtype=float)
    out[row] = value
    return out


N = 12
T = np.linspace(0.0, 1.0, N)
X = np.column_stack([T, T**2])
Y_POS = 1.0 + T
Y_01 = (np.arange(N) % 2).astype(float)


@pytest.mark.parametrize(
    "family, x, y, weights, message",
    [
        (
            "gaussian",
            X[:5],
            np.full(6, np.nan),
            None,
            "x and y must have the same number of rows; got x.nrows()=5, y.len()=6",
        ),
        (
            "poisson",
            X,
            Y_POS,
            np.ones(N - 1),
            f"prior_weights length must match x rows; got weights.len()={N - 1}, x.nrows()={N}",
        ),
        ("poisson", X, _with(Y_POS, 2, -1.0), None, "Poisson requires y ≥ 0; got y=-1 at row 2"),
        (
            "quasipoisson",
            X,
            _with(Y_POS, 4, -np.inf),
            None,
            "QuasiPoisson requires y ≥ 0; got y=-inf at row 4",
        ),
        ("gamma", X, _with(Y_POS, 0, 0.0), None, "Gamma requires y > 0; got y=0 at row 0"),
        (
            "inverse_gaussian",
            X,
            _with(Y_POS, 5, -0.25),
            None,
            "InverseGaussian requires y > 0; got y=-0.25 at row 5",
        ),
        (
            "bernoulli",
            X,
            _with(Y_01, 1, np.nan),
            None,
            "Bernoulli requires y in [0, 1]; got y=NaN at row 1",
        ),
        (
            "quasibinomial",
            X,
            _with(Y_01, 3, 1.5),
            None,
            "QuasiBinomial requires y in [0, 1]; got y=1.5 at row 3",
        ),
        # The range checks come first; values they let through meet the finiteness check.
        ("gamma", X, _with(Y_POS, 3, np.nan), None, "y must be finite; got NaN at row 3"),
        ("poisson", X, _with(Y_POS, 2, np.inf), None, "y must be finite; got inf at row 2"),
        (
            "gaussian",
            X,
            _with(_with(Y_POS, 2, -np.inf), 7, np.nan),
            None,
            "y must be finite; got -inf at row 2",
        ),
        (
            "gaussian",
            _with(X, (3, 0), np.nan),
            Y_POS,
            None,
            "x[:, 0] must be finite; got NaN at row 3",
        ),
        (
            "poisson",
            _with(X, (9, 0), -np.inf),
            Y_POS,
            None,
            "x[:, 0] must be finite; got -inf at row 9",
        ),
        (
            "gaussian",
            X,
            Y_POS,
            _with(np.ones(N), 4, -1.0),
            "weights must be finite and ≥ 0; got -1 at row 4",
        ),
        (
            "gamma",
            X,
            Y_POS,
            _with(np.ones(N), 6, np.nan),
            "weights must be finite and ≥ 0; got NaN at row 6",
        ),
        (
            "bernoulli",
            X,
            Y_01,
            _with(np.ones(N), 0, np.inf),
            "weights must be finite and ≥ 0; got inf at row 0",
        ),
    ],
)
@pytest.mark.parametrize("design", ["cr", "re"])
def test_data_checks(family, x, y, weights, message, design):
    with pytest.raises(ValueError) as info:
        zelki.fit(family, x, y, weights=weights, k=5, design=design)
    assert str(info.value) == message


def test_zero_weights_and_nonfinite_ignored_columns_are_allowed():
    weights = _with(np.ones(N), 4, 0.0)
    g = zelki.fit("poisson", _with(X, (2, 1), np.nan), Y_POS, weights=weights, k=5)
    assert np.all(np.isfinite(g.beta))


def test_weights_are_copied_not_aliased(data):
    x, y = data
    w = np.linspace(0.5, 1.5, len(y))
    before = w.copy()
    g = zelki.fit("gaussian", x, y, weights=w)
    np.testing.assert_array_equal(w, before)
    np.testing.assert_array_equal(zelki.fit("gaussian", x, y, weights=before).beta, g.beta)
