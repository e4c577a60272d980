#include "database/interrupt.h"

#include <atomic>
#include <chrono>

#include "database/ado.h"

namespace ADODB {
namespace {

std::atomic<bool> g_interrupt{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

void Interrupt() { g_interrupt.store(true); }
bool Interrupted() { return g_interrupt.load(); }
void ResetInterrupt() { g_interrupt.store(false); }

InterruptWatch::InterruptWatch(std::shared_ptr<Handles::Calls> calls, std::shared_ptr<std::atomic<bool>> allowed,
                               qint64 id, QString connectionString, bool plainText)
    : calls_(std::move(calls)), allowed_(std::move(allowed)), id_(id), connectionString_(std::move(connectionString)),
      plainText_(plainText) {
  thread_ = std::thread([this] { Loop(); });
}

InterruptWatch::~InterruptWatch() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void InterruptWatch::Loop() {
  // A statement under way when the request comes is ended at once; one
  // still under way a second later (begun since, or not yet ended) again.
  bool busyBefore = false;
  bool asked = false;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (wake_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stop_; })) return;
    }
    if (!Interrupted()) continue;
    const bool busy = calls_->count > 0 && allowed_->load();
    if (busy && (!asked || busyBefore)) {
      EndStatement();
      asked = true;
      busyBefore = false;
      std::unique_lock lock(mutex_);
      if (wake_.wait_for(lock, std::chrono::seconds(1), [&] { return stop_; })) return;
      busyBefore = calls_->count > 0 && allowed_->load();
      continue;
    }
    busyBefore = busy;
  }
}

void InterruptWatch::EndStatement() const {
  try {
    Connection probe;
    probe.ConnectionTimeout = 10;
    probe.CommandTimeout = 10;
    probe.PlainText = plainText_;
    probe.Interruptible = false;
    probe.Open(connectionString_);
    probe.Execute(QStringLiteral("KILL QUERY %1;").arg(id_));
  } catch (const std::exception&) {
    // The server cannot be reached or refuses: the statement ends as it
    // would have, and the program stops after it.
  }
}

}  // namespace ADODB
