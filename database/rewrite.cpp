#include "database/rewrite.h"

#include <QStringList>

#include "database/mysql.h"

namespace Rewrite {

QString FieldQuery(const QString& table, const QString& field, const MySQL::RowIdentity& identity) {
  QString columns = MySQL::QuoteName(field);
  if (!identity.keyExpression.isEmpty()) columns += QStringLiteral(", ") + identity.keyExpression;
  return QStringLiteral("SELECT ") + columns + QStringLiteral(" FROM ") + MySQL::QuoteName(table);
}

qsizetype CharacterCount(const QString& text) {
  qsizetype count = text.size();
  for (qsizetype i = 0; i + 1 < text.size(); ++i) {
    if (text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate()) {
      --count;
      ++i;
    }
  }
  return count;
}

namespace {

// Values above this size are found by digest, not by their text.
constexpr qsizetype kLargeValueBytes = 64 * 1024;

QString Assignment(const QString& table, const QString& field, const QString& oldLiteral, const QString& newLiteral) {
  const QString column = MySQL::QuoteName(field);
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") + column +
         QStringLiteral(" = REPLACE(") + column + u',' + oldLiteral + u',' + newLiteral + QStringLiteral(") WHERE ");
}

}  // namespace

QString KeyedStatement(const QString& table, const QString& field, const QString& keyCondition,
                       const QString& oldText, const QString& newText) {
  // The value is compared as the utf8mb4 bytes it was read as, whatever the
  // column's own character set: exact, with no collation in between.
  const QByteArray old = oldText.toUtf8();
  const QString test = MySQL::ExactTest(field, old, QStringLiteral("utf8mb4"));
  // A large value is tested by its length and digest, and set whole: its
  // text twice over would not fit what the server takes in one statement.
  if (old.size() > kLargeValueBytes)
    return QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") + MySQL::QuoteName(field) +
           QStringLiteral(" = ") + MySQL::TextLiteral(newText) + QStringLiteral(" WHERE ") + keyCondition +
           QStringLiteral(" AND ") + test + u';';
  return Assignment(table, field, MySQL::TextLiteral(oldText), MySQL::TextLiteral(newText)) + keyCondition +
         QStringLiteral(" AND ") + test + u';';
}

QString ValueStatement(const QString& table, const QString& field, const QString& oldText, const QString& newText) {
  const QString column = MySQL::QuoteName(field), oldLiteral = MySQL::TextLiteral(oldText);
  return Assignment(table, field, oldLiteral, MySQL::TextLiteral(newText)) + column + QStringLiteral(" = ") +
         oldLiteral + QStringLiteral(" AND CHAR_LENGTH(") + column + QStringLiteral(") = ") +
         QString::number(CharacterCount(oldText)) + u';';
}

QString SessionModeStatement(const QString& currentMode) {
  QStringList modes = currentMode.split(u',', Qt::SkipEmptyParts);
  modes.removeAll(QStringLiteral("NO_BACKSLASH_ESCAPES"));
  if (!modes.contains(QStringLiteral("STRICT_ALL_TABLES"))) modes << QStringLiteral("STRICT_ALL_TABLES");
  return QStringLiteral("SET SESSION sql_mode = '") + modes.join(u',') + QStringLiteral("';");
}

}  // namespace Rewrite
