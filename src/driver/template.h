// A first configuration in one command: `--template` writes a minimal valid configuration for one
// land use, `--template=uses` one for several, both by minimum cuts and both running as written
// from the project's folder on the bundled example's maps. Within each stage's section the
// properties a planner replaces come first; the guide that names them goes to standard error, so
// that standard output stays the configuration alone.
#pragma once

#include <string>

/// Which template: "" for one land use, "uses" for several; false for any other word.
bool template_known(const std::string& kind);

/// The configuration of template `kind` as JSON text.
std::string template_json(const std::string& kind);

/// What to change in it and how to run it, a few lines for a person.
std::string template_guide(const std::string& kind);
