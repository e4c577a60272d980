// The journal's side of a run and of its undo: hooks that see each batch
// inside its transaction.
#pragma once

#include <QHash>
#include <deque>
#include <QStringList>
#include <memory>
#include <vector>

#include "database/ado.h"
#include "database/batch.h"
#include "journal/identity.h"
#include "journal/store.h"

namespace Journal {

// Records what a run changes, ahead of the server: before each batch is
// sent, every record of it whose text changes is written to the journal
// with its row's key and its exact old and new text, synced. A record is
// written once however often its batch is tried again.
//
// Each statement's note is Note() of its record.
class RunRecorder : public Batch::Hook {
 public:
  // Opens the journal and records the run's header, for a table whose rows
  // are told apart by `identity`. Raises Journal::Error when the journal
  // cannot be written.
  static std::unique_ptr<RunRecorder> Start(const RowIdentity& identity, const Target& target, const QString& mode,
                                            const QString& path = Store::DefaultPath());

  // A record's note: its position in the run, its row's key condition
  // (empty without a key), its text before and after.
  static QStringList Note(qint64 record, const QString& key, const QString& oldText, const QString& newText);

  void Ahead(const std::vector<QStringList>& notes) override;
  bool ReadsBefore() const override { return false; }
  void Before(ADODB::Connection&, const std::vector<QStringList>&) override {}
  void BeforeCommit(ADODB::Connection&) override {}
  void Committed() override {}
  // A record the server refused changed nothing; one that left warnings
  // left its row as the server made it, which is read back by its key.
  void NotApplied(ADODB::Connection& connection, const QStringList& note, bool warned) override;

  // Prunes the target's older runs; a run that changed nothing leaves
  // nothing to undo and goes too. Never raises: the run is over.
  void Finish();

  qint64 Rows() const { return rows_; }
  const RunHeader& Header() const { return header_; }

 private:
  RunRecorder(std::unique_ptr<Store> store, RunHeader header);

  std::unique_ptr<Store> store_;
  RunHeader header_;
  qint64 rows_ = 0;
  qint64 written_ = -1;  // the last record written: records come in the run's order
  // The entries of the batch under way, by record, in order.
  std::deque<std::pair<qint64, qint64>> entries_;
};

// Takes a run back, row by row: one statement per journal entry, by key, and
// only where the row still holds exactly what the run wrote. Before each
// batch's statements it reads those rows with locks to count which will be
// restored and which someone changed since; the counts hold once the batch
// commits.
class Restorer : public Batch::Hook {
 public:
  // Entries newest first, as they are to be restored.
  Restorer(const RunHeader& run, std::vector<Entry> entries);

  size_t Count() const { return entries_.size(); }
  QString Statement(size_t i) const;
  QStringList Note(size_t i) const { return {QString::number(i)}; }

  void Before(ADODB::Connection& connection, const std::vector<QStringList>& notes) override;
  void BeforeCommit(ADODB::Connection&) override {}
  void Committed() override;

  qint64 Restored() const { return restored_; }
  qint64 ChangedSince() const { return changed_; }

 private:
  RunHeader run_;
  std::vector<Entry> entries_;
  qint64 restored_ = 0, changed_ = 0;
  qint64 pendingRestored_ = 0, pendingChanged_ = 0;
};

// The entries of a run, newest first.
std::vector<Entry> EntriesNewestFirst(Store& store, qint64 run);

}  // namespace Journal
