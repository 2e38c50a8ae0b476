// The connection table both line servers stand on: who is evicted, when a
// last line may follow the answers, that work posted for a connection never
// reaches a later one on the same descriptor, and that the sweep closes a
// bounded number per piece.
#include "platform/net/LineConnections.h"

#include "tests/platform/net/SocketDrain.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// A table whose connections answer nothing: the test says what each one
// holds and waits for.
class Table : public Oru::LineConnections {
 public:
  struct Line : Connection {
    double idle = 0;
    int rank = 0;
    bool waiting = false;
  };

  Table(Velto::Ptr<Oru::EventLoop> loop, Limits limits) : LineConnections(std::move(loop), "test", limits) {}

  // Adopts the server end of a socket pair; returns the connection's id.
  uint64_t add(int fd, double idle = 0, int rank = 0) {
    auto c = std::make_unique<Line>();
    c->idle = idle;
    c->rank = rank;
    return adopt(fd, std::move(c)).id;
  }
  Line& at(int fd) { return static_cast<Line&>(*connections().at(fd)); }
  bool open(int fd) const { return connections().contains(fd); }
  void say(int fd, const std::string& line) { queue(at(fd), line); }
  // Queues `line` and lets the loop send it as the socket takes it.
  void answer(int fd, const std::string& line) {
    queue(at(fd), line);
    rewatch(at(fd));
  }
  bool flushOnce(int fd) { return flush(at(fd)); }
  void hangUp(int fd, const std::string& last) { closeWithLastLine(at(fd), last, "test"); }
  void closeNow(int fd) { close(at(fd), "test"); }
  // Marks requests waiting, so that a piece of work is posted for them.
  void postWork(int fd) {
    at(fd).waiting = true;
    rewatch(at(fd));
  }

  std::map<uint64_t, int> served;
  std::vector<std::pair<uint64_t, bool>> expired;

 protected:
  bool serve(Connection& c, uint32_t) override {
    ++served[c.id];
    static_cast<Line&>(c).waiting = false;
    return flush(c);
  }
  uint32_t readInterest(const Connection&) const override { return 0; }
  bool requestsWaiting(const Connection& c) const override { return static_cast<const Line&>(c).waiting; }
  double idleTimeout(const Connection& c) const override { return static_cast<const Line&>(c).idle; }
  int evictionRank(const Connection& c) const override { return static_cast<const Line&>(c).rank; }
  void expire(Connection& c, bool stalled) override {
    expired.emplace_back(c.id, stalled);
    close(c, "expired");
  }
};

struct Pair {
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0); }
  ~Pair() { ::close(fds[1]); }  // the table closes fds[0]
  int server() const { return fds[0]; }
  // What the client end has been sent so far; `closed` once the server end
  // closed.
  std::string drain(bool* closed = nullptr) {
    std::string got;
    const bool open = NetTest::drain(fds[1], got);
    if (closed) *closed = !open;
    return got;
  }
  int fds[2] = {-1, -1};
};

// The default limits as `change` leaves them.
Oru::LineConnections::Limits limits(const std::function<void(Oru::LineConnections::Limits&)>& change) {
  Oru::LineConnections::Limits l;
  change(l);
  return l;
}

class LineConnectionsTest : public ::testing::Test {
 protected:
  // At most some 5 s of turns.
  bool turnUntil(const std::function<bool()>& done) {
    for (int turns = 0; turns < 500 && !done(); ++turns) loop_->runOnce(0.01);
    return done();
  }

  Velto::Ptr<Oru::EventLoop> loop_ = Velto::make<Oru::EventLoop>();
};

TEST_F(LineConnectionsTest, ANewcomerToAFullTableClosesTheLowestRankThenTheNearestDeadline) {
  struct Case {
    const char* what;
    std::vector<std::pair<double, int>> present;  // idle timeout, rank
    size_t evicted;
  };
  const std::vector<Case> cases = {
      {"a connection that never idles out goes last", {{0, 0}, {100, 0}, {0, 0}}, 1},
      {"a lower rank goes before a nearer deadline", {{1, 1}, {50, 0}, {40, 1}}, 1},
      {"the nearest deadline within the lowest rank", {{90, 0}, {1, 1}, {60, 0}}, 2},
  };
  for (const Case& k : cases) {
    Table table(loop_, limits([](auto& l) { l.maxConnections = 3; }));
    std::vector<Pair> pairs(k.present.size() + 1);
    for (size_t i = 0; i < k.present.size(); ++i) table.add(pairs[i].server(), k.present[i].first, k.present[i].second);
    table.add(pairs.back().server());
    EXPECT_EQ(table.connectionCount(), 3u) << k.what;
    for (size_t i = 0; i < pairs.size(); ++i) {
      bool closed = false;
      pairs[i].drain(&closed);
      EXPECT_EQ(closed, i == k.evicted) << k.what << ": connection " << i;
    }
  }
}

TEST_F(LineConnectionsTest, FlushSendsAPieceTrimsWhatWasTakenAndALastLineFollowsOnlyAWholeLine) {
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    size_t leftAfterFlush;  // bytes still in the output buffer
    bool lastLineSent;
  };
  const std::string x700(700, 'x'), x2999(2999, 'x'), y9(9, 'y');
  const std::vector<Case> cases = {
      // More than half taken: the buffer keeps only the rest, mid-line.
      {"mid-line after trimming", {x700, x700}, 402, false},
      {"mid-line without trimming", {x2999}, 3000, false},
      {"a piece that ends a line", std::vector<std::string>(200, y9), 2000, true},
      {"everything taken", {y9}, 0, true},
  };
  for (const Case& k : cases) {
    Table table(loop_, limits([](auto& l) { l.sendPerPiece = 1000; }));
    Pair pair;
    const int fd = pair.server();
    table.add(fd);
    std::string all;
    for (const auto& line : k.lines) table.say(fd, line), all += line + "\n";
    ASSERT_TRUE(table.flushOnce(fd)) << k.what;
    EXPECT_EQ(table.at(fd).out.size(), k.leftAfterFlush) << k.what;
    EXPECT_EQ(table.at(fd).unread(), all.size() > 1000 ? all.size() - 1000 : 0) << k.what;
    table.hangUp(fd, "bye");
    bool closed = false;
    const std::string got = pair.drain(&closed);
    EXPECT_TRUE(closed) << k.what;
    const std::string taken = all.substr(0, std::min<size_t>(1000, all.size()));
    EXPECT_EQ(got, k.lastLineSent ? taken + "bye\n" : taken) << k.what;
  }
}

TEST_F(LineConnectionsTest, WorkPostedForAClosedConnectionNeverReachesTheNextOnItsDescriptor) {
  Table table(loop_, {});
  Pair first;
  const int fd = first.server();
  const uint64_t firstId = table.add(fd);
  table.postWork(fd);
  table.closeNow(fd);
  // The lowest free descriptor is the one just closed.
  Pair second;
  ASSERT_EQ(second.server(), fd);
  const uint64_t secondId = table.add(fd);
  ASSERT_NE(firstId, secondId);
  for (int i = 0; i < 5; ++i) loop_->runOnce(0);
  EXPECT_EQ(table.served.count(firstId) + table.served.count(secondId), 0u);
  // Work posted for the connection now on it does reach it.
  table.postWork(fd);
  EXPECT_TRUE(turnUntil([&] { return table.served[secondId] == 1; }));
}

TEST_F(LineConnectionsTest, TheSweepTellsStalledFromIdleAndClosesABoundedNumberPerPiece) {
  Table table(loop_, limits([](auto& l) { l.stallTimeout = 0.2, l.closesPerSweep = 4; }));
  Pair quiet;
  table.add(quiet.server());
  // A client that never reads an answer larger than its socket holds.
  Pair stalled;
  const uint64_t stalledId = table.add(stalled.server());
  table.answer(stalled.server(), std::string(4 << 20, 's'));
  ASSERT_TRUE(turnUntil([&] { return !table.expired.empty(); }));
  EXPECT_EQ(table.expired, (std::vector<std::pair<uint64_t, bool>>{{stalledId, true}}));

  // Six silent past their idle timeout when the sweep comes round.
  std::vector<Pair> idle(6);
  for (auto& p : idle) table.add(p.server(), 0.1);
  ::usleep(300 * 1000);
  ASSERT_TRUE(turnUntil([&] { return table.connectionCount() < 7; }));
  EXPECT_EQ(table.connectionCount(), 3u) << "one piece closes four of the six";
  loop_->runOnce(0);
  EXPECT_EQ(table.connectionCount(), 1u);
  EXPECT_TRUE(table.open(quiet.server()));
  ASSERT_EQ(table.expired.size(), 7u);
  for (size_t i = 1; i < table.expired.size(); ++i) EXPECT_FALSE(table.expired[i].second);
}

}  // namespace
