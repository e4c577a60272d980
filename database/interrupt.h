// Ctrl+C reaches a statement the server is still at work on: once asked,
// each connection's watch tells the server, on a connection of its own, to
// end the statement it runs (KILL QUERY), so that the program can stop at
// once and the server does not go on with work nobody waits for.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "database/driver.h"

namespace ADODB {

// Asks every statement under way to end, now and while the request stands.
// Only sets a flag: safe to call from a signal handler.
void Interrupt();
bool Interrupted();
// Forgets the request (a test's next run).
void ResetInterrupt();

class InterruptWatch {
 public:
  // `calls` tells whether a statement is under way on the connection whose
  // server-side id is `id`; the watch reaches the server as
  // `connectionString` does.
  InterruptWatch(std::shared_ptr<Handles::Calls> calls, std::shared_ptr<std::atomic<bool>> allowed, qint64 id,
                 QString connectionString, bool plainText);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  void Loop();
  void EndStatement() const;

  const std::shared_ptr<Handles::Calls> calls_;
  const std::shared_ptr<std::atomic<bool>> allowed_;  // the connection lets a statement be ended now
  const qint64 id_;
  const QString connectionString_;
  const bool plainText_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace ADODB
