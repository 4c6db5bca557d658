// C entry points of the teeth-borrow member carriage and loader.
#include <algorithm>
#include <array>
#include <stdexcept>
#include <cstring>
#include <new>
#include <string>

#include "qo/qo_tessera.h"
#include "tessera/qo_bundle_tessera.h"

struct qo_tessera_carriage {
  qo::TesseraCarriage carriage;
  std::string pathOut;
};

struct qo_tessera_members {
  qo::TesseraAttachInputs in;
  std::array<int32_t, qo::tessera::GeometryStamp::kFields> stamp{};
};

namespace {

void putErr(char* err, int len, const char* msg) {
  if (!err || len < 1) return;
  const size_t n = std::min(std::strlen(msg), size_t(len) - 1);
  std::memcpy(err, msg, n);
  err[n] = '\0';
}

template <class T>
const T* orNull(const std::vector<T>& v) {
  return v.empty() ? nullptr : v.data();
}

}  // namespace

extern "C" {

QO_API int qo_tessera_slot_count(void) { return qo::tesseraSlotCount(); }

QO_API const char* qo_tessera_slot_key(int index) {
  return index < 0 || index >= qo::kTesseraSlots ? nullptr : qo::tesseraSlotKeys()[index];
}

QO_API qo_tessera_carriage* qo_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  auto* c = new (std::nothrow) qo_tessera_carriage;
  if (!c) return nullptr;
  try {
    c->carriage = qo::tesseraCarriage(std::string(bundle_dir));
  } catch (...) {
    try {
      c->carriage = qo::TesseraCarriage();
      for (int i = 0; i < qo::kTesseraSlots; ++i) c->carriage.missing.push_back(qo::tesseraSlotKeys()[i]);
    } catch (...) {
      delete c;
      return nullptr;
    }
  }
  return c;
}

QO_API void qo_tessera_carriage_close(qo_tessera_carriage* c) { delete c; }

QO_API int qo_tessera_carriage_complete(const qo_tessera_carriage* c) { return c && c->carriage.complete ? 1 : 0; }

QO_API int qo_tessera_carriage_declared(const qo_tessera_carriage* c) { return c && c->carriage.declared ? 1 : 0; }

QO_API const char* qo_tessera_carriage_path(qo_tessera_carriage* c, const char* slot_key) {
  if (!c) return "";
  try {
    if (!slot_key) throw std::runtime_error("null slot key");
    c->pathOut = c->carriage.path(slot_key);
  } catch (...) {
    c->pathOut.clear();
  }
  return c->pathOut.c_str();
}

QO_API int qo_tessera_carriage_missing_count(const qo_tessera_carriage* c) {
  return c ? int(c->carriage.missing.size()) : 0;
}

QO_API const char* qo_tessera_carriage_missing(const qo_tessera_carriage* c, int index) {
  if (!c || index < 0 || size_t(index) >= c->carriage.missing.size()) return nullptr;
  return c->carriage.missing[size_t(index)].c_str();
}

QO_API qo_tessera_members* qo_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  if (!bundle_dir) {
    putErr(err, err_len, "qo_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  auto* m = new (std::nothrow) qo_tessera_members;
  if (!m) {
    putErr(err, err_len, "qo_tessera_members_open: out of memory");
    return nullptr;
  }
  try {
    m->in = qo::loadTesseraMembers(std::string(bundle_dir));
    m->stamp = m->in.stamp.values();
    return m;
  } catch (const std::bad_alloc&) {
    putErr(err, err_len, "qo_tessera_members_open: out of memory");
  } catch (const std::exception& e) {
    putErr(err, err_len, e.what());
  } catch (...) {
    putErr(err, err_len, "qo_tessera_members_open: unknown failure");
  }
  delete m;
  return nullptr;
}

QO_API void qo_tessera_members_close(qo_tessera_members* m) { delete m; }

QO_API int32_t qo_tessera_members_n_donors(const qo_tessera_members* m) { return m ? m->in.n_donors : 0; }
QO_API const double* qo_tessera_members_cent(const qo_tessera_members* m) { return m ? orNull(m->in.cent) : nullptr; }
QO_API const double* qo_tessera_members_c_canon(const qo_tessera_members* m) {
  return m ? m->in.c_canon.data() : nullptr;
}
QO_API const double* qo_tessera_members_aperture(const qo_tessera_members* m) {
  return m ? orNull(m->in.aperture) : nullptr;
}
QO_API const int32_t* qo_tessera_members_stamp(const qo_tessera_members* m) { return m ? m->stamp.data() : nullptr; }
QO_API const uint8_t* qo_tessera_members_head_pt(const qo_tessera_members* m) {
  return m ? orNull(m->in.head_pt) : nullptr;
}
QO_API uint32_t qo_tessera_members_head_pt_len(const qo_tessera_members* m) {
  return m ? uint32_t(m->in.head_pt.size()) : 0;
}

#define QO_TESSERA_TEXT(fn, field) \
  QO_API const char* fn(const qo_tessera_members* m) { return m ? m->in.field.c_str() : ""; }
QO_TESSERA_TEXT(qo_tessera_members_head_json, head_json)
QO_TESSERA_TEXT(qo_tessera_members_manifest_json, manifest_json)
QO_TESSERA_TEXT(qo_tessera_members_lip_template_json, lip_template_json)
QO_TESSERA_TEXT(qo_tessera_members_bank_track_path, bank_track_path)
QO_TESSERA_TEXT(qo_tessera_members_bank_container, bank_container)
QO_TESSERA_TEXT(qo_tessera_members_bank_codec, bank_codec)
QO_TESSERA_TEXT(qo_tessera_members_bank_pix_fmt, bank_pix_fmt)
QO_TESSERA_TEXT(qo_tessera_members_bank_packing, bank_packing)
#undef QO_TESSERA_TEXT

QO_API int32_t qo_tessera_members_band_w(const qo_tessera_members* m) { return m ? m->in.band_w : 0; }
QO_API int32_t qo_tessera_members_band_h(const qo_tessera_members* m) { return m ? m->in.band_h : 0; }
QO_API uint64_t qo_tessera_members_band_bytes(const qo_tessera_members* m) { return m ? m->in.bandBytes() : 0; }

QO_API int qo_tessera_members_reorder(const qo_tessera_members* m, const uint8_t* track_bands, uint8_t* donor_bands,
                                      char* err, int err_len) {
  if (!m || !track_bands || !donor_bands) {
    putErr(err, err_len, "qo_tessera_members_reorder: null argument");
    return 1;
  }
  try {
    qo::reorderTrackToDonor(m->in, track_bands, donor_bands);
    return 0;
  } catch (const std::exception& e) {
    putErr(err, err_len, e.what());
  } catch (...) {
    putErr(err, err_len, "qo_tessera_members_reorder: unknown failure");
  }
  return 1;
}

}  // extern "C"
