"""Train the eleven guesser networks on synthetic spectra and write data/models/*.eisnn.

    nice -n 10 python tools/train_guessers.py --all

trains every model that has no file yet in the output folder (delete a file
to retrain it), then evaluates every file with the NumPy reference on held-out
spectra and writes the quality report. `--smoke` trains tiny networks on a
few hundred spectra into a scratch folder, for tests.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# Idle OpenMP threads must sleep, not spin: on a shared CPU spinning makes a
# two-thread step several times slower than a one-thread step.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

TOOLS = Path(__file__).resolve().parent
sys.path.insert(0, str(TOOLS))

import eisnn_format  # noqa: E402
from guesser_reference import ReferenceGuesser  # noqa: E402
from guesser_registry import MODELS, MODELS_BY_KEY, log_params_row  # noqa: E402
from training_data import build_dataset, cached_dataset, spectra_of  # noqa: E402

REPO = TOOLS.parent
BASE_SEED = 20240601


@dataclass(frozen=True)
class Budget:
    n_train: int
    n_test: int
    steps: int
    batch: int
    channels: int | None  # None: the registry's channel count


def budget_for(model, smoke: bool) -> Budget:
    if smoke:
        return Budget(n_train=256, n_test=24, steps=12, batch=64, channels=8)
    steps = 1000 if model.channels >= 64 else 1200
    return Budget(n_train=60_000, n_test=2000, steps=steps, batch=256, channels=None)


EVALUATIONS = (
    ("noise 1 %", dict(noise=0.01)),
    ("noise 3 %", dict(noise=0.03)),
    ("slowest feature cut in half, noise 1 %", dict(noise=0.01, cut_slowest=True)),
)


def seed_of(model, purpose: int) -> int:
    """Distinct, fixed seeds per model and purpose (0 training, 1.. held-out sets)."""
    return BASE_SEED + 1000 * MODELS.index(model) + purpose


def standardisation(targets):
    """Per-parameter mean and std rounded to float32, as the file stores them."""
    mean = targets.mean(axis=0).astype(np.float32).astype(np.float64)
    std = np.maximum(targets.std(axis=0), 1e-6).astype(np.float32).astype(np.float64)
    return mean, std


def train_network(model, budget: Budget, data, log):
    """Fit a network to standardised targets; returns (net, mean, std)."""
    import torch

    from guesser_torch import GuesserNet

    torch.manual_seed(seed_of(model, 0))
    mean, std = standardisation(data["targets"])
    x = torch.from_numpy(data["x"])
    scalars = torch.from_numpy(data["scalars"])
    y = torch.from_numpy(((data["targets"] - mean) / std).astype(np.float32))
    channels = budget.channels or model.channels
    net = GuesserNet(channels, model.n_params)
    optimiser = torch.optim.AdamW(net.parameters(), lr=3e-3, weight_decay=1e-4)
    schedule = torch.optim.lr_scheduler.OneCycleLR(
        optimiser, max_lr=3e-3, total_steps=budget.steps, pct_start=0.05)
    generator = torch.Generator().manual_seed(seed_of(model, 0))
    p = model.n_params
    order = torch.randperm(len(x), generator=generator)
    cursor = 0
    started = time.time()
    for step in range(budget.steps):
        if cursor + budget.batch > len(x):
            order, cursor = torch.randperm(len(x), generator=generator), 0
        idx = order[cursor:cursor + budget.batch]
        cursor += budget.batch
        out = net(x[idx], scalars[idx])
        mean_loss, spread_loss = guesser_losses(out[:, :p], out[:, p:], y[idx])
        optimiser.zero_grad()
        (mean_loss + 0.1 * spread_loss).backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 1.0)
        optimiser.step()
        schedule.step()
        if step % 200 == 0 or step == budget.steps - 1:
            log(f"  step {step:5d}  loss {mean_loss.item():.4f}  "
                f"{time.time() - started:6.1f} s")
    return net, mean, std


def guesser_losses(prediction, log_variance, target):
    """Huber loss of the prediction; Gaussian NLL of the log-variance on its residual.

    The residual is detached so that the spread estimate does not pull on the
    prediction itself.
    """
    import torch

    huber = torch.nn.functional.smooth_l1_loss(prediction, target, beta=0.1)
    residual = (prediction.detach() - target) ** 2
    log_variance = log_variance.clamp(-12.0, 8.0)
    nll = 0.5 * (log_variance + residual * torch.exp(-log_variance)).mean()
    return huber, nll


def write_model(model, net, mean, std, path: Path, channels):
    from guesser_torch import export_weights

    metadata, tensors = eisnn_format.guesser_contents(
        model, export_weights(net), mean, std, channels)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    eisnn_format.write(tmp, metadata, tensors)
    tmp.replace(path)


def parameter_errors(model, guesses, truth):
    """|log10(guess/true)| per parameter, absolute error for the exponents."""
    log_params = np.asarray(log_params_row(model.param_names)) != 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        log_error = np.abs(np.log10(guesses / truth))
    return np.where(log_params, log_error, np.abs(guesses - truth))


def evaluate(model, path: Path, budget: Budget, cache_dir: Path):
    """Median and 90th percentile error per parameter for each held-out set."""
    guesser = ReferenceGuesser.from_path(path)
    results = {}
    for purpose, (label, options) in enumerate(EVALUATIONS, start=1):
        name = f"{model.key}-test{purpose}-{budget.n_test}"
        data = cached_dataset(cache_dir, name, lambda: build_dataset(
            model, budget.n_test, seed_of(model, purpose), keep_spectra=True, **options))
        spectra = spectra_of(data)
        guesses = np.concatenate([guesser.guess_many(spectra[i:i + 250])
                                  for i in range(0, len(spectra), 250)])
        errors = parameter_errors(model, guesses, data["values"])
        results[label] = {
            "median": np.nanmedian(errors, axis=0).tolist(),
            "p90": np.nanpercentile(errors, 90, axis=0).tolist(),
            "non_finite": int(np.sum(~np.isfinite(errors))),
        }
    return results


def train_one(model, budget: Budget, out_dir: Path, cache_dir: Path, log):
    """Train and write one model unless its file exists; returns its training record."""
    path = out_dir / f"{model.key}.eisnn"
    record_path = cache_dir / f"{model.key}-training.json"
    if path.exists():
        log(f"{model.key}: {path} exists, skipping training")
        return json.loads(record_path.read_text()) if record_path.exists() else {}
    started = time.time()
    data = cached_dataset(cache_dir, f"{model.key}-train-{budget.n_train}", lambda: build_dataset(
        model, budget.n_train, seed_of(model, 0)))
    log(f"{model.key}: {budget.n_train} training spectra ready after "
        f"{time.time() - started:.0f} s")
    net, mean, std = train_network(model, budget, data, log)
    write_model(model, net, mean, std, path, budget.channels)
    record = {"seconds": round(time.time() - started, 1), "steps": budget.steps,
              "batch": budget.batch, "n_train": budget.n_train,
              "channels": budget.channels or model.channels}
    record_path.parent.mkdir(parents=True, exist_ok=True)
    record_path.write_text(json.dumps(record))
    log(f"{model.key}: written {path} after {record['seconds']:.0f} s")
    return record


TRAINING_DATA_NOTES = """\
Training data (tools/synthetic_spectra.py; every spectrum computed by kovrant itself):

- Arc resistance R1 log-uniform in 0.1 ohm to 10 kohm; series resistance R0 = R1 x 10^U(-1, 1.3).
- Characteristic frequency of the (fastest) arc log-uniform in 10 mHz to 100 kHz; C = tau/R,
  Q = tau^alpha/R with CPE alpha uniform in 0.5 to 1.0.
- A second arc has R2 = R1 x 10^U(-1, 1) and lies 1 + 2(1 - min alpha) + U(0, 2.5) decades
  below the first, so depressed arcs stay apart.
- Warburg W: aw = R sqrt(omega_w/2), i.e. its magnitude equals the arc resistance at a
  frequency 0.5 to 3 decades below the arc. Finite-space Wo: z0 = R2 x 10^U(-1, 1), its
  transition 1/(2 pi tau) 0.5 to 3 decades below the second arc.
- Inductance L0: reactance at the highest frequency 0.5 to 20 times R0.
- Window: covers every feature with a margin (1 decade beyond an ideal arc, up to 2 for
  alpha = 0.5; 0.5 decade below a Warburg crossover, 0.7 below a Wo transition, at least
  1 decade above the fastest arc when L0 is present); the span is uniform between
  max(3, needed) and max(10, needed) decades and placed at random around the features.
  20 to 200 log-spaced points, descending (50 %), ascending (30 %) or shuffled (20 %).
- Noise: real and imaginary parts each get Gaussian noise of standard deviation sigma |Z|,
  sigma uniform in 0 to 3 % per training spectrum (1 % or 3 % in the evaluation).
- Canonical order of like groups: arc 1 is the faster one (higher characteristic
  frequency) in two_rc, two_rq and their _l variants; in sei_randles and sei_randles_wo
  the (R1,CPE1) arc is the faster one and the diffusion branch the slower one. Identical
  parallels are matched in written order, so the first-written group gets the faster arc.
- "Slowest feature cut in half": the window's lower end is moved to the slowest feature
  (the slower arc's characteristic frequency, or the Warburg crossover / Wo transition).

Training (spectra and steps per model in the table below): AdamW with a one-cycle
learning rate (peak 3e-3), batch 256, Huber loss (beta 0.1) on the standardised targets;
the second P head outputs learn a log-variance by Gaussian likelihood on the detached
residual (unused at inference). Fixed seeds; float32 training, float16 weights in the files.
"""


def format_report(rows, command: str) -> str:
    """Markdown quality table: one line per model parameter."""
    labels = [label for label, _ in EVALUATIONS]
    lines = [
        "Guess quality on held-out synthetic spectra (never used in training), "
        "evaluated with the shipped float16 weights through the NumPy reference "
        "inference. Error is |log10(guess/true)| (absolute error for CPE alpha); "
        "med = median, p90 = 90th percentile.",
        "",
        f"Reproduce with: `{command}`",
        "",
        "| model | parameter | " + " | ".join(f"{label} med / p90" for label in labels) + " |",
        "|---|---|" + "---|" * len(labels),
    ]
    for model, results, record in rows:
        for j, name in enumerate(model.param_names):
            cells = [f"{results[label]['median'][j]:.3f} / {results[label]['p90'][j]:.3f}"
                     for label in labels]
            lines.append(f"| {model.key} | {name} | " + " | ".join(cells) + " |")
    lines += ["", TRAINING_DATA_NOTES,
              "| model | channels | training spectra | steps x batch | training time (s) |",
              "|---|---|---|---|---|"]
    for model, _, record in rows:
        if record:
            lines.append(f"| {model.key} | {record['channels']} | {record['n_train']} | "
                         f"{record['steps']} x {record['batch']} | {record['seconds']:.0f} |")
    return "\n".join(lines) + "\n"


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    chosen = parser.add_mutually_exclusive_group(required=True)
    chosen.add_argument("--all", action="store_true", help="all eleven models")
    chosen.add_argument("--models", help="comma-separated model keys")
    parser.add_argument("--smoke", action="store_true", help="tiny networks, seconds")
    parser.add_argument("--out", type=Path, help="folder for the .eisnn files")
    parser.add_argument("--cache-dir", type=Path, help="datasets and training records")
    parser.add_argument("--report", type=Path, help="markdown quality report")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args(argv)
    scratch = REPO / "build" / ("guesser-smoke" if args.smoke else "guesser-training")
    args.out = args.out or (scratch / "models" if args.smoke else REPO / "data" / "models")
    args.cache_dir = args.cache_dir or scratch
    args.report = args.report or (scratch / "quality.md" if args.smoke
                                  else REPO / "tools" / "guesser_quality.md")
    return args


def main(argv=None):
    import torch

    args = parse_args(argv)
    torch.set_num_threads(args.threads)
    models = MODELS if args.all else [MODELS_BY_KEY[k] for k in args.models.split(",")]

    def log(message):
        print(message, flush=True)

    rows = []
    for model in models:
        budget = budget_for(model, args.smoke)
        record = train_one(model, budget, args.out, args.cache_dir, log)
        results = evaluate(model, args.out / f"{model.key}.eisnn", budget, args.cache_dir)
        rows.append((model, results, record))
    command = "nice -n 10 python tools/train_guessers.py " + " ".join(argv or sys.argv[1:])
    args.report.parent.mkdir(parents=True, exist_ok=True)
    args.report.write_text(format_report(rows, command))
    log(f"report written to {args.report}")


if __name__ == "__main__":
    main()
