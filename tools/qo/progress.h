// Progress of a long command on a stream (standard error): on a terminal a live line rewritten in
// place with carriage returns; in a log only the stage lines, one line each, so that a log of a
// whole run stays a few dozen lines.
#pragma once

#include <cstdio>
#include <string>

namespace qo::tool {

class Progress {
 public:
  // Live when `out` is a terminal.
  explicit Progress(FILE* out);
  Progress(FILE* out, bool live);
  ~Progress();  // ends a live line
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool isLive() const { return live_; }
  // Rewrites the live line (on a terminal, and only when its text changed); nothing in a log.
  void live(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A line of its own, on a terminal (clearing the live line first) and in a log alike.
  void stage(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Ends the live line with a newline, when one is showing.
  void end();

 private:
  FILE* out_;
  bool live_;
  std::string shown_;  // the live line on screen, "" when none
  size_t width_ = 0;   // columns the live line covers
};

}  // namespace qo::tool
