#include "database/ado.h"

#include "database/driver.h"
#include "database/interrupt.h"
#include "database/stall.h"

namespace ADODB {

using namespace Driver;

// ---------------------------------------------------------------- Connection

Connection::Connection() = default;
Connection::~Connection() {
  watch_.reset();
  interruptWatch_.reset();
}

bool Connection::IsOpen() const { return handles_ && handles_->connected; }

QString Connection::DriverOptions() const {
  // Every connection is encrypted when the server offers TLS and plain when
  // it offers none, and the certificate is not checked: what MySQL's own
  // client does by default. FORCETLS=1 gives exactly that with this driver:
  // it asks for TLS and goes on in plain text by itself when the server's
  // greeting offers none (only SSLVERIFY=1 would refuse). So one attempt
  // suffices, and a server without TLS costs nothing more.
  QString options = PlainText ? QStringLiteral("CHARSET=utf8mb4;") : QStringLiteral("CHARSET=utf8mb4;FORCETLS=1;");
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
  dbc->calls = std::make_shared<Handles::Calls>();
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
  // The socket the driver opens, where it is to be watched.
  int socket = -1;
  const auto connect = [&] {
    const StallWatch::Sockets before = NetTimeout > 0 ? StallWatch::TcpSockets() : StallWatch::Sockets();
    const SQLRETURN done =
        SQLDriverConnect(dbc->handle, nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (NetTimeout > 0 && SQL_SUCCEEDED(done)) socket = StallWatch::NewSocket(before, StallWatch::TcpSockets());
    return done;
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
    // A Unix socket does not stall on a network: only TCP is watched.
    if (NetTimeout > 0 && socket >= 0)
      watch_ = std::make_unique<StallWatch>(socket, handles_->calls, id_, connectionString, PlainText, NetTimeout);
    if (Interruptible)
      interruptWatch_ =
          std::make_unique<InterruptWatch>(handles_->calls, interruptAllowed_, id_, connectionString, PlainText);
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
      "SELECT @@character_set_client, @@character_set_connection, @@character_set_results, VERSION(), "
      "CONNECTION_ID();");
  QStringList session;
  const auto read = [&] {
    session.clear();
    auto rows = Execute(ask);
    for (int i = 0; i < 5; ++i) session << (rows && !rows->Eof() ? rows->Value(i).toString() : QString());
    id_ = session.takeLast().toLongLong();
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
  watch_.reset();
  interruptWatch_.reset();
  handles_->Free();
  handles_.reset();
}

std::unique_ptr<RecordSet> Connection::Execute(const QString& statement) {
  if (!IsOpen()) ClosedObject();
  DriverText text(statement);
  std::unique_ptr<RecordSet> rs;
  try {
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
  } catch (const Error& e) {
    if (watch_ && watch_->Stalled()) throw Stalled(e);
    throw;
  }
  return rs;
}

Error Connection::Stalled(const Error& e) const {
  return Error(QStringLiteral("No byte moved between Norvale and the server for %1 seconds while the server was not "
                             "at work on the statement: the connection stalled and was given up (%2).")
                  .arg(watch_->Seconds())
                  .arg(QString::fromStdString(e.what())),
              e.sqlState, e.nativeError);
}

void Connection::ExecuteMany(const QString& statements,
                             const std::function<void(int index, RecordSet* rows)>& each) {
  if (!IsOpen()) ClosedObject();
  DriverText text(statements);
  try {
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
  } catch (const Error& e) {
    if (watch_ && watch_->Stalled()) throw Stalled(e);
    throw;
  }
}

void Connection::ExecuteArray(const QString& statement, const std::vector<bool>& binary,
                              const std::vector<QByteArray>& cells) {
  if (!IsOpen()) ClosedObject();
  const size_t columns = binary.size();
  const size_t rows = columns == 0 ? 0 : cells.size() / columns;
  if (rows == 0) return;
  // Each column's values lie one after another, each in a slot as wide as
  // the column's widest.
  std::vector<SQLLEN> widths(columns, 1);
  for (size_t i = 0; i < rows * columns; ++i)
    widths[i % columns] = std::max<SQLLEN>(widths[i % columns], SQLLEN(cells[i].size()));
  std::vector<std::vector<char>> values(columns);
  std::vector<std::vector<SQLLEN>> lengths(columns, std::vector<SQLLEN>(rows, 0));
  for (size_t c = 0; c < columns; ++c) {
    values[c].assign(size_t(widths[c]) * rows, 0);
    for (size_t r = 0; r < rows; ++r) {
      const QByteArray& cell = cells[r * columns + c];
      if (cell.isNull()) {
        lengths[c][r] = SQL_NULL_DATA;
        continue;
      }
      std::copy(cell.begin(), cell.end(), values[c].begin() + qsizetype(r) * widths[c]);
      lengths[c][r] = SQLLEN(cell.size());
    }
  }
  DriverText text(statement);
  std::vector<SQLUSMALLINT> status(rows, SQL_PARAM_UNUSED);
  SQLULEN processed = 0;
  try {
    handles_->Call([&] {
      auto stmt = AllocateStatement(handles_, CommandTimeout);
      SQLHANDLE h = stmt->handle;
      Check(SQLSetStmtAttr(h, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_PARAM_BIND_BY_COLUMN)), 0),
            SQL_HANDLE_STMT, h);
      Check(SQLSetStmtAttr(h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(rows)), 0), SQL_HANDLE_STMT, h);
      Check(SQLSetStmtAttr(h, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0), SQL_HANDLE_STMT, h);
      Check(SQLSetStmtAttr(h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0), SQL_HANDLE_STMT, h);
      Check(SQLPrepare(h, text.data(), text.size()), SQL_HANDLE_STMT, h);
      for (size_t c = 0; c < columns; ++c)
        Check(SQLBindParameter(h, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, binary[c] ? SQL_C_BINARY : SQL_C_CHAR,
                               binary[c] ? SQL_LONGVARBINARY : SQL_LONGVARCHAR, SQLULEN(widths[c]), 0,
                               values[c].data(), widths[c], lengths[c].data()),
              SQL_HANDLE_STMT, h);
      Check(SQLExecute(h), SQL_HANDLE_STMT, h);
    });
  } catch (const Error& e) {
    if (watch_ && watch_->Stalled()) throw Stalled(e);
    throw;
  }
  // Every row must have gone: a driver that took fewer says so here.
  const bool all = processed == rows && std::all_of(status.begin(), status.end(), [](SQLUSMALLINT s) {
                     return s == SQL_PARAM_SUCCESS || s == SQL_PARAM_SUCCESS_WITH_INFO;
                   });
  if (!all)
    throw Error(QStringLiteral("The server took %1 of %2 rows of an array of parameters.").arg(processed).arg(rows));
}

}  // namespace ADODB
