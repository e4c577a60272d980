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
  if (IsLarge(oldText)) return LargeValueStatement(table, field, keyCondition, oldText, newText);
  const QString test = MySQL::ExactTest(field, old, QStringLiteral("utf8mb4"));
  return Assignment(table, field, MySQL::TextLiteral(oldText), MySQL::TextLiteral(newText)) + keyCondition +
         QStringLiteral(" AND ") + test + u';';
}

bool IsLarge(const QString& text) { return text.size() > kLargeValueBytes / 3 && text.toUtf8().size() > kLargeValueBytes; }

QString LargeValueStatement(const QString& table, const QString& field, const QString& condition,
                            const QString& oldText, const QString& newText) {
  // Tested by its length and digest, and set whole: the value's text twice
  // over would not fit what the server takes in one statement.
  QString where = MySQL::ExactTest(field, oldText.toUtf8(), QStringLiteral("utf8mb4"));
  if (!condition.isEmpty()) where = condition + QStringLiteral(" AND ") + where;
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") + MySQL::QuoteName(field) +
         QStringLiteral(" = ") + MySQL::TextLiteral(newText) + QStringLiteral(" WHERE ") + where + u';';
}

QString ValueStatement(const QString& table, const QString& field, const QString& oldText, const QString& newText) {
  if (IsLarge(oldText)) return LargeValueStatement(table, field, QString(), oldText, newText);
  const QString column = MySQL::QuoteName(field), oldLiteral = MySQL::TextLiteral(oldText);
  return Assignment(table, field, oldLiteral, MySQL::TextLiteral(newText)) + column + QStringLiteral(" = ") +
         oldLiteral + QStringLiteral(" AND CHAR_LENGTH(") + column + QStringLiteral(") = ") +
         QString::number(CharacterCount(oldText)) + u';';
}

QString PairsTable() {
  return QStringLiteral(
      "CREATE TEMPORARY TABLE IF NOT EXISTS nv_pairs (old LONGBLOB NOT NULL, new LONGBLOB NOT NULL, KEY (old(255)));");
}

QString JoinedStatement(const QString& table, const QString& field,
                        const std::vector<std::pair<QString, QString>>& pairs) {
  QStringList rows;
  rows.reserve(qsizetype(pairs.size()));
  for (const auto& [oldText, newText] : pairs)
    rows << u'(' + MySQL::ByteLiteral(oldText.toUtf8(), {}) + u',' + MySQL::ByteLiteral(newText.toUtf8(), {}) + u')';
  const QString column = MySQL::QuoteName(table) + u'.' + MySQL::QuoteName(field);
  // The table is read once, in its own order, each row looking its value up
  // among the pairs by its exact bytes.
  return QStringLiteral("DELETE FROM nv_pairs;INSERT INTO nv_pairs (old, new) VALUES ") + rows.join(u',') +
         QStringLiteral(";UPDATE ") + MySQL::QuoteName(table) +
         QStringLiteral(" STRAIGHT_JOIN nv_pairs p ON CAST(CONVERT(%1 USING utf8mb4) AS BINARY) = p.old SET %1 = "
                        "REPLACE(%1, CONVERT(p.old USING utf8mb4), CONVERT(p.new USING utf8mb4));")
             .arg(column);
}

QString SessionModeStatement(const QString& currentMode) {
  QStringList modes = currentMode.split(u',', Qt::SkipEmptyParts);
  modes.removeAll(QStringLiteral("NO_BACKSLASH_ESCAPES"));
  if (!modes.contains(QStringLiteral("STRICT_ALL_TABLES"))) modes << QStringLiteral("STRICT_ALL_TABLES");
  return QStringLiteral("SET SESSION sql_mode = '") + modes.join(u',') + QStringLiteral("';");
}

}  // namespace Rewrite
