#pragma once
// Reading operator-written JSON files (the simulator's scenarios, the
// daemon's configuration) with messages that name the file, the field and
// the reason: "two.json: switches[1].channels[0].intf: missing".

#include "platform/framework/Values.h"
#include "platform/vorn/GroupRecords.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Config {

using Json = nlohmann::json;

// A file that cannot be used, and where it goes wrong. `field` is the JSON
// path of the offending value ("switches[1].memberId"), "(document)" for a
// document that is not JSON, "(file)" for a file that cannot be read.
class FieldError : public std::runtime_error {
 public:
  FieldError(const std::string& file, const std::string& field, const std::string& reason);
  const std::string& file() const { return file_; }
  const std::string& field() const { return field_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string file_;
  std::string field_;
  std::string reason_;
};

// "a, b, c".
std::string joined(const std::vector<std::string>& names);
// A short rendering of a value for messages.
std::string shown(const Json& j);
// "an object", "a list", "a string", ...
const char* kindOf(const Json& j);

// The whole of the file at `path` (FieldError when it is a directory or
// cannot be read).
std::string readFile(const std::string& path);
// The JSON document in `text` (FieldError naming the line and column).
Json parseText(const std::string& text, const std::string& file);

// Reads the values of one document, knowing each value's path for messages.
// Every reader throws FieldError on a value it cannot take.
class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}
  const std::string& file() const { return file_; }

  [[noreturn]] void fail(const std::string& field, const std::string& reason) const;

  // `j` is an object whose fields are all among `allowed`; `path` is empty
  // for the document itself.
  void object(const Json& j, const std::string& path, const std::vector<std::string>& allowed) const;
  static std::string sub(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
  }
  static std::string item(const std::string& path, size_t i);
  const Json& required(const Json& j, const std::string& path, const std::string& key) const;
  static const Json* optional(const Json& j, const std::string& key);

  double number(const Json& j, const std::string& path, double min, double max) const;
  int64_t integer(const Json& j, const std::string& path, int64_t min, int64_t max) const;
  std::string string(const Json& j, const std::string& path) const;
  bool boolean(const Json& j, const std::string& path) const;
  const Json& list(const Json& j, const std::string& path) const;

  // An Ethernet interface whose kernel device follows the naming rule
  // ("Ethernet3" -> et3, "Ethernet3/1" -> et3_1).
  Kivo::IntfId ethernet(const Json& j, const std::string& path) const;
  // A backplane channel, "Port-Channel<N>".
  Kivo::IntfId channel(const Json& j, const std::string& path) const;
  // A member ID from `min` to 255.
  Vorn::MemberId memberId(const Json& j, const std::string& path, int64_t min) const;
  // A list of channels: [{"intf", "peerMemberId", "members": [{"intf", "lagGroup"}]}].
  // Shapes only; whether channels and members repeat is the caller's check.
  std::vector<Vorn::ChannelPlan> channels(const Json& j, const std::string& path) const;

 private:
  // Interface names end up interned for the life of the process and in
  // messages: keep them short and printable.
  void checkName(const std::string& name, const std::string& path) const;

  std::string file_;
};

}  // namespace Config
