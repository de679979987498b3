from os import PathLike

from .spectrum import Spectrum

COLUMN_NAMES: dict[str, tuple[str, ...]]
FORMATS: dict[str, str]

def detect_format(path: str | PathLike[str]) -> str: ...
def read_spectra(path: str | PathLike[str], format: str | None = ...) -> list[Spectrum]: ...
def read_spectrum(path: str | PathLike[str], format: str | None = ...) -> Spectrum: ...
