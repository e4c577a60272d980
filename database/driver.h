// The ODBC driver underneath the connection and record-set objects: the
// thread each connection's driver calls run on, the handles, and the text,
// diagnostics and values that cross the driver. Only database/ uses it.
#pragma once

#include "database/ado.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QStringDecoder>
#include <QTime>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <QThread>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace ADODB {

// A thread of its own for one connection: every driver call on the
// connection and its statements runs there, while the thread that asked
// keeps its events going. The driver keeps per-connection locks that it
// does not always let go of on an error path within a call; from one thread
// that is harmless, from two it would hang the next call.
class Worker {
 public:
  Worker() : state_(std::make_shared<State>()) {
    std::shared_ptr<State> state = state_;
    thread_ = std::thread([state] { Loop(*state); });
    id_ = thread_.get_id();
  }
  ~Worker() {
    {
      std::lock_guard lock(state_->mutex);
      state_->stop = true;
    }
    state_->wake.notify_all();
    if (std::this_thread::get_id() == id_)
      thread_.detach();  // the thread's own last task let go of it
    else
      thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs the task on the connection's thread and returns when it is done,
  // raising what it raised. On the application's thread, events are
  // processed meanwhile, so the windows repaint and can be closed.
  void Call(const std::function<void()>& task) {
    if (std::this_thread::get_id() == id_) return task();
    struct Done {
      std::mutex mutex;
      std::condition_variable signal;
      bool done = false;
      std::exception_ptr failure;
    };
    auto done = std::make_shared<Done>();
    QCoreApplication* app = QCoreApplication::instance();
    const bool events = app && QThread::currentThread() == app->thread();
    {
      std::lock_guard lock(state_->mutex);
      state_->tasks.push_back([&task, done, app, events] {
        std::exception_ptr failure;
        try {
          task();
        } catch (...) {
          failure = std::current_exception();
        }
        {
          std::lock_guard lock(done->mutex);
          done->failure = failure;
          done->done = true;
        }
        done->signal.notify_all();
        // Wakes the loop below, which may be waiting for an event.
        if (events) QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
      });
    }
    state_->wake.notify_one();
    const auto finished = [&] {
      std::lock_guard lock(done->mutex);
      return done->done;
    };
    if (events) {
      while (!finished()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } else {
      std::unique_lock lock(done->mutex);
      done->signal.wait(lock, [&] { return done->done; });
    }
    if (done->failure) std::rethrow_exception(done->failure);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stop = false;
  };
  static void Loop(State& state) {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(state.mutex);
        state.wake.wait(lock, [&] { return state.stop || !state.tasks.empty(); });
        if (state.tasks.empty()) return;
        task = std::move(state.tasks.front());
        state.tasks.pop_front();
      }
      task();
    }
  }
  std::shared_ptr<State> state_;
  std::thread thread_;
  std::thread::id id_;
};

// One ODBC handle, freed when the last owner lets go. A statement keeps its
// connection alive; a connection keeps the environment alive.
struct Handles {
  SQLSMALLINT type = 0;
  SQLHANDLE handle = SQL_NULL_HANDLE;
  bool connected = false;
  std::shared_ptr<Handles> parent;
  std::vector<std::weak_ptr<Handles>> children;
  std::shared_ptr<Worker> worker;  // where the driver is called, if not here
  // The driver calls under way on a connection and its statements, and the
  // thread the latest runs on (a connection's watch for stalls reads them);
  // null for the environment.
  struct Calls {
    std::atomic<int> count{0};
    std::atomic<pid_t> thread{0};
  };
  std::shared_ptr<Calls> calls;

  Handles(SQLSMALLINT t, std::shared_ptr<Handles> p) : type(t), parent(std::move(p)) {
    if (parent) {
      worker = parent->worker;
      calls = parent->calls;
    }
  }
  void Adopt(const std::shared_ptr<Handles>& child) {
    if (children.size() >= 16) std::erase_if(children, [](const auto& w) { return w.expired(); });
    children.push_back(child);
  }
  ~Handles() { Free(); }
  // Runs driver calls where this handle's calls belong.
  void Call(const std::function<void()>& task) {
    struct UnderWay {
      Calls* calls;
      explicit UnderWay(Calls* c) : calls(c) {
        if (calls) ++calls->count;
      }
      ~UnderWay() {
        if (calls) --calls->count;
      }
    } underWay(calls.get());
    const auto here = [&] {
      if (calls) calls->thread = pid_t(::gettid());
      task();
    };
    if (worker) worker->Call(here);
    else here();
  }
  void Free() {
    Call([this] { FreeHere(); });
  }

 private:
  void FreeHere() {
    for (auto& weak : children) {
      if (auto child = weak.lock()) child->FreeHere();
    }
    children.clear();
    if (handle == SQL_NULL_HANDLE) return;
    if (type == SQL_HANDLE_DBC && connected) SQLDisconnect(handle);
    connected = false;
    SQLFreeHandle(type, handle);
    handle = SQL_NULL_HANDLE;
  }
};

namespace Driver {

// Text to and from the driver. Its wide-character functions misread text
// handed to them with a length (a unit whose low byte is 0xD8-0xDB is taken
// for the first half of a surrogate pair, and the driver reads past the end),
// and its connect reads the connection string up to a terminating NUL
// whatever length it is given. So every text goes through the narrow
// functions as NUL-terminated UTF-8 on a connection pinned to utf8mb4, and
// comes back as the same bytes. Nothing else in the program hands text to
// the driver.
// UTF-8 of its own size: a statement of many megabytes is not held at
// three bytes a character on its way to the driver.
QByteArray Utf8Exact(const QString& text);
struct DriverText {
  explicit DriverText(const QString& text) : bytes(Utf8Exact(text)) {}
  // QByteArray keeps a NUL after its last byte, so the driver may read to it.
  SQLCHAR* data() { return reinterpret_cast<SQLCHAR*>(bytes.data()); }
  SQLINTEGER size() const { return SQLINTEGER(bytes.size()); }
  QByteArray bytes;
};

QString FromDriverText(const SQLCHAR* text, qsizetype length);
QString DiagnosticText(SQLSMALLINT type, SQLHANDLE handle, QString* state, SQLINTEGER* nativeError = nullptr);
void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle);
[[noreturn]] void ClosedObject();
bool IsUtf8(const char* data, qsizetype length);
std::shared_ptr<Handles> Environment();
std::shared_ptr<Handles> AllocateStatement(const std::shared_ptr<Handles>& dbc, int commandTimeout);
bool IsTextType(SQLSMALLINT t);
bool IsBinaryType(SQLSMALLINT t);
bool IsIntegerType(SQLSMALLINT t);
bool IsRawType(SQLSMALLINT t);
QString TypeName(SQLHANDLE stmt, SQLUSMALLINT column);
QVariant ReadValue(SQLHANDLE stmt, SQLUSMALLINT column, const Field& field);
[[noreturn]] void ConnectFailed(SQLHANDLE dbc);

// Runs a call that may wait long on the network (opening a connection) on a
// thread of its own while this thread's events go on, so the windows repaint
// and can be closed. Off the application's thread it simply runs the call.
template <typename Call>
SQLRETURN WhileEventsRun(Call call) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) return call();
  std::atomic<bool> done = false;
  SQLRETURN rc = SQL_ERROR;
  std::thread worker([&] {
    rc = call();
    done = true;
    // Wakes the loop below, which may be waiting for an event.
    QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  worker.join();
  return rc;
}

// Reads a whole character or binary column in chunks, never truncating it.
// Returns false for the database null.
template <typename Append>
bool ReadChunks(SQLHANDLE stmt, SQLUSMALLINT column, SQLSMALLINT cType, size_t unitSize, Append append) {
  char buffer[16384];
  const size_t terminator = cType == SQL_C_BINARY ? 0 : unitSize;
  bool any = false;
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(stmt, column, cType, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) return any;
    Check(rc, SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return false;
    any = true;
    const size_t room = sizeof buffer - terminator;
    if (indicator == SQL_NO_TOTAL || size_t(indicator) > room) {
      append(buffer, room / unitSize);
      if (rc == SQL_SUCCESS) return true;  // a driver that does not report truncation
    } else {
      append(buffer, size_t(indicator) / unitSize);
      return true;
    }
  }
}

}  // namespace Driver
}  // namespace ADODB
