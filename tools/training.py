"""Training of one guesser network: budgets, datasets, the training loop, checkpoints, files.

Every model has fixed seeds per purpose (seed_of), so that a rerun with the same
budget builds the same data and, resumed from a checkpoint or not, the same network.
"""
from __future__ import annotations

import json
import os
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import eisnn_format
from .guesser_reference import ReferenceGuesser
from .guesser_registry import MODELS, log_params_row
from .training_data import ChunkJob, Paused, build_dataset, cached_dataset, chunked_dataset, spectra_of

# Idle OpenMP threads must sleep, not spin: on a shared CPU spinning makes a
# two-thread step several times slower than a one-thread step.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

BASE_SEED = 20240601

@dataclass(frozen=True)
class Budget:
    n_train: int
    n_test: int
    steps: int
    batch: int
    channels: int | None  # None: the registry's channel count
    chunk: int = 2000  # spectra per cached piece of a broad dataset
    checkpoint_every: int = 250
    old_share: float = 0.0  # broad only: share of training spectra from the old distribution


# Models whose file trained on the broad distribution alone lost default fits
# on the old distribution or on measured spectra: a quarter of their training
# spectra come from the old distribution, the one the shipped file learnt,
# so that the network keeps what that file knew.
OLD_DISTRIBUTION_SHARE = {"two_rq": 0.25, "sei_randles": 0.25}


def budget_for(model, smoke: bool, distribution: str = "narrow", scale: float = 1.0) -> Budget:
    if smoke:
        return Budget(n_train=256, n_test=24, steps=12, batch=64, channels=8, chunk=128,
                      checkpoint_every=4)
    if distribution == "broad":
        # Four times the narrow steps: the broad distribution has much more to learn.
        return Budget(n_train=max(256, round(60_000 * scale)), n_test=max(50, round(1000 * scale)),
                      steps=max(10, round(4000 * scale)), batch=256, channels=None,
                      old_share=OLD_DISTRIBUTION_SHARE.get(model.key, 0.0))
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


def train_network(model, budget: Budget, data, log, checkpoint: Path | None = None,
                  deadline: float | None = None):
    """Fit a network to standardised targets; returns (net, mean, std).

    With `checkpoint`, the whole training state is saved every
    budget.checkpoint_every steps and a saved state is resumed, giving the same
    network as an uninterrupted run; past `deadline` it stops at the next
    checkpoint and raises Paused.
    """
    import torch

    from .guesser_torch import GuesserNet

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
    cursor, first_step = 0, 0
    if checkpoint is not None and checkpoint.exists():
        saved = torch.load(checkpoint, weights_only=False)
        net.load_state_dict(saved["net"])
        optimiser.load_state_dict(saved["optimiser"])
        schedule.load_state_dict(saved["schedule"])
        generator.set_state(saved["generator"])
        order, cursor, first_step = saved["order"], saved["cursor"], saved["step"]
        log(f"  resuming {model.key} from its checkpoint at step {first_step}")
    started = time.time()
    for step in range(first_step, budget.steps):
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
        done = step + 1
        if checkpoint is not None and done % budget.checkpoint_every == 0 and done < budget.steps:
            save_checkpoint(checkpoint, net=net.state_dict(), optimiser=optimiser.state_dict(),
                            schedule=schedule.state_dict(), generator=generator.get_state(),
                            order=order, cursor=cursor, step=done)
            if deadline is not None and time.time() > deadline:
                raise Paused(f"time limit reached while training {model.key} (step {done})")
    return net, mean, std


def save_checkpoint(path: Path, **state):
    import torch

    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    torch.save(state, tmp)
    tmp.replace(path)


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
    from .guesser_torch import export_weights

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


def error_summary(model, guesser, data):
    """Median and 90th percentile error per parameter of `guesser` on one held-out set."""
    spectra = spectra_of(data)
    guesses = np.concatenate([guesser.guess_many(spectra[i:i + 250])
                              for i in range(0, len(spectra), 250)])
    errors = parameter_errors(model, guesses, data["values"])
    return {
        "median": np.nanmedian(errors, axis=0).tolist(),
        "p90": np.nanpercentile(errors, 90, axis=0).tolist(),
        "non_finite": int(np.sum(~np.isfinite(errors))),
    }


def narrow_test_set(model, budget: Budget, cache_dir: Path, purpose: int, options):
    name = f"{model.key}-test{purpose}-{budget.n_test}"
    return cached_dataset(cache_dir, name, lambda: build_dataset(
        model, budget.n_test, seed_of(model, purpose), keep_spectra=True, **options))


def evaluate(model, path: Path, budget: Budget, cache_dir: Path):
    """Median and 90th percentile error per parameter for each held-out set."""
    guesser = ReferenceGuesser.from_path(path)
    return {label: error_summary(model, guesser, narrow_test_set(model, budget, cache_dir,
                                                                 purpose, options))
            for purpose, (label, options) in enumerate(EVALUATIONS, start=1)}


def train_one(model, budget: Budget, out_dir: Path, cache_dir: Path, log, distribution="narrow",
              workers=1, deadline=None):
    """Train and write one model unless its file exists; returns its training record."""
    path = out_dir / f"{model.key}.eisnn"
    record_path = cache_dir / f"{model.key}-training.json"
    if path.exists():
        log(f"{model.key}: {path} exists, skipping training")
        return json.loads(record_path.read_text()) if record_path.exists() else {}
    started = time.time()
    checkpoint = None
    if distribution == "narrow":
        data = cached_dataset(cache_dir, f"{model.key}-train-{budget.n_train}",
                              lambda: build_dataset(model, budget.n_train, seed_of(model, 0)))
    else:
        data, n_old = broad_training_data(model, budget, cache_dir, workers, deadline)
        # Named by the budget, so that a run of another size or mix never resumes from it.
        mix = f"-old{n_old}" if n_old else ""
        checkpoint = cache_dir / f"{model.key}-checkpoint-{budget.n_train}x{budget.steps}{mix}.pt"
    log(f"{model.key}: {budget.n_train} training spectra ready after "
        f"{time.time() - started:.0f} s")
    net, mean, std = train_network(model, budget, data, log, checkpoint, deadline)
    write_model(model, net, mean, std, path, budget.channels)
    if checkpoint is not None:
        checkpoint.unlink(missing_ok=True)
    record = {"seconds": round(time.time() - started, 1), "steps": budget.steps,
              "batch": budget.batch, "n_train": budget.n_train,
              "channels": budget.channels or model.channels}
    if budget.old_share:  # set for broad budgets only
        record["old_share"] = budget.old_share
    record_path.parent.mkdir(parents=True, exist_ok=True)
    record_path.write_text(json.dumps(record))
    log(f"{model.key}: written {path} after {record['seconds']:.0f} s")
    return record


def broad_training_data(model, budget: Budget, cache_dir: Path, workers, deadline):
    """(training arrays, rows from the old distribution): broad spectra, then old ones."""
    n_old = round(budget.n_train * budget.old_share)
    n_broad = budget.n_train - n_old
    job = ChunkJob(model.key, "broad", seed_of(model, 0))
    data = chunked_dataset(cache_dir / f"{model.key}-train-{n_broad}", job, n_broad,
                           budget.chunk, workers, deadline)
    if not n_old:
        return data, 0
    old = cached_dataset(cache_dir, f"{model.key}-train-old-{n_old}",
                         lambda: build_dataset(model, n_old, seed_of(model, 0)))
    return {key: np.concatenate([data[key], old[key]]) for key in data}, n_old


