// Walking a run without a window, taking a run back, and the texts and
// settings the window and the command line share.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <algorithm>

#include "conversion/state.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/rewrite.h"
#include "journal/recorder.h"

namespace Conversion {

qint64 JournalLimit(const QString& settingText) {
  bool ok = false;
  const qint64 mib = settingText.trimmed().toLongLong(&ok);
  return ok && mib > 0 ? mib * 1024 * 1024 : kJournalLimit;
}

Words ReadWords(const QString& path) {
  QFile file(path);
  if (!file.exists()) return {};
  if (!file.open(QIODevice::ReadOnly))
    throw std::runtime_error(QStringLiteral("The word list %1 cannot be read: %2").arg(path, file.errorString()).toStdString());
  const QByteArray bytes = file.readAll();
  auto list = std::make_shared<Case::WordList>(Case::WordList::FromText(QString::fromUtf8(bytes)));
  if (list->IsEmpty()) return {};
  return {list, QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(16))};
}

int NetTimeout(const QString& text) {
  bool ok = false;
  const int seconds = text.trimmed().toInt(&ok);
  return ok && seconds >= 0 ? seconds : kNetTimeout;
}

QString ModeText(Case::CaseMode mode) {
  switch (mode) {
    case Case::CaseMode::CaseUpper: return QStringLiteral("UPPER CASE");
    case Case::CaseMode::CaseLower: return QStringLiteral("lower case");
    case Case::CaseMode::CaseProper: return QStringLiteral("Proper Case");
    case Case::CaseMode::CaseSentence: return QStringLiteral("Sentence case");
    case Case::CaseMode::CaseName: return QStringLiteral("Name Case");
  }
  return {};
}

QString KeylessReason(const QString& table, const QString& keyless) {
  // The reasons read "it has …" and "its keys …": the table takes their place.
  if (keyless.startsWith(QLatin1String("its "))) return table + QStringLiteral("'s ") + keyless.mid(4);
  if (keyless.startsWith(QLatin1String("it "))) return table + u' ' + keyless.mid(3);
  return keyless;
}

std::unique_ptr<ADODB::Connection> OpenSession(const MySQL::ConnectionDetails& details, bool responsive,
                                               bool settings, bool multiple) {
  auto connection = std::make_unique<ADODB::Connection>();
  MySQL::ApplyOptions(*connection, MySQL::RunOptions);
  connection->MultipleStatements = multiple;  // the statements travel in batches
  connection->ResponsiveWaits = responsive;
  // A stalled network ends the statement's wait, and the handshake's too.
  connection->NetTimeout = details.netTimeout;
  if (details.netTimeout > 0) connection->ConnectionTimeout = std::min(connection->ConnectionTimeout, details.netTimeout);
  MySQL::ApplyTls(*connection, details);
  connection->Open(MySQL::ConnectionString(details));
  MySQL::CheckTls(*connection, details);
  // Quotes and backslashes read the same way in every session of a run
  // (the condition's guard reads by that); where the session writes, a
  // value that does not fit must be refused, never cut or blanked, and keys
  // of TIMESTAMP columns read and written in one time zone.
  auto mode = connection->Execute(QStringLiteral("SELECT @@SESSION.sql_mode;"));
  connection->Execute(Rewrite::SessionModeStatement(mode ? mode->Value(0).toString() : QString(), settings));
  if (settings) {
    connection->Execute(MySQL::SessionTimeZone());
    // A row lock another session holds is met within seconds, and said,
    // rather than waited on in silence for the server's whole timeout; the
    // run then tries again for as long as it is let (Gentle::lockWait).
    connection->Execute(
        QStringLiteral("SET SESSION innodb_lock_wait_timeout = LEAST(@@SESSION.innodb_lock_wait_timeout, %1);")
            .arg(kLockTimeout));
  }
  return connection;
}

void Drive(Run& run, const Request& request, const std::function<void(qint64, qint64)>& progress,
           const std::function<bool()>& cancelled) {
  run.Open(request.details);
  run.SetCancelled(cancelled);
  const bool several = request.fields.size() > 1;
  if (several)
    run.Read(request.table, request.fields, request.where);
  else
    run.Read(request.table, request.field, request.where);
  run.StartJournal({request.details.server, request.details.port, request.details.database, request.table,
                    several ? request.fields.front().name : request.field},
                   several                       ? FieldsModeText(request.fields)
                   : request.modeText.isEmpty() ? ModeText(request.mode)
                                                 : request.modeText);
  const qint64 count = run.RecordCount(), first = run.FirstRecordNumber();
  bool interrupted = false;
  try {
    // Rows inserted ahead of the reading point are read too: the count
    // grows with them.
    for (qint64 record = first; !run.Eof() && !run.Ended(); ++record) {
      if (cancelled && cancelled()) {
        interrupted = true;
        break;
      }
      if (progress) progress(record - first, std::max(count, record - first + 1));
      try {
        if (several) {
          if (run.PrepareFields(record))
            run.Send();
          else
            run.PassRow();
        } else {
          run.ReadRecord(record);
          run.Convert(request.mode);
          if (run.Prepare())
            run.Send();
          else
            run.PassRow();
        }
      } catch (const Batch::FatalError&) {
        throw;
      } catch (const Journal::Error&) {
        throw;  // nothing more may go without its journal
      } catch (const std::exception& e) {
        // The record's own failure (its value cannot be read, converted or
        // written, or the server refused it before): the run goes on.
        run.Tell(record, run.ShownKey(), QString::fromStdString(e.what()), run.LastFailure());
      }
      run.MoveNext();
    }
    if (interrupted) {
      run.Abandon();
    } else {
      run.Finish();
    }
  } catch (const std::exception& e) {
    run.Close(QString::fromStdString(e.what()));
    throw;
  } catch (...) {
    run.Close();
    throw;
  }
  run.Close();
}

}  // namespace Conversion
