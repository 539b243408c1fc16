"""Runs written by the zorv-daq program for the tests, and its own reading
of them (JSON lines) as the reference the module is compared with."""
import json
import os
import shutil
import subprocess

import pytest

PROGRAM = os.environ.get("ZORV_DAQ_PROGRAM", "zorv-daq")
os.environ.setdefault("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1")


def zorv(*args, check=True):
    return subprocess.run([PROGRAM, *map(str, args)], check=check, capture_output=True, text=True)


def write_run(directory, *args):
    """Writes a run into `directory` and returns its files in order."""
    directory.mkdir(parents=True, exist_ok=True)
    zorv("gen", "-o", directory, *args)
    return sorted(str(p) for p in directory.glob("*.raw"))


def damaged_copies(files, directory, index, size):
    """Copies of `files` in `directory` whose file `index` is cut to `size`
    bytes, as a file cut short while being copied."""
    copies = []
    for f in files:
        shutil.copy(f, directory)
        copies.append(str(directory / os.path.basename(f)))
    with open(copies[index], "r+b") as fh:
        fh.truncate(size)
    return copies


def cli_records(*args):
    """JSON lines the program prints for `args`."""
    out = zorv(*args, check=False).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def cli_events(files, *args):
    """The program's reading of `files`: one dict per event."""
    out = zorv("read", *files, *args, check=False).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


@pytest.fixture(scope="session", params=["current", "legacy"])
def sample(request, tmp_path_factory):
    """(layout, files, directory) of the built-in sample run in each layout."""
    d = tmp_path_factory.mktemp("sample_" + request.param)
    return request.param, write_run(d, "--sample", "--layout", request.param), d
