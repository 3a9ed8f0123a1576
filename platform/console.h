// The console: plain lines out, single characters in, and the stop signals.
//
// Lines go to standard output whole (one write each, serialised), so the
// lines of different threads never interleave.
//
// Console reads standard input one character at a time and also ends a read
// when SIGINT or SIGTERM arrives, so both stop a program the way typing q
// does. Open it before any other thread starts: it blocks the two signals in
// the calling thread, which every later thread inherits, and takes them
// through a signalfd instead. A program that reloads its configuration on
// SIGHUP asks for it too: the console then raises reloadEvent() and reads on.
#pragma once

#include <memory>
#include <string_view>

#include "platform/event.h"
#include "platform/unique_fd.h"

namespace platform {

void writeLine(std::string_view text);
// A line that carries text from outside (what a client sent): written as
// common::cleanUtf8 makes it, so that no byte of it can steer the
// operator's terminal. A clean line comes out as writeLine writes it.
void writeUntrustedLine(std::string_view text);

class Console {
 public:
  struct Input {
    bool stop;  // a stop signal arrived, or interrupt() was called
    char character;
  };

  // inputFd is read but not owned. With `takeHangup`, SIGHUP raises
  // reloadEvent() instead of ending the process.
  static std::shared_ptr<Console> open(int inputFd = 0, bool takeHangup = false);

  // Blocks for the next character. At the end of the input it keeps waiting
  // (without spinning) until a stop signal or interrupt().
  Input read();
  void interrupt() { wake_.set(); }
  // Set by each SIGHUP that read() takes (automatic reset).
  Event& reloadEvent() { return reload_; }

 private:
  Console(int inputFd, UniqueFd signals);

  int inputFd_;
  bool inputEnded_ = false;
  UniqueFd signals_;
  Event wake_{Event::Reset::Manual};
  Event reload_{Event::Reset::Auto};
};

}  // namespace platform
