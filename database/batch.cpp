#include "database/batch.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace Batch {

namespace {

// Upper bound of a statement's bytes on the wire: UTF-8 needs at most three
// bytes for a UTF-16 unit. The statement is followed by its warning query.
qsizetype WireBytes(const QString& statement) { return statement.size() * 3 + 16; }

const QString kWarnings = QStringLiteral("SHOW WARNINGS;");

// The error the note after a statement raises when the statement left
// warnings: a subquery that returns more than one row.
constexpr int kWarnedMark = 1242;

bool ConnectionLost(const ADODB::Error& e) {
  return e.sqlState.startsWith(QLatin1String("08")) || e.nativeError == 2006 || e.nativeError == 2013 ||
         e.nativeError == 2055;
}

}  // namespace

Failure Classify(const ADODB::Error& error) {
  const int n = error.nativeError;
  const QString& state = error.sqlState;
  // Deadlock, lock wait timeout, and a cluster's certification failure,
  // which the server reports as a deadlock (SQLSTATE 40001).
  if (n == 1213 || n == 1205 || state == QLatin1String("40001")) return Failure::Conflict;
  static const int kFatal[] = {
      1044, 1045, 1142, 1143,        // access denied: database, login, command, column
      1146, 1054, 1109,              // table or column missing
      1036, 1290, 1792,              // table, server or transaction read-only
      1047, 1053, 1927,              // node not ready, server shutting down, connection killed
      1153,                          // packet too large: the server drops the connection
      2002, 2003, 2006, 2013, 2055,  // connection refused, gone or lost
  };
  if (std::find(std::begin(kFatal), std::end(kFatal), n) != std::end(kFatal)) return Failure::Fatal;
  // Connection failures and timeouts as the driver names them, and our own
  // failures, which carry no SQLSTATE (a closed connection).
  if (state.startsWith(QLatin1String("08")) || state == QLatin1String("HYT00") || state == QLatin1String("HYT01") ||
      state == QLatin1String("42S02") || state == QLatin1String("42S22") || state.isEmpty())
    return Failure::Fatal;
  return Failure::Refused;
}

Sender::Sender(ADODB::Connection& connection, Refused refused, Limits limits)
    : connection_(connection), refused_(std::move(refused)), limits_(limits) {
  auto packet = connection_.Execute(QStringLiteral("SELECT @@max_allowed_packet;"));
  const qsizetype serverPacket = packet ? qsizetype(packet->Value(0).toLongLong()) : 0;
  // A batch stays well under what the server takes in one packet.
  byteBound_ = serverPacket > 0 ? std::min(limits_.bytes, serverPacket / 4) : limits_.bytes;
}

void Sender::Add(const QString& statement, int tag) {
  const qsizetype bytes = WireBytes(statement);
  if (!queued_.empty() && queuedBytes_ + bytes > byteBound_) Flush();
  queued_.push_back({statement, tag, queued_.size()});
  queuedBytes_ += bytes;
  if (int(queued_.size()) >= limits_.statements || queuedBytes_ >= byteBound_) Flush();
}

void Sender::Rollback() {
  if (lost_) return;  // the server rolls back a lost connection's transaction itself
  try {
    connection_.Execute(QStringLiteral("ROLLBACK;"));
  } catch (const std::exception&) {
    // A lost connection rolls the transaction back on the server.
  }
}

Sender::Result Sender::Attempt(const std::vector<Item>& items, std::vector<Outcome>& outcomes) {
  outcomes.assign(items.size(), Outcome{});
  size_t next = 0;  // the first statement not yet run
  bool opening = true;
  for (;;) {
    // The batch and its commit travel together. After each statement the
    // session notes how far the batch got; a statement that left warnings
    // makes that note fail on purpose (a subquery of two rows), which stops
    // the batch before its commit. The batch holds no statement that
    // returns rows: given one, the driver would send every statement of
    // the text on a round trip of its own. After a refused statement the
    // rest goes again, in the same transaction.
    QString text = opening ? QStringLiteral("START TRANSACTION;SET @nv_done=NULL;") : QString();
    for (size_t i = next; i < items.size(); ++i) {
      text += items[i].statement;
      if (!items[i].statement.endsWith(u';')) text += u';';
      text += QStringLiteral("SET @nv_done=IF(@@warning_count,(SELECT 1 UNION ALL SELECT 1),%1);").arg(i);
    }
    text += QStringLiteral("COMMIT;");
    try {
      connection_.ExecuteMany(text, [](int, ADODB::RecordSet*) {});
      return Result::Committed;
    } catch (const ADODB::Error& failure) {
      // The driver gives a failure past the first statement of a text
      // without its error number: the server still knows it, and how far
      // the batch got. If it cannot tell, the connection is gone.
      ADODB::Error e = failure;
      qsizetype done = -1;
      try {
        connection_.ExecuteMany(QStringLiteral("SHOW ERRORS;SELECT @nv_done;"), [&](int index, ADODB::RecordSet* rows) {
          if (!rows || rows->Eof()) return;
          if (index == 0) e.nativeError = rows->Value(1).toInt();  // Level, Code, Message
          if (index == 1 && !rows->Value(0).isNull()) done = qsizetype(rows->Value(0).toLongLong());
        });
      } catch (const ADODB::Error&) {
        lost_ = true;
        throw FatalError(failure);
      }
      // The statement after the last one noted is the one that failed, or
      // left warnings; past the last statement, the commit failed.
      const size_t failed = size_t(std::max<qsizetype>(done + 1, qsizetype(next)));
      if (e.nativeError == kWarnedMark && failed < items.size()) {
        Rollback();
        outcomes[failed].warned = true;
        return Result::Warned;
      }
      const Failure kind = Classify(e);
      if (kind == Failure::Conflict) {
        lastConflict_ = e;
        Rollback();
        return Result::Conflict;
      }
      if (kind == Failure::Fatal || failed >= items.size()) {
        Rollback();
        throw FatalError(e);
      }
      outcomes[failed].refused = true;
      outcomes[failed].text = QString::fromStdString(e.what());
      next = failed + 1;
    }
    opening = false;
  }
}

QString Sender::WarningText(const Item& item) {
  // Run alone again and taken back, the statement shows its warnings; on a
  // table without transactions its change has stayed and it finds no row.
  QString text;
  try {
    connection_.ExecuteMany(QStringLiteral("START TRANSACTION;") + item.statement + kWarnings,
                            [&](int, ADODB::RecordSet* rows) {
                              if (rows && !rows->Eof()) text = rows->Value(2).toString();  // Level, Code, Message
                            });
  } catch (const ADODB::Error& e) {
    text = QString::fromStdString(e.what());
  }
  Rollback();
  return text.isEmpty() ? QStringLiteral("The server did not store the value exactly as converted.") : text;
}

void Sender::Flush() {
  if (queued_.empty()) return;
  std::vector<Item> items = std::move(queued_);
  queued_.clear();
  queuedBytes_ = 0;
  std::vector<std::pair<size_t, std::pair<int, QString>>> reports;  // (order, (tag, text))
  int attempt = 1;
  while (!items.empty()) {
    std::vector<Outcome> outcomes;
    Result result = Result::Conflict;
    try {
      result = Attempt(items, outcomes);
    } catch (const FatalError&) {
      throw;
    } catch (const ADODB::Error& e) {
      lost_ = ConnectionLost(e);
      Rollback();
      throw FatalError(e);
    }
    if (result == Result::Committed) {
      for (size_t i = 0; i < items.size(); ++i)
        if (outcomes[i].refused) reports.push_back({items[i].order, {items[i].tag, outcomes[i].text}});
      ++batches_;
      break;
    }
    if (result == Result::Warned) {
      // The server stored something other than a statement's value: the
      // batch was taken back, and goes again without that statement.
      const auto warned = std::find_if(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.warned; });
      const size_t i = size_t(warned - outcomes.begin());
      reports.push_back({items[i].order, {items[i].tag, WarningText(items[i])}});
      items.erase(items.begin() + qsizetype(i));
      continue;
    }
    if (++attempt > limits_.attempts) throw FatalError(lastConflict_);
    ++retries_;
    std::this_thread::sleep_for(std::chrono::milliseconds(limits_.firstBackoffMs << std::min(attempt - 2, 6)));
  }
  std::sort(reports.begin(), reports.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& r : reports) refused_(r.second.first, r.second.second);
}

}  // namespace Batch
