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

void Sender::Add(const QString& statement, int tag, QStringList note) {
  const qsizetype bytes = WireBytes(statement);
  if (!queued_.empty() && queuedBytes_ + bytes > byteBound_) Flush();
  queued_.push_back({statement, tag, queued_.size(), std::move(note)});
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

bool Sender::HookStep(const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const ADODB::Error& e) {
    if (Classify(e) == Failure::Conflict) {
      lastConflict_ = e;
      Rollback();
      return false;
    }
    lost_ = ConnectionLost(e);
    Rollback();
    throw FatalError(e);
  } catch (const std::exception& e) {
    Rollback();
    throw FatalError(ADODB::Error(QString::fromStdString(e.what())));
  }
}

bool Sender::Attempt(const std::vector<Item>& items, std::vector<Outcome>& outcomes) {
  outcomes.assign(items.size(), Outcome{});
  size_t next = 0;  // the first statement not yet run
  bool opening = true;
  if (hook_) {
    // The hook reads inside the batch's transaction, before its statements.
    std::vector<QStringList> notes;
    notes.reserve(items.size());
    for (const Item& item : items) notes.push_back(item.note);
    if (!HookStep([&] {
          connection_.Execute(QStringLiteral("START TRANSACTION;"));
          hook_->Before(connection_, notes);
        }))
      return false;
  }
  while (next < items.size()) {
    // After each statement the session notes how far the batch got and
    // whether the statement left warnings, in variables of its own: the
    // batch holds no result sets, so the driver walks it statement by
    // statement. After a refused statement the rest goes again in the same
    // transaction.
    // A resent rest starts by noting where it starts, so that a failure of
    // its first statement is not taken for the one before.
    QString text = opening ? QStringLiteral("SET @norvale_done = NULL, @norvale_warned = NULL;")
                           : QStringLiteral("SET @norvale_done = %1;").arg(qsizetype(next) - 1);
    if (opening && !hook_) text.prepend(QStringLiteral("START TRANSACTION;"));
    for (size_t i = next; i < items.size(); ++i) {
      text += items[i].statement;
      if (!items[i].statement.endsWith(u';')) text += u';';
      text += QStringLiteral(
                  "SET @norvale_done = %1, @norvale_warned = IF(@@warning_count > 0, "
                  "CONCAT_WS(',', @norvale_warned, %1), @norvale_warned);")
                  .arg(i);
    }
    try {
      connection_.ExecuteMany(text, [](int, ADODB::RecordSet*) {});
      next = items.size();
    } catch (const ADODB::Error& failure) {
      // The driver gives a failure past the batch's first statement without
      // its error number: the server still knows it, and how far the batch
      // got. If it cannot tell, the connection is gone.
      ADODB::Error e = failure;
      qsizetype done = -1;
      try {
        connection_.ExecuteMany(QStringLiteral("SHOW ERRORS;SELECT @norvale_done;"),
                                [&](int index, ADODB::RecordSet* rows) {
                                  if (!rows || rows->Eof()) return;
                                  if (index == 0) e.nativeError = rows->Value(1).toInt();  // Level, Code, Message
                                  if (index == 1 && !rows->Value(0).isNull()) done = qsizetype(rows->Value(0).toLongLong());
                                });
      } catch (const ADODB::Error&) {
        lost_ = true;
        throw FatalError(failure);
      }
      const Failure kind = Classify(e);
      if (kind == Failure::Conflict) {
        lastConflict_ = e;
        Rollback();
        return false;
      }
      // The statement after the last one that finished is the refused one.
      const qsizetype failed = done + 1;
      if (kind == Failure::Fatal || failed < qsizetype(next) || failed >= qsizetype(items.size())) {
        Rollback();
        throw FatalError(e);
      }
      outcomes[size_t(failed)].refused = true;
      outcomes[size_t(failed)].text = QString::fromStdString(e.what());
      next = size_t(failed) + 1;
    }
    opening = false;
  }
  auto warned = connection_.Execute(QStringLiteral("SELECT @norvale_warned;"));
  const QString list = warned ? warned->Value(0).toString() : QString();
  for (const QString& n : list.split(u',', Qt::SkipEmptyParts)) {
    const size_t i = n.toULongLong();
    if (i < outcomes.size()) outcomes[i].warned = true;
  }
  return true;
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
  for (;;) {
    std::vector<Outcome> outcomes;
    bool committed = false;
    bool attempted = false;
    try {
      attempted = Attempt(items, outcomes);
    } catch (const FatalError&) {
      throw;
    } catch (const ADODB::Error& e) {
      // A failure of the batch's own bookkeeping queries.
      lost_ = ConnectionLost(e);
      Rollback();
      throw FatalError(e);
    }
    if (attempted) {
      if (std::any_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.warned; })) {
        // A warning means the server stored something other than the
        // statement's value: take the batch back and send it again
        // without those statements.
        Rollback();
        std::vector<Item> kept;
        for (size_t i = 0; i < items.size(); ++i) {
          if (outcomes[i].warned)
            reports.push_back({items[i].order, {items[i].tag, WarningText(items[i])}});
          else
            kept.push_back(items[i]);
        }
        items = std::move(kept);
        if (items.empty()) break;
        continue;
      }
      // A conflict met by the hook's reads tries the batch again.
      const bool ready = !hook_ || HookStep([&] { hook_->BeforeCommit(connection_); });
      try {
        if (ready) {
          connection_.Execute(QStringLiteral("COMMIT;"));
          committed = true;
        }
      } catch (const ADODB::Error& e) {
        if (Classify(e) != Failure::Conflict) {
          lost_ = ConnectionLost(e);
          Rollback();
          throw FatalError(e);
        }
        lastConflict_ = e;
        Rollback();
      }
    }
    if (committed) {
      if (hook_) hook_->Committed();
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
