#include "platform/q7relay/Q7Relay.h"

#include "platform/framework/Dir.h"
#include "platform/records/VornRecords.h"
#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "tests/platform/net/SocketDrain.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

using Q7Relay::ZemUtils::Api;
using Q7Relay::ZemUtils::ConnectionKey;
using Q7Relay::ZemUtils::ListenState;
using Q7Relay::ZemUtils::TcpConfig;

// The configuration the agent uses, on the loopback address.
TcpConfig agentConfig() {
  return TcpConfig(ConnectionKey::ipAndPort("127.0.0.1", 5546), std::nullopt, 0.0, 1, 9, 3, 0.1, 2.0, 3600.0, false);
}

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A peer: a blocking connect, then non-blocking reads and writes.
struct Client {
  explicit Client(int port) {
    auto addr = loopback(port);
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  ~Client() { ::close(fd); }
  void send(const std::string& text) {
    for (ssize_t done = 0, n = 1; n > 0 && done < ssize_t(text.size()); done += n) {
      n = ::send(fd, text.data() + done, text.size() - size_t(done), MSG_NOSIGNAL);
    }
  }
  // Reads what has arrived; false once the server closed the connection.
  bool poll() { return open = open && NetTest::drain(fd, in); }
  std::optional<std::string> takeLine() {
    const size_t nl = in.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::string line = in.substr(0, nl);
    return in.erase(0, nl + 1), line;
  }

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool connected = false, open = true;
  std::string in;
};

std::string repeated(const std::string& line, int n) {
  std::string s;
  while (n-- > 0) s += line;
  return s;
}

class Q7RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener().loop = loop;
    listener().portOverride = 0;
    context_.identityIs({Vorn::Role::member, Vorn::MemberId(3)});
    auto cfg = Velto::make<Vorn::MemberConfig>("member3");
    cfg->bcConfigIs(Kivo::IntfId("Port-Channel1"))->memberIntfIs(Kivo::IntfId("Ethernet1"));
    state->mkdir("vorn")->mkdir("memberConfig")->entryPut("member3", cfg);
    listener().provider = [this](const std::string& path) -> std::optional<std::string> {
      if (path == "boom") throw std::runtime_error("provider failed");
      auto e = state->lookup(path);
      return e ? std::optional(Zem::typedJson(*e).dump(2)) : std::nullopt;  // several lines; the listener flattens it
    };
  }
  void TearDown() override { status = nullptr, listener() = {}, context_.identityIs({}); }
  Q7Relay::ZemUtils::ListenerHooks& listener() { return context_.peerListener(); }
  // Listens with the agent's configuration as `change` leaves it.
  void listen(const std::function<void(TcpConfig&)>& change = [](TcpConfig&) {}) {
    TcpConfig config = agentConfig();
    change(config);
    status = Api::listen(config);
    ASSERT_EQ(status->state(), ListenState::listening) << status->error();
    ASSERT_NE(status->port(), 0);
  }
  // Runs the loop until `done`; the bound is generous because the machine is shared, and no test asserts how long
  // anything took.
  bool pump(const std::function<bool()>& done) {
    for (int i = 0; i < 3000; ++i, loop->runOnce(0.01)) {
      if (done()) return true;
    }
    return false;
  }
  bool connections(size_t n) { return pump([&] { return status->connectionCount() == n; }); }
  std::string request(Client& c, const std::string& text) { return c.send(text), nextLine(c); }
  std::string nextLine(Client& c) {
    std::optional<std::string> line;
    pump([&] { return c.poll(), (line = c.takeLine()).has_value(); });
    return line.value_or("<no answer>");
  }
  bool closedByServer(Client& c) { return pump([&] { return !c.poll(); }); }
  std::vector<std::unique_ptr<Client>> clients(int n) {
    std::vector<std::unique_ptr<Client>> v;
    while (n-- > 0) v.push_back(std::make_unique<Client>(status->port()));
    return v;
  }

  Velto::Ptr<Oru::EventLoop> loop = Velto::make<Oru::EventLoop>();
  Velto::Ptr<Zem::Dir> state = Velto::make<Zem::Dir>("root");
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
  Velto::Ptr<Q7Relay::ZemUtils::ListenStatus> status;
};

// Each row is one request on the same connection: the connection survives every error. "{json}" stands for the
// record, flattened to one line; "ERR" for any error line.
TEST_F(Q7RelayTest, AnswersRequestsAndErrorsOnOneConnection) {
  listen();
  Client c(status->port());
  ASSERT_TRUE(c.connected);
  const auto record = Zem::Json::parse(Zem::typedJson(*state->lookup("vorn/memberConfig/member3")).dump());
  const std::pair<std::string, std::string> rows[] = {
      {"HELLO 0\r\n", "HELLO 3"}, {"GET vorn/memberConfig/member3\n", "{json}"},
      {"GET vorn/nothing/here\n", "ERR no such path"}, {"GET boom\n", "ERR provider failed"}, {"HELLO 256\n", "ERR"},
      {std::string("PI\0NG\n", 6), "ERR"}, {"PING\n", "PONG"},
  };
  for (const auto& [text, answer] : rows) {
    const std::string line = request(c, text);
    if (answer == "{json}") {
      EXPECT_EQ(Zem::Json::parse(line), record) << line;
    } else {
      EXPECT_TRUE(answer == "ERR" ? line.starts_with("ERR ") : line == answer) << testing::PrintToString(text) << line;
    }
  }
  EXPECT_EQ(status->connectionCount(), 1u);
  // GET answers only the paths the host shares with peers.
  listener().served = [](const std::string& path) { return path == "vorn/memberConfig/member3"; };
  EXPECT_TRUE(request(c, "GET vorn/memberConfig/member3\n").starts_with("{"));
  EXPECT_EQ(request(c, "GET vorn/memberConfig\n"), "ERR path not served");
  listener().served = nullptr;
  EXPECT_TRUE(request(c, "GET vorn/memberConfig\n").starts_with("{"));
  listener().provider = nullptr;
  EXPECT_EQ(request(c, "GET vorn/memberConfig/member3\n"), "ERR no such path");
}

// Too long a line, a reset in the middle of answers and a close before reading each cost only their own
// connection.
TEST_F(Q7RelayTest, AbusiveConnectionsCostOnlyThemselves) {
  listen();
  Ringlog::Capture trace;
  Client survivor(status->port());
  EXPECT_EQ(request(survivor, "PING\n"), "PONG");
  for (const std::string& text : {std::string(5000, 'A'), "GET " + std::string(4200, 'x') + "\n"}) {
    Client c(status->port());
    c.send(text);
    EXPECT_TRUE(closedByServer(c));
    EXPECT_EQ(c.takeLine(), std::nullopt);
  }
  Client edge(status->port());  // a line of exactly 4 KiB is still a request
  EXPECT_EQ(request(edge, "GET " + std::string(4092, 'y') + "\n"), "ERR no such path");
  {
    // Asks for far more than it reads, then closes with a reset: the answers meet a reset connection.
    Client rude(status->port());
    rude.send(repeated("GET vorn/memberConfig/member3\n", 2000));
    connections(3);
    for (int i = 0; i < 20; ++i) loop->runOnce(0.01);
    linger l{1, 0};
    ::setsockopt(rude.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  Client(status->port()).send("PING\nPING\n");  // closed before reading anything
  EXPECT_TRUE(connections(2));
  // The reset reached the listener as an error on the socket (had it come as SIGPIPE, the test would not be here).
  EXPECT_TRUE(trace.contains("reset by peer") || trace.contains("Broken pipe"));
  EXPECT_EQ(request(survivor, "PING\n"), "PONG");
}

// Requests are answered on the activity thread, beside LLDP: however many requests wait, every turn of the loop
// still runs the due timers and the host's own descriptors, and only a bounded amount of listener work comes
// between two of those turns.
TEST_F(Q7RelayTest, FloodingClientsLeaveTimersAndHostDescriptorsEveryTurn) {
  listen();
  loop->backgroundSliceIs(0);  // one piece of background work per turn, whatever the machine's speed
  int answers = 0;
  listener().provider = [&](const std::string&) -> std::optional<std::string> {
    return ++answers, std::string(20, 'x');
  };
  const int lldp = ::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);  // stands for an LLDP socket: always readable
  int lldpRuns = 0;
  loop->watchFd(lldp, EPOLLIN, [&](uint32_t) { ++lldpRuns; });
  // Stands for the LLDP timers: due again at once every time it runs.
  auto tick = Velto::make<Oru::TimerTask>(loop, 0, "tick");
  int ticks = 0, answersAtLastTick = 0, mostAnswersBetweenTicks = 0;
  auto tickReactor = tick->subscribe([&](const Zem::Change&) {
    ++ticks;
    mostAnswersBetweenTicks = std::max(mostAnswersBetweenTicks, answers - answersAtLastTick);
    answersAtLastTick = answers;
    tick->scheduleTaskDelay(0);
  });
  auto flood = clients(100);
  for (auto& c : flood) c->send(repeated("GET vorn/memberConfig/member3\n", 2000));
  ASSERT_TRUE(connections(100));
  tick->scheduleTaskDelay(0);
  lldpRuns = ticks = 0;
  answersAtLastTick = answers;
  for (int turn = 0; turn < 200; ++turn) loop->runOnce(0.01);
  EXPECT_EQ(lldpRuns, 200);
  EXPECT_EQ(ticks, 200);
  EXPECT_GT(answers, 0);
  EXPECT_LT(mostAnswersBetweenTicks, 100);
  loop->unwatchFd(lldp);
  ::close(lldp);
}

// A full table makes room for a newcomer by closing the connection that has been idle longest, so idle connections
// cannot lock peers out.
TEST_F(Q7RelayTest, FullTableClosesTheIdlestConnectionForANewcomer) {
  listen([](TcpConfig& c) { c.maxConnections = 3; });
  auto three = clients(3);
  for (int i : {0, 1, 2, 1, 2}) EXPECT_EQ(request(*three[i], "PING\n"), "PONG");  // the first is now the idlest
  Client newcomer(status->port());
  EXPECT_EQ(request(newcomer, "HELLO 2\n"), "HELLO 3");
  EXPECT_TRUE(closedByServer(*three[0]));
  EXPECT_EQ(request(*three[1], "PING\n"), "PONG");
  EXPECT_EQ(status->connectionCount(), 3u);
}

// A peer that said HELLO may stay silent for the configured idle timeout; a connection that did not is closed much
// sooner, even when the configured timeout is "never".
TEST_F(Q7RelayTest, SilentConnectionsAreClosedAfterTheirIdleTimeout) {
  for (auto row : {std::pair(0.0, false), std::pair(0.05, true)}) {  // idle timeout, closed
    SCOPED_TRACE(row.first);
    listen([&](TcpConfig& c) { c.idleTimeout = row.first, c.unidentifiedIdleTimeout = 0.05; });
    Client peer(status->port()), anonymous(status->port());
    EXPECT_EQ(request(peer, "HELLO 1\n"), "HELLO 3");
    EXPECT_EQ(request(anonymous, "PING\n"), "PONG");
    EXPECT_TRUE(closedByServer(anonymous));
    EXPECT_TRUE(row.second ? closedByServer(peer) : request(peer, "PING\n") == "PONG");
  }
}

// A loopback socket bound to a port of the kernel's choosing.
int boundSocket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto addr = loopback(0);
  socklen_t len = sizeof addr;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// Without an event loop the listener stays disabled; a port held by another socket fails with the kernel's reason.
TEST_F(Q7RelayTest, ListenOutcomes) {
  int heldPort = 0;
  const int holder = boundSocket(heldPort);
  ASSERT_EQ(::listen(holder, 1), 0);
  listener().loop = nullptr;
  EXPECT_EQ(Api::listen(agentConfig())->state(), ListenState::disabled);
  listener().loop = loop, listener().portOverride = heldPort;
  auto busy = Api::listen(agentConfig());
  EXPECT_EQ(busy->state(), ListenState::failed);
  EXPECT_EQ(busy->port(), 0);
  EXPECT_NE(busy->error().find("Address already in use"), std::string::npos) << busy->error();
  ::close(holder);
}

TEST_F(Q7RelayTest, ListenersOnOnePortAreSharedAndCloseWithTheLast) {
  int port = 0;
  ::close(boundSocket(port));  // a free port, fixed for both listens
  listener().portOverride = port;
  listen();
  auto second = Api::listen(agentConfig());
  ASSERT_EQ(second->port(), port) << second->error();
  Client c(port);
  EXPECT_EQ(request(c, "PING\n"), "PONG");
  // A switch that learnt a new member id listens again: HELLO answers it.
  context_.identityIs({Vorn::Role::member, Vorn::MemberId(9)});
  auto third = Api::listen(agentConfig());
  EXPECT_EQ(request(c, "HELLO 1\n"), "HELLO 9");
  status->close();
  third = nullptr;
  EXPECT_EQ(status->state(), ListenState::closed);
  EXPECT_EQ(request(c, "PING\n"), "PONG");
  second->close();
  EXPECT_TRUE(closedByServer(c));
  EXPECT_FALSE(Client(port).connected);
}

}  // namespace
