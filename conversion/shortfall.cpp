// What the server did with each statement once it committed, and where it
// changed fewer rows than it was sent to, why.
#include "conversion/engine.h"

#include <QCoreApplication>
#include <QHash>
#include <QSet>
#include <QStorageInfo>
#include <QThread>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <thread>

#include "database/ado.h"
#include "database/batch.h"
#include "database/columnbytes.h"
#include "database/rewrite.h"
#include "database/rowkey.h"
#include "database/slots.h"
#include "database/valuejoin.h"
#include "conversion/state.h"
#include "journal/recorder.h"

namespace Conversion {

void Run::Answered(int tag, qint64 changed, const Batch::Shortfall& shortfall) {
  State& s = *s_;
  if (s.keyed && tag >= 0) Settle(tag);
  else if (s.keyed && s.way)
    SettleUnderway();
  // Rows a trigger stored otherwise were changed, but not to what was sent.
  s.serverChanged += changed + shortfall.already - shortfall.stored.size();
  s.storedOtherwise += shortfall.storedOtherwise;
  s.changedSince += shortfall.changedSince;
  s.sameValue += shortfall.sameValue;
  s.notMatching += shortfall.notMatching;
}

Batch::Shortfall Run::Inspect(const State& s, ADODB::Connection& connection, int tag, const Batch::Note& note,
                              qint64 changed) {
  // Only records found by key are sent with a count to meet.
  if (!s.keyed) return {};
  Batch::Shortfall found =
      s.fields.empty() ? FindShortfall(connection, s.identity, s.table, s.field, tag, note)
                       : FindCellShortfall(connection, s.identity, s.table, s.fieldNames, tag, note, changed);
  if (s.triggers.isEmpty()) {
    found.stored.clear();  // another client's value: never journaled as the run's
  } else {
    // The table's trigger stored what the rows hold: the server changed
    // them, but not to what was sent. Rows that hold their old value were
    // not changed at all.
    found.storedOtherwise = found.sameValue + found.changedSince;
    found.sameValue = found.changedSince = 0;
    for (Batch::Shortfall::FieldCounts& f : found.fields) {
      f.storedOtherwise = f.sameValue + f.changedSince;
      f.sameValue = f.changedSince = 0;
    }
    QSet<qint64> storedRecords;
    for (const Batch::RecordNote& r : found.stored) storedRecords.insert(Batch::CellOf(r));
    QList<Batch::RecordNote> kept;
    for (const Batch::RecordNote& r : found.notes)
      if (!storedRecords.contains(Batch::CellOf(r))) kept << r;
    found.notes = kept;
    return found;
  }
  // A row left as it was that the condition no longer picks was not
  // stored again: the statement's test of the condition left it.
  if (!s.where.isEmpty() && tag >= 0 && found.sameValue >= 1 && changed == 0) {
    const QString key = note.records.value(0).key;
    auto row = connection.Execute(
        QStringLiteral("SELECT %1 IS TRUE FROM %2 WHERE %3;")
            .arg(Rewrite::Bracketed(s.where), MySQL::QuoteName(s.table),
                 s.identity.keyValues.isEmpty() ? key : Rewrite::KeyCondition(s.identity, key)));
    if (row && !row->Eof() && row->Value(0).toInt() == 0) {
      found.notMatching = found.sameValue;
      found.sameValue = 0;
      for (Batch::Shortfall::FieldCounts& f : found.fields) {
        f.notMatching = f.sameValue;
        f.sameValue = 0;
      }
    }
  }
  return found;
}

namespace {
// The rows of a group whose values went in its statement (no pair table
// holds its pairs), read by key: the field's bytes, NULL as nothing. No
// entry for a row the table no longer holds. Keys are whole numbers, told
// apart by their values: a ZEROFILL key's literal has its zeros, and the
// driver may give the column back without them.
QHash<qint64, std::optional<QByteArray>> GroupRowsNow(ADODB::Connection& connection,
                                                     const MySQL::RowIdentity& identity, const QString& table,
                                                     const QString& field, const Batch::Note& note) {
  QHash<qint64, std::optional<QByteArray>> now;
  QStringList keys;
  for (const Batch::RecordNote& r : note.records) keys << r.key;
  if (keys.isEmpty() || !identity.integerKey) return now;
  for (auto rows = connection.Execute(Rewrite::SlotRows(table, field, identity, keys)); rows && !rows->Eof();
       rows->MoveNext()) {
    const QVariant v = rows->Value(1);
    std::optional<QByteArray> bytes;
    if (!v.isNull()) bytes = v.toByteArray().isNull() ? QByteArray("", 0) : v.toByteArray();
    now.insert(rows->Value(0).toLongLong(), bytes);
  }
  return now;
}
}  // namespace

Batch::Shortfall FindShortfall(ADODB::Connection& connection, const MySQL::RowIdentity& identity, const QString& table,
                           const QString& field, int tag, const Batch::Note& note) {
  // Each row the statement did not change either holds its old bytes still
  // (the column took the new value as the same one) or something else. A
  // row holding the new bytes already was changed by a try taken back on a
  // table without transactions, which kept it; on one with transactions,
  // by another client.
  Batch::Shortfall found;
  const auto judge = [&](qsizetype at, const std::optional<QByteArray>& now) {
    if (at < 0 || at >= note.records.size()) return;
    const Batch::RecordNote& r = note.records[at];
    found.notes << r;
    if (now && *now == r.oldBytes) {
      ++found.sameValue;
    } else {
      ++found.changedSince;
      // What it holds instead, for a caller that knows no other client
      // wrote it (a trigger did).
      if (now) found.stored << Batch::RecordNote{r.record, r.key, r.oldBytes, *now};
    }
  };
  if (tag >= 0) {
    const QString key = note.records.value(0).key;
    const QString condition = identity.keyValues.isEmpty() ? key : Rewrite::KeyCondition(identity, key);
    auto row = connection.Execute(QStringLiteral("SELECT CAST(%1 AS BINARY) FROM %2 WHERE %3;")
                                      .arg(MySQL::QuoteName(field), MySQL::QuoteName(table), condition));
    std::optional<QByteArray> now;
    if (row && !row->Eof() && !row->Value(0).isNull()) now = row->Value(0).toByteArray();
    if (now && *now == note.records.value(0).newBytes && !identity.transactional)
      ++found.already;
    else
      judge(0, now);
    return found;
  }
  // A group: its pairs' rows in the order they went in, then those whose
  // rows do not hold the new bytes.
  const int group = -tag - 1;
  std::vector<qint64> order;
  for (auto rows = connection.Execute(Rewrite::GroupRows(group)); rows && !rows->Eof(); rows->MoveNext())
    order.push_back(rows->Value(0).toLongLong());
  if (order.empty()) {
    // The group's values went in its statement: its rows are read by key.
    const auto now = GroupRowsNow(connection, identity, table, field, note);
    for (qsizetype i = 0; i < note.records.size(); ++i) {
      const std::optional<QByteArray> value = now.value(note.records[i].key.toLongLong());
      if (!value || *value != note.records[i].newBytes) judge(i, value);
    }
    return found;
  }
  for (auto rows = connection.Execute(Rewrite::GroupShortfall(table, field, identity, group)); rows && !rows->Eof();
       rows->MoveNext()) {
    const auto at = std::lower_bound(order.begin(), order.end(), rows->Value(0).toLongLong());
    std::optional<QByteArray> now;
    if (!rows->Value(1).isNull()) now = rows->Value(1).toByteArray();
    judge(qsizetype(at - order.begin()), now);
  }
  return found;
}

}  // namespace Conversion
