// The control socket under hostile clients: it keeps answering, and what
// it holds (descriptors, buffered output) stays bounded.
#include "ControlSocket.h"

#include "tests/platform/net/SocketDrain.h"
#include "tests/ScratchDir.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using VornDaemon::ControlSocket;

class ControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("control.sock");
    loop_ = Velto::make<Oru::EventLoop>();
  }
  void TearDown() override {
    for (int fd : clients_) ::close(fd);
    socket_.reset();
  }
  // Opens the socket with the default limits as `change` leaves them.
  void open(const std::function<void(VornDaemon::ControlLimits&)>& change = [](auto&) {}) {
    VornDaemon::ControlLimits limits;
    change(limits);
    socket_ = std::make_unique<ControlSocket>(
        loop_, path_, 0660, std::nullopt,
        [this](std::string_view request) {
          ++requests_;
          if (request == "big") return ControlSocket::Answer{std::string(100 * 1024, 'b')};
          return ControlSocket::Answer{fmt::format("answer {}", request), request == "watch"};
        },
        limits);
  }
  int connectClient() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path_.c_str());
    // A full backlog makes a non-blocking client wait: the loop drains it.
    int rc = -1;
    for (int tries = 0; tries < 1000; ++tries) {
      rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      if (rc == 0 || errno != EAGAIN) break;
      loop_->runOnce(0.001);
    }
    EXPECT_EQ(rc, 0) << std::strerror(errno);
    clients_.push_back(fd);
    return fd;
  }
  void send(int fd, const std::string& text) {
    EXPECT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }
  // Turns the loop until `done` or `seconds` pass.
  template <class F>
  bool turnUntil(F done, double seconds = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      loop_->runOnce(0.01);
    }
    return true;
  }
  // One client asks and gets its answer: the socket still serves.
  void expectServes() {
    const int fd = connectClient();
    send(fd, "ping\n");
    std::string got;
    EXPECT_TRUE(turnUntil([&] { return NetTest::drain(fd, got), got.find('\n') != std::string::npos; })) << got;
    EXPECT_EQ(got, "answer ping\n");
  }

  TestSupport::ScratchDir dir_{"vorn-control"};
  std::string path_;
  Velto::Ptr<Oru::EventLoop> loop_;
  std::unique_ptr<ControlSocket> socket_;
  std::vector<int> clients_;
  int requests_ = 0;
};

TEST_F(ControlSocketTest, AnswersEveryLineInOrderAndTakesTheMode) {
  open();
  struct stat st{};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  const int fd = connectClient();
  std::string many;
  for (int i = 0; i < 20; ++i) many += fmt::format("r{}\r\n", i);
  send(fd, many);
  std::string got;
  ASSERT_TRUE(turnUntil([&] { return NetTest::drain(fd, got), got.size() >= 20 * 10; }));
  std::string want;
  for (int i = 0; i < 20; ++i) want += fmt::format("answer r{}\n", i);
  EXPECT_EQ(got, want);
}

TEST_F(ControlSocketTest, AStaleSocketIsReplacedAnythingElseIsRefused) {
  open();
  socket_.reset();
  EXPECT_FALSE(std::filesystem::exists(path_));
  // A socket file whose daemon died.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path_.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(stale);
  open();
  expectServes();
  // A second daemon on the same path, and a file that is no socket.
  EXPECT_THROW(ControlSocket(loop_, path_, 0660, std::nullopt, {}), VornDaemon::ControlSocketError);
  socket_.reset();
  ::close(::open(path_.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_THROW(open(), VornDaemon::ControlSocketError);
  EXPECT_TRUE(std::filesystem::is_regular_file(path_));
}

TEST_F(ControlSocketTest, ALongLineGetsOneErrorLineAndTheConnectionCloses) {
  open();
  const int fd = connectClient();
  // Ten megabytes without a newline, as much as the socket takes each turn.
  const std::string chunk(64 * 1024, 'x');
  size_t sent = 0;
  std::string got;
  ASSERT_TRUE(turnUntil([&] {
    if (sent < 10 * 1024 * 1024) {
      const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    return !NetTest::drain(fd, got);
  }));
  EXPECT_EQ(got, "{\"ok\":false,\"error\":\"request line too long\"}\n");
  EXPECT_EQ(requests_, 0);
  EXPECT_EQ(socket_->connectionCount(), 0u);
  expectServes();
}

TEST_F(ControlSocketTest, AThousandConnectionsCannotLockAnswersOut) {
  open([](auto& l) { l.maxConnections = 16; });
  for (int i = 0; i < 1000; ++i) connectClient();
  turnUntil([&] { return false; }, 0.3);
  EXPECT_LE(socket_->connectionCount(), 16u);
  expectServes();
}

TEST_F(ControlSocketTest, AWatcherThatNeverReadsIsDroppedOthersKeepTheirEvents) {
  open([](auto& l) { l.maxUnread = 64 * 1024; });
  const int sleeper = connectClient();
  const int reader = connectClient();
  send(sleeper, "watch\n");
  send(reader, "watch\n");
  ASSERT_TRUE(turnUntil([&] { return socket_->watcherCount() == 2; }));
  const std::string event(200, 'e');
  std::string got;
  bool sleeperClosed = false;
  for (int i = 0; i < 5000 && !sleeperClosed; ++i) {
    socket_->broadcast(event);
    loop_->runOnce(0);
    NetTest::drain(reader, got);
    sleeperClosed = socket_->watcherCount() == 1;
  }
  EXPECT_TRUE(sleeperClosed) << "the watcher that does not read was never dropped";
  socket_->broadcast("last");
  ASSERT_TRUE(turnUntil([&] { return NetTest::drain(reader, got), got.ends_with("last\n"); }));
  EXPECT_EQ(socket_->connectionCount(), 1u);
  // What the sleeper can still read ends with the reason, on a line of its own.
  std::string rest;
  EXPECT_TRUE(turnUntil([&] { return !NetTest::drain(sleeper, rest); }, 2));
  EXPECT_TRUE(rest.ends_with("\n{\"ok\":false,\"error\":\"events not read fast enough; closing\"}\n"))
      << rest.substr(rest.size() > 200 ? rest.size() - 200 : 0);
}

TEST_F(ControlSocketTest, SilentAndStalledClientsAreClosed) {
  open([](auto& l) { l.idleTimeout = 0.2, l.stallTimeout = 0.2, l.maxUnread = 1024; });
  const int silent = connectClient();
  const int pumping = connectClient();  // asks for large answers and never reads them
  std::string flood;
  for (int i = 0; i < 100; ++i) flood += "big\n";
  const int watcher = connectClient();
  send(watcher, "watch\n");
  send(pumping, flood);
  ASSERT_TRUE(turnUntil([&] { return socket_->connectionCount() == 1; }, 5));
  EXPECT_EQ(socket_->watcherCount(), 1u);  // a watcher asks nothing and stays
  std::string ignored;
  EXPECT_FALSE(NetTest::drain(silent, ignored));
  // The pumping client got no more answers once they stopped leaving.
  EXPECT_LT(requests_, 20);
}

}  // namespace
