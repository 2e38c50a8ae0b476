#include "platform/config/JsonConfig.h"

#include "platform/vorn/KniIntfMapperSm.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace Config {

FieldError::FieldError(const std::string& file, const std::string& field, const std::string& reason)
    : std::runtime_error(file + ": " + field + ": " + reason), file_(file), field_(field), reason_(reason) {}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

std::string shown(const Json& j) {
  std::string s = j.dump();
  return s.size() > 40 ? s.substr(0, 37) + "..." : s;
}

const char* kindOf(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "a list";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::binary: return "binary data";
    case Json::value_t::discarded: return "nothing";
    default: return "a number";
  }
}

std::string readFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw FieldError(path, "(file)", "is a directory, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FieldError(path, "(file)", "cannot be read: " + std::string(std::strerror(errno)));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw FieldError(path, "(file)", "cannot be read");
  return text.str();
}

Json parseText(const std::string& text, const std::string& file) {
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    std::string what = e.what();
    if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
    // The parser quotes what it last read, which may be any bytes.
    for (char& c : what) {
      if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    }
    throw FieldError(file, "(document)", "not valid JSON: " + what);
  }
}

// ---------------------------------------------------------------------------

void Reader::fail(const std::string& field, const std::string& reason) const { throw FieldError(file_, field, reason); }

void Reader::object(const Json& j, const std::string& path, const std::vector<std::string>& allowed) const {
  if (!j.is_object()) {
    fail(path.empty() ? "(top level)" : path, fmt::format("expected an object, found {} {}", kindOf(j), shown(j)));
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end()) {
      fail(sub(path, it.key()), fmt::format("unknown field; expected one of: {}", joined(allowed)));
    }
  }
}

std::string Reader::item(const std::string& path, size_t i) { return fmt::format("{}[{}]", path, i); }

const Json& Reader::required(const Json& j, const std::string& path, const std::string& key) const {
  auto it = j.find(key);
  if (it == j.end()) fail(sub(path, key), "missing");
  return *it;
}

const Json* Reader::optional(const Json& j, const std::string& key) {
  auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

double Reader::number(const Json& j, const std::string& path, double min, double max) const {
  if (!j.is_number()) fail(path, fmt::format("expected a number, found {} {}", kindOf(j), shown(j)));
  const double v = j.get<double>();
  if (!std::isfinite(v) || v < min || v > max) fail(path, fmt::format("{} is outside {}..{}", shown(j), min, max));
  return v;
}

int64_t Reader::integer(const Json& j, const std::string& path, int64_t min, int64_t max) const {
  if (!j.is_number()) fail(path, fmt::format("expected a whole number, found {} {}", kindOf(j), shown(j)));
  const auto outside = [&] { fail(path, fmt::format("{} is outside {}..{}", shown(j), min, max)); };
  int64_t v = 0;
  if (j.is_number_unsigned()) {
    const uint64_t u = j.get<uint64_t>();
    if (u > static_cast<uint64_t>(max)) outside();
    v = static_cast<int64_t>(u);
  } else if (j.is_number_integer()) {
    v = j.get<int64_t>();
  } else {
    const double d = j.get<double>();
    if (!std::isfinite(d) || std::floor(d) != d) fail(path, fmt::format("expected a whole number, found {}", shown(j)));
    if (d < static_cast<double>(min) || d > static_cast<double>(max)) outside();
    v = static_cast<int64_t>(d);
  }
  if (v < min || v > max) outside();
  return v;
}

std::string Reader::string(const Json& j, const std::string& path) const {
  if (!j.is_string()) fail(path, fmt::format("expected a string, found {} {}", kindOf(j), shown(j)));
  return j.get<std::string>();
}

bool Reader::boolean(const Json& j, const std::string& path) const {
  if (!j.is_boolean()) fail(path, fmt::format("expected true or false, found {} {}", kindOf(j), shown(j)));
  return j.get<bool>();
}

const Json& Reader::list(const Json& j, const std::string& path) const {
  if (!j.is_array()) fail(path, fmt::format("expected a list, found {} {}", kindOf(j), shown(j)));
  return j;
}

Kivo::IntfId Reader::ethernet(const Json& j, const std::string& path) const {
  const std::string name = string(j, path);
  checkName(name, path);
  const Kivo::IntfId intf(name);
  if (intf.typeCode() != Kivo::IntfId::ethernet || Vorn::KniIntfMapperSm::ruleDeviceName(intf).empty()) {
    fail(path, fmt::format("\"{}\" is not an Ethernet interface: Ethernet<N> or Ethernet<N>/<M>, numbers of 1 to 6 "
                           "digits without a leading 0",
                           name));
  }
  return intf;
}

Kivo::IntfId Reader::channel(const Json& j, const std::string& path) const {
  const std::string name = string(j, path);
  checkName(name, path);
  const Kivo::IntfId intf(name);
  if (intf.typeCode() != Kivo::IntfId::portChannel || Vorn::KniIntfMapperSm::ruleDeviceName(intf).empty()) {
    fail(path,
         fmt::format("\"{}\" is not a channel name: Port-Channel<N>, N of 1 to 6 digits without a leading 0", name));
  }
  return intf;
}

Vorn::MemberId Reader::memberId(const Json& j, const std::string& path, int64_t min) const {
  return Vorn::MemberId(static_cast<uint8_t>(integer(j, path, min, 255)));
}

std::vector<Vorn::ChannelPlan> Reader::channels(const Json& j, const std::string& path) const {
  std::vector<Vorn::ChannelPlan> out;
  for (size_t c = 0; c < list(j, path).size(); ++c) {
    const std::string cp = item(path, c);
    const Json& cj = j[c];
    object(cj, cp, {"intf", "peerMemberId", "members"});
    Vorn::ChannelPlan ch;
    ch.intf = channel(required(cj, cp, "intf"), sub(cp, "intf"));
    if (auto* peer = optional(cj, "peerMemberId")) ch.peerMemberId = memberId(*peer, sub(cp, "peerMemberId"), 0);
    const std::string membersPath = sub(cp, "members");
    const Json& members = list(required(cj, cp, "members"), membersPath);
    for (size_t m = 0; m < members.size(); ++m) {
      const std::string mp = item(membersPath, m);
      object(members[m], mp, {"intf", "lagGroup"});
      Vorn::MemberIntfPlan member;
      member.intf = ethernet(required(members[m], mp, "intf"), sub(mp, "intf"));
      if (auto* g = optional(members[m], "lagGroup")) member.lagGroup = string(*g, sub(mp, "lagGroup"));
      ch.members.push_back(std::move(member));
    }
    out.push_back(std::move(ch));
  }
  return out;
}

void Reader::checkName(const std::string& name, const std::string& path) const {
  if (name.empty()) fail(path, "empty interface name");
  if (name.size() > 64) fail(path, "interface name longer than 64 characters");
  for (unsigned char c : name) {
    if (c <= ' ' || c >= 0x7f) fail(path, fmt::format("interface name {} has a space or a non-ASCII character", shown(Json(name))));
  }
}

}  // namespace Config
