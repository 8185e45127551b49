// quern-client [--socket PATH] list | attach ID [-- ARGV...] | close ID
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

std::optional<quern_testkit::Client> connect_and_greet(const std::filesystem::path& socket) {
  auto client = quern_testkit::Client::connect(socket);
  if (!client) {
    complain("cannot connect to " + socket.string() + ": " + client.error().text);
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
    "       quern-client [--socket PATH] attach ID [-- ARGV...]\n"
    "       quern-client [--socket PATH] close ID\n"
    "attach: Ctrl-\\ detaches\n";

int usage(std::string_view why) {
  std::fprintf(stderr, "quern-client: %.*s\n%.*s", static_cast<int>(why.size()), why.data(),
               static_cast<int>(kUsage.size()), kUsage.data());
  return 2;
}

int list(quern_testkit::Client& client) {
  if (auto sent = client.send(msg::List{}); !sent) {
    complain("list: " + sent.error().text);
    return 1;
  }
  while (true) {
    // The daemon asks every shim in turn, up to 2 s each.
    auto reply = client.recv(60s);
    if (!reply) {
      complain("list: " + reply.error().text);
      return 1;
    }
    if (const auto* e = reply->message.get<msg::Error>()) {
      complain(describe(*e));
      return 1;
    }
    if (const auto* listed = reply->message.get<msg::Listed>()) {
      for (const auto& entry : listed->entries) {
        std::printf("%s\t%llu/%llu\t%s\n", entry.id.text.c_str(),
                    static_cast<unsigned long long>(entry.cursor.epoch),
                    static_cast<unsigned long long>(entry.cursor.sequence),
                    entry.exited ? exit_text(*entry.exited).c_str() : "running");
      }
      return 0;
    }
  }
}

// A close that finds the session is not answered; only a failure is.
int close(quern_testkit::Client& client, const std::string& id) {
  if (auto sent = client.send(msg::Close{msg::PtyId{id}}); !sent) {
    complain("close: " + sent.error().text);
    return 1;
  }
  auto deadline = std::chrono::steady_clock::now() + 500ms;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto reply = client.recv(std::max(left, 0ms));
    if (!reply) {
      if (reply.error().kind == quern_testkit::ClientError::Kind::Timeout) return 0;
      complain("close: " + reply.error().text);
      return 1;
    }
    if (const auto* e = reply->message.get<msg::Error>()) {
      complain(describe(*e));
      return 1;
    }
  }
}

struct Args {
  std::optional<std::string> socket;
  std::vector<std::string> words;  // the command and its operands
  std::optional<std::vector<std::string>> argv;  // after "--"
};

std::optional<Args> parse(int argc, char** argv, std::string& why) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") {
      a.argv.emplace(argv + i + 1, argv + argc);
      break;
    }
    if (arg == "--socket") {
      if (i + 1 == argc) {
        why = "--socket needs a path";
        return std::nullopt;
      }
      a.socket = argv[++i];
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

  auto socket = args->socket ? std::filesystem::path(*args->socket)
                             : quern_session::paths::Runtime::from_env().daemon_socket();
  auto client = connect_and_greet(socket);
  if (!client) return 1;
  if (command == "list") return list(*client);
  if (command == "close") return close(*client, args->words[1]);
  return attach(*client, args->words[1], args->argv.value_or(std::vector<std::string>{}));
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
