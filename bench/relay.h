// A TCP relay on loopback that delays every byte by a fixed time in each
// direction, as a distant server's network would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DelayRelay {
 public:
  // Listens on a free loopback port and forwards to 127.0.0.1:target.
  DelayRelay(int targetPort, std::chrono::microseconds delay) : target_(targetPort), delay_(delay) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 64);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~DelayRelay() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
  }
  int Port() const { return port_; }

 private:
  struct Chunk {
    std::chrono::steady_clock::time_point due;
    std::string bytes;  // empty: the sender closed
  };
  struct Queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Chunk> chunks;
  };

  static void NoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }

  void Accept() {
    for (;;) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0 || stop_) return;
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(uint16_t(target_));
      if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(client);
        ::close(server);
        continue;
      }
      NoDelay(client);
      NoDelay(server);
      Direction(client, server);
      Direction(server, client);
    }
  }

  // Reads from `from` and writes to `to` each chunk once its delay is over.
  void Direction(int from, int to) {
    auto queue = std::make_shared<Queue>();
    std::thread([this, from, queue] {
      char buffer[65536];
      for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        std::lock_guard lock(queue->m);
        queue->chunks.push_back({std::chrono::steady_clock::now() + delay_, n > 0 ? std::string(buffer, size_t(n)) : ""});
        queue->cv.notify_one();
        if (n <= 0) return;
      }
    }).detach();
    std::thread([from, to, queue] {
      for (;;) {
        Chunk c;
        {
          std::unique_lock lock(queue->m);
          queue->cv.wait(lock, [&] { return !queue->chunks.empty(); });
          c = std::move(queue->chunks.front());
          queue->chunks.pop_front();
        }
        std::this_thread::sleep_until(c.due);
        if (c.bytes.empty()) {
          ::shutdown(to, SHUT_WR);
          ::shutdown(from, SHUT_RD);
          return;
        }
        for (size_t done = 0; done < c.bytes.size();) {
          const ssize_t w = ::write(to, c.bytes.data() + done, c.bytes.size() - done);
          if (w <= 0) {
            ::shutdown(from, SHUT_RD);
            return;
          }
          done += size_t(w);
        }
      }
    }).detach();
  }

  int target_;
  std::chrono::microseconds delay_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread acceptor_;
};
