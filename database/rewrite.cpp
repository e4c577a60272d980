#include "database/rewrite.h"

#include <QStringList>

#include "database/mysql.h"

namespace Rewrite {

QString FieldQuery(const QString& table, const QString& field, const MySQL::RowIdentity& identity) {
  QString columns = MySQL::QuoteName(field);
  if (!identity.keyValues.isEmpty()) columns += QStringLiteral(", ") + identity.keyValues;
  else if (!identity.keyExpression.isEmpty()) columns += QStringLiteral(", ") + identity.keyExpression;
  return QStringLiteral("SELECT ") + columns + QStringLiteral(" FROM ") + MySQL::QuoteName(table);
}

QString KeyCondition(const MySQL::RowIdentity& identity, const QString& key) {
  if (identity.keyValues.isEmpty()) return key;
  // No literal of a key value holds a comma: numbers, quoted dates and
  // times, and hex.
  const QStringList values = key.split(u',');
  if (values.size() != identity.columns.size())
    throw ADODB::Error(QStringLiteral("The key of a row was read as %1 values for %2 columns.")
                           .arg(QString::number(values.size()), QString::number(identity.columns.size())));
  QString condition;
  for (qsizetype i = 0; i < identity.columns.size() && i < values.size(); ++i) {
    if (i > 0) condition += QStringLiteral(" AND ");
    condition += MySQL::QuoteName(identity.columns[i]) + QStringLiteral(" = ") + values[i];
  }
  return condition;
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
  if (IsLarge(oldText)) return LargeValueStatement(table, field, keyCondition, oldText, newText);
  const QString test = MySQL::ExactTest(field, oldText.toUtf8(), QStringLiteral("utf8mb4"));
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

bool NamedLikeOwnTables(const QString& table) {
  // Compared as a server that folds names to lower case would.
  return table.compare(QLatin1String("nv_keys"), Qt::CaseInsensitive) == 0 ||
         table.compare(QLatin1String("nv_pairs"), Qt::CaseInsensitive) == 0;
}

QString KeysTable(const QString& table, const MySQL::RowIdentity& identity) {
  QStringList columns;
  for (const QString& c : identity.columns) columns << MySQL::QuoteName(c);
  return QStringLiteral("DROP TEMPORARY TABLE IF EXISTS nv_keys;CREATE TEMPORARY TABLE nv_keys SELECT ") +
         columns.join(u',') + QStringLiteral(" FROM ") + MySQL::QuoteName(table) +
         QStringLiteral(" WHERE 0;ALTER TABLE nv_keys ADD nv_old_bytes LONGBLOB NOT NULL, ADD nv_new_bytes LONGBLOB "
                        "NOT NULL, ADD nv_group INT NOT NULL, ADD KEY (nv_group);");
}

QString GroupInsert(int group, const std::vector<Pair>& rows) {
  QString text = QStringLiteral("INSERT INTO nv_keys VALUES ");
  text.reserve(qsizetype(rows.size()) * 64);
  const QString number = QString::number(group);
  bool first = true;
  for (const Pair& r : rows) {
    if (!first) text += u',';
    first = false;
    text += u'(' + r.keyValues + u',' + MySQL::ByteLiteral(r.oldText.toUtf8(), {}) + u',' +
            MySQL::ByteLiteral(r.newText.toUtf8(), {}) + u',' + number + u')';
  }
  return text + u';';
}

QString GroupStatement(const QString& table, const QString& field, const MySQL::RowIdentity& identity, int group) {
  const QString quotedTable = MySQL::QuoteName(table);
  const QString column = quotedTable + u'.' + MySQL::QuoteName(field);
  // Each pair finds its row through the key, and gives it the new text
  // whole only while it holds exactly the old text.
  // (No alias for the pairs: it could be the table's own name.)
  QStringList on;
  for (const QString& c : identity.columns)
    on << quotedTable + u'.' + MySQL::QuoteName(c) + QStringLiteral(" = nv_keys.") + MySQL::QuoteName(c);
  return QStringLiteral("UPDATE nv_keys STRAIGHT_JOIN ") + quotedTable + QStringLiteral(" ON ") +
         on.join(QStringLiteral(" AND ")) + QStringLiteral(" SET ") + column +
         QStringLiteral(" = CONVERT(nv_keys.nv_new_bytes USING utf8mb4) WHERE nv_keys.nv_group = ") +
         QString::number(group) + QStringLiteral(" AND CAST(CONVERT(") + column +
         QStringLiteral(" USING utf8mb4) AS BINARY) = nv_keys.nv_old_bytes;");
}

QString GroupsDone() {
  // Emptied whole: rows deleted one by one from a temporary table are never
  // purged, and each group would find more of them.
  return QStringLiteral("TRUNCATE TABLE nv_keys;");
}

QString SessionModeStatement(const QString& currentMode) {
  QStringList modes = currentMode.split(u',', Qt::SkipEmptyParts);
  modes.removeAll(QStringLiteral("NO_BACKSLASH_ESCAPES"));
  if (!modes.contains(QStringLiteral("STRICT_ALL_TABLES"))) modes << QStringLiteral("STRICT_ALL_TABLES");
  return QStringLiteral("SET SESSION sql_mode = '") + modes.join(u',') + QStringLiteral("';");
}

}  // namespace Rewrite
