#include "journal/store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Journal {

namespace {

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
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
    // A zero-length blob, not NULL, for the empty value.
    Check(sqlite3_bind_blob64(stmt_, i, bytes.isEmpty() ? "" : bytes.constData(), sqlite3_uint64(bytes.size()),
                              SQLITE_TRANSIENT));
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Throw();
    return false;
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
  [[noreturn]] void Throw() {
    throw Error(QStringLiteral("The undo journal cannot be written: %1").arg(QString::fromUtf8(sqlite3_errmsg(db_))).toStdString());
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls an open transaction back unless it was committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
      throw Error(QStringLiteral("The undo journal cannot be written: %1").arg(QString::fromUtf8(sqlite3_errmsg(db_))).toStdString());
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
      throw Error(QStringLiteral("The undo journal cannot be written: %1").arg(QString::fromUtf8(sqlite3_errmsg(db_))).toStdString());
    done_ = true;
  }

 private:
  sqlite3* db_;
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
)";

const char* kTargetWhere = "server = ?1 AND port = ?2 AND database = ?3 AND tbl = ?4 AND field = ?5";

QStringList KeyNames(const QString& json) {
  QStringList names;
  if (json.isEmpty()) return names;
  for (const QJsonValue& v : QJsonDocument::fromJson(json.toUtf8()).array()) names << v.toString();
  return names;
}

void BindTarget(Statement& s, const Target& t) {
  s.Bind(1, t.server).Bind(2, t.port).Bind(3, t.database).Bind(4, t.table).Bind(5, t.field);
}

}  // namespace

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
    // Journals from before runs kept their size learn it once; their
    // entries hold conditions, not key values.
    bool sized = false, named = false;
    {
      Statement columns(db_, "PRAGMA table_info(runs)");
      while (columns.Step()) {
        sized = sized || columns.Text(1) == QLatin1String("bytes");
        named = named || columns.Text(1) == QLatin1String("key_names");
      }
    }
    if (!named) Exec("ALTER TABLE runs ADD COLUMN key_names TEXT NOT NULL DEFAULT ''");
    if (!sized) {
      Exec("ALTER TABLE runs ADD COLUMN bytes INTEGER NOT NULL DEFAULT 0");
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
    Fail(why);
  }
}

void Store::Fail(const QString& what) {
  throw Error(QStringLiteral("The undo journal %1 cannot be written: %2").arg(path_, what).toStdString());
}

void Store::BeginRun(RunHeader& h) {
  Transaction t(db_);
  Statement s(db_,
              "INSERT INTO runs (server, port, database, tbl, field, mode, time, key_columns, charset, keyless, "
              "key_names) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  BindTarget(s, h.target);
  s.Bind(6, h.mode).Bind(7, h.time.toUTC().toString(Qt::ISODateWithMs)).Bind(8, h.keyColumns).Bind(9, h.charset);
  s.Bind(10, h.keyless);
  s.Bind(11, h.keyNames.isEmpty() ? QString() : QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(h.keyNames)).toJson(QJsonDocument::Compact)));
  s.Step();
  h.id = sqlite3_last_insert_rowid(db_);
  t.Commit();
}

std::vector<qint64> Store::Append(qint64 run, const std::vector<Entry>& entries) {
  std::vector<qint64> ids;
  if (entries.empty()) return ids;
  ids.reserve(entries.size());
  Transaction t(db_);
  Statement s(db_, "INSERT INTO entries (run, key, old, new, rows) VALUES (?1, ?2, ?3, ?4, ?5)");
  qint64 bytes = 0;
  for (const Entry& e : entries) {
    s.Bind(1, run).Bind(2, e.key).BindBlob(3, e.oldValue).BindBlob(4, e.newValue).Bind(5, e.rows);
    s.Step();
    s.Reset();
    ids.push_back(sqlite3_last_insert_rowid(db_));
    bytes += e.key.toUtf8().size() + e.oldValue.size() + e.newValue.size() + kEntryOverhead;
  }
  Statement size(db_, "UPDATE runs SET bytes = bytes + ?2 WHERE id = ?1");
  size.Bind(1, run).Bind(2, bytes);
  size.Step();
  t.Commit();
  return ids;
}

void Store::Revise(qint64 entry, qint64 rows, const QByteArray& newValue) {
  Statement s(db_, "UPDATE entries SET rows = ?2, new = ?3 WHERE rowid = ?1");
  s.Bind(1, entry).Bind(2, rows).BindBlob(3, newValue);
  s.Step();
}

void Store::Prune(const Target& target, int keep) {
  Transaction t(db_);
  Statement s(db_, (QByteArray("DELETE FROM runs WHERE ") + kTargetWhere +
                    " AND id NOT IN (SELECT id FROM runs WHERE " + kTargetWhere + " ORDER BY id DESC LIMIT ?6)")
                       .constData());
  BindTarget(s, target);
  s.Bind(6, qint64(keep));
  s.Step();
  t.Commit();
}

namespace {

// A run's columns as ListedRun reads them, its rows and its size with them.
const char* kRunColumns =
    "SELECT id, server, port, database, tbl, field, mode, time, key_columns, charset, keyless, undone, "
    "(SELECT IFNULL(SUM(rows), 0) FROM entries WHERE run = runs.id), bytes, key_names FROM runs WHERE ";

Store::Listed ListedRun(const Statement& s) {
  Store::Listed l;
  RunHeader& h = l.header;
  h.id = s.Int(0);
  h.target = {s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5)};
  h.mode = s.Text(6);
  h.time = QDateTime::fromString(s.Text(7), Qt::ISODateWithMs);
  h.keyColumns = s.Text(8);
  h.charset = s.Text(9);
  h.keyless = s.Text(10);
  h.undone = s.Int(11) != 0;
  h.rows = s.Int(12);
  l.bytes = s.Int(13);
  h.keyNames = KeyNames(s.Text(14));
  return l;
}

}  // namespace

std::vector<Store::Listed> Store::Runs(const Target& where) {
  Statement s(db_, (QByteArray(kRunColumns) +
                    "(?1 = '' OR server = ?1) AND (?2 = '' OR port = ?2) AND (?3 = '' OR database = ?3) "
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
    Statement s(db_, "SELECT id, bytes FROM runs ORDER BY id");
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
  Statement s(db_, (QByteArray(kRunColumns) + kTargetWhere + " AND undone = 0 ORDER BY id DESC LIMIT 1").constData());
  BindTarget(s, target);
  if (!s.Step()) return std::nullopt;
  return ListedRun(s).header;
}

void Store::ForEach(qint64 run, const std::function<void(const Entry&)>& each) {
  Statement s(db_, "SELECT key, old, new, rows FROM entries WHERE run = ?1 ORDER BY rowid");
  s.Bind(1, run);
  while (s.Step()) each(Entry{s.Text(0), s.Blob(1), s.Blob(2), s.Int(3)});
}

void Store::MarkUndone(qint64 run) {
  Statement s(db_, "UPDATE runs SET undone = 1 WHERE id = ?1");
  s.Bind(1, run);
  s.Step();
}

void Store::Drop(qint64 run) {
  Statement s(db_, "DELETE FROM runs WHERE id = ?1");
  s.Bind(1, run);
  s.Step();
}

int Store::RunCount(const Target& target) {
  Statement s(db_, (QByteArray("SELECT COUNT(*) FROM runs WHERE ") + kTargetWhere).constData());
  BindTarget(s, target);
  s.Step();
  return int(s.Int(0));
}

}  // namespace Journal
