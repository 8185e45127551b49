// quern-client [--socket PATH] list | attach [-e CHAR | -E] [--no-tty] ID [-- ARGV...] | close ID
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "cli.hpp"
#include "quern_session/paths.hpp"

namespace quern_cli {

namespace msg = quern_protocol::message;
using namespace std::chrono_literals;

void complain(std::string_view text) {
  std::fprintf(stderr, "quern-client: %.*s\n", static_cast<int>(text.size()), text.data());
}

std::string describe(const msg::Error& e) {
  return e.id ? e.id->text + ": " + e.message : e.message;
}

std::string exit_text(const msg::Exit& e) {
  if (e.code) return "exited: code " + std::to_string(*e.code);
  if (e.signal) return "exited: signal " + std::to_string(*e.signal);
  return "exited";
}

namespace {

// How to start the daemon: the quernd of the build this client belongs to
// (build/quernd/quernd beside build/testkit/quern-client), else by name.
std::string daemon_command() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto daemon = self.parent_path().parent_path() / "quernd" / "quernd";
    if (::access(daemon.c_str(), X_OK) == 0) return daemon.string();
  }
  return "quernd";
}

}  // namespace

std::optional<quern_testkit::Client> connect_and_greet(const std::filesystem::path& socket) {
  auto client = quern_testkit::Client::connect(socket);
  if (!client) {
    const auto& e = client.error();
    if (e.err == ENOENT || e.err == ECONNREFUSED) {
      complain("no daemon at " + socket.string() + ": start it with " + daemon_command() +
               " (or ./scripts/run.sh in the repository), then try again");
    } else {
      complain("cannot connect to " + socket.string() + ": " + e.text);
    }
    return std::nullopt;
  }
  if (auto sent = client->send(msg::Hello{{1}}); !sent) {
    complain("hello: " + sent.error().text);
    return std::nullopt;
  }
  auto reply = client->recv(5s);
  if (!reply) {
    complain("no welcome: " + reply.error().text);
    return std::nullopt;
  }
  if (const auto* e = reply->message.get<msg::Error>()) {
    complain(describe(*e));
    return std::nullopt;
  }
  if (!reply->message.is<msg::Welcome>()) {
    complain("expected welcome, got " + reply->message.debug());
    return std::nullopt;
  }
  return std::move(*client);
}

namespace {

constexpr std::string_view kUsage =
    "usage: quern-client [--socket PATH] list\n"
    "       quern-client [--socket PATH] attach [-e CHAR | -E] [--no-tty] ID [-- ARGV...]\n"
    "       quern-client [--socket PATH] close ID\n"
    "attach: Ctrl-\\ detaches; -e ^X or -e X detaches on another key, -E on none;\n"
    "        --no-tty attaches with standard input that is not a terminal\n";

int usage(std::string_view why) {
  std::fprintf(stderr, "quern-client: %.*s\n%.*s", static_cast<int>(why.size()), why.data(),
               static_cast<int>(kUsage.size()), kUsage.data());
  return 2;
}

// A session id as one cell of the table: control characters (an id may
// hold any) written as escapes, so that a row stays one line.
std::string printable(const std::string& id) {
  if (id.empty()) return "\"\"";
  std::string out;
  for (unsigned char ch : id) {
    if (ch < 0x20 || ch == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", ch);
      out += esc;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

// Columns on a terminal, counting each UTF-8 character as one.
std::size_t columns(const std::string& text) {
  return static_cast<std::size_t>(std::ranges::count_if(text, [](char ch) { return (ch & 0xc0) != 0x80; }));
}

// The sessions as a table, sorted by id, or a line saying there are none.
void print_sessions(std::vector<msg::PtyEntry> entries) {
  if (entries.empty()) {
    std::printf("no sessions\n");
    return;
  }
  std::ranges::sort(entries, {}, [](const msg::PtyEntry& e) { return e.id.text; });
  std::vector<std::pair<std::string, std::string>> rows = {{"ID", "STATE"}};
  for (const auto& e : entries) rows.emplace_back(printable(e.id.text), e.exited ? exit_text(*e.exited) : "running");
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, columns(row.first));
  for (const auto& [id, state] : rows) {
    std::printf("%s%*s  %s\n", id.c_str(), static_cast<int>(width - columns(id)), "", state.c_str());
  }
}

// Asks for the list and waits for it; a failure is complained of, the words
// of a lost connection after `what`.
std::optional<std::vector<msg::PtyEntry>> ask_list(quern_testkit::Client& client, std::string_view what) {
  if (auto sent = client.send(msg::List{}); !sent) {
    complain(std::string(what) + ": " + sent.error().text);
    return std::nullopt;
  }
  while (true) {
    // The daemon asks every shim in turn, up to 2 s each.
    auto reply = client.recv(60s);
    if (!reply) {
      complain(std::string(what) + ": " + reply.error().text);
      return std::nullopt;
    }
    if (const auto* e = reply->message.get<msg::Error>()) {
      complain(describe(*e));
      return std::nullopt;
    }
    if (auto* listed = reply->message.get<msg::Listed>()) return std::move(listed->entries);
  }
}

int list(quern_testkit::Client& client) {
  auto entries = ask_list(client, "list");
  if (!entries) return 1;
  print_sessions(std::move(*entries));
  return 0;
}

// How long close waits for the session to leave the list, and how often it looks.
constexpr auto kCloseLimit = 30s;
constexpr auto kClosePoll = 100ms;

// A close that finds the session is not answered; only a failure is, before
// the answer to the list asked right after it. The client then waits until
// the session has left the list (its processes ended and its shim gone), so
// that a list after the close does not show it.
int close(quern_testkit::Client& client, const std::string& id) {
  if (auto sent = client.send(msg::Close{msg::PtyId{id}}); !sent) {
    complain("close: " + sent.error().text);
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + kCloseLimit;
  while (true) {
    auto entries = ask_list(client, "close");
    if (!entries) return 1;
    if (std::ranges::none_of(*entries, [&](const msg::PtyEntry& e) { return e.id.text == id; })) return 0;
    if (std::chrono::steady_clock::now() >= deadline) {
      complain(id + ": still listed " + std::to_string(kCloseLimit.count()) + " s after the close");
      return 1;
    }
    std::this_thread::sleep_for(kClosePoll);
  }
}

// Whether the daemon lists `id` as a session whose program runs. A failed
// list counts as no: the attach that follows meets the same failure.
bool already_runs(quern_testkit::Client& client, const std::string& id) {
  if (!client.send(msg::List{})) return false;
  while (true) {
    auto reply = client.recv(60s);  // as for `list`
    if (!reply || reply->message.is<msg::Error>()) return false;
    if (const auto* listed = reply->message.get<msg::Listed>()) {
      return std::ranges::any_of(listed->entries,
                                 [&](const msg::PtyEntry& e) { return e.id.text == id && !e.exited; });
    }
  }
}

constexpr unsigned char kDefaultDetachKey = 0x1c;  // Ctrl-backslash

// The detach key as written on the command line: ^X for a control key (^?
// for DEL), or one ASCII character standing for itself.
std::optional<unsigned char> parse_detach_key(std::string_view text) {
  if (text.size() == 1 && static_cast<unsigned char>(text[0]) < 0x80) return static_cast<unsigned char>(text[0]);
  if (text.size() != 2 || text[0] != '^') return std::nullopt;
  unsigned char ch = static_cast<unsigned char>(text[1]);
  if (ch == '?') return 0x7f;
  if (ch >= 'a' && ch <= 'z') ch = static_cast<unsigned char>(ch - 'a' + 'A');
  if (ch < '@' || ch > '_') return std::nullopt;
  return static_cast<unsigned char>(ch & 0x1f);
}

// What is wrong with a session id given on the command line, if anything:
// the daemon takes no empty id, and none that cannot travel as one.
std::optional<std::string> id_fault(const std::string& id) {
  if (id.empty()) return "the session id is empty";
  auto fault = msg::pty_id_fault(id);
  if (!fault) return std::nullopt;
  if (*fault == msg::PtyIdFault::not_utf8) return "the session id is not UTF-8";
  return "the session id is " + std::to_string(id.size()) + " bytes long; at most " +
         std::to_string(msg::PTY_ID_MAX_BYTES) + " are allowed";
}

struct Args {
  std::optional<std::string> socket;
  std::vector<std::string> words;  // the command and its operands
  std::optional<std::vector<std::string>> argv;  // after "--"
  std::optional<std::string> detach_key;  // -e, as given
  bool no_detach_key = false;             // -E
  bool no_tty = false;                    // --no-tty
  bool attach_options = false;            // any of the three
};

std::optional<Args> parse(int argc, char** argv, std::string& why) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") {
      a.argv.emplace(argv + i + 1, argv + argc);
      break;
    }
    if (arg == "--socket" || arg == "-e") {
      if (i + 1 == argc) {
        why = arg == "-e" ? "-e needs a character" : "--socket needs a path";
        return std::nullopt;
      }
      (arg == "-e" ? a.detach_key : a.socket) = argv[++i];
      a.attach_options |= arg == "-e";
    } else if (arg == "-E") {
      a.no_detach_key = a.attach_options = true;
    } else if (arg == "--no-tty") {
      a.no_tty = a.attach_options = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      why = "unknown option " + std::string(arg);
      return std::nullopt;
    } else {
      a.words.emplace_back(arg);
    }
  }
  return a;
}

int run(int argc, char** argv) {
  std::string why;
  auto args = parse(argc, argv, why);
  if (!args) return usage(why);
  if (args->words.empty()) return usage("missing command");
  const std::string& command = args->words[0];
  std::size_t operands = command == "list" ? 0 : 1;
  if (command != "list" && command != "attach" && command != "close") return usage("unknown command " + command);
  if (args->words.size() != operands + 1) return usage(command + (operands ? " takes one session id" : " takes no operands"));
  if (args->argv && command != "attach") return usage("only attach takes a command after --");
  if (args->attach_options && command != "attach") return usage("only attach takes -e, -E and --no-tty");
  if (args->detach_key && args->no_detach_key) return usage("-e and -E exclude each other");

  std::optional<unsigned char> detach_key = kDefaultDetachKey;
  if (args->no_detach_key) detach_key.reset();
  if (args->detach_key) {
    detach_key = parse_detach_key(*args->detach_key);
    if (!detach_key) {
      complain("-e " + printable(*args->detach_key) +
               ": the detach key is one character, or ^ and a letter for a control key (^A to ^Z, also ^@ ^[ ^\\ "
               "^] ^^ ^_ ^?), such as -e '^]'");
      return 1;
    }
  }
  if (command != "list") {
    if (auto fault = id_fault(args->words[1])) {
      complain(*fault);
      return 1;
    }
  }

  // From inside a session, attaching to that same session would feed its
  // output back into its input without end.
  if (const char* inside = std::getenv("QUERN_SESSION"); command == "attach" && inside && args->words[1] == inside) {
    complain(args->words[1] + ": this terminal is that session (QUERN_SESSION); attaching to it from inside would "
             "feed its output back into itself: attach from another terminal");
    return 1;
  }
  // Without a terminal there is no key to detach with and no screen to show
  // the session on; a pipe or file is taken only when asked for.
  if (command == "attach" && !args->no_tty && !::isatty(STDIN_FILENO)) {
    complain("attach: standard input is not a terminal (--no-tty attaches with it all the same)");
    return 1;
  }

  auto socket = args->socket ? std::filesystem::path(*args->socket)
                             : quern_session::paths::Runtime::from_env().daemon_socket();
  auto client = connect_and_greet(socket);
  if (!client) return 1;
  if (command == "list") return list(*client);
  if (command == "close") return close(*client, args->words[1]);
  const auto& id = args->words[1];
  auto command_argv = args->argv.value_or(std::vector<std::string>{});
  // A session that runs keeps its program: the command is not used then.
  if (!command_argv.empty() && already_runs(*client, id)) {
    complain(printable(id) + " already runs: the command after -- is ignored");
  }
  return attach(*client, id, command_argv, detach_key);
}

}  // namespace
}  // namespace quern_cli

int main(int argc, char** argv) {
  try {
    return quern_cli::run(argc, argv);
  } catch (const std::exception& e) {
    quern_cli::complain(e.what());
    return 1;
  }
}
