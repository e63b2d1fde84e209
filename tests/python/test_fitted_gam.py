"""The FittedGam class: read-only attributes, fresh copies, vcov, term_col_ranges and its lifetime rules."""

import weakref

import numpy as np
import pytest

import zelki

ARRAY_ATTRIBUTES = ["beta", "rho", "lambda", "edf_per_term"]
ATTRIBUTE_TYPES = {
    "scale": float,
    "edf_total": float,
    "n": int,
    "n_iters": int,
    "converged": bool,
    "reml_value": float,
}


def test_attribute_values_and_types(gaussian_fit, sine_data):
    g = gaussian_fit
    x, _, _ = sine_data
    p = 10
    for name in ARRAY_ATTRIBUTES:
        value = getattr(g, name)
        assert type(value) is np.ndarray and value.dtype == np.float64 and value.ndim == 1
    assert g.beta.shape == (p,)
    assert g.rho.shape == getattr(g, "lambda").shape == g.edf_per_term.shape == (1,)
    np.testing.assert_allclose(getattr(g, "lambda"), np.exp(g.rho), rtol=1e-15)
    for name, kind in ATTRIBUTE_TYPES.items():
        assert type(getattr(g, name)) is kind, name
    assert g.n == x.shape[0]
    assert g.converged is True


@pytest.mark.parametrize("name", ARRAY_ATTRIBUTES + ["vcov"])
def test_arrays_are_fresh_writable_copies(gaussian_fit, name):
    def read():
        return gaussian_fit.vcov() if name == "vcov" else getattr(gaussian_fit, name)

    first, second = read(), read()
    assert first is not second and not np.shares_memory(first, second)
    assert first.flags.writeable
    kept = first.copy()
    first[...] = np.nan
    np.testing.assert_array_equal(read(), kept)


@pytest.mark.parametrize("name", list(ATTRIBUTE_TYPES) + ARRAY_ATTRIBUTES + ["unknown_name"])
def test_attributes_cannot_be_assigned(gaussian_fit, name):
    with pytest.raises(AttributeError):
        setattr(gaussian_fit, name, 1.0)


def test_unknown_attribute_and_no_instance_dictionary(gaussian_fit):
    with pytest.raises(AttributeError):
        gaussian_fit.unknown_name  # noqa: B018
    with pytest.raises(AttributeError):
        gaussian_fit.__dict__  # noqa: B018


def test_class_identity_and_no_constructor():
    assert zelki.FittedGam.__name__ == "FittedGam"
    assert zelki.FittedGam.__module__ == "zelki._zelki_native"
    assert zelki.FittedGam.__doc__ is None
    with pytest.raises(TypeError):
        zelki.FittedGam()


def test_instances_cannot_be_weakly_referenced(gaussian_fit):
    with pytest.raises(TypeError):
        weakref.ref(gaussian_fit)


def test_vcov_and_term_col_ranges(gaussian_fit):
    v = gaussian_fit.vcov()
    p = gaussian_fit.beta.size
    assert v.shape == (p, p) and v.dtype == np.float64
    # Formed as scale·H⁻¹ from a Cholesky factor: symmetric to rounding.
    np.testing.assert_allclose(v, v.T, rtol=0, atol=1e-12 * np.abs(v).max())
    assert np.linalg.eigvalsh(v).min() > 0
    ranges = gaussian_fit.term_col_ranges()
    assert type(ranges) is list and ranges == [(1, p)]
    assert all(type(r) is tuple and all(type(i) is int for i in r) for r in ranges)


def test_methods_reject_a_foreign_receiver(gaussian_fit):
    with pytest.raises(TypeError):
        zelki.FittedGam.vcov(object())
    with pytest.raises(TypeError):
        zelki.FittedGam.beta.__get__(object())


@pytest.mark.parametrize("design, k, p", [("cr", 6, 6), ("cr_stable", 7, 7), ("re", 3, 5)])
def test_term_col_ranges_cover_the_smooth(design, k, p):
    t = np.tile([0.0, 1.0, 2.5, 4.0], 10)
    y = np.sin(t) + np.linspace(0, 0.5, t.size)
    g = zelki.fit("gaussian", t[:, None], y, k=k, design=design)
    assert g.beta.size == p
    assert g.term_col_ranges() == [(1, p)]
    assert g.vcov().shape == (p, p)
