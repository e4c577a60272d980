// A second client that writes to a table `t (id INT PRIMARY KEY
// AUTO_INCREMENT, v ...)` while a run converts its field `v`: it updates
// random rows to new values, inserts rows and deletes rows, one autocommit
// statement each, and remembers what it wrote last to every row.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "caserules/case.h"
#include "database/mysql.h"

class ConcurrentWriter {
 public:
  // `originals` is the table as it stands before the writer starts.
  ConcurrentWriter(const MySQL::ConnectionDetails& details, const QMap<int, QString>& originals, quint32 seed);
  ~ConcurrentWriter();
  ConcurrentWriter(const ConcurrentWriter&) = delete;
  ConcurrentWriter& operator=(const ConcurrentWriter&) = delete;

  void Start();
  void Stop();
  // Blocks until `count` more writes have succeeded; false when the writer
  // failed (Failure() says why) or was stopped.
  bool WaitForWrites(int count);
  int Writes() const { return writes_; }
  int Skipped() const { return skipped_; }  // writes that waited too long for a lock and were dropped
  QString Failure() const;

  // What is wrong with the table as it stands now, one line per row: every
  // row must hold the conversion of its original value, or, where this
  // writer wrote it, the writer's last value or its conversion; deleted rows
  // must be gone and inserted ones there.
  QStringList Violations(const MySQL::ConnectionDetails& details, Case::CaseMode mode) const;

 private:
  void Loop();

  MySQL::ConnectionDetails details_;
  QMap<int, QString> originals_;
  QMap<int, QString> written_;  // id -> last value written; a null string: deleted
  quint32 seed_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> writes_{0}, skipped_{0};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  QString failure_;
  bool running_ = false;
};

// A fresh table `t (id, v)` of messy names, none in Proper Case yet; a few
// repeat unless `distinct`, where each row's name is its own.
void MakeNameTable(const MySQL::ConnectionDetails& details, int rows, quint32 seed, bool distinct = false);

// The table `t` as id -> v, in one query.
QMap<int, QString> TableById(const MySQL::ConnectionDetails& details);
