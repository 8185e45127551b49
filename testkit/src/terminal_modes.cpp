// The terminal-mode tracker: a small escape-sequence reader over the output.
#include "quern_testkit/terminal_modes.hpp"

#include <algorithm>
#include <utility>

namespace quern_testkit {

std::string TerminalModes::reset() const {
  std::string out;
  if (attributes_) out += "\x1b[m";
  for (int mode : on_) {
    if (mode != kHiddenCursor && !is_screen(mode)) out += "\x1b[?" + std::to_string(mode) + "l";
  }
  if (keypad_) out += "\x1b>";
  for (int mode : {1049, 1047, 47}) {
    if (on_.contains(mode)) out += "\x1b[?" + std::to_string(mode) + "l";
  }
  if (on_.contains(kHiddenCursor)) out += "\x1b[?25h";
  return out;
}

std::string TerminalModes::replay() const {
  std::string out;
  for (int mode : {47, 1047, 1049}) {
    if (on_.contains(mode)) out += "\x1b[?" + std::to_string(mode) + "h";
  }
  for (int mode : on_) {
    if (mode != kHiddenCursor && !is_screen(mode)) out += "\x1b[?" + std::to_string(mode) + "h";
  }
  if (keypad_) out += "\x1b=";
  if (on_.contains(kHiddenCursor)) out += "\x1b[?25l";
  return out;
}

bool TerminalModes::tracked(int mode) {
  switch (mode) {
    case 1:                                                          // application cursor keys
    case 9: case 1000: case 1001: case 1002: case 1003:              // mouse reporting
    case 1005: case 1006: case 1015: case 1016:                      // mouse encodings
    case 1004: case 2004:                                            // focus reports, bracketed paste
    case 47: case 1047: case 1049:                                   // the alternate screen
      return true;
    default:
      return false;
  }
}

void TerminalModes::step(unsigned char ch) {
  switch (state_) {
    case State::Ground:
      if (ch == 0x1b) {
        state_ = State::Escape;
      } else if (ch == '\n') {
        line_start_ = true;
      } else if (ch >= 0x20 && ch != 0x7f) {
        line_start_ = false;
      }
      return;
    case State::Escape:
      state_ = State::Ground;
      if (ch == '[') {
        state_ = State::Csi;
        private_ = false;
        params_.clear();
        param_ = -1;
      } else if (ch == '=') {
        keypad_ = true;
      } else if (ch == '>') {
        keypad_ = false;
      } else if (ch == 'M' || ch == '8') {
        placed_ = true;  // reverse index, cursor restored
      }
      return;
    case State::Csi:
      if (ch == '?' && params_.empty() && param_ < 0 && !private_) {
        private_ = true;
      } else if (ch >= '0' && ch <= '9') {
        param_ = std::min((param_ < 0 ? 0 : param_) * 10 + (ch - '0'), 99999);
      } else if (ch == ';') {
        params_.push_back(param_);
        param_ = -1;
      } else if (ch >= 0x40 && ch <= 0x7e) {
        params_.push_back(param_);
        finish(static_cast<char>(ch));
        state_ = State::Ground;
      } else if (ch == 0x1b) {
        state_ = State::Escape;  // a sequence cut short
      } else if (ch < 0x20 || ch > 0x3f) {
        state_ = State::Ground;  // not a sequence this tracker follows
      }
      return;
  }
}

void TerminalModes::finish(char final) {
  if (!private_) {
    if (final == 'm') attributes_ = !(params_.size() == 1 && params_[0] <= 0);
    // Cursor position, up, to a row, to a previous line.
    if (final == 'H' || final == 'f' || final == 'A' || final == 'd' || final == 'F') placed_ = true;
    return;
  }
  if (final != 'h' && final != 'l') return;
  bool set = final == 'h';
  for (int mode : params_) {
    if (mode == 25) {
      mark(kHiddenCursor, !set);
    } else if (tracked(mode)) {
      bool was_alternate = alternate();
      if (is_screen(mode) && set && !was_alternate) {
        main_line_start_ = line_start_;
        main_placed_ = std::exchange(placed_, false);
      }
      mark(mode, set);
      if (is_screen(mode) && was_alternate && !alternate()) {
        line_start_ = main_line_start_;
        placed_ = main_placed_;
      }
    }
  }
}

void TerminalModes::mark(int mode, bool on) {
  if (on) {
    on_.insert(mode);
  } else {
    on_.erase(mode);
  }
}

}  // namespace quern_testkit
