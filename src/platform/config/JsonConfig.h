#pragma once
// Reading operator-written JSON files (the simulator's scenarios, the
// daemon's configuration and its channels file, the toggle files) with
// messages that name the file, the field and the reason:
// "two.json: switches[1].channels[0].intf: missing".
//
// A path may name anything and a file may hold anything: readFile takes
// only a regular file of at most kMaxFileBytes and never blocks, parseText
// refuses a document nested deeper than kMaxDepth or with a key twice in one
// object, and messages show at most a line of any value. Every refusal is a
// FieldError.

#include "platform/framework/Values.h"
#include "platform/vorn/GroupRecords.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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
// A value as JSON text for messages: at most 40 printable ASCII characters,
// the first 37 and "..." for a longer one; only what is shown is rendered.
std::string shown(const Json& j);
// An object key as a step of a field path: as written when it is short and
// printable; control and non-ASCII bytes become '?', a long one is cut to
// its first 37 characters and "...", the empty key is "".
std::string shownKey(std::string_view key);
// "an object", "a list", "a string", ...
const char* kindOf(const Json& j);

// The largest file an operator's JSON file may be: 1 MiB.
inline constexpr size_t kMaxFileBytes = size_t{1} << 20;
// How deep lists and objects may nest in a document (the document itself is
// level 1).
inline constexpr size_t kMaxDepth = 64;

// The whole of the file at `path`. FieldError, field "(file)", when it is
// missing, is not a regular file (a FIFO is refused without waiting for a
// writer), is larger than kMaxFileBytes or cannot be read.
std::string readFile(const std::string& path);
// The same, but nothing when no file is there (no such name, or a parent
// that is not a directory).
std::optional<std::string> readFileIfPresent(const std::string& path);

// The JSON document in `text`. FieldError naming the line and column
// ("(document)") for text that is not JSON, or the path of the offending
// value for one nested deeper than kMaxDepth or a key given twice in one
// object.
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
  // The path of `key` in the object at `path` (shownKey).
  static std::string sub(const std::string& path, std::string_view key);
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
