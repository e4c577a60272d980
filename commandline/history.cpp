// norvale history: the journal's runs, newest first, as lines or as JSON.
// It reads the journal only: no server is asked.
#include <QJsonArray>

#include "commandline/internal.h"

namespace CommandLine {
namespace {

// Whether `convert --resume` would take the run up again: the newest of
// its target, as the journal lists them, is asked again then.
bool Resumable(const Journal::RunHeader& h) { return !h.ended.isEmpty() && !h.undone && !h.keyNames.isEmpty(); }

QJsonObject RunJson(const Journal::Store::Listed& l) {
  const Journal::RunHeader& h = l.header;
  return {{QStringLiteral("id"), h.id},
          {QStringLiteral("time"), h.time.toUTC().toString(Qt::ISODateWithMs)},
          {QStringLiteral("server"), h.target.server},
          {QStringLiteral("port"), h.target.port},
          {QStringLiteral("database"), h.target.database},
          {QStringLiteral("table"), h.target.table},
          {QStringLiteral("field"), h.target.field},
          {QStringLiteral("fields"), QJsonArray::fromStringList(h.fields.isEmpty() ? QStringList{h.target.field} : h.fields)},
          {QStringLiteral("mode"), h.mode},
          {QStringLiteral("rows"), h.rows},
          {QStringLiteral("values"), h.keyless.isEmpty() ? QJsonValue() : QJsonValue(h.values)},
          {QStringLiteral("bytes"), l.bytes},
          {QStringLiteral("undone"), h.undone},
          {QStringLiteral("undoable"), h.keyless.isEmpty()},
          {QStringLiteral("words"), h.words.isEmpty() ? QJsonValue() : QJsonValue(h.words)},
          {QStringLiteral("where"), h.where.isEmpty() ? QJsonValue() : QJsonValue(h.where)},
          {QStringLiteral("ended"), h.ended.isEmpty() ? QJsonValue() : QJsonValue(h.ended)},
          {QStringLiteral("lost_entries"), h.lost},
          {QStringLiteral("resumable"), Resumable(h)},
          {QStringLiteral("next_record"), Resumable(h) ? QJsonValue(h.nextRecord + 1) : QJsonValue()}};
}

void PrintRun(const Journal::Store::Listed& l) {
  const Journal::RunHeader& h = l.header;
  const QString time = h.time.toLocalTime().toString(Qt::ISODate);
  Out(QStringLiteral("%1  %2  %3:%4 %5.%6.%7  %8  %9  %10 KB%11")
          .arg(h.id)
          .arg(time, h.target.server, h.target.port, h.target.database, h.target.table, h.FieldsShown(), h.mode)
          .arg(h.keyless.isEmpty() ? QStringLiteral("%1 %2").arg(h.rows).arg(h.EntriesWord())
                                   : QStringLiteral("%1 values, %2 rows").arg(h.values).arg(h.rows))
          .arg((l.bytes + 1023) / 1024)
          .arg((h.undone ? QStringLiteral("  undone") : h.keyless.isEmpty() ? QString() : QStringLiteral("  not undoable")) +
               (h.words.isEmpty() ? QString() : QStringLiteral("  words %1").arg(h.words)) +
               (h.where.isEmpty() ? QString() : QStringLiteral("  where %1").arg(h.where))));
  if (h.lost != 0)
    Out(QStringLiteral("    lost %1 entries to the journal's damage: their rows cannot be restored")
            .arg(h.lost > 0 ? QString::number(h.lost) : QStringLiteral("some")));
  if (!h.ended.isEmpty())
    Out(QStringLiteral("    %1%2")
            .arg(h.ended == QLatin1String("running")
                     ? QStringLiteral("did not say how it ended: the program was killed, or it is still running")
                     : QStringLiteral("ended early: %1").arg(h.ended))
            .arg(Resumable(h) ? QStringLiteral("; --resume continues it from record %1").arg(h.nextRecord + 1)
                              : QString()));
}

int HistoryFrom(const QCommandLineParser& parser) {
  try {
    Journal::Store store;
    Journal::Target where;
    where.table = parser.value(QStringLiteral("table"));
    where.database = parser.value(QStringLiteral("database"));
    QJsonArray list;
    for (const Journal::Store::Listed& l : store.Runs(where)) {
      if (Json()) list.append(RunJson(l));
      else PrintRun(l);
    }
    if (Json()) PrintJson(QJsonObject{{QStringLiteral("runs"), list}}, kConverted, QString());
    return kConverted;
  } catch (const Journal::Damaged&) {
    throw;
  } catch (const std::exception& e) {
    return Refuse(kNotDone, QString::fromStdString(e.what()));
  }
}

}  // namespace

int History(const QCommandLineParser& parser) {
  return WithJournal([&] { return HistoryFrom(parser); });
}

}  // namespace CommandLine
