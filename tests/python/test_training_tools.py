"""Checks of the guesser training tools and of the committed data/models files.

NumPy only; the PyTorch comparisons skip when torch is not installed.
"""
import math
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))

import eisnn_format  # noqa: E402
import guesser_reference as reference  # noqa: E402
from guesser_registry import MODELS, network_tensor_names  # noqa: E402

MODEL_DIR = REPO / "data" / "models"

# The eleven built-in models as documented: circuit, parameter names, channels.
EXPECTED_MODELS = {
    "rc": ("R0-(R1,C1)", "R0.r,R1.r,C1.c", 16),
    "rc_l": ("L0-R0-(R1,C1)", "L0.l,R0.r,R1.r,C1.c", 32),
    "rq": ("R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha", 32),
    "rq_l": ("L0-R0-(R1,CPE1)", "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha", 32),
    "two_rc": ("R0-(R1,C1)-(R2,C2)", "R0.r,R1.r,C1.c,R2.r,C2.c", 32),
    "two_rc_l": ("L0-R0-(R1,C1)-(R2,C2)", "L0.l,R0.r,R1.r,C1.c,R2.r,C2.c", 32),
    "two_rq": ("R0-(R1,CPE1)-(R2,CPE2)",
               "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha", 32),
    "two_rq_l": ("L0-R0-(R1,CPE1)-(R2,CPE2)",
                 "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha", 32),
    "randles": ("R0-(R1-W1,CPE1)", "R0.r,R1.r,W1.aw,CPE1.q,CPE1.alpha", 32),
    "sei_randles": ("R0-(R1,CPE1)-(R2-W2,CPE2)",
                    "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,W2.aw,CPE2.q,CPE2.alpha", 64),
    "sei_randles_wo": ("R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                       "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,Wo2.z0,Wo2.tau,CPE2.q,CPE2.alpha",
                       64),
}

# Structural (a, b, c) rescale rows and log flags by field; a CPE q refers to its alpha.
EXPECTED_ROWS = {
    "R.r": ((1, 0, 0), 1), "C.c": ((-1, -1, 0), 1), "L.l": ((1, -1, 0), 1),
    "CPE.q": ((-1, 0, -1), 1), "CPE.alpha": ((0, 0, 0), 0), "W.aw": ((1, 0.5, 0), 1),
    "Wo.z0": ((1, 0, 0), 1), "Wo.tau": ((0, -1, 0), 1),
}

METADATA_ORDER = ["circuit", "param_names", "estimator", "n_grid", "channels", "kernel",
                  "groups", "dilations", "alpha_min", "alpha_max"]

COMMITTED = sorted(MODEL_DIR.glob("*.eisnn"))


def random_weights(channels, n_params, rng):
    """File tensors of a randomly initialised network of the given size."""
    shapes = {"w.stem.weight": (channels, 3, 5), "w.stem.bias": (channels,),
              "w.head.0.weight": (4 * channels, 2 * channels + 2),
              "w.head.0.bias": (4 * channels,),
              "w.head.2.weight": (4 * channels, 4 * channels), "w.head.2.bias": (4 * channels,),
              "w.head.4.weight": (2 * n_params, 4 * channels), "w.head.4.bias": (2 * n_params,)}
    weights = {}
    for name in network_tensor_names():
        if name in shapes:
            shape = shapes[name]
        elif name.endswith("conv1.weight") or name.endswith("conv2.weight"):
            shape = (channels, channels, 5)
        else:
            shape = (channels,)
        scale = 1.0 if ".norm" in name and name.endswith("weight") else 0.3
        weights[name] = rng.normal(0.0, scale, shape)
    return weights


def random_file(model, rng, channels=8):
    weights = random_weights(channels, model.n_params, rng)
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


# --- writer and reader -----------------------------------------------------------


def test_round_trip_keeps_metadata_order_and_tensor_values():
    rng = np.random.default_rng(0)
    model = MODELS[2]
    data, weights, mean, std = random_file(model, rng)
    contents = eisnn_format.decode(data)
    assert [k for k, _ in contents.metadata] == METADATA_ORDER
    names = [name for name, _ in contents.tensors]
    assert names == network_tensor_names() + ["target_mean", "target_std", "scaling",
                                              "log_params"]
    tensors = contents.tensor_map()
    stem = tensors["w.stem.weight"]
    assert stem.encoding == eisnn_format.ENCODING_F16 and stem.dims == (8, 3, 5)
    np.testing.assert_array_equal(
        stem.data, weights["w.stem.weight"].astype(np.float16).astype(np.float64).ravel())
    assert tensors["target_mean"].encoding == eisnn_format.ENCODING_F32
    np.testing.assert_array_equal(tensors["target_std"].data,
                                  std.astype(np.float32).astype(np.float64))
    np.testing.assert_array_equal(tensors["target_mean"].data,
                                  mean.astype(np.float32).astype(np.float64))


def test_writer_layout_of_a_small_file_byte_by_byte():
    data = eisnn_format.encode([("k", "v")], [("t", np.array([1.5, -2.0]),
                                               eisnn_format.ENCODING_F32)])
    expected = (b"EISNN001" + struct.pack("<I", 1) + struct.pack("<I", 1) + b"k"
                + struct.pack("<I", 1) + b"v" + struct.pack("<I", 1)
                + struct.pack("<I", 1) + b"t" + bytes([0, 1]) + struct.pack("<I", 2)
                + struct.pack("<ff", 1.5, -2.0))
    assert data == expected


def test_reader_decodes_int8_encoding_and_ignores_trailing_bytes():
    record = (struct.pack("<I", 1) + b"q" + bytes([2, 1]) + struct.pack("<I", 2)
              + struct.pack("<f", 0.5) + bytes([0xFF, 0x02]))
    data = b"EISNN001" + struct.pack("<I", 0) + struct.pack("<I", 1) + record + b"junk"
    tensor = eisnn_format.decode(data).tensor_map()["q"]
    np.testing.assert_array_equal(tensor.data, [-0.5, 1.0])


def test_reader_rejects_bad_magic_and_truncation():
    with pytest.raises(ValueError, match="bad magic"):
        eisnn_format.decode(b"EISNN002" + bytes(8))
    data, _, _, _ = random_file(MODELS[0], np.random.default_rng(1))
    with pytest.raises(ValueError, match="truncated"):
        eisnn_format.decode(data[:-3])


def test_rank_zero_tensor_stores_one_element():
    data = eisnn_format.encode([], [("s", np.array(2.5), eisnn_format.ENCODING_F32)])
    tensor = eisnn_format.decode(data).tensor_map()["s"]
    assert tensor.dims == () and tensor.data.tolist() == [2.5]


# --- NumPy reference inference ----------------------------------------------------


def test_reactive_centroid_of_a_capacitor_is_the_geometric_mean():
    f = np.array([0.1, 10.0, 1000.0, 3.0])
    z = 1 / (1j * 2 * np.pi * f * 1e-3)
    omega_c, z_c = reference.reactive_centroid(f, z)
    # Every point has full capacitive weight, so both centroids are plain log-means.
    expected_omega = 2 * np.pi * math.exp(np.mean(np.log(f)))
    assert omega_c == pytest.approx(expected_omega, rel=1e-12)
    assert z_c == pytest.approx(1 / (expected_omega * 1e-3), rel=1e-12)


def test_reactive_centroid_ignores_inductive_and_zero_points():
    f = np.array([1.0, 10.0, 100.0, 0.0])
    z = np.array([1 - 1j, 5 + 5j, 0j, 1 - 1j])
    omega_c, z_c = reference.reactive_centroid(f, z)
    assert omega_c == pytest.approx(2 * np.pi, rel=1e-12)
    assert z_c == pytest.approx(math.sqrt(2), rel=1e-12)


def test_reactive_centroid_falls_back_for_resistive_spectrum():
    f = np.array([1.0, 100.0, 10.0, 1000.0])
    z = np.array([3.0, 1.0, 2.0, 4.0], dtype=complex)
    omega_c, z_c = reference.reactive_centroid(f, z)
    assert omega_c == pytest.approx(2 * np.pi * math.sqrt(1000.0), rel=1e-12)
    assert z_c == 3.0  # upper of the two middle magnitudes


def test_phase_unwrap_crosses_minus_pi():
    ph = reference.unwrap_phase(np.array([3.0, -3.0]))
    assert ph[1] == pytest.approx(3.2831853071795862, abs=1e-15)


def test_features_do_not_depend_on_input_order():
    f, z = sample_spectrum()
    order = np.argsort(f)
    a = reference.features(f, z, 64, 100.0, 10.0)
    b = reference.features(f[order], z[order], 64, 100.0, 10.0)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_interpolate_takes_end_values_outside_and_is_linear_inside():
    xs, ys = np.array([0.0, 1.0, 3.0]), np.array([1.0, 3.0, -1.0])
    out = reference.interpolate(xs, ys, np.array([-1.0, 0.5, 2.0, 3.0, 9.0]))
    np.testing.assert_allclose(out, [1.0, 2.0, 1.0, -1.0, -1.0])


def test_training_features_match_the_reference():
    from training_data import fast_inputs

    f, z = sample_spectrum(seed=5, n=120)
    x, scalars, omega_c, z_c = fast_inputs(f, z)
    ref_omega, ref_z = reference.reactive_centroid(f, z)
    ref_x, ref_scalars = reference.features(f, z, 64, ref_omega, ref_z)
    assert omega_c == pytest.approx(ref_omega, rel=1e-12)
    assert z_c == pytest.approx(ref_z, rel=1e-12)
    np.testing.assert_allclose(x, ref_x, rtol=0, atol=1e-12)
    np.testing.assert_allclose(scalars, ref_scalars, rtol=1e-15)


def test_decoding_undoes_the_training_targets():
    from training_data import raw_targets

    rng = np.random.default_rng(4)
    for model in MODELS:
        data, _, mean, std = random_file(model, rng)
        guesser = reference.ReferenceGuesser(eisnn_format.decode(data))
        values = np.array([0.7 if n.endswith("alpha") else 10 ** rng.uniform(-3, 3)
                           for n in model.param_names])
        omega_c, z_c = 37.0, 5.5
        targets = raw_targets(values, omega_c, z_c, model.param_names)
        outputs = (targets - guesser.target_mean) / guesser.target_std
        decoded = guesser.decode(np.concatenate([outputs, outputs])[None], [omega_c], [z_c])
        np.testing.assert_allclose(decoded[0], values, rtol=1e-9)


def test_decoding_clamps_exponents():
    rng = np.random.default_rng(6)
    data, _, _, _ = random_file(MODELS[2], rng)
    guesser = reference.ReferenceGuesser(eisnn_format.decode(data))
    outputs = np.zeros((1, 8))
    outputs[0, 3] = (1.7 - guesser.target_mean[3]) / guesser.target_std[3]
    assert guesser.decode(outputs, [1.0], [1.0])[0, 3] == pytest.approx(1.0)


def test_group_norm_leaves_channels_beyond_full_groups_unchanged():
    x = np.random.default_rng(2).normal(size=(1, 10, 4))
    y = reference.group_norm(x, np.ones(10), np.zeros(10), 4)
    np.testing.assert_array_equal(y[0, 8:], x[0, 8:])
    block = y[0, :2].ravel()
    assert abs(block.mean()) < 1e-12 and block.var() == pytest.approx(1, rel=1e-3)


@pytest.mark.parametrize("path", COMMITTED, ids=[p.stem for p in COMMITTED])
def test_committed_file_gives_finite_guess_of_right_length(path):
    guesser = reference.ReferenceGuesser.from_path(path)
    f, z = sample_spectrum()
    x, scalars, omega_c, z_c = guesser.spectrum_inputs(f, z)
    out = guesser.network(x[None], scalars[None])
    assert out.shape == (1, 2 * len(guesser.param_names))
    guess = guesser.guess(f, z)
    assert len(guess) == len(guesser.param_names) and np.all(np.isfinite(guess))


# --- synthetic spectra ------------------------------------------------------------


def arc_time_constant(r, q, alpha=1.0):
    return (r * q) ** (1.0 / alpha)


@pytest.mark.parametrize("key", ["two_rc", "two_rc_l", "two_rq", "two_rq_l", "sei_randles",
                                 "sei_randles_wo"])
def test_first_arc_is_the_faster_one(key):
    from guesser_registry import MODELS_BY_KEY
    from synthetic_spectra import DRAWS

    names = MODELS_BY_KEY[key].param_names
    rng = np.random.default_rng(11)
    for _ in range(200):
        v = dict(zip(names, DRAWS[key](rng).values))
        if "C1.c" in v:
            fast, slow = v["R1.r"] * v["C1.c"], v["R2.r"] * v["C2.c"]
        else:
            fast = arc_time_constant(v["R1.r"], v["CPE1.q"], v["CPE1.alpha"])
            slow = arc_time_constant(v["R2.r"], v["CPE2.q"], v["CPE2.alpha"])
        assert fast * 10 < slow


@pytest.mark.parametrize("key", [m.key for m in MODELS])
def test_window_shows_every_feature_with_its_margin(key):
    from synthetic_spectra import DRAWS, sample_window

    rng = np.random.default_rng(12)
    for _ in range(200):
        draw = DRAWS[key](rng)
        lo, hi = sample_window(rng, draw)
        assert lo <= draw.feature_lo - draw.margin_lo + 1e-12
        assert hi >= draw.feature_hi + draw.margin_hi - 1e-12
        needed = draw.feature_hi + draw.margin_hi - draw.feature_lo + draw.margin_lo
        assert max(3.0, needed) - 1e-9 <= hi - lo <= max(10.0, needed) + 1e-9


def test_cut_window_starts_at_the_slowest_feature():
    from synthetic_spectra import DRAWS, sample_window

    rng = np.random.default_rng(13)
    draw = DRAWS["two_rq"](rng)
    lo, hi = sample_window(rng, draw, cut_slowest=True)
    assert lo == draw.feature_lo and hi >= draw.feature_hi + draw.margin_hi - 1e-12


def test_inductance_reactance_at_top_frequency_is_a_multiple_of_r0():
    from synthetic_spectra import set_inductance

    rng = np.random.default_rng(14)
    for _ in range(100):
        values = [math.nan, 3.0, 10.0, 1e-3]
        set_inductance(rng, values, 5.0)
        ratio = 2 * math.pi * 1e5 * values[0] / values[1]
        assert 0.5 <= ratio <= 20.0


def test_frequencies_fill_the_window_in_some_order():
    from synthetic_spectra import sample_frequencies

    rng = np.random.default_rng(15)
    orders = set()
    for _ in range(60):
        f = sample_frequencies(rng, -1.0, 4.0)
        assert 20 <= len(f) <= 200
        assert f.min() == pytest.approx(0.1) and f.max() == pytest.approx(1e4)
        orders.add("up" if np.all(np.diff(f) > 0) else
                   "down" if np.all(np.diff(f) < 0) else "shuffled")
    assert orders == {"up", "down", "shuffled"}


def test_noise_is_relative_to_the_modulus():
    from synthetic_spectra import add_noise

    rng = np.random.default_rng(16)
    z = np.full(20000, 3.0 - 4.0j)
    noisy = add_noise(rng, z, 0.02)
    assert np.std((noisy - z).real) == pytest.approx(0.1, rel=0.05)
    assert np.std((noisy - z).imag) == pytest.approx(0.1, rel=0.05)


def test_targets_do_not_depend_on_the_spectrum_scale():
    from training_data import raw_targets

    names = MODELS[10].param_names
    values = np.array([2.0, 5.0, 1e-4, 0.8, 9.0, 4.0, 0.3, 2e-2, 0.9])
    base = raw_targets(values, 100.0, 7.0, names)
    # Impedances x10 and frequencies x1000 change each parameter by its units.
    k, m = 10.0, 1000.0
    scaled = values * np.array([k, k, 1 / (k * m ** 0.8), 1, k, k, 1 / m, 1 / (k * m ** 0.9), 1])
    np.testing.assert_allclose(raw_targets(scaled, 100.0 * m, 7.0 * k, names), base,
                               rtol=1e-12, atol=1e-12)


def test_simulated_rc_spectrum_matches_its_formula():
    pytest.importorskip("kovrant")
    from synthetic_spectra import simulate

    f = np.logspace(-2, 5, 30)
    z = simulate("R0-(R1,C1)", [2.0, 10.0, 1e-3], f)
    np.testing.assert_allclose(z, 2.0 + 10.0 / (1 + 1j * 2 * np.pi * f * 1e-2), rtol=1e-12)


# --- committed files against the registry ----------------------------------------


def test_all_eleven_models_are_committed():
    assert sorted(p.stem for p in COMMITTED) == sorted(EXPECTED_MODELS)


@pytest.mark.parametrize("path", COMMITTED, ids=[p.stem for p in COMMITTED])
def test_committed_file_matches_registry(path):
    circuit, param_names, channels = EXPECTED_MODELS[path.stem]
    contents = eisnn_format.read(path)
    assert [k for k, _ in contents.metadata] == METADATA_ORDER
    meta = contents.meta()
    assert meta["circuit"] == circuit
    assert meta["param_names"] == param_names
    assert meta["estimator"] == "reactive_centroid"
    assert (meta["n_grid"], meta["kernel"], meta["groups"]) == ("64", "5", "8")
    assert meta["dilations"] == "1,2,4,8"
    assert float(meta["alpha_min"]) == 0.05 and float(meta["alpha_max"]) == 1.0
    assert meta["channels"] == str(channels)
    names = param_names.split(",")
    tensors = contents.tensor_map()
    assert len(contents.tensors) == 44
    for name, tensor in contents.tensors:
        expected = eisnn_format.ENCODING_F16 if name.startswith("w.") else \
            eisnn_format.ENCODING_F32
        assert tensor.encoding == expected, name
    assert tensors["w.stem.weight"].dims == (channels, 3, 5)
    assert tensors["w.head.0.weight"].dims == (4 * channels, 2 * channels + 2)
    assert tensors["w.head.4.weight"].dims == (2 * len(names), 4 * channels)
    scaling = tensors["scaling"].data.reshape(-1, 4)
    log_params = tensors["log_params"].data
    assert scaling.shape == (len(names), 4) and len(log_params) == len(names)
    for j, name in enumerate(names):
        label, field = name.split(".")
        (a, b, c), is_log = EXPECTED_ROWS[label.rstrip("0123456789") + "." + field]
        assert tuple(scaling[j, :3]) == (a, b, c), name
        assert log_params[j] == is_log, name
        ref = names.index(label + ".alpha") if field == "q" else -1
        assert scaling[j, 3] == ref, name
    assert np.all(tensors["target_std"].data > 0)
    assert np.all(np.isfinite(tensors["target_mean"].data))


# --- PyTorch twin (training only) --------------------------------------------------


@pytest.mark.parametrize("key", ["rc", "sei_randles_wo"])
def test_torch_network_matches_numpy_reference(key):
    torch = pytest.importorskip("torch")
    from guesser_torch import GuesserNet, load_weights
    from guesser_registry import MODELS_BY_KEY

    model = MODELS_BY_KEY[key]
    data, _, _, _ = random_file(model, np.random.default_rng(7), channels=16)
    guesser = reference.ReferenceGuesser(eisnn_format.decode(data))
    net = GuesserNet(16, model.n_params).double()
    load_weights(net, guesser.tensors)
    inputs = [guesser.spectrum_inputs(*sample_spectrum(seed=s, n=20 + 30 * s)) for s in range(4)]
    x = np.stack([i[0] for i in inputs])
    scalars = np.stack([i[1] for i in inputs])
    expected = guesser.network(x, scalars)
    with torch.no_grad():
        got = net(torch.from_numpy(x), torch.from_numpy(scalars)).numpy()
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("path", COMMITTED, ids=[p.stem for p in COMMITTED])
def test_torch_network_matches_numpy_on_committed_weights(path):
    torch = pytest.importorskip("torch")
    from guesser_torch import GuesserNet, load_weights

    guesser = reference.ReferenceGuesser.from_path(path)
    net = GuesserNet(guesser.channels, len(guesser.param_names)).double()
    load_weights(net, guesser.tensors)
    x, scalars, _, _ = guesser.spectrum_inputs(*sample_spectrum())
    expected = guesser.network(x[None], scalars[None])
    with torch.no_grad():
        got = net(torch.from_numpy(x[None]), torch.from_numpy(scalars[None])).numpy()
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12)


def test_smoke_training_writes_loadable_files(tmp_path):
    pytest.importorskip("torch")
    pytest.importorskip("kovrant")
    import train_guessers

    train_guessers.main(["--models", "rc,randles", "--smoke", "--out", str(tmp_path / "m"),
                         "--cache-dir", str(tmp_path / "c"),
                         "--report", str(tmp_path / "q.md")])
    for key in ("rc", "randles"):
        guesser = reference.ReferenceGuesser.from_path(tmp_path / "m" / f"{key}.eisnn")
        assert guesser.param_names == EXPECTED_MODELS[key][1].split(",")
        assert np.all(np.isfinite(guesser.guess(*sample_spectrum())))
    report = (tmp_path / "q.md").read_text()
    assert "| randles | W1.aw |" in report
