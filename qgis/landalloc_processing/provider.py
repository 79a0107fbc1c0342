"""The provider: "Run a configuration file", "Allocate land use" and "Calibrate a weight". The
last two build their parameters from the program's own description; when the program cannot be
found they stay listed, without those parameters, and say when run how to point QGIS at it."""

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
        except (OSError, ValueError) as error:
            description = None
            QgsMessageLog.logMessage(
                f"'Allocate land use' and 'Calibrate a weight' need the landalloc program: "
                f"{error}", "landalloc"
            )
        self.addAlgorithm(AllocateAlgorithm(description))
        self.addAlgorithm(CalibrateAlgorithm(description))
