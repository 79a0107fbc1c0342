#include "scenario/map_style.h"

#include <cstdio>
#include <set>
#include <vector>

#include "base/log.h"
#include "base/output_file.h"
#include "raster/crs.h"
#include "raster/geometry.h"

namespace {

// Existing uses take these in turn; excluded, free and new cells have fixed colours.
const char* const USE_COLOURS[] = {"#7b3294", "#c2a5cf", "#008837", "#a6dba0",
                                   "#e66101", "#fdb863", "#5e3c99", "#b2abd2"};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

// New uses take these in turn, the first as the one new allocation of a single use.
const char* const NEW_COLOURS[] = {"#d7191c", "#2c7bb6", "#fdae61", "#1a9641", "#ffff33"};

// `text` as an XML attribute value.
std::string xml_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string entry(const char* tag, double value, const char* colour, const std::string& label) {
  return std::string("        <") + tag + " value=\"" + number(value) + "\" color=\"" + colour +
         "\" alpha=\"255\" label=\"" + xml_escaped(label) + "\"/>\n";
}

// The renderer inside the document QGIS reads as a layer's style.
void write_style(const std::string& path, const std::string& renderer) {
  const std::string style = style_sidecar_path(path);
  if (style == path) return;
  const std::string text =
      "<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n"
      "<qgis version=\"3.22.0\" styleCategories=\"Symbology\">\n  <pipe>\n" +
      renderer +
      "    <brightnesscontrast brightness=\"0\" contrast=\"0\" gamma=\"1\"/>\n"
      "    <rasterresampler maxOversampling=\"2\"/>\n  </pipe>\n  <blendMode>0</blendMode>\n"
      "</qgis>\n";
  output_write_text(style, text);
}

std::string paletted(const std::string& entries) {
  return "    <rasterrenderer type=\"paletted\" band=\"1\" opacity=\"1\" alphaBand=\"-1\">\n"
         "      <rasterTransparency/>\n      <colorPalette>\n" +
         entries + "      </colorPalette>\n    </rasterrenderer>\n";
}

}  // namespace

std::string style_sidecar_path(const std::string& path) {
  const std::string prj = crs_sidecar_path(path);
  return prj.substr(0, prj.size() - 4) + ".qml";
}

void style_write_solution(const std::string& path, const float* cells, size_t n,
                          const std::vector<CodeLabel>* labels) {
  std::set<float> codes;
  float last = CELL_NODATA;
  for (size_t i = 0; i < n; ++i) {
    // Codes come in long runs of equal cells: the set is asked only when one changes.
    if (cells[i] == last || cells[i] == CELL_NODATA) continue;
    last = cells[i];
    codes.insert(last);
  }
  const float allocated = codes.empty() ? CELL_AVAILABLE : *codes.rbegin();
  std::string entries;
  size_t use = 0, planned = 0;
  const auto count = [](const auto& colours) { return sizeof colours / sizeof colours[0]; };
  for (const float code : codes) {
    const CodeLabel* label = nullptr;
    for (size_t k = 0; labels != nullptr && k < labels->size(); ++k) {
      if ((*labels)[k].code == code) label = &(*labels)[k];
    }
    if (code == CELL_MASKED) {
      entries += entry("paletteEntry", code, "#9e9e9e", "excluded");
    } else if (code == CELL_AVAILABLE) {
      entries += entry("paletteEntry", code, "#f5f0e1", "free");
    } else if (label != nullptr) {
      const char* colour = label->planned ? NEW_COLOURS[planned++ % count(NEW_COLOURS)]
                                          : USE_COLOURS[use++ % count(USE_COLOURS)];
      entries += entry("paletteEntry", code, colour, label->label);
    } else if (labels != nullptr && code > CELL_AVAILABLE) {
      const char* colour = USE_COLOURS[use++ % count(USE_COLOURS)];
      entries += entry("paletteEntry", code, colour, "existing use " + number(code));
    } else if (code == allocated) {
      entries += entry("paletteEntry", code, "#d7191c", "new allocation");
    } else if (code > CELL_AVAILABLE) {
      const char* colour = USE_COLOURS[use++ % (sizeof USE_COLOURS / sizeof USE_COLOURS[0])];
      entries += entry("paletteEntry", code, colour, "existing use " + number(code));
    }
  }
  write_style(path, paletted(entries));
}

void style_write_mask(const std::string& path) {
  write_style(path, paletted(entry("paletteEntry", 1.0, "#d7191c", "allocated")));
}

void style_write_frequency(const std::string& path, int32_t runs) {
  // Five classes from never chosen to chosen by every run, light to dark.
  const char* const colours[] = {"#ffffcc", "#a1dab4", "#41b6c4", "#2c7fb8", "#253494"};
  std::string items;
  for (int k = 0; k < 5; ++k) {
    const double value = runs * k / 4.0;
    items += entry("item", value, colours[k], number(value));
  }
  write_style(
      path,
      "    <rasterrenderer type=\"singlebandpseudocolor\" band=\"1\" opacity=\"1\" "
      "alphaBand=\"-1\" classificationMin=\"0\" classificationMax=\"" +
          number(runs) +
          "\">\n      <rasterTransparency/>\n      <rastershader>\n"
          "        <colorrampshader colorRampType=\"INTERPOLATED\" classificationMode=\"2\" "
          "clip=\"0\" minimumValue=\"0\" maximumValue=\"" +
          number(runs) + "\">\n" + items +
          "        </colorrampshader>\n      </rastershader>\n    </rasterrenderer>\n");
}
