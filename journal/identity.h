// How the journal tells a table's rows apart, learnt from the server, and the
// literals and tests it writes into its statements.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "database/ado.h"

namespace Journal {

struct RowIdentity {
  QStringList columns;    // the key's columns; empty when no key will do
  QString keyExpression;  // an SQL expression giving a row's key as a condition on those columns
  QString charset;        // the field's character set, empty for bytes
  QString keyless;        // why the rows cannot be told apart, when they cannot
};

// The primary key, or else the first unique key whose columns are all NOT
// NULL; a key that holds the field itself will not do, since the run
// changes it. Read on the connection's current database.
RowIdentity ReadRowIdentity(ADODB::Connection& connection, const QString& table, const QString& field);

// A text between apostrophes with backslash, apostrophe and NUL escaped.
QString TextLiteral(const QString& text);
// The exact bytes as a value of the character set: _utf8mb4 X'6162'.
QString ByteLiteral(const QByteArray& bytes, const QString& charset);
// A test that the field holds exactly these bytes: byte for byte for small
// values, by length and SHA-256 for large ones so the statement stays small.
QString ExactTest(const QString& field, const QByteArray& bytes);

}  // namespace Journal
