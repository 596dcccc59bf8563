"""The package's version is the library's, read from the C header."""
import pathlib
import re

from setuptools import setup

HEADER = pathlib.Path(__file__).resolve().parent.parent.parent / "include" / "IntervalIteration.h"


def header_version():
    text = HEADER.read_text()
    parts = [re.search(r"^#define INTERVAL_ITERATION_VERSION_%s +(\d+)$" % part, text, re.M)
             for part in ("MAJOR", "MINOR", "PATCH")]
    if not all(parts):
        raise RuntimeError("%s defines no complete version" % HEADER)
    return ".".join(match.group(1) for match in parts)


setup(version=header_version())
