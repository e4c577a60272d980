// The command line's answer: text on stderr and stdout, or under --json one
// JSON object on stdout, whatever the command and however it ends.
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <cstdio>
#include <unistd.h>

#include "commandline/internal.h"

namespace CommandLine {
namespace {

bool g_json = false;

// Said once a damaged journal's readable runs are in a new file.
void TellRecovered(const QString& keptAs) {
  Err(QStringLiteral("the undo journal was damaged: the runs it could still read are in a new journal, and the "
                     "damaged file is kept as %1")
          .arg(keptAs));
}

}  // namespace

void SetJson(bool on) { g_json = on; }
bool Json() { return g_json; }

void PrintJson(QJsonObject object, int status, const QString& error) {
  object.insert(QStringLiteral("status"), status);
  if (!error.isEmpty()) object.insert(QStringLiteral("error"), error);
  Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

int Refuse(int status, const QString& text) {
  Err(text);
  if (g_json) PrintJson({}, status, text);
  return status;
}

int Usage(const QString& command, const QString& text) {
  Refuse(kUsage, text);
  std::fprintf(stderr, "Try 'norvale %s --help'.\n", command.toLocal8Bit().constData());
  return kUsage;
}

QJsonObject SummaryJson(const Conversion::Summary& t) {
  return {{QStringLiteral("read"), t.read},
          {QStringLiteral("changed"), t.changed},
          {QStringLiteral("unchanged"), t.alreadyInCase},
          {QStringLiteral("refused"), t.refused},
          {QStringLiteral("not_convertible"), t.notConvertible},
          {QStringLiteral("not_changed"), t.notChanged},
          {QStringLiteral("changed_since"), t.changedSince},
          {QStringLiteral("same_value"), t.sameValue},
          {QStringLiteral("not_matching"), t.notMatching},
          {QStringLiteral("stored_otherwise"), t.storedOtherwise},
          {QStringLiteral("server_computed"), t.serverComputed},
          {QStringLiteral("kept_mixed"), t.keptMixed},
          {QStringLiteral("waited_seconds"), std::round(t.waitedSeconds * 10) / 10},
          {QStringLiteral("waited_for"), QJsonArray::fromStringList(t.waitedFor)}};
}

void Merge(QJsonObject& into, const QJsonObject& from) {
  for (auto it = from.constBegin(); it != from.constEnd(); ++it) into.insert(it.key(), it.value());
}

// Such as another node of a cluster, or a primary before a failover.
QString MadeElsewhere(Journal::Store& store, const QString& database, const QString& table, const QString& field) {
  QStringList runs;
  for (const Journal::Store::Listed& l : store.Runs({QString(), QString(), database, table, field, QString()}))
    if (!l.header.undone)
      runs << QStringLiteral("run %1 through %2:%3").arg(l.header.id).arg(l.header.target.server, l.header.target.port);
  if (runs.isEmpty()) return {};
  return QStringLiteral("; the journal holds %1, made on another server (`norvale history` lists them): connect "
                        "through that server to take them back or continue them")
      .arg(runs.mid(0, 3).join(QStringLiteral(", ")) + (runs.size() > 3 ? QStringLiteral(" and more") : QString()));
}

int WithJournal(const std::function<int()>& command) {
  try {
    return Journal::Recovering(command, TellRecovered);
  } catch (const std::exception& e) {
    return Refuse(kNotDone, QString::fromStdString(e.what()));
  }
}

Reporter::Reporter(bool quiet) : quiet_(quiet), progress_(isatty(STDERR_FILENO)) { clock_.start(); }

void Reporter::RecordFailed(qint64 record, const QString& key, const QString& given, Conversion::Failure,
                            qint64 rows) {
  if (quiet_) return;
  ClearProgress();
  // The case rules count a value's characters up to 32,766.
  // (A field's name stands first in a run of several: "name: Overflow".)
  const bool overflow = given == QLatin1String("Overflow") || given.endsWith(QLatin1String(": Overflow"));
  const QString text = overflow ? given + QStringLiteral(": the value has 32,767 characters or more, more than the "
                                                         "case rules take; it is left as it is")
                                : given;
  const QString which = key.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(key);
  if (rows > 1) {
    Err(QStringLiteral("record %1%2: %3 (and %4 more records holding the same value)")
            .arg(record + 1)
            .arg(which, text)
            .arg(rows - 1));
  } else {
    Err(QStringLiteral("record %1%2: %3").arg(record + 1).arg(which, text));
  }
}

void Reporter::Waiting(const QString& why) {
  if (why.isEmpty()) return;
  ClearProgress();
  Err(QStringLiteral("waiting: %1").arg(why));
}

void Reporter::Progress(qint64 record, qint64 count) {
  // Timed from the first record sent, not from a question answered.
  if (record == 0) clock_.restart();
  if (!progress_ || quiet_ || count <= 0 || (record % 256 != 0 && record + 1 != count)) return;
  const qint64 ms = clock_.elapsed();
  if (ms - shownAt_ < 200 && record + 1 != count) return;
  shownAt_ = ms;
  const double perSecond = ms > 0 ? double(record + 1) * 1000.0 / double(ms) : 0.0;
  const qint64 left = perSecond > 0 ? qint64(double(count - record - 1) / perSecond) : 0;
  std::fprintf(stderr, "\r%3d%%  %.0f rows/s  %lld:%02lld left   ", int((record + 1) * 100 / count), perSecond,
               left / 60, left % 60);
  std::fflush(stderr);
  shown_ = true;
}

void Reporter::ClearProgress() {
  if (!shown_) return;
  std::fprintf(stderr, "\r%40s\r", "");
  shown_ = false;
}

}  // namespace CommandLine
