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
  try {
    connection_.Execute(QStringLiteral("ROLLBACK;"));
  } catch (const std::exception&) {
    // A lost connection rolls the transaction back on the server.
  }
}

bool Sender::Attempt(const std::vector<Item>& items, std::vector<Outcome>& outcomes) {
  outcomes.assign(items.size(), Outcome{});
  size_t next = 0;  // the first statement not yet run
  bool opening = true;
  while (next < items.size()) {
    // Each statement is followed by the query of its warnings. After a
    // refused statement the rest goes again in the same transaction.
    QString text = opening ? QStringLiteral("START TRANSACTION;") : QString();
    const int offset = opening ? 1 : 0;
    for (size_t i = next; i < items.size(); ++i) {
      text += items[i].statement;
      if (!items[i].statement.endsWith(u';')) text += u';';
      text += kWarnings;
    }
    const size_t base = next;
    const auto itemOf = [&](int index) { return base + size_t(index - offset) / 2; };
    try {
      connection_.ExecuteMany(text, [&](int index, ADODB::RecordSet* rows) {
        if (index < offset || (index - offset) % 2 == 0 || !rows || rows->Eof()) return;
        // SHOW WARNINGS: Level, Code, Message.
        Outcome& o = outcomes[itemOf(index)];
        o.warned = true;
        o.text = rows->Value(2).toString();
      });
      next = items.size();
    } catch (const ADODB::Error& e) {
      const Failure kind = Classify(e);
      const bool onStatement = e.statementIndex >= offset && (e.statementIndex - offset) % 2 == 0;
      if (kind == Failure::Conflict) {
        lastConflict_ = e;
        Rollback();
        return false;
      }
      if (kind == Failure::Fatal || !onStatement) {
        Rollback();
        throw FatalError(e);
      }
      const size_t failed = itemOf(e.statementIndex);
      outcomes[failed].refused = true;
      outcomes[failed].text = QString::fromStdString(e.what());
      next = failed + 1;
    }
    opening = false;
  }
  return true;
}

void Sender::Flush() {
  if (queued_.empty()) return;
  std::vector<Item> items = std::move(queued_);
  queued_.clear();
  queuedBytes_ = 0;
  std::vector<std::pair<size_t, std::pair<int, QString>>> reports;  // (order, (tag, text))
  int attempt = 1;
  for (;;) {
    std::vector<Outcome> outcomes;
    bool committed = false;
    if (Attempt(items, outcomes)) {
      if (std::any_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.warned; })) {
        // A warning means the server stored something other than the
        // statement's value: take the batch back and send it again
        // without those statements.
        Rollback();
        std::vector<Item> kept;
        for (size_t i = 0; i < items.size(); ++i) {
          if (outcomes[i].warned)
            reports.push_back({items[i].order, {items[i].tag, outcomes[i].text}});
          else
            kept.push_back(items[i]);
        }
        items = std::move(kept);
        if (items.empty()) break;
        continue;
      }
      try {
        connection_.Execute(QStringLiteral("COMMIT;"));
        committed = true;
      } catch (const ADODB::Error& e) {
        if (Classify(e) != Failure::Conflict) {
          Rollback();
          throw FatalError(e);
        }
        lastConflict_ = e;
        Rollback();
      }
    }
    if (committed) {
      for (size_t i = 0; i < items.size(); ++i)
        if (outcomes[i].refused) reports.push_back({items[i].order, {items[i].tag, outcomes[i].text}});
      ++batches_;
      break;
    }
    if (++attempt > limits_.attempts) throw FatalError(lastConflict_);
    ++retries_;
    std::this_thread::sleep_for(std::chrono::milliseconds(limits_.firstBackoffMs << std::min(attempt - 2, 6)));
  }
  std::sort(reports.begin(), reports.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& r : reports) refused_(r.second.first, r.second.second);
}

}  // namespace Batch
