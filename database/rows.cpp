#include "database/rows.h"

#include <algorithm>

#include "database/mysql.h"
#include "database/rewrite.h"

namespace Rewrite {
namespace {

// What one chunk may hold, and the rows it holds at most. A chunk of short
// values is a few thousand rows: a round trip per chunk costs nothing
// beside the statements that change them.
constexpr qint64 kChunkBytes = 4 << 20;
constexpr long kChunkRows = 5000;

qint64 Number(ADODB::Connection& connection, const QString& query) {
  auto row = connection.Execute(query);
  return row && !row->Eof() && !row->Value(0).isNull() ? row->Value(0).toLongLong() : 0;
}

QString AfterFrom(const QStringList& columns, const QStringList& values, qsizetype i) {
  const QString c = MySQL::QuoteName(columns[i]), v = values[i];
  if (i + 1 == columns.size()) return c + QStringLiteral(" > ") + v;
  return u'(' + c + QStringLiteral(" >= ") + v + QStringLiteral(" AND (") + c + QStringLiteral(" > ") + v +
         QStringLiteral(" OR ") + AfterFrom(columns, values, i + 1) + QStringLiteral("))");
}

}  // namespace

QString Rows::After(const MySQL::RowIdentity& identity, const QString& after) {
  // A text literal compares in the column's own collation, the index's order.
  return AfterFrom(identity.columns, KeyLiterals(identity, after), 0);
}

void Rows::Open(ADODB::Connection& connection, const QString& table, const QString& field,
                const MySQL::RowIdentity& identity, bool stored, const QString& where, const QString& after,
                bool bytesOnly) {
  connection_ = &connection;
  identity_ = identity;
  where_ = where;
  lastKey_ = after;
  lastRow_ = 0;
  const QStringList columns = FieldColumns(field, identity, stored, bytesOnly) + also_;
  const QString name = MySQL::QuoteName(table);
  // The first thousand values, for the first chunk's size and the
  // journal's estimate.
  largest_ = -1;
  average_ = -1;
  try {
    auto sample = connection.Execute(
        QStringLiteral("SELECT MAX(OCTET_LENGTH(%1)), AVG(OCTET_LENGTH(%1)) FROM (SELECT %1 FROM %2 LIMIT 1000) AS nv_sample")
            .arg(MySQL::QuoteName(field), name));
    if (sample && !sample->Eof()) {
      largest_ = sample->Value(0).toLongLong();  // 0 for an empty table or nulls
      if (!sample->Value(1).isNull())
        average_ = qint64(sample->Value(1).toDouble()) + 1;
    }
  } catch (const ADODB::Error&) {
    // The first chunk is one row, and the estimate comes from the table's
    // figures.
  }
  QString filter = where.isEmpty() ? QString() : Bracketed(where);
  if (!identity.columns.isEmpty() && !identity.keyValues.isEmpty() && identity.keyOrdered) {
    way_ = Way::ByKey;
    select_ = QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral(" FROM ") + name;
    if (!identity.keyName.isEmpty()) select_ += QStringLiteral(" FORCE INDEX (") + MySQL::QuoteName(identity.keyName) + u')';
    QStringList order;
    for (const QString& c : identity.columns) order << MySQL::QuoteName(c);
    order_ = QStringLiteral(" ORDER BY ") + order.join(QStringLiteral(", "));
    QStringList counted;
    if (!filter.isEmpty()) counted << filter;
    if (!after.isEmpty()) counted << After(identity, after);
    count_ = Number(connection, QStringLiteral("SELECT COUNT(*) FROM ") + name +
                                    (counted.isEmpty() ? QString() : QStringLiteral(" WHERE ") + counted.join(QStringLiteral(" AND "))));
  } else {
    way_ = Way::Whole;
    if (!NamedLikeOwnTables(table)) {
      // The rows wait on the server, numbered in the order it gives them.
      QStringList copied;
      for (qsizetype i = 0; i < columns.size(); ++i) copied << columns[i] + QStringLiteral(" AS nv_") + QString::number(i);
      try {
        connection.Execute(QStringLiteral("DROP TEMPORARY TABLE IF EXISTS nv_rows"));
        connection.Execute(QStringLiteral("CREATE TEMPORARY TABLE nv_rows (nv_row BIGINT NOT NULL AUTO_INCREMENT "
                                          "PRIMARY KEY) SELECT ") +
                           copied.join(QStringLiteral(", ")) + QStringLiteral(" FROM ") + name +
                           (filter.isEmpty() ? QString() : QStringLiteral(" WHERE ") + filter));
        way_ = Way::Copied;
      } catch (const ADODB::Error& e) {
        // A condition the server cannot read is the user's to hear of; no
        // right to make temporary tables leaves the driver's whole result.
        if (e.nativeError == 1064 || e.nativeError == 1054) throw;
      }
    }
    if (way_ == Way::Copied) {
      QStringList read;
      for (qsizetype i = 0; i < columns.size(); ++i) read << QStringLiteral("nv_") + QString::number(i);
      select_ = QStringLiteral("SELECT ") + read.join(QStringLiteral(", ")) + QStringLiteral(", nv_row FROM nv_rows");
      order_ = QStringLiteral(" ORDER BY nv_row");
      where_.clear();
      count_ = Number(connection, QStringLiteral("SELECT COUNT(*) FROM nv_rows"));
    } else {
      chunk_ = std::make_unique<ADODB::RecordSet>();
      chunk_->ReadOnce = true;
      chunk_->Open(QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral(" FROM ") + name +
                       (filter.isEmpty() ? QString() : QStringLiteral(" WHERE ") + filter),
                   connection, ADODB::adOpenStatic, ADODB::adLockOptimistic);
      count_ = chunk_->RecordCount();
      return;
    }
  }
  // The first chunk's size from the largest of the first values; the
  // next ones from the bytes the chunk before them took.
  limit_ = largest_ < 0 ? 1 : long(std::clamp<qint64>(kChunkBytes / (2 * largest_ + 256), 1, kChunkRows));
  Next();
}

void Rows::Next() {
  QStringList conditions;
  if (!where_.isEmpty()) conditions << Bracketed(where_);
  if (way_ == Way::ByKey && !lastKey_.isEmpty()) conditions << After(identity_, lastKey_);
  if (way_ == Way::Copied && lastRow_ > 0) conditions << QStringLiteral("nv_row > ") + QString::number(lastRow_);
  const QString query = select_ +
                        (conditions.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "))) +
                        order_ + QStringLiteral(" LIMIT ") + QString::number(limit_);
  const long asked = limit_;
  chunk_ = std::make_unique<ADODB::RecordSet>();
  chunk_->ReadOnce = true;
  chunk_->Open(query, *connection_, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  inChunk_ = 0;
  const long rows = chunk_->RecordCount();
  more_ = rows >= asked;
  // Grows at most twice a chunk; shrinks at once where values are large.
  if (rows > 0) {
    const qint64 perRow = std::max<qint64>(64, chunk_->BytesRead() / rows * 2);
    limit_ = long(std::clamp<qint64>(std::min<qint64>(kChunkBytes / perRow, 2 * qint64(limit_)), 1, kChunkRows));
  }
}

bool Rows::Eof() const { return !chunk_ || !chunk_->IsOpen() || chunk_->Eof(); }

QVariant Rows::Value(int index) const {
  if (!chunk_) throw ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed."));
  return chunk_->Value(index);
}

void Rows::MoveNext() {
  if (!chunk_) throw ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed."));
  if (way_ == Way::Whole || !more_ || ++inChunk_ < chunk_->RecordCount()) {
    chunk_->MoveNext();
    return;
  }
  // The chunk's last row: the next chunk starts after it.
  if (way_ == Way::ByKey) lastKey_ = chunk_->Value(1).toString();
  else lastRow_ = chunk_->Value(chunk_->FieldCount() - 1).toLongLong();
  try {
    Next();
  } catch (...) {
    if (chunk_ && chunk_->IsOpen()) chunk_->Close();
    throw;
  }
}

void Rows::Close() {
  if (chunk_ && chunk_->IsOpen()) chunk_->Close();
  chunk_.reset();
}

}  // namespace Rewrite
