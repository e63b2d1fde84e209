"""zelki: fast, exact generalised additive models with a C++ core."""

from zelki import _zelki_native

__all__: list[str] = []
for _name in getattr(_zelki_native, "__all__", []):
    globals()[_name] = getattr(_zelki_native, _name)
    __all__.append(_name)
del _name
