"""Run the landalloc land-allocation optimiser and read its results.

The package talks to the ``landalloc`` program only through its command line, its
``--describe`` output and the files it writes::

    import landalloc
    result = landalloc.run("examples/demo/config.json", seed=7, cwd="examples/demo")
    final = result.maps["out/postprocess.asc"].array
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
    read_map,
    run,
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
    "read_map",
    "run",
    "written_files",
]
