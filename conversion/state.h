// What a run keeps between its steps: shared by the engine's files, no
// one else's.
#pragma once

#include <QHash>
#include <QString>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "conversion/engine.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/columnbytes.h"
#include "database/rewrite.h"
#include "database/rowkey.h"
#include "database/rows.h"
#include "database/valuejoin.h"
#include "journal/recorder.h"

namespace Conversion {

// The pairs of one join by key, as statement bytes and records at most (and
// the bytes well under what the server takes in one statement). A group is
// one statement, which a cluster takes back whole when another node writes
// one of its rows: larger groups are faster alone and never get through a
// busy cluster.
constexpr qsizetype kJoinBytes = 512 * 1024;
constexpr size_t kJoinRecords = 1000;
constexpr size_t kPacedRecords = 50;  // the fewest a paced group holds

// By key, many records go together as one join (tagged from -1 down). A
// join the server refuses goes again record by record, so that each
// refusal is its own record's.
struct Pair {
  int tag;
  qint64 record;
  QString key, keyValues;
  QByteArray oldBytes, newBytes;
  bool journaled = false;  // its group went to the server, and the journal, first
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

struct Run::State {
  RunHold hold;
  std::unique_ptr<ADODB::Connection> connection;
  // Where the user gave a condition, the rows are read through a session of
  // their own that takes one statement a text: no condition can add one.
  std::unique_ptr<ADODB::Connection> reading;
  MySQL::ConnectionDetails details;
  std::unique_ptr<Rewrite::Rows> records;
  std::unique_ptr<Batch::Sender> sender;
  std::unique_ptr<Rewrite::ColumnBytes> bytes;
  std::unique_ptr<Journal::RunRecorder> journal;
  MySQL::RowIdentity identity;
  QString table, field;
  QString where;  // the user's condition on the rows, if any
  bool keyed = false;
  int storedColumn = 1;
  bool readsBytes = false;  // the field is read as its bytes alone (ColumnBytes::LearnBytes)
  qsizetype groupBytes = kJoinBytes;

  // The current record.
  qint64 record = 0;
  bool isBytes = false, haveOld = false, haveNew = false;
  bool failed = false;  // reading or converting it failed
  QString oldText, newText, key, keyValues, statement;
  QByteArray oldBytes, newBytes;
  int tag = 0;

  // Without a key a statement stands for every row holding its value, and
  // goes once for the first record of that value: its answer holds for all
  // of them.
  Rewrite::DistinctValues distinct;
  QHash<qsizetype, QString> refusals;  // the refused values, with the server's text
  // And where nothing finds a value's rows fast, all values go together as
  // one join at the end.
  std::unique_ptr<Rewrite::ValueJoin> valueJoin;

  bool joined = false;
  std::vector<Pair> joining;
  size_t groupRecords = kJoinRecords;  // as paced by the groups' times
  std::atomic<double> lastGroupSeconds{0};
  qsizetype joiningBytes = 0;
  std::vector<Pair> group;  // the join under way: each goes as a transaction of its own
  int groups = 0;
  bool pairsLeft = false;  // the pair table holds the last group's pairs
  std::vector<Pair> alone;

  // A group goes to the server on a thread of its own while the next one is
  // read and converted: the server and the program no longer take turns.
  // What it learns waits for the run's thread: the refused records, and a
  // failure that ends the run.
  std::thread job;
  std::exception_ptr jobFailure;
  struct JobRefusal {
    int tag;
    QString text, key;
  };
  std::vector<JobRefusal> jobRefusals;
  std::thread::id jobThread;

  // The replicas whose lag the run watches, and the primary's binlog
  // positions with the time each was seen: a replica is as far behind as
  // the oldest position it has not applied.
  struct Replica {
    QString name;  // host:port
    MySQL::ConnectionDetails details;
    std::unique_ptr<ADODB::Connection> connection;
    size_t applied = 0;  // positions it has applied, from the front
  };
  std::vector<Replica> replicas;
  std::deque<std::pair<QString, std::chrono::steady_clock::time_point>> positions;

  // Where the run stands, for continuing it: records sent and not yet
  // answered, each with the record before it (its number and its key's
  // literals), and the last record whose steps are done. Every record up
  // to the one before the first unanswered is settled. Answers come from
  // the group's thread too.
  std::mutex settling;
  std::map<qint64, std::pair<qint64, QString>> unanswered;
  qint64 doneRecord = -1;
  QString doneKey;
  std::chrono::steady_clock::time_point positionKept{};

  // What the server says the run changed, and the rows it was meant to
  // change and did not: told from the group's thread too.
  std::atomic<qint64> serverChanged{0}, changedSince{0}, sameValue{0}, notMatching{0}, storedOtherwise{0};
  QString triggers;  // the table's UPDATE triggers, by name: a value may be stored otherwise than sent
};

// A group's statements, made on the run's thread while the group before it
// is on its way.
struct Run::Group {
  std::vector<Pair> pairs;
  QString insert;
  Batch::Note note;
  int number = 0;
};

// A connection for a run or an undo: statements in batches (unless
// `multiple` is false: one statement a text); quotes and backslashes read
// as Rewrite::ConditionFault reads them; with `settings`, the session
// refuses what does not fit and keeps TIMESTAMP keys in UTC.
std::unique_ptr<ADODB::Connection> OpenSession(const MySQL::ConnectionDetails& details, bool responsive,
                                               bool settings, bool multiple = true);

// Looks into a statement that changed fewer rows than it was sent to, once
// it has committed: a record sent alone (tag >= 0) or a group (tag -n - 1),
// whose note holds its records as Rewrite::RecordNote()s.
Batch::Shortfall Shortfall(ADODB::Connection& connection, const MySQL::RowIdentity& identity, const QString& table,
                           const QString& field, int tag, const Batch::Note& note);

template <typename S>
const QString& NoteKey(const S& s, const QString& condition, const QString& values) {
  return s.keyed && !s.identity.keyValues.isEmpty() ? values : condition;
}

// A record's key as a condition: made from its values' literals where it
// was not kept.
template <typename S>
QString KeyOf(const S& s, const QString& condition, const QString& values) {
  return condition.isEmpty() ? Rewrite::KeyCondition(s.identity, values) : condition;
}

inline ADODB::Error Closed() { return ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed.")); }

}  // namespace Conversion
