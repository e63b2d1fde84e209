"""The extension module's surface: exports, docstring, import caching and the signature of fit."""

import importlib
import inspect
import sys

import zelki
from zelki import _zelki_native

# Exports in their order of addition; later entries appear as they are built.
EXPORT_ORDER = ["FittedGam", "fit", "fit_additive"]
STANDARD_MODULE_DUNDERS = {
    "__all__",
    "__doc__",
    "__file__",
    "__loader__",
    "__name__",
    "__package__",
    "__spec__",
}


def test_exports_are_an_ordered_prefix_and_nothing_else():
    exported = _zelki_native.__all__
    assert isinstance(exported, list)
    assert len(exported) >= 2
    assert exported == EXPORT_ORDER[: len(exported)]
    extra = set(dir(_zelki_native)) - set(exported) - STANDARD_MODULE_DUNDERS
    assert extra == set()
    # The package re-exports the same objects under the same list.
    assert zelki.__all__ == exported
    assert all(getattr(zelki, name) is getattr(_zelki_native, name) for name in exported)


def test_module_docstring_is_empty():
    assert _zelki_native.__doc__ == ""


def test_reimport_gives_the_same_objects():
    assert importlib.import_module("zelki._zelki_native") is _zelki_native
    saved = sys.modules.pop("zelki._zelki_native")
    try:
        again = importlib.import_module("zelki._zelki_native")
        # The type object and the functions are created once per process.
        assert again.FittedGam is saved.FittedGam
        assert again.fit is saved.fit
    finally:
        sys.modules["zelki._zelki_native"] = saved


def test_fit_signature():
    params = inspect.signature(zelki.fit).parameters
    expected = {
        "family_name": inspect.Parameter.empty,
        "x": inspect.Parameter.empty,
        "y": inspect.Parameter.empty,
        "weights": None,
        "k": 10,
        "design": "cr",
        "theta": None,
        "nu": None,
        "sigma2": None,
        "tweedie_p": None,
        "tweedie_phi": None,
        "r": None,
        "tau": None,
        "elf_sigma": None,
        "elf_lambda": None,
    }
    assert list(params) == list(expected)
    assert {name: p.default for name, p in params.items()} == expected
    assert {p.kind for p in params.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
