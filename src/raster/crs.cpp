#include "raster/crs.h"

#include <sys/stat.h>

#include <cstdio>

#include "base/log.h"
#include "base/output_file.h"
#include "raster/geotiff.h"

namespace {

// A `.prj` holds a few hundred bytes; anything far larger is not one.
constexpr long PRJ_SIZE_MAX = 1 << 20;

bool regular_file(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The whole text of `path`; empty when it cannot be read or is too large to be a `.prj`.
std::string read_text(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
         text.size() + got <= static_cast<size_t>(PRJ_SIZE_MAX)) {
    text.append(buffer, got);
  }
  const bool complete = got == 0 && !std::ferror(file);
  std::fclose(file);
  return complete ? text : "";
}

bool blank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

std::string crs_sidecar_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_extension ? path.substr(0, dot) : path) + ".prj";
}

GridCrs crs_read_sidecar(const char* path, std::string* not_understood) {
  const std::string lower = crs_sidecar_path(path);
  const std::string upper = lower.substr(0, lower.size() - 3) + "PRJ";
  for (const std::string& sidecar : {lower, upper}) {
    if (sidecar == path || !regular_file(sidecar)) continue;
    const std::string text = read_text(sidecar);
    if (blank(text)) continue;
    // What goes out is the system GDAL read, never the file's bytes: a `.prj` that is no
    // coordinate system (or a link to a private file) must not be copied beside the outputs.
    std::string system = gdal_crs_prj_text(text);
    if (!system.empty()) return GridCrs{std::move(system), true};
    if (not_understood != nullptr) *not_understood = sidecar;
    return GridCrs{};
  }
  return GridCrs{};
}

void crs_write_sidecar(const char* path, const GridCrs& crs) {
  const std::string sidecar = crs_sidecar_path(path);
  if (sidecar == path) return;
  const std::string text = crs.text.empty() ? "" : gdal_crs_esri_text(crs);
  if (text.empty()) {
    if (regular_file(sidecar)) std::remove(sidecar.c_str());
    return;
  }
  output_write_text(sidecar, text);
}

void crs_check(const char* path, const GridCrs& crs, const GridGeometry& geometry) {
  const GridCrs& expected = geometry.crs;
  if (expected.text.empty() || crs.text.empty() || gdal_crs_same(crs, expected)) return;
  log_message("! coordinate system of '%s' differs from that of '%s'\n", path,
              geometry.source.c_str());
}
