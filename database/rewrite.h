// The conversion run's statements: the query that reads the field, and the
// statement that rewrites one record's value on the server. Values travel
// as hex literals and names between doubled grave accents, so nothing a
// value or a name holds can end a literal or a statement early.
#pragma once

#include <QString>
#include <optional>
#include <QStringList>
#include <utility>
#include <vector>

#include "database/batch.h"
#include "database/rowkey.h"

namespace Rewrite {

// The query that reads the field, then, where the table has a usable key,
// each row's key: as its values where each key column has a literal form
// (the smaller), else as the condition that finds the row again; then, when
// `stored`, the field's stored bytes (ColumnBytes::ReadsStored).
// Its columns; with `bytesOnly` the field's stored bytes stand first, and
// alone (ColumnBytes::LearnBytes).
QStringList FieldColumns(const QString& field, const MySQL::RowIdentity& identity, bool stored,
                         bool bytesOnly = false);
QString FieldQuery(const QString& table, const QString& field, const MySQL::RowIdentity& identity = {},
                   bool stored = false, const QString& where = {});

// The user's condition in brackets, with a line break before the closing
// one: nothing in it can reach past its own line into what follows.
QString Bracketed(const QString& condition);

// How a session's sql_mode reads quotes: with ANSI_QUOTES "…" is a name,
// not a text; with NO_BACKSLASH_ESCAPES a backslash escapes nothing.
struct Quoting {
  bool ansiQuotes = false;
  bool noBackslashEscapes = false;
};
Quoting QuotingOf(const QString& sqlMode);

// Why a condition the user gave is not one SQL expression that can stand
// in `WHERE (…)`, read as a session with `quoting` reads it: a statement
// separator, a comment, a quote left open, or brackets that do not pair.
// Nothing where it can.
std::optional<QString> ConditionFault(const QString& where, Quoting quoting = {});
// The same for a session that reads by `session` on a server whose own
// sql_mode reads by `server`: the condition must be one expression both
// ways, with the same quoted texts and names, so that what the user wrote
// for the server means the same in the run.
std::optional<QString> ConditionFault(const QString& where, Quoting session, Quoting server);
// The key's values' literals, one a column, from the key as FieldQuery
// reads them; raises where they are not one a column.
QStringList KeyLiterals(const MySQL::RowIdentity& identity, const QString& key);
// The condition that finds a row again, from the key as FieldQuery reads it.
QString KeyCondition(const MySQL::RowIdentity& identity, const QString& key);

// Values are the column's own bytes (ColumnBytes), written as plain hex,
// which the server stores in the column as they are, and found by the bytes
// the row holds: no conversion and no collation stands between what was
// read and what is compared or written, and no character set is named.

// The statement for one record found by its key: it changes that row only,
// and only while the row still holds exactly the old bytes.
// A new value that GoesAhead is not written into the statement: the
// statement names the session variable AheadName(tag), which the sender
// fills first (Ahead).
QString KeyedStatement(const QString& table, const QString& field, const QString& keyCondition,
                       const QByteArray& oldBytes, const QByteArray& newBytes, const QString& where = {},
                       int tag = -1);

// The statement for the rows whose whole value is exactly the old bytes.
// The comparison with them as a literal of the column's character set
// `charset`, in its collation, lets an index on the field find them; the
// byte test keeps rows that merely compare equal there (case, trailing
// spaces, ignorable characters) for their own records.
QString ValueStatement(const QString& table, const QString& field, const QByteArray& oldBytes,
                       const QByteArray& newBytes, const QString& charset, const QString& where = {},
                       int tag = -1);

// A value too large to stand in its statement twice: its statements test
// it by length and digest.
bool IsLarge(const QByteArray& bytes);
// A large new value goes to the server ahead of its statement, in pieces,
// so that neither the statement nor its batch holds it as hex text: the
// value of the statement tagged `tag`, for Sender::Add; empty for a value
// that stands in its statement.
Batch::Ahead Ahead(int tag, const QByteArray& newBytes);

// The key's columns, each quoted, separated by commas.
QString KeyColumns(const MySQL::RowIdentity& identity);
// A key's literal that is a plain whole number: digits, a minus at most.
bool WholeNumber(const QString& literal);

// Many records found by key together as one join, where one statement
// per record would cost a round of the driver's and the server's own work
// each: the pairs of a group go into a temporary table of the session's
// (an insert of its own, outside the batch), and one statement joins the
// rows against them by key. Only for keys whose values have literals
// (RowIdentity::keyValues). `keyed`: the pairs are found by the table's
// key (else by their place in the group).
QString KeysTable(const QString& table, const MySQL::RowIdentity& identity, bool keyed);
// The rows of a one-column key from `first` to `last`, as a group's join
// reads them (`table`.`key` BETWEEN first AND last).
QString KeyRange(const QString& table, const MySQL::RowIdentity& identity, const QString& first, const QString& last);
// The run's own temporary tables (nv_keys, nv_pairs, nv_rows) would hide a table of
// the same name from its session: such a table gets no join.
bool NamedLikeOwnTables(const QString& table);
// A run of several fields changes a row's fields together: each field of
// the row that changes, by its number among the run's fields.
struct Cell {
  int field = 0;
  QByteArray oldBytes, newBytes;
};
struct Pair {
  QString keyValues;
  QByteArray oldBytes, newBytes;
  std::vector<Cell> cells = {};  // a run of several fields: its row's changes, in place of the two values
};
// What a pair costs in its group's insert.
qsizetype PairBytes(const QString& keyValues, const QByteArray& oldBytes, const QByteArray& newBytes);
qsizetype PairBytes(const QString& keyValues, const std::vector<Cell>& cells);
// The pair table of a run of `fields` fields holds each field's two values.
QString KeysTable(const QString& table, const MySQL::RowIdentity& identity, int fields, bool keyed);
QString GroupInsert(int group, const MySQL::RowIdentity& identity, const std::vector<Pair>& rows, int fields = 1);
// The same insert as one array of parameters (ADODB::Connection::ExecuteArray):
// its statement, each column's kind and the rows' values, row after row.
struct GroupArray {
  QString statement;
  std::vector<bool> binary;
  std::vector<QByteArray> cells;
  bool Empty() const { return cells.empty(); }
};
// Made only where the key is one column of an integer type (a BIT column
// would take its digits as bytes) and the array stays near the pairs'
// own size (each column's slots are as wide as its widest value); else
// empty, and the insert goes as text.
// Whether `rows` rows whose columns are `widths` wide at most, `payload`
// bytes in all, go as an array: each column's slots are as wide as its
// widest value, so a few wide values among narrow ones go as text.
bool ArrayFits(const std::vector<qsizetype>& widths, qsizetype rows, qsizetype payload);
GroupArray MakeGroupArray(int group, const MySQL::RowIdentity& identity, const std::vector<Pair>& rows, int fields = 1);
// The statement that changes a group's rows, each only while it holds
// exactly its old bytes. `range` (KeyRange): the rows the group's keys
// span, where they are few more than its pairs and the pair table is keyed
// by the table's key: the join then reads the table first, by that range.
QString GroupStatement(const QString& table, const QString& field, const MySQL::RowIdentity& identity, int group,
                       const QString& range = {});
// The same for a run of several fields: a row takes its fields' new bytes
// only while each of them holds exactly its old ones, and a field the row's
// pair leaves out stays as it is. A row changes whole or not at all.
QString GroupStatement(const QString& table, const QStringList& fields, const MySQL::RowIdentity& identity, int group,
                       const QString& range = {});
// The statement for one row of a run of several fields, found by its key,
// each of its cells tested and written as GroupStatement's are. Its largest
// new value, where it is large, goes ahead of it (RowAhead).
QString RowStatement(const QString& table, const QStringList& fields, const QString& keyCondition,
                     const std::vector<Cell>& cells, const QString& where, int tag);
// Empties the table once every group sent has been answered.
// A row's key as a person reads it: `id`=7, or (`a`, `b`)=('x', 2). Text
// values written as hex in UTF-8 are shown as their text. `key` is the
// run's literals of the key's values, or already a condition.
QString ShownKey(const MySQL::RowIdentity& identity, const QString& key);

// A group's pair rows in the order they went in; and those of its pairs
// whose rows do not hold the new bytes, with what the row holds (NULL where
// it is gone). Read once the group has committed, before the next group
// empties the pair table.
QString GroupRows(int group);
QString GroupShortfall(const QString& table, const QString& field, const MySQL::RowIdentity& identity, int group);
// The same for a run of several fields: the pair rows of the group whose
// row does not hold every new value, with what each field holds (pair row,
// then each field's bytes, NULL where the row is gone).
QString GroupShortfall(const QString& table, const QStringList& fields, const MySQL::RowIdentity& identity, int group);
QString GroupsDone();

// A record's note, for the sender's hook (the undo journal): its position
// in the run, its row's key condition (empty without a key), and its bytes
// before and after, a character each. A statement standing for several
// records carries their notes one after the other.
Batch::Note RecordNote(qint64 record, const QString& key, const QByteArray& oldBytes, const QByteArray& newBytes);
// The note of a row of a run of several fields: a record of each cell.
Batch::Note RowNote(qint64 record, const QString& key, const std::vector<Cell>& cells);
// The value that goes ahead of a row's statement (RowStatement).
Batch::Ahead RowAhead(int tag, const std::vector<Cell>& cells);
// The same note for a record the journal holds already: sent again alone
// after its group was refused, or its value's part of the join at the end.
Batch::Note Journaled(Batch::Note note);

// Makes the run's session refuse a value that does not fit, never cut or
// blank it, whatever the server's sql_mode says; reads backslash escapes
// as escapes and "…" as a text, as the condition's guard reads them.
// `strict` false leaves the first alone (a session that only reads).
QString SessionModeStatement(const QString& currentMode, bool strict = true);

}  // namespace Rewrite
