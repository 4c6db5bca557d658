// Readers over the raw manifest text, built on the key scanner of qo/qo_bundle.h. Other loaders
// read their optional keys with the same functions.
#pragma once

#include <string>

#include "qo/qo_bundle.h"

namespace qo::manifest_key {

// Position of the key's value; throws "manifest: missing key <key>" when absent.
uint64_t findKey(const std::string& text, const char* key);

// A required string value, starting at the key's own value (no escapes interpreted); throws
// "manifest: bad string <key>" when the value is not a string.
std::string strField(const std::string& text, const char* key);

// strtod at the value position: the text after the number is ignored, a non-number reads 0.
double numberAt(const std::string& text, uint64_t pos);

// A required number under `key`, else `alias`. A value of exactly -1e300 counts as absent.
double numFieldEither(const std::string& text, const char* key, const char* alias);

// An optional number under `key`, else `alias`; false when both are absent.
bool optNumEither(const std::string& text, const char* key, const char* alias, double* out);

// An optional string value: false (out untouched) without a scalar string value; otherwise the
// text between the quotes is stored and the result says whether it is non-empty.
bool optStr(const std::string& text, const char* key, std::string& out);

// An optional member name (optStr), refused with an explanatory std::runtime_error when it is
// not a safe member name (the container's rule: absolute, leading backslash, ".." or NUL), so a
// manifest cannot point a loader outside its bundle.
bool optMember(const std::string& text, const char* key, std::string& out);

}  // namespace qo::manifest_key
