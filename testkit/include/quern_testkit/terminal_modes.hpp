// Follows the terminal modes that a program's output turns on and off: the
// terminal client undoes them when it leaves the terminal, and the shim
// turns them on again in the terminal of each viewer that joins.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quern_testkit {

// The terminal modes that a session's output turns on and that would stay
// with the user's terminal after the session has left it: the alternate
// screen, mouse reporting, application cursor keys and keypad, bracketed
// paste, focus reports, a hidden cursor, colours. It follows the output's
// private mode sets and resets (CSI ? Pn h, CSI ? Pn l), ESC = and ESC >,
// also across frames, and knows whether the cursor stands at a line's start
// and whether the output has placed it anywhere else.
class TerminalModes {
 public:
  void see(std::string_view bytes) {
    for (unsigned char ch : bytes) step(ch);
  }

  // What puts the terminal back: each mode that is on turned off, the
  // alternate screen left last (its cursor comes back), the cursor shown.
  std::string reset() const;
  // What turns on, in a terminal that has none of them, the modes that are on
  // now (colours aside): the alternate screen first, then the others, the
  // cursor hidden last.
  std::string replay() const;
  // A line was written to the terminal besides the output.
  void line_ended() { line_start_ = true; }
  // Whether the cursor stands at the start of a line once reset() is written.
  bool at_line_start() const { return alternate() ? main_line_start_ : line_start_; }
  // Whether the output has moved the cursor up or to a place of its choosing
  // on the screen shown once reset() is written, so that what it drew may
  // stand below the cursor.
  bool placed() const { return alternate() ? main_placed_ : placed_; }

 private:
  static constexpr int kHiddenCursor = -25;  // "on" when CSI ? 25 l hid the cursor
  static bool is_screen(int mode) { return mode == 1049 || mode == 1047 || mode == 47; }
  // The private modes whose set state is worth undoing.
  static bool tracked(int mode);
  bool alternate() const { return on_.contains(1049) || on_.contains(1047) || on_.contains(47); }

  void step(unsigned char ch);
  void finish(char final);
  void mark(int mode, bool on);

  enum class State { Ground, Escape, Csi };
  State state_ = State::Ground;
  bool private_ = false;
  std::vector<int> params_;
  int param_ = -1;  // the parameter being read; -1 while it has no digit

  std::set<int> on_;
  bool keypad_ = false;
  bool attributes_ = false;
  bool line_start_ = true;       // on the screen shown now
  bool main_line_start_ = true;  // on the main screen, kept while the alternate one is shown
  bool placed_ = false;          // on the screen shown now
  bool main_placed_ = false;     // on the main screen, kept while the alternate one is shown
};

}  // namespace quern_testkit
