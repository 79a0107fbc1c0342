"""Finding and running the landalloc program, and reading back what it wrote."""

import csv
import json
import math
import operator
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Optional, Union

import numpy
from osgeo import gdal

gdal.UseExceptions()

STAGES = ("preprocess", "process", "postprocess")
GRID_EXTENSIONS = (".asc", ".tif", ".tiff")
# The program's seeds are 64-bit.
SEED_MAX = 2**64 - 1
# What the program refuses in a configuration's texts and keys: a name holding one could start a
# line of the log, and a log line "* write '...'" cut in two hides the file from the reader.
CONTROL = re.compile(r"[\x00-\x1f\x7f]")
HOW_TO_POINT = "pass program=..., or set LANDALLOC to the landalloc program"


class LandallocError(RuntimeError):
    """The program ended with an error.

    ``message`` holds the program's error lines (from its first ``error: `` line on), ``code``
    its exit code as the shell sees it (255 for the program's -1) and ``log`` its whole output.
    A configuration dict the program would refuse or could not read is refused before the
    program starts, with the message and code the program would give, and an empty ``log``.
    """

    def __init__(self, message: str, code: int, log: str):
        super().__init__(f"{message} (exit code {code})")
        self.message = message
        self.code = code
        self.log = log


class ProgramError(OSError):
    """The landalloc program cannot be started: not found, a folder, not executable, or a file
    the system cannot run. The message names the path and how to point the package at the
    program."""


@dataclass
class Map:
    """A grid the program wrote: its cells, its GDAL geotransform and its CRS (WKT, or "")."""

    array: numpy.ndarray
    geotransform: tuple
    crs: str


@dataclass
class Result:
    """What a run left behind.

    ``maps`` holds every grid the log reports written, in the order written, under the name the
    log gives it (as the configuration names it); ``runs`` the rows of the runs table of a run
    with repeats (numbers as int or float), else None; ``log`` the program's standard output.
    """

    maps: Dict[str, Map] = field(default_factory=dict)
    runs: Optional[List[Dict[str, Any]]] = None
    log: str = ""


def find_program(program: Optional[str] = None) -> str:
    """The landalloc program to run, as an absolute path: `program` if given (relative to the
    current folder), else $LANDALLOC, else the first on PATH. Raises ProgramError when it is
    missing, a folder or not executable."""
    candidate = program or os.environ.get("LANDALLOC") or shutil.which("landalloc")
    if not candidate:
        raise ProgramError(f"landalloc program not found on PATH: {HOW_TO_POINT}")
    # A folder passes the execute check (it may be entered), and running one says only
    # "Permission denied".
    if os.path.isdir(candidate):
        raise ProgramError(f"'{candidate}' is a folder, not the landalloc program: {HOW_TO_POINT}")
    if not os.path.isfile(candidate):
        raise ProgramError(f"landalloc program '{candidate}' not found: {HOW_TO_POINT}")
    if not os.access(candidate, os.X_OK):
        raise ProgramError(f"'{candidate}' is not executable: {HOW_TO_POINT}")
    # The file checked is the one run: a relative name would otherwise be looked up on PATH, or
    # from the run's cwd.
    return os.path.abspath(candidate)


def _start(args: List[str], **kwargs) -> subprocess.CompletedProcess:
    """subprocess.run, with a program the system cannot run ("Exec format error") reported as
    the ProgramError it is."""
    try:
        return subprocess.run(args, **kwargs)
    except OSError as error:
        if error.filename != args[0]:  # a missing cwd, say: not the program's fault
            raise
        raise ProgramError(
            f"'{args[0]}' cannot be run ({error.strerror}), it is not the landalloc program: "
            f"{HOW_TO_POINT}"
        ) from error


def describe(program: Optional[str] = None) -> Dict[str, Any]:
    """The program's ``--describe`` document: its options and every configuration property."""
    done = _start(
        [find_program(program), "--describe"], capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)


def run(
    config: Union[dict, str, os.PathLike],
    seed: Optional[int] = None,
    repeats: Optional[int] = None,
    threads: Optional[int] = None,
    stages: Union[str, Iterable[str], None] = None,
    program: Optional[str] = None,
    cwd: Optional[str] = None,
) -> Result:
    """Runs landalloc on one configuration and returns its maps, runs table and log.

    config: the configuration as a dict (written to a temporary file for the run) or the path of
        a JSON file. The program runs in `cwd` (default: the current folder) and resolves every
        relative file name of the configuration against it, whether the configuration is a dict
        or a file: relative names are relative to `cwd`, not to the configuration file's folder.
    seed, repeats, threads: as ``--seed`` (0 to 2**64 - 1), ``--repeats`` and ``--threads``:
        whole numbers (int, not bool); anything else raises TypeError, a seed out of range
        ValueError.
    stages: a name among "preprocess", "process", "postprocess", or a list of them; None runs
        all three.
    program: the program to run (see find_program).

    Raises LandallocError when the program ends with an error, or, before it starts, when a
    configuration dict holds a number JSON cannot hold (NaN, infinities) or a text or key with a
    control character (0x00-0x1F, 0x7F); ProgramError when the program cannot be started.
    """
    args = command(seed=seed, repeats=repeats, threads=threads, stages=stages, program=program)
    cwd = os.path.abspath(cwd or os.getcwd())
    with tempfile.TemporaryDirectory(prefix="landalloc-") as folder:
        if isinstance(config, dict):
            _refuse(config)
            path = os.path.join(folder, "config.json")
            with open(path, "w", encoding="utf-8") as out:
                json.dump(config, out, indent=1, allow_nan=False)
        else:
            path = os.path.abspath(os.fspath(config))
        done = _start(args + [path], cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise LandallocError(error_lines(done.stdout, done.stderr), done.returncode, done.stdout)
    result = Result(log=done.stdout)
    for name in written_files(done.stdout):
        full = os.path.join(cwd, name)
        if name.lower().endswith(GRID_EXTENSIONS):
            result.maps[name] = read_map(full)
        elif name.endswith(".runs.csv"):
            result.runs = _read_table(full)
    return result


def read_map(path: str) -> Map:
    """A grid file as a Map (float32 cells, as the program writes them)."""
    dataset = gdal.Open(os.fspath(path))
    try:
        array = dataset.GetRasterBand(1).ReadAsArray().astype(numpy.float32)
        return Map(array, tuple(dataset.GetGeoTransform()), dataset.GetProjection() or "")
    finally:
        dataset = None


def command(
    seed: Optional[int] = None,
    repeats: Optional[int] = None,
    threads: Optional[int] = None,
    stages: Union[str, Iterable[str], None] = None,
    program: Optional[str] = None,
) -> List[str]:
    """The program and its options for a run (see run); the configuration file goes last."""
    args = [find_program(program)]
    # A single name, not its letters.
    for stage in [stages] if isinstance(stages, str) else stages or ():
        if stage.lower() not in STAGES:
            raise ValueError(f"unknown stage '{stage}' (one of {', '.join(STAGES)})")
        args.append("--" + stage.lower())
    for option, value in (("--seed", seed), ("--repeats", repeats), ("--threads", threads)):
        if value is not None:
            args.append(f"{option}={_whole(option, value)}")
    if seed is not None and not 0 <= seed <= SEED_MAX:
        raise ValueError(f"--seed must be from 0 to 2**64 - 1, not {seed}")
    return args


def _whole(option: str, value: Any) -> int:
    # int() would take 1.9 as 1 and True as 1: a run other than the one asked for. numpy's
    # integers pass.
    if not isinstance(value, bool):
        try:
            return operator.index(value)
        except TypeError:
            pass
    raise TypeError(f"{option} must be a whole number (int), not {value!r}")


def _escaped(text: str) -> str:
    """`text` with its control characters written as escapes, as the program's messages show
    names."""
    named = {"\n": "\\n", "\t": "\\t", "\r": "\\r"}
    return CONTROL.sub(lambda c: named.get(c.group(), f"\\x{ord(c.group()):02x}"), text)


def _refuse(node: Any, path: str = "") -> None:
    """Raises LandallocError, naming the property, at the first number JSON cannot hold or text
    or key holding a control character, with the code the program gives for each: a NaN
    written out is not JSON (1), a control character it refuses (2)."""
    if isinstance(node, float) and not math.isfinite(node):
        raise LandallocError(
            f"error: property '{_escaped(path)}' is {node}, a number JSON cannot hold!", 1, ""
        )
    if isinstance(node, str) and CONTROL.search(node):
        raise LandallocError(
            f"error: property '{_escaped(path)}' holds a control character "
            f"('{_escaped(node)}')!", 2, ""
        )
    if isinstance(node, dict):
        for key, value in node.items():
            member = f"{path}.{key}" if path else str(key)
            if CONTROL.search(str(key)):
                raise LandallocError(
                    f"error: property '{_escaped(member)}' holds a control character!", 2, ""
                )
            _refuse(value, member)
    elif isinstance(node, (list, tuple)):
        for i, value in enumerate(node):
            _refuse(value, f"{path}[{i}]")


def written_files(log: str) -> List[str]:
    """The files a log reports written (its lines "* write 'name'", and "* write to 'name'" of
    a listing written line by line), each once, in order."""
    names = []
    for line in log.splitlines():
        for start in ("* write '", "* write to '"):
            if line.startswith(start) and line.endswith("'"):
                name = line[len(start) : -1]
                if name not in names:
                    names.append(name)
    return names


def error_lines(log: str, err: str) -> str:
    """The error a failed run reports: its log from the first "error: " line on."""
    lines = log.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("error: "):
            return "\n".join(lines[i:]).strip()
    return (err.strip() or "\n".join(lines[-3:])).strip()


def _number(text: str) -> Any:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def _read_table(path: str) -> List[Dict[str, Any]]:
    with open(path, newline="", encoding="utf-8") as table:
        return [{k: _number(v) for k, v in row.items()} for row in csv.DictReader(table)]
