#include "database/ado.h"

#include "database/driver.h"
#include "database/stall.h"

namespace ADODB {

using namespace Driver;

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
  bytesRead_ = 0;
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
    bytesRead_ += scratch_.size();
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
  try {
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
  } catch (const Error& e) {
    if (activeConnection.watch_ && activeConnection.watch_->Stalled()) throw activeConnection.Stalled(e);
    throw;
  }
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
