#pragma once
// The request protocol of the peer state-sync listener, without sockets:
// received bytes go in, answer lines come out. The listener drives one
// Session per connection; the fuzzer drives it from bytes alone.
//
//   HELLO <memberId>   ->  HELLO <this switch's member id>; the peer is
//                          identified from then on
//   PING               ->  PONG
//   GET <path>         ->  the JSON of the entity at <path>, on one line,
//                          "ERR no such path", or "ERR path not served"
//                          for a path this switch does not share with peers
//   anything else      ->  ERR <reason>
//
// Requests are lines ending in "\n" (a "\r" before it is ignored) of at most
// maxLineBytes bytes before the "\n"; a longer line breaks the session, since
// nothing after it can be trusted to start a request.

#include "platform/records/VornTypes.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Q7Relay {
namespace ZemUtils {

// Answers GET: the JSON text of the entity at `path` (line breaks allowed:
// they are flattened to spaces), or nothing when there is none.
using StateProvider = std::function<std::optional<std::string>(const std::string& path)>;
// Whether GET may answer `path` at all.
using PathFilter = std::function<bool(const std::string& path)>;

// What a session needs from its listener to answer.
struct AnswerContext {
  // This switch's member id, the answer to HELLO.
  Vorn::MemberId self;
  // Empty: every GET answers "ERR no such path".
  const StateProvider* provider = nullptr;
  // Empty: every path is served.
  const PathFilter* served = nullptr;
};

class Session {
 public:
  static constexpr size_t maxLineBytes = 4096;

  // Takes bytes the peer sent. False once the session is broken (a line
  // longer than maxLineBytes); a broken session takes nothing more and
  // answers nothing more.
  bool received(std::string_view bytes);
  // A complete request waits to be answered.
  bool requestWaiting() const;
  // Answers the oldest waiting request: appends its answer line, with its
  // "\n", to `out`. False (and nothing appended) when none waits.
  bool answerNext(std::string& out, const AnswerContext& context);

  bool broken() const { return broken_; }
  // The member id the peer gave in its last HELLO.
  std::optional<int> peerMemberId() const { return peerMemberId_; }
  bool identified() const { return peerMemberId_.has_value(); }
  // Received bytes not yet answered: waiting requests and the start of the
  // next one.
  size_t buffered() const { return in_.size() - consumed_; }

 private:
  std::string answer(std::string_view line, const AnswerContext& context);
  // Finds the end of the oldest request; updates broken_.
  void scan();

  std::string in_;
  // Bytes of in_ already answered.
  size_t consumed_ = 0;
  // Where the oldest waiting request's "\n" is, or how far in_ has been
  // searched for it without finding one.
  size_t newline_ = std::string::npos;
  size_t searched_ = 0;
  bool broken_ = false;
  std::optional<int> peerMemberId_;
};

}  // namespace ZemUtils
}  // namespace Q7Relay
