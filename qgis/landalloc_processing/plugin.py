"""Registers the provider with QGIS's Processing framework, in QGIS and in qgis_process."""

from qgis.core import QgsApplication

from .provider import LandallocProvider


class LandallocPlugin:
    def __init__(self):
        self.provider = None

    def initProcessing(self):  # noqa: N802
        self.provider = LandallocProvider()
        QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):  # noqa: N802
        self.initProcessing()

    def unload(self):
        QgsApplication.processingRegistry().removeProvider(self.provider)
