// Telling a user what a bundle path is not, before the manifest loader's "cannot open
// X/manifest.json" would leave them guessing.
#pragma once

#include <string>

namespace qo::tool {

// "" when `path` may be a bundle: an existing directory (its manifest is checked when loaded), an
// IMX container, or a path whose ".imx" sibling is one. Otherwise a sentence that says what the
// path is and that it is neither a bundle directory nor an IMX container.
std::string whyNotABundle(const std::string& path);

}  // namespace qo::tool
