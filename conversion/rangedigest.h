// A group's range of rows, vouched for at once. Under the range's locks, one
// digest of every row the run read between the group's first and last (each
// one's key, then each field's length and bytes) tells that none of them
// changed since, and that no row came in among them; one statement can then
// write the range, leaving the rows it must, and nothing else is read back.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "conversion/way.h"
#include "database/rowkey.h"

namespace Conversion {

// A row in the digest's text: its key, then each field's length (-1: NULL)
// and bytes. A row of one field that changes adds its old bytes.
void AppendRow(QByteArray& text, const Pair& row);

// The server's digest of the same text over the rows of `scope`, which it
// reads with their locks, in the key's order. (Should the server choose
// another order, the digests differ, and the rows go the slower way.)
QString RangeDigestRead(const QString& table, const MySQL::RowIdentity& identity, const QStringList& fields,
                        const QString& scope);

struct RangeDigest {
  QString expected;    // none: a row of the range was not kept, and the range cannot be vouched for
  qint64 room = 0;     // the digest's text
  QStringList within;  // the range's rows the statement must leave
};

// A group of one field: `rows` are those the server's function writes,
// `joined` those that go by the join, and `passing` those that change
// nothing (Pair::leaves: whether the function leaves them too).
RangeDigest OneFieldRange(const std::vector<Pair>& rows, const std::vector<Pair>& joined,
                          const std::vector<Pair>& passing);

}  // namespace Conversion
