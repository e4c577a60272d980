// The journal's side of a run and of its undo: hooks that see each batch
// inside its transaction.
#pragma once

#include <QHash>
#include <QSet>
#include <QStringList>
#include <memory>
#include <mutex>
#include <vector>

#include "database/ado.h"
#include "database/batch.h"
#include "journal/identity.h"
#include "journal/store.h"

namespace Journal {

// Records what a run changes, ahead of the server: before each batch is
// sent, every record of it whose text changes is written to the journal
// with its row's key and its exact old and new bytes in the column's
// character set, synced. A record is written once however often its batch
// is tried again, and whatever order the records go in.
//
// Each statement's note is Rewrite::RecordNote() of its record.
class RunRecorder : public Batch::Hook {
 public:
  // Opens the journal and records the run's header, for a table whose rows
  // are told apart by `identity`. Raises Journal::Error when the journal
  // cannot be written. `words` names the word list the run used (its hash),
  // `where` the condition that picked its rows; a run of several fields
  // names each with its mode (RunHeader::fields).
  static std::unique_ptr<RunRecorder> Start(const RowIdentity& identity, const Target& target, const QString& mode,
                                            const QString& path = Store::DefaultPath(), const QString& words = {},
                                            const QString& where = {}, const QStringList& fields = {},
                                            const QStringList& modes = {});

  // Opens the journal to continue `run`, which ended early: what this run
  // changes is added to it, so that one undo takes back both.
  static std::unique_ptr<RunRecorder> Continue(const RunHeader& run, const QString& path = Store::DefaultPath());
  // Where the run stands (RunHeader::ended, position, nextRecord). Never
  // raises.
  void SetProgress(const QString& ended, const QString& position, qint64 nextRecord);

  void Ahead(const std::vector<Batch::Note>& notes) override;
  bool ReadsBefore() const override { return false; }
  void Before(ADODB::Connection&, const std::vector<Batch::Note>&) override {}
  void BeforeCommit(ADODB::Connection&) override {}
  void Committed() override;
  // Records that go to the server outside the sender (the pairs of the
  // join without a key), before they go.
  void Write(const std::vector<Batch::Note>& notes);
  // Records of a batch that goes next, written while the one before it is
  // on its way (from another thread: every member takes turns). Withdraw
  // marks those of a batch that never went as changing nothing.
  void WriteBefore(const std::vector<Batch::Note>& notes);
  void Withdraw(const std::vector<Batch::Note>& notes);
  // A record the server refused changed nothing; one that left warnings
  // left its row as the server made it, which is read back by its key.
  void NotApplied(ADODB::Connection& connection, const Batch::Note& note, bool warned) override;
  // Records whose rows their committed statement did not change: their
  // entries stand for nothing, so that the journal counts what the table got.
  void Unchanged(const QList<Batch::RecordNote>& records) override;
  // What the rows hold now, in place of the values sent: undo looks for
  // these.
  void Stored(const QList<Batch::RecordNote>& records) override;
  // Records that go again alone: their entries stay open for that answer.
  void Again(const QList<Batch::RecordNote>& records) override;

  // Prunes the target's older runs; a run that changed nothing leaves
  // nothing to undo and goes too. Never raises: the run is over.
  // `changed`: for a table without a key, the rows the run changed as the
  // server counted them (negative: not counted).
  void Finish(qint64 changed = -1);

  // The journal's bound in bytes over all runs, kept at Finish.
  void SetTotalLimit(qint64 bytes) { limit_ = bytes; }

  qint64 Rows() const {
    std::lock_guard lock(mutex_);
    return rows_;
  }
  const RunHeader& Header() const { return header_; }

 private:
  RunRecorder(std::unique_ptr<Store> store, RunHeader header);

  std::unique_ptr<Store> store_;
  RunHeader header_;
  // Appends the entries of the notes' records not written yet, by record
  // when `open`.
  // `open`: kept open until answered; `trying`: part of the batch tried now.
  // The store is written with `lock` let go, under `storeMutex_` alone.
  void Append(std::unique_lock<std::mutex>& lock, const std::vector<Batch::Note>& notes, bool open, bool trying);
  // The entries of the notes' records, written but not yet answered for,
  // stand for no change (their statement never went, or changed nothing).
  void ChangedNothing(const QList<Batch::RecordNote>& records);
  mutable std::mutex mutex_;
  std::mutex storeMutex_;  // the store's own: taken after mutex_, never before

  qint64 rows_ = 0;
  qint64 limit_ = 0;  // none
  bool continued_ = false;  // a run continued: it has rows of its own already
  // The entries of records written but not yet answered for, by record and
  // field (Batch::CellOf): a
  // record goes again after its batch was taken back, or alone after its
  // group was refused. The records of the last batch tried, and those of
  // refused groups, which go again alone.
  QHash<qint64, qint64> open_;
  std::vector<qint64> trying_;
  QSet<qint64> again_;
};

// Takes a run back, row by row: one statement per journal entry, by key, and
// only where the row still holds exactly what the run wrote. Before each
// batch's statements it reads those rows with locks to count which will be
// restored and which someone changed since; the counts hold once the batch
// commits, and the entries of rows restored (or found as they were before
// the run) are settled in the journal, so that undoing again finds only the
// rows still left. The entries come a page at a time.
class Restorer : public Batch::Hook {
 public:
  Restorer(const RunHeader& run, Store& store);

  // The next page of entries, newest first, once the one before has been
  // sent; false when none are left.
  bool NextPage(int size);
  size_t Count() const { return entries_.size(); }
  QString Statement(size_t i) const;
  Batch::Note Note(size_t i) const { return {{Batch::RecordNote{qint64(i), {}, {}, {}}}, false}; }

  void Before(ADODB::Connection& connection, const std::vector<Batch::Note>& notes) override;
  void BeforeCommit(ADODB::Connection&) override {}
  void Committed() override;
  // A row the server refused stays in the journal.
  void NotApplied(ADODB::Connection& connection, const Batch::Note& note, bool warned) override;

  qint64 Restored() const { return restored_; }
  qint64 ChangedSince() const { return changed_; }
  // Of those, each field's, by its number (RunHeader::Field).
  const std::vector<qint64>& ChangedByField() const { return changedByField_; }
  // The field of the page's entry `i`.
  int FieldOf(size_t i) const { return i < entries_.size() ? entries_[i].field : 0; }

 private:
  RunHeader run_;
  Store& store_;
  std::vector<Entry> entries_;
  qint64 before_ = 0;  // the next page's entries are numbered below this
  qint64 restored_ = 0, changed_ = 0;
  qint64 pendingRestored_ = 0, pendingChanged_ = 0;
  std::vector<qint64> changedByField_, pendingChangedByField_;
  std::vector<qint64> pendingSettled_;
};

// An entry's key as a condition on the run's key columns.
QString KeyCondition(const RunHeader& run, const QString& key);

}  // namespace Journal
