#include "quern_protocol/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

namespace quern_protocol::json {
namespace {

void write_string(std::string_view s, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

template <class T>
void write_number(T n, std::string& out) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, end);
}

}  // namespace

void write_compact(const boost::json::value& v, std::string& out) {
  switch (v.kind()) {
    case boost::json::kind::null: out += "null"; break;
    case boost::json::kind::bool_: out += v.get_bool() ? "true" : "false"; break;
    case boost::json::kind::int64: write_number(v.get_int64(), out); break;
    case boost::json::kind::uint64: write_number(v.get_uint64(), out); break;
    // Messages hold no floating-point fields; written the library's way for completeness.
    case boost::json::kind::double_: out += boost::json::serialize(v); break;
    case boost::json::kind::string: write_string(v.get_string(), out); break;
    case boost::json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : v.get_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_compact(item, out);
      }
      out.push_back(']');
      break;
    }
    case boost::json::kind::object: {
      const auto& obj = v.get_object();
      std::vector<const boost::json::key_value_pair*> members;
      members.reserve(obj.size());
      for (const auto& kv : obj) members.push_back(&kv);
      std::sort(members.begin(), members.end(), [](auto* a, auto* b) {
        return std::string_view(a->key()) < std::string_view(b->key());
      });
      out.push_back('{');
      bool first = true;
      for (auto* kv : members) {
        if (!first) out.push_back(',');
        first = false;
        write_string(kv->key(), out);
        out.push_back(':');
        write_compact(kv->value(), out);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string write_compact(const boost::json::value& v) {
  std::string out;
  out.reserve(128);
  write_compact(v, out);
  return out;
}

}  // namespace quern_protocol::json
