// Bundle location, IMX containers and the manifest (C++ interface of libqo_core).
//
//   std::string dir = qo::resolveBundlePath("avatars/anna");   // anna/, or unpacks anna.imx once
//   qo::Manifest m = qo::loadManifest(dir);
//   std::string model = m.modelPath("b1");                    // dir/model_b1.onnx (or legacy name)
//
// Failures throw std::runtime_error whose message names the path, member or key at fault.
// All functions are safe to call from any thread and from several processes at once: unpacking a
// container is serialised by one process-wide mutex and, across processes, by a lock file beside
// the unwrap directory; nothing else holds state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qo/qo_export.h"

namespace qo {

// Turns a host path into a bundle directory: an existing directory is returned as is; an IMX
// container (the path itself, or the path with ".imx" appended) is unpacked into its unwrap
// directory, once per version of the container (a marker records its real path, size and
// modification time), and that directory is returned. Anything else comes back unchanged, so the
// caller's later open reports the missing file. Throws only when unpacking fails.
QO_API std::string resolveBundlePath(const std::string& path);

// True when `path` names a regular file whose first 8 bytes are the IMX magic and version 2.
QO_API bool isImxV2File(const std::string& path);

// Path of member `name` inside bundle directory `dir`. Accepts the older layout's member names:
// when `name` has a legacy name, the current name wins if it can be opened, then the legacy one;
// when neither exists the current name's path is returned. Never throws.
QO_API std::string resolveMember(const std::string& dir, const std::string& name);

// Sharpening of the pasted crop.
struct Unsharp {
  float amount = 1.3f;  // unsharp-mask strength
  float sigma = 2.0f;   // Gaussian sigma in pixels
  int32_t ksize = 13;   // Gaussian kernel size in pixels
};

// The parsed manifest.json of a bundle.
struct QO_API Manifest {
  std::string dir;       // the resolved bundle directory
  std::string agent;     // identity name
  int32_t NT = 0;        // source frames of the identity
  int32_t H = 0;         // full-frame height
  int32_t W = 0;         // full-frame width
  int32_t M_src_w = 0;   // canvas on which the paste transforms were authored
  int32_t M_src_h = 0;
  int32_t crop = 512;    // side of the square face crop
  Unsharp unsharp;
  int32_t frames = 0;    // frames of the keypoint drive tables

  // Resolved path of the director member "model_" + key + ".onnx".
  std::string modelPath(const std::string& key) const;
};

// Resolves `bundle` and reads its manifest.json. Throws std::runtime_error on a missing or
// ambiguous key, a bad value, a wrong "format" or a missing paste-space stamp.
QO_API Manifest loadManifest(const std::string& bundle);

// The manifest's key scanner: finds a key's value by position in the raw text, stepping over
// strings whole and tracking nesting depth, so a nested block cannot silently shadow a key.
namespace manifest_key {

struct KeyHit {
  uint64_t pos;    // byte offset of the value's first character
  int32_t depth;   // 1 = directly inside the outermost object
  bool scalar;     // the value is neither an object nor an array
};

inline constexpr uint64_t kNotFound = ~uint64_t{0};

// Every occurrence of `key` as an object key, in text order.
QO_API std::vector<KeyHit> keyHits(const std::string& text, const char* key);

// Position of the key's one scalar value (a top-level one wins over nested ones), or kNotFound.
// Throws the AMBIGUOUS error when several scalar occurrences compete.
QO_API uint64_t scalarValuePos(const std::string& text, const char* key);

}  // namespace manifest_key
}  // namespace qo
