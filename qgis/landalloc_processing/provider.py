"""The provider: "Run a configuration file" always, "Allocate land use" and "Calibrate a weight"
when the program can be found, since their parameters come from the program's own
description."""

from qgis.core import QgsMessageLog, QgsProcessingProvider

from .algorithms import AllocateAlgorithm, CalibrateAlgorithm, RunConfigurationAlgorithm
from .runner import describe


class LandallocProvider(QgsProcessingProvider):
    def id(self):
        return "landalloc"

    def name(self):
        return "landalloc"

    def longName(self):  # noqa: N802
        return "landalloc land allocation"

    def loadAlgorithms(self):  # noqa: N802
        self.addAlgorithm(RunConfigurationAlgorithm())
        try:
            description = describe()
            self.addAlgorithm(AllocateAlgorithm(description))
            self.addAlgorithm(CalibrateAlgorithm(description))
        except (OSError, ValueError) as error:
            QgsMessageLog.logMessage(
                f"'Allocate land use' and 'Calibrate a weight' are missing: {error}", "landalloc"
            )
