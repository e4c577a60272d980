// The conversion engine: one run over one field, from reading its values to
// the last statement, with the journal written ahead; and the undo of a
// journaled run. It knows nothing of windows: the selection window walks a
// run step by step along its numbered lines, the command line lets Drive()
// walk it, and both hear of each record's failure through a Listener.
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <optional>
#include <functional>
#include <memory>
#include <vector>

#include "caserules/case.h"
#include "database/batch.h"
#include "database/mysql.h"
#include "journal/store.h"

namespace Conversion {

// The journal's bound when the settings name none: 2 GiB.
constexpr qint64 kJournalLimit = qint64(2048) * 1024 * 1024;
// The setting that names it, in MiB.
inline const QString kJournalLimitSetting = QStringLiteral("JournalLimitMB");
qint64 JournalLimit(const QString& settingText);
// How long a stalled connection is waited for, in seconds (0: for ever):
// the window's setting, and the command line's --net-timeout.
constexpr int kNetTimeout = 60;
// Seconds a statement waits for a row lock on the server before the run
// tries again and says so, and seconds it goes on trying by default.
constexpr int kLockTimeout = 2;
constexpr int kLockWait = 60;
inline const QString kNetTimeoutSetting = QStringLiteral("NetTimeout");
int NetTimeout(const QString& text);

// Why a record was left as it is.
enum class Failure {
  Refused,         // the server refused its statement, or answered it with a warning
  NotConvertible,  // no statement was sent: the column cannot hold the new text exactly, or
                   // the server cannot take the value in one statement
};

// What the caller hears while a run goes on. Failures of records come in the
// order the records are answered; `rows` is how many records it stands for
// (a value without a key stands for every record holding it).
class Listener {
 public:
  virtual ~Listener() = default;
  // `key` shows the record's row as `column`=value, where the table has a key.
  virtual void RecordFailed(qint64 record, const QString& key, const QString& text, Failure kind, qint64 rows) = 0;
  // The run waits between groups, and why ("Threads_running is 31, over
  // 25"); told when it starts to wait and every 10 seconds after, and once
  // with an empty text when it goes on.
  virtual void Waiting(const QString& why) { (void)why; }
};

struct Summary {
  qint64 read = 0;            // records read
  qint64 changed = 0;         // records whose value was (or, in a dry run, would be) rewritten
  qint64 alreadyInCase = 0;   // already in the mode's case, or null
  qint64 refused = 0;         // refused by the server
  qint64 notConvertible = 0;  // left, with why
  // Records the run sent, whose rows the server did not change after all:
  // another client changed the row since it was read, or the column stored
  // the same value again. Not among `changed`, which counts only rows the
  // server says it changed.
  qint64 notChanged = 0;
  qint64 changedSince = 0, sameValue = 0, notMatching = 0;  // of those, where the run can tell why
  // Rows the table's triggers stored otherwise than sent (`triggers` names
  // them): not among `changed`.
  qint64 storedOtherwise = 0;
  QString triggers;
  // Of `changed`, rows whose new value the server's own UPPER() or LOWER()
  // wrote, as the run computed it: their new bytes did not travel.
  qint64 serverComputed = 0;
  qint64 keptMixed = 0;  // of `alreadyInCase`, values kept because they were in mixed case already
  // Seconds the run waited between groups for a busy server, cluster flow
  // control or the pause file, and for which of them.
  double waitedSeconds = 0;
  QStringList waitedFor;
};

// What a run on a live server waits for between groups, asked at most once
// a second: while a status variable of the server is over its bound, while
// a cluster node is in flow control or its receive queue is long, and while
// the pause file exists. Over the critical bound the run ends early.
struct Gentle {
  std::vector<std::pair<QString, qint64>> maxLoad = {{QStringLiteral("Threads_running"), 25}};
  std::pair<QString, qint64> criticalLoad = {QStringLiteral("Threads_running"), 50};  // none where unnamed
  qint64 receiveQueue = 100;  // a cluster node's wsrep_local_recv_queue; 0: not watched
  QString pauseFile;
  // No replica may be further behind than this many seconds (0: not
  // watched): those the server names (SHOW SLAVE HOSTS), or these
  // "HOST[:PORT]", reached with the run's login.
  int maxLag = 1;
  QStringList replicas;
  // Seconds a group's transaction may take on the server: a slower group
  // halves the next ones (to 50 records), a much faster one lets them grow
  // back (to 1,000). 0: groups of 1,000 always.
  double chunkTime = 0.5;
  // Seconds a group may wait, over its tries, for a row lock another
  // session holds, before the run ends early (it can be continued).
  int lockWait = kLockWait;
  bool on = true;
};
// "Threads_running=25,Threads_connected=400": each variable and its bound;
// why not, where the text is no such list.
std::optional<QString> ReadLoads(const QString& text, std::vector<std::pair<QString, qint64>>& loads);
// One such bound, or none where the text is empty.
std::optional<QString> ReadCriticalLoad(const QString& text, std::pair<QString, qint64>& bound);

// Old and new text of a value that changes, for a dry run's sample; the
// field's name in a run of several.
struct Sample {
  qint64 record;
  QString oldText, newText;
  QString field = {};
};

// A field of a run of several, and the mode it is converted to.
struct FieldMode {
  QString name;
  Case::CaseMode mode = Case::CaseMode::CaseUpper;
};
// The mode text a run of several fields is journaled with, and continued
// by: "name: Name Case, city: Proper Case".
QString FieldsModeText(const std::vector<FieldMode>& fields);
// One field's counts in a run of several. The run's own Summary then counts
// rows where it reads and changes them (`read`, `changed`), and sums its
// fields' counts for the rest.
struct FieldSummary {
  QString field, mode;
  Summary totals;
};

// A table whose rows no key tells apart, or whose every key holds one of
// the fields: a run of several fields cannot change a row's fields
// together, and each field goes in a run of its own. what() says why.
class SeparateFields : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Why the fields of `table` cannot go in one run (SeparateFields), asked up
// front; nothing where they can. Raises a failure to connect or read.
std::optional<QString> FieldsApart(const MySQL::ConnectionDetails& details, const QString& table,
                                   const std::vector<FieldMode>& fields);

struct Options {
  bool dryRun = false;      // read and convert, but send nothing and journal nothing
  bool responsive = false;  // the caller's events go on while the server works
  int samples = 0;          // how many changing values to keep as a sample
  QString journalPath = Journal::Store::DefaultPath();
  qint64 journalLimit = kJournalLimit;  // the journal's bytes over all runs, oldest runs dropped first
  // The user's word list (none: the modes as they are), its hash for the
  // journal, and whether Proper Case and Name Case keep values in mixed case.
  std::shared_ptr<const Case::WordList> words;
  QString wordsHash;
  bool keepMixed = false;
  Gentle gentle;
  // Asked while the run waits between groups: where it says so, the wait
  // ends and the group goes (the caller then stops the run).
  std::function<bool()> cancelled;
  // A run that ended early, to continue: only the rows after the last one
  // it settled are read, and what this run changes joins it in the journal.
  std::optional<Journal::RunHeader> resume;
};

// Why `run`, the newest of its target, cannot be continued by a run of
// `modeText` over the rows `where` picks, with the word list `wordsHash`;
// nothing where it can.
std::optional<QString> NotResumable(const std::optional<Journal::RunHeader>& run, const QString& modeText,
                                    const QString& where, const QString& wordsHash);

// The word list at `path`: none where there is no file or it lists no word.
// Raises std::runtime_error, naming the file, where it cannot be read.
struct Words {
  std::shared_ptr<const Case::WordList> list;
  QString hash;  // the first 16 hex digits of its contents' SHA-256
};
Words ReadWords(const QString& path);

struct Pair;

// One run. Its steps are taken in this order: Open, Read, StartJournal,
// then for each record ReadRecord, Convert, Prepare, Build and Send, and
// MoveNext; Finish after the last record, Close at the end. A step that
// fails raises: ADODB::Error for its own record or step, Batch::FatalError
// when nothing later can succeed (Ended() is then true).
class Run {
 public:
  Run(Listener& listener, Options options = {});
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  void Open(const MySQL::ConnectionDetails& details);
  // What ends a wait between groups (Options::cancelled), where the caller
  // has it only now.
  void SetCancelled(std::function<bool()> cancelled) { options_.cancelled = std::move(cancelled); }
  // Only the rows for which `where` holds, where it is given: one SQL
  // expression over the table's columns (Rewrite::ConditionFault).
  void Read(const QString& table, const QString& field, const QString& where = {});
  // A run of several fields, each in its own mode, read in one pass: a row's
  // fields that change go in one statement, or one group's join. Raises
  // SeparateFields where no key tells the rows apart without holding one of
  // them; a field that cannot take converted values refuses the run.
  void Read(const QString& table, const std::vector<FieldMode>& fields, const QString& where = {});
  // Opens the undo journal; raises Journal::Error when it cannot be
  // written, or when the disk cannot hold it, before anything is sent. A dry
  // run keeps no journal.
  void StartJournal(const Journal::Target& target, const QString& modeText);
  // The rows counted when reading began (rows inserted ahead of the
  // reading point since are read too: read on until Eof), and the number
  // of the first record: after those of the run it continues.
  qint64 RecordCount() const;
  qint64 FirstRecordNumber() const;
  bool Eof() const;

  // The current record's old value and key.
  void ReadRecord(qint64 record);
  // In a run of several fields, in place of ReadRecord, Convert and Prepare:
  // reads and converts each field of the current record; whether any of
  // them needs the statement. A field's own failure is told to the
  // listener, naming the field, and counted for it; the others go on.
  bool PrepareFields(qint64 record);
  // A row that changes nothing: the way hears of it.
  void PassRow();
  bool SeveralFields() const;
  std::vector<FieldSummary> FieldTotals() const;
  // Its new text in the mode.
  void Convert(Case::CaseMode mode);
  // Whether the record needs a statement; raises its own failure (its value
  // cannot be written exactly, or its value was refused already).
  bool Prepare();
  // Whether the prepared record goes with others (a group or the join);
  // else Build makes its own statement.
  bool GoesTogether() const;
  void Build();
  // Sends the record, alone or with others.
  void Send();
  void MoveNext();
  // The statements still queued; then the journal is closed.
  void Finish();
  // Drops what was not sent yet (the run was interrupted), and closes the
  // journal consistent with what the server committed.
  void Abandon();
  // Journals where the run stands: finished, or ended early (`why`, where
  // the caller knows it) at the last row it settled.
  void Close(const QString& why = {});
  // Whether a run that ended early can be continued (--resume): it read its
  // rows by key, and journaled them.
  bool Resumable() const;

  bool Ended() const;
  // Why the table's rows cannot be told apart, once read; empty when a key
  // tells them apart and the run can be undone exactly.
  QString Keyless() const;
  // The current record's key, as reports show it; empty without one.
  QString ShownKey() const;
  // The class of the last failure a step raised for its own record.
  Failure LastFailure() const { return lastFailure_; }
  // Tells a record's own failure to the listener once every record before
  // it that is still on its way has been answered, so that reports come in
  // the records' order.
  void Tell(qint64 record, const QString& key, const QString& text, Failure kind);
  const Summary& Totals() const { return totals_; }
  const std::vector<Sample>& Samples() const { return samples_; }

 private:
  struct State;
  // What the server did with a statement once it committed, and what a
  // statement that changed fewer rows than it was sent to left.
  void Answered(int tag, qint64 changed, const Batch::Shortfall& shortfall);
  static Batch::Shortfall Inspect(const State& s, ADODB::Connection& connection, int tag, const Batch::Note& note,
                                  qint64 changed);
  // The same for a run of several fields: each field's share of what the
  // server answered.
  void AnsweredFields(int tag, qint64 changed, const Batch::Shortfall& shortfall, const Batch::Note& note);
  // The session that reads a condition's rows, and the condition's checks.
  void OpenReading(const QString& where);
  // The session the rows are read through: a keyed run's own second one,
  // so that the next chunk is read while a group is on its way, or the
  // run's one where the server lets it have no other.
  ADODB::Connection& ReadingSession();
  void OpenRows(const QString& field, bool stored, bool bytesOnly);
  void CheckCondition(const QString& statement);
  // A run of several fields: each field's reading, and the row's statement.
  void LearnFields(const std::vector<FieldMode>& fields);
  void SendRow();
  // The text of a failure of the fields `fields` of a row.
  QString FieldsText(const QList<int>& fields, const QString& text) const;
  // The fields of the current row count a failure of its statement.
  void RowFailed(Failure kind);
  // At the end of a run of several fields: each field's counts, with what
  // the server said (`answered`), and the run's, their sum but for the rows
  // it read and changed.
  void CountFields(bool answered);
  // A record the server refused; a value (without a key) refused for every
  // record that holds it.
  void Refused(qint64 record, const QString& text, const QString& key, const QList<int>& fields = {});
  void RefusedValue(qsizetype number, const QString& text, qint64 record, qint64 rows);
  // Waits for the group on its way, then tells what it learnt.
  void Sync();
  // Waits while the server, the cluster or the pause file asks the run to;
  // raises Batch::FatalError over the critical bound. False where the wait
  // was cancelled: nothing more goes.
  bool WaitForServer();
  // Every record of the group under way answered for at once.
  void SettleUnderway();
  // A record answered for (committed, refused or left); and the journal's
  // note of where the run stands, at most once a second unless `now`.
  void Settle(qint64 record);
  void KeepPosition(const QString& ended, bool now);
  // Refuses to continue a run whose rows the table no longer reads as it did.
  void CheckContinuing() const;
  // How the records will reach the server: many at a time by key or by
  // value where the table lets them, else one by one.
  void ChooseWay();
  // Sends the current record with the way's others where it takes it, else
  // in a statement of its own.
  // `note`: the record's note, made only where it is read.
  void Dispatch(Pair&& pair, const std::function<Batch::Note()>& note);
  void SendAlone(const Batch::Note& note);
  template <typename Step>
  auto InOrder(Step&& step);
  template <typename Step>
  void OwnFailure(Step&& step);
  std::unique_ptr<State> s_;
  Listener& listener_;
  Options options_;
  bool refusedColumn_ = false;  // the field cannot take converted values: nothing was read
  Failure lastFailure_ = Failure::Refused;
  // Tells the reports held back for records before `record`.
  void Release(qint64 record);
  struct Told {
    qint64 record;
    QString key, text;
    Failure kind;
  };
  std::vector<Told> held_;  // reports waiting for the records before them
  Summary totals_;
  std::vector<Sample> samples_;
};

// Walks a run from Open to Close without a window; each record's own
// failure goes to the run's listener too, in the records' order. `progress` hears the
// record number and the count now and then; `cancelled`, asked between
// records, ends the run early (what went is journaled, what did not is
// dropped). Raises what ends the run: a failure to connect or read, the
// journal, a fatal failure.
struct Request {
  MySQL::ConnectionDetails details;
  QString table, field;
  Case::CaseMode mode = Case::CaseMode::CaseUpper;
  QString modeText;
  QString where = {};  // only the rows for which it holds
  // Several fields, each in its own mode, in one run (`field` and `mode` are
  // then the first's).
  std::vector<FieldMode> fields = {};
};
void Drive(Run& run, const Request& request, const std::function<void(qint64, qint64)>& progress,
           const std::function<bool()>& cancelled);

// The undo of a journaled run, row by row by key, reading the journal a
// page at a time. `progress` hears the entry number and the count;
// `cancelled`, asked between entries, ends it once the statements queued
// have gone. The run is marked undone only once no row of it is left: rows
// changed since stay in the journal for undoing again. Raises a failure to
// connect, or a fatal one.
// The server's own identity, for finding its runs in the journal however it
// is reached; empty where it cannot be asked.
QString ServerIdentity(const MySQL::ConnectionDetails& details, bool responsive);

struct UndoResult {
  qint64 restored = 0, left = 0;
  bool interrupted = false;
  QString triggers;  // the table's UPDATE triggers: a row left may be one they rewrote
  // A run of several fields: of `left`, each field's, by its number.
  std::vector<qint64> leftByField = {};
};
UndoResult Undo(const MySQL::ConnectionDetails& details, const Journal::RunHeader& run, Journal::Store& store,
                const std::function<void(qint64, qint64)>& progress,
                const std::function<bool()>& cancelled = {});

// Why a run on `table` cannot be undone exactly, as a sentence's end, from
// the reason a run keeps ("it has no primary key…").
QString KeylessReason(const QString& table, const QString& keyless);

// The text of a mode as the window's list and the journal name it.
QString ModeText(Case::CaseMode mode);

}  // namespace Conversion
