#include "conversion/rangedigest.h"

#include <algorithm>
#include <charconv>

#include "conversion/servercase.h"
#include "database/mysql.h"

namespace Conversion {

namespace {
void AppendField(QByteArray& text, const QByteArray& bytes, bool null) {
  text += ',';
  if (null) {
    text += "-1";
    return;
  }
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, bytes.size()).ptr;
  text.append(digits, end - digits);
  text += ',';
  text += bytes;
}
}  // namespace

void AppendRow(QByteArray& text, const Pair& row) {
  // (A key's text is mostly digits: appended as they are, with no copy.)
  const QString& key = row.keyValues;
  if (QtPrivate::isAscii(QStringView(key))) {
    for (const QChar c : key) text += char(c.unicode());
  } else {
    text += key.toUtf8();
  }
  if (row.read.empty()) {
    AppendField(text, row.oldBytes, false);
    return;
  }
  for (const Read& r : row.read) AppendField(text, r.bytes, r.null);
}

QString RangeDigestRead(const QString& table, const MySQL::RowIdentity& identity, const QStringList& fields,
                        const QString& scope) {
  QStringList parts;
  // (An integer key's own column gives its digits, as its text does.)
  parts << (identity.integerKey ? MySQL::QuoteName(identity.columns.front())
                                : QStringLiteral("CAST(") + identity.keyValues + QStringLiteral(" AS BINARY)"));
  for (const QString& name : fields) {
    const QString bytes = QStringLiteral("CAST(") + MySQL::QuoteName(name) + QStringLiteral(" AS BINARY)");
    parts << QStringLiteral("IFNULL(LENGTH(") + bytes + QStringLiteral("), -1)") << bytes;
  }
  // (CONCAT_WS leaves a NULL out: such a field adds its -1 alone.)
  return QStringLiteral("SELECT SHA2(GROUP_CONCAT(CONCAT_WS(',', ") + parts.join(QStringLiteral(", ")) +
         QStringLiteral(") SEPARATOR ','), 256) FROM ") + MySQL::QuoteName(table) + QStringLiteral(" WHERE ") + scope +
         QStringLiteral(" FOR UPDATE;");
}

RangeDigest OneFieldRange(const std::vector<Pair>& rows, const std::vector<Pair>& joined,
                          const std::vector<Pair>& passing) {
  RangeDigest made;
  if (rows.empty()) return made;
  const qint64 first = rows.front().record, last = rows.back().record;
  struct Row {
    const Pair* pair;
    bool within;
  };
  std::vector<Row> range;
  range.reserve(size_t(last - first + 1));
  for (const Pair& p : rows) range.push_back({&p, false});
  for (const Pair& p : joined)
    if (p.record > first && p.record < last) range.push_back({&p, true});
  for (const Pair& p : passing)
    if (p.record > first && p.record < last) range.push_back({&p, !p.leaves});
  // Every record between the two, once each: a row that went alone, or was
  // not read whole, leaves a gap.
  if (qint64(range.size()) != last - first + 1) return made;
  std::sort(range.begin(), range.end(), [](const Row& a, const Row& b) { return a.pair->record < b.pair->record; });
  qsizetype size = 0;
  for (size_t i = 0; i < range.size(); ++i) {
    const Pair& p = *range[i].pair;
    if (p.record != first + qint64(i) || (!p.read.empty() && p.read.size() != 1)) return made;
    size += p.keyValues.size() + 24 + (p.read.empty() ? p.oldBytes.size() : p.read.front().bytes.size());
  }
  QByteArray text;
  text.reserve(size);
  for (size_t i = 0; i < range.size(); ++i) {
    if (i > 0) text += ',';
    AppendRow(text, *range[i].pair);
    if (range[i].within) made.within << range[i].pair->keyValues;
  }
  made.room = text.size();
  made.expected = ServerCase::Sha256Hex(text);
  return made;
}

}  // namespace Conversion
