// The journal's side of a run and of its undo: hooks that see each batch
// inside its transaction.
#pragma once

#include <QHash>
#include <QStringList>
#include <memory>
#include <vector>

#include "database/ado.h"
#include "database/batch.h"
#include "journal/identity.h"
#include "journal/store.h"

namespace Journal {

// Records what a run changes. Before a batch's statements it reads, with
// locks, the rows holding any of the batch's old values; after them it
// reads those rows again and writes every row whose bytes changed to the
// journal, synced, before the batch commits.
//
// Each statement's note is its old and new text, escaped as in the
// statement.
class RunRecorder : public Batch::Hook {
 public:
  // Learns the table's row identity, opens the journal and records the
  // run's header. Raises Journal::Error when the journal cannot be written,
  // ADODB::Error when the server cannot tell the key.
  static std::unique_ptr<RunRecorder> Start(ADODB::Connection& connection, const Target& target, const QString& mode,
                                            const QString& path = Store::DefaultPath());

  void Before(ADODB::Connection& connection, const std::vector<QStringList>& notes) override;
  void BeforeCommit(ADODB::Connection& connection) override;
  void Committed() override {}

  // Prunes the target's older runs; a run that changed nothing leaves
  // nothing to undo and goes too. Never raises: the run is over.
  void Finish();

  qint64 Rows() const { return rows_; }
  const RunHeader& Header() const { return header_; }

 private:
  RunRecorder(std::unique_ptr<Store> store, RunHeader header, RowIdentity identity);
  QString Read(const QStringList& literals, bool lock) const;

  std::unique_ptr<Store> store_;
  RunHeader header_;
  RowIdentity identity_;
  qint64 rows_ = 0;
  // This batch: the old values' literals, the pairs, and what the rows held
  // before its statements (by key, or counted by exact text without one).
  QStringList olds_;
  std::vector<std::pair<QString, QString>> pairs_;
  QHash<QString, QByteArray> before_;
  QHash<QString, qint64> counts_;
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
