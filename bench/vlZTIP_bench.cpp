// bench/vlZTIP_bench.cpp
// vlZTIP on loopback: short exchanges per second and bulk vlZTIP_SendFile/vlZTIP_Receive MB/s.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/vlZTIP.h"

using namespace vlzt;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kExchangeTime = std::chrono::seconds(2);
constexpr auto kBulkTime = std::chrono::seconds(2);
constexpr int kClientThreads = 2;
constexpr int kServerThreads = 2;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A listener built on the library, on a free port.
struct Listener {
  uint32_t handle = 0;
  uint32_t port = 0;
  bool Open() {
    return vlZTIP_OpenListener(&handle, 0, 1, "", 0) == 0 && vlZTIP_Listen(&handle) == 0 &&
           vlZTIP_GetLocalPort(&handle, &port) == 0;
  }
  void Stop(std::vector<std::thread>& threads) {
    vlZTIP_AbortListener(handle);
    for (auto& t : threads) t.join();
    vlZTIP_Close(&handle);
  }
};

int Exchanges() {
  Listener listener;
  if (!listener.Open()) {
    std::printf("vlZTIP: cannot open a listener\n");
    return 1;
  }
  // The server: several threads accept on the one listener, each answers its client.
  std::vector<std::thread> servers;
  for (int i = 0; i < kServerThreads; ++i) {
    servers.emplace_back([&] {
      for (;;) {
        uint32_t c = 0;
        char peer[100];
        if (vlZTIP_Accept(&listener.handle, &c, peer, 1) != 0) return;
        char request[1000] = {};
        if (vlZTIP_ReceiveReply(&c, request, 999, 5, 0) == 0) vlZTIP_SendText(&c, "250 OK\r\n", 0);
        vlZTIP_Close(&c);
      }
    });
  }

  std::atomic<long> done{0}, failed{0};
  std::vector<std::vector<double>> latencies(kClientThreads);
  const auto start = Clock::now();
  const auto end = start + kExchangeTime;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClientThreads; ++i) {
    clients.emplace_back([&, i] {
      while (Clock::now() < end) {
        auto t0 = Clock::now();
        uint32_t c = 0;
        char reply[1000] = {};
        bool ok = vlZTIP_Connect(&c, "127.0.0.1", listener.port, 1, "", 0) == 0 &&
                  vlZTIP_SendText(&c, "NOOP\r\n", 1) == 0 &&
                  vlZTIP_ReceiveReply(&c, reply, 999, 5, 0) == 0 && reply[0] == '2';
        if (c != 0) vlZTIP_Close(&c);
        if (ok) {
          ++done;
          latencies[static_cast<size_t>(i)].push_back(Seconds(Clock::now() - t0) * 1e6);
        } else {
          ++failed;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  const double took = Seconds(Clock::now() - start);
  listener.Stop(servers);

  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) {
    return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))];
  };
  std::printf("vlZTIP exchanges (connect, send a text, receive the reply, close) on 127.0.0.1:\n");
  std::printf("  %ld exchanges in %.2f s with %d client and %d server threads: %.0f per second\n",
              done.load(), took, kClientThreads, kServerThreads, done.load() / took);
  std::printf("  latency per exchange: median %.0f us, 99th percentile %.0f us; failures %ld\n",
              pct(0.5), pct(0.99), failed.load());
  return failed.load() == 0 ? 0 : 1;
}

int Bulk() {
  // A 32 MB file, sent again and again on one connection while the client receives.
  char path[] = "/tmp/vlZTIP_bench_XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) {
    std::printf("vlZTIP: cannot create a temporary file\n");
    return 1;
  }
  const size_t fileSize = 32u << 20;
  {
    std::string block(1 << 20, 'v');
    for (size_t i = 0; i < fileSize / block.size(); ++i) {
      if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        std::printf("vlZTIP: cannot write the temporary file\n");
        ::close(fd);
        ::unlink(path);
        return 1;
      }
    }
    ::close(fd);
  }

  Listener listener;
  if (!listener.Open()) {
    ::unlink(path);
    return 1;
  }
  std::atomic<bool> stop{false};
  std::atomic<int> sendResult{0};
  std::vector<std::thread> server;
  server.emplace_back([&] {
    uint32_t c = 0;
    char peer[100];
    if (vlZTIP_Accept(&listener.handle, &c, peer, 1) != 0) return;
    while (!stop.load()) {
      int32_t rc = vlZTIP_SendFile(&c, path, 0);
      if (rc != 0) {
        sendResult = rc;
        break;
      }
    }
    vlZTIP_CloseGracefully(&c, 2);
  });

  uint32_t c = 0;
  int rc = 0;
  unsigned long long bytes = 0;
  double took = 0;
  if (vlZTIP_Connect(&c, "127.0.0.1", listener.port, 1, "", 0) == 0) {
    std::vector<char> buffer(100000);
    const auto start = Clock::now();
    int32_t r = 0;
    while (r == 0) {
      int32_t count = 0;
      r = vlZTIP_Receive(&c, buffer.data(), 99999, &count, 5, 0);
      if (r != 0) break;
      if (!stop.load()) {
        bytes += static_cast<unsigned long long>(count);
        if (Clock::now() - start >= kBulkTime) {
          took = Seconds(Clock::now() - start);
          stop = true;  // the server ends after the file it is sending; read on to the end
        }
      }
    }
    if (r != -5) rc = 1;
    vlZTIP_Close(&c);
  } else {
    rc = 1;
  }
  listener.Stop(server);
  ::unlink(path);
  if (sendResult.load() != 0) rc = 1;

  std::printf("vlZTIP bulk (vlZTIP_SendFile of a 32 MB file, vlZTIP_Receive of 99999 bytes):\n");
  std::printf("  %.0f MB in %.2f s: %.0f MB/s%s\n", bytes / 1e6, took, took > 0 ? bytes / 1e6 / took : 0.0,
              rc == 0 ? "" : " (failed)");
  return rc;
}

}  // namespace

int main() {
  int rc = Exchanges();
  rc |= Bulk();
  return rc;
}
