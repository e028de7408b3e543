// support/vlZTIP.cpp
// TCP/IP connection library: non-blocking sockets driven by poll() with time-outs, named by
// handles from one process-wide table.
#include "support/vlZTIP.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vlzt {
namespace {

// Result codes (documented in the header).
constexpr int32_t kOk = 0;
constexpr int32_t kAborted = -1;
constexpr int32_t kBadHandle = -2;
constexpr int32_t kBadArgument = -3;
constexpr int32_t kNotNow = -4;
constexpr int32_t kPeerClosed = -5;
constexpr int32_t kReset = -6;
constexpr int32_t kUnresolved = -7;
constexpr int32_t kRefused = -8;
constexpr int32_t kConnectTimeout = -9;
constexpr int32_t kUnreachable = -10;
constexpr int32_t kTimeout = -11;
constexpr int32_t kPortInUse = -12;
constexpr int32_t kNoResources = -13;
constexpr int32_t kListenFailed = -14;
constexpr int32_t kFileOpen = -15;
constexpr int32_t kFileRead = -16;
constexpr int32_t kSendStalled = -17;
constexpr int32_t kNoHandle = -18;
constexpr int32_t kPortDenied = -19;
constexpr int32_t kSocketError = -20;
constexpr int32_t kListenerFailed = -25;
constexpr int32_t kPathRefused = -27;

constexpr int kSecondsPerAddress = 3;         // one connect try
constexpr int kMaxAttempts = 10;
constexpr auto kRoundPause = std::chrono::milliseconds(250);
constexpr int kSendStallSeconds = 30;         // blocking sends
constexpr int kRestStallSeconds = 10;         // the rest of a mode-0 text
constexpr auto kReplyGap = std::chrono::milliseconds(250);
constexpr int kDefaultTimeoutSeconds = 120;   // negative time-outs
constexpr int kMaxTimeoutSeconds = 24 * 3600;
constexpr int kMaxGracefulSeconds = 60;
constexpr size_t kDrainNowLimit = 1 << 20;    // bytes discarded by vlZTIP_Close
constexpr size_t kDrainLimit = 64u << 20;     // and by vlZTIP_CloseGracefully
constexpr size_t kFileChunk = 256 * 1024;
constexpr auto kResourcePause = std::chrono::milliseconds(100);

using Clock = std::chrono::steady_clock;

// Owns one descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// One connection or listener. Shared by the table and every call running on it, so its
// descriptor stays valid (and its number is not reused) until the last call has returned.
struct Endpoint {
  Endpoint(UniqueFd socketFd, bool listener) : fd(std::move(socketFd)), isListener(listener) {}

  UniqueFd fd;
  const bool isListener;
  UniqueFd wake;                      // listener: eventfd, readable once aborted
  std::atomic<bool> aborted{false};   // listener: accepts return -1
  std::atomic<bool> listening{false};
  std::atomic<bool> closed{false};    // taken out of the table by a close
};
using EndpointPtr = std::shared_ptr<Endpoint>;

// Handle values -> endpoints. The lock is held only for the look-up, never across I/O.
class HandleTable {
 public:
  int32_t Add(EndpointPtr endpoint, uint32_t* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (map_.size() >= 0xFFFFFFF0u) return kNoHandle;
    // Values count up through all 2^32 before one comes round again; an open one is skipped.
    do {
      ++next_;
    } while (next_ == 0 || map_.count(next_) != 0);
    map_.emplace(next_, std::move(endpoint));
    *handle = next_;
    return kOk;
  }

  EndpointPtr Find(uint32_t handle) {
    if (handle == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(handle);
    return it == map_.end() ? nullptr : it->second;
  }

  EndpointPtr Remove(uint32_t handle) {
    if (handle == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(handle);
    if (it == map_.end()) return nullptr;
    EndpointPtr endpoint = std::move(it->second);
    map_.erase(it);
    return endpoint;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<uint32_t, EndpointPtr> map_;
  uint32_t next_ = 0;
};

// Never destroyed, so a call made while the process exits still finds a table.
HandleTable& Table() {
  static HandleTable* table = new HandleTable();
  return *table;
}

EndpointPtr FindConnection(const uint32_t* handle) {
  if (handle == nullptr) return nullptr;
  EndpointPtr endpoint = Table().Find(*handle);
  if (!endpoint || endpoint->isListener) return nullptr;
  return endpoint;
}

EndpointPtr FindListener(uint32_t handle) {
  EndpointPtr endpoint = Table().Find(handle);
  if (!endpoint || !endpoint->isListener) return nullptr;
  return endpoint;
}

// Runs a public operation; nothing escapes it.
template <typename F>
int32_t Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kNoResources;
  } catch (...) {
    return kSocketError;
  }
}

Clock::time_point DeadlineAfter(int seconds) { return Clock::now() + std::chrono::seconds(seconds); }

Clock::time_point ReceiveDeadline(int32_t timeoutSeconds) {
  int seconds = timeoutSeconds < 0 ? kDefaultTimeoutSeconds
                                   : std::min<int32_t>(timeoutSeconds, kMaxTimeoutSeconds);
  return DeadlineAfter(seconds);
}

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for `events` on `fd` until `deadline`: the revents, 0 on time-out, -1 on failure.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (rc > 0) return p.revents;
    if (rc == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;  // poll rounds its time down; wait out the rest
    }
    if (errno != EINTR) return -1;
  }
}

// The code for a failed send or receive.
int32_t IoError(const Endpoint& endpoint, int error) {
  if (endpoint.closed.load()) return kBadHandle;
  switch (error) {
    case ECONNRESET:
    case EPIPE:
    case ETIMEDOUT:
    case ENETRESET:
    case ECONNABORTED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case ENOTCONN:
      return kReset;
    case ENOMEM:
    case ENOBUFS:
      return kNoResources;
    default:
      return kSocketError;
  }
}

int32_t ConnectError(int error) {
  switch (error) {
    case ECONNREFUSED:
      return kRefused;
    case ETIMEDOUT:
      return kConnectTimeout;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
    case ENETDOWN:
    case EHOSTDOWN:
    case EPROTONOSUPPORT:
      return kUnreachable;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return kNoResources;
    default:
      return kSocketError;
  }
}

void SetNoDelay(int fd) {
  int one = 1;
  // Request and reply protocols: a small text must not wait for the peer's delayed ACK.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Discards what the peer has sent and we have not read, without waiting: a socket closed with
// unread data sends a reset, which can destroy the reply still on its way to the peer.
void DrainNow(int fd, size_t limit) {
  char scratch[16384];
  size_t total = 0;
  while (total < limit) {
    ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) {
      total += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

// Sends all of `data`, waiting for room; fails with -17 when nothing is taken for
// `stallSeconds`.
int32_t SendAll(const Endpoint& endpoint, const char* data, size_t length, int stallSeconds,
                int flags = 0) {
  const int fd = endpoint.fd.get();
  auto stallDeadline = DeadlineAfter(stallSeconds);
  while (length > 0) {
    if (endpoint.closed.load()) return kBadHandle;
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      stallDeadline = DeadlineAfter(stallSeconds);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int revents = WaitFor(fd, POLLOUT, stallDeadline);
      if (revents == 0) return kSendStalled;
      if (revents < 0) return IoError(endpoint, errno);
      continue;  // writable, or an error the next send reports
    }
    return IoError(endpoint, n < 0 ? errno : EPIPE);
  }
  return kOk;
}

// Room left in the send queue for payload. The kernel doubles SO_SNDBUF for its bookkeeping,
// so half of it is what data may fill; the queue holds the bytes not yet acknowledged.
bool HasRoomFor(int fd, size_t length) {
  int queued = 0;
  if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued <= 0) return true;
  int sendBuffer = 0;
  socklen_t size = sizeof sendBuffer;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &size) != 0) return true;
  const size_t capacity = static_cast<size_t>(sendBuffer) / 2;
  const size_t used = static_cast<size_t>(queued);
  if (used >= capacity) return false;
  // A text bigger than the whole buffer goes out once the queue is empty.
  return capacity - used >= std::min(length, capacity);
}

// True when `text` (ending in a line end) is an SMTP-style reply ("ddd" first) whose last
// line says more lines follow ("ddd-").
bool ReplyContinues(const char* text, size_t length) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (length < 4 || !isDigit(text[0]) || !isDigit(text[1]) || !isDigit(text[2])) return false;
  size_t start = length - 1;  // the final line feed
  while (start > 0 && text[start - 1] != '\n') --start;
  return length - start >= 4 && isDigit(text[start]) && isDigit(text[start + 1]) &&
         isDigit(text[start + 2]) && text[start + 3] == '-';
}

// --- Host names --------------------------------------------------------------------------

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = 0;
};

void CopyAddresses(const addrinfo* list, std::vector<Address>& out) {
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    Address address;
    std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
    address.length = ai->ai_addrlen;
    address.family = ai->ai_family;
    out.push_back(address);
  }
}

// A name look-up that the caller may stop waiting for; the look-up thread owns its half.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int rc = EAI_FAIL;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result != nullptr) ::freeaddrinfo(result);
  }
};

// Resolves `host` to its addresses within `deadline`.
int32_t Resolve(const std::string& host, uint32_t port, Clock::time_point deadline,
                std::vector<Address>& out) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc == 0) {
    CopyAddresses(list, out);
    ::freeaddrinfo(list);
    return out.empty() ? kUnreachable : kOk;
  }
  if (rc != EAI_NONAME) return rc == EAI_MEMORY ? kNoResources : kUnresolved;

  // A name: getaddrinfo cannot be given a time limit, so it runs on a thread of its own that
  // finishes in the background when the connect time runs out first.
  auto lookup = std::make_shared<Lookup>();
  hints.ai_flags = AI_NUMERICSERV;
  try {
    std::thread([lookup, host, service, hints] {
      addrinfo* found = nullptr;
      int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
      std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->rc = result;
      lookup->result = found;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return kNoResources;
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
    return kUnresolved;
  }
  if (lookup->rc != 0) return lookup->rc == EAI_MEMORY ? kNoResources : kUnresolved;
  CopyAddresses(lookup->result, out);
  return out.empty() ? kUnreachable : kOk;
}

std::string TrimHost(const char* host) {
  std::string_view text(host);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {  // "[::1]"
    text = text.substr(1, text.size() - 2);
  }
  return std::string(text);
}

// One connect try to one address, until `deadline`.
int32_t TryConnect(const Address& address, Clock::time_point deadline, UniqueFd& out) {
  UniqueFd fd(::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (fd.get() < 0) return ConnectError(errno);
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EINPROGRESS) return ConnectError(errno);
    int revents = WaitFor(fd.get(), POLLOUT, deadline);
    if (revents == 0) return kConnectTimeout;
    if (revents < 0) return ConnectError(errno);
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) return ConnectError(error);
  }
  SetNoDelay(fd.get());
  out = std::move(fd);
  return kOk;
}

// The peer's address as text; IPv4 clients of the dual-stack listener as dotted addresses.
void PeerText(const sockaddr_storage& storage, char* out, size_t size) {
  char text[INET6_ADDRSTRLEN] = "";
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  } else if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      ::inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
  }
  std::snprintf(out, size, "%s", text);
}

// --- Files ---------------------------------------------------------------------------------

bool HasParentComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

const char* ContentType(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char* ext;
    const char* type;
  } kTypes[] = {
      {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"},    {"jpe", "image/jpeg"},
      {"gif", "image/gif"},   {"png", "image/png"},      {"bmp", "image/bmp"},
      {"ico", "image/x-icon"}, {"svg", "image/svg+xml"}, {"webp", "image/webp"},
      {"tif", "image/tiff"},  {"tiff", "image/tiff"},    {"css", "text/css"},
      {"js", "text/javascript"}, {"htm", "text/html"},   {"html", "text/html"},
      {"txt", "text/plain"},
  };
  for (const auto& entry : kTypes) {
    if (ext == entry.ext) return entry.type;
  }
  return "application/octet-stream";
}

int32_t SendNotFound(const Endpoint& endpoint) {
  static const char kNotFound[] =
      "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n";
  return SendAll(endpoint, kNotFound, sizeof kNotFound - 1, kRestStallSeconds);
}

int32_t SendFileBody(const Endpoint& endpoint, const char* path, int32_t mode) {
  if (HasParentComponent(path)) return kPathRefused;
  // O_NONBLOCK so that a FIFO of that name cannot hold the caller in open().
  UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) return errno == EMFILE || errno == ENFILE ? kNoResources : kFileOpen;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return kFileOpen;

  std::unique_ptr<char[]> buffer(new char[kFileChunk]);
  size_t used = 0;
  const bool http = mode == 30;
  unsigned long long left = static_cast<unsigned long long>(info.st_size);
  if (http) {
    int n = std::snprintf(buffer.get(), kFileChunk,
                          "HTTP/1.0 200 OK\r\nContent-Type: %s\r\nContent-Length: %llu\r\n\r\n",
                          ContentType(path), left);
    used = static_cast<size_t>(n);
  }
  for (;;) {
    size_t want = kFileChunk - used;
    if (http && want > left) want = static_cast<size_t>(left);
    ssize_t n = 0;
    if (want > 0) {
      do {
        n = ::read(file.get(), buffer.get() + used, want);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return kFileRead;
    }
    used += static_cast<size_t>(n);
    if (http) left -= static_cast<unsigned long long>(n);
    if (used > 0) {
      int32_t rc = SendAll(endpoint, buffer.get(), used, kSendStallSeconds);
      if (rc != kOk) return rc;
      used = 0;
    }
    if (http && left == 0) return kOk;
    if (n == 0) return http ? kFileRead : kOk;  // end of file (short of its size in mode 30)
  }
}

// Takes the endpoint out of the table and wakes whatever runs on it.
void Shut(Endpoint& endpoint) {
  endpoint.closed.store(true);
  if (endpoint.isListener) {
    endpoint.aborted.store(true);
    uint64_t one = 1;
    if (endpoint.wake.get() >= 0) (void)!::write(endpoint.wake.get(), &one, sizeof one);
  } else {
    // The descriptor itself closes with the last reference; shutting it down now ends the
    // connection at once and wakes a call still waiting on it in another thread.
    ::shutdown(endpoint.fd.get(), SHUT_RDWR);
  }
}

}  // namespace

int32_t vlZTIP_Connect(uint32_t* handle, const char* host, uint32_t port, int32_t attempt,
                       const char* /*text*/, int32_t /*reserved*/) {
  return Guarded([&]() -> int32_t {
    if (handle == nullptr) return kBadHandle;
    *handle = 0;
    if (host == nullptr || port == 0 || port > 65535) return kBadArgument;
    const std::string name = TrimHost(host);
    if (name.empty()) return kBadArgument;

    const int rounds = std::clamp<int32_t>(attempt, 1, kMaxAttempts);
    const auto deadline = DeadlineAfter(rounds * kSecondsPerAddress);
    std::vector<Address> addresses;
    int32_t rc = Resolve(name, port, deadline, addresses);
    if (rc != kOk) return rc;

    int32_t result = kUnreachable;
    bool tried = false;
    for (int round = 0; round < rounds; ++round) {
      for (const Address& address : addresses) {
        auto now = Clock::now();
        if (now >= deadline) break;
        auto tryDeadline = std::min(deadline, now + std::chrono::seconds(kSecondsPerAddress));
        UniqueFd fd;
        rc = TryConnect(address, tryDeadline, fd);
        if (rc == kOk) {
          auto endpoint = std::make_shared<Endpoint>(std::move(fd), false);
          return Table().Add(std::move(endpoint), handle);
        }
        if (rc == kNoResources) return rc;
        // An unreachable address says least; keep a refusal or time-out seen before it.
        if (!tried || rc != kUnreachable) result = rc;
        tried = true;
      }
      if (round + 1 < rounds) {
        auto pauseEnd = std::min(deadline, Clock::now() + kRoundPause);
        if (pauseEnd <= Clock::now()) break;
        std::this_thread::sleep_until(pauseEnd);
      }
    }
    if (!tried) result = kConnectTimeout;  // the name look-up used up the time
    return result;
  });
}

int32_t vlZTIP_Close(uint32_t* handle) {
  return Guarded([&]() -> int32_t {
    if (handle == nullptr) return kBadHandle;
    EndpointPtr endpoint = Table().Remove(*handle);
    *handle = 0;
    if (!endpoint) return kBadHandle;
    if (!endpoint->isListener) DrainNow(endpoint->fd.get(), kDrainNowLimit);
    Shut(*endpoint);
    return kOk;
  });
}

int32_t vlZTIP_AbortListener(uint32_t listener) {
  return Guarded([&]() -> int32_t {
    EndpointPtr endpoint = FindListener(listener);
    if (!endpoint) return kBadHandle;
    endpoint->aborted.store(true);
    uint64_t one = 1;
    (void)!::write(endpoint->wake.get(), &one, sizeof one);
    return kOk;
  });
}

int32_t vlZTIP_OpenListener(uint32_t* handle, uint32_t port, int32_t /*flags*/,
                            const char* /*text*/, int32_t /*reserved*/) {
  return Guarded([&]() -> int32_t {
    if (handle == nullptr) return kBadHandle;
    *handle = 0;
    if (port > 65535) return kBadArgument;

    auto bindError = [](int error) {
      if (error == EADDRINUSE) return kPortInUse;
      if (error == EACCES || error == EPERM) return kPortDenied;
      return ConnectError(error) == kNoResources ? kNoResources : kSocketError;
    };
    int one = 1;
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (fd.get() >= 0) {
      int zero = 0;
      ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
      ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in6 any{};
      any.sin6_family = AF_INET6;
      any.sin6_addr = in6addr_any;
      any.sin6_port = htons(static_cast<uint16_t>(port));
      if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        int error = errno;
        if (error != EADDRNOTAVAIL && error != EAFNOSUPPORT) return bindError(error);
        fd.reset();  // IPv6 present but unusable: IPv4 alone
      }
    } else if (errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT) {
      return ConnectError(errno) == kNoResources ? kNoResources : kSocketError;
    }
    if (fd.get() < 0) {
      fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
      if (fd.get() < 0) return ConnectError(errno) == kNoResources ? kNoResources : kSocketError;
      ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_addr.s_addr = htonl(INADDR_ANY);
      any.sin_port = htons(static_cast<uint16_t>(port));
      if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        return bindError(errno);
      }
    }
    auto endpoint = std::make_shared<Endpoint>(std::move(fd), true);
    endpoint->wake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (endpoint->wake.get() < 0) return kNoResources;
    return Table().Add(std::move(endpoint), handle);
  });
}

int32_t vlZTIP_Listen(uint32_t* listener) {
  return Guarded([&]() -> int32_t {
    if (listener == nullptr) return kBadHandle;
    EndpointPtr endpoint = FindListener(*listener);
    if (!endpoint) return kBadHandle;
    if (endpoint->listening.load()) return kOk;
    if (::listen(endpoint->fd.get(), SOMAXCONN) != 0) {
      return errno == EADDRINUSE ? kPortInUse : kListenFailed;
    }
    endpoint->listening.store(true);
    return kOk;
  });
}

int32_t vlZTIP_Accept(uint32_t* listener, uint32_t* connection, char* peer, int32_t wait) {
  return Guarded([&]() -> int32_t {
    if (connection != nullptr) *connection = 0;
    if (peer != nullptr) peer[0] = '\0';
    if (listener == nullptr) return kBadHandle;
    EndpointPtr endpoint = FindListener(*listener);
    if (!endpoint) return kBadHandle;
    if (connection == nullptr) return kBadArgument;
    const int fd = endpoint->fd.get();
    for (;;) {
      if (endpoint->aborted.load()) return kAborted;
      if (!endpoint->listening.load()) return kListenFailed;
      pollfd p[2] = {{endpoint->wake.get(), POLLIN, 0}, {fd, POLLIN, 0}};
      int rc = ::poll(p, 2, wait == 0 ? 0 : -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return errno == ENOMEM ? kNoResources : kListenerFailed;
      }
      // An abort wins over clients still waiting.
      if (p[0].revents != 0 || endpoint->aborted.load()) return kAborted;
      if (rc == 0) return kTimeout;
      if ((p[1].revents & (POLLERR | POLLNVAL | POLLHUP)) != 0) return kListenerFailed;
      if ((p[1].revents & POLLIN) == 0) continue;

      sockaddr_storage from{};
      socklen_t fromLength = sizeof from;
      UniqueFd client(::accept4(fd, reinterpret_cast<sockaddr*>(&from), &fromLength,
                                SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (client.get() < 0) {
        switch (errno) {
          case EAGAIN:
#if EWOULDBLOCK != EAGAIN
          case EWOULDBLOCK:
#endif
          case EINTR:
          // The client went away before it was taken, or its network failed: next one.
          case ECONNABORTED:
          case EPROTO:
          case EPERM:
          case ENETDOWN:
          case ENOPROTOOPT:
          case EHOSTDOWN:
          case ENONET:
          case EHOSTUNREACH:
          case EOPNOTSUPP:
          case ENETUNREACH:
            continue;
          case EMFILE:
          case ENFILE:
          case ENOBUFS:
          case ENOMEM: {
            // Pause, so a caller that logs and accepts again does not spin; an abort still
            // ends the pause at once.
            pollfd w{endpoint->wake.get(), POLLIN, 0};
            ::poll(&w, 1, static_cast<int>(kResourcePause.count()));
            return endpoint->aborted.load() ? kAborted : kNoResources;
          }
          default:
            return endpoint->aborted.load() ? kAborted : kListenerFailed;
        }
      }
      SetNoDelay(client.get());
      if (peer != nullptr) PeerText(from, peer, 100);
      auto accepted = std::make_shared<Endpoint>(std::move(client), false);
      int32_t added = Table().Add(std::move(accepted), connection);
      if (added != kOk && peer != nullptr) peer[0] = '\0';
      return added;
    }
  });
}

int32_t vlZTIP_SendText(uint32_t* handle, const char* text, int32_t mode) {
  return Guarded([&]() -> int32_t {
    EndpointPtr endpoint = FindConnection(handle);
    if (!endpoint) return kBadHandle;
    if (text == nullptr) return kBadArgument;
    const size_t length = std::strlen(text);
    if (length == 0) return kOk;
    if (mode != 0) {
      return SendAll(*endpoint, text, length, mode >= 2 ? std::min<int32_t>(mode, kMaxTimeoutSeconds) : kSendStallSeconds);
    }
    // Mode 0: all or nothing now. The caller sends the same text again after -4, so nothing
    // of it may have gone out; once a part has, the rest is sent before returning.
    const int fd = endpoint->fd.get();
    if (!HasRoomFor(fd, length)) return kNotNow;
    ssize_t n;
    do {
      n = ::send(fd, text, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kNotNow;
      return IoError(*endpoint, errno);
    }
    const size_t sent = static_cast<size_t>(n);
    if (sent == length) return kOk;
    return SendAll(*endpoint, text + sent, length - sent, kRestStallSeconds);
  });
}

int32_t vlZTIP_ReceiveReply(uint32_t* handle, char* buffer, int32_t maximum,
                            int32_t timeoutSeconds, int32_t /*reserved*/) {
  return Guarded([&]() -> int32_t {
    EndpointPtr endpoint = FindConnection(handle);
    if (!endpoint) return kBadHandle;
    if (buffer == nullptr || maximum < 1) return kBadArgument;
    const int fd = endpoint->fd.get();
    const size_t limit = static_cast<size_t>(maximum);
    const auto deadline = ReceiveDeadline(timeoutSeconds);
    size_t stored = 0;

    // The first piece: wait up to the time-out.
    for (;;) {
      if (endpoint->closed.load()) return kBadHandle;
      ssize_t n = ::recv(fd, buffer, limit, MSG_DONTWAIT);
      if (n > 0) {
        stored = static_cast<size_t>(n);
        break;
      }
      if (n == 0) return endpoint->closed.load() ? kBadHandle : kPeerClosed;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return IoError(*endpoint, errno);
      int revents = WaitFor(fd, POLLIN, deadline);
      if (revents == 0) return kTimeout;
      if (revents < 0) return IoError(*endpoint, errno);
    }

    // A reply may come in several pieces: collect while it has no line end and more follows
    // within a short gap, or, for a multi-line SMTP reply, until its last line ("250 ...",
    // after "250-..." lines) or the time-out. What has come is returned; an end or error
    // shows on the next call.
    const auto collectUntil = std::max(deadline, Clock::now() + kReplyGap);
    for (;;) {
      if (stored >= limit || endpoint->closed.load()) break;
      const bool lineEnded = buffer[stored - 1] == '\n';
      const bool continued = lineEnded && ReplyContinues(buffer, stored);
      if (lineEnded && !continued) break;
      ssize_t n = ::recv(fd, buffer + stored, limit - stored, MSG_DONTWAIT);
      if (n > 0) {
        stored += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) break;
      auto waitEnd = continued ? collectUntil : std::min(collectUntil, Clock::now() + kReplyGap);
      int revents = WaitFor(fd, POLLIN, waitEnd);
      if (revents <= 0) break;
    }
    if (stored < limit) buffer[stored] = '\0';
    return kOk;
  });
}

int32_t vlZTIP_EndSend(uint32_t* handle) {
  return Guarded([&]() -> int32_t {
    EndpointPtr endpoint = FindConnection(handle);
    if (!endpoint) return kBadHandle;
    if (::shutdown(endpoint->fd.get(), SHUT_WR) != 0 && errno != ENOTCONN) return kSocketError;
    return kOk;
  });
}

int32_t vlZTIP_Receive(uint32_t* handle, char* buffer, int32_t maximum, int32_t* count,
                       int32_t timeoutSeconds, int32_t /*reserved*/) {
  return Guarded([&]() -> int32_t {
    if (count != nullptr) *count = 0;
    EndpointPtr endpoint = FindConnection(handle);
    if (!endpoint) return kBadHandle;
    if (buffer == nullptr || count == nullptr || maximum < 1) return kBadArgument;
    const int fd = endpoint->fd.get();
    const auto deadline = ReceiveDeadline(timeoutSeconds);
    for (;;) {
      if (endpoint->closed.load()) return kBadHandle;
      ssize_t n = ::recv(fd, buffer, static_cast<size_t>(maximum), MSG_DONTWAIT);
      if (n > 0) {
        *count = static_cast<int32_t>(n);
        return kOk;
      }
      if (n == 0) return endpoint->closed.load() ? kBadHandle : kPeerClosed;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return IoError(*endpoint, errno);
      int revents = WaitFor(fd, POLLIN, deadline);
      if (revents == 0) return kTimeout;
      if (revents < 0) return IoError(*endpoint, errno);
    }
  });
}

int32_t vlZTIP_SendFile(uint32_t* handle, const char* path, int32_t mode) {
  return Guarded([&]() -> int32_t {
    EndpointPtr endpoint = FindConnection(handle);
    if (!endpoint) return kBadHandle;
    if (path == nullptr || path[0] == '\0') {
      if (mode == 30) SendNotFound(*endpoint);
      return kBadArgument;
    }
    int32_t rc = SendFileBody(*endpoint, path, mode);
    // Nothing was sent yet for these; a browser is better told than left with nothing.
    if (mode == 30 && (rc == kFileOpen || rc == kPathRefused)) SendNotFound(*endpoint);
    return rc;
  });
}

int32_t vlZTIP_CloseGracefully(uint32_t* handle, int32_t seconds) {
  return Guarded([&]() -> int32_t {
    if (handle == nullptr) return kBadHandle;
    EndpointPtr endpoint = Table().Remove(*handle);
    *handle = 0;
    if (!endpoint) return kBadHandle;
    if (endpoint->isListener) {
      Shut(*endpoint);
      return kOk;
    }
    const int fd = endpoint->fd.get();
    ::shutdown(fd, SHUT_WR);
    // Read what the peer still sends until it closes too, so that our close does not reset a
    // connection whose last data the peer has yet to read.
    const auto deadline = DeadlineAfter(std::clamp<int32_t>(seconds, 0, kMaxGracefulSeconds));
    char scratch[16384];
    size_t total = 0;
    while (total < kDrainLimit) {
      ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
      if (n > 0) {
        total += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) break;
      if (WaitFor(fd, POLLIN, deadline) <= 0) break;
    }
    Shut(*endpoint);
    return kOk;
  });
}

int32_t vlZTIP_GetLocalPort(uint32_t* handle, uint32_t* port) {
  return Guarded([&]() -> int32_t {
    if (handle == nullptr) return kBadHandle;
    EndpointPtr endpoint = Table().Find(*handle);
    if (!endpoint) return kBadHandle;
    if (port == nullptr) return kBadArgument;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(endpoint->fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      return kSocketError;
    }
    if (local.ss_family == AF_INET6) {
      *port = ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    } else {
      *port = ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    }
    return kOk;
  });
}

}  // namespace vlzt
