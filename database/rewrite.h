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
// each row's key as the condition that finds it again.
QString FieldQuery(const QString& table, const QString& field, const MySQL::RowIdentity& identity = {});

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

// Without a key or an index that leads with the field, each statement by
// value would read the whole table: the pairs of many values go instead
// into a temporary table, which the rows are joined against once.
QString PairsTable();
// The statements that put the pairs in the temporary table and change the
// rows whose whole value is exactly one of the old texts. One unit for the
// sender: it succeeds or fails as a whole.
QString JoinedStatement(const QString& table, const QString& field,
                        const std::vector<std::pair<QString, QString>>& pairs);

// Makes the run's session refuse a value that does not fit, never cut or
// blank it, whatever the server's sql_mode says; and reads backslash
// escapes as escapes.
QString SessionModeStatement(const QString& currentMode);

}  // namespace Rewrite
