// norvale undo: takes back the newest run of the server's database (or of
// a table and field), or a run named by its id, as the engine chooses it;
// says what became of its rows.
#include <QJsonArray>
#include <QLocale>

#include "commandline/internal.h"
#include "conversion/undoflow.h"

namespace CommandLine {
namespace {

// The run asked for: the newest of a table and field (all where none is
// given), or one by its id.
struct Which {
  QString table, field;
  qint64 id = 0;
};

// The undo's answer: the run's details once one is found, then what became
// of it.
class Answer {
 public:
  explicit Answer(bool json) : json_(json) {}
  void Run(const Journal::RunHeader& run) {
    object_ = {{QStringLiteral("run"), run.id},         {QStringLiteral("database"), run.target.database},
               {QStringLiteral("table"), run.target.table}, {QStringLiteral("field"), run.target.field},
               {QStringLiteral("mode"), run.mode}};
    if (!run.fields.isEmpty()) object_.insert(QStringLiteral("fields"), QJsonArray::fromStringList(run.fields));
  }
  void Insert(const QString& key, const QJsonValue& value) { object_.insert(key, value); }
  int Done(int status, const QString& error) {
    if (!error.isEmpty()) Err(error);
    if (json_) PrintJson(object_, status, error);
    return status;
  }

 private:
  bool json_;
  QJsonObject object_;
};

std::optional<int> ReadWhich(const QCommandLineParser& parser, const Common& c, Which& w) {
  w.table = parser.value(QStringLiteral("table"));
  w.field = parser.value(QStringLiteral("field"));
  if (w.table.isEmpty() != w.field.isEmpty()) return Usage(c.command, QStringLiteral("--table and --field go together"));
  const bool named = parser.isSet(QStringLiteral("run"));
  bool idOk = true;
  if (named) w.id = parser.value(QStringLiteral("run")).toLongLong(&idOk);
  if (named && (!idOk || w.id <= 0))
    return Usage(c.command, QStringLiteral("--run takes a run's id, as norvale history shows it"));
  if (w.id > 0 && !w.table.isEmpty())
    return Usage(c.command, QStringLiteral("--run names its run alone: leave out --table and --field"));
  if (!c.yes && !OnTerminal())
    return Usage(c.command, QStringLiteral("there is no terminal to confirm on: add --yes to undo without asking"));
  return std::nullopt;
}

// Why no run is taken back, as the command line says it.
QString NoUndoText(const Conversion::UndoChoice& choice, const Which& w, const Common& c, Journal::Store& store) {
  const MySQL::ConnectionDetails& d = c.details;
  switch (choice.why) {
    case Conversion::NoUndo::NoSuchId:
      return QStringLiteral("the journal holds no run %1").arg(w.id);
    case Conversion::NoUndo::OtherServer: {
      const Journal::Target& t = choice.run->target;
      return QStringLiteral("run %1 was made on %2:%3, database %4: connect there (-h, -P, -D) to undo it")
          .arg(w.id)
          .arg(t.server, t.port, t.database);
    }
    case Conversion::NoUndo::AlreadyUndone:
      return QStringLiteral("run %1 has been undone already").arg(w.id);
    case Conversion::NoUndo::LostNewest:
      return QStringLiteral("the journal's recovery lost its newest runs (numbered up to %1), so run %2 may not be "
                            "the newest here: name the run to undo with --run (norvale history lists the runs it kept)")
          .arg(choice.lostThrough)
          .arg(choice.run->id);
    case Conversion::NoUndo::Keyless: {
      const Journal::RunHeader& run = *choice.run;
      return QStringLiteral("the run %1 on %2 cannot be undone exactly: %3. Nothing was changed.")
          .arg(run.id)
          .arg(QStringLiteral("%1.%2.%3").arg(run.target.database, run.target.table, run.FieldsShown()),
               Conversion::KeylessReason(run.target.table, run.keyless));
    }
    default: {
      const QString on =
          w.table.isEmpty() ? d.database : QStringLiteral("%1.%2.%3").arg(d.database, w.table, w.field);
      return QStringLiteral("there is no run on %1 to undo on this server").arg(on) +
             MadeElsewhere(store, d.database, w.table, w.field);
    }
  }
}

// Of the values a run of several fields left, each field's: " (name 0, city 2)".
QString LeftByField(const Conversion::UndoResult& result, const Journal::RunHeader& run) {
  if (run.fields.isEmpty() || result.leftByField.empty()) return {};
  QStringList each;
  for (size_t f = 0; f < result.leftByField.size(); ++f)
    each << QStringLiteral("%1 %2").arg(run.Field(int(f))).arg(result.leftByField[f]);
  return QStringLiteral(" (") + each.join(QStringLiteral(", ")) + u')';
}

// What became of the run's rows, as the command line says it.
int Outcome(const Conversion::UndoResult& result, const Journal::RunHeader& run, Answer& answer) {
  switch (Conversion::ReadUndo(result, run)) {
    case Conversion::UndoOutcome::Interrupted:
      return answer.Done(kInterrupted, QStringLiteral("interrupted: what was restored stays restored, and `norvale "
                                                      "undo --run %1` takes back the rest")
                                           .arg(run.id));
    case Conversion::UndoOutcome::LeftByTriggers:
      return answer.Done(kSomeLeft, QStringLiteral("%1 %4 of run %2 do not hold their old value: the table's trigger "
                                                   "%3 rewrites what is written, or another client changed them since; "
                                                   "the run stays in the journal")
                                        .arg(result.left)
                                        .arg(run.id)
                                        .arg(result.triggers, run.EntriesWord()));
    case Conversion::UndoOutcome::Left:
      return answer.Done(kSomeLeft, QStringLiteral("%1 %3%4 of run %2 were changed since and left as they are; the run "
                                                   "stays in the journal, and `norvale undo --run %2` tries them again")
                                        .arg(result.left)
                                        .arg(run.id)
                                        .arg(run.EntriesWord(), LeftByField(result, run)));
    case Conversion::UndoOutcome::LostEntries:
      return answer.Done(kSomeLeft, QStringLiteral("run %1 lost %2 of its entries to the journal's damage: their rows "
                                                   "were not restored, and no undo can restore them")
                                        .arg(run.id)
                                        .arg(run.lost > 0 ? QString::number(run.lost) : QStringLiteral("some")));
    case Conversion::UndoOutcome::Restored:
      break;
  }
  return answer.Done(kConverted, QString());
}

// Asks, takes the run back and says what became of it.
int TakeBack(const Common& c, const Journal::RunHeader& run, Journal::Store& store, Answer& answer) {
  const QString where = QStringLiteral("%1.%2.%3").arg(run.target.database, run.target.table, run.FieldsShown());
  const QString time = QLocale().toString(run.time.toLocalTime(), QLocale::ShortFormat);
  if (!c.yes && !Confirm(QStringLiteral("Undo run %1 of %2 on %3 (%4, %5 %6)?")
                             .arg(run.id)
                             .arg(time, where, run.mode)
                             .arg(run.rows)
                             .arg(run.EntriesWord()))) {
    answer.Insert(QStringLiteral("declined"), true);
    return answer.Done(kSomeLeft, QStringLiteral("nothing was changed"));
  }
  Reporter reporter(false);
  const Conversion::UndoResult result = Conversion::Undo(
      c.details, run, store, [&](qint64 i, qint64 n) { reporter.Progress(i, n); }, Interrupted);
  reporter.ClearProgress();
  answer.Insert(QStringLiteral("restored"), result.restored);
  answer.Insert(QStringLiteral("left"), result.left);
  if (!result.leftByField.empty()) {
    QJsonObject byField;
    for (size_t f = 0; f < result.leftByField.size(); ++f) byField.insert(run.Field(int(f)), result.leftByField[f]);
    answer.Insert(QStringLiteral("left_by_field"), byField);
  }
  answer.Insert(QStringLiteral("interrupted"), result.interrupted);
  if (!Json())
    Out(QStringLiteral("%1: %2 %4 restored, %3 %4 changed since were left as they are.")
            .arg(where)
            .arg(result.restored)
            .arg(result.left)
            .arg(run.EntriesWord()));
  return Outcome(result, run, answer);
}

int UndoFrom(QCommandLineParser& parser, Common& c) {
  Which w;
  if (const std::optional<int> stop = ReadWhich(parser, c, w)) return *stop;
  Answer answer(Json());
  try {
    Journal::Store store;
    const MySQL::ConnectionDetails& d = c.details;
    // The server as it names itself finds its runs however it is reached.
    const QString serverId = Conversion::ServerIdentity(d, false);
    const Conversion::UndoChoice choice =
        Conversion::ChooseUndo(store, {{d.server, d.port, d.database, w.table, w.field, serverId}, w.id, true});
    // A run found by its id on this server, or the newest, is named in the answer.
    if (choice.why == Conversion::NoUndo::None || choice.why == Conversion::NoUndo::Keyless) answer.Run(*choice.run);
    if (choice.why != Conversion::NoUndo::None) return answer.Done(kNotDone, NoUndoText(choice, w, c, store));
    return TakeBack(c, *choice.run, store, answer);
  } catch (const Journal::Damaged&) {
    throw;  // read again once its runs are recovered
  } catch (const std::exception& e) {
    // Ctrl+C ended the statement under way.
    if (Interrupted())
      return answer.Done(kInterrupted, QStringLiteral("interrupted: what was restored stays restored, and `norvale "
                                                      "undo` takes back the rest"));
    return answer.Done(kNotDone, QString::fromStdString(e.what()));
  }
}

}  // namespace

void AddUndoOptions(QCommandLineParser& parser) {
  parser.addOption({QStringLiteral("run"), QStringLiteral("The run to take back, by the id history shows."),
                    QStringLiteral("id")});
}

int Undo(QCommandLineParser& parser, Common& c) {
  return WithJournal([&] { return UndoFrom(parser, c); });
}

}  // namespace CommandLine
