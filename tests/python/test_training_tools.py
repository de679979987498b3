"""Checks of the guesser training tools and of the committed data/models files.

NumPy only; the PyTorch comparisons skip when torch is not installed.
"""
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))

import eisnn_format  # noqa: E402
import guesser_reference as reference  # noqa: E402
from guesser_registry import MODELS, MODELS_BY_KEY, network_tensor_names  # noqa: E402

MODEL_DIR = REPO / "data" / "models"

# Structural (a, b, c) rescale rows and log flags by field; a CPE q refers to its alpha.
EXPECTED_ROWS = {
    "R.r": ((1, 0, 0), 1), "C.c": ((-1, -1, 0), 1), "L.l": ((1, -1, 0), 1),
    "CPE.q": ((-1, 0, -1), 1), "CPE.alpha": ((0, 0, 0), 0), "W.aw": ((1, 0.5, 0), 1),
    "Wo.z0": ((1, 0, 0), 1), "Wo.tau": ((0, -1, 0), 1),
}

METADATA_ORDER = ["circuit", "param_names", "estimator", "n_grid", "channels", "kernel",
                  "groups", "dilations", "alpha_min", "alpha_max"]

COMMITTED = sorted(MODEL_DIR.glob("*.eisnn"))
COMMITTED_IDS = [p.stem for p in COMMITTED]


def random_file(model, rng, channels=8):
    """Encoded file of a randomly initialised network of the given size."""
    shapes = {"w.stem.weight": (channels, 3, 5), "w.head.0.weight": (4 * channels, 2 * channels + 2),
              "w.head.2.weight": (4 * channels, 4 * channels), "w.head.4.weight": (2 * model.n_params, 4 * channels),
              "w.head.0.bias": (4 * channels,), "w.head.2.bias": (4 * channels,),
              "w.head.4.bias": (2 * model.n_params,)}
    weights = {}
    for name in network_tensor_names():
        shape = shapes.get(name, (channels, channels, 5) if name.endswith(("conv1.weight", "conv2.weight"))
                           else (channels,))
        weights[name] = rng.normal(0.0, 1.0 if ".norm" in name and name.endswith("weight") else 0.3, shape)
    mean = rng.normal(0, 1, model.n_params)
    std = rng.uniform(0.1, 1, model.n_params)
    metadata, tensors = eisnn_format.guesser_contents(model, weights, mean, std, channels)
    return eisnn_format.encode(metadata, tensors), weights, mean, std


def sample_spectrum(seed=3, n=57):
    rng = np.random.default_rng(seed)
    f = rng.permutation(np.logspace(-1, 5, n))
    w = 2 * np.pi * f
    z = 2.0 + 30.0 / (1 + (1j * w * 1e-3) ** 0.8) + 1 / (1j * w * 0.05) ** 0.5
    return f, z


def test_writer_layout_and_round_trip():
    data = eisnn_format.encode([("k", "v")], [("t", np.array([1.5, -2.0]), eisnn_format.ENCODING_F32)])
    assert data == (b"EISNN001" + struct.pack("<II", 1, 1) + b"k" + struct.pack("<I", 1) + b"v"
                    + struct.pack("<II", 1, 1) + b"t" + bytes([0, 1]) + struct.pack("<I", 2)
                    + struct.pack("<ff", 1.5, -2.0))

    data, weights, mean, std = random_file(MODELS[2], np.random.default_rng(0))
    contents = eisnn_format.decode(data)
    assert [k for k, _ in contents.metadata] == METADATA_ORDER
    assert [name for name, _ in contents.tensors] == network_tensor_names() + [
        "target_mean", "target_std", "scaling", "log_params"]
    tensors = contents.tensor_map()
    stem = tensors["w.stem.weight"]
    assert stem.encoding == eisnn_format.ENCODING_F16 and stem.dims == (8, 3, 5)
    np.testing.assert_array_equal(stem.data, weights["w.stem.weight"].astype(np.float16).astype(np.float64).ravel())
    assert tensors["target_mean"].encoding == eisnn_format.ENCODING_F32
    np.testing.assert_array_equal(tensors["target_mean"].data, mean.astype(np.float32).astype(np.float64))
    np.testing.assert_array_equal(tensors["target_std"].data, std.astype(np.float32).astype(np.float64))


def test_training_features_and_targets_agree_with_inference():
    """The training pipeline's inputs and targets are what inference reads and decodes."""
    from training_data import fast_inputs, raw_targets

    f, z = sample_spectrum(seed=5, n=120)
    x, scalars, omega_c, z_c = fast_inputs(f, z)
    ref_omega, ref_z = reference.reactive_centroid(f, z)
    ref_x, ref_scalars = reference.features(f, z, 64, ref_omega, ref_z)
    assert (omega_c, z_c) == pytest.approx((ref_omega, ref_z), rel=1e-12)
    np.testing.assert_allclose(x, ref_x, rtol=0, atol=1e-12)
    np.testing.assert_allclose(scalars, ref_scalars, rtol=1e-15)

    rng = np.random.default_rng(4)
    for model in MODELS:
        data, _, _, _ = random_file(model, rng)
        guesser = reference.ReferenceGuesser(eisnn_format.decode(data))
        values = np.array([0.7 if n.endswith("alpha") else 10 ** rng.uniform(-3, 3) for n in model.param_names])
        outputs = (raw_targets(values, 37.0, 5.5, model.param_names) - guesser.target_mean) / guesser.target_std
        decoded = guesser.decode(np.concatenate([outputs, outputs])[None], [37.0], [5.5])
        np.testing.assert_allclose(decoded[0], values, rtol=1e-9)


@pytest.mark.parametrize("path", COMMITTED, ids=COMMITTED_IDS)
def test_committed_file_gives_finite_guess_of_right_length(path):
    guesser = reference.ReferenceGuesser.from_path(path)
    f, z = sample_spectrum()
    x, scalars, _, _ = guesser.spectrum_inputs(f, z)
    assert guesser.network(x[None], scalars[None]).shape == (1, 2 * len(guesser.param_names))
    guess = guesser.guess(f, z)
    assert len(guess) == len(guesser.param_names) and np.all(np.isfinite(guess))


def test_registry_matches_the_module_and_the_committed_files():
    kovrant = pytest.importorskip("kovrant")
    assert kovrant.Circuit.ml_circuits() == [model.key for model in MODELS]
    for model in MODELS:
        assert kovrant.Circuit(model.key).param_names() == list(model.param_names), model.key
        assert repr(kovrant.Circuit(model.key)) == repr(kovrant.Circuit(model.circuit)), model.key
    assert sorted(COMMITTED_IDS) == sorted(MODELS_BY_KEY)


@pytest.mark.parametrize("path", COMMITTED, ids=COMMITTED_IDS)
def test_committed_file_matches_registry(path):
    model = MODELS_BY_KEY[path.stem]
    names, channels = list(model.param_names), model.channels
    contents = eisnn_format.read(path)
    assert [k for k, _ in contents.metadata] == METADATA_ORDER
    meta = contents.meta()
    assert (meta["circuit"], meta["param_names"], meta["channels"]) == (model.circuit, ",".join(names), str(channels))
    assert (meta["estimator"], meta["n_grid"], meta["kernel"], meta["groups"], meta["dilations"]) == (
        "reactive_centroid", "64", "5", "8", "1,2,4,8")
    assert float(meta["alpha_min"]) == 0.05 and float(meta["alpha_max"]) == 1.0
    tensors = contents.tensor_map()
    assert len(contents.tensors) == 44
    for name, tensor in contents.tensors:
        assert tensor.encoding == (eisnn_format.ENCODING_F16 if name.startswith("w.")
                                   else eisnn_format.ENCODING_F32), name
    assert tensors["w.stem.weight"].dims == (channels, 3, 5)
    assert tensors["w.head.0.weight"].dims == (4 * channels, 2 * channels + 2)
    assert tensors["w.head.4.weight"].dims == (2 * len(names), 4 * channels)
    scaling = tensors["scaling"].data.reshape(-1, 4)
    log_params = tensors["log_params"].data
    assert scaling.shape == (len(names), 4) and len(log_params) == len(names)
    for j, name in enumerate(names):
        label, field = name.split(".")
        (a, b, c), is_log = EXPECTED_ROWS[label.rstrip("0123456789") + "." + field]
        ref = names.index(label + ".alpha") if field == "q" else -1
        assert tuple(scaling[j]) == (a, b, c, ref), name
        assert log_params[j] == is_log, name
    assert np.all(tensors["target_std"].data > 0)
    assert np.all(np.isfinite(tensors["target_mean"].data))


@pytest.mark.parametrize("path", COMMITTED, ids=COMMITTED_IDS)
def test_torch_network_matches_numpy_on_committed_weights(path):
    torch = pytest.importorskip("torch")
    from guesser_torch import GuesserNet, load_weights

    guesser = reference.ReferenceGuesser.from_path(path)
    net = GuesserNet(guesser.channels, len(guesser.param_names)).double()
    load_weights(net, guesser.tensors)
    inputs = [guesser.spectrum_inputs(*sample_spectrum(seed=s, n=20 + 30 * s)) for s in range(3)]
    x = np.stack([i[0] for i in inputs])
    scalars = np.stack([i[1] for i in inputs])
    with torch.no_grad():
        got = net(torch.from_numpy(x), torch.from_numpy(scalars)).numpy()
    np.testing.assert_allclose(got, guesser.network(x, scalars), rtol=1e-9, atol=1e-12)


def test_smoke_training_writes_loadable_files(tmp_path):
    pytest.importorskip("torch")
    pytest.importorskip("kovrant")
    import train_guessers

    train_guessers.main(["--models", "rc,randles", "--smoke", "--out", str(tmp_path / "m"),
                         "--cache-dir", str(tmp_path / "c"), "--report", str(tmp_path / "q.md")])
    for key in ("rc", "randles"):
        guesser = reference.ReferenceGuesser.from_path(tmp_path / "m" / f"{key}.eisnn")
        assert guesser.param_names == list(MODELS_BY_KEY[key].param_names)
        assert np.all(np.isfinite(guesser.guess(*sample_spectrum())))
    assert "| randles | W1.aw |" in (tmp_path / "q.md").read_text()
