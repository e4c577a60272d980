// How a table's rows are told apart, learnt from the server, and the
// literals and tests that find a row and its exact value again.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "database/ado.h"

namespace MySQL {

struct RowIdentity {
  QStringList columns;    // the key's columns; empty when no key will do
  QString keyExpression;  // an SQL expression giving a row's key as a condition on those columns
  QString charset;        // the field's character set, empty for bytes
  QString keyless;        // why the rows cannot be told apart, when they cannot
  QString unwritable;     // why the field cannot take converted values (generated, JSON), when it cannot
  bool fieldIndexed = false;  // an index starts with the field: rows are found by value fast
  bool transactional = false;  // the table takes changes back (InnoDB)
  qint64 fieldOctets = 0;       // the field's largest value in bytes (text columns), 0 when unknown
  qint64 averageRow = 0;        // the server's estimate of a row's bytes
  // An SQL expression giving a row's key values as literals, in the key's
  // column order separated by commas; empty when some column's type has no
  // such literal here.
  QString keyValues;
  QString keyName;          // the key's index, as SHOW INDEX names it
  // Its values' literals compare in the index's order (not ENUM or SET,
  // whose order is their list's): the rows can be read by ranges of it.
  bool keyOrdered = false;
  // The key is one column of an integer type: its literals are its digits,
  // which the column takes back as text too.
  bool integerKey = false;
  // The field's and the key's columns as the table declares them (type and
  // collation): a run continued reads the table its position was taken in.
  QString shape;
};

// The primary key, or else the first unique key whose columns are all NOT
// NULL and compare exactly (no FLOAT or DOUBLE); a key that holds the field
// itself will not do, since the run changes it. Read on the connection's
// current database. The keys' conditions hold TIMESTAMP values in UTC: read
// and use them on sessions whose time zone is UTC (SessionTimeZone).
RowIdentity ReadRowIdentity(ADODB::Connection& connection, const QString& table, const QString& field);

// The table's UPDATE triggers by name ("a, b"), empty for none: where there
// are any, a value may be stored otherwise than it was sent.
QString UpdateTriggers(ADODB::Connection& connection, const QString& table);

// A character set whose name MySQL 8.4 warns of wherever it appears (utf8
// and utf8mb3 are written as utf8mb4 instead).
bool DeprecatedOnMySql(const QString& charset);

// The session setting that keeps TIMESTAMP keys the same text both ways.
QString SessionTimeZone();

// A text as a literal that no content can end early: its UTF-8 bytes in
// hex, marked as utf8mb4 (_utf8mb4 0x6162).
QString TextLiteral(const QString& text);
// The exact bytes as a value of the character set: _utf8mb4 0x6162, or a
// plain 0x6162 without one (X'' when there are none).
QString ByteLiteral(const QByteArray& bytes, const QString& charset);
// The same literal without a character set, appended to `text`.
void AppendByteLiteral(QString& text, const QByteArray& bytes);
// A test that the field holds exactly these bytes in the character set
// (its own bytes when empty): byte for byte for small values, by length
// and SHA-256 for large ones so the statement stays small.
QString ExactTest(const QString& field, const QByteArray& bytes, const QString& charset = {});

}  // namespace MySQL
