"""Train the eleven guesser networks on synthetic spectra and write data/models/*.eisnn.

    nice -n 10 python -m tools.train_guessers --all

trains every model that has no file yet in the output folder (delete a file
to retrain it), then evaluates every file with the NumPy reference on held-out
spectra and writes the quality report. `--smoke` trains tiny networks on a
few hundred spectra into a scratch folder, for tests.

    nice -n 10 python -m tools.train_guessers --distribution broad --group 1

trains one group of models on the broad distribution (tools/broad_spectra.py)
into build/guesser-broad/models and writes the old-vs-new quality table. Data
are built in cached chunks and training keeps checkpoints, so a run stopped by
`--time-limit` (exit code 3) or killed resumes when the same command is run
again. `--promote` copies into data/models each new file that guesses better
on the broad distribution without losing default fits there or accuracy on
the old distribution (should_promote in tools/promotion.py), unless HELD_BACK
holds it back.
Expected time per group on two free cores
(data: 60000 + 1000 spectra built by two processes; 4000 training steps):
group 1 (rc, rc_l, rq, rq_l) about 1 h, group 2 (two_rc, two_rc_l, two_rq)
35 min, group 3 (two_rq_l, randles) 50 min, group 4 (sei_randles) 25 min,
group 5 (sei_randles_wo) 50 min, 37 min of it the best-fit targets.
"""
from __future__ import annotations

import argparse
import json
import shutil
import sys
import time
from pathlib import Path

from .guesser_registry import MODELS, MODELS_BY_KEY
from .promotion import compare, promotion_verdict
from .training import budget_for, evaluate, train_one
from .training_data import Paused
from .training_report import format_comparison, format_report

REPO = Path(__file__).resolve().parent.parent
PAUSED_EXIT_CODE = 3

# Broad-distribution training in groups, each well within two hours on two
# free cores (CPU time measured per spectrum and per step, in the module
# docstring); best-fit targets make the diffusion models the costly ones.
GROUPS = (
    ("rc", "rc_l", "rq", "rq_l"),
    ("two_rc", "two_rc_l", "two_rq"),
    ("two_rq_l", "randles"),
    ("sei_randles",),
    ("sei_randles_wo",),
)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    chosen = parser.add_mutually_exclusive_group(required=True)
    chosen.add_argument("--all", action="store_true", help="all eleven models")
    chosen.add_argument("--models", help="comma-separated model keys")
    chosen.add_argument("--group", type=int, choices=range(1, len(GROUPS) + 1),
                        help="one training group: " + "; ".join(
                            f"{n}: {','.join(g)}" for n, g in enumerate(GROUPS, start=1)))
    parser.add_argument("--distribution", choices=("narrow", "broad"), default="narrow",
                        help="narrow: the shipped files' data; broad: tools/broad_spectra.py")
    parser.add_argument("--smoke", action="store_true", help="tiny networks, seconds")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="broad only: fraction of the full spectra counts and steps")
    parser.add_argument("--out", type=Path, help="folder for the .eisnn files")
    parser.add_argument("--cache-dir", type=Path, help="datasets, checkpoints, training records")
    parser.add_argument("--report", type=Path, help="markdown quality report")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2,
                        help="broad only: processes that build the datasets")
    parser.add_argument("--time-limit", type=float,
                        help="hours; then stop at a checkpoint (exit code 3) to be resumed "
                             "by the same command (broad default 1.9)")
    parser.add_argument("--promote", action="store_true",
                        help="broad only: copy each new file that beats the shipped one on "
                             "both distributions, and is not held back, into data/models")
    args = parser.parse_args(argv)
    if args.distribution == "narrow" and (args.group or args.promote or args.scale != 1.0):
        parser.error("--group, --scale and --promote need --distribution broad")
    broad = args.distribution == "broad"
    scratch = REPO / "build" / ("guesser-" + ("broad" if broad else "training")
                                + ("-smoke" if args.smoke else ""))
    if args.smoke and not broad:
        scratch = REPO / "build" / "guesser-smoke"
    args.out = args.out or (scratch / "models" if args.smoke or broad else REPO / "data" / "models")
    args.cache_dir = args.cache_dir or scratch
    args.report = args.report or (
        scratch / "quality.md" if args.smoke
        else REPO / "tools" / ("guesser_quality_broad.md" if broad else "guesser_quality.md"))
    if broad and args.time_limit is None and not args.smoke:
        args.time_limit = 1.9
    args.command = "nice -n 10 python -m tools.train_guessers " + " ".join(
        argv if argv is not None else sys.argv[1:])
    return args


def chosen_models(args):
    if args.all:
        return MODELS
    keys = GROUPS[args.group - 1] if args.group else args.models.split(",")
    return [MODELS_BY_KEY[k] for k in keys]


def shipped_snapshot(cache_dir: Path) -> Path:
    """A copy of the shipped files, taken once, so that promotion never moves the baseline."""
    folder = cache_dir / "baseline"
    if not folder.exists():
        tmp = cache_dir / "baseline.tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        shutil.copytree(REPO / "data" / "models", tmp)
        tmp.replace(folder)
    return folder


def run_broad(args, log) -> int:
    """Train the chosen models on the broad distribution, compare, optionally promote."""
    deadline = None if args.time_limit is None else time.time() + 3600 * args.time_limit
    baseline = shipped_snapshot(args.cache_dir)
    exit_code = 0
    try:
        for model in chosen_models(args):
            budget = budget_for(model, args.smoke, "broad", args.scale)
            train_one(model, budget, args.out, args.cache_dir, log, "broad", args.workers, deadline)
    except Paused as paused:
        log(f"{paused}; run the same command again to resume")
        exit_code = PAUSED_EXIT_CODE
    rows = []
    for model in MODELS:
        new_path = args.out / f"{model.key}.eisnn"
        if not new_path.exists():
            continue
        budget = budget_for(model, args.smoke, "broad", args.scale)
        try:
            results = compare(model, new_path, baseline / f"{model.key}.eisnn", budget,
                              args.cache_dir, args.workers, deadline)
        except Paused as paused:
            log(f"{paused}; run the same command again to finish the comparison")
            exit_code = PAUSED_EXIT_CODE
            break
        record_path = args.cache_dir / f"{model.key}-training.json"
        rows.append((model, results, json.loads(record_path.read_text())
                     if record_path.exists() else {}))
        if args.promote and promotion_verdict(model, results) == "yes":
            shutil.copyfile(new_path, REPO / "data" / "models" / new_path.name)
            log(f"{model.key}: the new file is better on the broad distribution, promoted")
    if rows:
        write_report(args, format_comparison(rows, args.command), log)
    return exit_code


def write_report(args, text, log):
    args.report.parent.mkdir(parents=True, exist_ok=True)
    args.report.write_text(text)
    log(f"report written to {args.report}")


def main(argv=None) -> int:
    import torch

    args = parse_args(argv)
    torch.set_num_threads(args.threads)

    def log(message):
        print(message, flush=True)

    if args.distribution == "broad":
        return run_broad(args, log)
    rows = []
    for model in chosen_models(args):
        budget = budget_for(model, args.smoke)
        record = train_one(model, budget, args.out, args.cache_dir, log)
        results = evaluate(model, args.out / f"{model.key}.eisnn", budget, args.cache_dir)
        rows.append((model, results, record))
    write_report(args, format_report(rows, args.command), log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
