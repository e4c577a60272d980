// A group's new values written into its own statement, each in the slot its
// row's key points at: UPDATE … SET f = ELT(key - first + 1, …). Where a
// group's keys are whole numbers close together, the server then changes
// its rows by one range of the key, as its own UPDATE does, and no pair
// table is filled or joined.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "database/rewrite.h"
#include "database/rowkey.h"

namespace Rewrite {

// The slots a group may span for each of its pairs: the keys of a group
// leave few gaps between them where rows were inserted in order.
constexpr qint64 kSlotsPerPair = 4;

// The statement that gives each of the group's rows of a run of one field
// its new bytes, only while the row holds exactly its old bytes. Empty
// where the key is not one integer column, a key is not a plain whole
// number well inside BIGINT, the keys spread over many more slots than
// the group has pairs, or the statement would be longer than `most`
// characters: the group then goes through the pair table. (A run
// of several fields fills the pair table: its statement would carry each
// field's two lists of slots, which cost the program more to write than
// the join costs the server.)
QString SlotStatement(const QString& table, const QString& field, const MySQL::RowIdentity& identity,
                      const std::vector<Pair>& pairs, qsizetype most);

// ELT(key - first + 1, …): each pair's new bytes in the slot its key points
// at, NULL in the slots between, for keys from `first` to `last`. Empty
// where a key is not a plain whole number within them, or two pairs share
// a slot.
QString SlotList(const QString& table, const MySQL::RowIdentity& identity, const std::vector<Pair>& pairs,
                 qint64 first, qint64 last);

// The rows of a group whose values went in its statement, as they are now:
// `SELECT key, CAST(field AS BINARY) FROM table WHERE key IN (…)`, a row for
// each of the group's keys the table still holds.
QString SlotRows(const QString& table, const QString& field, const MySQL::RowIdentity& identity,
                 const QStringList& keys);

}  // namespace Rewrite
