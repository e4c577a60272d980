// Telling a stalled connection from a slow statement. While a statement
// waits, a thread of its own watches the connection's TCP socket; when no
// byte has moved either way for the bound, it asks the server on a second
// connection what this connection is doing. A statement the server is still
// working on is only long, and the wait goes on. Otherwise (the server has
// answered and waits, has dropped the connection, or cannot be reached in
// the bound) the connection is given up: the server is told to drop it
// where it can be reached, which takes back its open transaction, and the
// socket is shut, so that the waiting call fails at once as a lost
// connection.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "database/driver.h"

namespace ADODB {

class StallWatch {
 public:
  // The process's TCP sockets, by inode, so that the one a connect opens can
  // be told from the others.
  using Sockets = std::vector<std::pair<int, unsigned long>>;  // (descriptor, inode)
  static Sockets TcpSockets();
  // The one TCP socket in `after` that is not in `before`, or -1 where there
  // is none or several (another thread connecting meanwhile).
  static int NewSocket(const Sockets& before, const Sockets& after);

  // Watches `socket` while `calls` (the driver calls under way on it) is
  // not 0: connection `id` on the server, asked about through a new
  // connection opened with `connectionString` (+ the driver's options for
  // `plainText`) within `seconds`.
  StallWatch(int socket, std::shared_ptr<Handles::Calls> calls, qint64 id, QString connectionString, bool plainText,
             int seconds);
  ~StallWatch();
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

  bool Stalled() const { return stalled_; }
  int Seconds() const { return seconds_; }

 private:
  enum class Verdict { Working, Stalled };
  void Loop();
  Verdict Ask() const;

  const int socket_;
  const std::shared_ptr<Handles::Calls> calls_;
  const qint64 id_;
  const QString connectionString_;
  const bool plainText_;
  const int seconds_;
  std::atomic<bool> stalled_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace ADODB
