#include "tools/qo/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>

namespace qo::tool {
namespace {

std::string formatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  std::string s(size_t(n > 0 ? n : 0), '\0');
  std::vsnprintf(s.data(), s.size() + 1, format, again);
  va_end(again);
  return s;
}

}  // namespace

Progress::Progress(FILE* out) : Progress(out, ::isatty(::fileno(out)) == 1) {}

Progress::Progress(FILE* out, bool live) : out_(out), live_(live) {}

Progress::~Progress() { end(); }

void Progress::live(const char* format, ...) {
  if (!live_) return;
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  if (text == shown_) return;
  // Spaces cover what is left of a longer previous line.
  std::fprintf(out_, "\r%s%*s", text.c_str(), int(width_ > text.size() ? width_ - text.size() : 0), "");
  std::fflush(out_);
  shown_ = text;
  width_ = std::max(width_, text.size());
}

void Progress::stage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  if (!shown_.empty()) std::fprintf(out_, "\r%*s\r", int(width_), "");
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
  shown_.clear();
  width_ = 0;
}

void Progress::end() {
  if (shown_.empty()) return;
  std::fprintf(out_, "\n");
  std::fflush(out_);
  shown_.clear();
  width_ = 0;
}

}  // namespace qo::tool
