"""Saved models: serialize/deserialize round trips, pickling, argument types, the first-use check
of inconsistent files, and fixture files that must keep loading."""

import json
import pickle
import struct
from pathlib import Path

import numpy as np
import pytest

import zelki

FIXTURES = Path(__file__).resolve().parents[1] / "fixtures"
DESIGNS = ["cr", "cr_stable", "re"]
HEADER = 17


def _points(design, t):
    # An re design needs repeated values: its levels are the distinct covariate values.
    return (np.round(4.0 * t) if design == "re" else t)[:, None]


@pytest.fixture(scope="module", params=DESIGNS)
def fitted(request, sine_data):
    x, y, _ = sine_data
    design = request.param
    x_design = _points(design, x[:, 0])
    x_new = _points(design, np.linspace(-0.2, 1.2, 41))
    # The re model is a Poisson fit, so that a non-identity link is saved too.
    if design == "re":
        return zelki.fit("poisson", x_design, np.abs(y), design=design), x_new
    return zelki.fit("gaussian", x_design, y, k=8, design=design), x_new


def _frame(body: bytes) -> bytes:
    return b"ZELKI" + struct.pack("<IQ", 1, len(body)) + body


def _assert_identical(a, b, x_new):
    for name in ["beta", "rho", "lambda", "edf_per_term"]:
        assert getattr(a, name).tobytes() == getattr(b, name).tobytes(), name
    for name in ["scale", "edf_total", "n", "n_iters", "converged", "reml_value"]:
        assert getattr(a, name) == getattr(b, name), name
    assert a.vcov().tobytes() == b.vcov().tobytes()
    assert a.predict(x_new).tobytes() == b.predict(x_new).tobytes()
    for got, want in zip(a.predict_ci(x_new), b.predict_ci(x_new)):
        assert got.tobytes() == want.tobytes()


def test_round_trip_is_bit_for_bit(fitted):
    model, x_new = fitted
    frame = model.serialize()
    assert type(frame) is bytes and frame[:5] == b"ZELKI"
    assert struct.unpack("<IQ", frame[5:HEADER]) == (1, len(frame) - HEADER)
    reloaded = zelki.FittedGam.deserialize(frame)
    _assert_identical(reloaded, model, x_new)
    assert reloaded.serialize() == frame


def test_pickle_carries_the_frame(fitted):
    model, x_new = fitted
    loader, (frame,) = model.__reduce__()
    assert loader == zelki.FittedGam.deserialize and frame == model.serialize()
    _assert_identical(pickle.loads(pickle.dumps(model)), model, x_new)


def test_deserialize_accepts_bytes_only(fitted):
    frame = fitted[0].serialize()

    class Frame(bytes):
        pass

    assert zelki.FittedGam.deserialize(Frame(frame)).serialize() == frame
    for wrong in [bytearray(frame), memoryview(frame)]:
        with pytest.raises(TypeError, match=r"^argument 'bytes': "):
            zelki.FittedGam.deserialize(wrong)
    with pytest.raises(ValueError) as info:
        zelki.FittedGam.deserialize(b"")
    assert str(info.value) == "FittedGam::deserialize: buffer too short (0 < 17 header bytes)"


def test_inconsistent_model_fails_at_first_use(fitted):
    model, x_new = fitted
    body = json.loads(model.serialize()[HEADER:])
    body["beta"]["data"].pop()
    body["beta"]["dim"] = [len(body["beta"]["data"])]
    reloaded = zelki.FittedGam.deserialize(_frame(json.dumps(body).encode()))  # not checked here
    for use in [reloaded.predict, reloaded.evaluate_lpmatrix, reloaded.predict_ci]:
        with pytest.raises(ValueError, match="inconsistent model"):
            use(x_new)


def test_null_float_reads_back_as_nan(fitted):
    # The writer spells NaN as null (a degenerate fit can have a NaN scale); such files must load.
    body = json.loads(fitted[0].serialize()[HEADER:])
    body["scale"] = None
    reloaded = zelki.FittedGam.deserialize(_frame(json.dumps(body, separators=(",", ":")).encode()))
    assert np.isnan(reloaded.scale)
    assert b'"scale":null' in reloaded.serialize()


@pytest.mark.parametrize("design", DESIGNS)
def test_fixture_frames_keep_loading(design):
    frame = (FIXTURES / f"frame_v1_{design}.bin").read_bytes()
    expected = json.loads((FIXTURES / "frame_v1_expected.json").read_text())[design]
    model = zelki.FittedGam.deserialize(frame)
    x_new = np.array([float.fromhex(v) for v in expected["x_new"]])[:, None]
    want = np.array([float.fromhex(v) for v in expected["predict"]])
    # The stored numbers read back exactly; the basis evaluation may be reorganised, so the
    # predictions are held to a few ulps of their magnitude rather than to the bit.
    np.testing.assert_allclose(model.predict(x_new), want, rtol=1e-13, atol=1e-13)
    assert model.serialize() == frame
