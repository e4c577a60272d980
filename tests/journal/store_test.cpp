#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <memory>
#include <sys/stat.h>
#include <tuple>

#include <sqlite3.h>

#include "journal/store.h"
#include "tests/support/journal.h"

namespace {

mode_t Mode(const QString& path) {
  struct stat st {};
  EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
  return st.st_mode & 07777;
}

Journal::RunHeader Header(const QString& table) {
  Journal::RunHeader h;
  h.target = {"db.example", "3306", "shop", table, "name"};
  h.mode = "Proper Case";
  h.time = QDateTime::currentDateTime();
  h.keyColumns = "id";
  h.charset = "utf8mb4";
  return h;
}

QByteArray Contents(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a journal holds: each run's header and listed size, and its entries.
using Row = std::tuple<qint64, QString, QByteArray, QByteArray, qint64>;
using Held = std::map<qint64, std::pair<QStringList, std::vector<Row>>>;

Held Everything(Journal::Store& store) {
  Held runs;
  for (const auto& [h, bytes] : store.Runs({})) {
    auto& [header, entries] = runs[h.id];
    header << h.target.server << h.target.table << h.target.field << h.mode << h.time.toString(Qt::ISODateWithMs)
           << h.keyColumns << h.keyNames.join('|') << h.charset << h.keyless << QString::number(h.rows)
           << QString::number(h.undone) << QString::number(bytes) << h.ended << h.position
           << QString::number(h.nextRecord);
    for (const Journal::Entry& e : JournalEntries(store.Path(), h.id))
      entries.emplace_back(e.id, e.key, e.oldValue, e.newValue, e.rows);
  }
  return runs;
}

// 32 runs of 60 entries in many scripts, a long value every so often;
// closed, so that the file holds them all.
Held FillJournal(const QString& path) {
  const QStringList words{"İSTANBUL", "ΟΔΥΣΣΕΥΣ", "пётр", "東京", "👩🏽‍🚀 🇫🇷", "Straße"};
  Journal::Store store(path);
  for (int r = 0; r < 32; ++r) {
    auto h = Header(QStringLiteral("t%1").arg(r % 3));
    (r % 2 ? h.keyless : h.keyColumns) = "région";
    store.BeginRun(h);
    std::vector<Journal::Entry> entries;
    for (int i = 0; i < 60; ++i) {
      const QString word = words[(r + i) % words.size()] + QString::number(i);
      const int times = i % 13 == 0 ? 400 : 1 + i % 5;
      // Every fourth run's entries each stand for one row: they go in one pack.
      entries.push_back({QString::number(i), word.toLower().repeated(times).toUtf8(), word.repeated(times).toUtf8(),
                         r % 4 == 0 || i % 7 ? 1 : 3});
    }
    store.Revise(store.Append(h.id, entries)[5], 0, "left as it was");
    if (r == 4) store.MarkUndone(h.id);
    // Where a run that ended early stands, for --resume.
    if (r % 5 == 1) store.SetProgress(h.id, r % 2 ? "interrupted" : "running", QStringLiteral("%1,_utf8mb4 X'C39F'").arg(r), r * 60);
  }
  return Everything(store);
}

}  // namespace

TEST(JournalStore, LivesInTheDataFolderReadableByItsOwnerOnly) {
  QTemporaryDir data;
  qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
  ::umask(022);
  const QString path = Journal::Store::DefaultPath();
  EXPECT_EQ(path, data.filePath("norvale/journal.sqlite"));
  {
    Journal::Store store;
    auto h = Header("t");
    store.BeginRun(h);
    store.Append(h.id, {{"`id` = 1", "a", "A", 1}});
  }
  EXPECT_EQ(Mode(data.filePath("norvale")), 0700u);
  EXPECT_EQ(Mode(path), 0600u);
  for (const QString& side : QDir(data.filePath("norvale")).entryList(QDir::Files))
    EXPECT_EQ(Mode(data.filePath("norvale/" + side)), 0600u) << side.toStdString();
}

TEST(JournalStore, KeepsBytesExactlyAndTheNewestRunsOfEachTarget) {
  QTemporaryDir data;
  const QString path = data.filePath("j/journal.sqlite");
  QByteArray huge(16 * 1024 * 1024, 'x');
  for (int i = 0; i < huge.size(); i += 4099) huge[i] = char(i % 256);
  const QByteArray nul("a\0b\xff", 4);
  Journal::Store store(path);
  qint64 first = 0;
  for (int i = 0; i < 25; ++i) {
    auto h = Header("t");
    store.BeginRun(h);
    if (i == 0) first = h.id;
    store.Append(h.id, {{"`id` = 1", nul, huge, 1}, {"`id` = 2", QByteArray(), "", 1}});
  }
  auto other = Header("u");
  store.BeginRun(other);
  std::vector<Journal::Entry> read = JournalEntries(path, first);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].oldValue, nul);
  EXPECT_TRUE(read[0].newValue == huge);
  EXPECT_TRUE(read[1].oldValue.isEmpty() && read[1].newValue.isEmpty());

  store.Prune(Header("t").target);
  EXPECT_EQ(store.Runs(Header("t").target).size(), 20u);
  EXPECT_EQ(store.Runs(other.target).size(), 1u);
  EXPECT_TRUE(JournalEntries(path, first).empty());  // a pruned run's entries go with it

  const auto last = store.LastRun(Header("t").target);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->rows, 2);
  EXPECT_EQ(last->mode, "Proper Case");
  store.MarkUndone(last->id);
  EXPECT_LT(store.LastRun(Header("t").target)->id, last->id);
}

TEST(JournalStore, AServerIsFoundByItsOwnIdentityHoweverReachedAndOlderRunsByName) {
  QTemporaryDir data;
  const QString path = data.filePath("journal.sqlite");
  {
    // A journal from before runs kept the server's identity.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE runs (id INTEGER PRIMARY KEY AUTOINCREMENT, server TEXT NOT NULL, port TEXT "
                           "NOT NULL, database TEXT NOT NULL, tbl TEXT NOT NULL, field TEXT NOT NULL, mode TEXT NOT "
                           "NULL, time TEXT NOT NULL, key_columns TEXT NOT NULL, charset TEXT NOT NULL, keyless TEXT "
                           "NOT NULL, undone INTEGER NOT NULL DEFAULT 0);"
                           "INSERT INTO runs (server, port, database, tbl, field, mode, time, key_columns, charset, "
                           "keyless) VALUES ('localhost', '3306', 'shop', 't', 'name', 'UPPER CASE', "
                           "'2026-01-02T03:04:05.000Z', 'id', '', '');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  Journal::Store store(path);
  auto made = Header("t");
  made.target.server = "localhost";
  made.target.serverId = "db7:3306:/var/lib/mysql/";
  store.BeginRun(made);
  const auto reached = [&](const QString& server, const QString& port, const QString& id) {
    Journal::Target t{server, port, "shop", "t", "name", id};
    const auto last = store.LastRun(t);
    QList<qint64> listed;
    for (const auto& l : store.Runs(t)) listed << l.header.id;
    return std::pair(last ? last->id : 0, listed);
  };
  const struct {
    QString server, port, id;
    qint64 last;
    QList<qint64> listed;
  } cases[] = {
      {"127.0.0.1", "3306", "db7:3306:/var/lib/mysql/", made.id, {made.id}},  // another name
      {"127.0.0.1", "13306", "db7:3306:/var/lib/mysql/", made.id, {made.id}},  // a tunnel's port
      {"localhost", "3306", "", made.id, {made.id, 1}},                         // not asked: by name
      {"localhost", "3306", "db8:3306:/var/lib/mysql/", 1, {1}},               // another server there now
      {"127.0.0.1", "3306", "", 0, {}},
  };
  for (const auto& c : cases) {
    const auto [last, listed] = reached(c.server, c.port, c.id);
    EXPECT_EQ(last, c.last) << c.server.toStdString() << ":" << c.port.toStdString() << " " << c.id.toStdString();
    EXPECT_EQ(listed, c.listed) << c.server.toStdString() << ":" << c.port.toStdString() << " " << c.id.toStdString();
  }
  EXPECT_EQ(store.LastRun({"localhost", "3306", "shop", "t", "name"})->target.serverId, made.target.serverId);
  // Pruning keeps to its own server: another one reached by the same name
  // keeps its run.
  auto another = made;
  another.target.serverId = "db8:3306:/var/lib/mysql/";
  store.BeginRun(another);
  for (int i = 0; i < 22; ++i) {
    auto h = made;
    store.BeginRun(h);
  }
  store.Prune(made.target);
  EXPECT_EQ(reached("elsewhere", "1", made.target.serverId).second.size(), 20);
  EXPECT_EQ(reached("localhost", "3306", another.target.serverId).second, QList<qint64>({another.id}));
}

// SameServer says in C++ what the journal's SQL finds a target's runs by:
// every run it finds is on the same server, and no other.
TEST(JournalStore, SameServerIsTheRuleTheJournalFindsRunsBy) {
  QTemporaryDir data;
  Journal::Store store(data.filePath("journal.sqlite"));
  std::vector<Journal::RunHeader> made;
  for (const QString id : {"", "db7:3306:/var/lib/mysql/"}) {
    auto h = Header(QStringLiteral("t%1").arg(made.size()));
    h.target.server = "localhost";
    h.target.serverId = id;
    store.BeginRun(h);
    made.push_back(h);
  }
  int same = 0;
  for (const auto& run : made)
    for (const QString server : {"localhost", "127.0.0.1"})
      for (const QString port : {"3306", "13306"})
        for (const QString id : {"", "db7:3306:/var/lib/mysql/", "db8:3306:/var/lib/mysql/"}) {
          const Journal::Target asked{server, port, run.target.database, run.target.table, run.target.field, id};
          const bool found = store.LastRun(asked).has_value();
          EXPECT_EQ(Journal::SameServer(run.target, server, port, id), found)
              << run.target.serverId.toStdString() << " asked as " << server.toStdString() << ":"
              << port.toStdString() << " " << id.toStdString();
          same += found;
        }
  // The run without an identity is found by name (whatever is asked); the
  // one with it by its identity, or by name where none is asked.
  EXPECT_EQ(same, 3 + (4 + 1));
}

TEST(JournalStore, AFolderThatCannotBeMadeOrAFileThatCannotBeOpenedIsAnError) {
  QTemporaryDir data;
  QFile blocker(data.filePath("norvale"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  EXPECT_THROW(Journal::Store(data.filePath("norvale/journal.sqlite")), Journal::Error);
  ASSERT_TRUE(QDir(data.path()).mkpath("other/journal.sqlite"));  // a folder in the file's place
  EXPECT_THROW(Journal::Store(data.filePath("other/journal.sqlite")), Journal::Error);
}

TEST(JournalStore, StaysUnderItsTotalSizeOldestRunsFirstNeverTheRunUnderWay) {
  QTemporaryDir data;
  const QString path = data.filePath("j/journal.sqlite");
  const QByteArray value(100 * 1024, 'v');
  std::vector<qint64> ids;
  {
    Journal::Store store(path);
    for (const char* table : {"a", "b", "c", "d"}) {
      auto h = Header(table);
      store.BeginRun(h);
      store.Append(h.id, {{"1", value, value, 1}});
      ids.push_back(h.id);
    }
    // Each run takes about 200 KB: under 450 KB the two oldest go.
    store.PruneTotal(450 * 1024, ids.back());
    QList<qint64> left;
    for (const auto& l : store.Runs({})) left << l.header.id;
    EXPECT_EQ(left, QList<qint64>({ids[3], ids[2]}));
    // The run under way stays even where it alone is over the bound.
    store.PruneTotal(1, ids[2]);
    ASSERT_EQ(store.Runs({}).size(), 1u);
    EXPECT_EQ(store.Runs({}).front().header.id, ids[2]);
    EXPECT_GE(store.Runs({}).front().bytes, 2 * value.size());
  }
  // A journal from before runs kept their size learns it when opened.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE runs DROP COLUMN bytes", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  Journal::Store reopened(path);
  EXPECT_GE(reopened.Runs({}).front().bytes, 2 * value.size());
}

TEST(JournalStore, ACutShortJournalIsDamagedAndRecoveryKeepsEveryEntryItCanStillRead) {
  QTemporaryDir data;
  const QString path = data.filePath("j/journal.sqlite");
  const Held before = FillJournal(path);
  ASSERT_FALSE(QFileInfo::exists(path + "-wal"));  // all of it in the file, none in the log
  ASSERT_TRUE(QFile::resize(path, QFileInfo(path).size() * 2 / 5));
  const QByteArray damaged = Contents(path);
  try {
    Journal::Store(path).Runs({});
    ADD_FAILURE() << "a cut-short journal reads";
  } catch (const Journal::Damaged& e) {
    EXPECT_EQ(e.Path(), path);
    EXPECT_TRUE(QString(e.what()).contains(path + " is damaged")) << e.what();
    EXPECT_TRUE(QString(e.what()).contains("norvale history")) << e.what();
  }

  // Expected: the runs whose header and entries can be looked up in what is left.
  Held whole;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr);
  const auto reads = [&](const char* sql, qint64 from, qint64 to, size_t rows) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, from);
    sqlite3_bind_int64(s, 2, to);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) --rows;
    sqlite3_finalize(s);
    return rc == SQLITE_DONE && rows == 0;
  };
  for (const auto& [id, run] : before) {
    // An entry's number is its row's rowid * 65536 and its place in a pack.
    std::set<qint64> rowids;
    for (const Row& e : run.second) rowids.insert(std::get<0>(e) / 65536);
    if (reads("SELECT * FROM runs WHERE id BETWEEN ?1 AND ?2", id, id, 1) &&
        reads("SELECT * FROM entries NOT INDEXED WHERE rowid BETWEEN ?1 AND ?2", *rowids.begin(), *rowids.rbegin(),
              rowids.size()))
      whole[id] = run;
  }
  sqlite3_close(db);
  ASSERT_TRUE(whole.contains(before.begin()->first));
  ASSERT_LT(whole.size(), before.size());

  const QString aside = Journal::Store::Recover(path);
  EXPECT_TRUE(aside.startsWith(path + ".damaged-")) << aside.toStdString();
  EXPECT_TRUE(Contents(aside) == damaged);
  EXPECT_EQ(Mode(aside), 0600u);
  Journal::Store store(path);
  const Held got = Everything(store);
  std::map<qint64, qint64> lost;
  for (const auto& l : store.Runs({})) lost[l.header.id] = l.header.lost;
  // Every run that was whole is whole again, as it was.
  for (const auto& [id, run] : whole) {
    ASSERT_TRUE(got.count(id)) << id;
    EXPECT_TRUE(got.at(id).second == run.second) << id;
    EXPECT_EQ(lost[id], 0) << id;
  }
  // One that lost entries stays with those it kept, each as it was, and
  // says that it lost some.
  int partial = 0;
  for (const auto& [id, run] : got) {
    if (whole.count(id)) continue;
    ++partial;
    EXPECT_NE(lost[id], 0) << id;
    const std::vector<Row>& was = before.at(id).second;
    for (const Row& e : run.second) EXPECT_NE(std::find(was.begin(), was.end(), e), was.end()) << id;
  }
  EXPECT_GT(partial, 0);
  EXPECT_EQ(store.LostThrough(), 0);  // every run's header was read
  // The new journal goes on, numbering its runs past every earlier one.
  auto h = Header("t");
  store.BeginRun(h);
  EXPECT_GT(h.id, before.rbegin()->first);
  store.Append(h.id, {{"1", "東京", "TOKYO", 1}});
  EXPECT_EQ(Everything(store)[h.id].second.size(), 1u);
}

// Overwrites the pages a query of dbstat names (pageno, pgsize, ncell) with
// garbage; the cells they held, in all.
qint64 Overwrite(const QString& path, const char* pages, char garbage) {
  sqlite3* db = nullptr;
  if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK) return -1;
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, pages, -1, &s, nullptr);
  QFile file(path);
  qint64 cells = 0;
  if (file.open(QIODevice::ReadWrite)) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      file.seek((sqlite3_column_int64(s, 0) - 1) * sqlite3_column_int64(s, 1));
      file.write(QByteArray(sqlite3_column_int(s, 1), garbage));
      cells += sqlite3_column_int64(s, 2);
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return cells;
}

TEST(JournalStore, ADamagedIndexLosesNothingAndAFileOfGarbageRecoversEmpty) {
  QTemporaryDir data;
  const QString path = data.filePath("journal.sqlite");
  const Held before = FillJournal(path);
  ASSERT_GT(Overwrite(path, "SELECT pageno, pgsize, ncell FROM dbstat WHERE name = 'entries_run'", '\xa5'), 0);
  EXPECT_THROW(Journal::Store(path).EntriesNewestFirst(before.begin()->first, 0, 1000), Journal::Damaged);
  Journal::Store::Recover(path);
  EXPECT_TRUE(Everything(*std::make_unique<Journal::Store>(path)) == before);

  const QByteArray garbage = QByteArray("not a journal at all ").repeated(500);
  QFile file(data.filePath("garbage.sqlite"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(garbage) == garbage.size());
  file.close();
  EXPECT_THROW(Journal::Store{file.fileName()}, Journal::Damaged);
  EXPECT_EQ(Contents(Journal::Store::Recover(file.fileName())), garbage);
  EXPECT_TRUE(Journal::Store(file.fileName()).Runs({}).empty());
}

TEST(JournalStore, RecoveryTakesAlongTheWriteAheadLogAndReadsWhatOnlyItHolds) {
  QTemporaryDir data;
  const QString path = data.filePath("journal.sqlite"), copy = data.filePath("copy.sqlite");
  Journal::Store store(path);
  auto h = Header("t");
  store.BeginRun(h);
  store.Append(h.id, {{"1", "пётр", "ПЁТР", 1}});
  // A copy of a journal still open: its run is in the log alone.
  for (const char* side : {"", "-wal"}) ASSERT_TRUE(QFile::copy(path + side, copy + side));
  const QByteArray log = Contents(copy + "-wal");
  const QString aside = Journal::Store::Recover(copy);
  EXPECT_TRUE(Contents(aside + "-wal") == log);
  EXPECT_FALSE(QFileInfo::exists(aside + "-shm"));
  EXPECT_FALSE(QFileInfo::exists(copy + "-wal"));  // not left behind for the new journal
  EXPECT_TRUE(Everything(*std::make_unique<Journal::Store>(copy)) == Everything(store));
}

TEST(JournalStore, PagesARunsEntriesNewestFirstEachOnceUntilSettled) {
  QTemporaryDir data;
  Journal::Store store(data.filePath("journal.sqlite"));
  auto run = Header("t"), other = Header("t");
  store.BeginRun(run);
  store.BeginRun(other);
  std::vector<qint64> left;  // the run's entries with rows to undo, newest first
  for (int i = 0; i < 30; ++i) {
    const auto ids = store.Append(run.id, {{QString::number(i), "ΟΔΥΣΣΕΥΣ", "Οδυσσευσ", i % 4 ? 1 : 0}});
    store.Append(other.id, {{"x", "a", "A", 1}});
    if (i % 4) left.insert(left.begin(), ids[0]);
  }
  const auto pages = [&](int limit) {
    std::vector<qint64> ids;
    for (auto page = store.EntriesNewestFirst(run.id, 0, limit); !page.empty();
         page = store.EntriesNewestFirst(run.id, ids.back(), limit)) {
      EXPECT_LE(page.size(), size_t(limit));
      for (const auto& e : page) ids.push_back(e.id);
    }
    return ids;
  };
  EXPECT_EQ(pages(7), left);
  EXPECT_EQ(pages(1000), left);
  store.Settle({left[0], left[1], left[5]});
  left.erase(left.begin() + 5);
  left.erase(left.begin(), left.begin() + 2);
  EXPECT_EQ(pages(4), left);
}

TEST(JournalStore, APackKeepsEveryKeyAndValueByItsBytesAndCountsItsSize) {
  QTemporaryDir dir;
  const QString path = dir.filePath("journal.sqlite");
  // Keys of digits, of other scripts and of several columns; values with a
  // NUL byte, empty, and in other scripts; every field of a row.
  const std::vector<Journal::Entry> entries{
      {"41", "ann o'neil", "ANN O'NEIL", 1, 0, 0},
      {"41", "straße", "STRASSE", 1, 0, 2},
      {"'Ödön',2", "ödön", "ÖDÖN", 1, 0, 1},
      {"'東京'", QByteArray("a\0b", 3), QByteArray("A\0B", 3), 1, 0, 0},
      {"'👩🏽‍🚀 x'", "", "x", 1, 0, 3},
      {"7,'b'", "é", "É", 1, 0, 0}};
  qint64 runId = 0, expected = 0;
  for (const Journal::Entry& e : entries)
    expected += e.key.toUtf8().size() + e.oldValue.size() + e.newValue.size() + Journal::kEntryBytes;
  {
    Journal::Store store(path);
    auto h = Header("t");
    store.BeginRun(h);
    runId = h.id;
    ASSERT_EQ(store.Append(h.id, entries).size(), entries.size());
    EXPECT_EQ(store.Runs({}).front().bytes, expected);
  }
  const std::vector<Journal::Entry> read = JournalEntries(path, runId);
  ASSERT_EQ(read.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(read[i].key, entries[i].key) << i;
    EXPECT_EQ(read[i].oldValue, entries[i].oldValue) << i;
    EXPECT_EQ(read[i].newValue, entries[i].newValue) << i;
    EXPECT_EQ(read[i].field, entries[i].field) << i;
    EXPECT_EQ(read[i].rows, 1) << i;
  }
}

TEST(JournalStore, APackOfEntriesLostIsCountedEntryByEntryAndTheRestComeBack) {
  QTemporaryDir data;
  const QString path = data.filePath("journal.sqlite");
  qint64 runId = 0;
  std::vector<qint64> ids;
  {
    Journal::Store store(path);
    auto h = Header("t");
    store.BeginRun(h);
    runId = h.id;
    for (int pack = 0; pack < 3; ++pack) {
      std::vector<Journal::Entry> entries;
      for (int i = 0; i < 100; ++i) {
        const QString n = QString::number(pack * 100 + i);
        entries.push_back({n, ("value " + n).toUtf8(), ("VALUE " + n).toUtf8(), 1, 0, pack % 2});
      }
      const auto more = store.Append(h.id, entries);
      ids.insert(ids.end(), more.begin(), more.end());
    }
    ids.push_back(store.Append(h.id, {{"300", "one", "ONE", 1}}).front());  // one alone: a row of its own
    // Revised and settled entries of a pack stay as they were told.
    store.Revise(ids[150], 0, "left");
    store.Settle({ids[151], ids[199]});
    EXPECT_EQ(store.Runs({}).front().header.rows, 301 - 3);
  }
  const std::vector<Journal::Entry> was = JournalEntries(path, runId);
  ASSERT_EQ(was.size(), 301u);
  EXPECT_EQ(was[150].rows, 0);
  EXPECT_EQ(was[150].newValue, "left");
  EXPECT_EQ(was[151].rows, 0);
  EXPECT_EQ(was[152].rows, 1);
  EXPECT_EQ(was[152].field, 1);
  // The middle pack's row goes, as a damaged page would take it.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, ("DELETE FROM entries WHERE rowid = " + QByteArray::number(ids[100] / 65536)).constData(),
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Journal::Store::Recover(path);
  Journal::Store store(path);
  const auto runs = store.Runs({});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs.front().header.lost, 100);
  EXPECT_EQ(runs.front().header.rows, 201);
  // Undo's pages hold the others, newest first, each once.
  std::vector<qint64> paged;
  for (auto page = store.EntriesNewestFirst(runId, 0, 7); !page.empty();
       page = store.EntriesNewestFirst(runId, paged.back(), 7))
    for (const auto& e : page) paged.push_back(e.id);
  std::vector<qint64> expected{ids.back()};
  for (int i = 299; i >= 0; --i)
    if (i < 100 || i >= 200) expected.push_back(ids[size_t(i)]);
  EXPECT_EQ(paged, expected);
}

TEST(JournalStore, ARunThatLostAPageOfEntriesStaysWithTheRestAndRunsLostWholeAreKnown) {
  QTemporaryDir data;
  const QString path = data.filePath("journal.sqlite");
  const Held before = FillJournal(path);
  // One leaf page of the entries overwritten: the cells it held are lost.
  const qint64 cells = Overwrite(path,
                                 "SELECT pageno, pgsize, ncell FROM dbstat WHERE name = 'entries' AND pagetype = 'leaf' "
                                 "ORDER BY pageno LIMIT 1 OFFSET 3",
                                 '\x5a');
  ASSERT_GT(cells, 0);
  Journal::Store::Recover(path);
  {
    Journal::Store store(path);
    const Held got = Everything(store);
    EXPECT_EQ(got.size(), before.size()) << "every run stays listed";
    qint64 lost = 0, missing = 0;
    for (const auto& l : store.Runs({})) {
      lost += l.header.lost;
      missing += qint64(before.at(l.header.id).second.size() - got.at(l.header.id).second.size());
    }
    EXPECT_EQ(lost, cells);
    EXPECT_EQ(missing, cells);
    EXPECT_EQ(store.LostThrough(), 0);
  }
  // The newest run's header gone: recovery knows runs were lost past the
  // newest it read, until a run is made past them.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DELETE FROM runs WHERE id = (SELECT MAX(id) FROM runs)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Journal::Store::Recover(path);
  Journal::Store store(path);
  EXPECT_EQ(store.LostThrough(), before.rbegin()->first);
  auto h = Header("t");
  store.BeginRun(h);
  EXPECT_GT(h.id, store.LostThrough());
}
