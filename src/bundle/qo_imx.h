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

// Ending in ".part", the suffix of files being unpacked.
bool isReservedMemberName(const std::string& name);
// The refusal of such a name, "<where>: refusing member name '<name>' - ...".
std::string reservedNameRefusal(const std::string& where, const std::string& name);

// The unwrap directory of container `container`: in the container's own directory, its base
// name without ".imx", with ".qobundle" appended unless present. Under QO_IMX_UNWRAP_ROOT, where
// containers of many directories meet, the name also carries "-" and a 16-digit hash of the
// container's real path before ".qobundle".
std::string unwrapDirFor(const std::string& container);

// Unpacks `container` into its unwrap directory unless a complete unwrap of this very file is
// already there (the directory and a marker recording the container's real path, size and
// modification time), and returns the directory. Serialised by a process-wide mutex and, across
// processes, by an flock on the directory's path + ".imx_lock". Throws std::runtime_error naming
// the container, member or path at fault; duplicate names and names ending in ".part" are
// refused like unsafe ones, before anything is written.
std::string unwrap(const std::string& container);

// Writes the files below `dir` as an IMX v2 container at `out` (members in sorted order,
// payloads 64-byte aligned). Written under out + ".part" and renamed into place. Throws on an
// unsafe, reserved or overlong name, more than 65535 members, or an I/O failure.
void pack(const std::string& dir, const std::string& out);

}  // namespace qo::imx
