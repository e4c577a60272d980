#include "journal/sqlite.h"

#include <cstring>

namespace Journal {

bool IsDamage(int code) {
  code &= 0xff;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

void Raise(sqlite3* db, const QString& path, bool reading) {
  const QString why = QString::fromUtf8(sqlite3_errmsg(db));
  if (IsDamage(sqlite3_extended_errcode(db))) throw Damaged(path, why);
  throw Error((reading ? QStringLiteral("The undo journal cannot be read: %1")
                       : QStringLiteral("The undo journal cannot be written: %1"))
                  .arg(why)
                  .toStdString());
}

void Exec(sqlite3* db, const QString& path, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    if (IsDamage(sqlite3_extended_errcode(db))) throw Damaged(path, why);
    throw Error(QStringLiteral("The undo journal %1 cannot be written: %2").arg(path, why).toStdString());
  }
}

Statement::Statement(sqlite3* db, const QString& path, const char* sql)
    : db_(db), path_(path), reading_(std::strncmp(sql, "SELECT", 6) == 0 || std::strncmp(sql, "PRAGMA", 6) == 0) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Throw();
}

Statement& Statement::Bind(int i, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  Check(sqlite3_bind_text(stmt_, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::BindText(int i, const QByteArray& utf8) {
  Check(sqlite3_bind_text(stmt_, i, utf8.constData(), int(utf8.size()), SQLITE_STATIC));
  return *this;
}

Statement& Statement::Bind(int i, qint64 n) {
  Check(sqlite3_bind_int64(stmt_, i, n));
  return *this;
}

Statement& Statement::BindBlob(int i, const QByteArray& bytes) {
  Check(sqlite3_bind_blob64(stmt_, i, bytes.isEmpty() ? "" : bytes.constData(), sqlite3_uint64(bytes.size()),
                            SQLITE_STATIC));
  return *this;
}

Statement& Statement::BindValue(int i, const sqlite3_value* value) {
  Check(sqlite3_bind_value(stmt_, i, value));
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) Throw();
  return false;
}

int Statement::StepUnlessRefused() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_DONE || (rc & 0xff) == SQLITE_CONSTRAINT || (rc & 0xff) == SQLITE_MISMATCH) return rc;
  Throw();
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

QString Statement::Text(int i) const {
  return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i)), sqlite3_column_bytes(stmt_, i));
}

QByteArray Statement::Blob(int i) const {
  const void* p = sqlite3_column_blob(stmt_, i);
  return QByteArray(static_cast<const char*>(p), sqlite3_column_bytes(stmt_, i));
}

Transaction::Transaction(sqlite3* db, const QString& path) : db_(db), path_(path) {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) Raise(db_, path_, false);
}

Transaction::~Transaction() {
  if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Raise(db_, path_, false);
  done_ = true;
}

Query Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  return Query(stmt, sqlite3_finalize);
}

}  // namespace Journal
