// norvale convert: the fields in one run, each in its own mode (or a run a
// field where the table's rows cannot take them together), asked about
// first where a person is there to answer, journaled ahead, and summed up
// at the end.
#include <QFileInfo>
#include <QJsonArray>

#include "commandline/internal.h"
#include "database/ado.h"
#include "database/rewrite.h"
#include "shell/settings.h"

namespace CommandLine {
namespace {

using Conversion::FieldMode;

// What the options ask of every field's run.
struct Plan {
  QString table;
  std::vector<FieldMode> fields;
  bool dry = false, ask = false, keepMixed = false, resume = false;
  int samples = 10;
  qint64 journalLimit = 0;
  Conversion::Words words;
  Conversion::Gentle gentle;
  QString condition;
  bool conditionGiven = false;
};

// The command's answer as the fields go.
struct Outcome {
  QJsonArray runs;
  int status = kConverted;
  QString error;
  // A refusal answered already: the command ends with its status alone.
  bool answered = false;

  void Worse(int s) {
    if (status == kConverted || (status == kSomeLeft && s != kConverted)) status = s;
  }
  void Stop(int s, const QString& why) {
    status = s;
    error = why;
    Err(error);
  }
  bool Refused(int s, const QString& why) {
    status = Refuse(s, why);
    answered = true;
    return false;
  }
};

// One field's run.
struct Field {
  Conversion::Request request;
  QString where;  // database.table.field, as the answer names it
  Conversion::Options options;
  QJsonObject one;  // its part of the JSON answer
};

const QString kInterruptedSent =
    QStringLiteral("interrupted: what was sent is in the journal, and `norvale undo` takes it back");
const QString kInterruptedBefore = QStringLiteral("interrupted before anything was sent");

std::optional<Case::CaseMode> ModeFromName(const QString& name) {
  static const QHash<QString, Case::CaseMode> modes = {{QStringLiteral("upper"), Case::CaseMode::CaseUpper},
                                                       {QStringLiteral("lower"), Case::CaseMode::CaseLower},
                                                       {QStringLiteral("proper"), Case::CaseMode::CaseProper},
                                                       {QStringLiteral("sentence"), Case::CaseMode::CaseSentence},
                                                       {QStringLiteral("name"), Case::CaseMode::CaseName}};
  const auto found = modes.constFind(name.toLower());
  if (found == modes.constEnd()) return std::nullopt;
  return *found;
}

// The fields, each FIELD or FIELD:MODE, the mode of those that name none
// from --mode. A name may hold a colon: only a known mode after the last one
// is read as the mode.
std::optional<int> ReadFields(const QCommandLineParser& parser, const Common& c, Plan& p) {
  const QStringList given = parser.values(QStringLiteral("field"));
  if (given.isEmpty()) return Usage(c.command, QStringLiteral("--field is needed"));
  const std::optional<Case::CaseMode> mode = ModeFromName(parser.value(QStringLiteral("mode")));
  if (parser.isSet(QStringLiteral("mode")) && !mode)
    return Usage(c.command, QStringLiteral("--mode is one of upper, lower, proper, sentence, name"));
  for (const QString& one : given) {
    const qsizetype colon = one.lastIndexOf(u':');
    const std::optional<Case::CaseMode> own = colon > 0 ? ModeFromName(one.mid(colon + 1)) : std::nullopt;
    const QString name = own ? one.left(colon) : one;
    if (!own && !mode)
      return Usage(c.command, QStringLiteral("--mode is one of upper, lower, proper, sentence, name"));
    for (const FieldMode& f : p.fields)
      // (The server reads column names without regard to case.)
      if (f.name.compare(name, Qt::CaseInsensitive) == 0)
        return Usage(c.command, QStringLiteral("--field %1 is given twice").arg(name));
    p.fields.push_back({name, own ? *own : *mode});
  }
  return std::nullopt;
}

// The table, fields and modes, and how the run is shown and asked for.
std::optional<int> ReadWhat(const QCommandLineParser& parser, const Common& c, Plan& p) {
  p.table = parser.value(QStringLiteral("table"));
  if (p.table.isEmpty()) return Usage(c.command, QStringLiteral("--table is needed"));
  if (const std::optional<int> stop = ReadFields(parser, c, p)) return stop;
  p.dry = parser.isSet(QStringLiteral("dry-run"));
  bool sampleOk = true;
  if (parser.isSet(QStringLiteral("sample"))) p.samples = parser.value(QStringLiteral("sample")).toInt(&sampleOk);
  if (!sampleOk || p.samples < 0) return Usage(c.command, QStringLiteral("--sample takes a number"));
  p.ask = !p.dry && !c.yes;
  if (p.ask && !OnTerminal())
    return Usage(c.command, QStringLiteral("there is no terminal to confirm on: add --yes to convert without asking"));
  return std::nullopt;
}

// The user's word list: the one named, else the window's.
std::optional<int> ReadWordList(const QCommandLineParser& parser, Plan& p) {
  p.journalLimit = Conversion::JournalLimit(Main::GetSetting(Conversion::kJournalLimitSetting, QString()));
  p.keepMixed = parser.isSet(QStringLiteral("keep-mixed"));
  const bool named = parser.isSet(QStringLiteral("words"));
  const QString wordsFile = named ? parser.value(QStringLiteral("words")) : Main::WordsFilePath();
  if (named && !QFileInfo(wordsFile).isFile())
    return Refuse(kNotDone, QStringLiteral("the word list %1 does not exist").arg(wordsFile));
  try {
    p.words = Conversion::ReadWords(wordsFile);
  } catch (const std::exception& e) {
    return Refuse(kNotDone, QString::fromStdString(e.what()));
  }
  return std::nullopt;
}

// What the run waits for on a live server.
std::optional<int> ReadGentle(const QCommandLineParser& parser, const Common& c, Conversion::Gentle& gentle) {
  const auto isSet = [&](const char* name) { return parser.isSet(QLatin1String(name)); };
  const auto value = [&](const char* name) { return parser.value(QLatin1String(name)); };
  if (isSet("max-load"))
    if (const std::optional<QString> fault = Conversion::ReadLoads(value("max-load"), gentle.maxLoad))
      return Usage(c.command, QStringLiteral("--max-load: %1").arg(*fault));
  if (isSet("critical-load"))
    if (const std::optional<QString> fault = Conversion::ReadCriticalLoad(value("critical-load"), gentle.criticalLoad))
      return Usage(c.command, QStringLiteral("--critical-load: %1").arg(*fault));
  gentle.pauseFile = value("pause-file");
  if (isSet("max-lag")) {
    bool ok = false;
    gentle.maxLag = value("max-lag").toInt(&ok);
    if (!ok || gentle.maxLag < 0) return Usage(c.command, QStringLiteral("--max-lag takes whole seconds, 0 for no check"));
  }
  gentle.replicas = parser.values(QStringLiteral("replica"));
  if (isSet("chunk-time")) {
    bool ok = false;
    gentle.chunkTime = value("chunk-time").toDouble(&ok);
    if (!ok || gentle.chunkTime < 0) return Usage(c.command, QStringLiteral("--chunk-time takes seconds, 0 for groups of 1,000"));
  }
  if (isSet("lock-wait")) {
    bool ok = false;
    gentle.lockWait = value("lock-wait").toInt(&ok);
    if (!ok || gentle.lockWait < 1) return Usage(c.command, QStringLiteral("--lock-wait takes whole seconds, 1 or more"));
  }
  return std::nullopt;
}

// Only the rows a condition picks: one expression, refused before anything
// is read or sent where it could be more; and --resume, of one field.
std::optional<int> ReadCondition(const QCommandLineParser& parser, const Common& c, Plan& p) {
  p.condition = parser.value(QStringLiteral("where")).trimmed();
  p.conditionGiven = parser.isSet(QStringLiteral("where"));
  if (p.conditionGiven)
    if (const std::optional<QString> fault = Rewrite::ConditionFault(p.condition))
      return Usage(c.command, QStringLiteral("--where takes one SQL expression over the table's columns: %1").arg(*fault));
  p.resume = parser.isSet(QStringLiteral("resume"));
  return std::nullopt;
}

// The field's newest run, however the server is reached, to continue; its
// condition unless another is given, which refuses it. False where it
// cannot be continued (answered).
bool TakeUpRun(const Common& c, const Plan& p, Field& f, Outcome& out) {
  std::optional<Journal::RunHeader> last;
  QString elsewhere;
  const QString& field = f.request.field;
  try {
    Journal::Store store;
    const std::vector<Journal::Store::Listed> listed = store.Runs(
        {c.details.server, c.details.port, c.details.database, p.table, field, Conversion::ServerIdentity(c.details, false)});
    if (!listed.empty()) last = listed.front().header;
    else elsewhere = MadeElsewhere(store, c.details.database, p.table, field);
    // Its newest run may be among those a recovery lost whole.
    if (last && last->id < store.LostThrough())
      return out.Refused(kNotDone, QStringLiteral("%1 cannot be continued: the journal's recovery lost its newest runs, "
                                                  "so run %2 may not be the field's newest")
                                       .arg(f.where)
                                       .arg(last->id));
  } catch (const std::exception& e) {
    return out.Refused(kNotDone, QString::fromStdString(e.what()));
  }
  if (last && !p.conditionGiven) f.request.where = last->where;
  if (const std::optional<QString> why = Conversion::NotResumable(last, f.request.modeText, f.request.where, p.words.hash))
    return out.Refused(kNotDone, QStringLiteral("%1 cannot be continued: %2").arg(f.where, *why) + elsewhere);
  if (last->ended == QLatin1String("running"))
    Err(QStringLiteral("run %1 did not say how it ended (the program was killed, or it is still running "
                       "elsewhere): continuing it after the last row it is known to have settled")
            .arg(last->id));
  else
    Err(QStringLiteral("continuing run %1 (%2) after record %3").arg(last->id).arg(last->ended).arg(last->nextRecord));
  f.options.resume = last;
  return true;
}

// The run's request and options, and the start of its answer. False
// where it cannot go (answered).
bool Prepare(const Common& c, const Plan& p, const std::vector<FieldMode>& fields, Field& f, Outcome& out) {
  const FieldMode& field = fields.front();
  f.request = {c.details, p.table, field.name, field.mode, Conversion::ModeText(field.mode), p.condition};
  f.where = QStringLiteral("%1.%2.%3").arg(c.details.database, p.table, field.name);
  if (fields.size() > 1) {
    QStringList names;
    f.request.fields = fields;
    for (const FieldMode& one : fields) names << one.name;
    f.request.modeText = Conversion::FieldsModeText(f.request.fields);
    f.where = QStringLiteral("%1.%2.{%3}").arg(c.details.database, p.table, names.join(QStringLiteral(", ")));
  }
  if (p.resume && !TakeUpRun(c, p, f, out)) return false;
  f.options.journalLimit = p.journalLimit;
  f.options.dryRun = p.dry;
  f.options.samples = p.samples;
  f.options.words = p.words.list;
  f.options.wordsHash = p.words.hash;
  f.options.keepMixed = p.keepMixed;
  f.options.gentle = p.gentle;
  f.one = {{QStringLiteral("database"), c.details.database}, {QStringLiteral("table"), p.table},
           {QStringLiteral("field"), field.name}, {QStringLiteral("mode"), f.request.modeText},
           {QStringLiteral("dry_run"), p.dry}};
  if (!f.request.where.isEmpty()) f.one.insert(QStringLiteral("where"), f.request.where);
  if (f.options.resume) f.one.insert(QStringLiteral("resumed"), f.options.resume->id);
  return true;
}

enum class Asked { Yes, No, Interrupted };

// What would change, read first; nothing is sent until the user says so.
Asked Ask(const Plan& p, const Field& f) {
  Reporter quiet(true);
  Conversion::Options look = f.options;
  look.dryRun = true;
  Conversion::Run preview(quiet, look);
  Conversion::Drive(preview, f.request, nullptr, Interrupted);
  if (Interrupted()) return Asked::Interrupted;
  const QString keyless = f.request.fields.empty() ? preview.Keyless() : QString();
  QString question =
      QStringLiteral("Convert %1 rows of %2 to %3?").arg(preview.Totals().changed).arg(f.where, f.request.modeText);
  if (!keyless.isEmpty())
    question += QStringLiteral(" It cannot be undone exactly: %1.").arg(Conversion::KeylessReason(p.table, keyless));
  return Confirm(question) ? Asked::Yes : Asked::No;
}

// Rows the run sent but the server left as they were, said on stderr.
void ReportNotChanged(const QString& where, const Conversion::Summary& t);

// Each field's counts in a run of several, with its own mode.
QJsonArray FieldsJson(const Conversion::Run& run) {
  QJsonArray fields;
  for (const Conversion::FieldSummary& one : run.FieldTotals()) {
    QJsonObject o{{QStringLiteral("field"), one.field}, {QStringLiteral("mode"), one.mode}};
    Merge(o, SummaryJson(one.totals));
    o.remove(QStringLiteral("waited_seconds"));
    o.remove(QStringLiteral("waited_for"));
    fields.append(o);
  }
  return fields;
}

// The run's counts: those of each field too, in a run of several.
void AddTotals(QJsonObject& one, const Conversion::Run& run) {
  Merge(one, SummaryJson(run.Totals()));
  if (run.SeveralFields()) one.insert(QStringLiteral("fields"), FieldsJson(run));
}

// Where a run of several fields left some, each field's own account.
void ReportFieldsNotChanged(const Field& f, const Conversion::Run& run) {
  if (!run.SeveralFields()) {
    ReportNotChanged(f.where, run.Totals());
    return;
  }
  for (const Conversion::FieldSummary& one : run.FieldTotals())
    ReportNotChanged(QStringLiteral("%1.%2.%3").arg(f.request.details.database, f.request.table, one.field), one.totals);
}

void ReportNotChanged(const QString& where, const Conversion::Summary& t) {
  if (t.storedOtherwise > 0)
    Err(QStringLiteral("%1: %2 rows were stored otherwise than sent: the table's trigger %3 rewrites what is "
                       "written; the journal keeps what they hold")
            .arg(where)
            .arg(t.storedOtherwise)
            .arg(t.triggers));
  if (t.notChanged <= 0) return;
  QStringList why;
  if (t.changedSince > 0) why << QStringLiteral("%1 changed by another client since they were read").arg(t.changedSince);
  if (t.sameValue > 0) why << QStringLiteral("%1 where the column stored the same value again").arg(t.sameValue);
  if (t.notMatching > 0) why << QStringLiteral("%1 that --where no longer picks").arg(t.notMatching);
  Err(QStringLiteral("%1: %2 rows were sent but not changed by the server%3")
          .arg(where)
          .arg(t.notChanged)
          .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why.join(QStringLiteral(", "))));
}

// How to continue a run that ended early, where it can be.
void TellResumable(const Conversion::Run& run) {
  if (run.Resumable() && run.Totals().read > 0)
    Err(QStringLiteral("the same command with --resume continues the run after the last row it settled"));
}

// One line of counts: "name (Name Case): 10 read, 4 changed, …".
QString CountsLine(const Plan& p, const QString& what, const QString& mode, const Conversion::Summary& t) {
  return QStringLiteral("%1 (%2)%3: %4 read, %5 %6, %7 unchanged, %8 refused, %9 not convertible")
             .arg(what, mode, p.dry ? QStringLiteral(", dry run") : QString())
             .arg(t.read)
             .arg(t.changed)
             .arg(p.dry ? QStringLiteral("would change") : QStringLiteral("changed"))
             .arg(t.alreadyInCase)
             .arg(t.refused)
             .arg(t.notConvertible) +
         (p.keepMixed ? QStringLiteral(", %1 kept in mixed case").arg(t.keptMixed) : QString());
}

// The rows a run of several fields read and changed.
QString RowsLine(const Plan& p, const QString& what, const QString& mode, const Conversion::Summary& t) {
  return QStringLiteral("%1 (%2)%3: %4 rows read, %5 rows %6")
      .arg(what, mode, p.dry ? QStringLiteral(", dry run") : QString())
      .arg(t.read)
      .arg(t.changed)
      .arg(p.dry ? QStringLiteral("would change") : QStringLiteral("changed"));
}

// The run's totals as text (each field's under the run's rows, in a run of
// several), and a dry run's sample.
void PrintTotals(const Plan& p, const Field& f, const Conversion::Run& run) {
  const Conversion::Summary& t = run.Totals();
  const bool several = run.SeveralFields();
  Out((several ? RowsLine(p, f.where, f.request.modeText, t) : CountsLine(p, f.where, f.request.modeText, t)) +
      (t.waitedFor.isEmpty() ? QString()
                             : QStringLiteral(", waited %1 s for %2")
                                   .arg(t.waitedSeconds, 0, 'f', 1)
                                   .arg(t.waitedFor.join(QStringLiteral(", ")))));
  for (const Conversion::FieldSummary& one : run.FieldTotals())
    Out(QStringLiteral("  ") + CountsLine(p, one.field, one.mode, one.totals));
  if (p.dry && !run.Keyless().isEmpty())
    Out(QStringLiteral("  this run could not be undone exactly: %1").arg(Conversion::KeylessReason(p.table, run.Keyless())));
  for (const Conversion::Sample& s : run.Samples())
    Out(QStringLiteral("  record %1%2: %3 -> %4")
            .arg(s.record + 1)
            .arg(s.field.isEmpty() ? QString() : u' ' + s.field, s.oldText, s.newText));
}

// The field's run, once it ended: its answer. False where the command
// stops here.
bool Answer(const Plan& p, Field& f, const Conversion::Run& run, Outcome& out) {
  const Conversion::Summary& t = run.Totals();
  if (t.refused + t.notConvertible + t.notChanged + t.storedOtherwise > 0) out.Worse(kSomeLeft);
  AddTotals(f.one, run);
  f.one.insert(QStringLiteral("interrupted"), Interrupted());
  f.one.insert(QStringLiteral("undoable"), run.Keyless().isEmpty());
  QJsonArray sample;
  for (const Conversion::Sample& s : run.Samples())
    sample.append(QJsonObject{{QStringLiteral("record"), s.record + 1}, {QStringLiteral("old"), s.oldText},
                              {QStringLiteral("new"), s.newText}});
  if (p.dry) f.one.insert(QStringLiteral("sample"), sample);
  out.runs.append(f.one);
  if (!Json()) PrintTotals(p, f, run);
  ReportFieldsNotChanged(f, run);
  if (!Interrupted()) return true;
  out.Stop(kInterrupted, kInterruptedSent);
  TellResumable(run);
  return false;
}

// A run that ended by raising: what it did before still counts. Always
// stops the command.
bool Failed(const Plan& p, Field& f, const Conversion::Run* run, const std::exception& e, Outcome& out) {
  // Ctrl+C ended the statement under way: an interruption like the
  // others, not a failure.
  if (Interrupted()) {
    out.Stop(kInterrupted, run ? kInterruptedSent : kInterruptedBefore);
    if (run) {
      AddTotals(f.one, *run);
      f.one.insert(QStringLiteral("interrupted"), true);
      out.runs.append(f.one);
      TellResumable(*run);
    }
    return false;
  }
  // The server found the condition no expression before anything was
  // read or sent: a usage error like the others.
  const auto* server = dynamic_cast<const ADODB::Error*>(&e);
  if (!p.condition.isEmpty() && server && server->nativeError == 1064 && (!run || run->Totals().read == 0))
    return out.Refused(kUsage, QStringLiteral("--where is not one SQL expression over %1's columns: %2")
                                   .arg(p.table, QString::fromStdString(e.what())));
  out.Stop(kNotDone, QStringLiteral("%1: %2").arg(f.where, QString::fromStdString(e.what())));
  if (run) {
    const Conversion::Summary& t = run->Totals();
    AddTotals(f.one, *run);
    if (t.changed > 0)
      Err(QStringLiteral("%1 rows were changed before the run ended; `norvale undo` takes them back").arg(t.changed));
    TellResumable(*run);
  }
  f.one.insert(QStringLiteral("error"), QString::fromStdString(e.what()));
  out.runs.append(f.one);
  return false;
}

// One run of the fields: asked about, run and answered. False where the
// command stops.
bool ConvertFields(const Common& c, const Plan& p, const std::vector<FieldMode>& fields, Outcome& out) {
  Field f;
  if (!Prepare(c, p, fields, f, out)) return false;
  Reporter reporter(false);
  std::optional<Conversion::Run> run;
  try {
    if (p.ask) {
      const Asked asked = Ask(p, f);
      if (asked == Asked::Interrupted) {
        out.Stop(kInterrupted, kInterruptedBefore);
        return false;
      }
      if (asked == Asked::No) {
        Err(QStringLiteral("%1 left as it is").arg(f.where));
        f.one.insert(QStringLiteral("declined"), true);
        out.runs.append(f.one);
        out.Worse(kSomeLeft);
        return true;
      }
    }
    run.emplace(reporter, f.options);
    Conversion::Drive(*run, f.request, [&](qint64 r, qint64 n) { reporter.Progress(r, n); }, Interrupted);
    reporter.ClearProgress();
    return Answer(p, f, *run, out);
  } catch (const std::exception& e) {
    reporter.ClearProgress();
    return Failed(p, f, run ? &*run : nullptr, e, out);
  }
}

// Whether the fields go in one run: where one key that holds none of them
// finds each row. Says on stderr why not; nothing where the table cannot be
// asked (the outcome says why).
std::optional<bool> Together(const Common& c, const Plan& p, Outcome& out) {
  if (p.fields.size() < 2) return false;
  std::optional<QString> apart;
  try {
    apart = Conversion::FieldsApart(c.details, p.table, p.fields);
  } catch (const std::exception& e) {
    out.Stop(kNotDone, QStringLiteral("%1.%2: %3").arg(c.details.database, p.table, QString::fromStdString(e.what())));
    return std::nullopt;
  }
  if (apart)
    Err(QStringLiteral("%1.%2: each field goes in a run of its own, read once a field: %3")
            .arg(c.details.database, p.table, *apart));
  return !apart;
}

}  // namespace

void AddConvertOptions(QCommandLineParser& parser) {
  parser.addOptions({{QStringLiteral("mode"),
                      QStringLiteral("upper, lower, proper, sentence or name: of each --field that names none."),
                      QStringLiteral("mode")},
                     {QStringLiteral("dry-run"), QStringLiteral("Read and convert, and write nothing.")},
                     {QStringLiteral("where"),
                      QStringLiteral("Only the rows for which this SQL expression over the table's columns holds."),
                      QStringLiteral("condition")},
                     {QStringLiteral("resume"),
                      QStringLiteral("Continue the field's newest run, which ended early, after the last row it "
                                     "settled.")},
                     {QStringLiteral("sample"), QStringLiteral("Values shown by a dry run (10)."), QStringLiteral("n")},
                     {QStringLiteral("words"),
                      QStringLiteral("The word list: words written as it spells them (default: words.txt beside "
                                     "the settings)."),
                      QStringLiteral("file")},
                     {QStringLiteral("keep-mixed"),
                      QStringLiteral("Proper and Name Case leave values in mixed case as they are.")},
                     {QStringLiteral("max-load"),
                      QStringLiteral("Wait between groups while a status variable is over its bound "
                                     "(Threads_running=25)."),
                      QStringLiteral("VAR=N[,VAR=N]")},
                     {QStringLiteral("critical-load"),
                      QStringLiteral("End the run early when this status variable is over its bound "
                                     "(Threads_running=50)."),
                      QStringLiteral("VAR=N")},
                     {QStringLiteral("pause-file"), QStringLiteral("Wait between groups while this file exists."),
                      QStringLiteral("file")},
                     {QStringLiteral("max-lag"),
                      QStringLiteral("Wait while a replica is more than this many seconds behind (1; 0: no check)."),
                      QStringLiteral("seconds")},
                     {QStringLiteral("replica"),
                      QStringLiteral("A replica to watch, instead of those the server lists; repeatable."),
                      QStringLiteral("host[:port]")},
                     {QStringLiteral("chunk-time"),
                      QStringLiteral("Seconds a group's transaction may take: slower groups get smaller (0.5)."),
                      QStringLiteral("seconds")},
                     {QStringLiteral("lock-wait"),
                      QStringLiteral("Seconds to go on waiting for a row lock another session holds (60)."),
                      QStringLiteral("seconds")}});
}

int Convert(QCommandLineParser& parser, Common& c) {
  Plan p;
  std::optional<int> stop = ReadWhat(parser, c, p);
  if (!stop) stop = ReadWordList(parser, p);
  if (!stop) stop = ReadGentle(parser, c, p.gentle);
  if (!stop) stop = ReadCondition(parser, c, p);
  if (stop) return *stop;
  Outcome out;
  const std::optional<bool> together = Together(c, p, out);
  if (together && *together) {
    ConvertFields(c, p, p.fields, out);
  } else if (together) {
    for (const FieldMode& field : p.fields)
      if (!ConvertFields(c, p, {field}, out)) break;
  }
  if (out.answered) return out.status;
  if (Json()) PrintJson(QJsonObject{{QStringLiteral("runs"), out.runs}}, out.status, out.error);
  return out.status;
}

}  // namespace CommandLine
