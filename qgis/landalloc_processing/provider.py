"""The provider: "Run a configuration file", "Allocate land use", "Allocate land uses" and
"Calibrate a weight". The last three build their parameters from the program's own description;
when the program cannot be found they stay listed, without those parameters, and say when run how
to point QGIS at it."""

from qgis.core import QgsMessageLog, QgsProcessingProvider

from .algorithms import AllocateAlgorithm, CalibrateAlgorithm, RunConfigurationAlgorithm
from .land_uses import AllocateUsesAlgorithm
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
                "'Allocate land use', 'Allocate land uses' and 'Calibrate a weight' need the "
                f"landalloc program: {error}", "landalloc"
            )
        self.addAlgorithm(AllocateAlgorithm(description))
        self.addAlgorithm(AllocateUsesAlgorithm(description))
        self.addAlgorithm(CalibrateAlgorithm(description))
