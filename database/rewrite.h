// The conversion run's statements: the query that reads the field, and the
// statement that rewrites one record's value on the server. Values travel
// as hex literals and names between doubled grave accents, so nothing a
// value or a name holds can end a literal or a statement early.
#pragma once

#include <QString>
#include <utility>
#include <vector>

#include "database/rowkey.h"

namespace Rewrite {

// The query that reads the field, then, where the table has a usable key,
// each row's key: as its values where each key column has a literal form
// (the smaller), else as the condition that finds the row again.
QString FieldQuery(const QString& table, const QString& field, const MySQL::RowIdentity& identity = {});
// The condition that finds a row again, from the key as FieldQuery reads it.
QString KeyCondition(const MySQL::RowIdentity& identity, const QString& key);

// The number of characters (code points) of a text, as the server counts them.
qsizetype CharacterCount(const QString& text);

// The statement for one record found by its key: it changes that row only,
// and only while the row still holds exactly the old text.
QString KeyedStatement(const QString& table, const QString& field, const QString& keyCondition,
                       const QString& oldText, const QString& newText);

// The statement for the rows whose whole value is the old text: the text
// is replaced only where it stands whole, so one value is never replaced
// inside another. REPLACE compares exactly; the length test keeps rows that
// merely compare equal under the column's collation (trailing spaces,
// ignorable characters) for their own records.
QString ValueStatement(const QString& table, const QString& field, const QString& oldText, const QString& newText);

// A value too large to stand in its statement twice: its statements test
// it by length and digest and set the new text whole.
bool IsLarge(const QString& text);
QString LargeValueStatement(const QString& table, const QString& field, const QString& condition,
                            const QString& oldText, const QString& newText);

// Many records found by key together as one join, where one statement
// per record would cost a round of the driver's and the server's own work
// each: the pairs of a group go into a temporary table of the session's
// (an insert of its own, outside the batch), and one statement joins the
// rows against them by key. Only for keys whose values have literals
// (RowIdentity::keyValues).
QString KeysTable(const QString& table, const MySQL::RowIdentity& identity);
// The run's own temporary tables (nv_keys, nv_pairs) would hide a table of
// the same name from its session: such a table gets no join.
bool NamedLikeOwnTables(const QString& table);
struct Pair {
  QString keyValues;
  QString oldText, newText;
};
QString GroupInsert(int group, const std::vector<Pair>& rows);
// The statement that changes a group's rows, each only while it holds
// exactly its old text.
QString GroupStatement(const QString& table, const QString& field, const MySQL::RowIdentity& identity, int group);
// Empties the table once every group sent has been answered.
QString GroupsDone();

// Makes the run's session refuse a value that does not fit, never cut or
// blank it, whatever the server's sql_mode says; and reads backslash
// escapes as escapes.
QString SessionModeStatement(const QString& currentMode);

}  // namespace Rewrite
