// Taking a journaled run back. Where the table still has the run's key, the
// rows go back as the run changed them: in groups of pairs joined by key,
// one transaction a group, each row given its old bytes only while it holds
// exactly what the run wrote. Elsewhere (a journal that keeps conditions, a
// table without transactions, a server that logs statements) they go back
// one statement a row. The journal is read a page at a time either way.
#include <QHash>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "conversion/pairtable.h"
#include "conversion/servercase.h"
#include "conversion/state.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/rewrite.h"
#include "database/slots.h"
#include "database/rowkey.h"
#include "journal/recorder.h"

namespace Conversion {
namespace {

// Entries read from the journal at a time, so that memory does not grow with
// the run.
constexpr int kPage = 10000;
// An undo's groups are larger than a run's: each is a transaction whose
// commit the server syncs, and an undo reads its rows by range from the
// journal, not from the table, with nothing to overlap with that wait.
// (1,000,000 rows: 7.8 s in groups of 1,000, 6.5 s in groups of 8,000.)
constexpr size_t kUndoRecords = 8000;
constexpr qsizetype kUndoBytes = 4 * 1024 * 1024;

struct Walk {
  const Journal::RunHeader& run;
  Journal::Store& store;
  const std::function<void(qint64, qint64)>& progress;
  const std::function<bool()>& cancelled;
  qint64 done = 0;
  UndoResult result;

  // A value left as it is, of the run's field `field`.
  void Left(int field) {
    ++result.left;
    if (run.fields.isEmpty()) return;
    result.leftByField.resize(size_t(run.FieldCount()), 0);
    if (size_t(field) < result.leftByField.size()) ++result.leftByField[size_t(field)];
  }

  // Whether to stop before the next entry; tells progress otherwise.
  bool Stop() {
    if (cancelled && cancelled()) return result.interrupted = true;
    if (progress) progress(done, std::max(run.rows, done + 1));
    ++done;
    return false;
  }
};

// A row lock another session holds is waited for as long as a run waits.
Batch::Limits UndoLimits() {
  Batch::Limits limits;
  limits.lockWaitSeconds = kLockWait;
  return limits;
}

void RowByRow(ADODB::Connection& connection, Walk& walk) {
  // The same batched transport as the run: a refused row is left as it is.
  Journal::Restorer restorer(walk.run, walk.store);
  qint64 refused = 0;
  std::unique_ptr<Batch::Sender> sender;
  sender = std::make_unique<Batch::Sender>(
      connection,
      [&](int, const QString&) {
        ++refused;
        walk.Left(restorer.FieldOf(size_t(sender->ReportedNote().records.value(0).record)));
      },
      UndoLimits());
  sender->SetHook(&restorer);
  while (!walk.result.interrupted && restorer.NextPage(kPage)) {
    // A page's statements are all answered before the next page is read.
    for (size_t i = 0; i < restorer.Count() && !walk.Stop(); ++i) sender->Add(restorer.Statement(i), 0, restorer.Note(i));
    sender->Flush();
  }
  walk.result.restored = restorer.Restored() - refused;
  for (size_t f = 0; f < restorer.ChangedByField().size(); ++f)
    for (qint64 n = 0; n < restorer.ChangedByField()[f]; ++n) walk.Left(int(f));
}

// Each group's pairs turn the run's change around: the row's new bytes are
// the pair's old ones, and its old bytes the pair's new ones.
class Grouped {
 public:
  Grouped(ADODB::Connection& connection, const MySQL::RowIdentity& identity, Walk& walk, bool pairsKeyed)
      : connection_(connection), identity_(identity), walk_(walk), pairsKeyed_(pairsKeyed),
        sender_(connection, [this](int tag, const QString&) { refused_.insert(tag); }, UndoLimits()) {
    sender_.SetInspect([this](ADODB::Connection& c, int tag, const Batch::Note& note, qint64) {
      return FindShortfall(c, identity_, walk_.run.target.table, walk_.run.target.field, tag, note);
    });
    sender_.SetAnswered([this](int tag, qint64 changed, const Batch::Shortfall& shortfall, const Batch::Note&) {
      walk_.result.restored += changed + shortfall.already;
      answered_ += changed + shortfall.already;
      (void)tag;
    });
    bytes_ = std::min(kUndoBytes, sender_.ByteBound());
    // A trigger may store otherwise than it was told: each row is then
    // looked at, whatever the count says.
    triggered_ = !walk_.result.triggers.isEmpty();
  }

  bool Usable() const { return !sender_.StatementLog(); }

  void Go() {
    std::vector<Journal::Entry> page;
    qint64 before = 0;
    while (!walk_.result.interrupted) {
      page = walk_.store.EntriesNewestFirst(walk_.run.id, before, kPage);
      if (page.empty()) break;
      before = page.back().id;
      // A run of several fields goes back a field's group at a time.
      for (const Journal::Entry& e : page) {
        if (walk_.Stop()) break;
        const qsizetype size = Rewrite::PairBytes(e.key, e.newValue, e.oldValue);
        if (size > bytes_) {
          Sync();
          Alone(e);
          continue;
        }
        Gathered& g = gathered_[e.field];
        if (!g.entries.empty() && g.bytes + size > bytes_) Send(e.field);
        g.entries.push_back(e);
        g.bytes += size;
        if (g.entries.size() >= records_) Send(e.field);
      }
    }
    // A group may span pages: only the last one goes short.
    for (auto& [field, g] : gathered_) Send(field);
    Sync();
  }

  // Waits for the group on its way, and tells what failed there.
  void Sync() {
    if (!job_.joinable()) return;
    AwaitWithEvents(jobDone_);
    job_.join();
    if (!jobFailure_) return;
    std::exception_ptr failure;
    std::swap(failure, jobFailure_);
    std::rethrow_exception(failure);
  }

 private:
  Batch::Note Note(const Journal::Entry& e) const {
    return Rewrite::RecordNote(e.id, e.key, e.newValue, e.oldValue);
  }

  // A value too large for a group, or a row of a group the server refused.
  void Alone(const Journal::Entry& e) {
    refused_.clear();
    answered_ = 0;
    const QString key = Rewrite::KeyCondition(identity_, e.key);
    const QString field = walk_.run.Field(e.field);
    sender_.Add(Rewrite::KeyedStatement(walk_.run.target.table, field, key, e.newValue, e.oldValue, {}, 0),
                0, Note(e), 1, Rewrite::Ahead(0, e.oldValue));
    sender_.Flush();
    // Settled only where the row holds its old value again.
    bool back = refused_.empty() && answered_ >= 1 && !triggered_;
    if (refused_.empty() && !back) {
      auto row = connection_.Execute(QStringLiteral("SELECT CAST(%1 AS BINARY) FROM %2 WHERE %3;")
                                         .arg(MySQL::QuoteName(field), MySQL::QuoteName(walk_.run.target.table), key));
      back = row && !row->Eof() && !row->Value(0).isNull() && row->Value(0).toByteArray() == e.oldValue;
    }
    if (back) {
      SettleLater({e.id});
    } else {
      // Changed, but not back to its old value (a trigger rewrote it): left,
      // not restored.
      if (refused_.empty()) walk_.result.restored -= answered_;
      walk_.Left(e.field);
    }
  }

  // The entries of the group whose rows do not hold their old value again,
  // as the table shows them now: the group's shortfall, read as the run's.
  QSet<qint64> NotBack(int number, const QString& field, const Batch::Note& note) {
    const Batch::Shortfall shortfall =
        FindShortfall(connection_, identity_, walk_.run.target.table, field, -number - 1, note);
    QSet<qint64> found;
    for (const Batch::RecordNote& r : shortfall.notes) found.insert(r.record);
    return found;
  }

  // The rows the group's keys span, where its pairs are most of them: the
  // join then reads the table by that range (Rewrite::GroupStatement). A
  // run's entries come newest first, in its key's order backwards; a group
  // any of whose pairs falls outside its first and last, or that spans
  // many rows the run left, gets none.
  QString Range(const std::vector<Journal::Entry>& group) {
    if (!pairsKeyed_ || group.empty() || !ServerCase::Ranged(identity_)) return {};
    const QString& first = group.back().key;
    const QString& last = group.front().key;
    const QString table = walk_.run.target.table;
    const QString range = Rewrite::KeyRange(table, identity_, first, last);
    const qint64 most = 2 * qint64(group.size());
    try {
      auto counts = connection_.Execute(
          QStringLiteral("SELECT (SELECT COUNT(*) FROM nv_keys WHERE ") +
          Rewrite::KeyRange(QStringLiteral("nv_keys"), identity_, first, last) +
          QStringLiteral("), (SELECT COUNT(*) FROM (SELECT 1 FROM ") + MySQL::QuoteName(table) + QStringLiteral(" WHERE ") +
          range + QStringLiteral(" LIMIT ") + QString::number(most + 1) + QStringLiteral(") nv_spanned);"));
      if (counts && !counts->Eof() && counts->Value(0).toLongLong() == qint64(group.size()) &&
          counts->Value(1).toLongLong() <= most)
        return range;
    } catch (const ADODB::Error&) {
      // The pairs find their rows as they always could.
    }
    return {};
  }

  // A group made, on its way to the server.
  struct Made {
    int field = 0;
    QString name;
    std::vector<Journal::Entry> group;
    Batch::Note note;
    PairTable::Insert insert;
    QString slotted;  // its statement with its values in it (Rewrite::SlotStatement), else the insert's join
    int number = 0;
  };

  // The field's gathered group is made here and goes on a thread of its
  // own, once the one before it is answered: the next page is read and the
  // next group made while the server takes this one.
  void Send(int field) {
    Gathered& gathered = gathered_[field];
    if (gathered.entries.empty()) return;
    Made made;
    made.field = field;
    made.name = walk_.run.Field(field);
    std::vector<Rewrite::Pair> pairs;
    pairs.reserve(gathered.entries.size());
    for (const Journal::Entry& e : gathered.entries) {
      pairs.push_back({e.key, e.newValue, e.oldValue});
      made.note.records << Note(e).records;
    }
    // Each try of a group has a number of its own, so that rows a failed
    // insert left in the pair table never count as the next group's.
    made.number = number_++;
    made.slotted = Rewrite::SlotStatement(walk_.run.target.table, made.name, identity_, pairs, sender_.ByteBound());
    if (made.slotted.isEmpty()) made.insert = PairTable::Pairs(arrays_, made.number, identity_, pairs);
    made.group.swap(gathered.entries);
    gathered.bytes = 0;
    Sync();
    jobDone_ = false;
    job_ = std::thread([this, made = std::move(made)]() mutable {
      try {
        Deliver(std::move(made));
      } catch (...) {
        jobFailure_ = std::current_exception();
      }
      jobDone_ = true;
      WakeWindow();
    });
  }

  void Deliver(Made made) {
    const int field = made.field;
    const QString& name = made.name;
    const int number = made.number;
    const std::vector<Journal::Entry>& group = made.group;
    const Batch::Note& note = made.note;
    refused_.clear();
    answered_ = 0;
    if (made.slotted.isEmpty() && !pairTable_.Fill(connection_, made.insert)) {
      for (const Journal::Entry& one : group) Alone(one);
      return;
    }
    const int tag = -number - 1;
    sender_.Add(!made.slotted.isEmpty()
                    ? std::move(made.slotted)
                    : Rewrite::GroupStatement(walk_.run.target.table, name, identity_, number, Range(group)),
                tag, note, qint64(group.size()));
    try {
      sender_.Flush();
    } catch (const Batch::FatalError& e) {
      // Taken back each time it was tried (another writer on its rows, a
      // cluster's other nodes): its rows go alone, and the groups after it
      // are halved.
      if (Batch::Classify(e) != Batch::ErrorKind::Conflict) throw;
      records_ = std::max<size_t>(kPacedRecords, records_.load() / 2);
      for (const Journal::Entry& one : group) Alone(one);
      return;
    }
    if (refused_.contains(tag)) {
      // Each row of a refused group goes alone, for its own answer.
      for (const Journal::Entry& one : group) Alone(one);
      return;
    }
    // Settled by row, as the table shows it: a row that holds its old value
    // again (restored, or back already) is done; one that holds anything
    // else stays in the journal, whatever the group's count adds up to.
    const QSet<qint64> notBack =
        answered_ >= qint64(group.size()) && !triggered_ ? QSet<qint64>() : NotBack(number, name, note);
    // Rows the server changed that a trigger kept from their old value are
    // left, not restored.
    if (triggered_)
      walk_.result.restored -= std::max<qint64>(0, answered_ - (qint64(group.size()) - qint64(notBack.size())));
    std::vector<qint64> settled;
    for (const Journal::Entry& e : group) {
      if (notBack.contains(e.id))
        walk_.Left(field);
      else
        settled.push_back(e.id);
    }
    SettleLater(std::move(settled));
  }

  // A group's entries are settled on a thread of their own, through a
  // connection of their own to the journal, while the next group is read
  // and sent. One settles at a time; what failed is told before the next.
  void SettleLater(std::vector<qint64> ids) {
    AwaitSettled();
    if (ids.empty()) return;
    if (!settler_) settler_ = std::make_unique<Journal::Store>(walk_.store.Path());
    settling_ = std::thread([this, ids = std::move(ids)] {
      try {
        settler_->Settle(ids);
      } catch (...) {
        settleFailure_ = std::current_exception();
      }
    });
  }

 public:
  void AwaitSettled() {
    if (settling_.joinable()) settling_.join();
    if (!settleFailure_) return;
    std::exception_ptr failure;
    std::swap(failure, settleFailure_);
    std::rethrow_exception(failure);
  }
  ~Grouped() {
    if (job_.joinable()) job_.join();
    if (settling_.joinable()) settling_.join();
  }

 private:
  ADODB::Connection& connection_;
  const MySQL::RowIdentity& identity_;
  Walk& walk_;
  const bool pairsKeyed_;  // PairTable::Kind::Keyed
  const bool arrays_ = PairTable::TakesArrays(connection_);
  Batch::Sender sender_;
  qsizetype bytes_ = kUndoBytes;
  // The entries gathered for each field's next group.
  struct Gathered {
    std::vector<Journal::Entry> entries;
    qsizetype bytes = 0;
  };
  std::map<int, Gathered> gathered_;
  int number_ = 0;
  std::atomic<size_t> records_{kUndoRecords};  // a group's rows at most
  // The group on its way, and what failed there.
  std::thread job_;
  std::atomic<bool> jobDone_{true};
  std::exception_ptr jobFailure_;
  PairTable pairTable_;
  QSet<int> refused_;
  qint64 answered_ = 0;  // rows the server changed in the last flush
  bool triggered_ = false;  // the table has triggers
  std::unique_ptr<Journal::Store> settler_;
  std::thread settling_;
  std::exception_ptr settleFailure_;
};

}  // namespace

QString ServerIdentity(const MySQL::ConnectionDetails& details, bool responsive) {
  try {
    auto connection = OpenSession(details, responsive, false);
    return MySQL::ServerIdentity(*connection);
  } catch (const ADODB::Error&) {
    return {};  // the undo that follows says why it cannot connect
  }
}

UndoResult Undo(const MySQL::ConnectionDetails& details, const Journal::RunHeader& run, Journal::Store& store,
                const std::function<void(qint64, qint64)>& progress, const std::function<bool()>& cancelled) {
  // The groups go on threads of their own: every driver call of the
  // session runs on the connection's one thread (as a run's does), so that
  // a lock the driver keeps past a call never meets another thread's.
  auto connection = OpenSession(details, true, true);
  // Every statement of an undo restores rows: it runs to its end, and the
  // undo stops between groups.
  connection->AllowInterrupt(false);
  // Another server that holds a table of the same name is not the one the
  // run changed, whatever names reach it.
  const QString here = MySQL::ServerIdentity(*connection);
  if (!Journal::SameServer(run.target, run.target.server, run.target.port, here))
    throw ADODB::Error(QStringLiteral("Run %1 was made on the server %2, and this is %3: nothing was changed.")
                           .arg(run.id)
                           .arg(run.target.serverId, here));
  Walk walk{run, store, progress, cancelled, 0, {}};
  walk.result.triggers = MySQL::UpdateTriggers(*connection, run.target.table);
  // Groups need the run's key as the table has it now, as literals, in a
  // table that takes a group back whole; and values kept as the column's
  // own bytes.
  bool grouped = run.charset.isEmpty() && !run.keyNames.isEmpty() && !Rewrite::NamedLikeOwnTables(run.target.table);
  MySQL::RowIdentity identity;
  if (grouped) {
    identity = MySQL::ReadRowIdentity(*connection, run.target.table, run.target.field);
    grouped = identity.transactional && identity.columns == run.keyNames && !identity.keyValues.isEmpty();
  }
  // No temporary tables for this login: row by row.
  const PairTable::Kind pairs = grouped ? PairTable::Make(*connection, run.target.table, identity) : PairTable::Kind::None;
  std::unique_ptr<Grouped> groups;
  if (pairs != PairTable::Kind::None)
    groups = std::make_unique<Grouped>(*connection, identity, walk, pairs == PairTable::Kind::Keyed);
  if (groups && groups->Usable()) {
    groups->Go();
    groups->AwaitSettled();
  } else
    RowByRow(*connection, walk);
  // A run that lost entries to the journal's damage is never all back.
  if (!walk.result.interrupted && walk.result.left == 0 && run.lost == 0) store.MarkUndone(run.id);
  return walk.result;
}

}  // namespace Conversion
