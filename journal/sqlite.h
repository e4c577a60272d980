// The journal's own use of SQLite, shared by the store and the recovery of a
// damaged journal: prepared statements, transactions, and the failures they
// raise as Error or Damaged. Private to journal/: nothing outside it includes
// this file.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <sqlite3.h>

#include "journal/store.h"

namespace Journal {

// Whether SQLite's failure says the file is no database, or that its pages
// contradict each other: it will fail the same way however often it is tried.
bool IsDamage(int code);

// Raises SQLite's last failure on db: Damaged where the file is damaged, else
// a failure to read or to write the journal.
[[noreturn]] void Raise(sqlite3* db, const QString& path, bool reading);

// Runs statements without results on the journal at `path`. Raises Damaged
// where the file is damaged, else Error: it cannot be written.
void Exec(sqlite3* db, const QString& path, const char* sql);

// One prepared statement, finalized when it goes. A query's failures are
// failures to read, the others' to write.
class Statement {
 public:
  Statement(sqlite3* db, const QString& path, const char* sql);
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // UTF-8 text that stays as it is until the statement steps.
  Statement& BindText(int i, const QByteArray& utf8);
  Statement& Bind(int i, const QString& text);
  Statement& Bind(int i, qint64 n);
  // A zero-length blob, not NULL, for the empty value. The bytes must
  // outlive the step: SQLite reads them where they are.
  Statement& BindBlob(int i, const QByteArray& bytes);
  // The value exactly as another statement read it.
  Statement& BindValue(int i, const sqlite3_value* value);
  // True while there is a row.
  bool Step();
  // Steps a statement that changes rows, and returns SQLite's code instead of
  // raising where the row was refused (a constraint, a value of the wrong
  // type): SQLITE_DONE when it went in.
  int StepUnlessRefused();
  void Reset();
  QString Text(int i) const;
  QByteArray Blob(int i) const;
  qint64 Int(int i) const { return sqlite3_column_int64(stmt_, i); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Throw();
  }
  [[noreturn]] void Throw() { Raise(db_, path_, reading_); }
  sqlite3* db_;
  const QString& path_;
  const bool reading_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls an open transaction back unless it was committed.
class Transaction {
 public:
  Transaction(sqlite3* db, const QString& path);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  sqlite3* db_;
  const QString& path_;
  bool done_ = false;
};

// A statement on a damaged file, which raises nothing: none where it cannot
// be prepared, and its steps' codes are the caller's to judge.
using Query = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
Query Prepare(sqlite3* db, const char* sql);

}  // namespace Journal
