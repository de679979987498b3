"""What the fuzz targets share: the test helpers on the path, and a runner
that hands the target's command line (corpus folders, libFuzzer flags) to
atheris."""
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(REPO / "tests" / "python")]


def fuzz(test_one_input):
    """Runs `test_one_input` under libFuzzer, with coverage of every function
    of the target's own module (the module under test is native code)."""
    import inspect

    import atheris

    module = sys.modules[test_one_input.__module__]
    for value in list(vars(module).values()):
        if inspect.isfunction(value) and value.__module__ == module.__name__:
            atheris.instrument_func(value)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def consume_floats(provider, count, low, high):
    """`count` floats spread log-uniformly over [low, high] (both positive)."""
    import numpy as np

    exponents = [provider.ConsumeProbability() for _ in range(count)]
    return np.exp(np.log(low) + np.asarray(exponents) * (np.log(high) - np.log(low)))
