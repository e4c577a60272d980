// The undo journal's file: an SQLite database that holds, for each run, where
// it ran and, for every row it changed, the row's key and its exact old and
// new values. Entries are durable when Append returns.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

struct sqlite3;

namespace Journal {

// The journal cannot be opened, read or written; what() says why.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The journal's file is not an SQLite database, or its pages contradict each
// other (cut short, overwritten). what() names the file and how to get back
// the runs it still holds: Store::Recover.
class Damaged : public Error {
 public:
  Damaged(const QString& path, const QString& why);
  const QString& Path() const { return path_; }

 private:
  QString path_;
};

// What a run changed: never the password.
// `serverId` is the server's own identity (MySQL::ServerIdentity), empty in
// runs journaled before it was kept: where both sides have one, a run is
// found by it however the server is reached; else by server and port.
struct Target {
  QString server, port, database, table, field;
  QString serverId = {};
};

// Whether a server reached as `server`:`port`, which names itself `serverId`
// (MySQL::ServerIdentity; empty where it is not known), is the one a run was
// `made` on: by the server's identity where both have one, else by server and
// port. The twin of the SQL the store finds a target's runs with
// (NV_SAME_SERVER in journal/store.cpp, beside this one's definition): the
// two change together.
bool SameServer(const Target& made, const QString& server, const QString& port, const QString& serverId);

// What the store counts an entry to take besides its key and its two values,
// in a run's size (Store::Listed::bytes), which PruneTotal keeps the journal's
// entries under.
inline constexpr qint64 kEntryBytes = 16;
// What one entry takes on disk besides its key and its two values: an
// estimate, for the free disk a run needs before it starts.
inline constexpr qint64 kEntryDiskBytes = 48;

struct RunHeader {
  qint64 id = 0;
  Target target;
  QString mode;        // the mode's list text, "Proper Case"
  QDateTime time;      // when the run started
  QString keyColumns;  // the columns that tell rows apart, empty when none do
  // Where entries hold the key's values (as literals, comma-separated) rather
  // than a condition: the key's columns, in order. Empty in older journals.
  QStringList keyNames;
  QString charset;     // the field's character set, for the restored values
  QString keyless;     // why rows cannot be told apart, when they cannot
  // Rows changed and not undone, summed over the entries; for a table
  // without a key, the rows its statements changed as the server counted
  // them, where the run could count them, and `values` its entries.
  qint64 rows = 0;
  qint64 values = 0;
  bool undone = false;
  bool restored = false;  // an undo has put back some of its rows
  // Entries a recovery of the journal could not read: their rows cannot be
  // restored (-1: some, how many is not known).
  qint64 lost = 0;
  // The word list the run used, by its contents' hash; empty for none.
  QString words;
  // The condition that picked the rows it converted; empty for all rows.
  QString where;
  // Why the run ended before its last row: "running" while it runs (and
  // after a crash), empty once it finished and in older journals. Where it
  // read its rows by key, `position` holds the key's literals of the last
  // row it settled (every row up to it was answered for), and `nextRecord`
  // the number of the record after that one: a run continued starts there.
  QString ended;
  QString position;
  qint64 nextRecord = 0;
  // The field's and key's declarations when it started (RowIdentity::shape);
  // empty in older journals.
  QString shape;
  // A run of several fields: each one, in order, with its mode's list text
  // (target.field and mode are the first's). Empty for a run of one field.
  QStringList fields, modes;
  // The field an entry's number names.
  QString Field(int field) const { return fields.isEmpty() ? target.field : fields.value(field); }
  int FieldCount() const { return fields.isEmpty() ? 1 : int(fields.size()); }
  // Its field as reports name it: "name", or "{name, city}" for several.
  QString FieldsShown() const {
    return fields.isEmpty() ? target.field : u'{' + fields.join(QStringLiteral(", ")) + u'}';
  }
  // What its entries stand for: rows, or a field's value of a row each.
  QString EntriesWord() const { return fields.isEmpty() ? QStringLiteral("rows") : QStringLiteral("values"); }
};

// One changed row: its key, as its values where the run has keyNames, else as
// a condition on the key columns (empty when the table has none), and the
// field's bytes before and after. Without a key an
// entry stands for `rows` rows that held the same old value; an entry of no
// rows stands for nothing left to undo. `id` is the entry's number in the
// journal, set where entries are read.
struct Entry {
  QString key;
  QByteArray oldValue, newValue;
  qint64 rows = 1;
  qint64 id = 0;
  int field = 0;  // the run's field it changed (RunHeader::Field)
};

// An entry to write, its parts read where they are (they outlive Append).
struct EntryView {
  const QString* key;
  const QByteArray* oldValue;
  const QByteArray* newValue;
  qint64 rows = 1;
  int field = 0;
};

// One thread at a time uses a store (the run's recorder takes turns for its
// threads).
class Store {
 public:
  // $XDG_DATA_HOME/norvale/journal.sqlite, or ~/.local/share when unset.
  static QString DefaultPath();

  // Opens or creates the file, its folder readable by its owner only (0700)
  // and the file too (0600). Raises Error. Every operation raises Damaged
  // where SQLite finds the file damaged, this one included.
  explicit Store(const QString& path = DefaultPath());
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const QString& Path() const { return path_; }

  // Records a run's header; sets header.id. Raises Error when the file
  // cannot be written, before the run has sent anything.
  void BeginRun(RunHeader& header);
  // Adds entries to a run in one transaction, synced to disk on return.
  // Returns each entry's number, in order.
  std::vector<qint64> Append(qint64 run, const std::vector<Entry>& entries);
  std::vector<qint64> Append(qint64 run, const std::vector<EntryView>& entries);
  // Corrects an entry once its row is known: how many rows it changed (0:
  // none), and the value the row was left with.
  void Revise(qint64 entry, qint64 rows, const QByteArray& newValue);
  struct Revision {
    qint64 entry, rows;
    QByteArray newValue;
  };
  // Several at once, in one transaction.
  void Revise(const std::vector<Revision>& revisions);
  // Where a run stands: RunHeader::ended, position and nextRecord.
  void SetProgress(qint64 run, const QString& ended, const QString& position, qint64 nextRecord);
  // Keeps the newest `keep` runs of the target, deleting older ones.
  void Prune(const Target& target, int keep = 20);
  // Keeps the journal's entries under `bytes` in all (keys and values),
  // dropping the oldest runs first; never the run `keep`. The file's freed
  // pages hold the next runs' entries.
  void PruneTotal(qint64 bytes, qint64 keep);
  // The newest run of the target that has not been undone.
  std::optional<RunHeader> LastRun(const Target& target);
  // Every run, newest first, with what its entries take; only those of one
  // server, port and database (and table, and field) where these are given.
  struct Listed {
    RunHeader header;
    qint64 bytes = 0;
  };
  std::vector<Listed> Runs(const Target& where);
  // A page of a run's entries that still have rows to undo, newest first:
  // at most `limit` of those numbered below `beforeId` (all, where beforeId
  // <= 0). The next page starts below the last one's id.
  std::vector<Entry> EntriesNewestFirst(qint64 run, qint64 beforeId, int limit);
  // Sets the entries' rows to 0 once their rows are restored, in one
  // transaction, synced to disk on return.
  void Settle(const std::vector<qint64>& entryIds);
  void MarkUndone(qint64 run);
  // Where a recovery lost the newest runs whole: the highest number the
  // damaged journal had given out (0: none lost). A run numbered below it
  // is not known to be its field's newest.
  qint64 LostThrough();
  // The rows a run on a table without a key changed, as the server counted
  // them: each of its entries stands for every row that held its value.
  void SetChanged(qint64 run, qint64 rows);
  // Removes a run and its entries.
  void Drop(qint64 run);

  // Moves the damaged journal at `path` (and its -wal, -shm and -journal
  // files) aside to `path`.damaged-<yyyyMMdd-HHmmss>, and makes a new
  // journal at `path` of every run whose header and all of whose entries can
  // still be read from it, with their ids, fields, order and rows. The
  // damaged file is only read. Returns where it went; raises Error where it
  // cannot be moved or the new journal cannot be written.
  static QString Recover(const QString& path = DefaultPath());

 private:
  // Copies every run the damaged journal `file` holds whole into this one
  // (journal/recovery.cpp).
  void CopyReadable(const QString& file);

  QString path_;
  sqlite3* db_ = nullptr;
};

// Runs `read` on the journal. Where it finds the file damaged, the runs that
// can still be read go to a new file, `recovered` hears where the damaged
// one was kept, and `read` runs again on the new file.
template <typename Read>
auto Recovering(Read&& read, const std::function<void(const QString& keptAs)>& recovered) {
  try {
    return read();
  } catch (const Damaged& damaged) {
    recovered(Store::Recover(damaged.Path()));
    return read();
  }
}

}  // namespace Journal
