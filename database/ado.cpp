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

  Handles(SQLSMALLINT t, std::shared_ptr<Handles> p) : type(t), parent(std::move(p)) {
    if (parent) worker = parent->worker;
  }
  void Adopt(const std::shared_ptr<Handles>& child) {
    if (children.size() >= 16) std::erase_if(children, [](const auto& w) { return w.expired(); });
    children.push_back(child);
  }
  ~Handles() { Free(); }
  // Runs driver calls where this handle's calls belong.
  void Call(const std::function<void()>& task) {
    if (worker) worker->Call(task);
    else task();
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

namespace {

// Text to and from the driver. Its wide-character functions misread text
// handed to them with a length (a unit whose low byte is 0xD8-0xDB is taken
// for the first half of a surrogate pair, and the driver reads past the end),
// and its connect reads the connection string up to a terminating NUL
// whatever length it is given. So every text goes through the narrow
// functions as NUL-terminated UTF-8 on a connection pinned to utf8mb4, and
// comes back as the same bytes. Nothing else in the program hands text to
// the driver.
struct DriverText {
  explicit DriverText(const QString& text) : bytes(text.toUtf8()) {}
  // QByteArray keeps a NUL after its last byte, so the driver may read to it.
  SQLCHAR* data() { return reinterpret_cast<SQLCHAR*>(bytes.data()); }
  SQLINTEGER size() const { return SQLINTEGER(bytes.size()); }
  QByteArray bytes;
};

QString FromDriverText(const SQLCHAR* text, qsizetype length) {
  return QString::fromUtf8(reinterpret_cast<const char*>(text), length);
}

QString DiagnosticText(SQLSMALLINT type, SQLHANDLE handle, QString* state, SQLINTEGER* nativeError = nullptr) {
  SQLCHAR sqlState[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  std::vector<SQLCHAR> message(2048);
  SQLRETURN rc = SQLGetDiagRec(type, handle, 1, sqlState, &native, message.data(), SQLSMALLINT(message.size()), &length);
  if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(message.size())) {
    message.resize(size_t(length) + 1);
    rc = SQLGetDiagRec(type, handle, 1, sqlState, &native, message.data(), SQLSMALLINT(message.size()), &length);
  }
  if (!SQL_SUCCEEDED(rc)) return QStringLiteral("Unknown database error");
  if (state) *state = QString::fromLatin1(reinterpret_cast<const char*>(sqlState), 5);
  if (nativeError) *nativeError = native;
  return FromDriverText(message.data(), std::min<qsizetype>(length, qsizetype(message.size()) - 1));
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  QString state;
  SQLINTEGER native = 0;
  const QString text = DiagnosticText(type, handle, &state, &native);
  throw Error(text, state, native);
}

[[noreturn]] void ClosedObject() {
  throw Error(QStringLiteral("Operation is not allowed when the object is closed."));
}

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

// Text the driver handed back is UTF-8 only where its bytes say so: bytes
// that are not (a column holding what its character set cannot, a session
// gone astray) stay bytes, never a text with U+FFFD that could be written
// back in place of the original.
bool IsUtf8(const char* data, qsizetype length) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = decoder.decode(QByteArrayView(data, length));
  return !decoder.hasError();
}

std::shared_ptr<Handles> Environment() {
  static std::shared_ptr<Handles> env;
  static std::once_flag once;
  std::call_once(once, [] {
    env = std::make_shared<Handles>(SQL_HANDLE_ENV, nullptr);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env->handle))) {
      env->handle = SQL_NULL_HANDLE;
      return;
    }
    SQLSetEnvAttr(env->handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  });
  if (!env || env->handle == SQL_NULL_HANDLE) throw Error(QStringLiteral("ODBC environment could not be created"));
  return env;
}

// A statement on the connection, owned by it, with the command timeout set.
std::shared_ptr<Handles> AllocateStatement(const std::shared_ptr<Handles>& dbc, int commandTimeout) {
  auto stmt = std::make_shared<Handles>(SQL_HANDLE_STMT, dbc);
  Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc->handle, &stmt->handle), SQL_HANDLE_DBC, dbc->handle);
  dbc->Adopt(stmt);
  Check(SQLSetStmtAttr(stmt->handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(commandTimeout)), 0),
        SQL_HANDLE_STMT, stmt->handle);
  return stmt;
}

bool IsTextType(SQLSMALLINT t) {
  return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR || t == SQL_WCHAR ||
         t == SQL_WVARCHAR || t == SQL_WLONGVARCHAR;
}
bool IsBinaryType(SQLSMALLINT t) { return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY; }
bool IsIntegerType(SQLSMALLINT t) {
  return t == SQL_TINYINT || t == SQL_SMALLINT || t == SQL_INTEGER || t == SQL_BIGINT;
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

// Text and bytes are kept as the bytes the server sent: text in the
// connection's utf8mb4, read as bytes since the driver's wide conversion
// stops at a NUL character inside a value.
bool IsRawType(SQLSMALLINT t) { return IsBinaryType(t) || IsTextType(t); }

// The server's name of a column's type, in lower case ("bit", "varbinary").
QString TypeName(SQLHANDLE stmt, SQLUSMALLINT column) {
  SQLCHAR name[64] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLColAttribute(stmt, column, SQL_DESC_TYPE_NAME, name, sizeof name, &length, nullptr)))
    return QString();
  return FromDriverText(name, std::min<qsizetype>(length, qsizetype(sizeof name) - 1)).toLower();
}

// A value of any other type, typed.
QVariant ReadValue(SQLHANDLE stmt, SQLUSMALLINT column, const Field& field) {
  const SQLSMALLINT t = SQLSMALLINT(field.sqlType);
  if (field.isBit) {
    // BIT is a number: its bytes, most significant first.
    QByteArray bytes;
    if (!ReadChunks(stmt, column, SQL_C_BINARY, 1, [&](const char* p, size_t n) { bytes.append(p, qsizetype(n)); }))
      return QVariant();
    qulonglong v = 0;
    for (const char byte : bytes) v = (v << 8) | uchar(byte);
    return QVariant::fromValue<qulonglong>(v);
  }
  if (IsIntegerType(t)) {
    SQLLEN indicator = 0;
    if (field.isUnsigned) {
      SQLUBIGINT v = 0;
      Check(SQLGetData(stmt, column, SQL_C_UBIGINT, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
      if (indicator == SQL_NULL_DATA) return QVariant();
      return QVariant::fromValue<qulonglong>(v);
    }
    SQLBIGINT v = 0;
    Check(SQLGetData(stmt, column, SQL_C_SBIGINT, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return QVariant();
    return QVariant::fromValue<qlonglong>(v);
  }
  if (t == SQL_REAL) {
    // Single precision stays single, so that its shortest form is its own.
    SQLLEN indicator = 0;
    float v = 0;
    Check(SQLGetData(stmt, column, SQL_C_FLOAT, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return QVariant();
    return v;
  }
  if (t == SQL_FLOAT || t == SQL_DOUBLE) {
    SQLLEN indicator = 0;
    double v = 0;
    Check(SQLGetData(stmt, column, SQL_C_DOUBLE, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return QVariant();
    return v;
  }
  QByteArray bytes;
  if (!ReadChunks(stmt, column, SQL_C_CHAR, 1, [&](const char* p, size_t n) { bytes.append(p, qsizetype(n)); }))
    return QVariant();
  const QString text = QString::fromUtf8(bytes);
  // Dates and times become typed values where that keeps every digit; the
  // server's own text stays otherwise (zero dates, microseconds).
  if (t == SQL_TYPE_DATE || t == SQL_DATE) {
    const QDate d = QDate::fromString(text, Qt::ISODate);
    if (d.isValid()) return d;
  } else if (t == SQL_TYPE_TIME || t == SQL_TIME) {
    const QTime tm = QTime::fromString(text, QStringLiteral("HH:mm:ss"));
    if (tm.isValid()) return tm;
  } else if (t == SQL_TYPE_TIMESTAMP || t == SQL_TIMESTAMP) {
    const QDateTime dt = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (dt.isValid()) return dt;
  }
  return text;
}

// A failed open, with a sentence in plain words before the driver's text
// where the encrypted connection was the cause, so that a user is not sent
// looking for a wrong password.
[[noreturn]] void ConnectFailed(SQLHANDLE dbc) {
  QString state;
  SQLINTEGER native = 0;
  const QString driverText = DiagnosticText(SQL_HANDLE_DBC, dbc, &state, &native);
  constexpr SQLINTEGER kTlsConnectionError = 2026;       // the client's handshake or setup failed
  constexpr SQLINTEGER kSecureTransportRequired = 3159;  // a MySQL server refusing plain text
  QString sentence;
  if (native == kTlsConnectionError)
    sentence = QStringLiteral("The encrypted (TLS) connection to the server could not be set up. ");
  else if (native == kSecureTransportRequired)
    sentence = QStringLiteral("The server accepts only encrypted (TLS) connections. ");
  throw Error(sentence + driverText, state, native);
}

}  // namespace

// ---------------------------------------------------------------- Connection

Connection::Connection() = default;
Connection::~Connection() = default;

bool Connection::IsOpen() const { return handles_ && handles_->connected; }

QString Connection::DriverOptions() const {
  // Every connection is encrypted when the server offers TLS and plain when
  // it offers none, and the certificate is not checked: what MySQL's own
  // client does by default. FORCETLS=1 gives exactly that with this driver:
  // it asks for TLS and goes on in plain text by itself when the server's
  // greeting offers none (only SSLVERIFY=1 would refuse). So one attempt
  // suffices, and a server without TLS costs nothing more.
  QString options = QStringLiteral("CHARSET=utf8mb4;FORCETLS=1;");
  if (ConnectionTimeout > 0) options += QStringLiteral("CONN_TIMEOUT=%1;").arg(ConnectionTimeout);
  if (CommandTimeout > 0) options += QStringLiteral("READ_TIMEOUT=%1;WRITE_TIMEOUT=%1;").arg(CommandTimeout);
  // The driver's option bit for several statements in one text.
  const int option = MultipleStatements ? 67108864 : 0;
  if (option != 0) options += QStringLiteral("OPTION=%1;").arg(option);
  return options;
}

void Connection::Open(const QString& connectionString) {
  if (IsOpen()) throw Error(QStringLiteral("Operation is not allowed when the object is open."));
  auto env = Environment();
  auto dbc = std::make_shared<Handles>(SQL_HANDLE_DBC, env);
  Check(SQLAllocHandle(SQL_HANDLE_DBC, env->handle, &dbc->handle), SQL_HANDLE_ENV, env->handle);
  Check(SQLSetConnectAttr(dbc->handle, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(ConnectionTimeout)),
                          0),
        SQL_HANDLE_DBC, dbc->handle);
  if (Mode == adModeReadWrite || Mode == adModeWrite || Mode == adModeRead) {
    const SQLULEN access = Mode == adModeRead ? SQL_MODE_READ_ONLY : SQL_MODE_READ_WRITE;
    Check(SQLSetConnectAttr(dbc->handle, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(access), 0),
          SQL_HANDLE_DBC, dbc->handle);
  }
  // The driver's own options come last, so they hold whatever the string
  // says: the text encoding, and the timeouts, which the driver applies
  // only through these options (its login-timeout attribute does not bound
  // the handshake).
  QString full = connectionString;
  if (!full.isEmpty() && !full.endsWith(u';')) full += u';';
  DriverText text(full + DriverOptions());
  SQLRETURN rc = SQL_ERROR;
  const auto connect = [&] {
    return SQLDriverConnect(dbc->handle, nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  };
  if (ResponsiveWaits) {
    dbc->worker = std::make_shared<Worker>();
    dbc->Call([&] {
      rc = connect();
      if (!SQL_SUCCEEDED(rc)) ConnectFailed(dbc->handle);
    });
  } else {
    rc = WhileEventsRun(connect);
    if (!SQL_SUCCEEDED(rc)) ConnectFailed(dbc->handle);
  }
  dbc->connected = true;
  handles_ = std::move(dbc);
  try {
    PinSessionText();
  } catch (...) {
    handles_->Free();
    handles_.reset();
    throw;
  }
}

void Connection::PinSessionText() {
  // The driver offers utf8mb4 when it logs in, but a server may put the
  // session on another character set after that (init_connect, or
  // skip-character-set-client-handshake with its own default). Text would
  // then travel in one encoding and be read in another, so the session is
  // set to utf8mb4 where it is not, and nothing is read or sent unless it
  // holds. The same round trip learns what the server is.
  const QString ask = QStringLiteral(
      "SELECT @@character_set_client, @@character_set_connection, @@character_set_results, VERSION();");
  QStringList session;
  const auto read = [&] {
    session.clear();
    auto rows = Execute(ask);
    for (int i = 0; i < 4; ++i) session << (rows && !rows->Eof() ? rows->Value(i).toString() : QString());
    version_ = session.takeLast();
  };
  const auto utf8mb4 = [&] {
    return std::all_of(session.begin(), session.end(), [](const QString& s) { return s == QLatin1String("utf8mb4"); });
  };
  read();
  if (utf8mb4()) return;
  Execute(QStringLiteral("SET character_set_client = utf8mb4, character_set_connection = utf8mb4, "
                         "character_set_results = utf8mb4;"));
  read();
  if (utf8mb4()) return;
  QString forced;
  for (const QString& s : session)
    if (s != QLatin1String("utf8mb4")) forced = s.isEmpty() ? QStringLiteral("none (NULL)") : s;
  throw Error(QStringLiteral("The server keeps this connection's character set at %1 and does not let Norvale set it "
                             "to utf8mb4 (character_set_client %2, character_set_connection %3, "
                             "character_set_results %4). Norvale reads and writes text only in utf8mb4, so it read "
                             "and sent nothing on this connection.")
                  .arg(forced, session.value(0), session.value(1), session.value(2)));
}


void Connection::Close() {
  if (!IsOpen()) ClosedObject();
  handles_->Free();
  handles_.reset();
}

std::unique_ptr<RecordSet> Connection::Execute(const QString& statement) {
  if (!IsOpen()) ClosedObject();
  DriverText text(statement);
  std::unique_ptr<RecordSet> rs;
  handles_->Call([&] {
    auto stmt = AllocateStatement(handles_, CommandTimeout);
    Check(SQLExecDirect(stmt->handle, text.data(), text.size()), SQL_HANDLE_STMT, stmt->handle);
    SQLSMALLINT columns = 0;
    Check(SQLNumResultCols(stmt->handle, &columns), SQL_HANDLE_STMT, stmt->handle);
    if (columns == 0) return;
    rs = std::make_unique<RecordSet>();
    rs->Attach(std::move(stmt), CursorLocation == adUseClient);
    rs->LoadRows();
  });
  return rs;
}

void Connection::ExecuteMany(const QString& statements,
                             const std::function<void(int index, RecordSet* rows)>& each) {
  if (!IsOpen()) ClosedObject();
  DriverText text(statements);
  handles_->Call([&] {
    auto stmt = AllocateStatement(handles_, CommandTimeout);
    SQLRETURN rc = SQLExecDirect(stmt->handle, text.data(), text.size());
    for (int index = 0;; ++index) {
      Check(rc, SQL_HANDLE_STMT, stmt->handle);
      SQLSMALLINT columns = 0;
      Check(SQLNumResultCols(stmt->handle, &columns), SQL_HANDLE_STMT, stmt->handle);
      if (columns > 0) {
        RecordSet rows;
        rows.Attach(stmt, true);
        rows.LoadRows(false);
        each(index, &rows);
      } else {
        each(index, nullptr);
      }
      rc = SQLMoreResults(stmt->handle);
      if (rc == SQL_NO_DATA) return;
    }
  });
}

// ----------------------------------------------------------------- RecordSet

RecordSet::RecordSet() = default;
RecordSet::~RecordSet() = default;

bool RecordSet::IsOpen() const { return open_ && statement_ && statement_->handle != SQL_NULL_HANDLE; }

void RecordSet::RequireOpen() const {
  if (!IsOpen()) ClosedObject();
}

void RecordSet::Attach(std::shared_ptr<Handles> statement, bool clientCursor) {
  statement_ = std::move(statement);
  clientCursor_ = clientCursor;
  readAhead_ = false;
  open_ = true;
  eof_ = false;
  ClearCells();
  position_ = 0;
}

void RecordSet::Detach() {
  statement_.reset();
  count_ = -1;
  readAhead_ = false;
  open_ = false;
  ClearCells();
  eof_ = true;
}

void RecordSet::ClearCells() {
  cells_.clear();
  blockStarts_.clear();
  blocks_.clear();
  typed_.clear();
}

void RecordSet::ReadCell(size_t column) {
  SQLHANDLE stmt = statement_->handle;
  const Field& field = fields_[column];
  const SQLUSMALLINT number = SQLUSMALLINT(column + 1);
  if (IsRawType(SQLSMALLINT(field.sqlType)) && !field.isBit) {
    scratch_.clear();
    const bool present = ReadChunks(stmt, number, SQL_C_BINARY, 1,
                                    [&](const char* p, size_t n) { scratch_.append(p, qsizetype(n)); });
    if (!present) {
      cells_.push_back({0, kNull});
      return;
    }
    if (scratch_.size() >= qsizetype(kNull)) throw Error(QStringLiteral("A value of 4 GB or more cannot be held."));
    // A value goes whole into the last block, or starts a new one, each
    // twice the size of the one before up to a bound; a value larger than
    // that gets a block of its own size.
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < scratch_.size()) {
      const qsizetype size = blocks_.empty() ? 64 * 1024 : std::min(kBlockBytes, 2 * blocks_.back().capacity());
      blocks_.emplace_back();
      blocks_.back().reserve(std::max(size, scratch_.size()));
      blockStarts_.push_back(cells_.size());
    }
    QByteArray& block = blocks_.back();
    cells_.push_back({quint32(block.size()), quint32(scratch_.size())});
    block.append(scratch_);
    return;
  }
  QVariant value = ReadValue(stmt, number, field);
  if (value.isNull()) {
    cells_.push_back({0, kNull});
    return;
  }
  cells_.push_back({quint32(typed_.size()), kTyped});
  typed_.push_back(std::move(value));
}

void RecordSet::ReadColumns() {
  SQLHANDLE stmt = statement_->handle;
  SQLSMALLINT columns = 0;
  Check(SQLNumResultCols(stmt, &columns), SQL_HANDLE_STMT, stmt);
  fields_.clear();
  for (SQLUSMALLINT i = 1; i <= SQLUSMALLINT(columns); ++i) {
    std::vector<SQLCHAR> name(1024);
    SQLSMALLINT nameLength = 0, dataType = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    Check(SQLDescribeCol(stmt, i, name.data(), SQLSMALLINT(name.size()), &nameLength, &dataType, &size, &digits,
                         &nullable),
          SQL_HANDLE_STMT, stmt);
    if (nameLength >= SQLSMALLINT(name.size())) {
      name.resize(size_t(nameLength) + 1);
      Check(SQLDescribeCol(stmt, i, name.data(), SQLSMALLINT(name.size()), &nameLength, &dataType, &size, &digits,
                           &nullable),
            SQL_HANDLE_STMT, stmt);
    }
    SQLLEN isUnsigned = SQL_FALSE;
    SQLColAttribute(stmt, i, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned);
    Field f;
    f.Name = FromDriverText(name.data(), std::min<qsizetype>(nameLength, qsizetype(name.size()) - 1));
    f.sqlType = dataType;
    f.isUnsigned = isUnsigned == SQL_TRUE;
    f.isBit = dataType == SQL_BIT || (IsBinaryType(dataType) && TypeName(stmt, i) == QLatin1String("bit"));
    fields_.push_back(std::move(f));
  }
}

bool RecordSet::FetchRow() {
  SQLHANDLE stmt = statement_->handle;
  const SQLRETURN rc = SQLFetch(stmt);
  if (rc == SQL_NO_DATA) return false;
  Check(rc, SQL_HANDLE_STMT, stmt);
  for (size_t i = 0; i < fields_.size(); ++i) ReadCell(i);
  return true;
}

std::shared_ptr<Handles> RecordSet::NewStatement(Connection& connection) {
  if (open_) throw Error(QStringLiteral("Operation is not allowed when the object is open."));
  if (!connection.IsOpen()) ClosedObject();
  return AllocateStatement(connection.handles_, connection.CommandTimeout);
}

void RecordSet::LoadRows(bool release) {
  try {
    ReadColumns();
    if (fields_.empty()) {
      eof_ = true;  // a statement without a result: no rows to read
      return;
    }
    if (clientCursor_) {
      // A client-side cursor holds the whole result: its count is exact.
      while (FetchRow()) {
      }
      if (!blocks_.empty()) blocks_.back().squeeze();
      // Everything is read: let the driver's copy of the result go, unless
      // more results of the same statements follow. (This driver holds a
      // whole result until then, whatever its options say.)
      if (release) SQLFreeStmt(statement_->handle, SQL_CLOSE);
    }
    if (readAhead_) ReadAhead();
    else eof_ = clientCursor_ ? RowCount() == 0 : !FetchRow();
  } catch (...) {
    Detach();
    throw;
  }
}

void RecordSet::ReadAhead() {
  ClearCells();
  position_ = 0;
  for (size_t n = 0; n < kRowsAhead && FetchRow(); ++n) {
  }
  eof_ = RowCount() == 0;
}

void RecordSet::Open(const QString& source, Connection& activeConnection, int /*cursorType*/, int /*lockType*/) {
  if (open_) throw Error(QStringLiteral("Operation is not allowed when the object is open."));
  if (!activeConnection.IsOpen()) ClosedObject();
  DriverText text(source);
  activeConnection.handles_->Call([&] {
    auto stmt = NewStatement(activeConnection);
    SQLHANDLE h = stmt->handle;
    if (MaxRecords > 0) {
      Check(SQLSetStmtAttr(h, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(SQLULEN(MaxRecords)), 0),
            SQL_HANDLE_STMT, h);
    }
    Check(SQLExecDirect(h, text.data(), text.size()), SQL_HANDLE_STMT, h);
    const bool readOnce = ReadOnce && activeConnection.CursorLocation == adUseClient;
    count_ = -1;
    if (readOnce) {
      SQLLEN rows = -1;
      Check(SQLRowCount(h, &rows), SQL_HANDLE_STMT, h);
      count_ = long(rows);
    }
    // A driver that cannot count the result first has it read whole.
    const bool ahead = readOnce && count_ >= 0;
    Attach(std::move(stmt), activeConnection.CursorLocation == adUseClient && !ahead);
    readAhead_ = ahead;
    LoadRows();
  });
}

void RecordSet::OpenFieldsOnly(const QString& source, Connection& activeConnection) {
  if (open_) throw Error(QStringLiteral("Operation is not allowed when the object is open."));
  if (!activeConnection.IsOpen()) ClosedObject();
  // Preparing makes the server describe the result without producing it.
  DriverText text(source);
  activeConnection.handles_->Call([&] {
    auto stmt = NewStatement(activeConnection);
    SQLHANDLE h = stmt->handle;
    Check(SQLPrepare(h, text.data(), text.size()), SQL_HANDLE_STMT, h);
    Attach(std::move(stmt), false);
    try {
      ReadColumns();
    } catch (...) {
      Detach();
      throw;
    }
  });
  eof_ = true;
}

long RecordSet::RecordCount() const {
  RequireOpen();
  return clientCursor_ ? long(RowCount()) : count_;
}

bool RecordSet::Eof() const {
  RequireOpen();
  return eof_;
}

void RecordSet::MoveNext() {
  RequireOpen();
  if (eof_) throw Error(QStringLiteral("Either BOF or EOF is True, or the current record has been deleted."));
  if (clientCursor_) {
    ++position_;
    eof_ = position_ >= RowCount();
  } else if (readAhead_) {
    if (++position_ < RowCount()) return;
    try {
      statement_->Call([&] { ReadAhead(); });
    } catch (...) {
      Detach();  // no row is half read
      throw;
    }
  } else {
    ClearCells();
    statement_->Call([&] { eof_ = !FetchRow(); });
  }
}

int RecordSet::FieldCount() const {
  RequireOpen();
  return int(fields_.size());
}

QString RecordSet::FieldName(int index) const {
  RequireOpen();
  if (index < 0 || size_t(index) >= fields_.size())
    throw Error(QStringLiteral("Item cannot be found in the collection corresponding to the requested name or ordinal."));
  return fields_[size_t(index)].Name;
}

QVariant RecordSet::Value(int index) const {
  RequireOpen();
  if (index < 0 || size_t(index) >= fields_.size())
    throw Error(QStringLiteral("Item cannot be found in the collection corresponding to the requested name or ordinal."));
  if (eof_) throw Error(QStringLiteral("Either BOF or EOF is True, or the current record has been deleted."));
  const size_t row = clientCursor_ || readAhead_ ? position_ : 0;
  const size_t at = row * fields_.size() + size_t(index);
  const Cell& cell = cells_[at];
  if (cell.length == kNull) return QVariant();
  if (cell.length == kTyped) return typed_[cell.offset];
  const size_t block = size_t(std::upper_bound(blockStarts_.begin(), blockStarts_.end(), at) - blockStarts_.begin()) - 1;
  const char* data = blocks_[block].constData() + cell.offset;
  if (IsBinaryType(SQLSMALLINT(fields_[size_t(index)].sqlType))) return QByteArray(data, qsizetype(cell.length));
  QString text = QString::fromUtf8(data, qsizetype(cell.length));
  if (text.contains(QChar::ReplacementCharacter) && !IsUtf8(data, qsizetype(cell.length)))
    return QByteArray(data, qsizetype(cell.length));
  return text;
}

void RecordSet::Close() {
  RequireOpen();
  Detach();
  fields_.clear();
}

}  // namespace ADODB
