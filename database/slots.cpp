#include "database/slots.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "database/mysql.h"

namespace Rewrite {

namespace {
// Keys stay this far inside BIGINT: `key - first` can then never overflow,
// signed or unsigned.
constexpr qint64 kKeyBound = qint64(1) << 62;

std::optional<qint64> WholeKey(const QString& literal) {
  if (literal.isEmpty() || literal.size() > 20) return std::nullopt;
  for (qsizetype i = 0; i < literal.size(); ++i) {
    const QChar c = literal[i];
    if (!(c.unicode() >= '0' && c.unicode() <= '9') && !(i == 0 && c == u'-' && literal.size() > 1)) return std::nullopt;
  }
  bool ok = false;
  const qint64 value = literal.toLongLong(&ok);
  if (!ok || value >= kKeyBound || value <= -kKeyBound) return std::nullopt;
  return value;
}

// ELT(slot, v1, NULL, v3, …): each slot's value, NULL where no pair has it.
void AppendSlots(QString& text, const QString& slot, const std::vector<qint64>& at, qint64 span,
                 const std::function<const QByteArray*(size_t)>& value) {
  text += QLatin1String("ELT(");
  text += slot;
  qint64 next = 0;
  for (size_t p = 0; p < at.size(); ++p) {
    for (; next < at[p]; ++next) text += QLatin1String(",NULL");
    text += u',';
    if (const QByteArray* bytes = value(p))
      MySQL::AppendByteLiteral(text, *bytes);
    else
      text += QLatin1String("NULL");
    ++next;
  }
  for (; next < span; ++next) text += QLatin1String(",NULL");
  text += u')';
}
}  // namespace

QString SlotStatement(const QString& table, const QStringList& fields, const MySQL::RowIdentity& identity,
                      const std::vector<Pair>& pairs) {
  if (!identity.integerKey || pairs.empty() || fields.isEmpty()) return {};
  std::vector<qint64> keys;
  keys.reserve(pairs.size());
  for (const Pair& p : pairs) {
    const std::optional<qint64> key = WholeKey(p.keyValues);
    if (!key) return {};
    keys.push_back(*key);
  }
  const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
  const qint64 first = *low, span = *high - *low + 1;
  if (span > kSlotsPerPair * qint64(pairs.size()) + 64) return {};
  // Each pair's slot, in the key's order (an undo's groups come newest
  // first); two pairs of one key cannot share a slot.
  std::vector<size_t> order(pairs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
  std::vector<qint64> at;
  at.reserve(order.size());
  for (const size_t i : order) {
    if (!at.empty() && keys[i] - first == at.back()) return {};
    at.push_back(keys[i] - first);
  }

  const QString quotedTable = MySQL::QuoteName(table);
  const QString key = quotedTable + u'.' + MySQL::QuoteName(identity.columns.value(0));
  const QString slot = first >= 1 ? key + QStringLiteral(" - ") + QString::number(first - 1)
                                  : key + QStringLiteral(" + ") + QString::number(1 - first);
  qsizetype size = 256;
  for (const Pair& p : pairs) size += p.cells.empty() ? PairBytes(p.keyValues, p.oldBytes, p.newBytes)
                                                      : PairBytes(p.keyValues, p.cells) + 20 * fields.size();
  QString text;
  text.reserve(size + 10 * span * fields.size());
  const QString range = key + QStringLiteral(" BETWEEN ") + QString::number(first) + QStringLiteral(" AND ") +
                        QString::number(*high);
  if (fields.size() == 1 && pairs.front().cells.empty()) {
    const QString column = quotedTable + u'.' + MySQL::QuoteName(fields.front());
    text += QStringLiteral("UPDATE ") + quotedTable + QStringLiteral(" SET ") + column + QStringLiteral(" = ");
    AppendSlots(text, slot, at, span, [&](size_t p) { return &pairs[order[p]].newBytes; });
    text += QStringLiteral(" WHERE ") + range + QStringLiteral(" AND CAST(") + column + QStringLiteral(" AS BINARY) = ");
    AppendSlots(text, slot, at, span, [&](size_t p) { return &pairs[order[p]].oldBytes; });
    text += u';';
    return text;
  }
  // Several fields: each field's values, NULL where a row leaves it as it is.
  const auto cellOf = [&](size_t p, int field) -> const Cell* {
    for (const Cell& c : pairs[order[p]].cells)
      if (c.field == field) return &c;
    return nullptr;
  };
  text += QStringLiteral("UPDATE ") + quotedTable + QStringLiteral(" SET ");
  for (int f = 0; f < fields.size(); ++f) {
    const QString column = quotedTable + u'.' + MySQL::QuoteName(fields[f]);
    if (f > 0) text += QLatin1String(", ");
    text += column + QStringLiteral(" = IFNULL(");
    AppendSlots(text, slot, at, span, [&](size_t p) -> const QByteArray* {
      const Cell* c = cellOf(p, f);
      return c ? &c->newBytes : nullptr;
    });
    text += QStringLiteral(", ") + column + u')';
  }
  // Only the group's own rows: a row between them that no pair names
  // matches every field's empty slot.
  text += QStringLiteral(" WHERE ") + range + QStringLiteral(" AND ") + key + QStringLiteral(" IN (");
  for (size_t p = 0; p < order.size(); ++p) {
    if (p > 0) text += u',';
    text += QString::number(first + at[p]);
  }
  text += u')';
  for (int f = 0; f < fields.size(); ++f) {
    const QString column = quotedTable + u'.' + MySQL::QuoteName(fields[f]);
    QString old;
    AppendSlots(old, slot, at, span, [&](size_t p) -> const QByteArray* {
      const Cell* c = cellOf(p, f);
      return c ? &c->oldBytes : nullptr;
    });
    // (A field the row leaves out compares with itself.)
    const QString bytes = QStringLiteral("CAST(") + column + QStringLiteral(" AS BINARY)");
    text += QStringLiteral(" AND ") + bytes + QStringLiteral(" <=> IFNULL(") + old + QStringLiteral(", ") + bytes + u')';
  }
  text += u';';
  return text;
}

QString SlotRows(const QString& table, const QStringList& fields, const MySQL::RowIdentity& identity,
                 const QStringList& keys) {
  const QString quotedTable = MySQL::QuoteName(table);
  const QString key = quotedTable + u'.' + MySQL::QuoteName(identity.columns.value(0));
  QString text = QStringLiteral("SELECT ") + key;
  for (const QString& f : fields) text += QStringLiteral(", CAST(") + quotedTable + u'.' + MySQL::QuoteName(f) + QStringLiteral(" AS BINARY)");
  text += QStringLiteral(" FROM ") + quotedTable + QStringLiteral(" WHERE ") + key + QStringLiteral(" IN (") +
          keys.join(u',') + QStringLiteral(");");
  return text;
}

}  // namespace Rewrite
