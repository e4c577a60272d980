// Sends the run's statements many to a round trip, one transaction per
// batch, and answers for each statement: done, refused with the server's
// text, or the run cannot go on.
#pragma once

#include <QString>
#include <QByteArrayList>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "database/ado.h"

namespace Batch {

// One record a statement stands for: its number, its key (the key's
// literals, or its condition; empty without a key), and its bytes before and
// after. The values are shared, not copied: a value of many megabytes stands
// once however many notes hold it.
struct RecordNote {
  qint64 record = 0;
  QString key;
  QByteArray oldBytes, newBytes;
  // Which of the run's fields, where a run converts several: a record of
  // several fields stands for each field that changes by a note of its own.
  int field = 0;
};
// The fields one run may convert together.
inline constexpr int kMaxFields = 64;
// A record's field, as one number: what the journal tells the notes apart by.
inline qint64 CellOf(const RecordNote& r) { return r.record * kMaxFields + r.field; }

// What the caller tells the hook of a statement: the records it stands for
// (one, or a group's).
struct Note {
  QList<RecordNote> records;
  // Its records are in the journal already: a record that goes again alone
  // after its group was refused.
  bool journaled = false;
  // It joins a group's records, which go again one by one where the group
  // is refused (a row of several fields is one record, not a group).
  bool group = false;
  bool isEmpty() const { return records.isEmpty(); }
};

// What a failing statement means for the run.
enum class ErrorKind {
  Refused,   // this statement's own value or row: the others go on
  Conflict,  // deadlock, lock wait, cluster certification: the batch is tried again
  Fatal,     // connection lost, no rights, table or column gone, read-only: nothing later can succeed
};
// Judged by the server's error number and the SQLSTATE, never the message.
ErrorKind Classify(const ADODB::Error& error);
// The failure of a statement that left the server's conditions `codes`
// (SHOW ERRORS, in order): a conflict among them decides, then the first
// that ends the run, then the first. `error` takes that condition's number.
ErrorKind Judge(ADODB::Error& error, const std::vector<int>& codes);

// A failure that ends the run; what() is the server's or driver's text.
class FatalError : public ADODB::Error {
 public:
  explicit FatalError(const ADODB::Error& cause) : ADODB::Error(cause) {}
};

// A statement's value that goes to the server before the statement, into
// the session variable `name` that the statement names: a value of many
// megabytes is sent in pieces, and never stands in the batch's text.
struct Ahead {
  QString name;      // @nv_value7
  QByteArray bytes;  // empty: nothing goes ahead
};

struct Limits {
  int statements = 250;          // statements in one batch
  int farStatements = 1000;      // the same, to a server whose round trip takes farTrip or longer
  std::chrono::microseconds farTrip{2000};
  qsizetype bytes = 1024 * 1024; // statement bytes in one batch, further bounded by the server's packet size
  int attempts = 8;              // tries of the same statements when conflicts roll them back, each
                                 // retry sending half as many per transaction
  int firstBackoffMs = 20;       // pause before the first retry, doubling after each
  // Seconds the same statements may go on being taken back because a row
  // lock another session holds outlasts the server's lock wait, before the
  // run ends early (0: the tries above bound them too).
  int lockWaitSeconds = 0;
};

// Sees each batch inside its transaction, for a caller that must learn what
// the batch changes before it commits. Its failures roll the batch back and
// end the run; a conflict raised by its reads retries the batch.
class Hook {
 public:
  virtual ~Hook() = default;
  // Before anything of the batch is sent, with each statement's note in
  // queue order. Called again, with the same notes or fewer, each time the
  // batch or a part of it is tried again.
  virtual void Ahead(const std::vector<Note>& notes) { (void)notes; }
  // Whether Before reads the server: only then does the batch's transaction
  // start on a round trip of its own.
  virtual bool ReadsBefore() const { return true; }
  // After the batch's transaction starts, before its statements run, with
  // the same notes. Called again when the batch is tried again.
  virtual void Before(ADODB::Connection& connection, const std::vector<Note>& notes) = 0;
  // After the statements, before COMMIT is sent.
  virtual void BeforeCommit(ADODB::Connection& connection) = 0;
  // The batch has committed.
  virtual void Committed() = 0;
  // A statement whose change did not stand as sent, with its note: refused
  // (nothing changed; after the commit), or taken out of the batch because
  // it left warnings (a table without transactions may have kept what the
  // server made of it).
  virtual void NotApplied(ADODB::Connection& connection, const Note& note, bool warned) {
    (void)connection, (void)note, (void)warned;
  }
  // Records of a committed statement whose rows it did not change after
  // all (Shortfall::notes), before Committed.
  virtual void Unchanged(const QList<RecordNote>& records) { (void)records; }
  // Records whose rows hold another value than the one sent
  // (Shortfall::stored), before Committed.
  virtual void Stored(const QList<RecordNote>& records) { (void)records; }
  // Records of a committed statement that go again in a statement of their
  // own (Shortfall::again), before Committed.
  virtual void Again(const QList<RecordNote>& records) { (void)records; }
};

// The rows a statement was sent to change and did not, as found once it
// committed: their records, and why.
struct Shortfall {
  QList<RecordNote> notes;
  qint64 sameValue = 0;     // the row holds its old bytes: the column stored the same value again
  qint64 notMatching = 0;   // the row holds its old bytes, and the user's condition no longer picks it
  // Rows the server stored otherwise than sent (a trigger rewrote the
  // value): counted, and where the row changed all the same, its record
  // with what the row holds now in place of the value sent.
  qint64 storedOtherwise = 0;
  QList<RecordNote> stored;
  qint64 changedSince = 0;  // the row holds something else, or is gone: another client changed it
  // Rows that hold the new bytes already: a table without transactions kept
  // what a try of the batch, taken back, changed. Changed all the same.
  qint64 already = 0;
  // A statement that stands for several fields of its rows: the rows it
  // changed do not count its records, so `notes` are every record it left,
  // whatever the count, and each field's own counts follow, by its number.
  bool byField = false;
  // Fields of rows such a statement left whole, because another of the
  // row's fields no longer held what was read: they still hold their old
  // bytes, and go again without it. Neither changed nor left yet.
  QList<RecordNote> again;
  struct FieldCounts {
    qint64 sameValue = 0, notMatching = 0, storedOtherwise = 0, changedSince = 0;
    qint64 Left() const { return sameValue + notMatching + storedOtherwise + changedSince; }
  };
  std::vector<FieldCounts> fields;
};

class Sender {
 public:
  // Called once a batch has committed, in queue order, for each statement
  // the server refused or answered with a warning.
  using Refused = std::function<void(int tag, const QString& text)>;
  // Asked once the batch has committed, about a statement that changed
  // fewer rows than it was sent to change.
  using Inspect = std::function<Shortfall(ADODB::Connection& connection, int tag, const Note& note,
                                          qint64 changed)>;
  // Told once a batch has committed, for each statement that stood: the
  // rows the server changed with it, and those it was meant to change and
  // did not.
  using Answered = std::function<void(int tag, qint64 changed, const Shortfall& shortfall, const Note& note)>;

  // `connection` is open with MultipleStatements; the server's
  // max_allowed_packet is read now, and the session is set to read committed
  // unless the server logs statements (binlog_format STATEMENT). Timing
  // those two calls tells a distant server, whose batches are made longer.
  Sender(ADODB::Connection& connection, Refused refused, Limits limits = {});

  // Queues one statement; `tag` names it to the caller, `note` goes to the
  // hook. Sends the queued batch first when this statement would take it
  // past its byte bound, and after it when the batch is full.
  // `expected`: the rows the statement is meant to change, when known
  // (negative: any number).
  // `ahead`: the value the statement names, sent before its batch and
  // forgotten once the batch is answered.
  void Add(const QString& statement, int tag, Note note = {}, qint64 expected = -1, Ahead ahead = {});

  // Shows every batch to the hook (not owned; null for none).
  void SetHook(Hook* hook) { hook_ = hook; }
  void SetInspect(Inspect inspect) { inspect_ = std::move(inspect); }
  // Asks `inspect` about every statement, also those that changed as many
  // rows as they were sent to: where a trigger may store otherwise.
  void InspectEvery(bool every) { inspectEvery_ = every; }
  void SetAnswered(Answered answered) { answered_ = std::move(answered); }
  // Told why the batch waits (a row lock another session holds), within
  // seconds of the wait beginning and every ten seconds, and an empty text
  // once it goes on. Called on the thread that flushes.
  using Waiting = std::function<void(const QString& why)>;
  void SetWaiting(Waiting waiting) { waiting_ = std::move(waiting); }

  // Sends the queued statements as one transaction and empties the queue. A
  // statement the server refused or answered with a warning has its change
  // taken back wherever the table keeps transactions, and is passed to
  // `refused` after the commit. Conflicts are retried within the limits, in
  // ever smaller transactions. Raises FatalError when the run cannot go on,
  // or when the conflicts outlast the retries; the batch's transaction is
  // then rolled back.
  void Flush();

  // The server logs statements, not rows (binlog_format STATEMENT): a
  // statement whose rows depend on another table's order is unsafe there.
  bool StatementLog() const { return statementLog_; }
  int Retries() const { return retries_; }  // transactions taken back and tried again so far
  int Batches() const { return batches_; }  // transactions committed so far
  qsizetype ByteBound() const { return byteBound_; }
  // Whether the server takes the statement in one packet (max_allowed_packet).
  // (With the value it names as it would stand in it, in hex: a value
  // sent ahead is taken within the same bound.)
  bool Fits(const QString& statement, const Ahead& ahead = {}) const;
  // The report of a statement it would not take.
  static QString TooLarge();
  int StatementBound() const { return limits_.statements; }
  // While `refused` is told of a statement: that statement's note.
  const Note& ReportedNote() const { return reportedNote_; }

 private:
  struct Item {
    QString statement;
    int tag;
    size_t order;      // position in the queue, for the order of reports
    Note note;  // for the hook
    qint64 expected = -1;
    Ahead ahead;
  };
  struct Outcome {
    bool refused = false;
    bool warned = false;
    QString text;
    qint64 changed = -1;  // as the server counted them; -1 when it did not say
    Shortfall shortfall;
  };
  struct Report {
    size_t order;
    int tag;
    QString text;
    Note note;
  };
  using Reports = std::vector<Report>;
  // One transaction of pending[from, from + count), with its commit: false
  // when a conflict took it back. A statement that leaves warnings is taken
  // out of `pending` (and `count`) with its report.
  bool Transaction(std::vector<Item>& pending, size_t from, size_t& count, Reports& reports);
  // One try of the batch with its commit. Refused statements are marked
  // and the rest committed; a statement that left warnings, or a conflict,
  // has the batch rolled back.
  enum class Result { Committed, Warned, Conflict };
  Result Attempt(const std::vector<Item>& items, std::vector<Outcome>& outcomes);
  // The text that runs items[next…] and notes how far it got.
  QString BatchText(const std::vector<Item>& items, size_t next, bool opening, bool readsFirst) const;
  // What the server knows of a batch text that failed: its conditions, the
  // last statement it noted, and the statements that left warnings. A
  // conflict met while asking is returned; a server that cannot tell has
  // lost the connection (FatalError).
  std::optional<ADODB::Error> Diagnose(const ADODB::Error& failure, std::vector<int>& codes, qsizetype& done,
                                       QString& warned);
  // Reads the rows each statement changed, and looks into those short of
  // what they were sent to change, once the batch has committed.
  void Count(const std::vector<Item>& items, std::vector<Outcome>& outcomes);
  // The warning a statement leaves, learnt by running it again alone.
  QString WarningText(const Item& item);
  void Rollback();
  // Fills the session variables of the items' values sent ahead; with
  // `forget`, empties them.
  void SendAhead(const std::vector<Item>& items, bool forget);
  // A conflict while the batch runs: note it, take the batch back.
  Result Conflicted(const ADODB::Error& e);
  // " (session 42)": the sessions that hold row locks, where the server
  // tells this login (PROCESS); empty otherwise.
  QString LockHolders();
  // A failure that ends the run: take the batch back where the connection
  // still stands, and raise it.
  [[noreturn]] void Fail(const ADODB::Error& e);

  ADODB::Connection& connection_;
  Refused refused_;
  Hook* hook_ = nullptr;
  Inspect inspect_;
  Answered answered_;
  Waiting waiting_;
  bool inspectEvery_ = false;
  Limits limits_;
  ADODB::Error lastConflict_{QString()};
  qsizetype byteBound_ = 0;
  qsizetype serverPacket_ = 0;
  std::vector<Item> queued_;
  Note reportedNote_;
  qsizetype queuedBytes_ = 0;
  bool lost_ = false;  // the connection is gone: nothing more is sent on it
  bool statementLog_ = false;
  int retries_ = 0;
  int batches_ = 0;
};

}  // namespace Batch
