#include "database/batch.h"

#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <optional>
#include <thread>

#include "database/interrupt.h"
#include "database/rowkey.h"

namespace Batch {

namespace {

// A subquery that returns two rows: a batch's last note uses it to fail on
// purpose, with the error below.
const QString kFailOnPurpose = QStringLiteral("(SELECT 1 UNION ALL SELECT 1)");
constexpr int kFailedOnPurpose = 1242;  // "Subquery returns more than 1 row"
// A savepoint set when the batch's transaction starts and released at its
// end: a transaction the server ended between two statements has lost it,
// and its release fails with the error below. MariaDB and MySQL alike.
const QString kOpen = QStringLiteral("SAVEPOINT nv_open;");
const QString kStillOpen = QStringLiteral("RELEASE SAVEPOINT nv_open;");
constexpr int kTransactionEnded = 1305;  // "SAVEPOINT ... does not exist"
constexpr int kLockWait = 1205;          // "Lock wait timeout exceeded"

// What the session notes after each statement: how far the batch got, and
// the positions of the statements that left warnings. Plain assignments, as
// cheap for the server as a statement can be.
// The rows each statement changed are noted too, as position:count, for a
// caller that counts what the server did rather than what was sent.
QString Progress(size_t position) {
  return QStringLiteral("SET @nv_done=%1,@nv_warned=IF(@@warning_count,CONCAT_WS(',',@nv_warned,%1),@nv_warned),"
                        "@nv_counts=CONCAT_WS(',',@nv_counts,CONCAT(%1,':',ROW_COUNT()));")
      .arg(position);
}

// A statement's bytes on the wire with its note, counted as UTF-8.
qsizetype WireBytes(const QString& statement) {
  static const qsizetype kNoteBytes = Progress(SIZE_MAX).size() + 1;
  qsizetype bytes = kNoteBytes;
  for (const QChar c : statement) bytes += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 || c.isSurrogate() ? 2 : 3;
  return bytes;
}

// The conditions a failed statement left, read without a statement that
// clears them; then their number, codes and the batch's notes as one row.
constexpr int kConditions = 3;
const QString kDiagnostics = QStringLiteral(
    "GET DIAGNOSTICS @nv_conditions = NUMBER;GET DIAGNOSTICS CONDITION 1 @nv_c1 = MYSQL_ERRNO;"
    "GET DIAGNOSTICS CONDITION 2 @nv_c2 = MYSQL_ERRNO;GET DIAGNOSTICS CONDITION 3 @nv_c3 = MYSQL_ERRNO;");
const QString kDiagnosed = QStringLiteral("SELECT @nv_conditions, @nv_c1, @nv_c2, @nv_c3, @nv_done, @nv_warned;");

bool ConnectionLost(const ADODB::Error& e) {
  return e.sqlState.startsWith(QLatin1String("08")) || e.nativeError == 2006 || e.nativeError == 2013 ||
         e.nativeError == 2055 || e.nativeError == 4031;
}

}  // namespace

ErrorKind Judge(ADODB::Error& error, const std::vector<int>& codes) {
  // One failure can leave several conditions: a cluster that takes a
  // transaction back reports the interrupted statement (1317) and then the
  // deadlock (1213). A conflict among them decides; else the first fatal
  // one; else the first.
  std::optional<ADODB::Error> fatal, first;
  for (const int code : codes) {
    ADODB::Error one = error;
    one.nativeError = code;
    const ErrorKind kind = Classify(one);
    if (kind == ErrorKind::Conflict) {
      error = one;
      return kind;
    }
    if (kind == ErrorKind::Fatal && !fatal) fatal = one;
    if (!first) first = one;
  }
  if (fatal)
    error = *fatal;
  else if (first)
    error = *first;
  return Classify(error);
}

ErrorKind Classify(const ADODB::Error& error) {
  const int n = error.nativeError;
  const QString& state = error.sqlState;
  // Deadlock, lock wait timeout, and a cluster's certification failure,
  // which the server reports as a deadlock (SQLSTATE 40001), or as 3101 in
  // a MySQL group of several primaries.
  if (n == 1213 || n == 1205 || n == 3101 || state == QLatin1String("40001")) return ErrorKind::Conflict;
  static const int kFatal[] = {
      1044, 1045, 1142, 1143,        // access denied: database, login, command, column
      1146, 1054, 1109,              // table or column missing
      1036, 1290, 1792,              // table, server or transaction read-only
      1047, 1053, 1927, 4031,        // node not ready, server shutting down, connection killed or idle too long
      1969, 3024,                    // the server's time limit for one statement: the same statement meets it again
      1153,                          // packet too large: the server drops the connection
      2002, 2003, 2006, 2013, 2055,  // connection refused, gone or lost
  };
  if (std::find(std::begin(kFatal), std::end(kFatal), n) != std::end(kFatal)) return ErrorKind::Fatal;
  // Connection failures and timeouts as the driver names them, and our own
  // failures, which carry no SQLSTATE (a closed connection).
  if (state.startsWith(QLatin1String("08")) || state == QLatin1String("HYT00") || state == QLatin1String("HYT01") ||
      state == QLatin1String("42S02") || state == QLatin1String("42S22") || state.isEmpty())
    return ErrorKind::Fatal;
  return ErrorKind::Refused;
}

Sender::Sender(ADODB::Connection& connection, Refused refused, Limits limits)
    : connection_(connection), refused_(std::move(refused)), limits_(limits) {
  QElapsedTimer clock;
  clock.start();
  auto server = connection_.Execute(QStringLiteral("SELECT @@max_allowed_packet, @@log_bin, @@binlog_format;"));
  qint64 trip = clock.nsecsElapsed();
  serverPacket_ = server ? qsizetype(server->Value(0).toLongLong()) : 0;
  // A batch stays well under what the server takes in one packet.
  byteBound_ = serverPacket_ > 0 ? std::min(limits_.bytes, serverPacket_ / 4) : limits_.bytes;
  // Read committed: each statement locks only the rows it changes, not every
  // row it looks at, so others writing to the table are not held up for a
  // whole batch and a cluster takes it back only for rows both changed. The
  // row condition is checked against the latest committed value either way.
  // A binary log in statement format cannot record such transactions.
  statementLog_ = server && server->Value(1).toInt() == 1 &&
                  server->Value(2).toString().compare(QLatin1String("STATEMENT"), Qt::CaseInsensitive) == 0;
  if (!statementLog_) {
    clock.restart();
    connection_.Execute(QStringLiteral("SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED;"));
    trip = std::min(trip, clock.nsecsElapsed());
  }
  // Each batch costs its round trips, and the driver's own work on a text
  // grows faster than the text: short batches near the server, longer ones
  // where every round trip counts.
  if (std::chrono::nanoseconds(trip) >= limits_.farTrip)
    limits_.statements = std::max(limits_.statements, limits_.farStatements);
}

bool Sender::Fits(const QString& statement, const Ahead& ahead) const {
  // With the statements around it in its transaction's first text.
  return serverPacket_ <= 0 || WireBytes(statement) + 2 * ahead.bytes.size() + 512 <= serverPacket_;
}

QString Sender::TooLarge() {
  return QStringLiteral("The converted value does not fit in one statement of the size the server takes "
                        "(max_allowed_packet), so the value was left as it is.");
}

void Sender::Add(const QString& statement, int tag, Note note, qint64 expected, Ahead ahead) {
  // A value sent ahead counts as the hex it would have been: a batch holds
  // as much of them as it would hold of the statements.
  const qsizetype bytes = WireBytes(statement) + 2 * ahead.bytes.size();
  if (!queued_.empty() && queuedBytes_ + bytes > byteBound_) Flush();
  queued_.push_back({statement, tag, queued_.size(), std::move(note), expected, std::move(ahead)});
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

void Sender::SendAhead(const std::vector<Item>& items, bool forget) {
  // Pieces of half a megabyte, in texts of a few pieces each: no text of
  // the value's size is made, here or in the driver.
  constexpr qsizetype kPiece = 512 * 1024, kText = 2 * 1024 * 1024;
  QString text;
  const auto send = [&] {
    if (text.isEmpty()) return;
    connection_.ExecuteMany(text, [](int, ADODB::RecordSet*) {});
    text.clear();
  };
  for (const Item& item : items) {
    const Ahead& a = item.ahead;
    if (a.bytes.isEmpty()) continue;
    if (forget) {
      text += QStringLiteral("SET %1=NULL;").arg(a.name);
      continue;
    }
    for (qsizetype at = 0; at < a.bytes.size(); at += kPiece) {
      text += QStringLiteral("SET ") + a.name + u'=';
      if (at > 0) text += QStringLiteral("CONCAT(") + a.name + u',';
      MySQL::AppendByteLiteral(text, a.bytes.mid(at, kPiece));
      text += at > 0 ? QStringLiteral(");") : QStringLiteral(";");
      if (text.size() >= kText) send();
    }
  }
  send();
}

QString Sender::LockHolders() {
  try {
    auto rows = connection_.Execute(QStringLiteral(
        "SELECT GROUP_CONCAT(DISTINCT trx_mysql_thread_id ORDER BY trx_mysql_thread_id SEPARATOR ', ') FROM "
        "information_schema.INNODB_TRX WHERE trx_mysql_thread_id <> CONNECTION_ID() AND trx_rows_locked > 0;"));
    const QString ids = rows && !rows->Eof() ? rows->Value(0).toString() : QString();
    if (!ids.isEmpty()) return QStringLiteral(" (session %1)").arg(ids);
  } catch (const ADODB::Error&) {
    // Not this login's to see: the wait is said without them.
  }
  return {};
}

Sender::Result Sender::Conflicted(const ADODB::Error& e) {
  lastConflict_ = e;
  Rollback();
  return Result::Conflict;
}

void Sender::Fail(const ADODB::Error& e) {
  lost_ = lost_ || ConnectionLost(e);
  Rollback();
  throw FatalError(e);
}

QString Sender::BatchText(const std::vector<Item>& items, size_t next, bool opening, bool readsFirst) const {
  // After each statement the session notes how far the batch got and
  // whether the statement left warnings. The batch holds no statement
  // that returns rows: given one, the driver would send every statement
  // of the text on a round trip of its own. After a refused statement the
  // rest goes again in the same transaction, first noting where it starts.
  QString text = opening ? kOpen + QStringLiteral("SET @nv_done=NULL,@nv_warned=NULL,@nv_counts=NULL,@nv_c1=NULL,@nv_c2=NULL,@nv_c3=NULL;")
                         : QStringLiteral("SET @nv_done=%1;").arg(qsizetype(next) - 1);
  if (opening && !readsFirst) text.prepend(QStringLiteral("START TRANSACTION;"));
  // One text of the batch's size: a statement of many megabytes is copied
  // into it once, not again each time the text would grow.
  qsizetype size = text.size() + 256;
  for (size_t i = next; i < items.size(); ++i) size += items[i].statement.size() + 96;
  text.reserve(size);
  for (size_t i = next; i < items.size(); ++i) {
    text += items[i].statement;
    if (!items[i].statement.endsWith(u';')) text += u';';
    text += Progress(i);
  }
  // At the end the last note fails on purpose (a subquery of two rows),
  // stopping the batch before its commit, when a statement left warnings;
  // and the release of the savepoint fails when the transaction is no
  // longer open: a cluster can take it back between two statements
  // without the next one failing, which would leave the rest to commit
  // one by one and lose the earlier ones.
  text += QStringLiteral("SET @nv_done=IF(@nv_warned IS NULL,@nv_done,%1);").arg(kFailOnPurpose) + kStillOpen;
  return text;
}

std::optional<ADODB::Error> Sender::Diagnose(const ADODB::Error& failure, std::vector<int>& codes, qsizetype& done,
                                             QString& warned) {
  // The driver gives a failure past the first statement of a text without
  // its error number: the server still knows its conditions and how far
  // the batch got. If it cannot tell, the connection is gone.
  try {
    // Read through statements that return no rows, then one plain
    // SELECT: a text that returns rows has each of its statements
    // prepared by the driver, and MySQL prepares neither SHOW ERRORS nor
    // GET DIAGNOSTICS. A condition past the last leaves its variable
    // NULL.
    connection_.ExecuteMany(kDiagnostics, [](int, ADODB::RecordSet*) {});
    auto rows = connection_.Execute(kDiagnosed);
    if (rows && !rows->Eof()) {
      const qsizetype number = qsizetype(rows->Value(0).toLongLong());
      for (int i = 0; i < kConditions && i < number; ++i)
        if (!rows->Value(1 + i).isNull()) codes.push_back(rows->Value(1 + i).toInt());
      if (!rows->Value(1 + kConditions).isNull()) done = qsizetype(rows->Value(1 + kConditions).toLongLong());
      warned = rows->Value(2 + kConditions).toString();
    }
  } catch (const ADODB::Error& asking) {
    // A cluster may take the transaction back between two statements:
    // the next one, ours, is then answered with the conflict.
    if (Classify(asking) == ErrorKind::Conflict) return asking;
    lost_ = true;
    throw FatalError(failure);
  }
  return std::nullopt;
}

Sender::Result Sender::Attempt(const std::vector<Item>& items, std::vector<Outcome>& outcomes) {
  outcomes.assign(items.size(), Outcome{});
  // A hook that reads inside the transaction does so before the statements,
  // and again before the commit. The commit always travels on its own, so
  // that its answer, which a cluster gives after certifying the
  // transaction, is read for itself.
  const auto hookStep = [&](const std::function<void()>& step) -> bool {
    try {
      step();
      return true;
    } catch (const ADODB::Error& e) {
      if (Classify(e) == ErrorKind::Conflict) {
        Conflicted(e);
        return false;
      }
      Fail(e);
    } catch (const std::exception& e) {
      Fail(ADODB::Error(QString::fromStdString(e.what())));
    }
  };
  std::vector<Note> notes;
  if (hook_) {
    notes.reserve(items.size());
    for (const Item& item : items) notes.push_back(item.note);
    // What the batch is about to change, before any of it is sent.
    if (!hookStep([&] { hook_->Ahead(notes); })) return Result::Conflict;
  }
  const bool readsFirst = hook_ && hook_->ReadsBefore();
  if (readsFirst && !hookStep([&] {
        connection_.Execute(QStringLiteral("START TRANSACTION;"));
        hook_->Before(connection_, notes);
      }))
    return Result::Conflict;
  size_t next = 0;  // the first statement not yet run
  bool opening = true;
  for (;;) {
    if (next >= items.size()) break;
    const QString text = BatchText(items, next, opening, readsFirst);
    try {
      connection_.ExecuteMany(text, [](int, ADODB::RecordSet*) {});
      break;
    } catch (const ADODB::Error& failure) {
      ADODB::Error e = failure;
      qsizetype done = -1;
      QString warned;
      std::vector<int> codes;
      if (const std::optional<ADODB::Error> conflict = Diagnose(failure, codes, done, warned))
        return Conflicted(*conflict);
      // A transaction the server ended on its own has lost the batch's
      // earlier statements: it goes again whole, whatever the reason.
      if (std::find(codes.begin(), codes.end(), kTransactionEnded) != codes.end()) return Conflicted(e);
      // The statement after the last one noted is the one that failed.
      const size_t failed = size_t(std::max<qsizetype>(done + 1, qsizetype(next)));
      bool anyWarned = false;
      if (std::find(codes.begin(), codes.end(), kFailedOnPurpose) != codes.end())
        for (const QString& position : warned.split(u',', Qt::SkipEmptyParts)) {
          const size_t i = position.toULongLong();
          if (i < items.size()) anyWarned = outcomes[i].warned = true;
        }
      if (anyWarned) {
        Rollback();
        return Result::Warned;
      }
      const ErrorKind kind = Judge(e, codes);
      if (kind == ErrorKind::Conflict) return Conflicted(e);
      if (kind == ErrorKind::Fatal || failed >= items.size()) Fail(e);
      outcomes[failed].refused = true;
      outcomes[failed].text = QString::fromStdString(e.what());
      next = failed + 1;
    }
    opening = false;
  }
  if (!hookStep([&] {
        if (hook_) hook_->BeforeCommit(connection_);
        connection_.Execute(QStringLiteral("COMMIT;"));
      }))
    return Result::Conflict;
  return Result::Committed;
}

void Sender::Count(const std::vector<Item>& items, std::vector<Outcome>& outcomes) {
  auto rows = connection_.Execute(QStringLiteral("SELECT @nv_counts;"));
  if (!rows || rows->Eof()) return;
  for (const QString& pair : rows->Value(0).toString().split(u',', Qt::SkipEmptyParts)) {
    const size_t i = pair.section(u':', 0, 0).toULongLong();
    if (i < outcomes.size() && !outcomes[i].refused) outcomes[i].changed = pair.section(u':', 1, 1).toLongLong();
  }
  if (!inspect_) return;
  for (size_t i = 0; i < items.size(); ++i) {
    Outcome& o = outcomes[i];
    if (o.refused || o.changed < 0 || items[i].expected < 0 || (o.changed >= items[i].expected && !inspectEvery_))
      continue;
    o.shortfall = inspect_(connection_, items[i].tag, items[i].note, o.changed);
    // Only rows that account for the whole shortfall are known as the ones
    // left: where they do not (a trigger rewrote a row the statement
    // changed, another client wrote the same new value), no record is
    // taken for unchanged, and the count alone is told.
    const qint64 missing = items[i].expected - o.changed - o.shortfall.already;
    if (!o.shortfall.byField && o.shortfall.notes.size() != missing && o.shortfall.storedOtherwise == 0) {
      o.shortfall.notes.clear();
      o.shortfall.sameValue = 0;
      o.shortfall.changedSince = std::max<qint64>(0, missing);
    }
  }
}

QString Sender::WarningText(const Item& item) {
  // Run alone again and taken back, the statement shows its warning; on a
  // table without transactions its change has stayed and it finds no row.
  // The warning is read as the diagnostics pass, then selected on its own
  // (see kDiagnostics).
  QString text;
  try {
    connection_.ExecuteMany(QStringLiteral("SET @nv_warning=NULL;START TRANSACTION;") + item.statement +
                                (item.statement.endsWith(u';') ? QString() : QStringLiteral(";")) +
                                QStringLiteral("GET DIAGNOSTICS CONDITION 1 @nv_warning = MESSAGE_TEXT;"),
                            [](int, ADODB::RecordSet*) {});
    Rollback();
    auto rows = connection_.Execute(QStringLiteral("SELECT @nv_warning;"));
    if (rows && !rows->Eof()) text = rows->Value(0).toString();
  } catch (const ADODB::Error& e) {
    text = QString::fromStdString(e.what());
    Rollback();
  }
  return text.isEmpty() ? QStringLiteral("The server did not store the value exactly as converted.") : text;
}

bool Sender::Transaction(std::vector<Item>& pending, size_t from, size_t& count, Reports& reports) {
  for (;;) {
    const std::vector<Item> items(pending.begin() + qsizetype(from), pending.begin() + qsizetype(from + count));
    if (items.empty()) return true;
    std::vector<Outcome> outcomes;
    Result result;
    try {
      result = Attempt(items, outcomes);
    } catch (const FatalError&) {
      // The statements the server refused stay refused whatever became of
      // the rest (a commit whose answer was lost): they are still reported.
      for (size_t i = 0; i < outcomes.size(); ++i)
        if (outcomes[i].refused) reports.push_back({items[i].order, items[i].tag, outcomes[i].text, items[i].note});
      throw;
    }
    if (result == Result::Conflict) return false;
    if (result == Result::Warned) {
      // The server stored something other than some statements' values:
      // the transaction was taken back, and goes again without them; they
      // are reported and never sent again.
      for (size_t i = items.size(); i-- > 0;) {
        if (!outcomes[i].warned) continue;
        reports.push_back({items[i].order, items[i].tag, WarningText(items[i]), items[i].note});
        if (hook_) hook_->NotApplied(connection_, items[i].note, true);
        pending.erase(pending.begin() + qsizetype(from + i));
        --count;
      }
      continue;
    }
    // The batch has committed: every statement is told of, whatever one of
    // them raises; the first failure then ends the run, after the reports.
    std::exception_ptr failed;
    const auto told = [&](const std::function<void()>& step) {
      try {
        step();
      } catch (...) {
        if (!failed) failed = std::current_exception();
      }
    };
    // What each statement changed, as the server counted it, read once the
    // batch has committed: a round trip inside the transaction would keep
    // its rows locked longer, and a cluster takes back a transaction the
    // longer it stays open. A row the statement was sent to change and did
    // not is looked for then; only rows that account for the whole
    // shortfall are named (someone may change a row once it is committed).
    if (answered_ || inspect_) told([&] { Count(items, outcomes); });
    for (size_t i = 0; i < items.size(); ++i) {
      if (!outcomes[i].refused) {
        if (hook_ && !outcomes[i].shortfall.notes.isEmpty()) told([&] { hook_->Unchanged(outcomes[i].shortfall.notes); });
        if (hook_ && !outcomes[i].shortfall.stored.isEmpty()) told([&] { hook_->Stored(outcomes[i].shortfall.stored); });
        if (hook_ && !outcomes[i].shortfall.again.isEmpty()) told([&] { hook_->Again(outcomes[i].shortfall.again); });
        if (answered_ && outcomes[i].changed >= 0)
          told([&] { answered_(items[i].tag, outcomes[i].changed, outcomes[i].shortfall, items[i].note); });
        continue;
      }
      reports.push_back({items[i].order, items[i].tag, outcomes[i].text, items[i].note});
      if (hook_) told([&] { hook_->NotApplied(connection_, items[i].note, false); });
    }
    if (hook_) told([&] { hook_->Committed(); });
    if (failed) {
      try {
        std::rethrow_exception(failed);
      } catch (const FatalError&) {
        throw;
      } catch (const ADODB::Error& e) {
        throw FatalError(e);
      } catch (const std::exception& e) {
        throw FatalError(ADODB::Error(QString::fromStdString(e.what())));
      }
    }
    return true;
  }
}

void Sender::Flush() {
  if (queued_.empty()) return;
  std::vector<Item> pending = std::move(queued_);
  queued_.clear();
  queuedBytes_ = 0;
  Reports reports;
  // A conflict takes a whole transaction back. Each try after one sends
  // half as many statements per transaction, in their order, so that a
  // table others keep writing to still sees the batch through.
  size_t from = 0, span = pending.size();
  int failed = 0;  // tries of the same statements taken back in a row
  const auto report = [&] {
    std::sort(reports.begin(), reports.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
    for (const Report& r : reports) {
      reportedNote_ = r.note;
      refused_(r.tag, r.text);
    }
    reportedNote_ = {};
  };
  // (Their items, kept apart: a statement that left warnings leaves `pending`.)
  std::vector<Item> ahead;
  std::copy_if(pending.begin(), pending.end(), std::back_inserter(ahead),
               [](const Item& item) { return !item.ahead.bytes.isEmpty(); });
  try {
    // A session variable outlives a transaction taken back: the values go
    // once, however often their batch is tried.
    if (!ahead.empty()) {
      try {
        SendAhead(ahead, false);
      } catch (const ADODB::Error& e) {
        Fail(e);
      }
    }
    QElapsedTimer locked, said;  // since the statements first met a row lock, and since that was said
    while (from < pending.size()) {
      size_t count = std::min(span, pending.size() - from);
      if (Transaction(pending, from, count, reports)) {
        from += count;
        ++batches_;
        failed = 0;
        if (locked.isValid() && waiting_) waiting_(QString());
        locked.invalidate();
        continue;
      }
      ++retries_;
      span = std::max<size_t>(1, count / 2);
      // A row lock outlasted the server's wait: the statements go again
      // (fewer at a time, so that the rows before the locked one go through)
      // until the lock goes or the run's bound for it is over.
      if (lastConflict_.nativeError == kLockWait && limits_.lockWaitSeconds > 0) {
        if (!locked.isValid()) locked.start();
        // Ctrl+C while it waits: the batch, taken back, does not go again.
        if (ADODB::Interrupted())
          throw FatalError(ADODB::Error(QStringLiteral("Interrupted while waiting for a row lock another session "
                                                       "holds."),
                                        lastConflict_.sqlState, lastConflict_.nativeError));
        const QString holders = LockHolders();
        if (locked.elapsed() >= qint64(limits_.lockWaitSeconds) * 1000)
          throw FatalError(ADODB::Error(QStringLiteral("A row lock held by another session%1 outlasted the %2 s the "
                                                       "run waits for one (--lock-wait): the run ended early.")
                                            .arg(holders)
                                            .arg(limits_.lockWaitSeconds),
                                        lastConflict_.sqlState, lastConflict_.nativeError));
        if (waiting_ && (!said.isValid() || said.elapsed() >= 10000)) {
          waiting_(QStringLiteral("a row lock held by another session%1").arg(holders));
          said.start();
        }
        continue;
      }
      if (++failed >= limits_.attempts) throw FatalError(lastConflict_);
      std::this_thread::sleep_for(std::chrono::milliseconds(limits_.firstBackoffMs << std::min(failed - 1, 6)));
    }
  } catch (const FatalError&) {
    report();
    throw;
  }
  // What the server held for them goes once they are answered.
  if (!ahead.empty()) {
    try {
      SendAhead(ahead, true);
    } catch (const ADODB::Error& e) {
      report();
      Fail(e);
    }
  }
  report();
}

}  // namespace Batch
