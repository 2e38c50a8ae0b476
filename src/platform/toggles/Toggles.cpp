#include "platform/toggles/Toggles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace Toggles {

namespace {

struct State {
  std::string directory = "/etc/vorn/toggles";
  // By path; nullopt: missing or unusable, every toggle in it is defaulted.
  std::map<std::string, std::optional<nlohmann::json>> files;
  // By (path, name); nullopt: no usable value, the caller's default applies.
  std::map<std::pair<std::string, std::string>, std::optional<bool>> values;
  std::vector<std::string> errors;
};

State& state() {
  static State s;
  return s;
}

void report(const std::string& path, const std::string& reason) {
  std::string error = fmt::format("toggle file {}: {}; using defaults", path, reason);
  std::fprintf(stderr, "%s\n", error.c_str());
  state().errors.push_back(std::move(error));
}

// Reads and parses a toggle file. nullopt for a missing file (silently) and
// for a broken one (reported).
std::optional<nlohmann::json> load(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      report(path, std::strerror(errno));
    }
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      report(path, std::strerror(error));
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);

  nlohmann::json json;
  try {
    json = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    report(path, fmt::format("not valid JSON ({})", e.what()));
    return std::nullopt;
  }
  if (!json.is_object()) {
    report(path, fmt::format("expected a JSON object of booleans, found {}", json.type_name()));
    return std::nullopt;
  }
  return json;
}

const std::optional<nlohmann::json>& file(const std::string& path) {
  auto& files = state().files;
  auto it = files.find(path);
  if (it == files.end()) {
    it = files.emplace(path, load(path)).first;
  }
  return it->second;
}

}  // namespace

bool getToggleState(const std::string& name, const std::string& fileName, bool defaultValue) {
  const std::string& dir = state().directory;
  const std::string path = dir.empty() || dir.back() == '/' ? dir + fileName : dir + "/" + fileName;
  auto key = std::make_pair(path, name);
  auto& values = state().values;
  if (auto it = values.find(key); it != values.end()) {
    return it->second.value_or(defaultValue);
  }
  std::optional<bool> value;
  if (const auto& json = file(path)) {
    if (auto it = json->find(name); it != json->end()) {
      if (it->is_boolean()) {
        value = it->get<bool>();
      } else {
        report(path, fmt::format("toggle \"{}\" is {}, not true or false", name, it->type_name()));
      }
    }
  }
  values.emplace(std::move(key), value);
  return value.value_or(defaultValue);
}

void directoryIs(const std::string& directory) { state().directory = directory; }

const std::string& directory() { return state().directory; }

void resetCache() {
  State& s = state();
  s.files.clear();
  s.values.clear();
  s.errors.clear();
}

std::vector<std::string> errors() { return state().errors; }

}  // namespace Toggles
