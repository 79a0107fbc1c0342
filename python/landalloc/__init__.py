"""Run the landalloc land-allocation optimiser and read its results.

The package talks to the ``landalloc`` program only through its command line, its
``--describe`` output and the files it writes::

    import landalloc
    result = landalloc.run("examples/demo/config.json", seed=7, cwd="examples/demo")
    final = result.maps["out/postprocess.asc"].array

A configuration given as a dict runs by minimum cuts unless it names "process.method"; its input
grids may be numpy arrays. GDAL's Python bindings are needed only to read GeoTIFF results.
"""

from .program import (
    LandallocError,
    Map,
    ProgramError,
    Result,
    command,
    describe,
    error_lines,
    find_program,
    progress_fraction,
    read_map,
    read_pieces,
    run,
    template,
    write_ascii,
    written_files,
)

__all__ = [
    "LandallocError",
    "Map",
    "ProgramError",
    "Result",
    "command",
    "describe",
    "error_lines",
    "find_program",
    "progress_fraction",
    "read_map",
    "read_pieces",
    "run",
    "template",
    "write_ascii",
    "written_files",
]
