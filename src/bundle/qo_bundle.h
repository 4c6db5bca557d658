// Internal declarations of the bundle locator.
#pragma once

#include <string>

#include "qo/qo_bundle.h"

namespace qo {

// The older layout's name for member `name`, or `name` itself when it has none.
std::string legacyMemberName(const std::string& name);

}  // namespace qo
