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
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Optional, Union

import numpy

STAGES = ("preprocess", "process", "postprocess")
GRID_EXTENSIONS = (".asc", ".tif", ".tiff")
# The program's seeds are 64-bit.
SEED_MAX = 2**64 - 1
# What the program refuses in a configuration's texts and keys: a name holding one could start a
# line of the log, and a log line "* write '...'" cut in two hides the file from the reader.
CONTROL = re.compile(r"[\x00-\x1f\x7f]")
HOW_TO_POINT = "pass program=..., or set LANDALLOC to the landalloc program"
# The fronts' method: minimum cuts draw compact plans in a fraction of the annealing's time.
FRONT_METHOD = "min-cut"
# The progress line counts its work as "done of total" (stages, moves, runs, cells).
PROGRESS = re.compile(r"(\d+) of (\d+)")
# What a numpy array given as an input grid is written with where it holds NaN.
ARRAY_NODATA = -9999.0


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
    with repeats (numbers as int or float), else None; ``sweep`` the rows of the sweep table of a
    run with a sweep, else None; ``log`` the program's standard output.
    """

    maps: Dict[str, Map] = field(default_factory=dict)
    runs: Optional[List[Dict[str, Any]]] = None
    sweep: Optional[List[Dict[str, Any]]] = None
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


def template(uses: bool = False, program: Optional[str] = None) -> Dict[str, Any]:
    """The program's ``--template`` (``--template=uses`` for several land uses) as a dict: a
    minimal configuration by minimum cuts on the bundled example's maps, as named from the
    project's folder."""
    option = "--template=uses" if uses else "--template"
    done = _start([find_program(program), option], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def run(
    config: Union[dict, str, os.PathLike],
    seed: Optional[int] = None,
    repeats: Optional[int] = None,
    threads: Optional[int] = None,
    stages: Union[str, Iterable[str], None] = None,
    program: Optional[str] = None,
    cwd: Optional[str] = None,
    time_limit: Optional[float] = None,
    sweep: Union[str, Iterable[str], Dict[str, Any], None] = None,
    progress: Optional[Callable[[Optional[float], str], None]] = None,
    grid: Union[str, os.PathLike, Map, None] = None,
) -> Result:
    """Runs landalloc on one configuration and returns its maps, runs table and log.

    config: the configuration as a dict (written to a temporary file for the run) or the path of
        a JSON file. The program runs in `cwd` (default: the current folder) and resolves every
        relative file name of the configuration against it, whether the configuration is a dict
        or a file: relative names are relative to `cwd`, not to the configuration file's folder.
        A dict without "process.method" runs by minimum cuts ("min-cut"). A file without it
        runs the annealing, as the command line and QGIS's "Run a configuration file" run it, so
        that one file gives the same maps everywhere; for minimum cuts, write them in the file:
        "process": {"method": "min-cut", ...}. In a dict, any input grid may be a numpy array
        (2-D; NaN for no data) or a Map (an array with its geotransform and CRS): it is written
        to a temporary grid for the run. A bare array takes the geotransform and CRS of `grid`
        (a Map, or a grid file relative to `cwd`), else of the first Map of the configuration,
        else of its first potential map file.
    seed, repeats, threads: as ``--seed`` (0 to 2**64 - 1), ``--repeats`` and ``--threads``:
        whole numbers (int, not bool); anything else raises TypeError, a seed out of range
        ValueError.
    stages: a name among "preprocess", "process", "postprocess", or a list of them; None runs
        all three.
    time_limit: seconds above 0, as ``--time-limit``: PROCESS ends with its best map by then.
    sweep: as ``--sweep``: "process.functions-weight[1]=0:4:5", a list of up to two such texts,
        or a dict of property to a list of values ({"process.functions-weight[1]": [0, 1, 4]}).
        The sweep table's rows come back in Result.sweep.
    progress: called as progress(fraction, line) with every update of the program's progress
        line (the fraction of its current work done, 0 to 1, or None when the line has none).
    program: the program to run (see find_program).

    Raises LandallocError when the program ends with an error, or, before it starts, when a
    configuration dict holds a number JSON cannot hold (NaN, infinities) or a text or key with a
    control character (0x00-0x1F, 0x7F); ProgramError when the program cannot be started.
    """
    args = command(seed=seed, repeats=repeats, threads=threads, stages=stages, program=program,
                   time_limit=time_limit, sweep=sweep)
    if progress is not None:
        args.append("--progress")
    cwd = os.path.abspath(cwd or os.getcwd())
    with tempfile.TemporaryDirectory(prefix="landalloc-") as folder:
        if isinstance(config, dict):
            config = _with_arrays_written(config, folder, cwd, grid)
            _refuse(config)
            process = config.setdefault("process", {})
            if isinstance(process, dict):
                process.setdefault("method", FRONT_METHOD)
            path = os.path.join(folder, "config.json")
            with open(path, "w", encoding="utf-8") as out:
                json.dump(config, out, indent=1, allow_nan=False)
        else:
            path = os.path.abspath(os.fspath(config))
        done = _execute(args + [path], cwd, progress)
    if done.returncode != 0:
        raise LandallocError(error_lines(done.stdout, done.stderr), done.returncode, done.stdout)
    result = Result(log=done.stdout)
    for name in written_files(done.stdout):
        full = os.path.join(cwd, name)
        if name.lower().endswith(GRID_EXTENSIONS):
            result.maps[name] = read_map(full)
        elif name.endswith(".runs.csv") and ".sweep" not in name:
            result.runs = _read_table(full)
        elif name.endswith(".sweep.csv"):
            result.sweep = _read_table(full)
    return result


def progress_fraction(line: str) -> Optional[float]:
    """The share of its work a progress line reports done ("2 of 8 runs" is 0.25), or None."""
    found = PROGRESS.search(line)
    if not found or int(found.group(2)) == 0:
        return None
    return int(found.group(1)) / int(found.group(2))


def read_pieces(stream, on_piece: Callable[[str], None], separators: str) -> None:
    """Calls on_piece with every piece of `stream`'s text between separators, as it comes."""
    piece = ""
    for char in iter(lambda: stream.read(1), ""):
        if char in separators:
            on_piece(piece)
            piece = ""
        else:
            piece += char
    if piece:
        on_piece(piece)


def _execute(args: List[str], cwd: str, progress) -> subprocess.CompletedProcess:
    """Runs the program; with a progress callback, feeds it each update of the progress line
    while the log is collected."""
    if progress is None:
        return _start(args, cwd=cwd, capture_output=True, text=True)
    try:
        process = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
    except OSError:
        return _start(args, cwd=cwd, capture_output=True, text=True)  # raises as it should
    out, err = [], []
    reader = threading.Thread(target=lambda: out.append(process.stdout.read()))
    reader.start()

    def on_piece(piece):
        if piece:
            err.append(piece)
            progress(progress_fraction(piece), piece)

    with process:
        read_pieces(process.stderr, on_piece, "\r\n")
        reader.join()
        process.wait()
    return subprocess.CompletedProcess(args, process.returncode, "".join(out), "\n".join(err))


def _grid_geometry(grid, cwd: str):
    """The geotransform and CRS of `grid`: a Map, or a grid file relative to `cwd`."""
    if isinstance(grid, Map):
        return grid.geotransform, grid.crs
    named = read_map(os.path.join(cwd, os.fspath(grid)))
    return named.geotransform, named.crs


def _with_arrays_written(config: dict, folder: str, cwd: str, grid) -> dict:
    """A copy of `config` in which every numpy array and Map names a grid written into
    `folder`."""
    written = {}
    geometry = []  # the bare arrays' geotransform and CRS, found at the first one

    def first_map(node):
        if isinstance(node, Map):
            return node
        children = node.values() if isinstance(node, dict) else node
        if isinstance(node, (dict, list, tuple)):
            for child in children:
                found = first_map(child)
                if found is not None:
                    return found
        return None

    def bare_geometry():
        if not geometry:
            source = grid if grid is not None else first_map(config)
            if source is None:
                potential = config.get("maps", {}).get("potential-maps") or [[]]
                first = potential[0][0] if potential[0] else None
                if not isinstance(first, (str, os.PathLike)):
                    raise ValueError(
                        "a numpy array as a grid needs a geotransform: give a landalloc.Map("
                        "array, geotransform, crs), or grid=... naming a grid")
                source = first
            geometry.append(_grid_geometry(source, cwd))
        return geometry[0]

    def replace(node):
        if isinstance(node, (Map, numpy.ndarray)):
            if id(node) not in written:
                path = os.path.join(folder, f"input{len(written)}.asc")
                if isinstance(node, Map):
                    write_ascii(path, node.array, node.geotransform, node.crs)
                else:
                    write_ascii(path, node, *bare_geometry())
                written[id(node)] = path
            return written[id(node)]
        if isinstance(node, dict):
            return {key: replace(value) for key, value in node.items()}
        if isinstance(node, (list, tuple)):
            return [replace(value) for value in node]
        return node

    return replace(config)


def write_ascii(path: str, array, geotransform, crs: str = "") -> None:
    """Writes a 2-D array as an Esri ASCII grid (NaN as no data), with its CRS in a .prj beside
    it. The cells must be square and the grid north up, as the format has them."""
    cells = numpy.asarray(array, dtype=numpy.float32)
    if cells.ndim != 2:
        raise ValueError(f"a grid is a 2-D array, not one of shape {cells.shape}")
    x0, width, row_turn, y0, column_turn, height = (float(v) for v in geotransform)
    if row_turn != 0 or column_turn != 0 or width <= 0 or height != -width:
        raise ValueError(f"geotransform {tuple(geotransform)}: an ASCII grid takes square cells, "
                         "north up (width, 0, 0, -width)")
    nrows, ncols = cells.shape
    header = (f"ncols {ncols}\nnrows {nrows}\nxllcorner {x0!r}\n"
              f"yllcorner {y0 + nrows * height!r}\ncellsize {width!r}\n"
              f"NODATA_value {ARRAY_NODATA:g}\n")
    # Nine digits give every float32 back exactly.
    values = numpy.where(numpy.isnan(cells), numpy.float32(ARRAY_NODATA), cells)
    with open(path, "w", encoding="ascii") as out:
        out.write(header)
        numpy.savetxt(out, values, fmt="%.9g")
    if crs:
        with open(os.path.splitext(path)[0] + ".prj", "w", encoding="utf-8") as out:
            out.write(crs)


def read_map(path: str) -> Map:
    """A grid file as a Map (float32 cells, as the program writes them), read by GDAL. Without
    GDAL's Python bindings an ASCII grid is read all the same (its CRS the text of its .prj);
    other formats need them."""
    try:
        gdal = _gdal()
    except ImportError:
        if os.fspath(path).lower().endswith(".asc"):
            return _read_ascii(os.fspath(path))
        raise
    dataset = gdal.Open(os.fspath(path))
    try:
        array = dataset.GetRasterBand(1).ReadAsArray().astype(numpy.float32)
        return Map(array, tuple(dataset.GetGeoTransform()), dataset.GetProjection() or "")
    finally:
        dataset = None


def _gdal():
    try:
        from osgeo import gdal
    except ImportError as error:
        raise ImportError(
            "reading a GeoTIFF needs GDAL's Python bindings (Debian: python3-gdal; pip: the "
            "GDAL version of the system's library); ASCII grids read without them"
        ) from error
    gdal.UseExceptions()
    return gdal


def _read_ascii(path: str) -> Map:
    header = {}
    with open(path, encoding="ascii") as text:
        lines = text.read().splitlines()
    # The header's lines start with a keyword; the cells' with a number.
    rows = 0
    while rows < len(lines) and lines[rows][:1].isalpha():
        key, value = lines[rows].split()[:2]
        header[key.lower()] = float(value)
        rows += 1
    cells = numpy.array(" ".join(lines[rows:]).split(), dtype=numpy.float32)
    size = header["cellsize"]
    # A centre names the middle of the lower left cell; a corner its lower left corner.
    x0 = header["xllcorner"] if "xllcorner" in header else header["xllcenter"] - size / 2
    y0 = header["yllcorner"] if "yllcorner" in header else header["yllcenter"] - size / 2
    nrows = int(header["nrows"])
    prj = os.path.splitext(path)[0] + ".prj"
    crs = ""
    if os.path.isfile(prj):
        with open(prj, encoding="utf-8", errors="replace") as text:
            crs = text.read().strip()
    return Map(cells.reshape(nrows, int(header["ncols"])),
               (x0, size, 0.0, y0 + nrows * size, 0.0, -size), crs)


def command(
    seed: Optional[int] = None,
    repeats: Optional[int] = None,
    threads: Optional[int] = None,
    stages: Union[str, Iterable[str], None] = None,
    program: Optional[str] = None,
    time_limit: Optional[float] = None,
    sweep: Union[str, Iterable[str], Dict[str, Any], None] = None,
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
    if time_limit is not None:
        if isinstance(time_limit, bool) or not isinstance(time_limit, (int, float)) or not (
                0 < time_limit < math.inf):
            raise ValueError(f"time_limit must be seconds above 0, not {time_limit!r}")
        args.append(f"--time-limit={float(time_limit)!r}")
    if isinstance(sweep, dict):
        sweep = [f"{name}={','.join(repr(float(v)) for v in values)}"
                 for name, values in sweep.items()]
    for text in [sweep] if isinstance(sweep, str) else sweep or ():
        args.append(f"--sweep={text}")
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
