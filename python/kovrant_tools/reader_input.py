"""Where a reader's bytes come from: a path or a file object, opened safely and decoded.

A path must name a regular file: a FIFO, a device or a socket would block or
never end, so it is refused before it is opened. A file object is read once,
up to `MAX_BYTES`; a text line longer than `MAX_LINE_CHARACTERS` is refused, so
no input is read without bound. Text is UTF-8, UTF-16 (with or without a byte
order mark) or, failing those, the Windows code page instruments write.
"""

from __future__ import annotations

import codecs
import io
import os
import re
import stat
import warnings
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO, Union

MAX_BYTES = 1 << 30
MAX_LINE_CHARACTERS = 1 << 20

SourceLike = Union[str, "os.PathLike[str]", IO[bytes], IO[str]]


class Source:
    """One input, named in every message: the path, or the file object's name."""

    def __init__(self, source: SourceLike):
        if isinstance(source, (str, os.PathLike)):
            self.path: Path | None = Path(source)
            self.name = str(source)
            self._content: bytes | None = None
            self._check_regular()
        elif hasattr(source, "read"):
            self.path = None
            self.name = str(getattr(source, "name", None) or f"<{type(source).__name__}>")
            self._content = _read_capped(source, self.name)
        else:
            raise TypeError(f"expected a path or a file object, got {type(source).__name__}")

    def _check_regular(self):
        try:
            mode = os.stat(self.path).st_mode
        except OSError as error:
            raise OSError(error.errno, error.strerror, self.name) from None
        if not stat.S_ISREG(mode):
            kind = ("a directory" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode)
                    else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else "not a regular file")
            raise ValueError(f"{self.name}: line 1: expected a regular file, got {kind}")

    def head(self, size: int = 65536) -> bytes:
        if self._content is not None:
            return self._content[:size]
        with open(self.path, "rb") as handle:
            return handle.read(size)

    def binary(self) -> IO[bytes]:
        """A binary file of the whole input, for a `with` block."""
        return io.BytesIO(self._content) if self._content is not None else open(self.path, "rb")

    def content(self) -> bytes:
        if self._content is not None:
            return self._content
        with open(self.path, "rb") as handle:
            data = handle.read(MAX_BYTES + 1)
        if len(data) > MAX_BYTES:
            raise ValueError(f"{self.name}: line 1: expected at most {MAX_BYTES} bytes in an instrument file")
        return data

    def text(self) -> str:
        """The whole input decoded, line endings as written."""
        data = self.content()
        encoding = text_encoding(data[:65536])
        if encoding == "utf-8-sig":
            try:
                return data.decode("utf-8-sig")
            except UnicodeDecodeError:
                encoding = "cp1252"
        try:
            return data.decode(encoding, errors="replace")
        except UnicodeError as error:
            raise ValueError(f"{self.name}: line 1: cannot decode as {encoding}: {error}") from None

    def lines(self) -> Iterator[tuple[int, str, bool]]:
        """(number from 1, line without its ending, whether it had one), read a block at a time."""
        encoding = text_encoding(self.head())
        # Numbers are ASCII: a stray byte past the sampled start only spoils a name, never a value.
        with self.binary() as handle, io.TextIOWrapper(handle, encoding=encoding, errors="replace",
                                                       newline=None) as reader:
            number, carry = 0, ""
            while True:
                block = reader.read(1 << 20)
                if not block:
                    break
                # Universal newlines: every line ending reads as "\n".
                lines = (carry + block).split("\n")
                carry = lines.pop()
                if len(carry) > MAX_LINE_CHARACTERS:
                    raise ValueError(f"{self.name}: line {number + len(lines) + 1}: longer than "
                                     f"{MAX_LINE_CHARACTERS} characters; not a text table")
                for line in lines:
                    number += 1
                    yield number, line, True
            if carry:
                yield number + 1, carry, False


def _read_capped(handle, name):
    chunks, size = [], 0
    while True:
        chunk = handle.read(1 << 20)
        if not chunk:
            break
        size += len(chunk)
        if size > MAX_BYTES:
            raise ValueError(f"{name}: line 1: expected at most {MAX_BYTES} bytes from a file object")
        chunks.append(chunk)
    if not chunks:
        return b""
    if isinstance(chunks[0], str):
        return "".join(chunks).encode("utf-8")
    return b"".join(chunks)


def text_encoding(head: bytes) -> str:
    """The encoding of text starting with `head`: a byte order mark, NUL bytes between ASCII, or UTF-8."""
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    sample = head[:512]
    if len(sample) >= 4 and sample.count(0) * 3 > len(sample):
        # UTF-16 without a byte order mark: every other byte of ASCII text is zero.
        return "utf-16-le" if sample[1::2].count(0) > sample[0::2].count(0) else "utf-16-be"
    decoder = codecs.getincrementaldecoder("utf-8")()
    try:
        decoder.decode(head.removeprefix(codecs.BOM_UTF8), final=False)
    except UnicodeDecodeError:
        return "cp1252"
    return "utf-8-sig"


# Fields of a row of numbers, a whole number, a number's start, and a start that cannot be whole.
_TOKEN = re.compile(r"[^\s,;\"']+")
_WHOLE = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$|[+-]?(?:nan|inf)$", re.I)
_START = re.compile(r"[+-]?\d*\.?\d*(?:[eE][+-]?\d*)?$")
_INCOMPLETE = re.compile(r"(?:[.eE+-]|[eE][+-])$")


def looks_truncated(last: str, before: "Sequence[str]") -> bool:
    """Whether `last`, a final line without its line ending, is a row of numbers cut short.

    It is when it has fewer fields than the lines before it, ends in a sign,
    point or exponent mark, or ends in a field shorter than that column's
    values in the lines before where those all have one width (instruments
    write their columns in a fixed format, so a cut value is shorter). A line
    that is no row of numbers (a closing tag, a note) has no value to cut.
    """
    tokens = _TOKEN.findall(last)
    if not tokens or not all(_WHOLE.match(token) for token in tokens[:-1]) or not _START.match(tokens[-1]):
        return False
    if _INCOMPLETE.search(tokens[-1]):
        return True
    previous = [_TOKEN.findall(line) for line in before if _TOKEN.findall(line)]
    if not previous:
        return False
    if len(tokens) < min(len(fields) for fields in previous):
        return True
    # Only a column written at a fixed width tells a cut value by its length.
    widths = {len(fields[-1]) for fields in previous}
    return len(widths) == 1 and len(tokens[-1]) < widths.pop()


def split_lines(text: str) -> list[str]:
    """The lines of a text, split at CR LF, CR or LF only (str.splitlines also splits at
    control characters that binary headers hold), without an empty one after the last ending."""
    lines = _LINE_ENDING.split(text)
    if lines and not lines[-1]:
        lines.pop()
    return lines


_LINE_ENDING = re.compile(r"\r\n|\r|\n")


def drop_truncated_last_line(text: str, name: str) -> str:
    """`text` less a final line that was cut short (with a warning naming it), else `text` unchanged."""
    if not text or text.endswith(("\n", "\r")):
        return text
    lines = split_lines(text)
    if len(lines) < 2 or not looks_truncated(lines[-1], lines[-9:-1]):
        return text
    warn_truncated(name, len(lines), lines[-1])
    return text[:len(text) - len(lines[-1])]


def warn_truncated(name: str, number: int, line: str):
    warnings.warn(f"{name}: line {number}: the file ends inside this line ({line.strip()[-40:]!r}), "
                  "which was left out; the file looks cut short", UserWarning, stacklevel=4)
