"""The markdown quality reports of the training command: tables and notes on the data."""
from __future__ import annotations

from .promotion import NEW_DISTRIBUTION, OLD_DISTRIBUTION, mean_median, promotion_verdict, recovery_of
from .training import EVALUATIONS

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
    return "\n".join(lines + ["", TRAINING_DATA_NOTES, *training_table(rows)]) + "\n"


def training_table(rows):
    """Lines of the table of network sizes, training spectra, steps and times."""
    lines = ["| model | channels | training spectra | steps x batch | training time (s) |", "|---|---|---|---|---|"]
    for model, _, record in rows:
        if record:
            spectra = f"{record['n_train']}" + (
                f" ({record['old_share']:.0%} old)" if record.get("old_share") else "")
            lines.append(f"| {model.key} | {record['channels']} | {spectra} | "
                         f"{record['steps']} x {record['batch']} | {record['seconds']:.0f} |")
    return lines


BROAD_NOTES = """\
Broad training data (tools/broad_spectra.py): CPE alpha 0.3 to 1; arcs from 0.7 to 3.5
decades apart, R2 = R1 x 10^U(-1, 1); R0 = R1 x 10^U(-2, 1.3); arcs between 10 mHz and
300 kHz; Warburg magnitude and finite-length z0 0.3 to 3 times their arc's resistance at
the lowest frequency, the finite-length bend in the lower half of the window; the window
reaches 0.3 to 2.5 decades below the slowest arc when there is diffusion, spans 2.5 to 9
decades and cuts into the slowest (or fastest) feature in 30 % of spectra; noise 0 to 5 %;
an inductive tail (reactance at fmax 0.05 to 2 |Z|) on 30 % of the spectra of topologies
without L, low-frequency drift on 20 %, one to three outliers on 15 %. A quarter of the
spectra come from a richer circuit (an extra arc, a Warburg tail or an inductive loop);
their targets are the topology's best fit by kovrant (default fit and 10-hop basin
hopping from the topology's part of the circuit, the lower chi-square kept).
Where the training table says "(25% old)", that share of the training spectra comes
from the old distribution instead (tools/synthetic_spectra.py, true-value targets).
"Reaches the best chi-square": on the first 200 spectra of a held-out set, the default
fit guessed from the file ends within 1 % of the lowest chi-square of the two files'
default fits and the fit started from the target.
"""


def format_comparison(rows, command: str) -> str:
    """Markdown table of old and new files on the old and the new distribution."""
    columns = [(label, which) for label in (OLD_DISTRIBUTION, NEW_DISTRIBUTION)
               for which in ("old", "new")]
    lines = [
        "Guess quality of the shipped (old) and the retrained (new) files on held-out spectra "
        "of the old and the new (broad) distribution, both at 1 % noise, through the NumPy "
        "reference inference. Error is |log10(guess/target)| (absolute error for CPE alpha); "
        "the target is the true value, or the best fit for spectra drawn from a richer "
        "circuit; med / p90 = median / 90th percentile.",
        "",
        f"Reproduce with: `{command}`",
        "",
        "| model | parameter | " + " | ".join(f"{label}, {which} file" for label, which in columns)
        + " |",
        "|---|---|" + "---|" * len(columns),
    ]
    for model, results, _ in rows:
        for j, name in enumerate(model.param_names):
            cells = [f"{results[c]['median'][j]:.3f} / {results[c]['p90'][j]:.3f}" for c in columns]
            lines.append(f"| {model.key} | {name} | " + " | ".join(cells) + " |")
    lines += ["", "| model | mean median, old distribution (old / new file) | "
              "mean median, new distribution (old / new file) | default fit reaches the best "
              "chi-square, old distribution (old / new file) | the same, new distribution | "
              "promoted |",
              "|---|---|---|---|---|---|"]
    for model, results, _ in rows:
        pairs = [f"{mean_median(results, label, 'old'):.3f} / {mean_median(results, label, 'new'):.3f}"
                 for label in (OLD_DISTRIBUTION, NEW_DISTRIBUTION)]
        reached = [f"{results[(recovery_of(label), 'old')]:.1%} / "
                   f"{results[(recovery_of(label), 'new')]:.1%}"
                   for label in (OLD_DISTRIBUTION, NEW_DISTRIBUTION)]
        lines.append(f"| {model.key} | {pairs[0]} | {pairs[1]} | {reached[0]} | {reached[1]} | "
                     f"{promotion_verdict(model, results)} |")
    return "\n".join(lines + ["", BROAD_NOTES, *training_table(rows)]) + "\n"

