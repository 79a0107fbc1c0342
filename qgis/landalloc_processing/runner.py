"""Runs the landalloc program for an algorithm: finds it, shows its progress line on the
Processing progress bar and its log in the dialog, and stops it when the user cancels, leaving
none of the run's files behind."""

import os
import re
import subprocess
import threading
import time

from qgis.core import QgsProcessingException, QgsSettings

try:
    from . import landalloc as la  # the copy bundled in the plugin's zip
except ImportError:
    import landalloc as la

SETTING = "landalloc/program"
# A sweep's point writes its runs table as "<final output>.sweepNN.runs.csv"; the sweep's own
# files, written at its end, are "<final output>.sweep.csv", ".sweep.gp" and ".sweep.png".
SWEEP_RUNS = re.compile(r"(.*)\.sweep\d+\.runs\.csv")
SWEEP_FILES = (".sweep.csv", ".sweep.gp", ".sweep.png")


def program():
    """The program: the "landalloc/program" setting, else $LANDALLOC, else the first on PATH."""
    return la.find_program(QgsSettings().value(SETTING, "") or None)


def describe():
    return la.describe(program())


def _remove_outputs(cwd, names):
    for name in names:
        path = os.path.join(cwd, name)
        stem = os.path.splitext(path)[0]
        leftovers = [path, stem + ".qml", stem + ".prj"]
        # A program that does not log its sweep's own files still writes them beside the runs
        # tables.
        point = SWEEP_RUNS.fullmatch(name)
        if point:
            leftovers += [os.path.join(cwd, point.group(1) + end) for end in SWEEP_FILES]
        for leftover in leftovers:
            if os.path.isfile(leftover):
                os.remove(leftover)


def execute(args, config_path, cwd, feedback):
    """Runs `args` on `config_path` in `cwd`; returns the files the run wrote, as the log names
    them. A failure raises QgsProcessingException with the program's error and exit code."""
    process = subprocess.Popen(
        args + ["--progress", config_path],
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    log = []

    def on_line(line):
        log.append(line)
        feedback.pushConsoleInfo(line)

    def on_progress(line):
        fraction = la.progress_fraction(line)
        if fraction is not None:
            feedback.setProgress(100.0 * fraction)

    readers = [
        threading.Thread(target=la.read_pieces, args=(process.stdout, on_line, "\n")),
        threading.Thread(target=la.read_pieces, args=(process.stderr, on_progress, "\r\n")),
    ]
    for reader in readers:
        reader.start()
    cancelled = False
    while process.poll() is None:
        if feedback.isCanceled() and not cancelled:
            # The program removes its unfinished files on SIGTERM.
            process.terminate()
            cancelled = True
        time.sleep(0.05)
    # The readers end when every holder of the pipes has closed them: the program and gnuplot,
    # which draws a sweep's picture and may outlive a terminated program. Once they end, no file
    # of the run is still being written.
    for reader in readers:
        reader.join()
    process.stdout.close()
    process.stderr.close()
    text = "\n".join(log) + "\n"
    written = la.written_files(text)
    # A cancel that comes as the program ends is a cancel all the same: no files are wanted.
    if cancelled or feedback.isCanceled():
        _remove_outputs(cwd, written)
        raise QgsProcessingException("landalloc cancelled: its files were removed")
    if process.returncode != 0:
        raise QgsProcessingException(
            f"{la.error_lines(text, '')} (exit code {process.returncode})"
        )
    return written
