// IMX v2 containers: a single-file bundle that is unpacked once into an unwrap directory.
//
// Layout (little-endian): "IMX\0", u16 version (2), u16 count, then `count` table entries
// { u16 name_len, name bytes, u64 offset, u64 size }; payloads are stored raw at their offsets.
#pragma once

#include <cstdint>
#include <string>

namespace qo::imx {

inline constexpr char kMagic[4] = {'I', 'M', 'X', '\0'};
inline constexpr uint16_t kVersion = 2;
inline constexpr const char* kMarkerSuffix = ".imx_unwrapped";

// A regular file that starts with the IMX magic, whatever its version.
bool hasMagic(const std::string& path);

// Empty, absolute, starting with a backslash, containing ".." or a NUL byte.
bool isUnsafeMemberName(const std::string& name);

// The unwrap directory of container `container` (QO_IMX_UNWRAP_ROOT or the container's own
// directory, then the base name without ".imx", with ".qobundle" appended unless present).
std::string unwrapDirFor(const std::string& container);

// Unpacks `container` into its unwrap directory unless a complete unwrap (directory + marker)
// is already there, and returns the directory. Serialised process-wide. Throws
// std::runtime_error naming the container, member or path at fault.
std::string unwrap(const std::string& container);

// Writes the files below `dir` as an IMX v2 container at `out` (members in sorted order,
// payloads 64-byte aligned). Written under out + ".part" and renamed into place. Throws on an
// unsafe or overlong name, more than 65535 members, or an I/O failure.
void pack(const std::string& dir, const std::string& out);

}  // namespace qo::imx
