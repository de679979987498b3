"""EISNN001 weight files: writer and reader (NumPy only)."""
from __future__ import annotations

import struct
from dataclasses import dataclass, field

import numpy as np

MAGIC = b"EISNN001"
ENCODING_F32 = 0
ENCODING_F16 = 1
ENCODING_I8 = 2


@dataclass
class StoredTensor:
    encoding: int
    dims: tuple[int, ...]
    data: np.ndarray  # float64, flat, widened exactly as a loader would

    def array(self) -> np.ndarray:
        return self.data.reshape(self.dims) if self.dims else self.data.reshape(())


@dataclass
class EisnnFile:
    metadata: list[tuple[str, str]] = field(default_factory=list)
    tensors: list[tuple[str, StoredTensor]] = field(default_factory=list)

    def meta(self) -> dict[str, str]:
        return dict(self.metadata)

    def tensor_map(self) -> dict[str, StoredTensor]:
        return dict(self.tensors)


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def _tensor_record(name: str, values: np.ndarray, encoding: int) -> bytes:
    values = np.asarray(values, dtype=np.float64)
    dims = values.shape
    out = bytearray(_string(name))
    out += struct.pack("<BB", encoding, len(dims))
    out += b"".join(struct.pack("<I", d) for d in dims)
    flat = values.reshape(-1)
    if flat.size == 0:
        flat = np.zeros(1)  # a record always carries at least one element
    if encoding == ENCODING_F32:
        out += flat.astype("<f4").tobytes()
    elif encoding == ENCODING_F16:
        out += flat.astype("<f2").tobytes()
    elif encoding == ENCODING_I8:
        peak = float(np.max(np.abs(flat)))
        scale = np.float32(peak / 127.0 if peak > 0 else 1.0)
        q = np.clip(np.rint(flat / float(scale)), -127, 127).astype(np.int8)
        out += struct.pack("<f", scale) + q.tobytes()
    else:
        raise ValueError(f"unknown tensor encoding {encoding}")
    return bytes(out)


def encode(metadata, tensors) -> bytes:
    """Bytes of a file; tensors are (name, array, encoding) in file order."""
    out = bytearray(MAGIC)
    out += struct.pack("<I", len(metadata))
    for key, value in metadata:
        out += _string(key) + _string(value)
    out += struct.pack("<I", len(tensors))
    for name, values, encoding in tensors:
        out += _tensor_record(name, values, encoding)
    return bytes(out)


class _Cursor:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise ValueError("weight file is truncated")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def u8(self) -> int:
        return self.take(1)[0]

    def string(self) -> str:
        raw = self.take(self.u32())
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as err:
            raise ValueError("weight file is truncated") from err


def _read_tensor(cur: _Cursor) -> tuple[str, StoredTensor]:
    name = cur.string()
    encoding = cur.u8()
    rank = cur.u8()
    dims = tuple(cur.u32() for _ in range(rank))
    n = max(int(np.prod(dims, dtype=np.int64)) if dims else 1, 1)
    if encoding == ENCODING_F32:
        data = np.frombuffer(cur.take(4 * n), dtype="<f4").astype(np.float64)
    elif encoding == ENCODING_F16:
        data = np.frombuffer(cur.take(2 * n), dtype="<f2").astype(np.float64)
    elif encoding == ENCODING_I8:
        scale = float(np.frombuffer(cur.take(4), dtype="<f4")[0])
        data = np.frombuffer(cur.take(n), dtype=np.int8).astype(np.float64) * scale
    else:
        raise ValueError(f"weight file uses tensor encoding {encoding}, which this build does not know")
    return name, StoredTensor(encoding, dims, data)


def decode(data: bytes) -> EisnnFile:
    """Parse the layout of a file; trailing bytes are ignored."""
    if len(data) < 8:
        raise ValueError("weight file is truncated")
    if data[:8] != MAGIC:
        raise ValueError("not an eisnn weight file (bad magic bytes)")
    cur = _Cursor(data)
    cur.take(8)
    result = EisnnFile()
    for _ in range(cur.u32()):
        key = cur.string()
        result.metadata.append((key, cur.string()))
    for _ in range(cur.u32()):
        result.tensors.append(_read_tensor(cur))
    return result


def read(path) -> EisnnFile:
    with open(path, "rb") as fh:
        return decode(fh.read())


def write(path, metadata, tensors) -> None:
    with open(path, "wb") as fh:
        fh.write(encode(metadata, tensors))


def guesser_contents(model, weights, target_mean, target_std, channels=None):
    """Metadata and tensor records of one guesser file, in the built-in order.

    `weights` maps "w.*" names to arrays (stored as float16); the four
    statistics tensors are stored as float32.
    """
    from .guesser_registry import STATISTICS_TENSORS, log_params_row, metadata, \
        network_tensor_names, scaling_rows

    tensors = [(name, np.asarray(weights[name]), ENCODING_F16)
               for name in network_tensor_names()]
    statistics = {
        "target_mean": np.asarray(target_mean, dtype=np.float64),
        "target_std": np.asarray(target_std, dtype=np.float64),
        "scaling": np.asarray(scaling_rows(model.param_names), dtype=np.float64),
        "log_params": np.asarray(log_params_row(model.param_names), dtype=np.float64),
    }
    tensors += [(name, statistics[name], ENCODING_F32) for name in STATISTICS_TENSORS]
    return metadata(model, channels), tensors
