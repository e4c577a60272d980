#include "conversion/engine.h"

#include <QCoreApplication>
#include <QHash>
#include <QSet>
#include <QStorageInfo>
#include <QThread>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <thread>

#include "database/ado.h"
#include "database/batch.h"
#include "database/columnbytes.h"
#include "database/rewrite.h"
#include "database/rowkey.h"
#include "database/valuejoin.h"
#include "conversion/state.h"
#include "journal/recorder.h"

namespace Conversion {
namespace {

// What one journal entry takes on disk besides its key and its two values.
constexpr qint64 kEntryOverhead = 48;

// Every character whose case a mode can change, and what it can become.
// The mappings are one character to one, each on its own: one text of
// every character, mapped whole both ways, tells them all at once.
const std::vector<char32_t>& CasedCharacters() {
  static const std::vector<char32_t> cased = [] {
    QString all(0x110000 * 2, Qt::Uninitialized);
    auto* out = reinterpret_cast<char16_t*>(all.data());
    qsizetype k = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      if (QChar::requiresSurrogates(c)) {
        out[k++] = QChar::highSurrogate(c);
        out[k++] = QChar::lowSurrogate(c);
      } else {
        out[k++] = char16_t(c);
      }
    }
    all.truncate(k);
    std::vector<char32_t> found;
    for (const QString& mapped : {Case::UpperText(all), Case::LowerText(all)}) {
      if (mapped.size() != all.size()) continue;  // never: each keeps its length
      const auto* a = all.utf16();
      const auto* m = mapped.utf16();
      for (qsizetype i = 0, n = 1; i < k; i += n) {
        n = QChar::isHighSurrogate(a[i]) ? 2 : 1;
        if (a[i] == m[i] && (n == 1 || a[i + 1] == m[i + 1])) continue;
        found.push_back(n == 2 ? QChar::surrogateToUcs4(a[i], a[i + 1]) : a[i]);
        found.push_back(n == 2 ? QChar::surrogateToUcs4(m[i], m[i + 1]) : m[i]);
      }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  }();
  return cased;
}

// A record's key as its journal entry keeps it: its values where the run
// reads them as literals, else its condition.

// The session's sql_mode, as it reads quotes and backslashes.
QString SessionMode(ADODB::Connection& connection) {
  auto mode = connection.Execute(QStringLiteral("SELECT @@SESSION.sql_mode;"));
  return mode && !mode->Eof() ? mode->Value(0).toString() : QString();
}

// Refuses a condition that is not one expression as both sessions read it:
// they read quotes and backslashes alike, or nothing is read or sent.
void GuardCondition(ADODB::Connection& run, ADODB::Connection& reading, const QString& where) {
  const QString mode = SessionMode(reading);
  const Rewrite::Quoting quoting = Rewrite::QuotingOf(mode), other = Rewrite::QuotingOf(SessionMode(run));
  if (quoting.ansiQuotes != other.ansiQuotes || quoting.noBackslashEscapes != other.noBackslashEscapes)
    throw ADODB::Error(QStringLiteral("The run's sessions read quotes otherwise (sql_mode %1): the condition is not "
                                      "sent.")
                           .arg(mode));
  auto global = run.Execute(QStringLiteral("SELECT @@GLOBAL.sql_mode;"));
  const Rewrite::Quoting server = Rewrite::QuotingOf(global && !global->Eof() ? global->Value(0).toString() : QString());
  if (const std::optional<QString> fault = Rewrite::ConditionFault(where, quoting, server))
    throw ADODB::Error(QStringLiteral("The condition is not one SQL expression: %1.").arg(*fault), QString(), 1064);
}
}  // namespace

Run::Run(Listener& listener, Options options)
    : s_(std::make_unique<State>()), listener_(listener), options_(std::move(options)) {
  s_->records = std::make_unique<Rewrite::Rows>();
}
Run::~Run() {
  // A run given up on a failure still lets its group finish before the
  // connection goes.
  if (s_->job.joinable()) s_->job.join();
}

template <typename Step>
auto Run::InOrder(Step&& step) {
  // A record's own failure is told after those of the records before it,
  // which may still be on their way.
  try {
    return step();
  } catch (...) {
    Sync();
    throw;
  }
}

void Run::Open(const MySQL::ConnectionDetails& details) {
  State& s = *s_;
  // Every driver call goes through the connection's own thread, so the
  // group on its way and the reading of the next one never meet in the
  // driver. A dry run changes nothing, and needs no session settings.
  s.connection = OpenSession(details, true, !options_.dryRun);
  // Ctrl+C ends a statement of the run's own session only while it counts
  // and opens its rows (Read): its batches, commits and the counts after
  // them run to their end, so that the journal stays true.
  if (!options_.dryRun) s.connection->AllowInterrupt(false);
  s.details = details;
  if (options_.dryRun) {
    // TIMESTAMP keys read in one time zone, so that their order holds.
    s.connection->Execute(MySQL::SessionTimeZone());
    return;
  }
  FindReplicas(details);
  Batch::Limits limits;
  limits.lockWaitSeconds = options_.gentle.on ? options_.gentle.lockWait : kLockWait;
  s.sender = std::make_unique<Batch::Sender>(*s.connection, [this](int tag, const QString& text) {
    State& s = *s_;
    if (tag < 0 && s.valueJoin) {
      s.valueJoin->Refused(text);
    } else if (tag < 0) {
      for (Pair& g : s.group) g.journaled = true;
      s.alone.insert(s.alone.end(), s.group.begin(), s.group.end());
      s.group.clear();
    } else if (!s.keyed) {
      const Batch::Note& note = s.sender->ReportedNote();
      const qint64 rows = s.distinct.Count(tag);
      RefusedValue(tag, text, note.isEmpty() ? s.distinct.FirstRecord(tag) : note.value(0).toLongLong(),
                   rows < 0 ? 1 : rows);
    } else {
      const QString key = Rewrite::ShownKey(s.identity, QString::fromUtf8(s.sender->ReportedNote().value(1)));
      if (std::this_thread::get_id() == s.jobThread)
        s.jobRefusals.push_back({tag, text, key});  // told on the run's thread
      else
        Refused(tag, text, key);
    }
  }, limits);
  s.sender->SetInspect([this](ADODB::Connection& connection, int tag, const Batch::Note& note, qint64) {
    return Inspect(*s_, connection, tag, note);
  });
  // A wait for a row lock is told as the others are, on the window's thread
  // where the window waits for the group.
  s.sender->SetWaiting([this](const QString& why) {
    QCoreApplication* app = QCoreApplication::instance();
    if (options_.responsive && app && QThread::currentThread() != app->thread())
      QMetaObject::invokeMethod(app, [this, why] { listener_.Waiting(why); }, Qt::QueuedConnection);
    else
      listener_.Waiting(why);
  });
  s.sender->SetAnswered(
      [this](int tag, qint64 changed, const Batch::Shortfall& shortfall) { Answered(tag, changed, shortfall); });
}

void Run::Answered(int tag, qint64 changed, const Batch::Shortfall& shortfall) {
  State& s = *s_;
  if (s.keyed && tag >= 0) Settle(tag);
  else if (s.keyed)
    for (const Pair& p : s.group) Settle(p.record);
  // Rows a trigger stored otherwise were changed, but not to what was sent.
  s.serverChanged += changed + shortfall.already - shortfall.stored.size() / 4;
  s.storedOtherwise += shortfall.storedOtherwise;
  s.changedSince += shortfall.changedSince;
  s.sameValue += shortfall.sameValue;
  s.notMatching += shortfall.notMatching;
}

Batch::Shortfall Run::Inspect(const State& s, ADODB::Connection& connection, int tag, const Batch::Note& note) {
  // Only records found by key are sent with a count to meet.
  if (!s.keyed) return {};
  Batch::Shortfall found = Shortfall(connection, s.identity, s.table, s.field, tag, note);
  if (s.triggers.isEmpty()) {
    found.stored.clear();  // another client's value: never journaled as the run's
  } else {
    // The table's trigger stored what the rows hold: the server changed
    // them, but not to what was sent. Rows that hold their old value were
    // not changed at all.
    found.storedOtherwise = found.sameValue + found.changedSince;
    found.sameValue = found.changedSince = 0;
    QSet<QByteArray> storedRecords;
    for (qsizetype j = 0; j + 4 <= found.stored.size(); j += 4) storedRecords.insert(found.stored[j]);
    Batch::Note kept;
    for (qsizetype at = 0; at + 4 <= found.notes.size(); at += 4)
      if (!storedRecords.contains(found.notes[at])) kept << found.notes.mid(at, 4);
    found.notes = kept;
    return found;
  }
  // A row left as it was that the condition no longer picks was not
  // stored again: the statement's test of the condition left it.
  if (!s.where.isEmpty() && tag >= 0 && found.sameValue == 1) {
    const QString key = QString::fromUtf8(note.value(1));
    auto row = connection.Execute(
        QStringLiteral("SELECT %1 IS TRUE FROM %2 WHERE %3;")
            .arg(Rewrite::Bracketed(s.where), MySQL::QuoteName(s.table),
                 s.identity.keyValues.isEmpty() ? key : Rewrite::KeyCondition(s.identity, key)));
    if (row && !row->Eof() && row->Value(0).toInt() == 0) {
      found.sameValue = 0;
      found.notMatching = 1;
    }
  }
  return found;
}

Batch::Shortfall Shortfall(ADODB::Connection& connection, const MySQL::RowIdentity& identity, const QString& table,
                           const QString& field, int tag, const Batch::Note& note) {
  // Each row the statement did not change either holds its old bytes still
  // (the column took the new value as the same one) or something else. A
  // row holding the new bytes already was changed by a try taken back on a
  // table without transactions, which kept it; on one with transactions,
  // by another client.
  Batch::Shortfall found;
  const auto judge = [&](qsizetype at, const std::optional<QByteArray>& now) {
    if (at + 4 > note.size()) return;
    found.notes << note.mid(at, 4);
    if (now && *now == note[at + 2]) {
      ++found.sameValue;
    } else {
      ++found.changedSince;
      // What it holds instead, for a caller that knows no other client
      // wrote it (a trigger did).
      if (now) found.stored << note[at] << note[at + 1] << note[at + 2] << *now;
    }
  };
  if (tag >= 0) {
    const QString condition =
        identity.keyValues.isEmpty() ? QString::fromUtf8(note.value(1))
                                     : Rewrite::KeyCondition(identity, QString::fromUtf8(note.value(1)));
    auto row = connection.Execute(QStringLiteral("SELECT CAST(%1 AS BINARY) FROM %2 WHERE %3;")
                                      .arg(MySQL::QuoteName(field), MySQL::QuoteName(table), condition));
    std::optional<QByteArray> now;
    if (row && !row->Eof() && !row->Value(0).isNull()) now = row->Value(0).toByteArray();
    if (now && *now == note.value(3) && !identity.transactional)
      ++found.already;
    else
      judge(0, now);
    return found;
  }
  // A group: its pairs' rows in the order they went in, then those whose
  // rows do not hold the new bytes.
  const int group = -tag - 1;
  std::vector<qint64> order;
  for (auto rows = connection.Execute(Rewrite::GroupRows(group)); rows && !rows->Eof(); rows->MoveNext())
    order.push_back(rows->Value(0).toLongLong());
  for (auto rows = connection.Execute(Rewrite::GroupShortfall(table, field, identity, group)); rows && !rows->Eof();
       rows->MoveNext()) {
    const auto at = std::lower_bound(order.begin(), order.end(), rows->Value(0).toLongLong());
    std::optional<QByteArray> now;
    if (!rows->Value(1).isNull()) now = rows->Value(1).toByteArray();
    judge(qsizetype(at - order.begin()) * 4, now);
  }
  return found;
}

void Run::Settle(qint64 record) {
  State& s = *s_;
  std::lock_guard lock(s.settling);
  s.unanswered.erase(record);
}

void Run::KeepPosition(const QString& ended, bool now) {
  State& s = *s_;
  if (!s.journal || !Resumable()) return;
  const auto time = std::chrono::steady_clock::now();
  if (!now && time - s.positionKept < std::chrono::seconds(1)) return;
  s.positionKept = time;
  qint64 record;
  QString key;
  {
    std::lock_guard lock(s.settling);
    if (s.unanswered.empty()) {
      record = s.doneRecord;
      key = s.doneKey;
    } else {
      std::tie(record, key) = s.unanswered.begin()->second;
    }
  }
  // Before its first row is settled, a run continued stands where it began.
  if (record < 0 && options_.resume) {
    s.journal->SetProgress(ended, options_.resume->position, options_.resume->nextRecord);
    return;
  }
  s.journal->SetProgress(ended, key, record + 1);
}

bool Run::Resumable() const {
  return !options_.dryRun && s_->keyed && s_->records->Reading() == Rewrite::Rows::Way::ByKey;
}

qint64 Run::FirstRecordNumber() const { return options_.resume ? options_.resume->nextRecord : 0; }

std::optional<QString> NotResumable(const std::optional<Journal::RunHeader>& run, const QString& modeText,
                                    const QString& where, const QString& wordsHash) {
  if (!run) return QStringLiteral("the journal holds no run of it made on this server");
  if (run->undone) return QStringLiteral("its newest run, run %1, was undone").arg(run->id);
  if (run->ended.isEmpty()) return QStringLiteral("its newest run, run %1, finished").arg(run->id);
  // Rows an undo put back lie before where the run stopped: continuing
  // after that point would leave them as they are.
  if (run->restored)
    return QStringLiteral("`norvale undo` has since put back rows of run %1 that lie before where it stopped; convert "
                          "the field again without --resume")
        .arg(run->id);
  if (run->keyNames.isEmpty())
    return QStringLiteral("run %1 did not read its rows by a key, so where it stopped is not known").arg(run->id);
  if (run->mode != modeText) return QStringLiteral("run %1 converted to %2, not %3").arg(run->id).arg(run->mode, modeText);
  if (run->where != where)
    return run->where.isEmpty() ? QStringLiteral("run %1 converted every row, without --where").arg(run->id)
                                : QStringLiteral("run %1 converted the rows where %2").arg(run->id).arg(run->where);
  if (run->words != wordsHash) return QStringLiteral("run %1 used another word list").arg(run->id);
  return std::nullopt;
}

void Run::Refused(qint64 record, const QString& text, const QString& key) {
  if (s_->keyed) Settle(record);
  ++totals_.refused;
  --totals_.changed;
  listener_.RecordFailed(record, key, text, Failure::Refused, 1);
}

QString Run::ShownKey() const { return s_->keyed ? Rewrite::ShownKey(s_->identity, s_->keyValues) : QString(); }

void Run::RefusedValue(qsizetype number, const QString& text, qint64 record, qint64 rows) {
  State& s = *s_;
  s.refusals.insert(number, text);
  totals_.refused += rows;
  totals_.changed -= rows;
  listener_.RecordFailed(record, QString(), text, Failure::Refused, rows);
}

void Run::Read(const QString& table, const QString& field, const QString& where) {
  State& s = *s_;
  if (!s.connection) throw Closed();
  if (!where.isEmpty()) {
    s.reading = OpenSession(s.details, true, !options_.dryRun, false);
    GuardCondition(*s.connection, *s.reading, where);
  }
  s.table = table;
  s.field = field;
  s.where = where;
  // The field, and where the table has a usable key, each row's key to
  // find it by.
  s.identity = MySQL::ReadRowIdentity(*s.connection, table, field);
  // A trigger may store otherwise than sent: each statement's rows are then
  // looked at once it commits.
  s.triggers = MySQL::UpdateTriggers(*s.connection, table);
  if (s.sender && !s.triggers.isEmpty()) s.sender->InspectEvery(true);
  // A column whose values the server computes, or whose text is a
  // document's structure, is refused before anything is read or sent.
  // The run then has no records: the steps after this one's report find
  // nothing to do.
  if (!s.identity.unwritable.isEmpty()) {
    refusedColumn_ = ended_ = true;
    throw ADODB::Error(s.identity.unwritable);
  }
  s.keyed = !s.identity.columns.isEmpty();
  s.storedColumn = s.keyed ? 2 : 1;
  // A run continued reads its rows by the same key, after the last one it
  // settled.
  if (options_.resume) {
    const Journal::RunHeader& run = *options_.resume;
    if (run.keyNames != s.identity.columns || s.identity.keyValues.isEmpty() || !s.identity.keyOrdered)
      throw ADODB::Error(QStringLiteral("Run %1 cannot be continued: %2's key is not the one it read its rows by.")
                             .arg(run.id)
                             .arg(table));
    // Another type or collation reads and orders the rows otherwise: the
    // position may no longer stand between the rows done and the rest.
    if (!run.shape.isEmpty() && run.shape != s.identity.shape)
      throw ADODB::Error(QStringLiteral("Run %1 cannot be continued: %2 changed since it read its rows (it was %3, "
                                        "it is now %4).")
                             .arg(run.id)
                             .arg(table, run.shape, s.identity.shape));
  }
  // The column's own bytes are what the run compares and writes.
  s.bytes = std::make_unique<Rewrite::ColumnBytes>(*s.connection, s.identity.charset);
  if (s.bytes->ReadsStored()) s.bytes->Learn(CasedCharacters());
  // A byte a character: the bytes alone tell the text, and only they travel.
  s.readsBytes = s.bytes->LearnBytes();
  // The run's statements carry the condition many to a text: the server
  // first prepares one of them, condition and all, where only one
  // statement can stand.
  if (s.reading && !options_.dryRun) {
    s.reading->Execute(QStringLiteral("PREPARE nv_where FROM ") +
                       MySQL::TextLiteral(s.keyed ? Rewrite::KeyedStatement(table, field, QStringLiteral("0=1"), "a", "b", where, -1)
                                                  : Rewrite::ValueStatement(table, field, "a", "b",
                                                                            s.bytes->LiteralCharset(), where, -1)));
    s.reading->Execute(QStringLiteral("DEALLOCATE PREPARE nv_where;"));
  }
  s.connection->AllowInterrupt(true);
  s.records->Open(s.reading ? *s.reading : *s.connection, table, field, s.identity, s.bytes->ReadsStored(), where,
                  options_.resume ? options_.resume->position : QString(), s.readsBytes);
  if (!options_.dryRun) s.connection->AllowInterrupt(false);
  // Many records go together as one join where the table takes a failed
  // join back whole (so that its records can go again one by one): by key
  // where there is one, else by value where no index finds values.
  // (A filtered run goes record by record, each statement testing the
  // condition again: the join's own column names could clash with it.)
  const bool byKey = s.keyed && !s.identity.keyValues.isEmpty() && where.isEmpty();
  // (The value join names its own columns beside the table's, which a
  // condition's names could clash with: a filtered run goes by value.)
  const bool byValue = !s.keyed && !s.identity.fieldIndexed && where.isEmpty();
  if (s.sender && !s.sender->StatementLog() && s.identity.transactional && (byKey || byValue) &&
      !Rewrite::NamedLikeOwnTables(table)) {
    try {
      if (byKey) {
        s.connection->ExecuteMany(Rewrite::KeysTable(table, s.identity), [](int, ADODB::RecordSet*) {});
        s.joined = true;
      } else {
        s.valueJoin = std::make_unique<Rewrite::ValueJoin>(*s.connection, *s.sender, table, field);
        // A value refused is counted among the rows read.
        if (s.records->Reading() == Rewrite::Rows::Way::Copied)
          s.valueJoin->SetCounting(Rewrite::Rows::CopyTable(), Rewrite::Rows::CopyField());
      }
    } catch (const ADODB::Error&) {
      // No temporary tables for this login: record by record.
    }
  }
  // A group's pairs stay well inside what the server takes in one statement.
  if (s.sender) s.groupBytes = std::min(kJoinBytes, s.sender->ByteBound());
}

RunHold::~RunHold() {
  if (fd_ >= 0) ::close(fd_);  // the hold goes with it
}

bool RunHold::Take(const QString& journalPath, qint64 run) {
  // A lock on one byte of the journal file, far past the bytes SQLite locks,
  // held by this open file alone (OFD): the kernel lets it go with the
  // process, however the process ends.
  fd_ = ::open(QFile::encodeName(journalPath).constData(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) return true;  // no journal file to hold: nothing else holds it either
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = (off_t(1) << 40) + off_t(run);
  lock.l_len = 1;
  return ::fcntl(fd_, F_OFD_SETLK, &lock) == 0;
}

void Run::StartJournal(const Journal::Target& target, const QString& modeText) {
  State& s = *s_;
  if (options_.dryRun || !s.sender || !s.records->IsOpen()) return;
  // Every record's change reaches the journal before its batch is sent: a
  // disk that cannot hold the run's entries stops it here. Each entry holds
  // the key and both values; the column's octets bound a value.
  const QFileInfo file(options_.journalPath);
  QStorageInfo disk(file.absolutePath());
  if (!disk.isValid()) disk = QStorageInfo(QFileInfo(file.absolutePath()).absolutePath());
  // The field's bytes as its first thousand rows have them; where those
  // cannot be read, the server's average row, bounded by the column's octets.
  qint64 average = s.records->SampledAverage();
  if (average < 0) {
    average = s.identity.averageRow;
    if (s.identity.fieldOctets > 0) average = std::min(average, s.identity.fieldOctets);
  }
  const qint64 perRow = kEntryOverhead + 2 * std::min<qint64>(average, 64 * 1024);
  const qint64 needed = s.records->Count() * perRow;
  if (disk.isValid() && disk.bytesAvailable() >= 0 && needed > disk.bytesAvailable())
    throw Journal::Error(QStringLiteral("The undo journal would need about %1 MB, and %2 has %3 MB free.")
                             .arg(needed / 1000000 + 1)
                             .arg(disk.rootPath())
                             .arg(disk.bytesAvailable() / 1000000)
                             .toStdString());
  // The run is filed under the server's own identity, so that it is found
  // however the server is reached next time.
  Journal::Target filed = target;
  if (filed.serverId.isEmpty()) filed.serverId = MySQL::ServerIdentity(*s.connection);
  const auto busy = [](qint64 run) {
    return Journal::Error(QStringLiteral("Run %1 is being made or continued by another norvale right now; it is "
                                         "left to that one, and nothing was sent.")
                              .arg(run)
                              .toStdString());
  };
  if (options_.resume && !s.hold.Take(options_.journalPath, options_.resume->id)) throw busy(options_.resume->id);
  s.journal = options_.resume ? Journal::RunRecorder::Continue(*options_.resume, options_.journalPath)
                              : Journal::RunRecorder::Start(s.identity, filed, modeText, options_.journalPath,
                                                            options_.wordsHash, s.where);
  if (!options_.resume && !s.hold.Take(options_.journalPath, s.journal->Header().id)) throw busy(s.journal->Header().id);
  s.journal->SetTotalLimit(options_.journalLimit);
  s.sender->SetHook(s.journal.get());
  if (s.valueJoin)
    s.valueJoin->SetAhead([this](const std::vector<Batch::Note>& notes) { s_->journal->Write(notes); });
}

QString Run::Keyless() const { return s_->identity.keyless; }

qint64 Run::RecordCount() const { return refusedColumn_ ? 0 : s_->records->Count(); }
bool Run::Eof() const { return refusedColumn_ || s_->records->Eof(); }

void Run::ReadRecord(qint64 record) {
  s_->failed = false;
  InOrder([&] {
    OwnFailure([&] {
    State& s = *s_;
    s.record = record;
    s.haveOld = s.haveNew = false;
    s.oldText.clear();
    s.newText.clear();
    s.key.clear();
    ++totals_.read;
    const QVariant value = s.records->Value(0);
    s.isBytes = MySQL::IsBytes(value);
    if (s.keyed) {
      s.keyValues = s.records->Value(1).toString();
      // Where the key's values have literals its condition is made only
      // for a statement of its own (most records go in groups by value).
      if (s.identity.keyValues.isEmpty()) s.key = s.keyValues;
    }
    if (s.readsBytes) {
      s.isBytes = false;
      s.oldBytes = value.toByteArray();
      s.oldText = s.bytes->Decode(s.oldBytes);
      s.haveOld = true;
      return;
    }
    if (s.isBytes) return;
    s.oldText = MySQL::ValueText(value.isNull() ? QVariant(QString()) : value);
    if (!s.bytes) throw Closed();
    s.oldBytes = s.bytes->Old(s.oldText, s.bytes->ReadsStored() ? s.records->Value(s.storedColumn) : QVariant());
    s.haveOld = true;
    });
  });
}

void Run::Convert(Case::CaseMode mode) {
  InOrder([&] {
    OwnFailure([&] {
      State& s = *s_;
      // The text as read, else read again to fail as it failed there.
      QString text = s.oldText;
      if (!s.haveOld) {
        const QVariant again = s.records->Value(0);
        if (MySQL::IsBytes(again)) return;
        text = MySQL::ValueText(again.isNull() ? QVariant(QString()) : again);
      }
      s.newText = Case::ConvertCase(mode, text, {options_.words.get(), options_.keepMixed});
      s.haveNew = true;
      if (options_.keepMixed && (mode == Case::CaseMode::CaseProper || mode == Case::CaseMode::CaseName) &&
          s.newText == text && Case::IsMixedCase(text) &&
          Case::ConvertCase(mode, text, {options_.words.get(), false}) != text)
        ++totals_.keptMixed;
    });
  });
}

template <typename Step>
void Run::OwnFailure(Step&& step) {
  // A record whose value cannot be read or converted is left as it is, and
  // counted once however many of its steps failed.
  try {
    step();
  } catch (const Batch::FatalError&) {
    throw;
  } catch (...) {
    if (!s_->failed) ++totals_.notConvertible;
    s_->failed = true;
    lastFailure_ = Failure::NotConvertible;
    throw;
  }
}

bool Run::Prepare() {
  return InOrder([&] {
    State& s = *s_;
    // A record that failed was counted with its failure.
    if (s.failed) return false;
    // A text that stays as it is needs no statement. Bytes have no text form:
    // rewriting them as text would corrupt them.
    if (!s.haveOld || !s.haveNew || s.isBytes || s.oldText == s.newText) {
      ++totals_.unchanged;
      return false;
    }
    // Without a key, a value already sent is not sent again.
    s.tag = int(s.record);
    if (!s.keyed) {
      const auto [number, seen] =
          s.distinct.Insert(s.bytes->ReadsStored() ? QString::fromLatin1(s.oldBytes) : s.oldText, s.record);
      s.tag = int(number);
      if (!seen) {
        const auto refused = s.refusals.constFind(number);
        if (refused != s.refusals.constEnd()) {
          ++totals_.refused;
          lastFailure_ = Failure::Refused;
          throw ADODB::Error(*refused);
        }
        ++totals_.changed;
        return false;
      }
    }
    // The bytes that hold the new text, where the column can hold them
    // exactly; else the value stays as it is, with its report.
    try {
      s.newBytes = s.bytes->New(s.oldText, s.oldBytes, s.newText);
    } catch (const ADODB::Error& e) {
      if (!s.keyed) s.refusals.insert(s.tag, QString::fromStdString(e.what()));
      ++totals_.notConvertible;
      lastFailure_ = Failure::NotConvertible;
      throw;
    }
    ++totals_.changed;
    if (options_.dryRun && int(samples_.size()) < options_.samples)
      samples_.push_back({s.record, s.oldText, s.newText});
    // From here on a value goes by its bytes: a large one's texts, twice
    // their size, are let go before it is journaled and sent.
    if (!options_.dryRun && Rewrite::IsLarge(s.oldBytes)) s.oldText = s.newText = QString();
    return true;
  });
}

bool Run::GoesTogether() const {
  const State& s = *s_;
  if (s.valueJoin && !Rewrite::IsLarge(s.oldBytes)) return true;
  return s.joined && Rewrite::PairBytes(s.keyValues, s.oldBytes, s.newBytes) <= s.groupBytes;
}

void Run::Build() {
  State& s = *s_;
  s.statement = s.keyed ? Rewrite::KeyedStatement(s.table, s.field, KeyOf(s, s.key, s.keyValues), s.oldBytes,
                                                   s.newBytes, s.where, s.tag)
                        : Rewrite::ValueStatement(s.table, s.field, s.oldBytes, s.newBytes, s.bytes->LiteralCharset(),
                                                  s.where, s.tag);
}

void Run::Send() {
  State& s = *s_;
  if (options_.dryRun || ended_) return;
  if (!s.sender) throw Closed();
  // A failure no later record can escape ends the run.
  const auto guarded = [&](const std::function<void()>& step) {
    try {
      step();
    } catch (const Batch::FatalError&) {
      ended_ = true;
      throw;
    }
  };
  if (s.keyed) {
    std::lock_guard lock(s.settling);
    s.unanswered[s.record] = {s.doneRecord, s.doneKey};
  }
  const Batch::Note note = Rewrite::RecordNote(s.record, NoteKey(s, s.key, s.keyValues), s.oldBytes, s.newBytes);
  if (s.valueJoin && !Rewrite::IsLarge(s.oldBytes)) {
    guarded([&] { s.valueJoin->Add(s.tag, s.record, s.oldBytes, s.newBytes, note); });
    return;
  }
  const qsizetype pairBytes = Rewrite::PairBytes(s.keyValues, s.oldBytes, s.newBytes);
  if (s.joined && pairBytes <= s.groupBytes) {
    // One group on its way at a time: the one before it is answered first.
    // What that one tells of is reported here, and this record still goes
    // unless the run has ended.
    std::exception_ptr told;
    if (!s.joining.empty() && s.joiningBytes + pairBytes > s.groupBytes) {
      try {
        Launch();
      } catch (...) {
        told = std::current_exception();
      }
    }
    if (!ended_) {
      s.joining.push_back({s.tag, s.record, s.key, s.keyValues, s.oldBytes, s.newBytes});
      s.joiningBytes += pairBytes;
    }
    if (told) std::rethrow_exception(told);
    if (s.joining.size() >= s.groupRecords) Launch();
    return;
  }
  // A record alone goes after the groups before it, when the server lets it.
  Sync();
  bool go = true;
  guarded([&] { go = Gentle(); });
  if (!go) {
    interrupted_ = true;
    return;
  }
  if (s.statement.isEmpty()) Build();
  // A value the server cannot take in one statement is never sent.
  Batch::Ahead ahead = Rewrite::Ahead(s.tag, s.newBytes);
  if (!s.sender->Fits(s.statement, ahead)) {
    if (!s.keyed) s.refusals.insert(s.tag, Batch::Sender::TooLarge());
    if (s.keyed) Settle(s.record);
    --totals_.changed;
    ++totals_.notConvertible;
    lastFailure_ = Failure::NotConvertible;
    s.statement.clear();
    throw ADODB::Error(Batch::Sender::TooLarge());
  }
  const QString statement = std::move(s.statement);
  s.statement.clear();
  guarded([&] {
    // The journal keeps the records' order, and the pairs are in before
    // the statement's transaction begins.
    if (s.valueJoin) s.valueJoin->Send(true);
    s.sender->Add(statement, s.tag, note, s.keyed ? 1 : -1, std::move(ahead));
    if (s.valueJoin) s.sender->Flush();
  });
}

void Run::MoveNext() {
  State& s = *s_;
  // A record the run ended on was not answered for.
  if (s.keyed && !ended_) {
    {
      std::lock_guard lock(s.settling);
      s.doneRecord = s.record;
      s.doneKey = s.keyValues;
    }
    KeepPosition(QStringLiteral("running"), false);
  }
  // Rows that can no longer be read end the run after that one report.
  try {
    s_->records->MoveNext();
  } catch (...) {
    if (!s_->records->IsOpen()) ended_ = true;
    Sync();
    throw;
  }
  if (!s_->records->IsOpen()) ended_ = true;
}

void Run::Finish() {
  State& s = *s_;
  Sync();
  if (options_.dryRun || ended_ || !s.sender) return;
  try {
    // The last group waits as the others did, and may be stopped there.
    if (!Gentle()) {
      interrupted_ = true;
      return;
    }
    std::vector<Pair> last;
    last.swap(s.joining);
    SendJoin(s, MakeGroup(s, std::move(last)));
    s.sender->Flush();
    while (!s.alone.empty()) {
      SendAlone(s);
      s.sender->Flush();
    }
    if (s.valueJoin)
      s.valueJoin->Finish([this](qsizetype number, const QString& text, qint64 record, qint64 rows) {
        RefusedValue(number, text, record, rows);
      });
  } catch (const Batch::FatalError&) {
    ended_ = true;
    throw;
  }
}

void Run::Abandon() {
  State& s = *s_;
  // The group on its way is answered; the records after it go nowhere.
  try {
    Sync();
  } catch (const std::exception&) {
  }
  s.joining.clear();
  s.alone.clear();
  ended_ = true;
  interrupted_ = true;
}

void Run::Close(const QString& why) {
  State& s = *s_;
  if (refusedColumn_) return;
  if (s.job.joinable()) s.job.join();
  // What the run changed is what the server says it changed: records not
  // sent yet (the run ended early) went nowhere, and a row someone else
  // changed since it was read, or that took the same value again, is
  // counted apart.
  if (!options_.dryRun && s.sender) {
    const qint64 meant = totals_.changed;
    totals_.changed = s.serverChanged;
    totals_.changedSince = s.changedSince;
    totals_.sameValue = s.sameValue;
    totals_.notMatching = s.notMatching;
    totals_.storedOtherwise = s.storedOtherwise;
    totals_.triggers = s.triggers;
    totals_.notChanged = totals_.changedSince + totals_.sameValue + totals_.notMatching;
    // Without a key a statement stands for every row holding its value: the
    // rows it missed are known only by their number.
    if (!s.keyed && !interrupted_ && !ended_) totals_.notChanged = std::max<qint64>(0, meant - totals_.changed);
  }
  // Where it stands: a run that ended early can be continued after the
  // last row it settled.
  if (s.journal) {
    const QString ended = !interrupted_ && !ended_ ? QString()
                          : !why.isEmpty()         ? why
                          : interrupted_           ? QStringLiteral("interrupted")
                                                   : QStringLiteral("ended early");
    if (Resumable()) KeepPosition(ended, true);
    else s.journal->SetProgress(ended, QString(), 0);
  }
  if (s.journal) s.journal->Finish(s.keyed || interrupted_ || ended_ ? -1 : totals_.changed);
  s.journal.reset();
  s.records->Close();
}

}  // namespace Conversion
