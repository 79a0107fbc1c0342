"""Builds the package's wheel with the standard library alone (PEP 517, PEP 660).

setuptools needs the separate "wheel" package to build a wheel, and pip fetches it from the
network when it is missing: installs failed offline, and on a Python whose setuptools lacks it
(`invalid command 'bdist_wheel'`). The package is two pure-Python files, so a wheel is a zip of
them with its metadata, which this module writes itself.
"""

import ast
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "landalloc"


def _project():
    """The [project] table's scalar texts and its lists, read from pyproject.toml (tomllib is
    3.11's; the table is plain enough to read line by line)."""
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as text:
        toml = text.read()
    project = {}
    table = ""
    for line in toml.splitlines():
        header = re.fullmatch(r"\[([^\]]+)\]\s*", line)
        if header:
            table = header.group(1)
            continue
        pair = re.fullmatch(r'([A-Za-z-]+)\s*=\s*(".*"|\[.*\])\s*', line)
        if pair and table in ("project", "project.optional-dependencies"):
            key = pair.group(1) if table == "project" else "extra:" + pair.group(1)
            project[key] = ast.literal_eval(pair.group(2))
    return project


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for key, requirements in project.items():
        if key.startswith("extra:"):
            extra = key[len("extra:"):]
            lines.append(f"Provides-Extra: {extra}")
            lines += [f'Requires-Dist: {r}; extra == "{extra}"' for r in requirements]
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as readme:
        body = readme.read()
    return "\n".join(lines + ["Description-Content-Type: text/markdown", "", body])


def _wheel(directory, files):
    """Writes the wheel of `files` (archive name -> bytes) and returns its file name."""
    project = _project()
    stem = f"{project['name']}-{project['version']}"
    info = f"{stem}.dist-info"
    files = dict(files)
    files[f"{info}/METADATA"] = _metadata(project).encode("utf-8")
    files[f"{info}/WHEEL"] = (
        b"Wheel-Version: 1.0\nGenerator: landalloc build_backend\nRoot-Is-Purelib: true\n"
        b"Tag: py3-none-any\n"
    )
    record = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode("utf-8")
    name = f"{stem}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for archive_name, data in files.items():
            wheel.writestr(archive_name, data)
    return name


def _sources():
    folder = os.path.join(HERE, PACKAGE)
    return {
        f"{PACKAGE}/{name}": open(os.path.join(folder, name), "rb").read()
        for name in sorted(os.listdir(folder))
        if name.endswith(".py")
    }


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, _sources())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The source folder on the path: edits take effect without a reinstall.
    return _wheel(wheel_directory, {f"{PACKAGE}.pth": (HERE + "\n").encode("utf-8")})


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    stem = f"{project['name']}-{project['version']}"
    name = f"{stem}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        for path in ["pyproject.toml", "build_backend.py", "README.md"] + list(_sources()):
            sdist.add(os.path.join(HERE, path), arcname=f"{stem}/{path}")
        data = _metadata(project).encode("utf-8")
        entry = tarfile.TarInfo(f"{stem}/PKG-INFO")
        entry.size = len(data)
        sdist.addfile(entry, io.BytesIO(data))
    return name
