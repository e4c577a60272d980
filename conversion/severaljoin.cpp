// Rows of several fields that go as one statement a group, by the key's
// range: each field the server has a function for (UPPER, LOWER) is written
// by it, as the server's own UPDATE would, and each other field's new values
// go in the statement, in the slots their keys point at. Under the range's
// locks, one digest first tells that the rows the statement would
// change are the group's own, each field holding the bytes the journal has.
#include <QCryptographicHash>
#include <algorithm>

#include "conversion/keyjoin.h"
#include "database/mysql.h"
#include "database/rewrite.h"
#include "database/slots.h"

namespace Conversion {

void KeyJoin::SetServerCases(std::vector<ServerCase::Function> functions,
                             std::vector<std::unique_ptr<ServerCase>> servers) {
  functions_ = std::move(functions);
  servers_ = std::move(servers);
}

bool KeyJoin::ComputesRow(const Pair& pair) {
  if (servers_.empty() || !road_.identity.integerKey || !ServerCase::Ranged(road_.identity)) return false;
  bool all = true;
  // (Every cell is asked about: what a character writes is learnt at once.)
  for (const Rewrite::Cell& c : pair.cells) {
    const size_t f = size_t(c.field);
    if (f >= functions_.size()) return false;
    if (functions_[f] != ServerCase::Function::None && servers_[f] &&
        !servers_[f]->Computes(functions_[f], c.oldBytes, c.newBytes))
      all = false;
  }
  return all;
}

bool KeyJoin::LearnFields() {
  bool learnt = false;
  for (std::unique_ptr<ServerCase>& server : servers_) {
    if (!server || !server->Learning()) continue;
    try {
      server->Learn(road_.connection);
      learnt = true;
    } catch (const ADODB::Error&) {
      // A server that cannot say: the field's values go in the statement.
      server.reset();
      learnt = true;
    }
  }
  return learnt;
}

KeyJoin::Several KeyJoin::MakeSeveral(const std::vector<Pair>& rows, const std::vector<Pair>& joined) const {
  Several made;
  if (rows.empty() || rows.front().cells.empty()) return made;
  const MySQL::RowIdentity& identity = road_.identity;
  bool lowOk = false, highOk = false;
  const qint64 low = rows.front().keyValues.toLongLong(&lowOk), high = rows.back().keyValues.toLongLong(&highOk);
  // Rows spread over many more keys than the group has go by the join.
  if (!lowOk || !highOk || high < low || high - low + 1 > Rewrite::kSlotsPerPair * qint64(rows.size()) + 64)
    return made;
  QStringList within;
  for (const Pair& p : joined)
    if (p.record > rows.front().record && p.record < rows.back().record) within << p.keyValues;
  // One digest for the rows: each row's key, then each field the
  // statement changes as ",field:length,bytes", in the fields' order.
  const size_t count = size_t(road_.fields.size());
  std::vector<std::vector<Rewrite::Pair>> slotted(count);
  std::vector<char> used(count, 0);
  QByteArray text;
  qsizetype size = 0;
  for (const Pair& p : rows) {
    size += p.keyValues.size() + 2;
    for (const Rewrite::Cell& c : p.cells) size += c.oldBytes.size() + 16;
  }
  text.reserve(size);
  bool firstRow = true;
  for (const Pair& p : rows) {
    if (!firstRow) text += ',';
    firstRow = false;
    text += p.keyValues.toLatin1();
    int last = -1;
    for (const Rewrite::Cell& c : p.cells) {
      const size_t f = size_t(c.field);
      if (c.field <= last || f >= count || f >= functions_.size()) return {};
      last = c.field;
      used[f] = 1;
      text += ',';
      text += QByteArray::number(c.field);
      text += ':';
      text += QByteArray::number(c.oldBytes.size());
      text += ',';
      text += c.oldBytes;
      if (functions_[f] == ServerCase::Function::None || !servers_[f])
        slotted[f].push_back({p.keyValues, c.oldBytes, c.newBytes});
    }
  }
  made.room = text.size();
  made.expected = QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
  QStringList sets, parts;
  for (size_t f = 0; f < count; ++f) {
    if (!used[f]) continue;
    const QString& name = road_.fields[qsizetype(f)];
    const QString column = MySQL::QuoteName(name);
    QString adds;
    if (slotted[f].empty()) {
      sets << ServerCase::Assignment(functions_[f], name);
      adds = ServerCase::Changes(functions_[f], name, identity, within);
    } else {
      const QString list = Rewrite::SlotList(road_.table, identity, slotted[f], low, high);
      if (list.isEmpty()) return {};
      sets << column + QStringLiteral(" = IFNULL(") + list + QStringLiteral(", ") + column + u')';
      QStringList keys;
      keys.reserve(qsizetype(slotted[f].size()));
      for (const Rewrite::Pair& p : slotted[f]) keys << p.keyValues;
      adds = ServerCase::KeysIn(identity, keys);
    }
    const QString bytes = QStringLiteral("CAST(") + column + QStringLiteral(" AS BINARY)");
    parts << QStringLiteral("IF(") + adds + QStringLiteral(", CONCAT(',") + QString::number(f) +
                 QStringLiteral(":', LENGTH(") + bytes + QStringLiteral("), ',', ") + bytes + QStringLiteral("), '')");
  }
  const QString table = MySQL::QuoteName(road_.table);
  const QString scope = ServerCase::Scope(identity, rows);
  // A row no field adds to is NULL, and adds nothing. (The scan of the
  // key's range gives its rows in the key's order; should the server
  // choose another, the digests differ, and the rows go by the join.)
  made.digest = QStringLiteral("SELECT SHA2(GROUP_CONCAT(CONCAT(CAST(") + identity.keyValues +
                QStringLiteral(" AS BINARY), NULLIF(CONCAT(") + parts.join(QStringLiteral(", ")) +
                QStringLiteral("), '')) SEPARATOR ','), 256) FROM ") + table + QStringLiteral(" WHERE ") + scope +
                QStringLiteral(" FOR UPDATE;");
  made.update = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + sets.join(QStringLiteral(", ")) +
                QStringLiteral(" WHERE ") + scope +
                (within.isEmpty() ? QString() : QStringLiteral(" AND NOT ") + ServerCase::KeysIn(identity, within)) +
                u';';
  return made;
}

// As TryComputed: the rows go, counted by the server, only where every
// digest is the group's; else nothing of theirs has changed, and they stay
// in `rows` for the join.
void KeyJoin::TrySeveral(std::vector<Pair>& rows, int number, const Several& several) {
  ADODB::Connection& connection = road_.connection;
  if (several.update.isEmpty() || several.update.size() > road_.sender.ByteBound() ||
      several.digest.size() > road_.sender.ByteBound())
    return;
  bool open = false;
  try {
    connection.ExecuteMany(QStringLiteral("SET SESSION group_concat_max_len = %1;"
                                          "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ;START TRANSACTION;")
                               .arg(std::min<qint64>(several.room + 1024, 4294967295LL)),
                           [&](int, ADODB::RecordSet*) { open = true; });
    bool same = false;
    {
      auto d = connection.Execute(several.digest);
      same = d && !d->Eof() && !d->Value(0).isNull() &&
             d->Value(0).toString().compare(several.expected, Qt::CaseInsensitive) == 0;
    }
    qint64 changed = -1, warnings = -1;
    Batch::Note note;
    if (same) {
      note = GroupNote(rows);
      if (journal_) journal_->Ahead({note});
      connection.ExecuteMany(several.update + QStringLiteral("SELECT ROW_COUNT(), @@warning_count;"),
                             [&](int, ADODB::RecordSet* r) {
                               if (r && !r->Eof()) {
                                 changed = r->Value(0).toLongLong();
                                 warnings = r->Value(1).toLongLong();
                               }
                             });
    }
    if (!same || changed != qint64(rows.size()) || warnings != 0) {
      // Not as the locks promised: the join sends them with their bytes.
      connection.Execute(QStringLiteral("ROLLBACK;"));
      return;
    }
    connection.Execute(QStringLiteral("COMMIT;"));
    open = false;
    if (journal_) journal_->Committed();
    group_ = std::move(rows);
    rows.clear();
    if (calls_.computed) calls_.computed(-number - 1, changed, note);
    std::vector<Pair>().swap(group_);
  } catch (const ADODB::Error& e) {
    if (open) {
      try {
        connection.Execute(QStringLiteral("ROLLBACK;"));
      } catch (const std::exception&) {
        // A lost connection's transaction is rolled back on the server.
      }
    }
    const Batch::ErrorKind kind = Batch::Classify(e);
    if (kind == Batch::ErrorKind::Fatal) throw Batch::FatalError(e);
    if (kind == Batch::ErrorKind::Conflict) takenBack_ = true;
  }
}

}  // namespace Conversion
