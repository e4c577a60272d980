// The run's rows, read a chunk at a time so that what the program holds
// does not grow with the table. Where the key's values have literals the
// chunks follow the key's index: each read is short, starts after the last
// key read, and holds no snapshot past its own statement, and rows inserted
// ahead of the reading point are read too. Otherwise the rows are copied
// once into a temporary table of the session's, numbered, and read from
// there by number; where the login may not make one, the result is read
// whole as the driver gives it.
#pragma once

#include <QString>
#include <QVariant>
#include <memory>

#include "database/ado.h"
#include "database/rowkey.h"

namespace Rewrite {

class Rows {
 public:
  enum class Way { ByKey, Copied, Whole };

  // The columns are those of FieldQuery: the field, the key, the stored
  // bytes. `after`: the key's literals (as the key column gives them) of the
  // last row of an earlier run; only the rows after it are read.
  void Open(ADODB::Connection& connection, const QString& table, const QString& field,
            const MySQL::RowIdentity& identity, bool stored, const QString& where, const QString& after = {},
            bool bytesOnly = false);
  Way Reading() const { return way_; }
  // Columns read after those of FieldQuery, from the next Open on: the other
  // fields of a run of several.
  void AlsoRead(const QStringList& columns) { also_ = columns; }
  // Copied: the session's table of the rows, and its column of the field.
  static QString CopyTable() { return QStringLiteral("nv_rows"); }
  static QString CopyField() { return QStringLiteral("nv_0"); }
  // The rows counted when the reading began; rows inserted ahead of the
  // reading point since are read too, and rows deleted are not.
  qint64 Count() const { return count_; }
  // The average bytes of the field's first thousand values, plus one; -1
  // where they could not be read.
  qint64 SampledAverage() const { return average_; }
  bool IsOpen() const { return chunk_ && chunk_->IsOpen(); }
  bool Eof() const;
  QVariant Value(int index) const;
  // The next row, reading the next chunk where this one is done. A failure
  // closes the rows: none is half read.
  void MoveNext();
  void Close();

  // The condition for the rows after `after` in the key's order: the
  // leading column's range first, so that every server's index finds it.
  static QString After(const MySQL::RowIdentity& identity, const QString& after);

 private:
  void Next();
  ADODB::Connection* connection_ = nullptr;
  std::unique_ptr<ADODB::RecordSet> chunk_;
  Way way_ = Way::Whole;
  MySQL::RowIdentity identity_;
  QString select_, where_, order_;
  QStringList also_;
  QString lastKey_;     // ByKey: the last row's key literals
  qint64 lastRow_ = 0;  // Copied: the last row's number
  long limit_ = 1000;   // rows in the next chunk
  long inChunk_ = 0;    // rows of this chunk read so far
  bool more_ = false;   // the chunk was full: rows may follow it
  qint64 count_ = 0;
  qint64 largest_ = -1, average_ = -1;  // of the first values read when opened; -1: not read
};

}  // namespace Rewrite
