// Sends the run's statements many to a round trip, one transaction per
// batch, and answers for each statement: done, refused with the server's
// text, or the run cannot go on.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "database/ado.h"

namespace Batch {

// What a failing statement means for the run.
enum class Failure {
  Refused,   // this statement's own value or row: the others go on
  Conflict,  // deadlock, lock wait, cluster certification: the batch is tried again
  Fatal,     // connection lost, no rights, table or column gone, read-only: nothing later can succeed
};
// Judged by the server's error number and the SQLSTATE, never the message.
Failure Classify(const ADODB::Error& error);

// A failure that ends the run; what() is the server's or driver's text.
class FatalError : public ADODB::Error {
 public:
  explicit FatalError(const ADODB::Error& cause) : ADODB::Error(cause) {}
};

struct Limits {
  int statements = 500;          // statements in one batch
  qsizetype bytes = 1024 * 1024; // statement bytes in one batch, further bounded by the server's packet size
  int attempts = 8;              // tries of one batch when conflicts roll it back
  int firstBackoffMs = 20;       // pause before the first retry, doubling after each
};

// Sees each batch inside its transaction, for a caller that must learn what
// the batch changes before it commits. Its failures roll the batch back and
// end the run; a conflict raised by its reads retries the batch.
class Hook {
 public:
  virtual ~Hook() = default;
  // After the batch's transaction starts, before its statements run, with
  // each statement's note in queue order. Called again when the batch is
  // tried again.
  virtual void Before(ADODB::Connection& connection, const std::vector<QStringList>& notes) = 0;
  // After the statements, before COMMIT is sent.
  virtual void BeforeCommit(ADODB::Connection& connection) = 0;
  // The batch has committed.
  virtual void Committed() = 0;
};

class Sender {
 public:
  // Called once a batch has committed, in queue order, for each statement
  // the server refused or answered with a warning.
  using Refused = std::function<void(int tag, const QString& text)>;

  // `connection` is open with MultipleStatements; the server's
  // max_allowed_packet is read now.
  Sender(ADODB::Connection& connection, Refused refused, Limits limits = {});

  // Queues one statement; `tag` names it to the caller. Sends the queued
  // batch first when this statement would take it past its byte bound, and
  // after it when the batch is full.
  void Add(const QString& statement, int tag, QStringList note = {});

  // Shows every batch to the hook (not owned; null for none). Without a hook
  // the batches travel exactly as before.
  void SetHook(Hook* hook) { hook_ = hook; }

  // Sends the queued statements as one transaction and empties the queue. A
  // statement the server refused or answered with a warning has its change
  // taken back wherever the table keeps transactions, and is passed to
  // `refused` after the commit. Conflicts are retried within the limits.
  // Raises FatalError when the run cannot go on, or when the conflicts
  // outlast the retries; the batch's transaction is then rolled back.
  void Flush();

  int Retries() const { return retries_; }  // batches tried again so far
  int Batches() const { return batches_; }  // batches committed so far
  qsizetype ByteBound() const { return byteBound_; }

 private:
  struct Item {
    QString statement;
    int tag;
    size_t order;
    QStringList note;  // for the hook  // position in the queue, for the order of reports
  };
  struct Outcome {
    bool refused = false;
    bool warned = false;
    QString text;
  };
  // One try of the batch up to, not including, its commit. False when a
  // conflict rolled it back.
  bool Attempt(const std::vector<Item>& items, std::vector<Outcome>& outcomes);
  // The warning a statement leaves, learnt by running it again alone.
  QString WarningText(const Item& item);
  void Rollback();
  // Runs one of the hook's steps: a conflict is false, any other failure
  // rolls back and raises FatalError.
  bool HookStep(const std::function<void()>& step);

  ADODB::Connection& connection_;
  Refused refused_;
  Hook* hook_ = nullptr;
  Limits limits_;
  ADODB::Error lastConflict_{QString()};
  qsizetype byteBound_ = 0;
  std::vector<Item> queued_;
  qsizetype queuedBytes_ = 0;
  bool lost_ = false;  // the connection is gone: nothing more is sent on it
  int retries_ = 0;
  int batches_ = 0;
};

}  // namespace Batch
