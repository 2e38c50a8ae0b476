#include "platform/toggles/Toggles.h"

#include "platform/config/JsonConfig.h"
#include "platform/scheduler/SwitchContext.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace Toggles {

constexpr const char* kDefaultDirectory = "/etc/vorn/toggles";

struct Store::Cache {
  std::string directory = kDefaultDirectory;
  // By path; nullopt: missing or unusable, every toggle in it is defaulted.
  std::map<std::string, std::optional<nlohmann::json>> files;
  // By (directory, file name, toggle name); nullopt: no usable value, the
  // caller's default applies. Agents ask on every received TLV: a hit costs
  // a lookup and no allocation.
  using ValueKey = std::tuple<std::string, std::string, std::string>;
  using ValueView = std::tuple<std::string_view, std::string_view, std::string_view>;
  struct ValueLess {
    using is_transparent = void;
    static ValueView view(const ValueKey& k) { return {std::get<0>(k), std::get<1>(k), std::get<2>(k)}; }
    static const ValueView& view(const ValueView& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return view(a) < view(b);
    }
  };
  std::map<ValueKey, std::optional<bool>, ValueLess> values;
  std::vector<std::string> errors;

  void report(const std::string& path, const std::string& reason);
  std::optional<nlohmann::json> load(const std::string& path);
  const std::optional<nlohmann::json>& file(const std::string& path);
};

void Store::Cache::report(const std::string& path, const std::string& reason) {
  std::string error = fmt::format("toggle file {}: {}; using defaults", path, reason);
  std::fprintf(stderr, "%s\n", error.c_str());
  errors.push_back(std::move(error));
}

// Reads and parses a toggle file. nullopt for a missing file (silently) and
// for an unusable one (reported): not a small regular file, not JSON, too
// deep, a key twice.
std::optional<nlohmann::json> Store::Cache::load(const std::string& path) {
  nlohmann::json json;
  try {
    const std::optional<std::string> text = Config::readFileIfPresent(path);
    if (!text) {
      return std::nullopt;
    }
    json = Config::parseText(*text, path);
  } catch (const Config::FieldError& e) {
    report(path, fmt::format("{}: {}", e.field(), e.reason()));
    return std::nullopt;
  }
  if (!json.is_object()) {
    report(path, fmt::format("expected a JSON object of booleans, found {}", json.type_name()));
    return std::nullopt;
  }
  return json;
}

const std::optional<nlohmann::json>& Store::Cache::file(const std::string& path) {
  auto it = files.find(path);
  if (it == files.end()) {
    it = files.emplace(path, load(path)).first;
  }
  return it->second;
}

Store::Store() : cache_(std::make_unique<Cache>()) {}
Store::~Store() = default;

bool Store::state(const std::string& name, const std::string& fileName, bool defaultValue) {
  Cache& c = *cache_;
  const std::string& dir = c.directory;
  auto& values = c.values;
  if (auto it = values.find(Cache::ValueView{dir, fileName, name}); it != values.end()) {
    return it->second.value_or(defaultValue);
  }
  const std::string path = dir.empty() || dir.back() == '/' ? dir + fileName : dir + "/" + fileName;
  Cache::ValueKey key{dir, fileName, name};
  std::optional<bool> value;
  if (const auto& json = c.file(path)) {
    if (auto it = json->find(name); it != json->end()) {
      if (it->is_boolean()) {
        value = it->get<bool>();
      } else {
        c.report(path, fmt::format("toggle \"{}\" is {}, not true or false", name, it->type_name()));
      }
    }
  }
  values.emplace(std::move(key), value);
  return value.value_or(defaultValue);
}

void Store::directoryIs(const std::string& directory) { cache_->directory = directory; }

const std::string& Store::directory() const { return cache_->directory; }

void Store::resetCache() {
  cache_->files.clear();
  cache_->values.clear();
  cache_->errors.clear();
}

const std::vector<std::string>& Store::errors() const { return cache_->errors; }

bool getToggleState(const std::string& name, const std::string& fileName, bool defaultValue) {
  if (Oru::SwitchContext* context = Oru::SwitchContext::active()) {
    return context->toggles().state(name, fileName, defaultValue);
  }
  Store once;
  return once.state(name, fileName, defaultValue);
}

std::string directory() {
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->toggles().directory() : std::string(kDefaultDirectory);
}

std::vector<std::string> errors() {
  Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->toggles().errors() : std::vector<std::string>();
}

}  // namespace Toggles
