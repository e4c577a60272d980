// Many entries of one run in one row of the journal: a group's entries are
// written with one insert, not one each. Private to journal/.
//
// An entry's number (Entry::id) is its row's rowid times kPackRoom plus its
// place in the row (0 for a row of one entry), so that entries keep the
// order they were written in, packed or not.
#pragma once

#include <QByteArray>
#include <vector>

#include "journal/store.h"

namespace Journal {

inline constexpr qint64 kPackRoom = 1 << 16;
// At most this many entries go in one row.
inline constexpr int kPackMost = 4096;

inline qint64 EntryId(qint64 rowid, qint64 place) { return rowid * kPackRoom + place; }
inline qint64 RowOf(qint64 id) { return id / kPackRoom; }
inline int PlaceOf(qint64 id) { return int(id % kPackRoom); }

// One packed entry: its key's text (UTF-8), its two values, its rows (0 or
// 1) and its field.
struct Packed {
  QByteArray key, oldValue, newValue;
  qint64 rows = 1;
  int field = 0;
};

QByteArray Pack(const std::vector<Packed>& items);
// The same of entries [from, to) as they are, their keys in UTF-8, with no
// copy of each made first; `bytes` gains each one's size as the journal
// counts it (its key, values and kEntryBytes).
QByteArray Pack(const EntryView* from, const EntryView* to, qint64& bytes);
// The items of a pack; raises Damaged (naming `path`) where its bytes do
// not read as one.
std::vector<Packed> Unpack(const QByteArray& bytes, const QString& path);
// How many of them stand for a row.
qint64 LiveRows(const std::vector<Packed>& items);

}  // namespace Journal
