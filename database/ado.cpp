#include "database/ado.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <mutex>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16 SQLWCHAR");

namespace ADODB {

// One ODBC handle, freed when the last owner lets go. A statement keeps its
// connection alive; a connection keeps the environment alive.
struct Handles {
  SQLSMALLINT type = 0;
  SQLHANDLE handle = SQL_NULL_HANDLE;
  bool connected = false;
  std::shared_ptr<Handles> parent;
  std::vector<std::weak_ptr<Handles>> children;

  Handles(SQLSMALLINT t, std::shared_ptr<Handles> p) : type(t), parent(std::move(p)) {}
  void Adopt(const std::shared_ptr<Handles>& child) {
    if (children.size() >= 16) std::erase_if(children, [](const auto& w) { return w.expired(); });
    children.push_back(child);
  }
  ~Handles() { Free(); }
  void Free() {
    for (auto& weak : children) {
      if (auto child = weak.lock()) child->Free();
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

const SQLWCHAR* W(const QString& s) { return reinterpret_cast<const SQLWCHAR*>(s.utf16()); }

QString DiagnosticText(SQLSMALLINT type, SQLHANDLE handle, QString* state) {
  SQLWCHAR sqlState[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  std::vector<SQLWCHAR> message(1024);
  SQLRETURN rc = SQLGetDiagRecW(type, handle, 1, sqlState, &native, message.data(),
                                SQLSMALLINT(message.size()), &length);
  if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(message.size())) {
    message.resize(size_t(length) + 1);
    rc = SQLGetDiagRecW(type, handle, 1, sqlState, &native, message.data(),
                        SQLSMALLINT(message.size()), &length);
  }
  if (!SQL_SUCCEEDED(rc)) return QStringLiteral("Unknown database error");
  if (state) *state = QString::fromUtf16(reinterpret_cast<const char16_t*>(sqlState), 5);
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(message.data()),
                            std::min<qsizetype>(length, qsizetype(message.size()) - 1));
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  QString state;
  const QString text = DiagnosticText(type, handle, &state);
  throw Error(text, state);
}

[[noreturn]] void ClosedObject() {
  throw Error(QStringLiteral("Operation is not allowed when the object is closed."));
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
  Check(SQLSetStmtAttrW(stmt->handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(commandTimeout)), 0),
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

// The server's name of a column's type, in lower case ("bit", "varbinary").
QString TypeName(SQLHANDLE stmt, SQLUSMALLINT column) {
  SQLWCHAR name[64] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLColAttributeW(stmt, column, SQL_DESC_TYPE_NAME, name, sizeof name, &length, nullptr)))
    return QString();
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(name),
                            std::min<qsizetype>(length / qsizetype(sizeof(SQLWCHAR)), qsizetype(std::size(name)) - 1))
      .toLower();
}

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
  if (IsBinaryType(t)) {
    QByteArray bytes;
    if (!ReadChunks(stmt, column, SQL_C_BINARY, 1, [&](const char* p, size_t n) { bytes.append(p, qsizetype(n)); }))
      return QVariant();
    return bytes;
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
  if (IsTextType(t)) {
    // Text is read as the connection's utf8mb4 bytes: the driver's wide
    // conversion stops at a NUL character inside a value.
    QByteArray bytes;
    if (!ReadChunks(stmt, column, SQL_C_BINARY, 1, [&](const char* p, size_t n) { bytes.append(p, qsizetype(n)); }))
      return QVariant();
    return QString::fromUtf8(bytes);
  }
  QString text;
  if (!ReadChunks(stmt, column, SQL_C_WCHAR, sizeof(SQLWCHAR), [&](const char* p, size_t n) {
        text.append(QStringView(reinterpret_cast<const char16_t*>(p), qsizetype(n)));
      }))
    return QVariant();
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

}  // namespace

// ---------------------------------------------------------------- Connection

Connection::Connection() = default;
Connection::~Connection() = default;

bool Connection::IsOpen() const { return handles_ && handles_->connected; }

void Connection::Open(const QString& connectionString) {
  if (IsOpen()) throw Error(QStringLiteral("Operation is not allowed when the object is open."));
  auto env = Environment();
  auto dbc = std::make_shared<Handles>(SQL_HANDLE_DBC, env);
  Check(SQLAllocHandle(SQL_HANDLE_DBC, env->handle, &dbc->handle), SQL_HANDLE_ENV, env->handle);
  Check(SQLSetConnectAttrW(dbc->handle, SQL_ATTR_LOGIN_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(SQLULEN(ConnectionTimeout)), 0),
        SQL_HANDLE_DBC, dbc->handle);
  if (Mode == adModeReadWrite || Mode == adModeWrite || Mode == adModeRead) {
    const SQLULEN access = Mode == adModeRead ? SQL_MODE_READ_ONLY : SQL_MODE_READ_WRITE;
    Check(SQLSetConnectAttrW(dbc->handle, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(access), 0),
          SQL_HANDLE_DBC, dbc->handle);
  }
  SQLWCHAR out[1024];
  SQLSMALLINT outLength = 0;
  Check(SQLDriverConnectW(dbc->handle, nullptr, const_cast<SQLWCHAR*>(W(connectionString)),
                          SQLSMALLINT(connectionString.size()), out, SQLSMALLINT(std::size(out)), &outLength,
                          SQL_DRIVER_NOPROMPT),
        SQL_HANDLE_DBC, dbc->handle);
  dbc->connected = true;
  handles_ = std::move(dbc);
}

void Connection::Close() {
  if (!IsOpen()) ClosedObject();
  handles_->Free();
  handles_.reset();
}

std::unique_ptr<RecordSet> Connection::Execute(const QString& statement) {
  if (!IsOpen()) ClosedObject();
  auto stmt = AllocateStatement(handles_, CommandTimeout);
  Check(SQLExecDirectW(stmt->handle, const_cast<SQLWCHAR*>(W(statement)), SQLINTEGER(statement.size())),
        SQL_HANDLE_STMT, stmt->handle);
  SQLSMALLINT columns = 0;
  Check(SQLNumResultCols(stmt->handle, &columns), SQL_HANDLE_STMT, stmt->handle);
  if (columns == 0) return nullptr;
  auto rs = std::make_unique<RecordSet>();
  rs->Attach(std::move(stmt), CursorLocation == adUseClient);
  rs->LoadRows();
  return rs;
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
  open_ = true;
  eof_ = false;
  cells_.clear();
  position_ = 0;
}

void RecordSet::Detach() {
  statement_.reset();
  open_ = false;
  cells_.clear();
  eof_ = true;
}

void RecordSet::ReadColumns() {
  SQLHANDLE stmt = statement_->handle;
  SQLSMALLINT columns = 0;
  Check(SQLNumResultCols(stmt, &columns), SQL_HANDLE_STMT, stmt);
  fields_.clear();
  for (SQLUSMALLINT i = 1; i <= SQLUSMALLINT(columns); ++i) {
    SQLWCHAR name[512];
    SQLSMALLINT nameLength = 0, dataType = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    Check(SQLDescribeColW(stmt, i, name, SQLSMALLINT(std::size(name)), &nameLength, &dataType, &size, &digits,
                          &nullable),
          SQL_HANDLE_STMT, stmt);
    SQLLEN isUnsigned = SQL_FALSE;
    SQLColAttributeW(stmt, i, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned);
    Field f;
    f.Name = QString::fromUtf16(reinterpret_cast<const char16_t*>(name),
                                std::min<qsizetype>(nameLength, qsizetype(std::size(name)) - 1));
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
  for (size_t i = 0; i < fields_.size(); ++i) cells_.push_back(ReadValue(stmt, SQLUSMALLINT(i + 1), fields_[i]));
  return true;
}

std::shared_ptr<Handles> RecordSet::NewStatement(Connection& connection) {
  if (open_) throw Error(QStringLiteral("Operation is not allowed when the object is open."));
  if (!connection.IsOpen()) ClosedObject();
  return AllocateStatement(connection.handles_, connection.CommandTimeout);
}

void RecordSet::LoadRows() {
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
      cells_.shrink_to_fit();
    }
    eof_ = clientCursor_ ? RowCount() == 0 : !FetchRow();
  } catch (...) {
    Detach();
    throw;
  }
}

void RecordSet::Open(const QString& source, Connection& activeConnection, int /*cursorType*/, int /*lockType*/) {
  auto stmt = NewStatement(activeConnection);
  SQLHANDLE h = stmt->handle;
  if (MaxRecords > 0) {
    Check(SQLSetStmtAttrW(h, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(SQLULEN(MaxRecords)), 0),
          SQL_HANDLE_STMT, h);
  }
  Check(SQLExecDirectW(h, const_cast<SQLWCHAR*>(W(source)), SQLINTEGER(source.size())), SQL_HANDLE_STMT, h);
  Attach(std::move(stmt), activeConnection.CursorLocation == adUseClient);
  LoadRows();
}

void RecordSet::OpenFieldsOnly(const QString& source, Connection& activeConnection) {
  auto stmt = NewStatement(activeConnection);
  SQLHANDLE h = stmt->handle;
  // Preparing makes the server describe the result without producing it.
  Check(SQLPrepareW(h, const_cast<SQLWCHAR*>(W(source)), SQLINTEGER(source.size())), SQL_HANDLE_STMT, h);
  Attach(std::move(stmt), false);
  try {
    ReadColumns();
  } catch (...) {
    Detach();
    throw;
  }
  eof_ = true;
}

long RecordSet::RecordCount() const {
  RequireOpen();
  return clientCursor_ ? long(RowCount()) : -1;
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
  } else {
    cells_.clear();
    eof_ = !FetchRow();
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
  const size_t row = clientCursor_ ? position_ : 0;
  return cells_[row * fields_.size() + size_t(index)];
}

void RecordSet::Close() {
  RequireOpen();
  Detach();
  fields_.clear();
}

}  // namespace ADODB
