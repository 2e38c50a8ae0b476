#include "platform/framework/Values.h"

#include <cctype>
#include <stdexcept>
#include <unordered_map>

namespace Kivo {
namespace {

struct Prefix {
  std::string_view full;
  std::string_view brief;
  IntfId::Type type;
};
constexpr Prefix kPrefixes[] = {
    {"Ethernet", "Et", IntfId::ethernet},   {"Port-Channel", "Po", IntfId::portChannel},
    {"Management", "Ma", IntfId::management}, {"Vlan", "Vl", IntfId::vlan},
    {"Loopback", "Lo", IntfId::loopback},
};

struct Entry {
  std::string full;
  std::string brief;
  int type;
  // Natural sort key: type, then each number and each non-digit run.
  std::vector<std::pair<uint64_t, std::string>> sortKey;
};

// Interned names. Index 0 is the empty identifier.
struct Table {
  std::vector<Entry> entries{Entry{"", "", IntfId::none, {}}};
  std::unordered_map<std::string, uint32_t> byName{{"", 0}};
};

Table& table() {
  static Table t;
  return t;
}

bool startsWithNoCase(std::string_view s, std::string_view p) {
  if (s.size() < p.size()) return false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(p[i]))) return false;
  }
  return true;
}

Entry parse(std::string_view name) {
  Entry e{std::string(name), std::string(name), IntfId::other, {}};
  for (const auto& p : kPrefixes) {
    for (auto form : {p.full, p.brief}) {
      if (!startsWithNoCase(name, form)) continue;
      std::string_view rest = name.substr(form.size());
      if (rest.empty() || !std::isdigit(static_cast<unsigned char>(rest[0]))) continue;
      e.full = std::string(p.full) + std::string(rest);
      e.brief = std::string(p.brief) + std::string(rest);
      e.type = p.type;
      goto parsed;
    }
  }
parsed:
  e.sortKey.emplace_back(static_cast<uint64_t>(e.type), std::string());
  for (size_t i = 0; i < e.full.size();) {
    if (std::isdigit(static_cast<unsigned char>(e.full[i]))) {
      uint64_t v = 0;
      while (i < e.full.size() && std::isdigit(static_cast<unsigned char>(e.full[i]))) {
        v = v * 10 + static_cast<uint64_t>(e.full[i] - '0');
        ++i;
      }
      e.sortKey.emplace_back(v, std::string());
    } else {
      size_t j = i;
      while (j < e.full.size() && !std::isdigit(static_cast<unsigned char>(e.full[j]))) ++j;
      e.sortKey.emplace_back(UINT64_MAX, e.full.substr(i, j - i));
      i = j;
    }
  }
  return e;
}

}  // namespace

IntfId::IntfId(std::string_view name) {
  auto& t = table();
  if (auto it = t.byName.find(std::string(name)); it != t.byName.end()) {
    id_ = it->second;
    return;
  }
  Entry e = parse(name);
  if (auto it = t.byName.find(e.full); it != t.byName.end()) {
    id_ = it->second;
  } else {
    id_ = static_cast<uint32_t>(t.entries.size());
    t.byName.emplace(e.full, id_);
    t.byName.emplace(e.brief, id_);
    t.entries.push_back(std::move(e));
  }
  t.byName.emplace(std::string(name), id_);
}

const std::string& IntfId::stringValue() const { return table().entries[id_].full; }
const std::string& IntfId::shortName() const { return table().entries[id_].brief; }
int IntfId::typeCode() const { return table().entries[id_].type; }

std::strong_ordering IntfId::operator<=>(const IntfId& o) const {
  if (id_ == o.id_) return std::strong_ordering::equal;
  const auto& t = table();
  const auto& a = t.entries[id_];
  const auto& b = t.entries[o.id_];
  if (id_ == 0) return std::strong_ordering::less;
  if (o.id_ == 0) return std::strong_ordering::greater;
  if (auto c = a.sortKey <=> b.sortKey; c != 0) return c;
  return a.full <=> b.full;
}

EthAddr EthAddr::fromString(std::string_view s) {
  std::array<uint8_t, 6> b{};
  size_t pos = 0;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0) {
      if (pos >= s.size() || (s[pos] != ':' && s[pos] != '-')) throw std::invalid_argument("bad MAC address: " + std::string(s));
      ++pos;
    }
    unsigned v = 0;
    for (int d = 0; d < 2; ++d, ++pos) {
      if (pos >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[pos]))) {
        throw std::invalid_argument("bad MAC address: " + std::string(s));
      }
      char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[pos])));
      v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10);
    }
    b[i] = static_cast<uint8_t>(v);
  }
  if (pos != s.size()) throw std::invalid_argument("bad MAC address: " + std::string(s));
  return EthAddr(b);
}

std::string EthAddr::stringValue() const {
  return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", b_[0], b_[1], b_[2], b_[3], b_[4], b_[5]);
}

bool EthAddr::isZero() const {
  for (auto b : b_) {
    if (b) return false;
  }
  return true;
}

}  // namespace Kivo
