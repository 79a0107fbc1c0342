"""Draws the "Allocate land use" dialog headlessly into the PNG file named by the first argument.

Run with Debian's Python, the plugin unzipped into the folder named by the second argument:
  QT_QPA_PLATFORM=offscreen LANDALLOC=build/release/landalloc /usr/bin/python3 \
    qgis/dialog_screenshot.py docs/qgis-dialog.png PLUGIN_FOLDER
"""
import sys

sys.path.insert(0, sys.argv[2])
sys.path.insert(0, '/usr/share/qgis/python/plugins')
from qgis.core import QgsApplication
app = QgsApplication([], True)
app.initQgis()
from processing.core.Processing import Processing
Processing.initialize()
from landalloc_processing.provider import LandallocProvider
provider = LandallocProvider()
QgsApplication.processingRegistry().addProvider(provider)
from processing.gui.AlgorithmDialog import AlgorithmDialog
alg = QgsApplication.processingRegistry().createAlgorithmById('landalloc:allocate')
dlg = AlgorithmDialog(alg)
dlg.resize(900, 760)
dlg.show()
app.processEvents()
dlg.grab().save(sys.argv[1])
print('saved', sys.argv[1])
