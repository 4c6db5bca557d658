// The HTML page qo serve hands out at "/".
#pragma once

namespace qo::tool {

const char* servePage();

}  // namespace qo::tool
