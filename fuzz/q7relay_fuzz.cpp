// Feeds arbitrary bytes to the peer state-sync listener's request protocol
// (Session: the line reader and the request answerer), the way the listener
// does: in reads of a size taken from the input, reading again only once
// every request read so far is answered. It checks what must hold whatever
// a peer sends; a broken rule stops the run with a message and abort(),
// which libFuzzer records as a crash with its input.

#include "fuzz/FuzzCheck.h"
#include "platform/q7relay/Protocol.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Q7Relay::ZemUtils::AnswerContext;
using Q7Relay::ZemUtils::PathFilter;
using Q7Relay::ZemUtils::Session;
using Q7Relay::ZemUtils::StateProvider;

constexpr int kSelf = 7;
constexpr size_t kMaxReads = 256;
// The state the harness serves: JSON over several lines (the session must
// flatten it), a provider that fails with a line break in its message, and
// a path the filter refuses although the provider knows it.
const std::string kConfigJson = "{\n  \"bcConfig\": {},\n\r  \"name\": \"1\"\n}";
const std::string kConfigLine = "{   \"bcConfig\": {},    \"name\": \"1\" }";
const std::string kHelloAnswer = "HELLO " + std::to_string(kSelf);

const StateProvider provider = [](const std::string& path) -> std::optional<std::string> {
  if (path == "vorn/memberConfig/1" || path == "secret/backup") return kConfigJson;
  if (path == "vorn/boom") throw std::runtime_error("provider\nfailed");
  return std::nullopt;
};
const PathFilter served = [](const std::string& path) { return path.rfind("vorn/", 0) == 0; };

// What a peer's request line must be answered with, from the protocol's
// description alone: the exact answer, or "ERR " and anything after it.
struct Expected {
  std::string_view exact;
  bool error = false;
};

bool validMemberId(std::string_view s, int& id) {
  if (s.empty() || s.size() > 3 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  id = std::stoi(std::string(s));
  return id <= 255;
}

Expected expectedAnswer(std::string_view line, std::optional<int>& peer) {
  if (line == "PING") return {"PONG"};
  int id = 0;
  if (line.rfind("HELLO ", 0) == 0 && validMemberId(line.substr(6), id)) {
    peer = id;
    return {kHelloAnswer};
  }
  if (line == "GET vorn/memberConfig/1") return {kConfigLine};
  return {"", true};
}

// The request lines in `input` up to the first one longer than the limit,
// each without its "\n" and one "\r" before it; `tooLong` when such a line
// (complete or not) ends the session.
std::vector<std::string_view> requestLines(std::string_view input, bool& tooLong) {
  std::vector<std::string_view> lines;
  tooLong = false;
  while (!input.empty()) {
    const size_t nl = input.find('\n');
    const size_t length = nl == std::string_view::npos ? input.size() : nl;
    if (length > Session::maxLineBytes) {
      tooLong = true;
      break;
    }
    if (nl == std::string_view::npos) break;
    std::string_view line = input.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    input.remove_prefix(nl + 1);
  }
  return lines;
}

// What a session wrote: its answer lines back to back, each ended by "\n",
// and where each one ends.
struct Transcript {
  std::string out;
  std::vector<size_t> ends;

  std::string_view answer(size_t i) const {
    const size_t from = i == 0 ? 0 : ends[i - 1] + 1;
    return std::string_view(out).substr(from, ends[i] - from);
  }
};

size_t countOf(const std::string& s, char c) {
  size_t n = 0;
  for (const char* p = s.data(); (p = static_cast<const char*>(std::memchr(p, c, s.data() + s.size() - p))) != nullptr; ++p) {
    ++n;
  }
  return n;
}

// Runs a session over `input` read `readSize` bytes at a time. The answers
// are kept in one string, not one allocation each: with one each, the
// harness's own work was about a third of every run.
Transcript runSession(std::string_view input, size_t readSize, Session& session) {
  const AnswerContext context{Vorn::MemberId(kSelf), &provider, &served};
  Transcript t;
  size_t at = 0;
  for (;;) {
    while (session.requestWaiting()) {
      const size_t before = t.out.size();
      CHECK(session.answerNext(t.out, context));
      CHECK(t.out.size() > before && t.out.back() == '\n');
      t.ends.push_back(t.out.size() - 1);
    }
    CHECK(!session.answerNext(t.out, context));
    if (session.broken() || at == input.size()) break;
    // Reads come only once every request read is answered: what waits is
    // at most one unfinished line.
    CHECK(session.buffered() <= Session::maxLineBytes, std::to_string(session.buffered()));
    const size_t n = std::min(readSize, input.size() - at);
    const bool ok = session.received(input.substr(at, n));
    CHECK(ok == !session.broken());
    at += n;
    CHECK(session.buffered() <= Session::maxLineBytes + n || session.broken());
  }
  // Each answer is one line: no line break but the one that ends it.
  CHECK(countOf(t.out, '\n') == t.ends.size(), t.out.substr(0, 200));
  CHECK(std::memchr(t.out.data(), '\r', t.out.size()) == nullptr, t.out.substr(0, 200));
  if (session.broken()) {
    CHECK(session.buffered() == 0);
    CHECK(!session.received("PING\n"));
    CHECK(!session.requestWaiting());
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the read size (1 to 255 bytes, or everything at
  // once); the rest is what the peer sends. A long input is cut into at
  // most kMaxReads reads: reading thousands of bytes one at a time would
  // spend the run on turns that short inputs already test, at a hundredth
  // of the speed.
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t readSize = data[0] == 0 ? size : std::max<size_t>(data[0], input.size() / kMaxReads + 1);

  Session session;
  const Transcript answers = runSession(input, readSize, session);

  bool tooLong = false;
  const auto lines = requestLines(input, tooLong);
  CHECK(session.broken() == tooLong);
  CHECK(answers.ends.size() == lines.size(),
        std::to_string(answers.ends.size()) + " answers to " + std::to_string(lines.size()));
  std::optional<int> peer;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Expected want = expectedAnswer(lines[i], peer);
    const std::string_view answer = answers.answer(i);
    const auto seen = [&] { return fmt::format("{} -> {}", lines[i].substr(0, 64), answer.substr(0, 64)); };
    if (want.error) {
      CHECK(answer.rfind("ERR ", 0) == 0, seen());
    } else {
      CHECK(answer == want.exact, seen());
    }
    // The refused path stays refused, though the provider knows it.
    if (lines[i] == "GET secret/backup") CHECK(answer == "ERR path not served", seen());
  }
  CHECK(session.peerMemberId() == peer);

  // However the bytes are cut into reads, the answers are the same.
  Session whole;
  CHECK(runSession(input, input.size() + 1, whole).out == answers.out);
  return 0;
}
