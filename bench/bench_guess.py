"""One guess of kovrant's built-in networks against the same network in PyTorch.

Run: python -m bench.bench_guess [--models randles,sei_randles]

For each model: one 60-point spectrum with realistic values and 1 % noise,
then the time of one call of
- kovrant: Circuit.guess(f, z) from Python lists (scale estimate, features,
  network, decoding, list conversions: the whole call);
- PyTorch, batch size 1, float64, one thread, weights read from the same
  .eisnn file: the network's forward pass alone, and the whole guess with the
  NumPy features and decoding of tools/guesser_reference.py around it.
Both run pinned to one core in this process, side by side; each time is the
fastest single call among many (see timing.best_call_time). The PyTorch
columns are left out when torch is not importable.
"""
from __future__ import annotations

import argparse

import numpy as np

import kovrant
from tools import eisnn_format, guesser_reference, guesser_registry

from .timing import REPO, best_call_time, load_average, pin_to_one_core, realistic_spectrum

POINTS = 60
NOISE = 0.01
DEFAULT_MODELS = ("rq", "randles", "sei_randles")


def spectrum(key, circuit, seed):
    """A POINTS-point spectrum of `key` with realistic values, ascending frequencies."""
    return realistic_spectrum(key, seed, POINTS, NOISE, circuit)


class TorchGuesser:
    """The PyTorch twin of one network, run at batch size 1."""

    def __init__(self, torch, path):
        from tools import guesser_torch

        contents = eisnn_format.read(path)
        self.torch = torch
        self.reference = guesser_reference.ReferenceGuesser(contents)
        spec = guesser_registry.MODELS_BY_KEY[path.stem]
        self.net = guesser_torch.GuesserNet(spec.channels, spec.n_params).double().eval()
        guesser_torch.load_weights(self.net, {name: t.array() for name, t in contents.tensors})

    def inputs(self, f, z):
        x, scalars, omega_c, z_c = self.reference.spectrum_inputs(f, z)
        return self.torch.from_numpy(x[None]), self.torch.from_numpy(scalars[None]), omega_c, z_c

    def forward(self, x, scalars):
        with self.torch.inference_mode():
            return self.net(x, scalars)

    def guess(self, f, z):
        x, scalars, omega_c, z_c = self.inputs(f, z)
        head = self.forward(x, scalars).numpy()
        return self.reference.decode(head, [omega_c], [z_c])[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", default=",".join(DEFAULT_MODELS), help="comma-separated model keys")
    args = parser.parse_args()

    pinned = pin_to_one_core()
    try:
        import torch

        torch.set_num_threads(1)
    except ImportError:
        torch = None

    print(f"one guess on a {POINTS}-point spectrum, {'pinned to core 0' if pinned else 'not pinned'}; "
          f"{load_average()}")
    if torch is None:
        print("torch is not importable: the PyTorch columns are left out")
    else:
        print(f"PyTorch {torch.__version__}, float64, batch size 1, {torch.get_num_threads()} thread")
    header = f"{'model':<16}{'ch':>4}  {'kovrant':>10}"
    if torch is not None:
        header += f"  {'torch net':>10}  {'torch guess':>11}  {'vs net':>7}  {'vs guess':>8}"
    print(header)

    built_in = set(kovrant.Circuit.ml_circuits())
    for seed, key in enumerate(args.models.split(",")):
        spec = guesser_registry.MODELS_BY_KEY[key]
        path = REPO / "data" / "models" / f"{key}.eisnn"
        if key not in built_in or not path.exists():
            print(f"{key:<16}{spec.channels:>4}  not built into this module: skipped")
            continue
        f, z = spectrum(key, spec.circuit, seed)
        circuit = kovrant.Circuit(spec.circuit)
        f_list, z_list = f.tolist(), z.tolist()
        ours = np.asarray(circuit.guess(f_list, z_list))
        ours_time = best_call_time(lambda: circuit.guess(f_list, z_list))
        row = f"{key:<16}{spec.channels:>4}  {ours_time * 1e3:8.3f}ms"
        if torch is not None:
            twin = TorchGuesser(torch, path)
            theirs = twin.guess(f, z)
            # A different summation order may move the last bits, never more.
            assert np.allclose(ours, theirs, rtol=1e-6, atol=0), f"{key}: the two networks disagree"
            x, scalars, _, _ = twin.inputs(f, z)
            net_time = best_call_time(lambda: twin.forward(x, scalars))
            guess_time = best_call_time(lambda: twin.guess(f, z))
            row += (f"  {net_time * 1e3:8.3f}ms  {guess_time * 1e3:9.3f}ms"
                    f"  {net_time / ours_time:6.2f}x  {guess_time / ours_time:7.2f}x")
        print(row)
    print("vs net / vs guess: PyTorch time over kovrant time (above 1: kovrant is faster)")
    print(f"{load_average()}")


if __name__ == "__main__":
    main()
