#include "conversion/keyjoin.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <chrono>

#include "database/rewrite.h"

namespace Conversion {
namespace {

// Wakes a window waiting in KeyJoin::Await once a thread's work is done.
void WakeWindow() {
  if (QCoreApplication* app = QCoreApplication::instance()) QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
}

}  // namespace

KeyJoin::KeyJoin(Road road, Calls calls, Ending& ending, double chunkTime, bool responsive)
    : road_(std::move(road)),
      calls_(std::move(calls)),
      ending_(ending),
      chunkTime_(chunkTime),
      responsive_(responsive),
      // A group's pairs stay well inside what the server takes in one statement.
      groupBytes_(std::min(kJoinBytes, road_.sender.ByteBound())) {}

KeyJoin::~KeyJoin() { Join(); }

void KeyJoin::Join() {
  if (job_.joinable()) job_.join();
}

void KeyJoin::Await(const std::atomic<bool>& done) const {
  // The window's events go on meanwhile; the thread's end wakes this loop.
  // Elsewhere the caller's join waits.
  QCoreApplication* app = QCoreApplication::instance();
  if (!responsive_ || !app || QThread::currentThread() != app->thread()) return;
  while (!done.load()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
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

void KeyJoin::Add(const Pair& pair, const Batch::Note&) {
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
    joining_.push_back(pair);
    joiningBytes_ += bytes;
  }
  if (told) std::rethrow_exception(told);
  if (joining_.size() >= groupRecords_) Launch();
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
  SendJoin(MakeGroup(std::move(last)));
  road_.sender.Flush();
  while (!alone_.empty()) {
    SendAlone();
    road_.sender.Flush();
  }
}

void KeyJoin::Drop() {
  joining_.clear();
  alone_.clear();
}

// Groups are paced to the time the server takes for them: no transaction
// holds its rows, or a replica's applier, much longer than the bound.
void KeyJoin::Pace() {
  if (chunkTime_ <= 0 || lastGroupSeconds_ <= 0) return;
  if (lastGroupSeconds_ > chunkTime_)
    groupRecords_ = std::max<size_t>(kPacedRecords, groupRecords_ / 2);
  else if (lastGroupSeconds_ < chunkTime_ / 4)
    groupRecords_ = std::min(kJoinRecords, groupRecords_ + groupRecords_ / 2);
}

void KeyJoin::Launch() {
  std::vector<Pair> pairs;
  pairs.swap(joining_);
  joiningBytes_ = 0;
  // The group is made, and journaled, while the one before it is still on
  // its way; it goes once that one is answered. The journal is written on a
  // thread of its own, so that the window lives while the disk syncs.
  Group group = MakeGroup(std::move(pairs));
  std::atomic<bool> written{true};
  std::exception_ptr unwritten;
  std::thread writer;
  if (journal_) {
    written = false;
    writer = std::thread([&] {
      try {
        journal_->WriteBefore({group.note});
      } catch (...) {
        unwritten = std::current_exception();
      }
      written = true;
      WakeWindow();
    });
  }
  const auto awaitWriter = [&] {
    if (!writer.joinable()) return;
    Await(written);
    writer.join();
  };
  const auto withdraw = [&] {
    if (journal_) journal_->Withdraw({group.note});
  };
  // A failure of the group before that ends the run keeps this one back; any
  // other is told once this one is on its way.
  std::exception_ptr failure;
  try {
    Sync();
  } catch (const Batch::FatalError&) {
    awaitWriter();
    withdraw();
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  awaitWriter();
  // A group the journal could not take never goes, nor anything after it:
  // what went before stays journaled.
  if (unwritten) {
    ending_.ended = true;
    std::rethrow_exception(unwritten);
  }
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
  jobDone_ = false;
  job_ = std::thread([this, group = std::move(group)]() mutable {
    jobThread_ = std::this_thread::get_id();
    try {
      SendJoin(std::move(group));
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

// The pairs gathered for the next join.
KeyJoin::Group KeyJoin::MakeGroup(std::vector<Pair> joining) {
  Group g;
  if (joining.empty()) return g;
  std::vector<Rewrite::Pair> pairs;
  pairs.reserve(joining.size());
  g.note.records.reserve(qsizetype(joining.size()));
  for (const Pair& j : joining) {
    pairs.push_back({j.keyValues, j.oldBytes, j.newBytes, j.cells});
    if (j.cells.empty()) g.note.records << Batch::RecordNote{j.record, j.keyValues, j.oldBytes, j.newBytes};
    else g.note.records << Rewrite::RowNote(j.record, j.keyValues, j.cells).records;
  }
  g.note.group = true;
  g.number = groups_++;
  g.insert = Rewrite::GroupInsert(g.number, road_.identity, pairs, std::max<int>(1, int(road_.fields.size())));
  g.pairs = std::move(joining);
  return g;
}

// The records that go alone, then the group.
void KeyJoin::SendJoin(Group g) {
  SendAlone();
  if (g.pairs.empty()) return;
  group_ = std::move(g.pairs);
  // The pairs go ahead on their own; a group they cannot join goes record
  // by record.
  if (!pairTable_.Fill(road_.connection, g.insert)) {
    alone_.insert(alone_.end(), group_.begin(), group_.end());
    std::vector<Pair>().swap(group_);
    SendAlone();
    return;
  }
  // A group is a transaction of its own: once it is answered, what went
  // wrong is in `alone_` and its pairs are let go.
  const auto started = std::chrono::steady_clock::now();
  // (A row of several fields changes whole or not at all: the rows the
  // server changed tell every field's count.)
  road_.sender.Add(road_.fields.isEmpty() ? Rewrite::GroupStatement(road_.table, road_.field, road_.identity, g.number)
                                          : Rewrite::GroupStatement(road_.table, road_.fields, road_.identity, g.number),
                   -g.number - 1, std::move(g.note), qint64(group_.size()));
  try {
    road_.sender.Flush();
  } catch (const Batch::FatalError& e) {
    // Taken back each time it was tried (another writer on its rows, a
    // cluster's other nodes): a join of many rows meets one of their
    // writes again and again. Its records go alone, in transactions the
    // sender halves until they pass.
    if (Batch::Classify(e) != Batch::ErrorKind::Conflict) throw;
    for (Pair& p : group_) p.journaled = true;
    alone_.insert(alone_.end(), group_.begin(), group_.end());
  }
  lastGroupSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::vector<Pair>().swap(group_);
  SendAlone();
}

}  // namespace Conversion
