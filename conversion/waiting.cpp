// What a run waits for between groups on a live server.
#include "conversion/waiting.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QThread>
#include <thread>

#include "conversion/state.h"
#include "database/batch.h"
#include "database/mysql.h"

namespace Conversion {
namespace {

bool IsMariaDb(const ADODB::Connection& connection) {
  return connection.ServerVersion().contains(QLatin1String("MariaDB"), Qt::CaseInsensitive);
}

// The primary's binary log position as GTIDs, and the test of whether a
// replica has applied one, in each server's terms.
QString PositionQuery(bool mariaDb) {
  return mariaDb ? QStringLiteral("SELECT @@GLOBAL.gtid_binlog_pos;")
                 : QStringLiteral("SELECT @@GLOBAL.gtid_executed;");
}
QString AppliedQuery(bool mariaDb, const QString& position) {
  return mariaDb ? QStringLiteral("SELECT MASTER_GTID_WAIT(%1, 0) = 0;").arg(MySQL::TextLiteral(position))
                 : QStringLiteral("SELECT GTID_SUBSET(%1, @@GLOBAL.gtid_executed);").arg(MySQL::TextLiteral(position));
}

// Whether this login sees every session in the process list (PROCESS):
// without it a replica's Binlog Dump thread is not there to be seen.
bool SeesEverySession(ADODB::Connection& connection) {
  auto rows = connection.Execute(QStringLiteral(
      "SELECT COUNT(*) FROM information_schema.USER_PRIVILEGES WHERE PRIVILEGE_TYPE = 'PROCESS' AND GRANTEE = "
      "CONCAT('''', LEFT(CURRENT_USER(), CHAR_LENGTH(CURRENT_USER()) - CHAR_LENGTH(SUBSTRING_INDEX(CURRENT_USER(), "
      "'@', -1)) - 1), '''@''', SUBSTRING_INDEX(CURRENT_USER(), '@', -1), '''');"));
  return rows && !rows->Eof() && rows->Value(0).toLongLong() > 0;
}

// What the replica's own status says stands still: empty where its threads
// run, or where this login may not read its status (its GTIDs then tell).
QString StoppedThreads(ADODB::Connection& replica) {
  const QStringList asks = IsMariaDb(replica) ? QStringList{QStringLiteral("SHOW ALL SLAVES STATUS;")}
                                              : QStringList{QStringLiteral("SHOW REPLICA STATUS;"),
                                                            QStringLiteral("SHOW SLAVE STATUS;")};
  std::unique_ptr<ADODB::RecordSet> rows;
  for (const QString& ask : asks) {
    try {
      rows = replica.Execute(ask);
      break;
    } catch (const ADODB::Error&) {
    }
  }
  if (!rows) return {};
  if (rows->Eof()) return QStringLiteral("it replicates from no server");
  QStringList stopped;
  for (; !rows->Eof(); rows->MoveNext()) {
    for (int i = 0; i < rows->FieldCount(); ++i) {
      const QString name = rows->FieldName(i);
      const bool io = name.endsWith(QLatin1String("_IO_Running"), Qt::CaseInsensitive);
      const bool sql = name.endsWith(QLatin1String("_SQL_Running"), Qt::CaseInsensitive);
      const QString thread = io ? QStringLiteral("IO thread") : QStringLiteral("SQL thread");
      if ((io || sql) && rows->Value(i).toString().compare(QLatin1String("Yes"), Qt::CaseInsensitive) != 0 &&
          !stopped.contains(thread))
        stopped << thread;
    }
  }
  return stopped.isEmpty() ? QString() : QStringLiteral("its %1 stopped").arg(stopped.join(QStringLiteral(" and ")));
}

}  // namespace

std::optional<QString> ReadLoads(const QString& text, std::vector<std::pair<QString, qint64>>& loads) {
  loads.clear();
  for (const QString& item : text.split(u',', Qt::SkipEmptyParts)) {
    const QString name = item.section(u'=', 0, 0).trimmed();
    bool ok = false;
    const qint64 bound = item.section(u'=', 1).trimmed().toLongLong(&ok);
    static const QRegularExpression variable(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    if (!item.contains(u'=') || !ok || bound < 0 || !variable.match(name).hasMatch())
      return QStringLiteral("%1 is not VARIABLE=NUMBER").arg(item.trimmed());
    loads.emplace_back(name, bound);
  }
  return std::nullopt;
}

std::optional<QString> ReadCriticalLoad(const QString& text, std::pair<QString, qint64>& bound) {
  std::vector<std::pair<QString, qint64>> loads;
  if (std::optional<QString> fault = ReadLoads(text, loads)) return fault;
  if (loads.size() > 1) return QStringLiteral("one VARIABLE=NUMBER, not %1").arg(loads.size());
  bound = loads.empty() ? std::pair<QString, qint64>() : loads.front();
  return std::nullopt;
}

void Waiting::FindReplicas(ADODB::Connection& primary, const MySQL::ConnectionDetails& details) {
  const Conversion::Gentle& g = options_.gentle;
  if (!g.on || g.maxLag <= 0) return;
  const QString how = QStringLiteral("name the replicas with --replica HOST[:PORT] (MaxLagSeconds and Replicas in the "
                                     "window's settings), or turn the check off with --max-lag 0");
  std::vector<std::pair<QString, QString>> found;  // host, port
  if (!g.replicas.isEmpty()) {
    for (const QString& named : g.replicas) {
      const qsizetype colon = named.lastIndexOf(u':');
      found.emplace_back(colon > 0 ? named.left(colon) : named, colon > 0 ? named.mid(colon + 1) : details.port);
    }
  } else {
    // Without a binary log, or a replica reading it, there is none to watch.
    auto logged = primary.Execute(QStringLiteral("SELECT @@GLOBAL.log_bin;"));
    if (!logged || logged->Eof() || logged->Value(0).toInt() == 0) return;
    // A login that sees only its own sessions would find no replica, and
    // wait for none: the run does not start.
    if (!SeesEverySession(primary))
      throw ADODB::Error(QStringLiteral("This server writes a binary log, and this login cannot see whether replicas "
                                        "read it (it lacks the PROCESS privilege): grant it PROCESS, or %1. Nothing "
                                        "was sent.")
                             .arg(how));
    auto dumps = primary.Execute(QStringLiteral(
        "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE COMMAND LIKE 'Binlog Dump%';"));
    if (!dumps || dumps->Eof() || dumps->Value(0).toLongLong() == 0) return;
    QString refused;
    bool listed = false;
    for (const char* list : {"SHOW REPLICAS;", "SHOW REPLICA HOSTS;", "SHOW SLAVE HOSTS;"}) {
      try {
        auto hosts = primary.Execute(QLatin1String(list));
        for (; hosts && !hosts->Eof(); hosts->MoveNext())
          found.emplace_back(hosts->Value(1).toString(), hosts->Value(2).toString());
        listed = true;
        break;
      } catch (const ADODB::Error& e) {
        refused = QString::fromStdString(e.what());
      }
    }
    if (!listed)
      throw ADODB::Error(QStringLiteral("Replicas read this server's binary log, and they cannot be listed (%1): %2.")
                             .arg(refused, how));
  }
  // Their lag is told by the GTIDs they have applied.
  if (!found.empty()) {
    auto position = primary.Execute(PositionQuery(IsMariaDb(primary)));
    if (!position || position->Eof() || position->Value(0).toString().isEmpty())
      throw ADODB::Error(QStringLiteral("The server's replicas are watched by the GTIDs they have applied, and this "
                                        "server gives its transactions none (gtid_mode): %1.")
                             .arg(how));
  }
  for (const auto& [host, port] : found) {
    if (host.isEmpty())
      throw ADODB::Error(QStringLiteral("A replica reads this server's binary log without saying where it can be "
                                        "reached (report_host): %1.")
                             .arg(how));
    Replica r;
    r.name = host + u':' + port;
    r.details = details;
    r.details.server = host;
    r.details.port = port;
    r.details.socket.clear();
    try {
      r.connection = OpenSession(r.details, options_.responsive, false);
    } catch (const std::exception& e) {
      throw ADODB::Error(QStringLiteral("The replica %1 cannot be reached, and the run waits for its lag (%2): %3. "
                                        "Nothing was sent.")
                             .arg(r.name, QString::fromStdString(e.what()), how));
    }
    replicas_.push_back(std::move(r));
  }
}

QString Waiting::ReplicaLag(ADODB::Connection& primary) {
  if (replicas_.empty()) return {};
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  // Where the primary's binary log is now, and when that was.
  const bool mariaDb = IsMariaDb(primary);
  auto position = primary.Execute(PositionQuery(mariaDb));
  const QString here = position && !position->Eof() ? position->Value(0).toString() : QString();
  if (!here.isEmpty() && (positions_.empty() || positions_.back().first != here)) positions_.emplace_back(here, now);
  QString why;
  for (Replica& r : replicas_) {
    try {
      if (!r.connection) r.connection = OpenSession(r.details, options_.responsive, false);
      // A replica whose threads stand still lags from that moment, whatever
      // it has applied so far.
      const QString stopped = StoppedThreads(*r.connection);
      if (!stopped.isEmpty()) {
        if (why.isEmpty()) why = QStringLiteral("the replica %1 is not applying: %2").arg(r.name, stopped);
        continue;
      }
      // The positions it has applied since it was last asked.
      while (r.applied < positions_.size()) {
        auto reached = r.connection->Execute(AppliedQuery(mariaDb, positions_[r.applied].first));
        if (!reached || reached->Eof() || reached->Value(0).toInt() != 1) break;
        ++r.applied;
      }
    } catch (const std::exception& e) {
      r.connection.reset();  // asked again next time
      if (why.isEmpty())
        why = QStringLiteral("the replica %1 does not answer, so its lag cannot be measured (%2)")
                  .arg(r.name, QString::fromStdString(e.what()));
      continue;
    }
    if (r.applied >= positions_.size()) continue;
    const double behind =
        std::chrono::duration<double>(now - positions_[r.applied].second).count();
    if (behind > options_.gentle.maxLag && why.isEmpty())
      why = QStringLiteral("the replica %1 is %2 s behind, over %3")
                .arg(r.name)
                .arg(behind, 0, 'f', 1)
                .arg(options_.gentle.maxLag);
  }
  // Positions every replica has applied are no longer needed.
  size_t done = positions_.size();
  for (const Replica& r : replicas_) done = std::min(done, r.applied);
  if (done > 1) {
    // The newest applied stays, so that each replica keeps one to count from.
    const size_t drop = done - 1;
    positions_.erase(positions_.begin(), positions_.begin() + qsizetype(drop));
    for (Replica& r : replicas_) r.applied -= drop;
  }
  return why;
}

QString Waiting::Why(ADODB::Connection& primary, QString& kind) {
  const Gentle& g = options_.gentle;
  if (!g.pauseFile.isEmpty() && QFileInfo::exists(g.pauseFile)) {
    kind = QStringLiteral("pause file");
    return QStringLiteral("the pause file %1 exists").arg(g.pauseFile);
  }
  // The server's status in one round trip: the bounds' variables and the
  // cluster's flow control.
  QStringList names{QStringLiteral("'WSREP_FLOW_CONTROL_ACTIVE'"), QStringLiteral("'WSREP_LOCAL_RECV_QUEUE'"),
                    QStringLiteral("'WSREP_READY'")};
  for (const auto& [name, bound] : g.maxLoad) names << MySQL::TextLiteral(name.toUpper());
  if (!g.criticalLoad.first.isEmpty()) names << MySQL::TextLiteral(g.criticalLoad.first.toUpper());
  QHash<QString, QString> status;
  // As a query both servers prepare: MySQL keeps the status in
  // performance_schema, MariaDB in information_schema.
  const QString table = IsMariaDb(primary) ? QStringLiteral("information_schema.GLOBAL_STATUS")
                                           : QStringLiteral("performance_schema.global_status");
  auto rows = primary.Execute(QStringLiteral("SELECT VARIABLE_NAME, VARIABLE_VALUE FROM %1 WHERE VARIABLE_NAME IN (%2);")
                                  .arg(table, names.join(u',')));
  for (; rows && !rows->Eof(); rows->MoveNext())
    status.insert(rows->Value(0).toString().toLower(), rows->Value(1).toString());
  const auto value = [&](const QString& name) { return status.value(name.toLower()); };
  // A bound on a variable the server does not have would never hold the run
  // back: it is refused, naming it.
  QStringList bounded;
  for (const auto& [name, bound] : g.maxLoad) bounded << name;
  if (!g.criticalLoad.first.isEmpty()) bounded << g.criticalLoad.first;
  for (const QString& name : bounded)
    if (!status.contains(name.toLower()))
      throw ADODB::Error(QStringLiteral("the server has no status variable %1 to bound (--max-load, "
                                        "--critical-load)")
                             .arg(name));
  if (!g.criticalLoad.first.isEmpty() && value(g.criticalLoad.first).toLongLong() > g.criticalLoad.second)
    throw Batch::FatalError(ADODB::Error(
        QStringLiteral("%1 is %2, over the critical bound %3: the run ended early. What the server committed "
                       "stays journaled.")
            .arg(g.criticalLoad.first, value(g.criticalLoad.first))
            .arg(g.criticalLoad.second)));
  for (const auto& [name, bound] : g.maxLoad) {
    if (value(name).toLongLong() > bound) {
      kind = name;
      return QStringLiteral("%1 is %2, over %3").arg(name, value(name)).arg(bound);
    }
  }
  if (value(QStringLiteral("wsrep_flow_control_active")).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
    kind = QStringLiteral("flow control");
    return QStringLiteral("the cluster is in flow control");
  }
  if (g.maxLag > 0) {
    const QString lag = ReplicaLag(primary);
    if (!lag.isEmpty()) {
      kind = QStringLiteral("replica lag");
      return lag;
    }
  }
  if (g.receiveQueue > 0 && value(QStringLiteral("wsrep_local_recv_queue")).toLongLong() > g.receiveQueue) {
    kind = QStringLiteral("receive queue");
    return QStringLiteral("the node's receive queue holds %1 write sets, over %2")
        .arg(value(QStringLiteral("wsrep_local_recv_queue")))
        .arg(g.receiveQueue);
  }
  return {};
}

bool Waiting::Pause() const {
  QElapsedTimer second;
  second.start();
  QCoreApplication* app = QCoreApplication::instance();
  const bool events = options_.responsive && app && QThread::currentThread() == app->thread();
  while (second.elapsed() < 1000) {
    if (options_.cancelled && options_.cancelled()) return false;
    if (events) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool Waiting::Wait(ADODB::Connection& primary, Listener& listener, Summary& totals) {
  if (!options_.gentle.on || options_.dryRun) return true;
  QElapsedTimer waited;
  QElapsedTimer said;
  bool waiting = false;
  QString lastKind;
  for (;;) {
    // At most once a second, so that a run that does not wait is not slowed.
    const auto now = std::chrono::steady_clock::now();
    if (!waiting && now - lastAsked_ < std::chrono::seconds(1)) return true;
    lastAsked_ = now;
    QString kind;
    QString why;
    try {
      why = Why(primary, kind);
    } catch (const Batch::FatalError&) {
      throw;
    } catch (const ADODB::Error& e) {
      throw Batch::FatalError(ADODB::Error(
          QStringLiteral("The run could not ask the server whether to wait: %1").arg(QString::fromStdString(e.what())),
          e.sqlState, e.nativeError));
    }
    if (why.isEmpty()) {
      if (waiting) {
        totals.waitedSeconds += waited.elapsed() / 1000.0;
        listener.Waiting(QString());
      }
      return true;
    }
    if (!waiting) {
      waiting = true;
      waited.start();
    }
    if (!totals.waitedFor.contains(kind)) totals.waitedFor << kind;
    if (!said.isValid() || said.elapsed() >= 10000 || kind != lastKind) {
      listener.Waiting(why);
      said.start();
      lastKind = kind;
    }
    if (!Pause()) {
      totals.waitedSeconds += waited.elapsed() / 1000.0;
      listener.Waiting(QString());
      return false;
    }
  }
}

}  // namespace Conversion
