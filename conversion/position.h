// Where a run stands, so that one that ended early can be continued
// (--resume) after the last row it settled, and no two processes continue
// the same run at once.
#pragma once

#include <QString>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>

#include "journal/recorder.h"

namespace Conversion {

// Records sent and not yet answered, each with the record before it (its
// number and its key's literals), and the last record whose steps are done.
// Every record up to the one before the first unanswered is settled.
// Answers come from the group's thread too.
class Position {
 public:
  // The record is on its way: it stands after the record done before it.
  void Sent(qint64 record);
  // The server answered for it (committed, refused or left).
  void Settle(qint64 record);
  // The same for records in increasing order, under one lock.
  void Settle(const std::vector<qint64>& records);
  // The first record sent and not answered yet, or -1.
  qint64 FirstUnanswered();
  // Its steps are done; `key` is its key's literals.
  void Done(qint64 record, const QString& key);
  // Journals where the run stands: at most once a second unless `now`.
  // Before its first row is settled, a run continued (`resume`) stands
  // where it began.
  void Keep(Journal::RunRecorder& journal, const std::optional<Journal::RunHeader>& resume, const QString& ended,
            bool now);

 private:
  // Records are sent in their order: the unanswered are kept in it, each
  // answered one until those before it are.
  struct Sending {
    qint64 record, before;
    QString beforeKey;
    bool answered;
  };
  void Compact();
  std::mutex mutex_;
  std::deque<Sending> sent_;
  size_t answeredWithin_ = 0;  // answered, behind one that is not
  qint64 doneRecord_ = -1;
  QString doneKey_;
  std::chrono::steady_clock::time_point kept_{};
};

// This process's hold on one run of the journal, for as long as it lives:
// two processes never continue (or make and continue) the same run at once.
class RunHold {
 public:
  RunHold() = default;
  ~RunHold();
  RunHold(const RunHold&) = delete;
  RunHold& operator=(const RunHold&) = delete;
  // False where another process holds it.
  bool Take(const QString& journalPath, qint64 run);

 private:
  int fd_ = -1;
};

}  // namespace Conversion
