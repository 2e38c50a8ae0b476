#include "platform/q7relay/Protocol.h"

#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {
const Ringlog::Handle traceHandle{"Q7Relay::ZemUtils::Session"};

bool printable(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char ch) {
    auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c < 0x7f;
  });
}

// A member id as a peer writes it: 0 to 255 in decimal.
std::optional<int> parseMemberId(std::string_view s) {
  if (s.empty() || s.size() > 3) return std::nullopt;
  int v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = v * 10 + (ch - '0');
  }
  if (v > 255) return std::nullopt;
  return v;
}
// One answer is one line, whatever the provider or an error text holds:
// line breaks from `from` on become spaces. Answers run to tens of KiB, so
// the search is memchr's.
void flatten(std::string& out, size_t from) {
  for (const char breakChar : {'\n', '\r'}) {
    char* p = out.data() + from;
    char* const end = out.data() + out.size();
    while ((p = static_cast<char*>(std::memchr(p, breakChar, static_cast<size_t>(end - p)))) != nullptr) *p++ = ' ';
  }
}
}  // namespace

namespace Q7Relay {
namespace ZemUtils {

bool Session::received(std::string_view bytes) {
  if (broken_) return false;
  // What was answered goes once per read, not once per request.
  if (consumed_ > 0) {
    in_.erase(0, consumed_);
    if (newline_ != std::string::npos) newline_ -= consumed_;
    searched_ -= consumed_;
    consumed_ = 0;
  }
  in_.append(bytes);
  scan();
  return !broken_;
}

void Session::scan() {
  if (broken_ || newline_ != std::string::npos) return;
  const size_t nl = in_.find('\n', searched_);
  if (nl == std::string::npos) {
    searched_ = in_.size();
    if (in_.size() - consumed_ > maxLineBytes) broken_ = true;
  } else if (nl - consumed_ > maxLineBytes) {
    broken_ = true;
  } else {
    newline_ = nl;
  }
  if (broken_) {
    in_.clear();
    consumed_ = searched_ = 0;
    newline_ = std::string::npos;
  }
}

bool Session::requestWaiting() const { return newline_ != std::string::npos; }

bool Session::answerNext(std::string& out, const AnswerContext& context) {
  if (!requestWaiting()) return false;
  std::string_view line(in_.data() + consumed_, newline_ - consumed_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t start = out.size();
  out += answer(line, context);
  flatten(out, start);
  out += '\n';
  consumed_ = newline_ + 1;
  searched_ = consumed_;
  newline_ = std::string::npos;
  scan();
  return true;
}

std::string Session::answer(std::string_view line, const AnswerContext& context) {
  if (line.empty()) return "ERR empty request";
  if (!printable(line)) return "ERR request is not printable text";
  const size_t space = line.find(' ');
  const std::string_view verb = line.substr(0, space);
  const std::string_view arg = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  if (verb == "PING") return space == std::string_view::npos ? "PONG" : "ERR PING takes no argument";
  if (verb == "HELLO") {
    auto peerId = parseMemberId(arg);
    if (!peerId) return "ERR HELLO needs a member id from 0 to 255";
    peerMemberId_ = peerId;
    return fmt::format("HELLO {}", context.self.value());
  }
  if (verb == "GET") {
    if (arg.empty()) return "ERR GET needs a path";
    const std::string path(arg);
    if (context.served && *context.served && !(*context.served)(path)) return "ERR path not served";
    if (!context.provider || !*context.provider) return "ERR no such path";
    std::optional<std::string> json;
    try {
      json = (*context.provider)(path);
    } catch (const std::exception& e) {
      TRACE2("GET {} failed: {}", path, e.what());
      return fmt::format("ERR {}", e.what());
    }
    if (!json) return "ERR no such path";
    return std::move(*json);
  }
  return fmt::format("ERR unknown request '{}'", verb.substr(0, 32));
}

}  // namespace ZemUtils
}  // namespace Q7Relay
