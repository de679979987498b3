"""The file readers on any bytes: each input either reads as spectra with
finite values and positive frequencies, or is refused with a ValueError that
names the input. The first byte picks the format (or detection) and whether
a column map is passed; the rest is the file."""
import fuzz_support  # noqa: F401  (puts the test helpers on the path)

import io
import math
import warnings

import atheris
import numpy as np

with atheris.instrument_imports(include=["kovrant_tools"]):
    from kovrant_tools.readers import FORMATS, read_spectra

NAME = "fuzzed-input"
CHOICES = [None, *FORMATS]
COLUMN_MAPS = [None, "f=0,re=1,im=2", "f=0:kHz,mod=1:mOhm,phase=2:rad", "f=freq,re=Z',im=-Z''", "sweep=3"]


class Named(io.BytesIO):
    name = NAME


def test_one_input(data):
    if not data:
        return
    choice = CHOICES[data[0] % len(CHOICES)]
    columns = COLUMN_MAPS[(data[0] // len(CHOICES)) % len(COLUMN_MAPS)]
    try:
        spectra = read_spectra(Named(data[1:]), format=choice, columns=columns)
    except ValueError as error:
        assert str(error).startswith(NAME), error
        return
    except ImportError:
        return  # a format whose optional package is not installed
    assert spectra
    for number, spectrum in enumerate(spectra):
        assert spectrum.metadata["sweep"] == number and spectrum.metadata["source"] == NAME
        assert len(spectrum) > 0
        assert np.all(np.isfinite(spectrum.frequencies)) and np.all(spectrum.frequencies > 0)
        assert np.all(np.isfinite(spectrum.impedances))
        assert math.isfinite(float(spectrum.frequencies.sum()))


if __name__ == "__main__":
    warnings.simplefilter("ignore")  # a cut-short last line is left out with a warning
    fuzz_support.fuzz(test_one_input)
