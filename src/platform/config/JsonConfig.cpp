#include "platform/config/JsonConfig.h"

#include "platform/framework/BoundedFile.h"
#include "platform/vorn/KniIntfMapperSm.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace Config {

FieldError::FieldError(const std::string& file, const std::string& field, const std::string& reason)
    : std::runtime_error(file + ": " + field + ": " + reason), file_(file), field_(field), reason_(reason) {}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

namespace {

// Longest rendering of a value or a key in a message.
constexpr size_t kShownChars = 40;
// Longest field path in a message; a longer one (a value deep in a document)
// keeps its start and its end.
constexpr size_t kFieldChars = 100;

std::string cut(std::string text, size_t limit) {
  if (text.size() > limit) {
    text.resize(limit - 3);
    text += "...";
  }
  return text;
}

// Appends the compact JSON text of `j` to `out`, stopping as soon as `out`
// holds more than `limit` characters: a value of any size or depth costs
// at most `limit` characters of work and of stack (each level of nesting
// adds a character before it descends).
void render(const Json& j, std::string& out, size_t limit) {
  const auto renderString = [&](const std::string& s) {
    // A prefix long enough to go over the limit, escaped to ASCII; a UTF-8
    // sequence cut in two shows as U+FFFD.
    const size_t room = limit + 1 - std::min(out.size(), limit + 1);
    out += Json(s.substr(0, room)).dump(-1, ' ', true, Json::error_handler_t::replace);
  };
  if (out.size() > limit) return;
  switch (j.type()) {
    case Json::value_t::object: {
      out += '{';
      for (auto it = j.begin(); it != j.end() && out.size() <= limit; ++it) {
        if (it != j.begin()) out += ',';
        renderString(it.key());
        out += ':';
        render(it.value(), out, limit);
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      for (auto it = j.begin(); it != j.end() && out.size() <= limit; ++it) {
        if (it != j.begin()) out += ',';
        render(*it, out, limit);
      }
      out += ']';
      return;
    }
    case Json::value_t::string: renderString(j.get_ref<const std::string&>()); return;
    case Json::value_t::binary: out += "<binary>"; return;
    default: out += j.dump(); return;  // a number, a boolean, null: short
  }
}

}  // namespace

std::string shown(const Json& j) {
  std::string out;
  render(j, out, kShownChars);
  return cut(std::move(out), kShownChars);
}

std::string shownKey(std::string_view key) {
  if (key.empty()) return "\"\"";  // seen in a path, unlike nothing
  std::string out(key.substr(0, kShownChars + 1));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return cut(std::move(out), kShownChars);
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

// --- Reading the file -----------------------------------------------------

namespace {

std::optional<std::string> read(const std::string& path, bool mayBeMissing) {
  try {
    return Zem::readBoundedFile(path, kMaxFileBytes, mayBeMissing);
  } catch (const Zem::FileRefused& e) {
    throw FieldError(path, "(file)", e.what());
  }
}

}  // namespace

std::string readFile(const std::string& path) { return *read(path, false); }

std::optional<std::string> readFileIfPresent(const std::string& path) { return read(path, true); }

// --- Parsing the document -------------------------------------------------

namespace {

// Builds the document from the parser's events, without recursion, and
// refuses on the spot what would be too deep or a key given twice: nothing
// deeper than the limit is ever built.
class DocumentBuilder : public nlohmann::json_sax<Json> {
 public:
  explicit DocumentBuilder(const std::string& file) : file_(file) {}

  Json take() { return std::move(root_); }

  bool null() override { return place(nullptr); }
  bool boolean(bool v) override { return place(v); }
  bool number_integer(number_integer_t v) override { return place(v); }
  bool number_unsigned(number_unsigned_t v) override { return place(v); }
  bool number_float(number_float_t v, const string_t&) override { return place(v); }
  bool string(string_t& v) override { return place(std::move(v)); }
  bool binary(binary_t& v) override { return place(Json::binary(std::move(v))); }
  bool start_object(std::size_t) override { return open(Json::object()); }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& k) override {
    Level& level = open_.back();
    if (level.container->contains(k)) fail(fmt::format("duplicate key {}; a key is given once", shown(Json(k))), k);
    level.key = std::move(k);
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const Json::exception& e) override {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    std::string what = e.what();
    if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
    // Only parse errors say where; a number out of range does not.
    if (what.rfind("parse error", 0) != 0) what = fmt::format("at byte {}: {}", position, what);
    // The parser quotes what it last read, which may be any bytes, and a
    // megabyte of them.
    for (char& c : what) {
      if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    }
    throw FieldError(file_, "(document)", cut("not valid JSON: " + what, 160));
  }

 private:
  // A list or object being read, and in an object the key of its value
  // being read.
  struct Level {
    Json* container;
    std::string key;
  };

  // Puts `v` where the document is being read; returns where it is.
  Json* put(Json&& v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Level& level = open_.back();
    if (level.container->is_array()) {
      level.container->push_back(std::move(v));
      return &level.container->back();
    }
    Json& slot = (*level.container)[level.key];
    slot = std::move(v);
    return &slot;
  }

  bool place(Json&& v) {
    put(std::move(v));
    return true;
  }

  bool open(Json&& container) {
    if (open_.size() >= kMaxDepth) fail(fmt::format("nested deeper than {} levels", kMaxDepth));
    open_.push_back({put(std::move(container)), {}});
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // The path of the value about to be read, or of `key` in the innermost
  // object.
  std::string path(const std::optional<std::string>& key) const {
    std::string out;
    for (size_t i = 0; i < open_.size(); ++i) {
      const Level& level = open_[i];
      const bool innermost = i + 1 == open_.size();
      if (level.container->is_array()) {
        // Open lists hold the value being read as their last item.
        out = Reader::item(out, level.container->size() - (innermost ? 0 : 1));
      } else if (!innermost || !key) {
        out = Reader::sub(out, level.key);
      }
    }
    if (key) out = Reader::sub(out, *key);
    if (out.size() > kFieldChars) out = out.substr(0, 60) + "..." + out.substr(out.size() - (kFieldChars - 63));
    return out;
  }

  [[noreturn]] void fail(const std::string& reason, const std::optional<std::string>& key = std::nullopt) const {
    throw FieldError(file_, path(key), reason);
  }

  const std::string& file_;
  Json root_;
  std::vector<Level> open_;
};

}  // namespace

Json parseText(const std::string& text, const std::string& file) {
  DocumentBuilder builder(file);
  Json::sax_parse(text, &builder);
  return builder.take();
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

std::string Reader::sub(const std::string& path, std::string_view key) {
  return path.empty() ? shownKey(key) : path + "." + shownKey(key);
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
