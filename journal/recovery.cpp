// Recovery: what a damaged journal still holds, into a new one.
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <sys/stat.h>

#include "journal/schema.h"
#include "journal/sqlite.h"
#include "journal/store.h"

namespace Journal {

namespace {

constexpr qint64 kLast = std::numeric_limits<qint64>::max();
const char* const kCompanions[] = {"-wal", "-shm", "-journal"};

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

// The runs whose header went in, by number: the rowids of the entries read
// for each, in order, and whether any was refused or found missing.
struct ReadRun {
  std::vector<qint64> rowids;
  bool whole = true;
  qint64 lost = 0;  // entries not read (-1: some)
};
using ReadRuns = std::map<qint64, ReadRun>;

// The runs' columns the damaged journal has: older journals lack some. None
// where it cannot tell.
std::optional<QSet<QByteArray>> Columns(sqlite3* in, const char* pragma) {
  const Query columns = Prepare(in, pragma);
  if (!columns) return std::nullopt;
  QSet<QByteArray> present;
  while (sqlite3_step(columns.get()) == SQLITE_ROW)
    if (const char* name = reinterpret_cast<const char*>(sqlite3_column_text(columns.get(), 1))) present.insert(name);
  return present;
}

// Copies every run header of the damaged journal `in` that can be read and
// goes in, into `runs`; a column it lacks takes its value for older runs.
// Returns the highest run number read, those refused included.
qint64 CopyHeaders(sqlite3* in, sqlite3* out, const QString& path, const QSet<QByteArray>& present, ReadRuns& runs) {
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
  Statement header(out, path, ("INSERT INTO runs (" + names + ") VALUES (" + values + ")").constData());
  select += " FROM runs NOT INDEXED WHERE id > ?1 ORDER BY id";
  qint64 highest = 0;
  ReadPast(in, select.constData(), [&](sqlite3_stmt* h) {
    const qint64 id = sqlite3_column_int64(h, 0);
    for (int i = 0; i < count; ++i) header.BindValue(i + 1, sqlite3_column_value(h, i));
    if (header.StepUnlessRefused() == SQLITE_DONE) runs[id];
    header.Reset();
    highest = std::max(highest, id);
  });
  return highest;
}

// Copies an entry of a run whose header went in, its values as they are,
// from a row (rowid, run, key, old, new, rows, field, items) of the damaged
// journal, and counts the entries that went in by run (a pack's one by one).
class EntryCopier {
 public:
  EntryCopier(sqlite3* out, const QString& path)
      : insert_(out, path,
                "INSERT INTO entries (rowid, run, key, old, new, rows, field, items) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)") {}
  // Whether it went in.
  bool operator()(sqlite3_stmt* e) {
    for (int i = 0; i < 8; ++i) insert_.BindValue(i + 1, sqlite3_column_value(e, i));
    const bool went = insert_.StepUnlessRefused() == SQLITE_DONE;
    insert_.Reset();
    if (went) copied_[sqlite3_column_int64(e, 1)] += std::max<qint64>(1, sqlite3_column_int64(e, 7));
    return went;
  }
  qint64 Copied(qint64 run) const {
    const auto found = copied_.find(run);
    return found == copied_.end() ? 0 : found->second;
  }

 private:
  Statement insert_;
  std::map<qint64, qint64> copied_;
};

// Copies the entries of `runs` that can be read, in the table's own order
// (an index that is damaged loses nothing), noting each run's rowids and
// whether any was refused. Returns the stretches that could not be read.
std::vector<Gap> CopyEntries(sqlite3* in, EntryCopier& copy, const QByteArray& columns, ReadRuns& runs) {
  return ReadPast(in,
                  ("SELECT " + columns + " FROM entries NOT INDEXED WHERE rowid > ?1 ORDER BY rowid").constData(),
                  [&](sqlite3_stmt* e) {
                    const auto r = runs.find(sqlite3_column_int64(e, 1));
                    if (r == runs.end()) return;
                    if (copy(e)) r->second.rowids.push_back(sqlite3_column_int64(e, 0));
                    else r->second.whole = false;
                  });
}

// Tells for each run whether it is whole, and else how many entries it lost.
// A run is whole where every entry the index lists for it was read, from the
// scan or, for those it passed over, by its number. Where the index cannot
// list them, where the run has no entries left, or its entries reach up to
// or across a stretch that failed, it may have lost some.
void FindWhole(sqlite3* in, EntryCopier& copy, const QByteArray& columns, const std::vector<Gap>& gaps,
               ReadRuns& runs) {
  const Query listed = Prepare(in, "SELECT rowid FROM entries INDEXED BY entries_run WHERE run = ?1 ORDER BY rowid");
  const Query one = Prepare(in, ("SELECT " + columns + " FROM entries NOT INDEXED WHERE rowid = ?1").constData());
  const auto rescue = [&](qint64 rowid, qint64 run) {
    if (!one) return false;
    sqlite3_reset(one.get());
    sqlite3_bind_int64(one.get(), 1, rowid);
    return sqlite3_step(one.get()) == SQLITE_ROW && sqlite3_column_int64(one.get(), 1) == run && copy(one.get());
  };
  for (auto& [id, read] : runs) {
    int rc = SQLITE_ERROR;
    bool rescued = false;
    qint64 missing = 0;
    if (listed) {
      sqlite3_reset(listed.get());
      sqlite3_bind_int64(listed.get(), 1, id);
      auto next = read.rowids.cbegin();
      while ((rc = sqlite3_step(listed.get())) == SQLITE_ROW) {
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
}

// A run that lost entries stays, with every entry that could be read, and
// says how many it lost: its undo restores the rest. A row lost may have been
// a pack of many entries: where the run counted its entries, the lost are
// those it wrote and the recovery did not copy (however they went); where it
// did not, and the journal packs entries (`packs`), how many is not known.
void MarkLost(sqlite3* out, const QString& path, ReadRuns& runs, const EntryCopier& copy, bool packs) {
  Statement counted(out, path, "SELECT entries FROM runs WHERE id = ?1");
  for (auto& [id, read] : runs) {
    counted.Bind(1, id);
    const qint64 wrote = counted.Step() ? counted.Int(0) : -1;
    counted.Reset();
    if (wrote >= 0) {
      read.whole = copy.Copied(id) >= wrote;
      read.lost = read.whole ? 0 : wrote - copy.Copied(id);
    } else if (!read.whole && packs) {
      read.lost = -1;
    }
  }
  Statement lost(out, path, "UPDATE runs SET lost = ?2 WHERE id = ?1");
  for (const auto& [id, read] : runs) {
    if (read.whole) continue;
    lost.Bind(1, id).Bind(2, read.lost == 0 ? -1 : read.lost);
    lost.Step();
    lost.Reset();
  }
}

// Runs to come are numbered past every run the damaged journal `in` gave
// out, those left out included: past `highest`, the highest number read, and
// its own count. Where that is past `newestRead`, the newest run that went
// in, the runs past it were lost whole, and until a run is made past them
// "the newest run" is not known.
void NumberPast(sqlite3* in, sqlite3* out, const QString& path, qint64 highest, qint64 newestRead) {
  if (const Query seq = Prepare(in, "SELECT seq FROM sqlite_sequence WHERE name = 'runs'");
      seq && sqlite3_step(seq.get()) == SQLITE_ROW)
    highest = std::max(highest, sqlite3_column_int64(seq.get(), 0));
  if (highest > newestRead) {
    Statement fact(out, path, "INSERT OR REPLACE INTO facts (name, value) VALUES ('lost_through', ?1)");
    fact.Bind(1, highest).Step();
  }
  if (highest > 0) {
    Statement raise(out, path, "UPDATE sqlite_sequence SET seq = MAX(seq, ?1) WHERE name = 'runs'");
    raise.Bind(1, highest).Step();
    if (sqlite3_changes(out) == 0) {
      Statement first(out, path, "INSERT INTO sqlite_sequence (name, seq) VALUES ('runs', ?1)");
      first.Bind(1, highest).Step();
    }
  }
}

}  // namespace

void Store::CopyReadable(const QString& file) {
  const DamagedFile damaged(file);
  sqlite3* in = damaged.db();
  if (!in) return;
  const std::optional<QSet<QByteArray>> present = Columns(in, "PRAGMA table_info(runs)");
  if (!present) return;
  // An entry's field, where the damaged journal keeps it.
  const std::optional<QSet<QByteArray>> entryColumns = Columns(in, "PRAGMA table_info(entries)");
  const bool packs = entryColumns && entryColumns->contains(kEntryItems.name);
  const QByteArray columns = QByteArray("rowid, run, key, old, new, rows, ") +
                             (entryColumns && entryColumns->contains(kEntryField.name) ? kEntryField.name
                                                                                       : kEntryField.older) +
                             ", " + (packs ? kEntryItems.name : kEntryItems.older);
  Transaction t(db_, path_);
  ReadRuns runs;
  const qint64 highest = CopyHeaders(in, db_, path_, *present, runs);
  EntryCopier copy(db_, path_);
  const std::vector<Gap> gaps = CopyEntries(in, copy, columns, runs);
  FindWhole(in, copy, columns, gaps, runs);
  MarkLost(db_, path_, runs, copy, packs);
  // A journal from before runs kept their size: the copied runs learn it.
  if (!present->contains("bytes"))
    Exec(db_, path_,
         ("UPDATE runs SET bytes = (SELECT IFNULL(SUM(LENGTH(CAST(key AS BLOB)) + LENGTH(old) + LENGTH(new) + " +
          QByteArray::number(kEntryBytes) + "), 0) FROM entries WHERE run = runs.id)")
             .constData());
  NumberPast(in, db_, path_, highest, runs.empty() ? 0 : runs.rbegin()->first);
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
