#include "database/rowkey.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <algorithm>
#include <map>

#include "database/mysql.h"

namespace MySQL {

namespace {

// Values up to this size are compared byte for byte within the statement.
constexpr qsizetype kLiteralCompareBytes = 64 * 1024;

const QStringList kExactNumeric = {"tinyint", "smallint", "mediumint", "int", "bigint", "decimal", "year"};
const QStringList kInexact = {"float", "double", "real"};
const QStringList kTemporal = {"date", "datetime", "timestamp", "time"};
const QStringList kBinary = {"binary", "varbinary", "tinyblob", "blob", "mediumblob", "longblob"};

struct ColumnInfo {
  QString type, charset;
  bool nullable = true;
  qint64 octets = 0;
  QString extra;     // VIRTUAL GENERATED, STORED GENERATED, auto_increment…
  QString declared;  // its full type and collation: "varchar(40) utf8mb4_unicode_ci"
  bool moves = false;  // ON UPDATE, or computed from the field: every update of the run changes it
};

// A column as the table declares it, for telling a table that changed.
QString Declared(const QString& name, const ColumnInfo& c) { return QuoteName(name) + u' ' + c.declared; }

// The piece of the key expression for one column: SQL that yields the text
// "`c` = <the row's value as an exact literal>". Every constant piece is a
// hex literal, so no name can end a literal early.
QString KeyPart(const QString& column, const ColumnInfo& info, bool withName = true) {
  const QString name = QuoteName(column);
  const auto lead = [&](const QString& text) {
    return withName ? TextLiteral(name + text) : TextLiteral(text.mid(3));  // " = " goes
  };
  if (kExactNumeric.contains(info.type)) return QStringLiteral("CONCAT(%1, %2)").arg(lead(QStringLiteral(" = ")), name);
  // Bits as their number, which the index finds and orders as it does.
  if (info.type == QLatin1String("bit")) return QStringLiteral("CONCAT(%1, %2 + 0)").arg(lead(QStringLiteral(" = ")), name);
  if (kTemporal.contains(info.type))
    return QStringLiteral("CONCAT(%1, %2, '''')").arg(lead(QStringLiteral(" = '")), name);
  if (kBinary.contains(info.type))
    return QStringLiteral("CONCAT(%1, HEX(%2), '''')").arg(lead(QStringLiteral(" = X'")), name);
  if (!info.charset.isEmpty() && !DeprecatedOnMySql(info.charset)) {
    // utf8mb3 text is utf8mb4 too, byte for byte, and MySQL warns of its
    // name: the literal is written as utf8mb4, which the comparison with
    // the column still turns into the column's own, so its index serves.
    const bool utf8 = info.charset.compare(QLatin1String("utf8"), Qt::CaseInsensitive) == 0 ||
                      info.charset.compare(QLatin1String("utf8mb3"), Qt::CaseInsensitive) == 0;
    return QStringLiteral("CONCAT(%1, HEX(%2), '''')")
        .arg(lead(QStringLiteral(" = _") + (utf8 ? QStringLiteral("utf8mb4") : info.charset) + " X'"), name);
  }
  // Anything else is compared as its bytes: also text in a character set
  // whose very name MySQL 8.4 warns of (a warning is a refusal to the run),
  // at the cost of its index.
  if (!withName) return QString();
  return QStringLiteral("CONCAT(%1, HEX(CAST(%2 AS BINARY)), '''')")
      .arg(TextLiteral(QStringLiteral("CAST(") + name + QStringLiteral(" AS BINARY) = X'")), name);
}

}  // namespace

bool DeprecatedOnMySql(const QString& charset) {
  static const QStringList kDeprecated = {"ucs2", "macroman", "macce", "dec8", "hp8"};
  return kDeprecated.contains(charset.toLower());
}

QString SessionTimeZone() { return QStringLiteral("SET time_zone = '+00:00';"); }

QString TextLiteral(const QString& text) { return ByteLiteral(text.toUtf8(), QStringLiteral("utf8mb4")); }

void AppendByteLiteral(QString& text, const QByteArray& bytes) {
  // As 0x…, the same literal as X'…' but without quotes: the driver looks
  // over the rest of the text at each quote it meets (MariaDB's ODBC
  // driver: a strlen at every token), so that a text of thousands of quoted
  // values would cost it the square of its length. An empty value has only
  // X''.
  if (bytes.isEmpty()) {
    text += QLatin1String("X''");
    return;
  }
  text += QLatin1String("0x");
  // Written where it goes: a value of many megabytes is never made twice on
  // its way into its statement.
  const qsizetype at = text.size();
  text.resize(at + 2 * bytes.size());
  static const char16_t kDigits[] = u"0123456789abcdef";
  char16_t* out = reinterpret_cast<char16_t*>(text.data()) + at;
  for (const char b : bytes) {
    *out++ = kDigits[uchar(b) >> 4];
    *out++ = kDigits[uchar(b) & 15];
  }
}

QString ByteLiteral(const QByteArray& bytes, const QString& charset) {
  QString text = charset.isEmpty() ? QString() : u'_' + charset + u' ';
  AppendByteLiteral(text, bytes);
  return text;
}

QString ExactTest(const QString& field, const QByteArray& bytes, const QString& charset) {
  const QString name = QuoteName(field);
  const QString value = charset.isEmpty() ? name : QStringLiteral("CONVERT(%1 USING %2)").arg(name, charset);
  if (bytes.size() <= kLiteralCompareBytes)
    return QStringLiteral("CAST(%1 AS BINARY) = %2").arg(value, ByteLiteral(bytes, QString()));
  return QStringLiteral("OCTET_LENGTH(CAST(%1 AS BINARY)) = %2 AND SHA2(CAST(%1 AS BINARY), 256) = '%3'")
      .arg(value, QString::number(bytes.size()),
           QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
}

// Why a column cannot take converted values, or nothing. The server
// computes a generated column's values (and a join that sets one changes
// nothing without a word). A JSON document's text is its keys and values:
// MySQL's JSON type, and MariaDB's, which is LONGTEXT checked by
// json_valid().
static QString Unwritable(ADODB::Connection& connection, const QString& table, const QString& name, const ColumnInfo& c) {
  static const QRegularExpression generated(QStringLiteral("\\b(VIRTUAL|STORED|PERSISTENT) GENERATED\\b"),
                                            QRegularExpression::CaseInsensitiveOption);
  if (generated.match(c.extra).hasMatch())
    return QStringLiteral("The field %1 is a generated column: the server computes its values from other columns, "
                          "so they cannot be converted.")
        .arg(name);
  bool json = c.type == QLatin1String("json");
  if (!json && c.type == QLatin1String("longtext")) {
    // MariaDB names each column's check; MySQL has no TABLE_NAME there, and
    // its JSON columns are of their own type anyway.
    try {
      auto checks = connection.Execute(
          QStringLiteral("SELECT CHECK_CLAUSE FROM information_schema.CHECK_CONSTRAINTS WHERE CONSTRAINT_SCHEMA = "
                         "DATABASE() AND TABLE_NAME = ") +
          TextLiteral(table));
      const QRegularExpression valid(QStringLiteral("json_valid\\s*\\(\\s*`?") +
                                         QRegularExpression::escape(name) + QStringLiteral("`?\\s*\\)"),
                                     QRegularExpression::CaseInsensitiveOption);
      for (; checks && !checks->Eof(); checks->MoveNext())
        if (valid.match(checks->Value(0).toString()).hasMatch()) json = true;
    } catch (const ADODB::Error&) {
    }
  }
  if (json)
    return QStringLiteral("The field %1 holds JSON documents: converting their text would rename their keys and "
                          "change their values, so it is left as it is.")
        .arg(name);
  return {};
}

QString UpdateTriggers(ADODB::Connection& connection, const QString& table) {
  auto rows = connection.Execute(
      QStringLiteral("SELECT IFNULL(GROUP_CONCAT(TRIGGER_NAME ORDER BY TRIGGER_NAME SEPARATOR ', '), '') FROM "
                     "information_schema.TRIGGERS WHERE EVENT_OBJECT_SCHEMA = DATABASE() AND EVENT_OBJECT_TABLE = %1 "
                     "AND EVENT_MANIPULATION = 'UPDATE';")
          .arg(TextLiteral(table)));
  return rows && !rows->Eof() ? rows->Value(0).toString() : QString();
}

namespace {

// The rows are told apart by the key `name` of `keyColumns`: its condition,
// its values' literals, its declared shape and how its values compare.
void TakeKey(RowIdentity& identity, const QString& name, const QStringList& keyColumns,
             std::map<QString, ColumnInfo>& columns) {
  identity.columns = keyColumns;
  QStringList parts;
  for (const QString& column : keyColumns) parts << KeyPart(column, columns[column]);
  identity.keyExpression = QStringLiteral("CONCAT_WS(' AND ', ") + parts.join(QStringLiteral(", ")) + u')';
  QStringList values;
  for (const QString& column : keyColumns) values << KeyPart(column, columns[column], false);
  if (!values.contains(QString()))
    identity.keyValues = QStringLiteral("CONCAT_WS(',', ") + values.join(QStringLiteral(", ")) + u')';
  identity.keyName = name;
  for (const QString& column : keyColumns) identity.shape += QStringLiteral(", ") + Declared(column, columns[column]);
  static const QStringList kListed = {"enum", "set"};
  identity.keyOrdered = std::none_of(keyColumns.begin(), keyColumns.end(),
                                     [&](const QString& c) { return kListed.contains(columns[c].type); });
  static const QStringList kIntegers = {"tinyint", "smallint", "mediumint", "int", "bigint"};
  identity.integerKey = keyColumns.size() == 1 && kIntegers.contains(columns[keyColumns.front()].type);
}

}  // namespace

RowIdentity ReadRowIdentity(ADODB::Connection& connection, const QString& table, const QString& field) {
  RowIdentity identity;
  std::map<QString, ColumnInfo> columns;
  auto info = connection.Execute(
      QStringLiteral("SELECT COLUMN_NAME, DATA_TYPE, IFNULL(CHARACTER_SET_NAME, ''), IS_NULLABLE, "
                     "IFNULL(CHARACTER_OCTET_LENGTH, 0), IFNULL(EXTRA, ''), "
                     "TRIM(CONCAT(COLUMN_TYPE, ' ', IFNULL(COLLATION_NAME, ''))), IFNULL(GENERATION_EXPRESSION, '') "
                     "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ") +
      TextLiteral(table));
  while (info && !info->Eof()) {
    columns[info->Value(0).toString()] = {info->Value(1).toString().toLower(), info->Value(2).toString(),
                                          info->Value(3).toString() == QLatin1String("YES"),
                                          info->Value(4).toLongLong(), info->Value(5).toString(),
                                          info->Value(6).toString()};
    // A key column whose value the run's own update changes moves its row
    // ahead of the reading point, and away from where undo looks for it.
    const QString extra = info->Value(5).toString(), generation = info->Value(7).toString();
    columns[info->Value(0).toString()].moves =
        extra.contains(QLatin1String("on update"), Qt::CaseInsensitive) ||
        (!generation.isEmpty() && generation.contains(field, Qt::CaseInsensitive));
    info->MoveNext();
  }
  for (const auto& [name, c] : columns)
    if (name.compare(field, Qt::CaseInsensitive) == 0) {
      identity.charset = c.charset;
      identity.fieldOctets = c.octets;
      identity.unwritable = Unwritable(connection, table, name, c);
      identity.shape = Declared(name, c);
    }
  auto engine = connection.Execute(
      QStringLiteral("SELECT ENGINE, IFNULL(AVG_ROW_LENGTH, 0) FROM information_schema.TABLES "
                     "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ") +
      TextLiteral(table));
  identity.transactional =
      engine && !engine->Eof() && engine->Value(0).toString().compare(QLatin1String("InnoDB"), Qt::CaseInsensitive) == 0;
  if (engine && !engine->Eof()) {
    identity.averageRow = engine->Value(1).toLongLong();
  }

  // The server lists the primary key first, then the other keys in order.
  struct Key {
    QString name;
    QStringList columns;
    bool usable = true;
  };
  std::vector<Key> keys;
  auto index = connection.Execute(QStringLiteral("SHOW INDEX FROM ") + QuoteName(table));
  while (index && !index->Eof()) {
    // Table, Non_unique, Key_name, Seq_in_index, Column_name, ...
    const QString key = index->Value(2).toString(), column = index->Value(4).toString();
    if (index->Value(3).toLongLong() == 1 && column.compare(field, Qt::CaseInsensitive) == 0)
      identity.fieldIndexed = true;
    if (index->Value(1).toLongLong() == 0) {
      if (keys.empty() || keys.back().name != key) keys.push_back({key, {}, true});
      keys.back().columns << column;
      const auto found = columns.find(column);
      // A null, or a value no literal gives back exactly, cannot find its row.
      if (found == columns.end() || found->second.nullable || kInexact.contains(found->second.type) ||
          found->second.moves)
        keys.back().usable = false;
    }
    index->MoveNext();
  }
  bool onlyWithField = false, inexact = false, moving = false;
  for (const Key& key : keys) {
    if (!key.usable) {
      for (const QString& column : key.columns) {
        if (columns.count(column) && kInexact.contains(columns[column].type)) inexact = true;
        if (columns.count(column) && columns[column].moves) moving = true;
      }
      continue;
    }
    if (key.columns.contains(field, Qt::CaseInsensitive)) {
      onlyWithField = true;
      continue;
    }
    TakeKey(identity, key.name, key.columns, columns);
    return identity;
  }
  identity.keyless =
      onlyWithField ? QStringLiteral("its only keys include the field itself, whose values the run changes")
      : inexact     ? QStringLiteral("its keys hold FLOAT or DOUBLE values, which no value written back finds exactly")
      : moving      ? QStringLiteral("its keys change with every update of the row (ON UPDATE, or computed from the "
                                     "field), so a row written could not be found again by them")
                    : QStringLiteral("it has no primary key and no unique key over NOT NULL columns, so its "
                                     "rows cannot be told apart");
  return identity;
}

}  // namespace MySQL
