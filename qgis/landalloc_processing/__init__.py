"""QGIS plugin: the landalloc Processing provider."""


def classFactory(iface):  # noqa: N802 (the name QGIS calls)
    from .plugin import LandallocPlugin

    return LandallocPlugin()
