"""Run the landalloc land-allocation optimiser and read its results.

The package talks to the ``landalloc`` program only through its command line, its
``--describe`` output and the files it writes::

    import landalloc
    result = landalloc.run("examples/demo/config.json", seed=7, cwd="examples/demo")
    final = result.maps["out/postprocess.asc"].array
"""

from landalloc.program import (
    LandallocError,
    Map,
    Result,
    describe,
    find_program,
    run,
)

__all__ = ["LandallocError", "Map", "Result", "describe", "find_program", "run"]
