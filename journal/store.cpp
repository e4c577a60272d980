#include "journal/store.h"

#include <QDateTime>
#include <QDir>
#include <QSet>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "journal/pack.h"
#include "journal/schema.h"
#include "journal/sqlite.h"

namespace Journal {

namespace {

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
  key TEXT NOT NULL, old BLOB NOT NULL, new BLOB NOT NULL, rows INTEGER NOT NULL,
  field INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS entries_run ON entries (run);
CREATE INDEX IF NOT EXISTS entries_rows ON entries (run, rows);
CREATE TABLE IF NOT EXISTS facts (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
)";

QStringList KeyNames(const QString& json) {
  QStringList names;
  if (json.isEmpty()) return names;
  for (const QJsonValue& v : QJsonDocument::fromJson(json.toUtf8()).array()) names << v.toString();
  return names;
}

void BindTarget(Statement& s, const Target& t) {
  s.Bind(1, t.server).Bind(2, t.port).Bind(3, t.database).Bind(4, t.table).Bind(5, t.field).Bind(6, t.serverId);
}

// The server by its identity where the run (server_id) and the target (?6)
// both have one, else by how it was reached: `reached`, a test of server and
// port (?1, ?2). NV_SAME_SERVER is the twin of SameServer below, which says
// the same in C++: the two change together.
#define NV_SAME_SERVER_ELSE(reached) "(CASE WHEN ?6 <> '' AND server_id <> '' THEN server_id = ?6 ELSE " reached " END)"
#define NV_SAME_SERVER NV_SAME_SERVER_ELSE("server = ?1 AND port = ?2")
// A run's field: its only one, or one of those it converted together.
#define NV_HAS_FIELD \
  "(field = ?5 OR EXISTS (SELECT 1 FROM json_each(CASE WHEN runs.fields = '' THEN '[]' ELSE runs.fields END) " \
  "WHERE value = ?5))"
const char* kTargetWhere = NV_SAME_SERVER " AND database = ?3 AND tbl = ?4 AND " NV_HAS_FIELD;

QString JsonList(const QStringList& list) {
  return list.isEmpty() ? QString()
                        : QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact));
}

}  // namespace

// NV_SAME_SERVER above, in C++.
bool SameServer(const Target& made, const QString& server, const QString& port, const QString& serverId) {
  if (!serverId.isEmpty() && !made.serverId.isEmpty()) return made.serverId == serverId;
  return made.server == server && made.port == port;
}

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
    Exec(db_, path_, "PRAGMA journal_mode = WAL");
    Exec(db_, path_, "PRAGMA synchronous = FULL");
    Exec(db_, path_, "PRAGMA foreign_keys = ON");
    // An old run dropped, or a pack rewritten as an undo settles it, leaves
    // no trace in the pages that stay; the pages it freed are not written
    // over with zeros first (as some builds of SQLite do by default), only
    // reused by the runs that follow. Zeroing them wrote a dropped run's
    // whole size to the log and the file again: a third of a second per
    // million entries dropped at the end of every run once the journal had
    // reached its size.
    Exec(db_, path_, "PRAGMA secure_delete = FAST");
    // Written in order and read once: a small page cache does, as long as
    // it holds the entries' index path and a group's pages.
    Exec(db_, path_, "PRAGMA cache_size = -4096");
    Exec(db_, path_, kSchema);
    // Older journals learn the columns they lack; their entries hold
    // conditions, not key values, and their runs learn their size once.
    QSet<QString> present;
    {
      Statement columns(db_, path_, "PRAGMA table_info(runs)");
      while (columns.Step()) present.insert(columns.Text(1));
    }
    {
      QSet<QString> entryColumns;
      Statement columns(db_, path_, "PRAGMA table_info(entries)");
      while (columns.Step()) entryColumns.insert(columns.Text(1));
      for (const AddedColumn& c : {kEntryField, kEntryItems})
        if (!entryColumns.contains(QLatin1String(c.name)))
          Exec(db_, path_, (QByteArray("ALTER TABLE entries ADD COLUMN ") + c.name + ' ' + c.definition).constData());
    }
    for (const AddedColumn& c : kAddedColumns) {
      if (present.contains(QLatin1String(c.name))) continue;
      Exec(db_, path_, (QByteArray("ALTER TABLE runs ADD COLUMN ") + c.name + ' ' + c.definition).constData());
      // Runs already there were not counted.
      if (QByteArray(c.name) == "entries") Exec(db_, path_, "UPDATE runs SET entries = -1");
      if (QByteArray(c.name) == "bytes")
        Exec(db_, path_,
             ("UPDATE runs SET bytes = (SELECT IFNULL(SUM(LENGTH(key) + LENGTH(old) + LENGTH(new) + " +
              QByteArray::number(kEntryBytes) + "), 0) FROM entries WHERE run = runs.id)")
                 .constData());
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

void Store::BeginRun(RunHeader& h) {
  Transaction t(db_, path_);
  Statement s(db_, path_,
              "INSERT INTO runs (server, port, database, tbl, field, server_id, mode, time, key_columns, charset, "
              "keyless, key_names, words, filter, ended, shape, fields, modes) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?12, ?7, "
              "?8, ?9, ?10, ?11, ?13, ?14, ?15, ?16, ?17, ?18)");
  BindTarget(s, h.target);
  s.Bind(12, h.mode).Bind(7, h.time.toUTC().toString(Qt::ISODateWithMs)).Bind(8, h.keyColumns).Bind(9, h.charset);
  s.Bind(10, h.keyless).Bind(13, h.words).Bind(14, h.where).Bind(15, h.ended).Bind(16, h.shape);
  s.Bind(11, JsonList(h.keyNames)).Bind(17, JsonList(h.fields)).Bind(18, JsonList(h.modes));
  s.Step();
  h.id = sqlite3_last_insert_rowid(db_);
  t.Commit();
}

std::vector<qint64> Store::Append(qint64 run, const std::vector<Entry>& entries) {
  std::vector<EntryView> views;
  views.reserve(entries.size());
  for (const Entry& e : entries) views.push_back({&e.key, &e.oldValue, &e.newValue, e.rows, e.field});
  return Append(run, views);
}

std::vector<qint64> Store::Append(qint64 run, const std::vector<EntryView>& entries) {
  std::vector<qint64> ids;
  if (entries.empty()) return ids;
  ids.reserve(entries.size());
  Transaction t(db_, path_);
  Statement s(db_, path_,
              "INSERT INTO entries (run, key, old, new, rows, field, items) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  qint64 bytes = 0;
  // Entries of rows found by key, one row each, go in packs; one alone, or
  // one of a table without a key, which stands for many rows and is counted
  // by the server, in a row of its own.
  const bool inPacks = entries.size() > 1 && std::all_of(entries.begin(), entries.end(), [](const EntryView& e) {
                        return e.rows == 1 && !e.key->isEmpty();
                      });
  if (inPacks) {
    for (size_t from = 0; from < entries.size(); from += kPackMost) {
      const size_t to = std::min(entries.size(), from + kPackMost);
      const qint64 count = qint64(to - from);
      const QByteArray packed = Pack(entries.data() + from, entries.data() + to, bytes), none("");
      s.Bind(1, run).BindText(2, none).BindBlob(3, packed).BindBlob(4, none);
      s.Bind(5, count).Bind(6, qint64(0)).Bind(7, count);
      s.Step();
      s.Reset();
      const qint64 rowid = sqlite3_last_insert_rowid(db_);
      for (qint64 i = 0; i < count; ++i) ids.push_back(EntryId(rowid, i));
    }
  } else {
    for (const EntryView& e : entries) {
      const QByteArray key = e.key->toUtf8();
      s.Bind(1, run).BindText(2, key).BindBlob(3, *e.oldValue).BindBlob(4, *e.newValue).Bind(5, e.rows);
      s.Bind(6, qint64(e.field)).Bind(7, qint64(0));
      s.Step();
      s.Reset();
      ids.push_back(EntryId(sqlite3_last_insert_rowid(db_), 0));
      bytes += key.size() + e.oldValue->size() + e.newValue->size() + kEntryBytes;
    }
  }
  Statement size(db_, path_,
                 "UPDATE runs SET bytes = bytes + ?2, entries = CASE WHEN entries < 0 THEN entries ELSE entries + ?3 END "
                 "WHERE id = ?1");
  size.Bind(1, run).Bind(2, bytes).Bind(3, qint64(entries.size()));
  size.Step();
  t.Commit();
  return ids;
}

namespace {

// Changes the entries `ids` (Entry::id) in place, one transaction's work:
// a row of one entry goes to `plain`, with the places in `ids` that name it,
// which says whether the row was one; the rest are packs, each read once,
// its entries that `ids` name given to `change` with their place in `ids`,
// and written back with its count of live ones.
void ChangeEntries(sqlite3* db, const QString& path, const std::vector<qint64>& ids,
                   const std::function<bool(qint64 rowid, const std::vector<size_t>& which)>& plain,
                   const std::function<void(Packed& entry, size_t which)>& change) {
  std::map<qint64, std::vector<size_t>> byRow;
  for (size_t i = 0; i < ids.size(); ++i) byRow[RowOf(ids[i])].push_back(i);
  Statement read(db, path, "SELECT old FROM entries WHERE rowid = ?1 AND items > 0");
  Statement write(db, path, "UPDATE entries SET old = ?2, rows = ?3 WHERE rowid = ?1");
  for (const auto& [rowid, which] : byRow) {
    if (PlaceOf(ids[which.front()]) == 0 && plain(rowid, which)) continue;
    read.Bind(1, rowid);
    if (!read.Step()) {
      read.Reset();
      continue;
    }
    std::vector<Packed> items = Unpack(read.Blob(0), path);
    read.Reset();
    for (const size_t i : which)
      if (size_t(PlaceOf(ids[i])) < items.size()) change(items[size_t(PlaceOf(ids[i]))], i);
    const QByteArray packed = Pack(items);
    write.Bind(1, rowid).BindBlob(2, packed).Bind(3, LiveRows(items));
    write.Step();
    write.Reset();
  }
}

}  // namespace

void Store::Revise(qint64 entry, qint64 rows, const QByteArray& newValue) {
  Revise(std::vector<Revision>{{entry, rows, newValue}});
}

void Store::Revise(const std::vector<Revision>& revisions) {
  if (revisions.empty()) return;
  Transaction t(db_, path_);
  Statement plain(db_, path_, "UPDATE entries SET rows = ?2, new = ?3 WHERE rowid = ?1 AND items = 0");
  std::vector<qint64> ids;
  for (const Revision& r : revisions) ids.push_back(r.entry);
  ChangeEntries(
      db_, path_, ids,
      [&](qint64 rowid, const std::vector<size_t>& which) {
        bool one = false;
        for (const size_t i : which) {
          plain.Bind(1, rowid).Bind(2, revisions[i].rows).BindBlob(3, revisions[i].newValue);
          plain.Step();
          plain.Reset();
          one = one || sqlite3_changes(db_) > 0;
        }
        return one;
      },
      [&](Packed& entry, size_t i) {
        entry.rows = revisions[i].rows > 0 ? 1 : 0;
        entry.newValue = revisions[i].newValue;
      });
  t.Commit();
}

void Store::SetProgress(qint64 run, const QString& ended, const QString& position, qint64 nextRecord) {
  Statement s(db_, path_, "UPDATE runs SET ended = ?2, position = ?3, next_record = ?4 WHERE id = ?1");
  s.Bind(1, run).Bind(2, ended).Bind(3, position).Bind(4, nextRecord);
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
// Its rows are summed from entries_rows alone: a pack's count lies behind
// its values, which span pages of their own, and reading them for it took a
// tenth of a second per million entries at every undo and history.
const char* kRunColumns =
    "SELECT id, server, port, database, tbl, field, mode, time, key_columns, charset, keyless, undone, "
    "(SELECT IFNULL(SUM(rows), 0) FROM entries WHERE run = runs.id), bytes, key_names, changed, "
    "CASE WHEN keyless = '' THEN 0 ELSE (SELECT COUNT(*) FROM entries WHERE run = runs.id AND rows > 0) END, "
    "server_id, words, filter, ended, position, next_record, shape, restored, lost, fields, modes "
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
  h.fields = KeyNames(s.Text(26));
  h.modes = KeyNames(s.Text(27));
  if (!h.keyless.isEmpty() && s.Int(15) >= 0) h.rows = s.Int(15);
  return l;
}

}  // namespace

std::vector<Store::Listed> Store::Runs(const Target& where) {
  // The same server as LastRun finds, where the server and port are given.
  Statement s(db_, path_, (QByteArray(kRunColumns) +
                    NV_SAME_SERVER_ELSE("(?1 = '' OR server = ?1) AND (?2 = '' OR port = ?2)")
                    " AND (?3 = '' OR database = ?3) "
                    "AND (?4 = '' OR tbl = ?4) AND (?5 = '' OR " NV_HAS_FIELD ") ORDER BY id DESC")
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

std::vector<Entry> Store::EntriesNewestFirst(qint64 run, qint64 beforeId, int limit) {
  std::vector<Entry> entries;
  if (limit <= 0) return entries;
  const qint64 before = beforeId > 0 ? beforeId : std::numeric_limits<qint64>::max();
  // entries_run holds (run, rowid): the page is one stretch of the index,
  // read backwards, however long the run. A pack's entries come newest
  // first too, and a page may end inside one.
  Statement s(db_, path_,
              "SELECT key, old, new, rows, rowid, field, items FROM entries INDEXED BY entries_run "
              "WHERE run = ?1 AND rowid <= ?2 AND rows > 0 ORDER BY rowid DESC");
  s.Bind(1, run).Bind(2, RowOf(before));
  while (qsizetype(entries.size()) < limit && s.Step()) {
    const qint64 rowid = s.Int(4);
    if (s.Int(6) == 0) {
      if (EntryId(rowid, 0) < before)
        entries.push_back(Entry{s.Text(0), s.Blob(1), s.Blob(2), s.Int(3), EntryId(rowid, 0), int(s.Int(5))});
      continue;
    }
    const std::vector<Packed> items = Unpack(s.Blob(1), path_);
    for (qsizetype i = qsizetype(items.size()) - 1; i >= 0 && qsizetype(entries.size()) < limit; --i) {
      const Packed& p = items[size_t(i)];
      const qint64 id = EntryId(rowid, i);
      if (p.rows > 0 && id < before)
        entries.push_back(Entry{QString::fromUtf8(p.key), p.oldValue, p.newValue, p.rows, id, p.field});
    }
  }
  return entries;
}

void Store::Settle(const std::vector<qint64>& entryIds) {
  if (entryIds.empty()) return;
  Transaction t(db_, path_);
  Statement plain(db_, path_, "UPDATE entries SET rows = 0 WHERE rowid = ?1 AND items = 0");
  ChangeEntries(
      db_, path_, entryIds,
      [&](qint64 rowid, const std::vector<size_t>&) {
        plain.Bind(1, rowid);
        plain.Step();
        plain.Reset();
        return sqlite3_changes(db_) > 0;
      },
      [](Packed& entry, size_t) { entry.rows = 0; });
  // The run is no longer what it was where it stopped: --resume must know.
  Statement run(db_, path_, "UPDATE runs SET restored = 1 WHERE id = (SELECT run FROM entries WHERE rowid = ?1)");
  run.Bind(1, RowOf(entryIds.front()));
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

}  // namespace Journal
