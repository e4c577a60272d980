#include "journal/store.h"

#include <QDateTime>
#include <QDir>
#include <QSet>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Journal {

namespace {

// Whether SQLite's failure says the file is no database, or that its pages
// contradict each other: it will fail the same way however often it is tried.
bool IsDamage(int code) {
  code &= 0xff;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Raises SQLite's last failure on db: Damaged where the file is damaged, else
// a failure to read or to write the journal.
[[noreturn]] void Raise(sqlite3* db, const QString& path, bool reading) {
  const QString why = QString::fromUtf8(sqlite3_errmsg(db));
  if (IsDamage(sqlite3_extended_errcode(db))) throw Damaged(path, why);
  throw Error((reading ? QStringLiteral("The undo journal cannot be read: %1")
                       : QStringLiteral("The undo journal cannot be written: %1"))
                  .arg(why)
                  .toStdString());
}

// One prepared statement, finalized when it goes. A query's failures are
// failures to read, the others' to write.
class Statement {
 public:
  Statement(sqlite3* db, const QString& path, const char* sql)
      : db_(db), path_(path), reading_(std::strncmp(sql, "SELECT", 6) == 0 || std::strncmp(sql, "PRAGMA", 6) == 0) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Throw();
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int i, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    Check(sqlite3_bind_text(stmt_, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int i, qint64 n) {
    Check(sqlite3_bind_int64(stmt_, i, n));
    return *this;
  }
  Statement& BindBlob(int i, const QByteArray& bytes) {
    // A zero-length blob, not NULL, for the empty value. The bytes outlive
    // the step, and SQLite reads them where they are.
    Check(sqlite3_bind_blob64(stmt_, i, bytes.isEmpty() ? "" : bytes.constData(), sqlite3_uint64(bytes.size()),
                              SQLITE_STATIC));
    return *this;
  }
  // The value exactly as another statement read it.
  Statement& BindValue(int i, const sqlite3_value* value) {
    Check(sqlite3_bind_value(stmt_, i, value));
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Throw();
    return false;
  }
  // Steps a statement that changes rows, and returns SQLite's code instead of
  // raising where the row was refused (a constraint, a value of the wrong
  // type): SQLITE_DONE when it went in.
  int StepUnlessRefused() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE || (rc & 0xff) == SQLITE_CONSTRAINT || (rc & 0xff) == SQLITE_MISMATCH) return rc;
    Throw();
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  QString Text(int i) const {
    return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i)), sqlite3_column_bytes(stmt_, i));
  }
  QByteArray Blob(int i) const {
    const void* p = sqlite3_column_blob(stmt_, i);
    return QByteArray(static_cast<const char*>(p), sqlite3_column_bytes(stmt_, i));
  }
  qint64 Int(int i) const { return sqlite3_column_int64(stmt_, i); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Throw();
  }
  [[noreturn]] void Throw() { Raise(db_, path_, reading_); }
  sqlite3* db_;
  const QString& path_;
  const bool reading_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls an open transaction back unless it was committed.
class Transaction {
 public:
  Transaction(sqlite3* db, const QString& path) : db_(db), path_(path) {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) Raise(db_, path_, false);
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Raise(db_, path_, false);
    done_ = true;
  }

 private:
  sqlite3* db_;
  const QString& path_;
  bool done_ = false;
};

// What an entry takes in the file, besides its key and values.
constexpr qint64 kEntryOverhead = 16;

const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS runs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  server TEXT NOT NULL, port TEXT NOT NULL, database TEXT NOT NULL, tbl TEXT NOT NULL, field TEXT NOT NULL,
  mode TEXT NOT NULL, time TEXT NOT NULL,
  key_columns TEXT NOT NULL, charset TEXT NOT NULL, keyless TEXT NOT NULL,
  undone INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS runs_target ON runs (server, port, database, tbl, field, id);
CREATE TABLE IF NOT EXISTS entries (
  run INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
  key TEXT NOT NULL, old BLOB NOT NULL, new BLOB NOT NULL, rows INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS entries_run ON entries (run);
CREATE TABLE IF NOT EXISTS facts (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
)";

// The server by its identity where the run and the target both have one,
// else by how it was reached.
#define NV_SAME_SERVER "(CASE WHEN ?6 <> '' AND server_id <> '' THEN server_id = ?6 ELSE server = ?1 AND port = ?2 END)"
const char* kTargetWhere = NV_SAME_SERVER " AND database = ?3 AND tbl = ?4 AND field = ?5";

// The runs' columns later journals added, in the order a new journal adds
// them: a journal without one gets it when opened, and a recovery copies it
// where the damaged file has it, else its value for older runs.
struct AddedColumn {
  const char* name;
  const char* definition;
  const char* older;
};
const AddedColumn kAddedColumns[] = {
    {"words", "TEXT NOT NULL DEFAULT ''", "''"},
    {"filter", "TEXT NOT NULL DEFAULT ''", "''"},
    {"server_id", "TEXT NOT NULL DEFAULT ''", "''"},  // the server's own identity
    {"key_names", "TEXT NOT NULL DEFAULT ''", "''"},
    {"changed", "INTEGER NOT NULL DEFAULT -1", "-1"},  // rows a run without a key changed; -1: not counted
    {"bytes", "INTEGER NOT NULL DEFAULT 0", "NULL"},   // counted from the entries when added
    // Why a run ended before its last row ('running' while it runs; '' once
    // it finished), the key of the last row it settled and the number of the
    // record after it.
    {"ended", "TEXT NOT NULL DEFAULT ''", "''"},
    {"position", "TEXT NOT NULL DEFAULT ''", "''"},
    {"next_record", "INTEGER NOT NULL DEFAULT 0", "0"},
    {"shape", "TEXT NOT NULL DEFAULT ''", "''"},  // the field's and key's declarations
    {"restored", "INTEGER NOT NULL DEFAULT 0", "0"},  // 1 once an undo has put back a row of it
    {"lost", "INTEGER NOT NULL DEFAULT 0", "0"},      // entries a recovery could not read (-1: some)
};

QStringList KeyNames(const QString& json) {
  QStringList names;
  if (json.isEmpty()) return names;
  for (const QJsonValue& v : QJsonDocument::fromJson(json.toUtf8()).array()) names << v.toString();
  return names;
}

void BindTarget(Statement& s, const Target& t) {
  s.Bind(1, t.server).Bind(2, t.port).Bind(3, t.database).Bind(4, t.table).Bind(5, t.field).Bind(6, t.serverId);
}

}  // namespace

Damaged::Damaged(const QString& path, const QString& why)
    : Error(QStringLiteral("The undo journal %1 is damaged (%2). `norvale history` recovers the runs it can still "
                           "read into a new journal and keeps the damaged file as %1.damaged-<time>.")
                .arg(path, why)
                .toStdString()),
      path_(path) {}

QString Store::DefaultPath() {
  QString data = qEnvironmentVariable("XDG_DATA_HOME");
  if (data.isEmpty() || QDir::isRelativePath(data)) data = QDir::homePath() + QStringLiteral("/.local/share");
  return data + QStringLiteral("/norvale/journal.sqlite");
}

Store::Store(const QString& path) : path_(path) {
  const QString folder = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(folder))
    throw Error(QStringLiteral("The undo journal's folder %1 cannot be created.").arg(folder).toStdString());
  // The journal holds the table's old values: the owner's alone.
  ::chmod(QFile::encodeName(folder).constData(), 0700);
  // Create the file with its mode before SQLite opens it, so it is never
  // readable by others, not even for a moment.
  const QByteArray file = QFile::encodeName(path);
  const int fd = ::open(file.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    throw Error(QStringLiteral("The undo journal %1 cannot be opened for writing: %2")
                    .arg(path, QString::fromLocal8Bit(strerror(errno)))
                    .toStdString());
  ::fchmod(fd, 0600);
  ::close(fd);
  if (sqlite3_open_v2(file.constData(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    const QString why = db_ ? QString::fromUtf8(sqlite3_errmsg(db_)) : QStringLiteral("out of memory");
    sqlite3_close(db_);
    db_ = nullptr;
    throw Error(QStringLiteral("The undo journal %1 cannot be opened: %2").arg(path, why).toStdString());
  }
  sqlite3_busy_timeout(db_, 10000);
  try {
    // The write-ahead log keeps the journal whole through a crash; FULL
    // syncs it at every commit, so an entry is on disk before the server's
    // COMMIT is sent.
    Exec("PRAGMA journal_mode = WAL");
    Exec("PRAGMA synchronous = FULL");
    Exec("PRAGMA foreign_keys = ON");
    // Written in order and read once: a small page cache does.
    Exec("PRAGMA cache_size = -256");
    Exec(kSchema);
    // Older journals learn the columns they lack; their entries hold
    // conditions, not key values, and their runs learn their size once.
    QSet<QString> present;
    {
      Statement columns(db_, path_, "PRAGMA table_info(runs)");
      while (columns.Step()) present.insert(columns.Text(1));
    }
    for (const AddedColumn& c : kAddedColumns) {
      if (present.contains(QLatin1String(c.name))) continue;
      Exec((QByteArray("ALTER TABLE runs ADD COLUMN ") + c.name + ' ' + c.definition).constData());
      if (QByteArray(c.name) == "bytes")
        Exec("UPDATE runs SET bytes = (SELECT IFNULL(SUM(LENGTH(key) + LENGTH(old) + LENGTH(new) + 16), 0) FROM entries "
             "WHERE run = runs.id)");
    }
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
  // The write-ahead log and its index share the file's mode.
  for (const char* suffix : {"-wal", "-shm"}) ::chmod((file + suffix).constData(), 0600);
}

Store::~Store() { sqlite3_close(db_); }

void Store::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    if (IsDamage(sqlite3_extended_errcode(db_))) throw Damaged(path_, why);
    Fail(why);
  }
}

void Store::Fail(const QString& what) {
  throw Error(QStringLiteral("The undo journal %1 cannot be written: %2").arg(path_, what).toStdString());
}

void Store::BeginRun(RunHeader& h) {
  Transaction t(db_, path_);
  Statement s(db_, path_,
              "INSERT INTO runs (server, port, database, tbl, field, server_id, mode, time, key_columns, charset, "
              "keyless, key_names, words, filter, ended, shape) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?12, ?7, ?8, ?9, ?10, ?11, "
              "?13, ?14, ?15, ?16)");
  BindTarget(s, h.target);
  s.Bind(12, h.mode).Bind(7, h.time.toUTC().toString(Qt::ISODateWithMs)).Bind(8, h.keyColumns).Bind(9, h.charset);
  s.Bind(10, h.keyless).Bind(13, h.words).Bind(14, h.where).Bind(15, h.ended).Bind(16, h.shape);
  s.Bind(11, h.keyNames.isEmpty() ? QString() : QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(h.keyNames)).toJson(QJsonDocument::Compact)));
  s.Step();
  h.id = sqlite3_last_insert_rowid(db_);
  t.Commit();
}

std::vector<qint64> Store::Append(qint64 run, const std::vector<Entry>& entries) {
  std::vector<qint64> ids;
  if (entries.empty()) return ids;
  ids.reserve(entries.size());
  Transaction t(db_, path_);
  Statement s(db_, path_, "INSERT INTO entries (run, key, old, new, rows) VALUES (?1, ?2, ?3, ?4, ?5)");
  qint64 bytes = 0;
  for (const Entry& e : entries) {
    s.Bind(1, run).Bind(2, e.key).BindBlob(3, e.oldValue).BindBlob(4, e.newValue).Bind(5, e.rows);
    s.Step();
    s.Reset();
    ids.push_back(sqlite3_last_insert_rowid(db_));
    bytes += e.key.toUtf8().size() + e.oldValue.size() + e.newValue.size() + kEntryOverhead;
  }
  Statement size(db_, path_, "UPDATE runs SET bytes = bytes + ?2 WHERE id = ?1");
  size.Bind(1, run).Bind(2, bytes);
  size.Step();
  t.Commit();
  return ids;
}

void Store::SetProgress(qint64 run, const QString& ended, const QString& position, qint64 nextRecord) {
  Statement s(db_, path_, "UPDATE runs SET ended = ?2, position = ?3, next_record = ?4 WHERE id = ?1");
  s.Bind(1, run).Bind(2, ended).Bind(3, position).Bind(4, nextRecord);
  s.Step();
}

void Store::Revise(qint64 entry, qint64 rows, const QByteArray& newValue) {
  Statement s(db_, path_, "UPDATE entries SET rows = ?2, new = ?3 WHERE rowid = ?1");
  s.Bind(1, entry).Bind(2, rows).BindBlob(3, newValue);
  s.Step();
}

void Store::Prune(const Target& target, int keep) {
  Transaction t(db_, path_);
  Statement s(db_, path_, (QByteArray("DELETE FROM runs WHERE ") + kTargetWhere +
                    " AND id NOT IN (SELECT id FROM runs WHERE " + kTargetWhere + " ORDER BY id DESC LIMIT ?7)")
                       .constData());
  BindTarget(s, target);
  s.Bind(7, qint64(keep));
  s.Step();
  t.Commit();
}

namespace {

// A run's columns as ListedRun reads them, its rows and its size with them.
const char* kRunColumns =
    "SELECT id, server, port, database, tbl, field, mode, time, key_columns, charset, keyless, undone, "
    "(SELECT IFNULL(SUM(rows), 0) FROM entries WHERE run = runs.id), bytes, key_names, changed, "
    "CASE WHEN keyless = '' THEN 0 ELSE (SELECT COUNT(*) FROM entries WHERE run = runs.id AND rows > 0) END, "
    "server_id, words, filter, ended, position, next_record, shape, restored, lost "
    "FROM runs WHERE ";

Store::Listed ListedRun(const Statement& s) {
  Store::Listed l;
  RunHeader& h = l.header;
  h.id = s.Int(0);
  h.target = {s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Text(17)};
  h.mode = s.Text(6);
  h.time = QDateTime::fromString(s.Text(7), Qt::ISODateWithMs);
  h.keyColumns = s.Text(8);
  h.charset = s.Text(9);
  h.keyless = s.Text(10);
  h.undone = s.Int(11) != 0;
  h.rows = s.Int(12);
  l.bytes = s.Int(13);
  h.keyNames = KeyNames(s.Text(14));
  h.values = s.Int(16);
  h.words = s.Text(18);
  h.where = s.Text(19);
  h.ended = s.Text(20);
  h.position = s.Text(21);
  h.nextRecord = s.Int(22);
  h.shape = s.Text(23);
  h.restored = s.Int(24) != 0;
  h.lost = s.Int(25);
  if (!h.keyless.isEmpty() && s.Int(15) >= 0) h.rows = s.Int(15);
  return l;
}

}  // namespace

std::vector<Store::Listed> Store::Runs(const Target& where) {
  Statement s(db_, path_, (QByteArray(kRunColumns) +
                    "(CASE WHEN ?6 <> '' AND server_id <> '' THEN server_id = ?6 ELSE (?1 = '' OR server = ?1) AND "
                    "(?2 = '' OR port = ?2) END) AND (?3 = '' OR database = ?3) "
                    "AND (?4 = '' OR tbl = ?4) AND (?5 = '' OR field = ?5) ORDER BY id DESC")
                       .constData());
  BindTarget(s, where);
  std::vector<Listed> runs;
  while (s.Step()) runs.push_back(ListedRun(s));
  return runs;
}

void Store::PruneTotal(qint64 bytes, qint64 keep) {
  std::vector<std::pair<qint64, qint64>> runs;  // (id, bytes), oldest first
  qint64 total = 0;
  {
    Statement s(db_, path_, "SELECT id, bytes FROM runs ORDER BY id");
    while (s.Step()) {
      runs.emplace_back(s.Int(0), s.Int(1));
      total += s.Int(1);
    }
  }
  for (const auto& [id, size] : runs) {
    if (total <= bytes) break;
    if (id == keep) continue;
    Drop(id);
    total -= size;
  }
}

std::optional<RunHeader> Store::LastRun(const Target& target) {
  Statement s(db_, path_, (QByteArray(kRunColumns) + kTargetWhere + " AND undone = 0 ORDER BY id DESC LIMIT 1").constData());
  BindTarget(s, target);
  if (!s.Step()) return std::nullopt;
  return ListedRun(s).header;
}

void Store::ForEach(qint64 run, const std::function<void(const Entry&)>& each) {
  Statement s(db_, path_, "SELECT key, old, new, rows, rowid FROM entries WHERE run = ?1 ORDER BY rowid");
  s.Bind(1, run);
  while (s.Step()) each(Entry{s.Text(0), s.Blob(1), s.Blob(2), s.Int(3), s.Int(4)});
}

std::vector<Entry> Store::EntriesNewestFirst(qint64 run, qint64 beforeId, int limit) {
  std::vector<Entry> entries;
  if (limit <= 0) return entries;
  // entries_run holds (run, rowid): the page is one stretch of the index,
  // read backwards, however long the run.
  Statement s(db_, path_,
              "SELECT key, old, new, rows, rowid FROM entries INDEXED BY entries_run "
              "WHERE run = ?1 AND rowid < ?2 AND rows > 0 ORDER BY rowid DESC LIMIT ?3");
  s.Bind(1, run).Bind(2, beforeId > 0 ? beforeId : std::numeric_limits<qint64>::max()).Bind(3, qint64(limit));
  while (s.Step()) entries.push_back(Entry{s.Text(0), s.Blob(1), s.Blob(2), s.Int(3), s.Int(4)});
  return entries;
}

void Store::Settle(const std::vector<qint64>& entryIds) {
  if (entryIds.empty()) return;
  Transaction t(db_, path_);
  Statement s(db_, path_, "UPDATE entries SET rows = 0 WHERE rowid = ?1");
  for (const qint64 id : entryIds) {
    s.Bind(1, id);
    s.Step();
    s.Reset();
  }
  // The run is no longer what it was where it stopped: --resume must know.
  Statement run(db_, path_, "UPDATE runs SET restored = 1 WHERE id = (SELECT run FROM entries WHERE rowid = ?1)");
  run.Bind(1, entryIds.front());
  run.Step();
  t.Commit();
}

void Store::SetChanged(qint64 run, qint64 rows) {
  Statement s(db_, path_, "UPDATE runs SET changed = ?2 WHERE id = ?1");
  s.Bind(1, run);
  s.Bind(2, rows);
  s.Step();
}

qint64 Store::LostThrough() {
  Statement s(db_, path_, "SELECT value FROM facts WHERE name = 'lost_through'");
  return s.Step() ? s.Int(0) : 0;
}

void Store::MarkUndone(qint64 run) {
  Statement s(db_, path_, "UPDATE runs SET undone = 1 WHERE id = ?1");
  s.Bind(1, run);
  s.Step();
}

void Store::Drop(qint64 run) {
  Statement s(db_, path_, "DELETE FROM runs WHERE id = ?1");
  s.Bind(1, run);
  s.Step();
}

int Store::RunCount(const Target& target) {
  Statement s(db_, path_, (QByteArray("SELECT COUNT(*) FROM runs WHERE ") + kTargetWhere).constData());
  BindTarget(s, target);
  s.Step();
  return int(s.Int(0));
}

// Recovery: what a damaged journal still holds, into a new one.

namespace {

constexpr qint64 kLast = std::numeric_limits<qint64>::max();
const char* const kCompanions[] = {"-wal", "-shm", "-journal"};

using Query = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

// A statement on the damaged file, or none where it cannot be prepared.
Query Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  return Query(stmt, sqlite3_finalize);
}

// Rowids strictly between `after` and `before` that could not be read.
struct Gap {
  qint64 after, before;
};

// Reads the rows `select` gives past rowid ?1, in rowid order (rowid first),
// past the pages that fail: where a row fails, seeks further ahead in
// doubling steps until a row reads again, then back by halves to the first
// place that reads, and goes on from there. Returns the stretches of rowids
// it could not read; where readable pages lie between unreadable ones the
// stretch may take them in too (the index finds their rows again).
std::vector<Gap> ReadPast(sqlite3* db, const char* select, const std::function<void(sqlite3_stmt*)>& each) {
  const Query s = Prepare(db, select);
  if (!s) return {{0, kLast}};
  const auto from = [&](qint64 rowid) {
    sqlite3_reset(s.get());
    sqlite3_bind_int64(s.get(), 1, rowid);
    return sqlite3_step(s.get());
  };
  const auto reads = [](int rc) { return rc == SQLITE_ROW || rc == SQLITE_DONE; };
  std::vector<Gap> gaps;
  qint64 last = 0;  // the last rowid read
  int rc = from(last);
  for (;;) {
    for (; rc == SQLITE_ROW; rc = sqlite3_step(s.get())) {
      // A damaged page can lead back to rows already read: that is a
      // failure too, never a second pass.
      const qint64 rowid = sqlite3_column_int64(s.get(), 0);
      if (rowid <= last) {
        rc = SQLITE_CORRUPT;
        break;
      }
      last = rowid;
      each(s.get());
    }
    if (rc == SQLITE_DONE) return gaps;
    qint64 failed = last, found = kLast;
    for (qint64 step = 1;; step = std::min(step * 2, qint64(1) << 61)) {
      qint64 at = 0;
      if (__builtin_add_overflow(failed, step, &at)) at = kLast;
      if (reads(from(at))) {
        found = at;
        break;
      }
      if (at == kLast) {
        gaps.push_back({last, kLast});
        return gaps;
      }
      failed = at;
    }
    while (found - failed > 1) {
      const qint64 mid = failed + (found - failed) / 2;
      (reads(from(mid)) ? found : failed) = mid;
    }
    rc = from(found);
    gaps.push_back({last, rc == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : kLast});
    if (rc != SQLITE_ROW) return gaps;
  }
}

bool Exists(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool Move(const QString& from, const QString& to) {
  return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Moves the journal at `aside` and its companions back to `path`.
bool MoveBack(const QString& aside, const QString& path) {
  bool moved = Move(aside, path);
  for (const char* side : kCompanions)
    if (Exists(aside + side)) moved = Move(aside + side, path + side) && moved;
  return moved;
}

// Moves the journal and its companions, together, to a name of their own
// beside it, the owner's alone; returns that name.
QString MoveAside(const QString& path) {
  if (!Exists(path)) throw Error(QStringLiteral("There is no undo journal at %1.").arg(path).toStdString());
  const QString stamp = path + QStringLiteral(".damaged-") +
                        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  QString aside = stamp;
  const auto taken = [&] {
    if (Exists(aside)) return true;
    for (const char* side : kCompanions)
      if (Exists(aside + side)) return true;
    return false;
  };
  for (int n = 2; taken(); ++n) aside = stamp + QLatin1Char('-') + QString::number(n);
  const auto fail = [&] {
    throw Error(QStringLiteral("The damaged undo journal %1 cannot be moved to %2: %3")
                    .arg(path, aside, QString::fromLocal8Bit(strerror(errno)))
                    .toStdString());
  };
  if (!Move(path, aside)) fail();
  for (const char* side : kCompanions) {
    // A log left behind would be read into the new journal at `path`.
    if (Exists(path + side) && !Move(path + side, aside + side)) {
      const int why = errno;
      MoveBack(aside, path);
      errno = why;
      fail();
    }
  }
  ::chmod(QFile::encodeName(aside).constData(), 0600);
  for (const char* side : kCompanions) ::chmod(QFile::encodeName(aside + side).constData(), 0600);
  return aside;
}

// The damaged file opened to read only. With a write-ahead log it is read
// through the log (SQLite may then add an index file beside it, which goes
// again when this does); without one, as an immutable file, which adds
// nothing beside it. Either way a file cut short is read as far as it goes
// (writable_schema) rather than refused whole.
class DamagedFile {
 public:
  explicit DamagedFile(const QString& file) {
    for (const char* side : {"-wal", "-shm"})
      if (!Exists(file + side)) added_.push_back(file + side);
    const QByteArray uri = "file:" + QFile::encodeName(QFileInfo(file).absoluteFilePath()).toPercentEncoding("/");
    std::vector<QByteArray> ways{uri + "?immutable=1"};
    if (QFileInfo(file + "-wal").size() > 0) ways.insert(ways.begin(), uri + "?mode=ro");
    for (const QByteArray& way : ways) {
      if (sqlite3_open_v2(way.constData(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                          nullptr) == SQLITE_OK) {
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_exec(db_, "PRAGMA writable_schema = ON; PRAGMA cell_size_check = ON", nullptr, nullptr, nullptr);
        // Where the schema fails for the file's damage, no other way reads it.
        const int rc = sqlite3_exec(db_, "SELECT COUNT(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK || IsDamage(rc)) return;
      }
      Close();
    }
  }
  ~DamagedFile() {
    Close();
    for (const QString& side : added_) QFile::remove(side);
  }
  DamagedFile(const DamagedFile&) = delete;
  DamagedFile& operator=(const DamagedFile&) = delete;

  sqlite3* db() const { return db_; }

 private:
  void Close() {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  std::vector<QString> added_;  // the companions SQLite may add
  sqlite3* db_ = nullptr;
};

}  // namespace

void Store::CopyReadable(const QString& file) {
  const DamagedFile damaged(file);
  sqlite3* in = damaged.db();
  if (!in) return;
  // Older journals lack some of the runs' columns.
  QSet<QByteArray> present;
  {
    const Query columns = Prepare(in, "PRAGMA table_info(runs)");
    if (!columns) return;
    while (sqlite3_step(columns.get()) == SQLITE_ROW)
      if (const char* name = reinterpret_cast<const char*>(sqlite3_column_text(columns.get(), 1))) present.insert(name);
  }
  Transaction t(db_, path_);

  // The runs whose header went in: the rowids of the entries read for each,
  // in order, and whether any was refused or found missing.
  struct Read {
    std::vector<qint64> rowids;
    bool whole = true;
    qint64 lost = 0;  // entries not read (-1: some)
  };
  std::map<qint64, Read> runs;
  qint64 highest = 0;  // the highest run number the damaged journal gave out
  {
    QByteArray names = "id, server, port, database, tbl, field, mode, time, key_columns, charset, keyless, undone";
    QByteArray values = "?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12";
    QByteArray select = "SELECT " + names;
    int count = 12;
    for (const AddedColumn& c : kAddedColumns) {
      ++count;
      names += QByteArray(", ") + c.name;
      const QByteArray slot = '?' + QByteArray::number(count);
      values += ", " + (QByteArray(c.name) == "bytes" ? "IFNULL(" + slot + ", 0)" : slot);
      select += ", " + (present.contains(c.name) ? QByteArray(c.name) : QByteArray(c.older));
    }
    Statement header(db_, path_, ("INSERT INTO runs (" + names + ") VALUES (" + values + ")").constData());
    select += " FROM runs NOT INDEXED WHERE id > ?1 ORDER BY id";
    ReadPast(in, select.constData(), [&](sqlite3_stmt* h) {
      const qint64 id = sqlite3_column_int64(h, 0);
      for (int i = 0; i < count; ++i) header.BindValue(i + 1, sqlite3_column_value(h, i));
      if (header.StepUnlessRefused() == SQLITE_DONE) runs[id];
      header.Reset();
      highest = std::max(highest, id);
    });
  }

  Statement entry(db_, path_, "INSERT INTO entries (rowid, run, key, old, new, rows) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  // Copies an entry of a run whose header went in, its values as they are.
  const auto copy = [&](sqlite3_stmt* e) {
    for (int i = 0; i < 6; ++i) entry.BindValue(i + 1, sqlite3_column_value(e, i));
    const bool went = entry.StepUnlessRefused() == SQLITE_DONE;
    entry.Reset();
    return went;
  };
  // Read in the table's own order: an index that is damaged loses nothing.
  const std::vector<Gap> gaps = ReadPast(
      in, "SELECT rowid, run, key, old, new, rows FROM entries NOT INDEXED WHERE rowid > ?1 ORDER BY rowid",
      [&](sqlite3_stmt* e) {
        const auto r = runs.find(sqlite3_column_int64(e, 1));
        if (r == runs.end()) return;
        if (copy(e)) r->second.rowids.push_back(sqlite3_column_int64(e, 0));
        else r->second.whole = false;
      });

  // A run is whole where every entry the index lists for it was read, from
  // the scan or, for those it passed over, by its number. Where the index
  // cannot list them, where the run has no entries left, or its entries
  // reach up to or across a stretch that failed, it may have lost some.
  const Query listed = Prepare(in, "SELECT rowid FROM entries INDEXED BY entries_run WHERE run = ?1 ORDER BY rowid");
  const Query one = Prepare(in, "SELECT rowid, run, key, old, new, rows FROM entries NOT INDEXED WHERE rowid = ?1");
  const auto rescue = [&](qint64 rowid, qint64 run) {
    if (!one) return false;
    sqlite3_reset(one.get());
    sqlite3_bind_int64(one.get(), 1, rowid);
    return sqlite3_step(one.get()) == SQLITE_ROW && sqlite3_column_int64(one.get(), 1) == run && copy(one.get());
  };
  for (auto& [id, read] : runs) {
    int rc = SQLITE_ERROR;
    bool rescued = false;
    qint64 listedCount = 0, missing = 0;
    if (listed) {
      sqlite3_reset(listed.get());
      sqlite3_bind_int64(listed.get(), 1, id);
      auto next = read.rowids.cbegin();
      while ((rc = sqlite3_step(listed.get())) == SQLITE_ROW) {
        ++listedCount;
        const qint64 rowid = sqlite3_column_int64(listed.get(), 0);
        next = std::lower_bound(next, read.rowids.cend(), rowid);
        if (next != read.rowids.cend() && *next == rowid) continue;
        if (!rescue(rowid, id)) ++missing;
        rescued = true;
      }
    }
    // Where the index listed them all, the entries neither read nor
    // rescued are the ones lost; else their number is not known.
    read.lost = rc == SQLITE_DONE ? missing : -1;
    if (rc == SQLITE_DONE) {
      read.whole = read.whole && missing == 0;
      if (read.whole) read.lost = 0;
      continue;
    }
    if (!read.whole) continue;
    if (rescued) {
      read.whole = false;
    } else if (!gaps.empty()) {
      read.whole = !read.rowids.empty();
      for (const Gap& g : gaps)
        if (read.whole && read.rowids.front() <= g.before && read.rowids.back() >= g.after) read.whole = false;
    }
  }
  {
    // A run that lost entries stays, with every entry that could be read,
    // and says how many it lost: its undo restores the rest.
    Statement lost(db_, path_, "UPDATE runs SET lost = ?2 WHERE id = ?1");
    for (const auto& [id, read] : runs) {
      if (read.whole) continue;
      lost.Bind(1, id).Bind(2, read.lost == 0 ? -1 : read.lost);
      lost.Step();
      lost.Reset();
    }
  }
  const qint64 newestRead = runs.empty() ? 0 : runs.rbegin()->first;
  if (!present.contains("bytes"))
    Exec("UPDATE runs SET bytes = (SELECT IFNULL(SUM(LENGTH(CAST(key AS BLOB)) + LENGTH(old) + LENGTH(new) + 16), 0) "
         "FROM entries WHERE run = runs.id)");
  // Runs to come are numbered past every run the damaged journal gave out,
  // those left out included.
  if (const Query seq = Prepare(in, "SELECT seq FROM sqlite_sequence WHERE name = 'runs'");
      seq && sqlite3_step(seq.get()) == SQLITE_ROW)
    highest = std::max(highest, sqlite3_column_int64(seq.get(), 0));
  // Runs numbered past the newest one read were lost whole: until a run is
  // made past them, "the newest run" is not known.
  if (highest > newestRead) {
    Statement fact(db_, path_, "INSERT OR REPLACE INTO facts (name, value) VALUES ('lost_through', ?1)");
    fact.Bind(1, highest).Step();
  }
  if (highest > 0) {
    Statement raise(db_, path_, "UPDATE sqlite_sequence SET seq = MAX(seq, ?1) WHERE name = 'runs'");
    raise.Bind(1, highest).Step();
    if (sqlite3_changes(db_) == 0) {
      Statement first(db_, path_, "INSERT INTO sqlite_sequence (name, seq) VALUES ('runs', ?1)");
      first.Bind(1, highest).Step();
    }
  }
  t.Commit();
}

QString Store::Recover(const QString& path) {
  const QString aside = MoveAside(path);
  try {
    Store fresh(path);
    fresh.CopyReadable(aside);
  } catch (const Error& e) {
    // Everything back as it was, so that recovering can be tried again.
    for (const QString& side : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
      QFile::remove(path + side);
    if (!MoveBack(aside, path))
      throw Error(std::string(e.what()) + " The damaged journal is kept as " + aside.toStdString() + ".");
    throw;
  }
  return aside;
}

}  // namespace Journal
