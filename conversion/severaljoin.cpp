// Rows of several fields that go as one statement a group, by the key's
// range: each field the server has a function for (UPPER, LOWER) is written
// by it, as the server's own UPDATE would, and each other field's new values
// go in the statement, in the slots their keys point at. Under the range's
// locks, one digest of every row of the range first tells that each holds
// what the run read of it: the group's rows the bytes the journal has, and
// the rest what the statement leaves as it is.
#include <algorithm>

#include "conversion/keyjoin.h"
#include "conversion/rangedigest.h"
#include "database/mysql.h"
#include "database/rewrite.h"
#include "database/slots.h"

namespace Conversion {

void KeyJoin::SetServerCases(std::vector<ServerCase::Function> functions,
                             std::vector<std::unique_ptr<ServerCase>> servers) {
  functions_ = std::move(functions);
  servers_ = std::move(servers);
}

namespace {
// Whether the function leaves a field as it was read.
bool Leaves(ServerCase& server, ServerCase::Function function, const Read& read) {
  return read.null || server.Computes(function, read.bytes, read.bytes);
}
}  // namespace

bool KeyJoin::ComputesRow(const Pair& pair) {
  if (servers_.empty() || !road_.identity.integerKey || !ServerCase::Ranged(road_.identity) ||
      pair.read.size() != functions_.size())
    return false;
  bool all = true;
  // (Every field is asked about: what a character writes is learnt at once.)
  size_t next = 0;
  for (size_t f = 0; f < functions_.size(); ++f) {
    const Rewrite::Cell* cell = next < pair.cells.size() && size_t(pair.cells[next].field) == f ? &pair.cells[next++] : nullptr;
    if (functions_[f] == ServerCase::Function::None || !servers_[f]) continue;
    // The function writes the field over the group's range: a field the
    // row changes, it changes as the run does, and one it leaves, it leaves.
    if (cell ? !servers_[f]->Computes(functions_[f], cell->oldBytes, cell->newBytes)
             : !Leaves(*servers_[f], functions_[f], pair.read[f]))
      all = false;
  }
  return all && next == pair.cells.size();
}

void KeyJoin::Passed(Pair&& pair) {
  // Only rows after the gathered group's first can fall in its range; a
  // group that would span many more of them than it changes goes by the
  // join, which needs none.
  if ((servers_.empty() && !server_) || joining_.empty() || passingFull_) return;
  if (passing_.size() >= size_t(Rewrite::kSlotsPerPair) * mostRecords_ + 64) {
    passingFull_ = true;
    std::vector<Pair>().swap(passing_);
    return;
  }
  // (Asked here, on the run's thread: what the server's function does is
  // learnt on it.)
  if (servers_.empty()) pair.leaves = pair.read.size() == 1 && Leaves(*server_, pair.function, pair.read.front());
  passing_.push_back(std::move(pair));
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

KeyJoin::Several KeyJoin::MakeSeveral(const Group& group) {
  Several made;
  const std::vector<Pair>& rows = group.computed;
  if (rows.empty() || rows.front().cells.empty() || group.passingFull) return made;
  const MySQL::RowIdentity& identity = road_.identity;
  bool lowOk = false, highOk = false;
  const qint64 low = rows.front().keyValues.toLongLong(&lowOk), high = rows.back().keyValues.toLongLong(&highOk);
  // Rows spread over many more keys than the group has go by the join.
  if (!lowOk || !highOk || high < low || high - low + 1 > Rewrite::kSlotsPerPair * qint64(rows.size()) + 64)
    return made;
  const size_t count = size_t(road_.fields.size());
  // The fields the statement writes: the server's function over the range,
  // or the values in its slots.
  std::vector<char> writes(count, 0);
  std::vector<std::vector<Rewrite::Pair>> slotted(count);
  for (const Pair& p : rows)
    for (const Rewrite::Cell& c : p.cells) {
      const size_t f = size_t(c.field);
      if (f >= count || f >= functions_.size()) return made;
      writes[f] = 1;
      if (functions_[f] == ServerCase::Function::None || !servers_[f])
        slotted[f].push_back({p.keyValues, c.oldBytes, c.newBytes});
    }
  // Every row the run read between the group's first and last, in the
  // key's order: the group's own, the join's (kept out of the statement),
  // and those that change nothing (kept out where a function written over
  // the range would change them).
  const qint64 first = rows.front().record, last = rows.back().record;
  std::vector<const Pair*> range;
  range.reserve(size_t(last - first + 1));
  for (const std::vector<Pair>* from : {&rows, &group.pairs, &group.passing})
    for (const Pair& p : *from)
      if (p.record >= first && p.record <= last) range.push_back(&p);
  std::sort(range.begin(), range.end(), [](const Pair* a, const Pair* b) { return a->record < b->record; });
  QStringList within;
  QByteArray text;
  qsizetype size = 0;
  for (const Pair* p : range) {
    size += p->keyValues.size() + 8 * qsizetype(count);
    for (const Read& r : p->read) size += r.bytes.size();
  }
  text.reserve(size);
  for (size_t i = 0; i < range.size(); ++i) {
    const Pair& p = *range[i];
    if (p.read.size() != count || (i > 0 && range[i - 1]->record == p.record)) return made;
    if (!p.computed) {
      bool leaves = p.cells.empty();
      for (size_t f = 0; f < count && leaves; ++f)
        if (writes[f] && functions_[f] != ServerCase::Function::None && servers_[f])
          leaves = Leaves(*servers_[f], functions_[f], p.read[f]);
      if (!leaves) within << p.keyValues;
    }
    if (i > 0) text += ',';
    AppendRow(text, p);
  }
  made.room = text.size();
  made.expected = ServerCase::Sha256Hex(text);
  QStringList sets;
  for (size_t f = 0; f < count; ++f) {
    const QString& name = road_.fields[qsizetype(f)];
    const QString column = MySQL::QuoteName(name);
    if (!writes[f]) continue;
    if (slotted[f].empty()) {
      sets << ServerCase::Assignment(functions_[f], name);
      continue;
    }
    const QString list = Rewrite::SlotList(road_.table, identity, slotted[f], low, high);
    if (list.isEmpty()) return {};
    sets << column + QStringLiteral(" = IFNULL(") + list + QStringLiteral(", ") + column + u')';
  }
  const QString table = MySQL::QuoteName(road_.table);
  const QString scope = ServerCase::Scope(identity, rows);
  made.digest = RangeDigestRead(road_.table, identity, road_.fields, scope);
  made.update = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + sets.join(QStringLiteral(", ")) +
                QStringLiteral(" WHERE ") + scope +
                (within.isEmpty() ? QString() : QStringLiteral(" AND NOT ") + ServerCase::KeysIn(identity, within)) +
                u';';
  return made;
}

// As TryComputed: the rows go, counted by the server, only where every
// digest is the group's; else nothing of theirs has changed, and they stay
// in `rows` for the join.
void KeyJoin::TrySeveral(std::vector<Pair>& rows, int number, const Several& several, const Batch::Note& note) {
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
    if (same) {
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
    Spend(group_);
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
