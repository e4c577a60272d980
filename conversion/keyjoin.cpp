#include "conversion/keyjoin.h"
#include "conversion/rangedigest.h"

#include <QCoreApplication>
#include <QHash>
#include <QThread>
#include <algorithm>
#include <chrono>

#include "database/rewrite.h"
#include "database/slots.h"

namespace Conversion {
void WakeWindow() {
  if (QCoreApplication* app = QCoreApplication::instance()) QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
}

void AwaitWithEvents(const std::atomic<bool>& done) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) return;
  while (!done.load()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

KeyJoin::KeyJoin(Road road, Calls calls, Ending& ending, double chunkTime, bool responsive)
    : road_(std::move(road)),
      calls_(std::move(calls)),
      ending_(ending),
      chunkTime_(chunkTime),
      responsive_(responsive),
      // A group's pairs stay well inside what the server takes in one statement.
      groupBytes_(std::min(kJoinBytes, road_.sender.ByteBound())),
      arrays_(PairTable::TakesArrays(road_.connection)) {}

void KeyJoin::SetServerCase(std::unique_ptr<ServerCase> server) { server_ = std::move(server); }

KeyJoin::~KeyJoin() { Join(); }

void KeyJoin::Join() {
  if (job_.joinable()) job_.join();
}

void KeyJoin::Await(const std::atomic<bool>& done) const {
  if (responsive_) AwaitWithEvents(done);
}

bool KeyJoin::Refused(int tag, const QString& text, const QString& key, const QList<int>& fields) {
  if (tag < 0) {
    // The join was refused: its records go again one by one.
    for (Pair& g : group_) g.journaled = true;
    alone_.insert(alone_.end(), group_.begin(), group_.end());
    group_.clear();
    return true;
  }
  if (std::this_thread::get_id() != jobThread_) return false;
  jobRefusals_.push_back({tag, text, key, fields});  // told on the run's thread
  return true;
}

namespace {
qsizetype BytesOf(const Pair& pair) {
  return pair.cells.empty() ? Rewrite::PairBytes(pair.keyValues, pair.oldBytes, pair.newBytes)
                            : Rewrite::PairBytes(pair.keyValues, pair.cells);
}
}  // namespace

void KeyJoin::Again(const QList<Batch::RecordNote>& records) {
  // Each row with the fields that go again, out of the join under way: it is
  // answered for when it goes alone.
  for (qsizetype i = 0; i < records.size();) {
    const qint64 record = records[i].record;
    std::vector<int> fields;
    for (; i < records.size() && records[i].record == record; ++i) fields.push_back(records[i].field);
    const auto row = std::find_if(group_.begin(), group_.end(), [&](const Pair& p) { return p.record == record; });
    if (row == group_.end()) continue;
    Pair again = *row;
    again.journaled = true;
    again.cells.clear();
    for (const Rewrite::Cell& c : row->cells)
      if (std::find(fields.begin(), fields.end(), c.field) != fields.end()) again.cells.push_back(c);
    group_.erase(row);
    if (!again.cells.empty()) alone_.push_back(std::move(again));
  }
}

bool KeyJoin::Takes(const Pair& pair) const { return BytesOf(pair) <= groupBytes_; }

void KeyJoin::Add(Pair&& pair, const Batch::Note&) {
  const qsizetype bytes = BytesOf(pair);
  // One group on its way at a time: the one before it is answered first.
  // What that one tells of is reported here, and this record still goes
  // unless the run has ended.
  std::exception_ptr told;
  if (!joining_.empty() && joiningBytes_ + bytes > groupBytes_) {
    try {
      Launch();
    } catch (...) {
      told = std::current_exception();
    }
  }
  if (!ending_.ended) {
    Pair& added = joining_.emplace_back(std::move(pair));
    if (!added.cells.empty()) {
      if (!servers_.empty()) {
        added.computed = ComputesRow(added);
        Grow();
      }
    } else if (server_) {
      added.computed = server_->Computes(added.function, added.oldBytes, added.newBytes);
      if (added.function != ServerCase::Function::None) Grow();
    }
    joiningBytes_ += bytes;
  }
  if (told) std::rethrow_exception(told);
  if (joining_.size() >= groupRecords_) Launch();
}

// Rows the server's own function changes: groups may grow larger.
void KeyJoin::Grow() {
  if (mostRecords_ >= kComputedRecords) return;
  mostRecords_ = kComputedRecords;
  groupBytes_ = std::min(kComputedBytes, road_.sender.ByteBound());
  if (chunkTime_ <= 0) groupRecords_ = mostRecords_;
}

void KeyJoin::Sync() {
  if (!job_.joinable()) return;
  Await(jobDone_);
  job_.join();
  std::vector<JobRefusal> refusals;
  refusals.swap(jobRefusals_);
  for (const JobRefusal& r : refusals) calls_.refused(r.tag, r.text, r.key, r.fields);
  if (jobFailure_) {
    std::exception_ptr failure;
    std::swap(failure, jobFailure_);
    try {
      std::rethrow_exception(failure);
    } catch (const Batch::FatalError&) {
      ending_.ended = true;
      throw;
    } catch (const Journal::Error&) {
      ending_.ended = true;  // nothing goes without its journal
      throw;
    }
  }
}

void KeyJoin::Finish() {
  std::vector<Pair> last;
  last.swap(joining_);
  Group group = MakeGroup(std::move(last));
  Learn(group);
  SendJoin(group);
  road_.sender.Flush();
  while (!alone_.empty()) {
    SendAlone();
    road_.sender.Flush();
  }
}

void KeyJoin::Drop() {
  joining_.clear();
  passing_.clear();
  alone_.clear();
}

// Groups are paced to the time the server takes for them: no transaction
// holds its rows, or a replica's applier, much longer than the bound.
void KeyJoin::Pace() {
  // A group another writer or a cluster's other node took back is halved:
  // the fewer rows a group holds, the fewer writes it meets.
  const bool takenBack = takenBack_.exchange(false);
  const bool paced = chunkTime_ > 0 && lastGroupSeconds_ > 0;
  if (takenBack || (paced && lastGroupSeconds_ > chunkTime_))
    groupRecords_ = std::max<size_t>(kPacedRecords, groupRecords_ / 2);
  else if (paced && lastGroupSeconds_ < chunkTime_ / 4)
    groupRecords_ = std::min(mostRecords_, groupRecords_ + groupRecords_ / 2);
}

void KeyJoin::Launch() {
  std::vector<Pair> pairs;
  pairs.swap(joining_);
  joiningBytes_ = 0;
  joining_.reserve(pairs.size());
  // The group is made, and journaled, while the one before it is still on
  // its way; it goes once that one is answered and its own entries are
  // written. The journal is written on a thread of its own, so that the
  // next group is read meanwhile, and the window lives while the disk syncs.
  Group group = MakeGroup(std::move(pairs));
  const std::vector<Batch::Note> notes{group.note, group.computedNote};
  auto written = std::make_shared<Written>();
  if (journal_) {
    written->done = false;
    written->writer = std::thread([this, written, notes] {
      try {
        journal_->WriteBefore(notes);
      } catch (...) {
        written->failure = std::current_exception();
      }
      written->done = true;
      WakeWindow();
    });
  }
  const auto awaitWriter = [&] {
    if (!written->writer.joinable()) return;
    Await(written->done);
    written->writer.join();
  };
  const auto withdraw = [&] {
    awaitWriter();
    if (journal_) journal_->Withdraw(notes);
  };
  // A failure of the group before that ends the run keeps this one back; any
  // other is told once this one is on its way.
  std::exception_ptr failure;
  try {
    Sync();
  } catch (const Batch::FatalError&) {
    withdraw();
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  // What the group before let go is freed as this call ends, once this one
  // is on its way.
  const std::vector<std::vector<Pair>> spentPairs = std::exchange(spentPairs_, {});
  const std::vector<Group> spentGroups = std::exchange(spentGroups_, {});
  if (ending_.ended) {
    withdraw();
    if (failure) std::rethrow_exception(failure);
    return;
  }
  Pace();
  // A live server, its cluster or the user may ask the run to wait; the
  // connection is idle now.
  bool go = true;
  try {
    go = calls_.wait();
  } catch (...) {
    withdraw();
    throw;
  }
  if (!go) {
    // Stopped while it waited: the group never goes, and the run stops.
    withdraw();
    ending_.interrupted = true;
    return;
  }
  Learn(group);
  jobDone_ = false;
  job_ = std::thread([this, written, group = std::move(group)]() mutable {
    jobThread_ = std::this_thread::get_id();
    try {
      // A group the journal could not take never goes, nor anything after
      // it: what went before stays journaled.
      if (written->writer.joinable()) written->writer.join();
      if (written->failure) std::rethrow_exception(written->failure);
      SendJoin(group);
      spentGroups_.push_back(std::move(group));
    } catch (...) {
      jobFailure_ = std::current_exception();
    }
    jobThread_ = {};
    jobDone_ = true;
    WakeWindow();
  });
  if (failure) std::rethrow_exception(failure);
}

// Records that go alone after their join was refused.
void KeyJoin::SendAlone() {
  std::vector<Pair> now;
  now.swap(alone_);
  for (const Pair& a : now) {
    const QString key = Rewrite::KeyCondition(road_.identity, a.keyValues);
    if (!a.cells.empty()) {
      // A row of several fields: one statement for its fields.
      const Batch::Note note = Rewrite::RowNote(a.record, a.keyValues, a.cells);
      road_.sender.Add(Rewrite::RowStatement(road_.table, road_.fields, key, a.cells, {}, a.tag), a.tag,
                       a.journaled ? Rewrite::Journaled(note) : note, qint64(a.cells.size()),
                       Rewrite::RowAhead(a.tag, a.cells));
      continue;
    }
    const Batch::Note note = Rewrite::RecordNote(a.record, a.keyValues, a.oldBytes, a.newBytes);
    road_.sender.Add(Rewrite::KeyedStatement(road_.table, road_.field, key, a.oldBytes, a.newBytes, {}, a.tag),
                     a.tag, a.journaled ? Rewrite::Journaled(note) : note, 1, Rewrite::Ahead(a.tag, a.newBytes));
  }
}

namespace {
// Moves `from` into `into`, in the order the records were read.
void MergeByRecord(std::vector<Pair>& into, std::vector<Pair>& from) {
  if (from.empty()) return;
  into.insert(into.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  from.clear();
  std::sort(into.begin(), into.end(), [](const Pair& a, const Pair& b) { return a.record < b.record; });
}

}  // namespace

Batch::Note GroupNote(const std::vector<Pair>& pairs) {
  Batch::Note note;
  size_t count = 0;
  for (const Pair& j : pairs) count += std::max<size_t>(1, j.cells.size());
  note.records.reserve(qsizetype(count));
  for (const Pair& j : pairs) {
    if (j.cells.empty()) note.records << Batch::RecordNote{j.record, j.keyValues, j.oldBytes, j.newBytes};
    for (const Rewrite::Cell& c : j.cells)
      note.records << Batch::RecordNote{j.record, j.keyValues, c.oldBytes, c.newBytes, c.field};
  }
  note.group = true;
  return note;
}

// The pairs gathered for the next join, and apart from them the rows the
// server's own function changes.
KeyJoin::Group KeyJoin::MakeGroup(std::vector<Pair> joining) {
  Group g;
  if (joining.empty()) return g;
  g.number = groups_++;
  for (Pair& j : joining) (j.computed ? g.computed : g.pairs).push_back(std::move(j));
  g.computedNote = GroupNote(g.computed);
  Pack(g);
  g.passing.swap(passing_);
  g.passingFull = std::exchange(passingFull_, false);
  g.several = MakeSeveral(g);
  g.range = OneRange(g);
  return g;
}

RangeDigest KeyJoin::OneRange(const Group& g) const {
  if (g.computed.empty() || !g.computed.front().cells.empty() || !ServerCase::Ranged(road_.identity)) return {};
  return OneFieldRange(g.computed, g.pairs, g.passing);
}

// Characters met since the last group are asked about while the
// connection is idle, and the group's rows that the server's function now
// computes leave the join. A server that cannot say leaves every row not
// yet computed to the join. (The journal holds the group's records
// whichever way they go.)
void KeyJoin::Learn(Group& g) {
  if (!servers_.empty()) {
    if (!LearnFields()) return;
  } else {
    if (!server_ || !server_->Learning()) return;
    try {
      server_->Learn(road_.connection);
    } catch (const ADODB::Error&) {
      server_.reset();
      return;
    }
  }
  std::vector<Pair> joined, computed;
  for (Pair& p : g.pairs) {
    p.computed = p.cells.empty() ? server_ && server_->Computes(p.function, p.oldBytes, p.newBytes) : ComputesRow(p);
    (p.computed ? computed : joined).push_back(std::move(p));
  }
  g.pairs = std::move(joined);
  if (computed.empty()) return;
  MergeByRecord(g.computed, computed);
  g.computedNote = GroupNote(g.computed);
  Pack(g);
  g.several = MakeSeveral(g);
  g.range = OneRange(g);
}

void KeyJoin::Pack(Group& g) const {
  g.note = GroupNote(g.pairs);
  g.insert = {};
  g.slotted.clear();
  if (g.pairs.empty()) return;
  std::vector<Rewrite::Pair> pairs;
  pairs.reserve(g.pairs.size());
  for (const Pair& j : g.pairs) pairs.push_back({j.keyValues, j.oldBytes, j.newBytes, j.cells});
  // Keys close together carry their values in the statement itself; the
  // server then reads one range of the table and fills no pair table.
  if (road_.fields.isEmpty())
    g.slotted = Rewrite::SlotStatement(road_.table, road_.field, road_.identity, pairs, road_.sender.ByteBound());
  if (!g.slotted.isEmpty()) return;
  g.insert = PairTable::Pairs(arrays_, g.number, road_.identity, pairs, std::max<int>(1, int(road_.fields.size())));
}

// Every row of the scope is read with its lock, in a transaction opened
// here (`open`). A row of the group goes (`held`) only where it holds its
// old bytes, else it goes back to the join; any other row the function would
// change (one of the `joined`, another client's since, one left as it was)
// is kept out of the statement: its key is among those returned.
QStringList KeyJoin::Lock(ServerCase::Function function, const QString& scope, std::vector<Pair>& rows,
                          const std::vector<Pair>& joined, const RangeDigest& range, bool& open,
                          std::vector<Pair>& held, std::vector<Pair>& back) {
  ADODB::Connection& connection = road_.connection;
  struct Row {
    QString key;
    QByteArray bytes;
    bool isNull, leaves;
  };
  const bool ranged = ServerCase::Ranged(road_.identity);
  // Where the run kept every row of the range, the digest is of them all,
  // as they are stored: the server then applies no function to tell which
  // of them the statement would change.
  const RangeDigest whole = ranged ? range : RangeDigest{};
  qint64 room = whole.room;
  const QString digest = !whole.expected.isEmpty() ? whole.expected
                         : ranged                  ? ServerCase::Digest(rows, &room)
                                                   : QString();
  // (The locking read is a text of its own: a lock wait met halfway
  // through its rows is then the statement's failure, not its rows'.)
  connection.ExecuteMany(
      (ranged ? QStringLiteral("SET SESSION group_concat_max_len = %1;"
                               "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ;")
                    .arg(std::min<qint64>(room + 1024, 4294967295LL))
              : QString()) +
          QStringLiteral("START TRANSACTION;"),
      [&](int, ADODB::RecordSet*) { open = true; });
  if (ranged) {
    // Where the scope's rows that the function would change, but the
    // joined ones among them, are the group's own, each holding its old
    // bytes, one value says so and the rows need not come back: all of
    // them go, and the joined ones are kept out. Anything else, and the
    // rows are read one by one under the same locks.
    QStringList within = whole.within;
    if (whole.expected.isEmpty())
      for (const Pair& p : joined)
        if (p.record > rows.front().record && p.record < rows.back().record) within << p.keyValues;
    auto d = connection.Execute(
        !whole.expected.isEmpty()
            ? RangeDigestRead(road_.table, road_.identity, {road_.field}, scope)
            : ServerCase::DigestRead(function, road_.table, road_.field, road_.identity, scope, within));
    const bool same = d && !d->Eof() && !d->Value(0).isNull() &&
                      d->Value(0).toString().compare(digest, Qt::CaseInsensitive) == 0;
    d.reset();
    if (same) {
      held.insert(held.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
      return within;
    }
  }
  std::vector<Row> read;
  read.reserve(rows.size());
  auto r = connection.Execute(ServerCase::LockingRead(function, road_.table, road_.field, road_.identity, scope));
  for (; r && !r->Eof(); r->MoveNext()) {
    const QVariant bytes = r->Value(1);
    read.push_back({r->Value(0).toString(), bytes.toByteArray(), bytes.isNull(), r->Value(2).toInt() == 1});
  }
  r.reset();
  // Each row read, and the group's row it is, if any: a range's rows come
  // in the key's order, as the group's did.
  std::vector<qsizetype> pairOf(read.size(), -1);
  if (ranged) {
    size_t next = 0;
    for (size_t i = 0; i < read.size() && next < rows.size(); ++i)
      if (read[i].key == rows[next].keyValues) pairOf[i] = qsizetype(next++);
  } else {
    QHash<QString, qsizetype> index;
    for (size_t p = 0; p < rows.size(); ++p) index.insert(rows[p].keyValues, qsizetype(p));
    for (size_t i = 0; i < read.size(); ++i) pairOf[i] = index.value(read[i].key, -1);
  }
  std::vector<char> holds(rows.size(), 0);
  QStringList excluded;
  for (size_t i = 0; i < read.size(); ++i) {
    const Row& row = read[i];
    if (pairOf[i] >= 0 && !row.isNull && row.bytes == rows[size_t(pairOf[i])].oldBytes)
      holds[size_t(pairOf[i])] = 1;
    else if (!row.leaves)
      excluded << row.key;
  }
  for (size_t p = 0; p < rows.size(); ++p) (holds[p] ? held : back).push_back(std::move(rows[p]));
  return excluded;
}

// The computed rows that hold, under lock, exactly what was read (and
// journaled) go as one statement of the server's function, counted by the
// server; the rest, and all of them where anything is amiss, stay in
// `rows` for the join. Nothing of theirs has changed then.
void KeyJoin::TryComputed(std::vector<Pair>& rows, int number, const std::vector<Pair>& joined,
                          const Batch::Note& rowsNote, const RangeDigest& range) {
  ADODB::Connection& connection = road_.connection;
  const ServerCase::Function function = rows.front().function;
  const QString scope = ServerCase::Scope(road_.identity, rows);
  std::vector<Pair> held, back;
  bool open = false;
  try {
    const QStringList excluded = Lock(function, scope, rows, joined, range, open, held, back);
    rows.clear();
    qint64 changed = -1, warnings = -1;
    Batch::Note note;
    if (!held.empty()) {
      // (All of them held, as they mostly do: their note is made already.)
      note = held.size() == size_t(rowsNote.records.size()) ? rowsNote : GroupNote(held);
      if (journal_) journal_->Ahead({note});
      connection.ExecuteMany(
          ServerCase::Update(function, road_.table, road_.field, road_.identity, scope, excluded) +
              QStringLiteral("SELECT ROW_COUNT(), @@warning_count;"),
          [&](int, ADODB::RecordSet* r) {
            if (r && !r->Eof()) {
              changed = r->Value(0).toLongLong();
              warnings = r->Value(1).toLongLong();
            }
          });
    }
    if (held.empty() || changed != qint64(held.size()) || warnings != 0) {
      // Not as the locks promised (a trigger, a warning): the join sends
      // them with their bytes, and answers for each.
      connection.Execute(QStringLiteral("ROLLBACK;"));
      open = false;
      back.insert(back.end(), std::make_move_iterator(held.begin()), std::make_move_iterator(held.end()));
      held.clear();
    } else {
      connection.Execute(QStringLiteral("COMMIT;"));
      open = false;
      if (journal_) journal_->Committed();
      group_ = std::move(held);
      if (calls_.computed) calls_.computed(-number - 1, changed, note);
      Spend(group_);
    }
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
    // A lock wait, a conflict, a refusal: the join meets it again, and
    // tells it as it does.
    back.insert(back.end(), std::make_move_iterator(held.begin()), std::make_move_iterator(held.end()));
    back.insert(back.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  }
  rows = std::move(back);
}

QString KeyJoin::Range(const std::vector<Pair>& pairs) const {
  // The rows between a group's first and last were all read, in the key's
  // order (a keyed run reads its whole table): a group whose pairs are at
  // least half of them reads few rows it leaves.
  if (!road_.pairsKeyed || pairs.empty() || !ServerCase::Ranged(road_.identity)) return {};
  const qint64 spanned = pairs.back().record - pairs.front().record + 1;
  if (spanned <= 0 || spanned > 2 * qint64(pairs.size())) return {};
  return Rewrite::KeyRange(road_.table, road_.identity, pairs.front().keyValues, pairs.back().keyValues);
}

// The records that go alone, then the group.
void KeyJoin::SendJoin(Group& g) {
  SendAlone();
  const auto started = std::chrono::steady_clock::now();
  const auto timed = [&] {
    lastGroupSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  if (!g.computed.empty()) {
    if (g.computed.front().cells.empty())
      TryComputed(g.computed, g.number, g.pairs, g.computedNote, g.range);
    else
      TrySeveral(g.computed, g.number, g.several, g.computedNote);
    if (!g.computed.empty()) {
      MergeByRecord(g.pairs, g.computed);
      Pack(g);
    }
  }
  if (g.pairs.empty()) {
    timed();
    return;
  }
  group_ = std::move(g.pairs);
  // The pairs go ahead on their own; a group they cannot join goes record
  // by record.
  if (g.slotted.isEmpty() && !pairTable_.Fill(road_.connection, g.insert)) {
    alone_.insert(alone_.end(), group_.begin(), group_.end());
    std::vector<Pair>().swap(group_);
    SendAlone();
    return;
  }
  // A group is a transaction of its own: once it is answered, what went
  // wrong is in `alone_` and its pairs are let go.
  // (A row of several fields changes whole or not at all: the rows the
  // server changed tell every field's count.)
  const QString range = g.slotted.isEmpty() ? Range(group_) : QString();
  road_.sender.Add(!g.slotted.isEmpty()       ? std::move(g.slotted)
                   : road_.fields.isEmpty() ? Rewrite::GroupStatement(road_.table, road_.field, road_.identity, g.number, range)
                                            : Rewrite::GroupStatement(road_.table, road_.fields, road_.identity, g.number, range),
                   -g.number - 1, std::move(g.note), qint64(group_.size()));
  try {
    road_.sender.Flush();
  } catch (const Batch::FatalError& e) {
    // Taken back each time it was tried (another writer on its rows, a
    // cluster's other nodes): a join of many rows meets one of their
    // writes again and again. Its records go alone, in transactions the
    // sender halves until they pass.
    if (Batch::Classify(e) != Batch::ErrorKind::Conflict) throw;
    takenBack_ = true;
    for (Pair& p : group_) p.journaled = true;
    alone_.insert(alone_.end(), group_.begin(), group_.end());
  }
  timed();
  Spend(group_);
  SendAlone();
}

}  // namespace Conversion
