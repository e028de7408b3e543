// tests/support/vlZTIP_test.cpp
// vlZTIP over real loopback sockets: round trips, time-outs, aborts, mode 0, files, hostile peers.
#include "support/vlZTIP.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    --count;  // the directory itself
  }
  return count;
}

bool HaveIPv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A plain socket of the test, closed at the end of its scope.
struct RawSocket {
  int fd = -1;
  RawSocket() = default;
  explicit RawSocket(int f) : fd(f) {}
  RawSocket(RawSocket&& o) noexcept : fd(o.fd) { o.fd = -1; }
  RawSocket& operator=(RawSocket&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~RawSocket() {
    if (fd >= 0) ::close(fd);
  }
  // Closes with a reset instead of an orderly end.
  void Reset() {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
    fd = -1;
  }
};

// Connects a blocking socket to the loopback address of `family`; `receiveBuffer` > 0 makes
// its receive buffer small (set before the connect, so the window stays small).
RawSocket RawConnect(uint32_t port, int family = AF_INET, int receiveBuffer = 0) {
  RawSocket s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receiveBuffer > 0) {
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  timeval tv{5, 0};  // no test may hang on its own socket
  ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  if (family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    rc = ::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    rc = ::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  EXPECT_EQ(rc, 0) << std::strerror(errno);
  return s;
}

void RawSend(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<size_t>(n);
  }
}

// Everything until the peer's end (or a 5-second silence); `reset` tells whether it ended in
// a reset.
std::string RawReadAll(int fd, bool* reset = nullptr) {
  std::string out;
  char buf[65536];
  if (reset) *reset = false;
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && reset) *reset = errno == ECONNRESET;
    return out;
  }
}

class IPTest : public vlzt::testing::TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    fdsBefore_ = OpenDescriptors();
  }
  void TearDown() override {
    if (listener_ != 0) {
      EXPECT_EQ(vlZTIP_Close(&listener_), 0);
    }
    EXPECT_EQ(OpenDescriptors(), fdsBefore_) << "a descriptor was leaked";
    TestRoot::TearDown();
  }

  // Opens listener_ on a free port and returns the port.
  uint32_t StartListener() {
    EXPECT_EQ(vlZTIP_OpenListener(&listener_, 0, 1, "", 0), 0);
    EXPECT_NE(listener_, 0u);
    EXPECT_EQ(vlZTIP_Listen(&listener_), 0);
    uint32_t port = 0;
    EXPECT_EQ(vlZTIP_GetLocalPort(&listener_, &port), 0);
    EXPECT_GT(port, 0u);
    return port;
  }

  // Accepts the next client (which has already connected).
  uint32_t AcceptOne(std::string* peer = nullptr) {
    uint32_t connection = 0;
    char address[100];
    EXPECT_EQ(vlZTIP_Accept(&listener_, &connection, address, 1), 0);
    if (peer) *peer = address;
    return connection;
  }

  // A connected pair on loopback: a raw client and the library's server side.
  uint32_t RawPair(RawSocket& client, int receiveBuffer = 0) {
    uint32_t port = StartListener();
    client = RawConnect(port, AF_INET, receiveBuffer);
    return AcceptOne();
  }

  uint32_t listener_ = 0;
  int fdsBefore_ = 0;
};

// --- Round trips ------------------------------------------------------------------------------

void RoundTrip(uint32_t& listener, const char* host, const char* expectedPeer, uint32_t port) {
  uint32_t client = 0;
  ASSERT_EQ(vlZTIP_Connect(&client, host, port, 1, "", 0), 0);
  ASSERT_NE(client, 0u);
  uint32_t server = 0;
  char peer[100];
  ASSERT_EQ(vlZTIP_Accept(&listener, &server, peer, 1), 0);
  ASSERT_NE(server, 0u);
  EXPECT_NE(server, client);
  EXPECT_STREQ(peer, expectedPeer);

  EXPECT_EQ(vlZTIP_SendText(&client, "HELO relay\r\n", 1), 0);
  char reply[1000] = {};
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 5, 0), 0);
  EXPECT_STREQ(reply, "HELO relay\r\n");

  EXPECT_EQ(vlZTIP_SendText(&server, "250 Hello\r\n", 0), 0);
  char chunk[100000] = {};
  int32_t count = -1;
  EXPECT_EQ(vlZTIP_Receive(&client, chunk, 99999, &count, 5, 0), 0);
  EXPECT_EQ(std::string(chunk, static_cast<size_t>(count)), "250 Hello\r\n");

  EXPECT_EQ(vlZTIP_Close(&client), 0);
  EXPECT_EQ(client, 0u);
  EXPECT_EQ(vlZTIP_Close(&server), 0);
  EXPECT_EQ(server, 0u);
}

TEST_F(IPTest, RoundTripIPv4) {
  uint32_t port = StartListener();
  RoundTrip(listener_, "127.0.0.1", "127.0.0.1", port);
}

TEST_F(IPTest, RoundTripIPv6) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  uint32_t port = StartListener();
  RoundTrip(listener_, "::1", "::1", port);
  RoundTrip(listener_, "[::1]", "::1", port);
}

TEST_F(IPTest, RoundTripByHostName) {
  uint32_t port = StartListener();
  uint32_t client = 0;
  ASSERT_EQ(vlZTIP_Connect(&client, "localhost", port, 1, "", 0), 0);
  std::string peer;
  uint32_t server = AcceptOne(&peer);
  EXPECT_TRUE(peer == "127.0.0.1" || peer == "::1") << peer;
  EXPECT_EQ(vlZTIP_SendText(&server, "220 ready\r\n", 1), 0);
  char reply[1000] = {};
  EXPECT_EQ(vlZTIP_ReceiveReply(&client, reply, 999, 5, 0), 0);
  EXPECT_STREQ(reply, "220 ready\r\n");
  vlZTIP_Close(&client);
  vlZTIP_Close(&server);
}

TEST_F(IPTest, HandlesAreDistinctAndDeadAfterClose) {
  uint32_t port = StartListener();
  std::set<uint32_t> seen{listener_};
  for (int i = 0; i < 20; ++i) {
    uint32_t client = 0;
    ASSERT_EQ(vlZTIP_Connect(&client, "127.0.0.1", port, 1, "", 0), 0);
    uint32_t server = AcceptOne();
    EXPECT_TRUE(seen.insert(client).second);
    EXPECT_TRUE(seen.insert(server).second);
    uint32_t stale = client;
    EXPECT_EQ(vlZTIP_Close(&client), 0);
    EXPECT_EQ(vlZTIP_Close(&server), 0);
    // The old value names nothing any more.
    EXPECT_EQ(vlZTIP_SendText(&stale, "x", 1), -2);
    EXPECT_EQ(vlZTIP_Close(&stale), -2);
  }
  uint32_t none = 0;
  EXPECT_EQ(vlZTIP_SendText(&none, "x", 1), -2);
  EXPECT_EQ(vlZTIP_Close(&none), -2);
  EXPECT_EQ(vlZTIP_AbortListener(0), -2);
  EXPECT_EQ(vlZTIP_Close(nullptr), -2);
  // A listener is not a connection, nor the reverse.
  EXPECT_EQ(vlZTIP_SendText(&listener_, "x", 1), -2);
  RawSocket raw = RawConnect(port);
  uint32_t server = AcceptOne();
  uint32_t other = 0;
  EXPECT_EQ(vlZTIP_Accept(&server, &other, nullptr, 0), -2);
  EXPECT_EQ(vlZTIP_AbortListener(server), -2);
  EXPECT_EQ(vlZTIP_Listen(&server), -2);
  vlZTIP_Close(&server);
}

TEST_F(IPTest, InvalidArguments) {
  uint32_t h = 123;
  EXPECT_EQ(vlZTIP_Connect(&h, nullptr, 80, 1, "", 0), -3);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(vlZTIP_Connect(&h, "", 80, 1, "", 0), -3);
  EXPECT_EQ(vlZTIP_Connect(&h, "127.0.0.1", 0, 1, "", 0), -3);
  EXPECT_EQ(vlZTIP_Connect(&h, "127.0.0.1", 65536, 1, "", 0), -3);
  EXPECT_EQ(vlZTIP_Connect(nullptr, "127.0.0.1", 80, 1, "", 0), -2);
  EXPECT_EQ(vlZTIP_OpenListener(&h, 70000, 1, "", 0), -3);

  RawSocket raw;
  uint32_t server = RawPair(raw);
  char buf[10];
  int32_t count = 5;
  EXPECT_EQ(vlZTIP_SendText(&server, nullptr, 1), -3);
  EXPECT_EQ(vlZTIP_SendText(&server, "", 0), 0);
  EXPECT_EQ(vlZTIP_Receive(&server, nullptr, 9, &count, 1, 0), -3);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(vlZTIP_Receive(&server, buf, 0, &count, 1, 0), -3);
  EXPECT_EQ(vlZTIP_Receive(&server, buf, 9, nullptr, 1, 0), -3);
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, nullptr, 9, 1, 0), -3);
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, buf, 0, 1, 0), -3);
  EXPECT_EQ(vlZTIP_SendFile(&server, nullptr, 0), -3);
  EXPECT_EQ(vlZTIP_Accept(&listener_, nullptr, nullptr, 0), -3);
  uint32_t* nothing = nullptr;
  EXPECT_EQ(vlZTIP_GetLocalPort(&server, nullptr), -3);
  EXPECT_EQ(vlZTIP_GetLocalPort(nothing, nullptr), -2);
  vlZTIP_Close(&server);
}

// --- Connect failures ---------------------------------------------------------------------------

TEST_F(IPTest, ConnectRefused) {
  // Bound but not listening: a connect is refused at once.
  ASSERT_EQ(vlZTIP_OpenListener(&listener_, 0, 1, "", 0), 0);
  uint32_t port = 0;
  ASSERT_EQ(vlZTIP_GetLocalPort(&listener_, &port), 0);
  uint32_t h = 99;
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_Connect(&h, "127.0.0.1", port, 1, "", 0), -8);
  EXPECT_EQ(h, 0u);
  EXPECT_LT(SecondsSince(start), 1.0);
  // Three attempts: refused three times with short pauses between.
  start = Clock::now();
  EXPECT_EQ(vlZTIP_Connect(&h, "127.0.0.1", port, 3, "", 0), -8);
  EXPECT_GE(SecondsSince(start), 0.4);
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST_F(IPTest, ConnectToUnknownHost) {
  uint32_t h = 99;
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_Connect(&h, "no-such-host.invalid", 25, 1, "", 0), -7);
  EXPECT_EQ(h, 0u);
  EXPECT_LT(SecondsSince(start), 4.0);  // the look-up is bounded by the connect time
}

TEST_F(IPTest, ConnectTimesOutWhenNoAnswerComes) {
  // A listener whose backlog is full drops new SYNs, so a connect gets no answer at all.
  RawSocket full(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(full.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(full.fd, 0), 0);
  socklen_t len = sizeof a;
  ::getsockname(full.fd, reinterpret_cast<sockaddr*>(&a), &len);
  const uint32_t port = ntohs(a.sin_port);
  std::vector<RawSocket> fillers;
  for (int i = 0; i < 3; ++i) {
    RawSocket f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(f.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(std::move(f));
  }
  std::this_thread::sleep_for(100ms);
  uint32_t h = 99;
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_Connect(&h, "127.0.0.1", port, 1, "", 0), -9);
  double took = SecondsSince(start);
  EXPECT_EQ(h, 0u);
  EXPECT_GE(took, 2.5);
  EXPECT_LT(took, 4.5);
}

// --- Listener ---------------------------------------------------------------------------------

TEST_F(IPTest, PortInUseHasItsOwnCode) {
  uint32_t port = StartListener();
  uint32_t second = 77;
  EXPECT_EQ(vlZTIP_OpenListener(&second, port, 1, "", 0), -12);
  EXPECT_EQ(second, 0u);

  // Another program's IPv4 listener on the port.
  RawSocket other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(other.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(other.fd, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(other.fd, reinterpret_cast<sockaddr*>(&a), &len);
  EXPECT_EQ(vlZTIP_OpenListener(&second, ntohs(a.sin_port), 1, "", 0), -12);
}

TEST_F(IPTest, ListenerTakesBothFamilies) {
  uint32_t port = StartListener();
  RawSocket v4 = RawConnect(port, AF_INET);
  std::string peer;
  uint32_t a = AcceptOne(&peer);
  EXPECT_EQ(peer, "127.0.0.1");
  vlZTIP_Close(&a);
  if (HaveIPv6Loopback()) {
    RawSocket v6 = RawConnect(port, AF_INET6);
    uint32_t b = AcceptOne(&peer);
    EXPECT_EQ(peer, "::1");
    vlZTIP_Close(&b);
  }
  // The port can be opened again at once after a close (SO_REUSEADDR).
  ASSERT_EQ(vlZTIP_Close(&listener_), 0);
  ASSERT_EQ(vlZTIP_OpenListener(&listener_, port, 1, "", 0), 0);
  EXPECT_EQ(vlZTIP_Listen(&listener_), 0);
  EXPECT_EQ(vlZTIP_Listen(&listener_), 0);  // again: nothing changes
}

TEST_F(IPTest, AcceptWithoutWaitingAndBeforeListen) {
  ASSERT_EQ(vlZTIP_OpenListener(&listener_, 0, 1, "", 0), 0);
  uint32_t c = 5;
  EXPECT_EQ(vlZTIP_Accept(&listener_, &c, nullptr, 1), -14);
  EXPECT_EQ(c, 0u);
  ASSERT_EQ(vlZTIP_Listen(&listener_), 0);
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_Accept(&listener_, &c, nullptr, 0), -11);
  EXPECT_LT(SecondsSince(start), 0.5);
}

TEST_F(IPTest, AbortFromAnotherThreadEndsAPendingAccept) {
  StartListener();
  std::atomic<int32_t> result{1};
  std::atomic<double> returnedAt{0};
  auto start = Clock::now();
  std::thread acceptor([&] {
    uint32_t c = 0;
    char peer[100];
    result = vlZTIP_Accept(&listener_, &c, peer, 1);
    returnedAt = SecondsSince(start);
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(result.load(), 1) << "accept returned without a client";
  double abortedAt = SecondsSince(start);
  EXPECT_EQ(vlZTIP_AbortListener(listener_), 0);
  acceptor.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(returnedAt.load() - abortedAt, 0.5);
  // It stays aborted: a later accept returns at once too.
  uint32_t c = 0;
  EXPECT_EQ(vlZTIP_Accept(&listener_, &c, nullptr, 1), -1);
}

TEST_F(IPTest, CloseFromAnotherThreadEndsAPendingAccept) {
  StartListener();
  std::atomic<int32_t> result{1};
  uint32_t copy = listener_;
  std::thread acceptor([&] {
    uint32_t c = 0;
    result = vlZTIP_Accept(&copy, &c, nullptr, 1);
  });
  std::this_thread::sleep_for(200ms);
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_Close(&listener_), 0);
  acceptor.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(SecondsSince(start), 0.5);
}

// A thousand clients wait on the listener while it is aborted: the accept loop ends at once,
// every handle closes, nothing leaks.
TEST_F(IPTest, AbortWhileAThousandConnectionsWait) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  const int clients = static_cast<int>(std::min<rlim_t>(1000, (limit.rlim_cur - 200) / 2));
  uint32_t port = StartListener();

  std::vector<RawSocket> raw;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  for (int i = 0; i < clients; ++i) {
    RawSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ASSERT_GE(s.fd, 0);
    ::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    raw.push_back(std::move(s));
  }

  std::vector<uint32_t> accepted;
  std::atomic<int> acceptedCount{0};
  std::atomic<int32_t> last{1};
  std::thread acceptor([&] {
    for (;;) {
      uint32_t c = 0;
      char peer[100];
      int32_t r = vlZTIP_Accept(&listener_, &c, peer, 1);
      if (r != 0) {
        last = r;
        return;
      }
      accepted.push_back(c);
      ++acceptedCount;
      std::this_thread::sleep_for(1ms);  // admitting a client takes a moment
    }
  });
  auto waitStart = Clock::now();
  while (acceptedCount.load() < clients / 3 && SecondsSince(waitStart) < 5) {
    std::this_thread::sleep_for(1ms);
  }
  auto start = Clock::now();
  ASSERT_EQ(vlZTIP_AbortListener(listener_), 0);
  acceptor.join();
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(last.load(), -1);
  EXPECT_GT(accepted.size(), 0u);
  EXPECT_LT(accepted.size(), static_cast<size_t>(clients)) << "the abort came too late to test";

  // The accepted connections close from several threads at once; the listener with the
  // clients still in its queue closes too.
  std::vector<std::thread> closers;
  for (int t = 0; t < 4; ++t) {
    closers.emplace_back([&, t] {
      for (size_t i = static_cast<size_t>(t); i < accepted.size(); i += 4) {
        EXPECT_EQ(vlZTIP_Close(&accepted[i]), 0);
      }
    });
  }
  for (auto& t : closers) t.join();
  EXPECT_EQ(vlZTIP_Close(&listener_), 0);
  raw.clear();
  EXPECT_LT(SecondsSince(start), 3.0);
}

// --- Receiving ----------------------------------------------------------------------------------

TEST_F(IPTest, SilentPeerTimesOut) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  char buf[1000] = {};
  int32_t count = 7;
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_Receive(&server, buf, 999, &count, 1, 0), -11);
  double took = SecondsSince(start);
  EXPECT_EQ(count, 0);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.6);

  start = Clock::now();
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, buf, 999, 1, 0), -11);
  took = SecondsSince(start);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.6);

  start = Clock::now();
  EXPECT_EQ(vlZTIP_Receive(&server, buf, 999, &count, 0, 0), -11);
  EXPECT_LT(SecondsSince(start), 0.2);
  vlZTIP_Close(&server);
}

TEST_F(IPTest, PeerThatClosesGivesItsOwnCode) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  RawSend(raw.fd, "abc");
  ::close(raw.fd);
  raw.fd = -1;
  char buf[1000] = {};
  int32_t count = 0;
  ASSERT_EQ(vlZTIP_Receive(&server, buf, 999, &count, 2, 0), 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(count)), "abc");
  EXPECT_EQ(vlZTIP_Receive(&server, buf, 999, &count, 2, 0), -5);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(vlZTIP_Receive(&server, buf, 999, &count, 2, 0), -5);
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, buf, 999, 2, 0), -5);
  vlZTIP_Close(&server);
}

TEST_F(IPTest, NeverMoreThanTheMaximum) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  RawSend(raw.fd, std::string(5000, 'a'));
  std::this_thread::sleep_for(50ms);
  char buf[1001];
  std::memset(buf, 'X', sizeof buf);
  int32_t count = 0;
  ASSERT_EQ(vlZTIP_Receive(&server, buf, 999, &count, 2, 0), 0);
  EXPECT_GT(count, 0);
  EXPECT_LE(count, 999);
  EXPECT_EQ(buf[999], 'X');
  EXPECT_EQ(buf[1000], 'X');

  char small[12];
  std::memset(small, 'X', sizeof small);
  ASSERT_EQ(vlZTIP_ReceiveReply(&server, small, 10, 2, 0), 0);
  EXPECT_EQ(std::string(small, 10), std::string(10, 'a'));
  EXPECT_EQ(small[10], 'X');  // nothing past the maximum, not even a zero
  vlZTIP_Close(&server);
}

TEST_F(IPTest, ReplyInPiecesIsJoined) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  std::thread peer([&] {
    RawSend(raw.fd, "2");
    std::this_thread::sleep_for(60ms);
    RawSend(raw.fd, "20 mail.example ");
    std::this_thread::sleep_for(60ms);
    RawSend(raw.fd, "ready\r\n");
  });
  char reply[1000] = {};
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 5, 0), 0);
  EXPECT_STREQ(reply, "220 mail.example ready\r\n");
  EXPECT_LT(SecondsSince(start), 1.0);  // returned at the line end, not at the time-out
  peer.join();
  vlZTIP_Close(&server);
}

TEST_F(IPTest, MultiLineSmtpReplyIsWaitedFor) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  std::thread peer([&] {
    RawSend(raw.fd, "220-mail.example ESMTP\r\n");
    std::this_thread::sleep_for(400ms);  // longer than the gap between pieces
    RawSend(raw.fd, "220 ready\r\n");
  });
  char reply[1000] = {};
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 3, 0), 0);
  EXPECT_STREQ(reply, "220-mail.example ESMTP\r\n220 ready\r\n");
  peer.join();

  // A reply without an end line: returned when the time-out ends.
  RawSend(raw.fd, "250-only\r\n");
  auto start = Clock::now();
  std::memset(reply, 0, sizeof reply);
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 1, 0), 0);
  EXPECT_STREQ(reply, "250-only\r\n");
  EXPECT_LT(SecondsSince(start), 1.6);

  // An HTTP reply is not an SMTP one: its first piece comes back at once.
  RawSend(raw.fd, "HTTP/1.0 200 OK\r\n123-not smtp\r\n");
  start = Clock::now();
  std::memset(reply, 0, sizeof reply);
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 5, 0), 0);
  EXPECT_STREQ(reply, "HTTP/1.0 200 OK\r\n123-not smtp\r\n");
  EXPECT_LT(SecondsSince(start), 0.5);
  vlZTIP_Close(&server);
}

// A peer that sends a byte a second: every call ends within its time-out, and the silence
// after the last byte ends in -11.
TEST_F(IPTest, ByteASecondPeer) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    for (int i = 0; i < 3 && !stop; ++i) {
      RawSend(raw.fd, "x");
      std::this_thread::sleep_for(1s);
    }
  });
  char reply[1000] = {};
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 2, 0), 0);
  EXPECT_STREQ(reply, "x");
  EXPECT_LT(SecondsSince(start), 2.1);

  std::string received = reply;
  int32_t rc = 0;
  for (int i = 0; i < 10 && rc == 0; ++i) {
    char buf[100];
    int32_t count = 0;
    auto callStart = Clock::now();
    rc = vlZTIP_Receive(&server, buf, 99, &count, 2, 0);
    EXPECT_LT(SecondsSince(callStart), 2.3);
    if (rc == 0) received.append(buf, static_cast<size_t>(count));
  }
  EXPECT_EQ(rc, -11);
  EXPECT_EQ(received, "xxx");
  stop = true;
  peer.join();
  vlZTIP_Close(&server);
}

TEST_F(IPTest, ResetMidTransferWhileReceiving) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  RawSend(raw.fd, std::string(1000, 'r'));
  raw.Reset();
  int32_t rc = 0;
  size_t total = 0;
  auto start = Clock::now();
  for (int i = 0; i < 100 && rc == 0; ++i) {
    char buf[1000];
    int32_t count = 0;
    rc = vlZTIP_Receive(&server, buf, 999, &count, 2, 0);
    total += static_cast<size_t>(count);
  }
  EXPECT_EQ(rc, -6);
  EXPECT_LE(total, 1000u);
  EXPECT_LT(SecondsSince(start), 1.0);
  vlZTIP_Close(&server);
}

// Many threads wait on connections whose peers then vanish; each wait ends at once.
TEST_F(IPTest, ManyWaitingReceivesEndWhenPeersVanish) {
  uint32_t port = StartListener();
  constexpr int kCount = 48;
  std::vector<RawSocket> raw;
  std::vector<uint32_t> server;
  for (int i = 0; i < kCount; ++i) {
    raw.push_back(RawConnect(port));
    server.push_back(AcceptOne());
  }
  std::vector<int32_t> results(kCount, 1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kCount; ++i) {
    waiters.emplace_back([&, i] {
      char buf[1000];
      int32_t count = 0;
      results[static_cast<size_t>(i)] = vlZTIP_Receive(&server[static_cast<size_t>(i)], buf,
                                                       999, &count, 10, 0);
    });
  }
  std::this_thread::sleep_for(200ms);
  auto start = Clock::now();
  for (int i = 0; i < kCount; ++i) {
    if (i % 2) {
      raw[static_cast<size_t>(i)].Reset();
    } else {
      ::close(raw[static_cast<size_t>(i)].fd);
      raw[static_cast<size_t>(i)].fd = -1;
    }
  }
  for (auto& t : waiters) t.join();
  EXPECT_LT(SecondsSince(start), 1.0);
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(results[static_cast<size_t>(i)], i % 2 ? -6 : -5) << i;
    EXPECT_EQ(vlZTIP_Close(&server[static_cast<size_t>(i)]), 0);
  }
}

// --- Sending ----------------------------------------------------------------------------------

// Mode 0 against a peer that does not read: -4 once the connection is full, nothing of a
// refused text goes out, and the same text is taken once the peer reads again.
TEST_F(IPTest, ModeZeroReturnsMinus4WhenThePeerDoesNotRead) {
  RawSocket raw;
  uint32_t server = RawPair(raw, 4096);
  std::vector<std::string> texts;
  auto line = [](size_t n) {
    std::string s = "line " + std::to_string(n) + " ";
    s.resize(999, '.');
    return s + "\n";
  };
  int32_t rc = 0;
  for (size_t i = 0; i < 200000 && rc == 0; ++i) {
    std::string text = line(i);
    rc = vlZTIP_SendText(&server, text.c_str(), 0);
    if (rc == 0) texts.push_back(text);
  }
  ASSERT_EQ(rc, -4);
  ASSERT_GT(texts.size(), 0u);
  EXPECT_LT(texts.size(), 20000u);  // the connection filled within 20 MB

  // The peer starts to read; the retry loop of the web server gets the text through.
  std::string expected;
  for (const auto& t : texts) expected += t;
  std::string refused = line(texts.size());
  expected += refused;
  std::string got;
  std::thread reader([&] {
    got = RawReadAll(raw.fd);
    ::shutdown(raw.fd, SHUT_WR);
  });
  int retries = 0;
  while ((rc = vlZTIP_SendText(&server, refused.c_str(), 0)) == -4 && retries < 500) {
    ++retries;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(vlZTIP_CloseGracefully(&server, 2), 0);
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "the stream holds a text twice or in part";
}

TEST_F(IPTest, BlockingSendToANeverReadingPeerEndsInItsTime) {
  RawSocket raw;
  uint32_t server = RawPair(raw, 4096);
  std::string big(1 << 20, 'b');
  int32_t rc = 0;
  double lastCall = 0;
  for (int i = 0; i < 64 && rc == 0; ++i) {
    auto start = Clock::now();
    rc = vlZTIP_SendText(&server, big.c_str(), 2);  // at most 2 seconds without progress
    lastCall = SecondsSince(start);
  }
  EXPECT_EQ(rc, -17);
  EXPECT_GE(lastCall, 1.9);
  EXPECT_LT(lastCall, 3.5);
  vlZTIP_Close(&server);
}

TEST_F(IPTest, NoSigpipeWhenThePeerHasGone) {
  auto old = std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test program
  RawSocket raw;
  uint32_t server = RawPair(raw);
  raw.Reset();
  std::this_thread::sleep_for(50ms);
  int32_t rc = 0;
  for (int i = 0; i < 10 && rc == 0; ++i) rc = vlZTIP_SendText(&server, "data\r\n", 1);
  EXPECT_EQ(rc, -6);
  EXPECT_EQ(vlZTIP_SendText(&server, "more\r\n", 0), -6);
  std::string path = this->path("f.bin");
  vlzt::testing::WriteFile(path, std::string(100000, 'f'));
  EXPECT_EQ(vlZTIP_SendFile(&server, path.c_str(), 0), -6);
  vlZTIP_Close(&server);
  std::signal(SIGPIPE, old);
}

TEST_F(IPTest, EndSendEndsTheResponseButNotTheRequest) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  EXPECT_EQ(vlZTIP_SendText(&server, "HTTP/1.0 500 Server too busy\r\n\r\n<html></html>", 0), 0);
  EXPECT_EQ(vlZTIP_EndSend(&server), 0);
  bool reset = true;
  EXPECT_EQ(RawReadAll(raw.fd, &reset), "HTTP/1.0 500 Server too busy\r\n\r\n<html></html>");
  EXPECT_FALSE(reset);
  EXPECT_NE(vlZTIP_SendText(&server, "late", 1), 0);
  RawSend(raw.fd, "still heard");
  char reply[1000] = {};
  EXPECT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 2, 0), 0);
  EXPECT_STREQ(reply, "still heard");
  vlZTIP_Close(&server);
}

// --- Files ------------------------------------------------------------------------------------

TEST_F(IPTest, SendFileMode30WritesAnImageHeader) {
  std::string image;
  for (int i = 0; i < 3000; ++i) image.push_back(static_cast<char>(i * 7));  // NULs included
  const struct {
    const char* name;
    const char* type;
  } kCases[] = {{"TavishMonitor.jpg", "image/jpeg"},
                {"velmorabaselogo.GIF", "image/gif"},
                {"x.png", "image/png"},
                {"noextension", "application/octet-stream"}};
  uint32_t port = StartListener();
  for (const auto& c : kCases) {
    std::string path = this->path(c.name);
    vlzt::testing::WriteFile(path, image);
    RawSocket raw = RawConnect(port);
    RawSend(raw.fd, "GET /images/x HTTP/1.0\r\n\r\n");
    uint32_t server = AcceptOne();
    EXPECT_EQ(vlZTIP_SendFile(&server, path.c_str(), 30), 0);
    EXPECT_EQ(vlZTIP_Close(&server), 0);  // the unread request must not turn into a reset
    std::string expected = std::string("HTTP/1.0 200 OK\r\nContent-Type: ") + c.type +
                           "\r\nContent-Length: 3000\r\n\r\n" + image;
    bool reset = true;
    EXPECT_TRUE(RawReadAll(raw.fd, &reset) == expected) << c.name;
    EXPECT_FALSE(reset);
  }
}

TEST_F(IPTest, SendFileMode0SendsTheBytesAsTheyAre) {
  std::string data(3 << 20, '\0');
  std::mt19937 random(42);
  for (char& ch : data) ch = static_cast<char>(random());
  std::string path = this->path("console.dat");
  vlzt::testing::WriteFile(path, data);
  RawSocket raw;
  uint32_t server = RawPair(raw);
  std::string got;
  std::thread reader([&] {
    got = RawReadAll(raw.fd);
    ::shutdown(raw.fd, SHUT_WR);
  });
  EXPECT_EQ(vlZTIP_SendFile(&server, path.c_str(), 0), 0);
  EXPECT_EQ(vlZTIP_CloseGracefully(&server, 2), 0);
  reader.join();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

TEST_F(IPTest, SendFileThatCannotBeSent) {
  uint32_t port = StartListener();
  vlzt::testing::WriteFile(path("real.gif"), "GIF89a");
  const struct {
    std::string path;
    int32_t mode;
    int32_t code;
  } kCases[] = {
      {path("missing.gif"), 0, -15},
      {path("missing.gif"), 30, -15},
      {scratch(), 30, -15},  // a directory
      {scratch() + "/../" + scratch().substr(scratch().rfind('/') + 1) + "/real.gif", 30, -27},
      {scratch() + "\\..\\real.gif", 0, -27},
  };
  for (const auto& c : kCases) {
    RawSocket raw = RawConnect(port);
    uint32_t server = AcceptOne();
    EXPECT_EQ(vlZTIP_SendFile(&server, c.path.c_str(), c.mode), c.code) << c.path;
    vlZTIP_Close(&server);
    std::string got = RawReadAll(raw.fd);
    if (c.mode == 30) {
      EXPECT_EQ(got.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << got;
    } else {
      EXPECT_EQ(got, "");
    }
  }
}

TEST_F(IPTest, ResetMidTransferWhileSendingAFile) {
  std::string path = this->path("big.bin");
  vlzt::testing::WriteFile(path, std::string(16 << 20, 'z'));
  RawSocket raw;
  uint32_t server = RawPair(raw, 16384);
  std::thread peer([&] {
    char buf[65536];
    size_t total = 0;
    while (total < 100000) {
      ssize_t n = ::recv(raw.fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    raw.Reset();
  });
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_SendFile(&server, path.c_str(), 30), -6);
  EXPECT_LT(SecondsSince(start), 3.0);
  peer.join();
  vlZTIP_Close(&server);
}

// --- Closing ----------------------------------------------------------------------------------

TEST_F(IPTest, CloseGracefullyLetsThePeerReadTheWholeReply) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  // More request than the server reads: a plain close would reset the connection.
  RawSend(raw.fd, "GET / HTTP/1.0\r\n\r\n" + std::string(50000, 'q'));
  char buf[10];
  int32_t count = 0;
  ASSERT_EQ(vlZTIP_Receive(&server, buf, 10, &count, 2, 0), 0);
  std::string page(200000, 'p');
  std::string got;
  bool reset = true;
  std::thread reader([&] {
    got = RawReadAll(raw.fd, &reset);
    ::shutdown(raw.fd, SHUT_WR);  // the browser closes once the page has come
  });
  EXPECT_EQ(vlZTIP_SendText(&server, page.c_str(), 1), 0);
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_CloseGracefully(&server, 2), 0);
  EXPECT_EQ(server, 0u);
  EXPECT_LT(SecondsSince(start), 1.5);  // the peer's close ended the wait
  reader.join();
  EXPECT_FALSE(reset);
  EXPECT_TRUE(got == page);
}

TEST_F(IPTest, CloseGracefullyWaitsNoLongerThanItsSeconds) {
  RawSocket raw;
  uint32_t server = RawPair(raw);
  auto start = Clock::now();
  EXPECT_EQ(vlZTIP_CloseGracefully(&server, 1), 0);  // the peer never closes
  double took = SecondsSince(start);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.6);
  bool reset = true;
  EXPECT_EQ(RawReadAll(raw.fd, &reset), "");
  EXPECT_FALSE(reset);
  uint32_t none = 0;
  EXPECT_EQ(vlZTIP_CloseGracefully(&none, 1), -2);
}

TEST_F(IPTest, CloseRacingWithAReceiveInAnotherThread) {
  uint32_t port = StartListener();
  for (int i = 0; i < 30; ++i) {
    RawSocket raw = RawConnect(port);
    uint32_t server = AcceptOne();
    uint32_t copy = server;
    std::atomic<int32_t> rc{1};
    std::thread waiter([&] {
      char buf[1000];
      int32_t count = 0;
      rc = vlZTIP_Receive(&copy, buf, 999, &count, 5, 0);
    });
    if (i % 2) std::this_thread::sleep_for(20ms);
    auto start = Clock::now();
    EXPECT_EQ(vlZTIP_Close(&server), 0);
    waiter.join();
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(rc.load(), -2);
    EXPECT_EQ(vlZTIP_Close(&copy), -2);
    bool reset = true;
    EXPECT_EQ(RawReadAll(raw.fd, &reset), "");
  }
}

TEST_F(IPTest, DifferentHandlesDoNotWaitForEachOther) {
  uint32_t port = StartListener();
  RawSocket slow = RawConnect(port);
  uint32_t blocked = AcceptOne();
  std::thread waiter([&] {
    char buf[100];
    int32_t count = 0;
    EXPECT_EQ(vlZTIP_Receive(&blocked, buf, 99, &count, 2, 0), -11);
  });
  std::this_thread::sleep_for(100ms);
  auto start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    uint32_t client = 0;
    ASSERT_EQ(vlZTIP_Connect(&client, "127.0.0.1", port, 1, "", 0), 0);
    uint32_t server = AcceptOne();
    ASSERT_EQ(vlZTIP_SendText(&client, "ping\r\n", 1), 0);
    char reply[1000] = {};
    ASSERT_EQ(vlZTIP_ReceiveReply(&server, reply, 999, 2, 0), 0);
    vlZTIP_Close(&client);
    vlZTIP_Close(&server);
  }
  EXPECT_LT(SecondsSince(start), 1.0);
  waiter.join();
  vlZTIP_Close(&blocked);
}

}  // namespace
}  // namespace vlzt
