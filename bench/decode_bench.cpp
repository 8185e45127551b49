// Decoding messages: the one-pass decoder against the former tree decoder
// in the same run, for 8 MiB texts of several shapes and for the small
// frames the daemon relays, with the time and the peak of heap memory each
// takes.
//
//   quern-bench-decode [--mib N] [--runs N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "heap_count.hpp"
#include "quern_protocol/message.hpp"
#include "tree_decoder.hpp"

namespace {

using quern_protocol::message::Message;
using Decode = std::expected<Message, quern_protocol::message::DecodeError> (*)(std::string_view);

std::expected<Message, quern_protocol::message::DecodeError> one_pass(std::string_view t) {
  return Message::deserialize(t);
}

struct Measure {
  double ms = 0;
  std::size_t peak_bytes = 0;
  std::size_t allocations = 0;
  std::string result;
};

Measure measure(Decode decode, const std::string& text, int runs) {
  Measure best;
  best.ms = 1e300;
  for (int r = 0; r < runs; ++r) {
    std::size_t base = heap_count::in_use();
    heap_count::reset_peak();
    std::size_t allocs = heap_count::allocations();
    auto start = std::chrono::steady_clock::now();
    auto m = decode(text);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    best.peak_bytes = std::max(best.peak_bytes, heap_count::peak() - base);
    best.allocations = heap_count::allocations() - allocs;
    best.ms = std::min(best.ms, ms);
    std::string shown = m ? m->debug() : "error: " + m.error().text;
    best.result = shown.substr(0, 60);
  }
  return best;
}

std::string repeat(std::string_view piece, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + piece.size());
  while (out.size() < bytes) out += piece;
  return out;
}

struct Shape {
  const char* name;
  std::string text;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 8;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoul(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
  }
  const std::size_t n = mib << 20;
  // Element lists of about n bytes, without their brackets' last comma.
  auto list = [&](std::string_view element) {
    std::string body = repeat(std::string(element) + ",", n);
    body.pop_back();
    return body;
  };
  const std::vector<Shape> shapes = {
      {"hello with 4 M versions", R"({"type":"hello","versions":[)" + list("1") + "]}"},
      {"ignored string", R"({"type":"list","x":")" + repeat("a", n) + "\"}"},
      {"ignored numbers", R"({"type":"list","x":[)" + list("0") + "]}"},
      {"ignored objects before the tag", R"({"x":[)" + list(R"({"a":[1,{}]})") + R"(],"type":"list"})"},
      {"argv before the tag", R"({"argv":[)" + list(R"("a")") + R"(],"cols":1,"id":"s","rows":1,"type":"attach"})"},
      {"entries", R"({"type":"listed","entries":[)" + list(R"(["s",[1,2],null])") + "]}"},
      {"cut short", R"({"type":"list","x":[)" + list("[1,2]")},
  };

  std::printf("%-32s %12s %12s %8s %14s %14s %10s\n", "text", "one pass ms", "tree ms", "ratio",
              "one pass peak", "tree peak", "input");
  for (const Shape& s : shapes) {
    Measure a = measure(one_pass, s.text, runs);
    Measure b = measure(quern_tree::deserialize, s.text, runs);
    std::printf("%-32s %12.2f %12.2f %7.3fx %11.1f MiB %11.1f MiB %6.1f MiB\n", s.name, a.ms, b.ms,
                a.ms / b.ms, a.peak_bytes / 1048576.0, b.peak_bytes / 1048576.0,
                s.text.size() / 1048576.0);
    if (a.result != b.result) std::printf("  results differ: %s | %s\n", a.result.c_str(), b.result.c_str());
  }

  // The frames the daemon relays: decoded over and over.
  const std::string output = R"({"epoch":1,"id":"8d3f5a0e-1c2b-4d6e-9f7a-0b1c2d3e4f50","sequence":123456,"type":"output"})";
  const std::string write = R"({"id":"8d3f5a0e-1c2b-4d6e-9f7a-0b1c2d3e4f50","type":"write"})";
  for (const std::string* frame : {&output, &write}) {
    for (auto [name, decode] : {std::pair<const char*, Decode>{"one pass", one_pass},
                                {"tree", quern_tree::deserialize}}) {
      constexpr int kFrames = 200000;
      std::size_t allocs = heap_count::allocations();
      auto start = std::chrono::steady_clock::now();
      for (int k = 0; k < kFrames; ++k) {
        auto m = decode(*frame);
        if (!m) return 1;
      }
      double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
      std::printf("%-8s %-6s frame of %3zu bytes: %7.1f ns, %5.1f allocations per decode\n", name,
                  frame == &output ? "output" : "write", frame->size(), ns / kFrames,
                  double(heap_count::allocations() - allocs) / kFrames);
    }
  }
  return 0;
}
