"""Weight files: random well-formed networks of any small shape must guess
what the NumPy reference forward pass computes; byte-edited files may only
be refused with ValueError."""
import fuzz_support  # noqa: F401  (puts the test helpers on the path)

import os
import tempfile

import atheris
import numpy as np

from guesser_files import MODELS, guesser_bytes, reference_guess
from kovrant import Circuit

PATH = os.path.join(tempfile.mkdtemp(prefix="kovrant_fuzz_"), "net.eisnn")
FREQUENCIES = np.logspace(-1, 4, 9)
IMPEDANCES = Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3]).impedance(FREQUENCIES)
rewrites = 0


def write_weights(data):
    """Rewrites the one weight file, with a new modification time each time,
    so that the module's cache sees a changed file."""
    global rewrites
    rewrites += 1
    with open(PATH, "wb") as file:
        file.write(data)
    os.utime(PATH, ns=(rewrites, rewrites))


def random_network(provider):
    model = MODELS[provider.ConsumeIntInRange(0, len(MODELS) - 1)]
    channels = provider.ConsumeIntInRange(1, 6)
    dilations = [provider.ConsumeIntInRange(1, 9) for _ in range(provider.ConsumeIntInRange(1, 3))]
    data = guesser_bytes(model.circuit, list(model.param_names),
                         np.random.default_rng(provider.ConsumeIntInRange(0, 2**32)),
                         channels=channels, groups=provider.ConsumeIntInRange(1, channels + 1),
                         dilations=dilations, n_grid=provider.ConsumeIntInRange(2, 24),
                         kernel=provider.ConsumeIntInRange(1, 6),
                         hidden=provider.ConsumeIntInRange(1, 8),
                         encoding=provider.ConsumeIntInRange(0, 2))
    return model.circuit, data


def edited(data, provider):
    data = bytearray(data)
    for _ in range(provider.ConsumeIntInRange(1, 6)):
        if not data:
            break
        at = provider.ConsumeIntInRange(0, len(data) - 1)
        action = provider.ConsumeIntInRange(0, 3)
        if action == 0:
            data[at] = provider.ConsumeIntInRange(0, 255)
        elif action == 1:
            del data[at:at + provider.ConsumeIntInRange(1, 16)]
        elif action == 2:
            data[at:at] = provider.ConsumeBytes(provider.ConsumeIntInRange(1, 8))
        else:
            data[at:at + 4] = provider.ConsumeIntInRange(0, 2**32 - 1).to_bytes(4, "little")
    return bytes(data)


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    circuit, weights = random_network(provider)
    spoil = provider.ConsumeBool()
    if spoil:
        weights = edited(weights, provider)
    write_weights(weights)
    try:
        guessed = Circuit(circuit).guess(FREQUENCIES, IMPEDANCES, weights=PATH)
    except ValueError:
        assert spoil, "a well-formed network was refused"
        return
    assert len(guessed) == len(Circuit(circuit).param_names())
    if not spoil:
        np.testing.assert_allclose(guessed, reference_guess(weights, FREQUENCIES, IMPEDANCES),
                                   rtol=1e-9, atol=0.0, equal_nan=True)


if __name__ == "__main__":
    fuzz_support.fuzz(test_one_input)
