#include "tests/support/journal.h"

#include <QFile>
#include <gtest/gtest.h>
#include <sqlite3.h>

std::vector<Journal::Entry> JournalEntries(const QString& path, qint64 run) {
  std::vector<Journal::Entry> entries;
  sqlite3* db = nullptr;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_prepare_v2(db, "SELECT key, old, new, rows, rowid FROM entries WHERE run = ?1 ORDER BY rowid", -1, &s,
                            nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int64(s, 1, run);
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const auto blob = [&](int i) {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(s, i)), sqlite3_column_bytes(s, i));
      };
      entries.push_back({QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                                           sqlite3_column_bytes(s, 0)),
                         blob(1), blob(2), sqlite3_column_int64(s, 3), sqlite3_column_int64(s, 4)});
    }
  }
  if (rc != SQLITE_DONE)
    ADD_FAILURE() << "The journal " << path.toStdString() << " cannot be read: " << (db ? sqlite3_errmsg(db) : "");
  sqlite3_finalize(s);
  sqlite3_close(db);
  return entries;
}
