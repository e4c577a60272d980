#include "tests/support/journal.h"

#include <QFile>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdexcept>

namespace {

// A pack's entries, as the journal lays them out: key, old and new value,
// each after its length in four bytes (least significant first), then a
// byte of rows and four of field. Each is numbered rowid * 65536 + place.
void Unpacked(const QByteArray& bytes, qint64 rowid, std::vector<Journal::Entry>& entries) {
  qsizetype at = 0;
  const auto number = [&] {
    if (bytes.size() - at < 4) throw std::runtime_error("a packed entry is cut short");
    const auto* b = reinterpret_cast<const uchar*>(bytes.constData() + at);
    at += 4;
    return qsizetype(quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24);
  };
  const auto part = [&] {
    const qsizetype n = number();
    if (bytes.size() - at < n) throw std::runtime_error("a packed entry is cut short");
    at += n;
    return bytes.mid(at - n, n);
  };
  for (qint64 place = 0; at < bytes.size(); ++place) {
    Journal::Entry e;
    e.key = QString::fromUtf8(part());
    e.oldValue = part();
    e.newValue = part();
    if (at >= bytes.size()) throw std::runtime_error("a packed entry is cut short");
    e.rows = bytes[at++];
    e.field = int(number());
    e.id = rowid * 65536 + place;
    entries.push_back(std::move(e));
  }
}

}  // namespace

std::vector<Journal::Entry> JournalEntries(const QString& path, qint64 run) {
  std::vector<Journal::Entry> entries;
  sqlite3* db = nullptr;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_prepare_v2(db, "SELECT key, old, new, rows, rowid, field, items FROM entries WHERE run = ?1 ORDER BY rowid",
                            -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int64(s, 1, run);
  try {
    if (rc == SQLITE_OK) {
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const auto blob = [&](int i) {
          return QByteArray(static_cast<const char*>(sqlite3_column_blob(s, i)), sqlite3_column_bytes(s, i));
        };
        const qint64 rowid = sqlite3_column_int64(s, 4);
        if (sqlite3_column_int64(s, 6) > 0) {
          Unpacked(blob(1), rowid, entries);
          continue;
        }
        entries.push_back({QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                                             sqlite3_column_bytes(s, 0)),
                           blob(1), blob(2), sqlite3_column_int64(s, 3), rowid * 65536,
                           int(sqlite3_column_int64(s, 5))});
      }
    }
    if (rc != SQLITE_DONE)
      ADD_FAILURE() << "The journal " << path.toStdString() << " cannot be read: " << (db ? sqlite3_errmsg(db) : "");
  } catch (const std::exception& e) {
    ADD_FAILURE() << "The journal " << path.toStdString() << " holds a damaged pack: " << e.what();
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return entries;
}
