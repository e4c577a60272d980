#include "database/rewrite.h"

#include <QRegularExpression>
#include <QStringList>
#include <tuple>

#include "database/mysql.h"

namespace Rewrite {

QStringList FieldColumns(const QString& field, const MySQL::RowIdentity& identity, bool stored, bool bytesOnly) {
  QStringList columns{bytesOnly ? QStringLiteral("CAST(") + MySQL::QuoteName(field) + QStringLiteral(" AS BINARY)")
                                : MySQL::QuoteName(field)};
  if (!identity.keyValues.isEmpty()) columns << identity.keyValues;
  else if (!identity.keyExpression.isEmpty()) columns << identity.keyExpression;
  if (stored && !bytesOnly) columns << QStringLiteral("CAST(") + MySQL::QuoteName(field) + QStringLiteral(" AS BINARY)");
  return columns;
}

QString FieldQuery(const QString& table, const QString& field, const MySQL::RowIdentity& identity, bool stored,
                   const QString& where) {
  QString query = QStringLiteral("SELECT ") + FieldColumns(field, identity, stored).join(QStringLiteral(", ")) +
                  QStringLiteral(" FROM ") + MySQL::QuoteName(table);
  if (!where.isEmpty()) query += QStringLiteral(" WHERE ") + Bracketed(where);
  return query;
}

QString Bracketed(const QString& condition) { return u'(' + condition + QStringLiteral("\n)"); }

Quoting QuotingOf(const QString& sqlMode) {
  const QStringList modes = sqlMode.toUpper().split(u',', Qt::SkipEmptyParts);
  return {modes.contains(QStringLiteral("ANSI_QUOTES")), modes.contains(QStringLiteral("NO_BACKSLASH_ESCAPES"))};
}

namespace {

// Reads a condition as a session with `quoting` reads it: why it is not
// one expression, or nothing; `quoted` takes where each quoted text or
// name starts and ends, and whether it is a text.
std::optional<QString> Scan(const QString& where, Quoting quoting, std::vector<std::tuple<qsizetype, qsizetype, bool>>* quoted) {
  if (where.trimmed().isEmpty()) return QStringLiteral("the condition is empty");
  // Control characters the server reads as blanks in some places and not
  // in others (a DEL after -- makes a comment), and text that is not
  // text, are no part of an expression, quoted or not.
  for (qsizetype i = 0; i < where.size(); ++i) {
    const QChar c = where.at(i);
    if (c.unicode() == 0) return QStringLiteral("it holds a NUL character");
    if ((c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c.unicode() == 0x7f)
      return QStringLiteral("it holds a control character (U+%1)").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    if (c.isHighSurrogate() && (i + 1 >= where.size() || !where.at(i + 1).isLowSurrogate()))
      return QStringLiteral("it holds a character that is not text");
    if (c.isLowSurrogate() && (i == 0 || !where.at(i - 1).isHighSurrogate()))
      return QStringLiteral("it holds a character that is not text");
  }
  int depth = 0;
  for (qsizetype i = 0; i < where.size(); ++i) {
    const QChar c = where.at(i);
    if (c == u'\'' || c == u'"' || c == u'`') {
      // A quoted text or name runs to its closing quote; a doubled quote
      // escapes, and in texts a backslash does, unless the session's mode
      // says otherwise.
      const bool text = c == u'\'' || (c == u'"' && !quoting.ansiQuotes);
      const bool backslash = text && !quoting.noBackslashEscapes;
      qsizetype j = i + 1;
      for (; j < where.size(); ++j) {
        if (backslash && where.at(j) == u'\\') {
          ++j;
        } else if (where.at(j) == c) {
          if (j + 1 < where.size() && where.at(j + 1) == c) ++j;
          else break;
        }
      }
      if (j >= where.size()) return QStringLiteral("a quote (%1) is left open").arg(c);
      if (quoted) quoted->emplace_back(i, j, text);
      i = j;
      continue;
    }
    const QChar next = i + 1 < where.size() ? where.at(i + 1) : QChar();
    if (c == u';') return QStringLiteral("it holds a statement separator (;)");
    if (c == u'#' || (c == u'/' && next == u'*') || (c == u'*' && next == u'/') ||
        (c == u'-' && next == u'-' &&
         (i + 2 >= where.size() || where.at(i + 2).isSpace() || where.at(i + 2).unicode() <= 32 ||
          where.at(i + 2).unicode() == 0x7f)))
      return QStringLiteral("it holds a comment");
    if (c == u'(') ++depth;
    if (c == u')' && --depth < 0) return QStringLiteral("a closing bracket has no opening one");
  }
  if (depth != 0) return QStringLiteral("a bracket is left open");
  return std::nullopt;
}

QString ModeText(Quoting quoting) {
  QStringList modes;
  if (quoting.ansiQuotes) modes << QStringLiteral("ANSI_QUOTES");
  if (quoting.noBackslashEscapes) modes << QStringLiteral("NO_BACKSLASH_ESCAPES");
  return modes.isEmpty() ? QStringLiteral("neither ANSI_QUOTES nor NO_BACKSLASH_ESCAPES") : modes.join(QStringLiteral(" and "));
}

}  // namespace

std::optional<QString> ConditionFault(const QString& where, Quoting quoting) { return Scan(where, quoting, nullptr); }

std::optional<QString> ConditionFault(const QString& where, Quoting session, Quoting server) {
  std::vector<std::tuple<qsizetype, qsizetype, bool>> ours, theirs;
  if (std::optional<QString> fault = Scan(where, session, &ours)) return fault;
  if (std::optional<QString> fault = Scan(where, server, &theirs))
    return QStringLiteral("%1 as the server's own sql_mode reads it (%2)").arg(*fault, ModeText(server));
  if (ours != theirs)
    return QStringLiteral("its quotes read otherwise under the server's own sql_mode (%1) than in the run's session "
                          "(%2); write names in `…` and texts in '…' without backslashes")
        .arg(ModeText(server), ModeText(session));
  return std::nullopt;
}

QStringList KeyLiterals(const MySQL::RowIdentity& identity, const QString& key) {
  // No literal of a key value holds a comma: numbers, quoted dates and
  // times, and hex.
  const QStringList values = key.split(u',');
  if (values.size() != identity.columns.size())
    throw ADODB::Error(QStringLiteral("The key of a row was read as %1 values for %2 columns.")
                           .arg(QString::number(values.size()), QString::number(identity.columns.size())));
  return values;
}

QString KeyCondition(const MySQL::RowIdentity& identity, const QString& key) {
  if (identity.keyValues.isEmpty()) return key;
  const QStringList values = KeyLiterals(identity, key);
  QString condition;
  for (qsizetype i = 0; i < identity.columns.size() && i < values.size(); ++i) {
    if (i > 0) condition += QStringLiteral(" AND ");
    condition += MySQL::QuoteName(identity.columns[i]) + QStringLiteral(" = ") + values[i];
  }
  return condition;
}

QString KeyColumns(const MySQL::RowIdentity& identity) {
  QStringList columns;
  for (const QString& c : identity.columns) columns << MySQL::QuoteName(c);
  return columns.join(u',');
}

namespace {

// Values above this size are found by digest, not by their bytes.
constexpr qsizetype kLargeValueBytes = 64 * 1024;

// The session variable a value sent ahead waits in.
QString AheadName(int tag) { return QStringLiteral("@nv_value%1").arg(tag); }
bool GoesAhead(const QByteArray& newBytes, int tag) { return tag >= 0 && newBytes.size() > kLargeValueBytes; }

// UPDATE `table` SET `field` = 0x<new> WHERE <pieces>;, in one text of its
// final size.
QString Assignment(const QString& table, const QString& field, const QByteArray& newBytes,
                   std::initializer_list<QString> where, int tag) {
  const QString head = QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") +
                       MySQL::QuoteName(field) + QStringLiteral(" = ");
  const bool ahead = GoesAhead(newBytes, tag);
  qsizetype size = head.size() + (ahead ? 24 : 2 * newBytes.size()) + 12;
  for (const QString& piece : where) size += piece.size();
  QString text = head;  // (appending to an empty text would share it, and drop what was reserved)
  text.reserve(size);
  if (ahead)
    text += AheadName(tag);
  else
    MySQL::AppendByteLiteral(text, newBytes);
  text += QLatin1String(" WHERE ");
  for (const QString& piece : where) text += piece;
  text += u';';
  return text;
}

}  // namespace

QString KeyedStatement(const QString& table, const QString& field, const QString& keyCondition,
                       const QByteArray& oldBytes, const QByteArray& newBytes, const QString& where, int tag) {
  // A row the user's condition no longer picks is left as it is.
  return Assignment(table, field, newBytes,
                    {keyCondition, QStringLiteral(" AND "), MySQL::ExactTest(field, oldBytes),
                     where.isEmpty() ? QString() : QStringLiteral(" AND ") + Bracketed(where)},
                    tag);
}

bool IsLarge(const QByteArray& bytes) { return bytes.size() > kLargeValueBytes; }

Batch::Ahead Ahead(int tag, const QByteArray& newBytes) {
  if (!GoesAhead(newBytes, tag)) return {};
  return {AheadName(tag), newBytes};
}

QString ValueStatement(const QString& table, const QString& field, const QByteArray& oldBytes,
                       const QByteArray& newBytes, const QString& charset, const QString& condition, int tag) {
  QString where = MySQL::ExactTest(field, oldBytes);
  if (!IsLarge(oldBytes) && !charset.isEmpty())
    where = MySQL::QuoteName(field) + QStringLiteral(" = ") + MySQL::ByteLiteral(oldBytes, charset) +
            QStringLiteral(" AND ") + where;
  // Only the rows the user's condition picks, as the run read them.
  if (!condition.isEmpty()) where += QStringLiteral(" AND ") + Bracketed(condition);
  return Assignment(table, field, newBytes, {where}, tag);
}

qsizetype PairBytes(const QString& keyValues, const QByteArray& oldBytes, const QByteArray& newBytes) {
  // (key,0xold,0xnew,group),
  return keyValues.size() + 2 * (oldBytes.size() + newBytes.size()) + 24;
}

bool NamedLikeOwnTables(const QString& table) {
  // Compared as a server that folds names to lower case would.
  for (const char* own : {"nv_keys", "nv_pairs", "nv_rows"})
    if (table.compare(QLatin1String(own), Qt::CaseInsensitive) == 0) return true;
  return false;
}

namespace {

// A run of several fields keeps each field's two values in columns of its
// own; the first field's are those of a run of one.
QString OldColumn(int field) {
  return field == 0 ? QStringLiteral("nv_old_bytes") : QStringLiteral("nv_old_bytes_") + QString::number(field);
}
QString NewColumn(int field) {
  return field == 0 ? QStringLiteral("nv_new_bytes") : QStringLiteral("nv_new_bytes_") + QString::number(field);
}

QString JoinOn(const QString& quotedTable, const MySQL::RowIdentity& identity) {
  QStringList on;
  for (const QString& c : identity.columns)
    on << quotedTable + u'.' + MySQL::QuoteName(c) + QStringLiteral(" = nv_keys.") + MySQL::QuoteName(c);
  return on.join(QStringLiteral(" AND "));
}

// "UPDATE … SET " of a group's join. The server changes the rows of the
// table it reads first as it meets them, and those of any other table
// only once the whole join is read: the table goes first where the group
// is a range of its rows, and each finds its pair by the pair table's key.
// Else the pairs go first and find their rows.
QString JoinedUpdate(const QString& quotedTable, const MySQL::RowIdentity& identity, const QString& range) {
  const QString on = QStringLiteral(" ON ") + JoinOn(quotedTable, identity) + QStringLiteral(" SET ");
  return range.isEmpty() ? QStringLiteral("UPDATE nv_keys STRAIGHT_JOIN ") + quotedTable + on
                         : QStringLiteral("UPDATE ") + quotedTable + QStringLiteral(" STRAIGHT_JOIN nv_keys") + on;
}

}  // namespace

QString KeysTable(const QString& table, const MySQL::RowIdentity& identity, bool keyed) {
  // A primary key of its own: servers may refuse any table without one
  // (sql_require_primary_key, innodb_force_primary_key). The table's key
  // where it can be one, so that a join that reads the table's rows by a
  // range finds each row's pair by it; else the pair's number.
  // Its own columns take a default: a strict session refuses to create a
  // table from a query whose columns have neither a value nor a default.
  return QStringLiteral("DROP TEMPORARY TABLE IF EXISTS nv_keys;CREATE TEMPORARY TABLE nv_keys (nv_row BIGINT NOT NULL "
                        "DEFAULT 0, nv_old_bytes LONGBLOB, nv_new_bytes LONGBLOB, nv_group INT, PRIMARY KEY (") +
         (keyed ? KeyColumns(identity) : QStringLiteral("nv_row")) + QStringLiteral(")) SELECT ") +
         KeyColumns(identity) + QStringLiteral(" FROM ") + MySQL::QuoteName(table) + QStringLiteral(" WHERE 0;");
}

QString KeyRange(const QString& table, const MySQL::RowIdentity& identity, const QString& first, const QString& last) {
  return MySQL::QuoteName(table) + u'.' + MySQL::QuoteName(identity.columns.value(0)) + QStringLiteral(" BETWEEN ") +
         first + QStringLiteral(" AND ") + last;
}

QString GroupInsert(int group, const MySQL::RowIdentity& identity, const std::vector<Pair>& rows, int fields) {
  QString columns;
  for (int f = 1; f < fields; ++f) columns += u',' + OldColumn(f) + u',' + NewColumn(f);
  QString text = QStringLiteral("INSERT INTO nv_keys (") + KeyColumns(identity) +
                 QStringLiteral(",nv_old_bytes,nv_new_bytes") + columns + QStringLiteral(",nv_group,nv_row) VALUES ");
  const QString number = QString::number(group);
  qsizetype size = text.size() + 1;
  for (const Pair& r : rows)
    size += (fields > 1 ? PairBytes(r.keyValues, r.cells) + 10 * fields : PairBytes(r.keyValues, r.oldBytes, r.newBytes)) +
            number.size() + 8;
  text.reserve(size);
  // Each piece appended where it goes: no text of a pair is made twice.
  qint64 row = 0;
  for (const Pair& r : rows) {
    if (row > 0) text += u',';
    text += u'(';
    text += r.keyValues;
    if (fields > 1) {
      // Each field's two values, or none where the row leaves it as it is.
      auto cell = r.cells.begin();
      for (int f = 0; f < fields; ++f) {
        while (cell != r.cells.end() && cell->field < f) ++cell;
        if (cell != r.cells.end() && cell->field == f) {
          text += u',';
          MySQL::AppendByteLiteral(text, cell->oldBytes);
          text += u',';
          MySQL::AppendByteLiteral(text, cell->newBytes);
        } else {
          text += QLatin1String(",NULL,NULL");
        }
      }
    } else {
      text += u',';
      MySQL::AppendByteLiteral(text, r.oldBytes);
      text += u',';
      MySQL::AppendByteLiteral(text, r.newBytes);
    }
    text += u',';
    text += number;
    text += u',';
    text += QString::number(++row);  // the pair's place in its group
    text += u')';
  }
  text += u';';
  return text;
}

bool WholeNumber(const QString& literal) {
  if (literal.isEmpty() || literal.size() > 21) return false;
  for (qsizetype i = 0; i < literal.size(); ++i) {
    const QChar c = literal[i];
    if (!(c.isDigit() && c.unicode() < 128) && !(i == 0 && c == u'-' && literal.size() > 1)) return false;
  }
  return true;
}

bool ArrayFits(const std::vector<qsizetype>& widths, qsizetype rows, qsizetype payload) {
  qsizetype room = 0;
  for (const qsizetype w : widths) room += std::max<qsizetype>(1, w) * rows;
  return room <= 4 * payload + 1024 * 1024;
}

GroupArray MakeGroupArray(int group, const MySQL::RowIdentity& identity, const std::vector<Pair>& rows, int fields) {
  GroupArray array;
  if (!identity.integerKey || rows.empty()) return array;
  for (const Pair& r : rows)
    if (!WholeNumber(r.keyValues)) return array;
  const int columns = 2 + 2 * std::max(1, fields) + 1;
  std::vector<qsizetype> widths(size_t(columns), 0);
  qsizetype payload = 0;
  array.cells.reserve(rows.size() * size_t(columns));
  const QByteArray number = QByteArray::number(group);
  // (A value of no bytes is not NULL: it goes as a buffer of its own.)
  const auto add = [&](QByteArray cell, bool present = true) {
    if (present && cell.isNull()) cell = QByteArray("", 0);
    qsizetype& width = widths[array.cells.size() % size_t(columns)];
    width = std::max(width, cell.size());
    payload += cell.size();
    array.cells.push_back(std::move(cell));
  };
  qint64 row = 0;
  for (const Pair& r : rows) {
    add(r.keyValues.toLatin1());
    if (fields > 1) {
      auto cell = r.cells.begin();
      for (int f = 0; f < fields; ++f) {
        while (cell != r.cells.end() && cell->field < f) ++cell;
        const bool has = cell != r.cells.end() && cell->field == f;
        add(has ? cell->oldBytes : QByteArray(), has);
        add(has ? cell->newBytes : QByteArray(), has);
      }
    } else {
      add(r.oldBytes);
      add(r.newBytes);
    }
    add(number);
    add(QByteArray::number(++row));
  }
  if (!ArrayFits(widths, qsizetype(rows.size()), payload)) return {};
  QString names;
  for (int f = 1; f < fields; ++f) names += u',' + OldColumn(f) + u',' + NewColumn(f);
  array.statement = QStringLiteral("INSERT INTO nv_keys (") + KeyColumns(identity) +
                    QStringLiteral(",nv_old_bytes,nv_new_bytes") + names + QStringLiteral(",nv_group,nv_row) VALUES (");
  for (int c = 0; c < columns; ++c) array.statement += c == 0 ? QStringLiteral("?") : QStringLiteral(",?");
  array.statement += u')';
  array.binary.assign(size_t(columns), true);
  array.binary.front() = false;
  array.binary[size_t(columns - 2)] = array.binary[size_t(columns - 1)] = false;
  return array;
}

QString GroupStatement(const QString& table, const QString& field, const MySQL::RowIdentity& identity, int group,
                       const QString& range) {
  const QString quotedTable = MySQL::QuoteName(table);
  const QString column = quotedTable + u'.' + MySQL::QuoteName(field);
  // Each pair finds its row through the key, and gives it the new bytes
  // only while it holds exactly the old bytes.
  // (No alias for the pairs: it could be the table's own name.)
  return JoinedUpdate(quotedTable, identity, range) + column + QStringLiteral(" = nv_keys.nv_new_bytes WHERE ") +
         (range.isEmpty() ? QString() : range + QStringLiteral(" AND ")) + QStringLiteral("nv_keys.nv_group = ") +
         QString::number(group) + QStringLiteral(" AND CAST(") + column + QStringLiteral(" AS BINARY) = nv_keys.nv_old_bytes;");
}


// The cell whose new value goes ahead of its row's statement: the largest,
// where it is large (-1: none). One value a statement goes ahead.
static qsizetype AheadCell(const std::vector<Cell>& cells) {
  qsizetype at = -1;
  qsizetype largest = kLargeValueBytes;
  for (qsizetype i = 0; i < qsizetype(cells.size()); ++i)
    if (cells[size_t(i)].newBytes.size() > largest) {
      largest = cells[size_t(i)].newBytes.size();
      at = i;
    }
  return at;
}

qsizetype PairBytes(const QString& keyValues, const std::vector<Cell>& cells) {
  qsizetype bytes = keyValues.size() + 24;
  for (const Cell& c : cells) bytes += 2 * (c.oldBytes.size() + c.newBytes.size()) + 12;
  return bytes;
}

QString KeysTable(const QString& table, const MySQL::RowIdentity& identity, int fields, bool keyed) {
  QString text = KeysTable(table, identity, keyed);
  QString more;
  for (int f = 1; f < fields; ++f) more += QStringLiteral(", ") + OldColumn(f) + QStringLiteral(" LONGBLOB, ") + NewColumn(f) + QStringLiteral(" LONGBLOB");
  return text.replace(QStringLiteral("nv_new_bytes LONGBLOB, "), QStringLiteral("nv_new_bytes LONGBLOB") + more + QStringLiteral(", "));
}

QString GroupStatement(const QString& table, const QStringList& fields, const MySQL::RowIdentity& identity, int group,
                       const QString& range) {
  const QString quotedTable = MySQL::QuoteName(table);
  QStringList set, every;
  for (int f = 0; f < fields.size(); ++f) {
    const QString column = quotedTable + u'.' + MySQL::QuoteName(fields[f]);
    // A field the pair leaves out has no values: it keeps what it holds.
    set << column + QStringLiteral(" = IFNULL(nv_keys.") + NewColumn(f) + QStringLiteral(", ") + column + u')';
    every << QStringLiteral("(nv_keys.") + OldColumn(f) + QStringLiteral(" IS NULL OR CAST(") + column +
                 QStringLiteral(" AS BINARY) = nv_keys.") + OldColumn(f) + u')';
  }
  return JoinedUpdate(quotedTable, identity, range) + set.join(QStringLiteral(", ")) + QStringLiteral(" WHERE ") +
         (range.isEmpty() ? QString() : range + QStringLiteral(" AND ")) + QStringLiteral("nv_keys.nv_group = ") +
         QString::number(group) + QStringLiteral(" AND ") + every.join(QStringLiteral(" AND ")) + u';';
}

QString RowStatement(const QString& table, const QStringList& fields, const QString& keyCondition,
                     const std::vector<Cell>& cells, const QString& where, int tag) {
  QStringList set, any;
  const qsizetype ahead = AheadCell(cells);
  for (qsizetype i = 0; i < qsizetype(cells.size()); ++i) {
    const Cell& c = cells[size_t(i)];
    const QString& field = fields.value(c.field);
    const QString name = MySQL::QuoteName(field);
    const QString holdsOld = MySQL::ExactTest(field, c.oldBytes);
    QString value;
    if (i == ahead && GoesAhead(c.newBytes, tag))
      value = AheadName(tag);
    else
      MySQL::AppendByteLiteral(value, c.newBytes);
    set << name + QStringLiteral(" = IF(") + holdsOld + QStringLiteral(", ") + value + QStringLiteral(", ") + name + u')';
    any << u'(' + holdsOld + u')';
  }
  // A row the user's condition no longer picks is left as it is.
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") + set.join(QStringLiteral(", ")) +
         QStringLiteral(" WHERE ") + keyCondition + QStringLiteral(" AND (") + any.join(QStringLiteral(" OR ")) + u')' +
         (where.isEmpty() ? QString() : QStringLiteral(" AND ") + Bracketed(where)) + u';';
}

QString GroupShortfall(const QString& table, const QStringList& fields, const MySQL::RowIdentity& identity, int group) {
  const QString quotedTable = MySQL::QuoteName(table);
  QStringList values, holdsNew;
  for (int f = 0; f < fields.size(); ++f) {
    const QString column = QStringLiteral("CAST(") + quotedTable + u'.' + MySQL::QuoteName(fields[f]) + QStringLiteral(" AS BINARY)");
    values << column;
    holdsNew << QStringLiteral("(nv_keys.") + NewColumn(f) + QStringLiteral(" IS NULL OR ") + column +
                    QStringLiteral(" <=> nv_keys.") + NewColumn(f) + u')';
  }
  return QStringLiteral("SELECT nv_keys.nv_row, ") + values.join(QStringLiteral(", ")) + QStringLiteral(" FROM nv_keys LEFT JOIN ") +
         quotedTable + QStringLiteral(" ON ") + JoinOn(quotedTable, identity) + QStringLiteral(" WHERE nv_keys.nv_group = ") +
         QString::number(group) + QStringLiteral(" AND NOT (") + holdsNew.join(QStringLiteral(" AND ")) + QStringLiteral(");");
}

QString ShownKey(const MySQL::RowIdentity& identity, const QString& key) {
  if (key.isEmpty() || identity.keyValues.isEmpty()) return key;
  static const QRegularExpression hex(QStringLiteral("^_(utf8mb4|utf8mb3|utf8|ascii) X'([0-9A-Fa-f]*)'$"));
  QStringList values;
  for (const QString& value : key.split(u',')) {
    const QRegularExpressionMatch m = hex.match(value);
    values << (m.hasMatch() ? u'\'' + QString::fromUtf8(QByteArray::fromHex(m.captured(2).toLatin1())) + u'\'' : value);
  }
  QStringList names;
  for (const QString& c : identity.columns) names << MySQL::QuoteName(c);
  if (names.size() == 1) return names.front() + u'=' + values.join(u',');
  return u'(' + names.join(QStringLiteral(", ")) + QStringLiteral(")=(") + values.join(QStringLiteral(", ")) + u')';
}

QString GroupRows(int group) {
  return QStringLiteral("SELECT nv_row FROM nv_keys WHERE nv_group = %1 ORDER BY nv_row;").arg(group);
}

QString GroupShortfall(const QString& table, const QString& field, const MySQL::RowIdentity& identity, int group) {
  const QString quotedTable = MySQL::QuoteName(table);
  const QString column = QStringLiteral("CAST(") + quotedTable + u'.' + MySQL::QuoteName(field) + QStringLiteral(" AS BINARY)");
  return QStringLiteral("SELECT nv_keys.nv_row, ") + column + QStringLiteral(" FROM nv_keys LEFT JOIN ") + quotedTable +
         QStringLiteral(" ON ") + JoinOn(quotedTable, identity) + QStringLiteral(" WHERE nv_keys.nv_group = ") +
         QString::number(group) + QStringLiteral(" AND NOT (") + column + QStringLiteral(" <=> nv_keys.nv_new_bytes);");
}

QString GroupsDone() {
  // Emptied whole: rows deleted one by one from a temporary table are never
  // purged, and each group would find more of them.
  return QStringLiteral("TRUNCATE TABLE nv_keys;");
}

Batch::Note RecordNote(qint64 record, const QString& key, const QByteArray& oldBytes, const QByteArray& newBytes) {
  return {{{record, key, oldBytes, newBytes}}, false};
}

Batch::Note RowNote(qint64 record, const QString& key, const std::vector<Cell>& cells) {
  Batch::Note note;
  note.records.reserve(qsizetype(cells.size()));
  for (const Cell& c : cells) note.records << Batch::RecordNote{record, key, c.oldBytes, c.newBytes, c.field};
  return note;
}

Batch::Ahead RowAhead(int tag, const std::vector<Cell>& cells) {
  const qsizetype at = AheadCell(cells);
  return at < 0 ? Batch::Ahead{} : Ahead(tag, cells[size_t(at)].newBytes);
}

Batch::Note Journaled(Batch::Note note) {
  note.journaled = true;
  return note;
}

QString SessionModeStatement(const QString& currentMode, bool strict) {
  QStringList modes = currentMode.toUpper().split(u',', Qt::SkipEmptyParts);
  // The modes that read quotes and backslashes otherwise, and the names
  // that stand for several modes with them (ANSI, ORACLE …).
  for (const char* reading : {"NO_BACKSLASH_ESCAPES", "ANSI_QUOTES", "ANSI", "DB2", "MAXDB", "MSSQL", "ORACLE",
                              "POSTGRESQL"})
    modes.removeAll(QLatin1String(reading));
  if (strict && !modes.contains(QStringLiteral("STRICT_ALL_TABLES"))) modes << QStringLiteral("STRICT_ALL_TABLES");
  return QStringLiteral("SET SESSION sql_mode = '") + modes.join(u',') + QStringLiteral("';");
}

}  // namespace Rewrite
