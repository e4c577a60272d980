// Opening a run: its sessions, the guard on the user's condition, the rows to
// read and how they will go, and the journal.
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
#include "conversion/keyjoin.h"
#include "conversion/state.h"
#include "conversion/valueway.h"
#include "journal/recorder.h"

namespace Conversion {
namespace {


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
  s.waiting->FindReplicas(*s.connection, details);
  Batch::Limits limits;
  limits.lockWaitSeconds = options_.gentle.on ? options_.gentle.lockWait : kLockWait;
  s.sender = std::make_unique<Batch::Sender>(*s.connection, [this](int tag, const QString& text) {
    State& s = *s_;
    if (tag < 0 && s.way) {
      s.way->Refused(tag, text, QString());
    } else if (!s.keyed) {
      const Batch::Note& note = s.sender->ReportedNote();
      const qint64 rows = s.distinct.Count(tag);
      RefusedValue(tag, text, note.isEmpty() ? s.distinct.FirstRecord(tag) : note.records.front().record,
                   rows < 0 ? 1 : rows);
    } else {
      const QString key = Rewrite::ShownKey(s.identity, s.sender->ReportedNote().records.value(0).key);
      if (!s.way || !s.way->Refused(tag, text, key)) Refused(tag, text, key);
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
    refusedColumn_ = s.ending.ended = true;
    throw ADODB::Error(s.identity.unwritable);
  }
  s.keyed = !s.identity.columns.isEmpty();
  s.storedColumn = s.keyed ? 2 : 1;
  CheckContinuing();
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
  ChooseWay();
}


void Run::CheckContinuing() const {
  const State& s = *s_;
  // A run continued reads its rows by the same key, after the last one it
  // settled.
  if (!options_.resume) return;
  const Journal::RunHeader& run = *options_.resume;
  if (run.keyNames != s.identity.columns || s.identity.keyValues.isEmpty() || !s.identity.keyOrdered)
    throw ADODB::Error(QStringLiteral("Run %1 cannot be continued: %2's key is not the one it read its rows by.")
                           .arg(run.id)
                           .arg(s.table));
  // Another type or collation reads and orders the rows otherwise: the
  // position may no longer stand between the rows done and the rest.
  if (!run.shape.isEmpty() && run.shape != s.identity.shape)
    throw ADODB::Error(QStringLiteral("Run %1 cannot be continued: %2 changed since it read its rows (it was %3, "
                                      "it is now %4).")
                           .arg(run.id)
                           .arg(s.table, run.shape, s.identity.shape));
}

void Run::ChooseWay() {
  State& s = *s_;
  const QString& table = s.table;
  const QString& field = s.field;
  const QString& where = s.where;
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
        if (PairTable::Make(*s.connection, table, s.identity))
          s.way = std::make_unique<KeyJoin>(
              KeyJoin::Road{*s.connection, *s.sender, s.identity, table, field},
              KeyJoin::Calls{[this] { return WaitForServer(); },
                             [this](int tag, const QString& text, const QString& key) { Refused(tag, text, key); }},
              s.ending, options_.gentle.on ? options_.gentle.chunkTime : 0, options_.responsive);
      } else {
        auto join = std::make_unique<Rewrite::ValueJoin>(*s.connection, *s.sender, table, field);
        // A value refused is counted among the rows read.
        if (s.records->Reading() == Rewrite::Rows::Way::Copied)
          join->SetCounting(Rewrite::Rows::CopyTable(), Rewrite::Rows::CopyField());
        s.way = std::make_unique<ValueWay>(
            std::move(join), *s.sender, [this](qsizetype number, const QString& text, qint64 record, qint64 rows) {
              RefusedValue(number, text, record, rows);
            });
      }
    } catch (const ADODB::Error&) {
      // No temporary tables for this login: record by record.
    }
  }
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
  const qint64 perRow = Journal::kEntryDiskBytes + 2 * std::min<qint64>(average, 64 * 1024);
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
  if (s.way) s.way->SetJournal(s.journal.get());
}

}  // namespace Conversion
