"""Checks of the guesser training tools and of the committed data/models files.

NumPy only; the PyTorch comparisons skip when torch is not installed.
"""
import struct
from pathlib import Path

import numpy as np
import pytest

from tools import eisnn_format
from tools import guesser_reference as reference
from tools.guesser_registry import MODELS, MODELS_BY_KEY, network_tensor_names

REPO = Path(__file__).resolve().parents[2]

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
    from tools.training_data import fast_inputs, raw_targets

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
    from tools.guesser_torch import GuesserNet, load_weights

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
    from tools import train_guessers

    train_guessers.main(["--models", "rc,randles", "--smoke", "--out", str(tmp_path / "m"),
                         "--cache-dir", str(tmp_path / "c"), "--report", str(tmp_path / "q.md")])
    for key in ("rc", "randles"):
        guesser = reference.ReferenceGuesser.from_path(tmp_path / "m" / f"{key}.eisnn")
        assert guesser.param_names == list(MODELS_BY_KEY[key].param_names)
        assert np.all(np.isfinite(guesser.guess(*sample_spectrum())))
    assert "| randles | W1.aw |" in (tmp_path / "q.md").read_text()


# --- the broad distribution, best-fit targets and resumable training ---

def _arc_log_f(r, q, alpha=1.0):
    return -np.log10(2 * np.pi) - np.log10(r * q) / alpha


@pytest.mark.parametrize("model", MODELS, ids=[m.key for m in MODELS])
def test_broad_spectra_keep_their_ranges(model):
    pytest.importorskip("kovrant")
    from tools import broad_spectra

    rng = np.random.default_rng(11)
    for _ in range(20):
        spec = broad_spectra.sample_spectrum(rng, model.key, model.circuit, richer=False)
        v = dict(zip(model.param_names, spec.values))
        f = spec.frequencies
        assert np.all(np.isfinite(spec.impedances)) and spec.circuit == model.circuit
        assert all(val > 0 for val in v.values())
        assert 0.01 <= v["R0.r"] / v["R1.r"] <= 20.0
        assert all(0.3 <= a <= 1.0 for n, a in v.items() if n.endswith("alpha"))
        if "R2.r" in v:  # the first-written arc is the faster one, at least 0.7 decade apart
            kind, field = ("C", "c") if "C2.c" in v else ("CPE", "q")
            first = _arc_log_f(v["R1.r"], v[f"{kind}1.{field}"], v.get(f"{kind}1.alpha", 1.0))
            second = _arc_log_f(v["R2.r"], v[f"{kind}2.{field}"], v.get(f"{kind}2.alpha", 1.0))
            assert first - second >= 0.7 - 1e-9
        diffusion = {"W1.aw": "R1.r", "W2.aw": "R2.r"}
        for name, arc in diffusion.items():
            if name in v:  # |Z_W| at the lowest frequency is 0.3 to 3 times its arc's R
                ratio = v[name] * np.sqrt(2 / (2 * np.pi * f.min())) / v[arc]
                assert 0.3 - 1e-9 <= ratio <= 3.0 + 1e-9
        if "Wo2.tau" in v:  # the finite-length bend lies in the lower half of the window
            bend = np.log10(1 / (2 * np.pi * v["Wo2.tau"]))
            lo, hi = np.log10(f.min()), np.log10(f.max())
            assert lo - 1e-9 <= bend <= 0.5 * (lo + hi) + 1e-9


def test_canonical_order_puts_the_faster_arc_first():
    from tools.fit_targets import canonical_order

    names = MODELS_BY_KEY["two_rq"].param_names
    slow_first = [1.0, 10.0, 1e-1, 0.8, 5.0, 1e-5, 0.9]  # arc 1 at ~1.6 Hz, arc 2 at ~4 kHz
    swapped = canonical_order("two_rq", names, slow_first)
    np.testing.assert_array_equal(swapped, [1.0, 5.0, 1e-5, 0.9, 10.0, 1e-1, 0.8])
    np.testing.assert_array_equal(canonical_order("two_rq", names, swapped), swapped)
    np.testing.assert_array_equal(canonical_order("randles", ["a"], [3.0]), [3.0])


def test_best_fit_targets():
    kovrant = pytest.importorskip("kovrant")
    from tools.fit_targets import best_fit
    from tools.training_data import usable_target

    model = MODELS_BY_KEY["rc"]
    f = np.logspace(-1, 5, 60)
    truth = [2.0, 30.0, 1e-5]
    exact = kovrant.Circuit(model.circuit).with_values(truth).impedance(f)
    values, chi = best_fit(model.circuit, model.param_names, [4.0, 10.0, 1e-4], f, exact, seed=1)
    np.testing.assert_allclose(values, truth, rtol=1e-5)
    # A spectrum rc cannot represent: the target is at least as good as the default fit.
    richer = kovrant.Circuit("R0-(R1,C1)-(R9,CPE9)").with_values(truth + [10.0, 1e-2, 0.6]).impedance(f)
    values, chi = best_fit(model.circuit, model.param_names, truth, f, richer, seed=1)
    assert chi <= kovrant.Circuit(model.circuit).with_values(truth).fit(f, richer).chi_square
    assert usable_target(model, values) and not usable_target(model, [1e-12, 30.0, 1e-5])


def test_chunked_dataset_resumes_and_pauses(tmp_path):
    pytest.importorskip("kovrant")
    from tools.training_data import ChunkJob, Paused, chunked_dataset

    job = ChunkJob("rq", "broad", seed=5)
    whole = chunked_dataset(tmp_path / "a", job, count=10, chunk=4)
    (tmp_path / "a" / "chunk0001.npz").unlink()
    with pytest.raises(Paused):
        chunked_dataset(tmp_path / "a", job, count=10, chunk=4, deadline=0.0)
    for data in (chunked_dataset(tmp_path / "a", job, count=10, chunk=4),
                 chunked_dataset(tmp_path / "b", job, count=10, chunk=4, workers=2)):
        assert data["x"].shape == (10, 3, 64)
        for key in whole:
            np.testing.assert_array_equal(data[key], whole[key])


def test_broad_training_data_mixes_in_the_old_distribution(tmp_path):
    pytest.importorskip("kovrant")
    import dataclasses

    from tools import training
    from tools.training_data import build_dataset

    model = MODELS_BY_KEY["rq"]
    budget = dataclasses.replace(training.budget_for(model, smoke=True), n_train=10, chunk=4,
                                 old_share=0.3)
    data, n_old = training.broad_training_data(model, budget, tmp_path, 1, None)
    assert n_old == 3 and len(data["targets"]) == 10
    old = build_dataset(model, 3, training.seed_of(model, 0))
    np.testing.assert_array_equal(data["targets"][-3:], old["targets"])
    assert training.budget_for(MODELS_BY_KEY["two_rq"], False, "broad").old_share > 0


def test_degenerate_best_fit_targets_are_left_out():
    from tools.training_data import TARGET_LIMIT, without_degenerate_targets

    targets = np.array([[0.5, -3.0], [0.5, np.inf], [TARGET_LIMIT + 1.0, 0.0], [np.nan, 0.0], [-TARGET_LIMIT, 1.0]])
    kept = without_degenerate_targets({"targets": targets, "values": np.arange(5.0)})
    np.testing.assert_array_equal(kept["values"], [0.0, 4.0])


def test_training_resumed_from_checkpoint_equals_uninterrupted(tmp_path):
    torch = pytest.importorskip("torch")
    pytest.importorskip("kovrant")
    from tools import training
    from tools.training_data import Paused, build_dataset

    model = MODELS_BY_KEY["rc"]
    budget = training.budget_for(model, smoke=True)
    data = build_dataset(model, 128, seed=3)
    torch.set_num_threads(1)
    straight, _, _ = training.train_network(model, budget, data, log=lambda m: None)
    checkpoint = tmp_path / "rc.pt"
    with pytest.raises(Paused):
        training.train_network(model, budget, data, lambda m: None, checkpoint, deadline=0.0)
    resumed, _, _ = training.train_network(model, budget, data, lambda m: None, checkpoint)
    for name, tensor in straight.state_dict().items():
        torch.testing.assert_close(resumed.state_dict()[name], tensor, rtol=0, atol=0)


def test_broad_smoke_run_pauses_resumes_and_compares(tmp_path):
    pytest.importorskip("torch")
    pytest.importorskip("kovrant")
    from tools import train_guessers

    argv = ["--distribution", "broad", "--models", "rc", "--smoke", "--workers", "1",
            "--out", str(tmp_path / "m"), "--cache-dir", str(tmp_path / "c"),
            "--report", str(tmp_path / "q.md")]
    assert train_guessers.main(argv + ["--time-limit", "0"]) == train_guessers.PAUSED_EXIT_CODE
    assert not (tmp_path / "m" / "rc.eisnn").exists()
    assert train_guessers.main(argv) == 0
    report = (tmp_path / "q.md").read_text()
    assert "| rc | C1.c |" in report and report.count("| rc |") == 5  # three parameters, the summary, the record
    assert (MODEL_DIR / "rc.eisnn").read_bytes() == (tmp_path / "c" / "baseline" / "rc.eisnn").read_bytes()


def test_artefacts_change_what_they_should(monkeypatch):
    from tools import broad_spectra

    f = np.logspace(-2, 5, 50)
    z = 1.0 + 10.0 / (1 + 1j * 2 * np.pi * f * 1e-3)
    for share in ("TAIL_SHARE", "DRIFT_SHARE", "OUTLIER_SHARE"):
        monkeypatch.setattr(broad_spectra, share, 0.0)
    np.testing.assert_array_equal(broad_spectra.add_artefacts(np.random.default_rng(0), f, z, True), z)
    monkeypatch.setattr(broad_spectra, "TAIL_SHARE", 1.0)
    tail = broad_spectra.add_artefacts(np.random.default_rng(0), f, z, True) - z
    assert tail.imag[-1] > 0.05 * abs(z[-1]) and np.all(tail.real == 0) and tail.imag[0] < 1e-6
    np.testing.assert_array_equal(broad_spectra.add_artefacts(np.random.default_rng(0), f, z, False), z)
    monkeypatch.setattr(broad_spectra, "TAIL_SHARE", 0.0)
    monkeypatch.setattr(broad_spectra, "DRIFT_SHARE", 1.0)
    drift = np.abs(broad_spectra.add_artefacts(np.random.default_rng(0), f, z, True) - z)
    assert drift[0] >= 0.01 * abs(z[0]) - 1e-12 and drift[-1] < 1e-6 * drift[0]
    monkeypatch.setattr(broad_spectra, "DRIFT_SHARE", 0.0)
    monkeypatch.setattr(broad_spectra, "OUTLIER_SHARE", 1.0)
    moved = broad_spectra.add_artefacts(np.random.default_rng(0), f, z, True) != z
    assert 1 <= moved.sum() <= 3


def test_richer_spectra_come_from_a_bigger_circuit():
    kovrant = pytest.importorskip("kovrant")
    from tools import broad_spectra

    rng = np.random.default_rng(2)
    for model in (MODELS_BY_KEY["two_rq_l"], MODELS_BY_KEY["sei_randles"]):
        for _ in range(5):
            spec = broad_spectra.sample_spectrum(rng, model.key, model.circuit, richer=True)
            assert spec.richer and spec.circuit.startswith(model.circuit + "-")
            assert len(kovrant.Circuit(spec.circuit).param_names()) > len(spec.values) == model.n_params
            assert not ("W" in model.circuit and "W9" in spec.circuit)  # never a second tail


def test_measured_benchmark_spectra_are_listed_and_readable():
    bench = REPO / "bench"
    pytest.importorskip("kovrant")
    from bench import bench_real_data

    files = sorted(p.stem for p in (bench / "data" / "measured").glob("*.csv"))
    assert files == sorted(bench_real_data.TOPOLOGIES)
    sources = (bench / "data" / "measured" / "SOURCES.md").read_text()
    for name in files:
        assert f"| {name}.csv |" in sources
        f, z = bench_real_data.read_spectrum(bench / "data" / "measured" / f"{name}.csv")
        assert len(f) >= 20 and np.all(f > 0) and np.all(np.isfinite(z)) and np.all(z.real > 0)
    assert bench_real_data.peer_notation("L0-R0-(R1,CPE1)-(R2-W2,CPE2)") == "L0-R0-p(R1,CPE1)-p(R2-W2,CPE2)"


@pytest.mark.parametrize("change, promoted", [
    ({}, True),
    ({("new distribution, noise 1 %", "new"): 0.12}, False),  # worse on the broad set
    ({("recovery, old distribution, noise 1 %", "new"): 0.97}, False),  # loses old-set fits
    ({("recovery, new distribution, noise 1 %", "new"): 0.985}, True),  # within the slack
    ({("old distribution, noise 1 %", "new"): 0.11}, False),  # old-set guesses too coarse
])
def test_promotion_rule(change, promoted, monkeypatch):
    from tools import promotion

    medians = {("old distribution, noise 1 %", "old"): 0.02, ("old distribution, noise 1 %", "new"): 0.05,
               ("new distribution, noise 1 %", "old"): 0.1, ("new distribution, noise 1 %", "new"): 0.04}
    medians.update({key: value for key, value in change.items() if not key[0].startswith("recovery")})
    results = {key: {"median": np.full(3, value)} for key, value in medians.items()}
    for label in ("old distribution, noise 1 %", "new distribution, noise 1 %"):
        for which in ("old", "new"):
            key = (f"recovery, {label}", which)
            results[key] = change.get(key, 0.99)
    assert promotion.should_promote(results) == promoted
    monkeypatch.setattr(promotion, "HELD_BACK", {"rq": "loses measured fits"})
    assert promotion.promotion_verdict(MODELS_BY_KEY["rq"], results).startswith("no")
    assert (promotion.promotion_verdict(MODELS_BY_KEY["rc"], results) == "yes") == promoted
