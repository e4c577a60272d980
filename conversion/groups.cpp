// A run's groups: one on its way to the server on a thread of its own
// while the next is read, converted and journaled.
#include <QCoreApplication>
#include <QThread>

#include "conversion/state.h"
#include "database/rewrite.h"

namespace Conversion {
namespace {

// Wakes a window waiting in Run::Await once a thread's work is done.
void WakeWindow() {
  if (QCoreApplication* app = QCoreApplication::instance()) QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
}

}  // namespace

void Run::Await(const std::atomic<bool>& done) const {
  // The window's events go on meanwhile; the thread's end wakes this loop.
  // Elsewhere the caller's join waits.
  QCoreApplication* app = QCoreApplication::instance();
  if (!options_.responsive || !app || QThread::currentThread() != app->thread()) return;
  while (!done.load()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void Run::Sync() {
  State& s = *s_;
  if (!s.job.joinable()) return;
  Await(jobDone_);
  s.job.join();
  std::vector<State::JobRefusal> refusals;
  refusals.swap(s.jobRefusals);
  for (const State::JobRefusal& r : refusals) Refused(r.tag, r.text, r.key);
  if (s.jobFailure) {
    std::exception_ptr failure;
    std::swap(failure, s.jobFailure);
    try {
      std::rethrow_exception(failure);
    } catch (const Batch::FatalError&) {
      ended_ = true;
      throw;
    } catch (const Journal::Error&) {
      ended_ = true;  // nothing goes without its journal
      throw;
    }
  }
}

void Run::Launch() {
  State& s = *s_;
  std::vector<Pair> pairs;
  pairs.swap(s.joining);
  s.joiningBytes = 0;
  // The group is made, and journaled, while the one before it is still on
  // its way; it goes once that one is answered. The journal is written on a
  // thread of its own, so that the window lives while the disk syncs.
  Group group = MakeGroup(s, std::move(pairs));
  std::atomic<bool> written{true};
  std::exception_ptr unwritten;
  std::thread writer;
  if (s.journal) {
    written = false;
    writer = std::thread([&] {
      try {
        s.journal->WriteBefore({group.note});
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
  // A failure of the group before that ends the run keeps this one back; any
  // other is told once this one is on its way.
  std::exception_ptr failure;
  try {
    Sync();
  } catch (const Batch::FatalError&) {
    awaitWriter();
    if (s.journal) s.journal->Withdraw({group.note});
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  awaitWriter();
  // A group the journal could not take never goes, nor anything after it:
  // what went before stays journaled.
  if (unwritten) {
    ended_ = true;
    std::rethrow_exception(unwritten);
  }
  if (ended_) {
    if (s.journal) s.journal->Withdraw({group.note});
    if (failure) std::rethrow_exception(failure);
    return;
  }
  // Groups are paced to the time the server takes for them: no transaction
  // holds its rows, or a replica's applier, much longer than the bound.
  const double chunkTime = options_.gentle.on ? options_.gentle.chunkTime : 0;
  if (chunkTime > 0 && s.lastGroupSeconds > 0) {
    if (s.lastGroupSeconds > chunkTime)
      s.groupRecords = std::max<size_t>(kPacedRecords, s.groupRecords / 2);
    else if (s.lastGroupSeconds < chunkTime / 4)
      s.groupRecords = std::min(kJoinRecords, s.groupRecords + s.groupRecords / 2);
  }
  // A live server, its cluster or the user may ask the run to wait; the
  // connection is idle now.
  bool go = true;
  try {
    go = Gentle();
  } catch (...) {
    if (s.journal) s.journal->Withdraw({group.note});
    throw;
  }
  if (!go) {
    // Stopped while it waited: the group never goes, and the run stops.
    if (s.journal) s.journal->Withdraw({group.note});
    interrupted_ = true;
    return;
  }
  jobDone_ = false;
  s.job = std::thread([this, &s, group = std::move(group)]() mutable {
    s.jobThread = std::this_thread::get_id();
    try {
      SendJoin(s, std::move(group));
    } catch (...) {
      s.jobFailure = std::current_exception();
    }
    s.jobThread = {};
    jobDone_ = true;
    WakeWindow();
  });
  if (failure) std::rethrow_exception(failure);
}

// Records that go alone after their join was refused.
void Run::SendAlone(State& s) {
  std::vector<Pair> now;
  now.swap(s.alone);
  for (const Pair& a : now) {
    const Batch::Note note = Rewrite::RecordNote(a.record, NoteKey(s, a.key, a.keyValues), a.oldBytes, a.newBytes);
    s.sender->Add(
        Rewrite::KeyedStatement(s.table, s.field, KeyOf(s, a.key, a.keyValues), a.oldBytes, a.newBytes, {}, a.tag),
        a.tag, a.journaled ? Rewrite::Journaled(note) : note, 1, Rewrite::Ahead(a.tag, a.newBytes));
  }
}

// The pairs gathered for the next join, after the records that go alone.

Run::Group Run::MakeGroup(State& s, std::vector<Pair> joining) {
  Group g;
  if (joining.empty()) return g;
  std::vector<Rewrite::Pair> pairs;
  pairs.reserve(joining.size());
  for (const Pair& j : joining) {
    pairs.push_back({j.keyValues, j.oldBytes, j.newBytes});
    g.note << Rewrite::RecordNote(j.record, NoteKey(s, j.key, j.keyValues), j.oldBytes, j.newBytes);
  }
  g.number = s.groups++;
  g.insert = Rewrite::GroupInsert(g.number, s.identity, pairs);
  g.pairs = std::move(joining);
  return g;
}

// The records that go alone, then the group.
void Run::SendJoin(State& s, Group g) {
  SendAlone(s);
  if (g.pairs.empty()) return;
  s.group = std::move(g.pairs);
  // The pairs go ahead on their own; a group they cannot join goes record
  // by record.
  try {
    // The group before it is emptied out of the pair table first.
    if (s.pairsLeft) {
      s.connection->ExecuteMany(Rewrite::GroupsDone() + g.insert, [](int, ADODB::RecordSet*) {});
    } else {
      s.connection->Execute(g.insert);
    }
    s.pairsLeft = true;
  } catch (const ADODB::Error& e) {
    if (Batch::Classify(e) == Batch::Failure::Fatal) throw Batch::FatalError(e);
    s.alone.insert(s.alone.end(), s.group.begin(), s.group.end());
    std::vector<Pair>().swap(s.group);
    SendAlone(s);
    return;
  }
  // A group is a transaction of its own: once it is answered, what went
  // wrong is in `alone` and its pairs are let go.
  const auto started = std::chrono::steady_clock::now();
  s.sender->Add(Rewrite::GroupStatement(s.table, s.field, s.identity, g.number), -g.number - 1, std::move(g.note),
                qint64(s.group.size()));
  try {
    s.sender->Flush();
  } catch (const Batch::FatalError& e) {
    // Taken back each time it was tried (another writer on its rows, a
    // cluster's other nodes): a join of many rows meets one of their
    // writes again and again. Its records go alone, in transactions the
    // sender halves until they pass.
    if (Batch::Classify(e) != Batch::Failure::Conflict) throw;
    for (Pair& p : s.group) p.journaled = true;
    s.alone.insert(s.alone.end(), s.group.begin(), s.group.end());
  }
  s.lastGroupSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::vector<Pair>().swap(s.group);
  SendAlone(s);
}

}  // namespace Conversion
