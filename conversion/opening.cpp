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

// Learns, in one round trip, how the column's set writes the characters a
// mode can make; any other is asked for when a value needs it. A set of a
// byte a character holds 256 characters at most: only their own cases are
// asked, and every cased character's (some 60 ms to list) only for
// the other sets. True where the stored bytes alone tell the text.
bool LearnColumn(Rewrite::ColumnBytes& bytes) {
  const bool readsBytes = bytes.LearnBytes();
  if (!bytes.ReadsStored()) return readsBytes;
  const QString held = bytes.Held(), upper = Case::UpperText(held), lower = Case::LowerText(held);
  // (Each form keeps the text's length: the test never fails but guards the reading below.)
  if (held.isEmpty() || upper.size() != held.size() || lower.size() != held.size()) {
    bytes.Learn(CasedCharacters());
    return readsBytes;
  }
  std::vector<char32_t> made;
  for (qsizetype i = 0; i < held.size(); ++i) {
    const char32_t c = held[i].unicode();
    for (const char32_t image : {char32_t(upper[i].unicode()), char32_t(lower[i].unicode()), QChar::toTitleCase(c)})
      if (image != c) made.insert(made.end(), {c, image});
  }
  std::sort(made.begin(), made.end());
  made.erase(std::unique(made.begin(), made.end()), made.end());
  bytes.Learn(made);
  return true;
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
// Why the fields `names` of `table`, whose rows each field's run would find
// by `identities`, cannot be changed a row at a time; nothing where one key
// that holds none of them finds every row.
std::optional<QString> WhyApart(const QString& table, const QStringList& names,
                                const std::vector<MySQL::RowIdentity>& identities) {
  const MySQL::RowIdentity& first = identities.front();
  for (const MySQL::RowIdentity& identity : identities) {
    if (identity.columns.isEmpty()) return KeylessReason(table, identity.keyless);
    if (identity.columns != first.columns || identity.keyValues != first.keyValues)
      return QStringLiteral("no key of %1 leaves out every one of the fields").arg(table);
  }
  for (const QString& column : first.columns)
    if (names.contains(column)) return QStringLiteral("%1's key holds the field %2").arg(table, column);
  return std::nullopt;
}

}  // namespace

std::optional<QString> FieldsApart(const MySQL::ConnectionDetails& details, const QString& table,
                                   const std::vector<FieldMode>& fields) {
  auto connection = OpenSession(details, false, false);
  QStringList names;
  std::vector<MySQL::RowIdentity> identities;
  for (const FieldMode& f : fields) {
    names << f.name;
    identities.push_back(MySQL::ReadRowIdentity(*connection, table, f.name));
  }
  return WhyApart(table, names, identities);
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
  s.waiting->FindReplicas(*s.connection, details);
  Batch::Limits limits;
  limits.lockWaitSeconds = options_.gentle.on ? options_.gentle.lockWait : kLockWait;
  s.sender = std::make_unique<Batch::Sender>(*s.connection, [this](int tag, const QString& text) {
    State& s = *s_;
    if (tag < 0 && s.way) {
      s.way->Refused(tag, text, QString(), {});
    } else if (!s.keyed) {
      const Batch::Note& note = s.sender->ReportedNote();
      const qint64 rows = s.distinct.Count(tag);
      RefusedValue(tag, text, note.isEmpty() ? s.distinct.FirstRecord(tag) : note.records.front().record,
                   rows < 0 ? 1 : rows);
    } else {
      const Batch::Note& note = s.sender->ReportedNote();
      const QString key = Rewrite::ShownKey(s.identity, note.records.value(0).key);
      const QList<int> fields = FieldsOf(note);
      if (!s.way || !s.way->Refused(tag, text, key, fields)) Refused(tag, text, key, fields);
    }
  }, limits);
  s.sender->SetInspect([this](ADODB::Connection& connection, int tag, const Batch::Note& note, qint64 changed) {
    return Inspect(*s_, connection, tag, note, changed);
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
  s.sender->SetAnswered([this](int tag, qint64 changed, const Batch::Shortfall& shortfall, const Batch::Note& note) {
    if (s_->fields.empty()) Answered(tag, changed, shortfall);
    else AnsweredFields(tag, changed, shortfall, note);
  });
}

void Run::OpenReading(const QString& where) {
  State& s = *s_;
  if (!s.connection) throw Closed();
  if (!where.isEmpty()) {
    s.reading = OpenSession(s.details, true, !options_.dryRun, false);
    GuardCondition(*s.connection, *s.reading, where);
  }
}

ADODB::Connection& Run::ReadingSession() {
  State& s = *s_;
  if (s.reading) return *s.reading;
  // Without a key to read by, the rows wait in a temporary table of the
  // session the run writes through, which its joins count refusals in.
  if (options_.dryRun || !s.identity.keyOrdered || s.identity.keyValues.isEmpty()) return *s.connection;
  try {
    s.reading = OpenSession(s.details, true, true, false);
  } catch (const ADODB::Error&) {
    // A login held to one connection, or a server with no room for
    // another: the chunks are read between the groups, as they always
    // could be.
    return *s.connection;
  }
  return *s.reading;
}

void Run::OpenRows(const QString& field, bool stored, bool bytesOnly) {
  State& s = *s_;
  ADODB::Connection& reading = ReadingSession();
  s.connection->AllowInterrupt(true);
  s.records->Open(reading, s.table, field, s.identity, stored, s.where,
                  options_.resume ? options_.resume->position : QString(), bytesOnly);
  if (!options_.dryRun) s.connection->AllowInterrupt(false);
  // Ctrl+C ends no chunk's read of the run's own reading session (not the
  // condition's), as it ends none of the run's session: the run stops
  // between its records.
  if (s.reading && s.where.isEmpty()) s.reading->AllowInterrupt(false);
}

void Run::CheckCondition(const QString& statement) {
  // The run's statements carry the condition many to a text: the server
  // first prepares one of them, condition and all, where only one
  // statement can stand.
  State& s = *s_;
  if (!s.reading || options_.dryRun) return;
  s.reading->Execute(QStringLiteral("PREPARE nv_where FROM ") + MySQL::TextLiteral(statement));
  s.reading->Execute(QStringLiteral("DEALLOCATE PREPARE nv_where;"));
}

void Run::Read(const QString& table, const QString& field, const QString& where) {
  State& s = *s_;
  OpenReading(where);
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
  // A byte a character: the bytes alone tell the text, and only they travel.
  s.readsBytes = LearnColumn(*s.bytes);
  if (!where.isEmpty())
    CheckCondition(s.keyed ? Rewrite::KeyedStatement(table, field, QStringLiteral("0=1"), "a", "b", where, -1)
                           : Rewrite::ValueStatement(table, field, "a", "b", s.bytes->LiteralCharset(), where, -1));
  OpenRows(field, s.bytes->ReadsStored(), s.readsBytes);
  ChooseWay();
}


void Run::Read(const QString& table, const std::vector<FieldMode>& fields, const QString& where) {
  State& s = *s_;
  if (fields.size() < 2) {
    Read(table, fields.empty() ? QString() : fields.front().name, where);
    return;
  }
  if (fields.size() > size_t(Batch::kMaxFields))
    throw ADODB::Error(QStringLiteral("A run converts at most %1 fields together.").arg(Batch::kMaxFields));
  OpenReading(where);
  s.table = table;
  s.field = fields.front().name;
  s.where = where;
  LearnFields(fields);
  s.triggers = MySQL::UpdateTriggers(*s.connection, table);
  if (s.sender && !s.triggers.isEmpty()) s.sender->InspectEvery(true);
  s.keyed = true;
  CheckContinuing();
  if (!where.isEmpty())
    CheckCondition(Rewrite::RowStatement(table, s.fieldNames, QStringLiteral("0=1"), {{0, "a", "b"}}, where, -1));
  // The first field is read as a run of one reads it, the others after it.
  const FieldState& first = *s.fields.front();
  QStringList also;
  int column = int(Rewrite::FieldColumns(s.field, s.identity, first.bytes->ReadsStored(), first.readsBytes).size());
  for (size_t f = 1; f < s.fields.size(); ++f) {
    FieldState& field = *s.fields[f];
    const QString name = MySQL::QuoteName(field.asked.name);
    const QString bytes = QStringLiteral("CAST(") + name + QStringLiteral(" AS BINARY)");
    field.valueColumn = column++;
    also << (field.readsBytes ? bytes : name);
    if (!field.readsBytes && field.bytes->ReadsStored()) {
      field.storedColumn = column++;
      also << bytes;
    }
  }
  s.records->AlsoRead(also);
  OpenRows(s.field, first.bytes->ReadsStored(), first.readsBytes);
  ChooseWay();
}

void Run::LearnFields(const std::vector<FieldMode>& fields) {
  State& s = *s_;
  // Every field is written as it can be, found by one key that holds none
  // of them.
  for (const FieldMode& asked : fields) {
    for (const QString& name : s.fieldNames)
      if (name.compare(asked.name, Qt::CaseInsensitive) == 0)
        throw ADODB::Error(QStringLiteral("The field %1 is named twice.").arg(asked.name));
    auto field = std::make_unique<FieldState>();
    field->asked = asked;
    field->identity = MySQL::ReadRowIdentity(*s.connection, s.table, asked.name);
    if (!field->identity.unwritable.isEmpty()) {
      refusedColumn_ = s.ending.ended = true;
      throw ADODB::Error(field->identity.unwritable);
    }
    s.fieldNames << asked.name;
    s.fields.push_back(std::move(field));
  }
  s.identity = s.fields.front()->identity;
  std::vector<MySQL::RowIdentity> identities;
  for (const auto& field : s.fields) identities.push_back(field->identity);
  if (const std::optional<QString> why = WhyApart(s.table, s.fieldNames, identities))
    throw SeparateFields(why->toStdString());
  // A run continued reads the table its position was taken in: every
  // field's declaration as it was.
  QStringList shapes;
  for (const auto& field : s.fields) shapes << field->identity.shape;
  s.identity.shape = shapes.join(QStringLiteral("; "));
  for (size_t f = 0; f < s.fields.size(); ++f) {
    FieldState& field = *s.fields[f];
    field.bytes = std::make_unique<Rewrite::ColumnBytes>(*s.connection, field.identity.charset);
    field.readsBytes = LearnColumn(*field.bytes);
    if (f == 0) {
      field.valueColumn = 0;
      if (field.bytes->ReadsStored() && !field.readsBytes) field.storedColumn = 2;
    }
  }
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
        const PairTable::Kind pairs =
            PairTable::Make(*s.connection, table, s.identity, std::max<int>(1, int(s.fieldNames.size())));
        if (pairs != PairTable::Kind::None) {
          auto join = std::make_unique<KeyJoin>(
              KeyJoin::Road{*s.connection, *s.sender, s.identity, table, field, s.fieldNames,
                            pairs == PairTable::Kind::Keyed},
              KeyJoin::Calls{[this] { return WaitForServer(); },
                             [this](int tag, const QString& text, const QString& key, const QList<int>& fields) {
                               Refused(tag, text, key, fields);
                             },
                             [this](int tag, qint64 changed, const Batch::Note& note) {
                               s_->serverComputed += changed;
                               if (s_->fields.empty())
                                 Answered(tag, changed, {});
                               else
                                 AnsweredFields(tag, changed, {}, note);
                             }},
              s.ending, options_.gentle.on ? options_.gentle.chunkTime : 0, options_.responsive);
          // Where the server's own UPPER() or LOWER() writes what the run
          // computes, the new values need not travel. A trigger may store
          // otherwise: every row is then looked at, through the join.
          if (s.fields.empty() && s.triggers.isEmpty()) {
            try {
              join->SetServerCase(
                  ServerCase::For(*s.connection, table, field, s.identity.charset, s.bytes->CharacterForm()));
            } catch (const ADODB::Error&) {
              // The collation cannot be read: every row goes with its bytes.
            }
          } else if (s.triggers.isEmpty()) {
            // Several fields: each row as one statement, each field written
            // by the server's function or given its values in the statement.
            std::vector<ServerCase::Function> functions;
            std::vector<std::unique_ptr<ServerCase>> servers;
            for (size_t f = 0; f < s.fields.size(); ++f) {
              const FieldState& one = *s.fields[f];
              functions.push_back(ServerCase::Of(one.asked.mode));
              std::unique_ptr<ServerCase> server;
              if (functions.back() != ServerCase::Function::None) {
                try {
                  server = ServerCase::For(*s.connection, table, s.fieldNames[qsizetype(f)], one.identity.charset,
                                           one.bytes->CharacterForm());
                } catch (const ADODB::Error&) {
                  // The collation cannot be read: the field's values go in the statement.
                }
              }
              servers.push_back(std::move(server));
            }
            join->SetServerCases(std::move(functions), std::move(servers));
          }
          s.way = std::move(join);
        }
      } else {
        auto join = std::make_unique<Rewrite::ValueJoin>(*s.connection, *s.sender, table, field,
                                                         PairTable::TakesArrays(*s.connection));
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
  const qint64 needed = s.records->Count() * perRow * std::max<qint64>(1, s.fieldNames.size());
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
                                                            options_.wordsHash, s.where, s.fieldNames, FieldModes(s.fields));
  if (!options_.resume && !s.hold.Take(options_.journalPath, s.journal->Header().id)) throw busy(s.journal->Header().id);
  s.journal->SetTotalLimit(options_.journalLimit);
  s.sender->SetHook(s.journal.get());
  if (s.way) s.way->SetJournal(s.journal.get());
}

}  // namespace Conversion
