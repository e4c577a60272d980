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
  bool ok = false;
  const qint64 value = WholeNumber(literal) ? literal.toLongLong(&ok) : 0;
  if (!ok || value >= kKeyBound || value <= -kKeyBound) return std::nullopt;
  return value;
}

// ELT(slot, v1, NULL, v3, …): each slot's value, NULL where no pair has it.
void AppendSlots(QString& text, const QString& slot, const std::vector<qint64>& at, qint64 span,
                 const std::function<const QByteArray*(size_t)>& value) {
  // (Every pair has its bytes: the empty value is a value, not a NULL.)
  text += QLatin1String("ELT(");
  text += slot;
  qint64 next = 0;
  for (size_t p = 0; p < at.size(); ++p) {
    for (; next < at[p]; ++next) text += QLatin1String(",NULL");
    text += u',';
    MySQL::AppendByteLiteral(text, *value(p));
    ++next;
  }
  for (; next < span; ++next) text += QLatin1String(",NULL");
  text += u')';
}
}  // namespace

namespace {
// Each pair's slot counted from `first`, in the key's order (an undo's
// groups come newest first), and the highest key; none where a key is not
// a plain whole number or two pairs share a slot.
struct Placed {
  std::vector<size_t> order;
  std::vector<qint64> at;
  qint64 first = 0, high = 0;
};
std::optional<Placed> Place(const std::vector<Pair>& pairs, std::optional<qint64> from) {
  std::vector<qint64> keys;
  keys.reserve(pairs.size());
  for (const Pair& p : pairs) {
    const std::optional<qint64> key = WholeKey(p.keyValues);
    if (!key || !p.cells.empty()) return std::nullopt;
    keys.push_back(*key);
  }
  Placed placed;
  const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
  placed.first = from.value_or(*low);
  placed.high = *high;
  if (placed.first > *low) return std::nullopt;
  placed.order.resize(pairs.size());
  for (size_t i = 0; i < placed.order.size(); ++i) placed.order[i] = i;
  std::sort(placed.order.begin(), placed.order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
  placed.at.reserve(placed.order.size());
  for (const size_t i : placed.order) {
    if (!placed.at.empty() && keys[i] - placed.first == placed.at.back()) return std::nullopt;
    placed.at.push_back(keys[i] - placed.first);
  }
  return placed;
}

QString SlotOf(const QString& key, qint64 first) {
  return first >= 1 ? key + QStringLiteral(" - ") + QString::number(first - 1)
                    : key + QStringLiteral(" + ") + QString::number(1 - first);
}
}  // namespace

QString SlotList(const QString& table, const MySQL::RowIdentity& identity, const std::vector<Pair>& pairs,
                 qint64 first, qint64 last) {
  if (!identity.integerKey || pairs.empty()) return {};
  const std::optional<Placed> placed = Place(pairs, first);
  if (!placed || placed->high > last) return {};
  const QString key = MySQL::QuoteName(table) + u'.' + MySQL::QuoteName(identity.columns.value(0));
  qsizetype size = 64 + 6 * (last - first + 1);
  for (const Pair& p : pairs) size += 2 * p.newBytes.size() + 4;
  QString text;
  text.reserve(size);
  AppendSlots(text, SlotOf(key, first), placed->at, placed->high - first + 1,
              [&](size_t p) { return &pairs[placed->order[p]].newBytes; });
  return text;
}

QString SlotStatement(const QString& table, const QString& field, const MySQL::RowIdentity& identity,
                      const std::vector<Pair>& pairs, qsizetype most) {
  if (!identity.integerKey || pairs.empty()) return {};
  const std::optional<Placed> placed = Place(pairs, std::nullopt);
  if (!placed) return {};
  const qint64 first = placed->first, span = placed->high - first + 1;
  if (span > kSlotsPerPair * qint64(pairs.size()) + 64) return {};
  const std::vector<size_t>& order = placed->order;
  const std::vector<qint64>& at = placed->at;
  const qint64 high = placed->high;

  const QString quotedTable = MySQL::QuoteName(table);
  const QString key = quotedTable + u'.' + MySQL::QuoteName(identity.columns.value(0));
  const QString slot = SlotOf(key, first);
  const QString column = quotedTable + u'.' + MySQL::QuoteName(field);
  qsizetype size = 256 + 10 * span;
  for (const Pair& p : pairs) size += PairBytes(p.keyValues, p.oldBytes, p.newBytes);
  QString text;
  text.reserve(size);
  text += QStringLiteral("UPDATE ") + quotedTable + QStringLiteral(" SET ") + column + QStringLiteral(" = ");
  AppendSlots(text, slot, at, span, [&](size_t p) { return &pairs[order[p]].newBytes; });
  // A row between the group's keys that no pair names meets an empty
  // slot, NULL, which no bytes equal.
  text += QStringLiteral(" WHERE ") + key + QStringLiteral(" BETWEEN ") + QString::number(first) +
          QStringLiteral(" AND ") + QString::number(high) + QStringLiteral(" AND CAST(") + column +
          QStringLiteral(" AS BINARY) = ");
  AppendSlots(text, slot, at, span, [&](size_t p) { return &pairs[order[p]].oldBytes; });
  text += u';';
  return text.size() <= most ? text : QString();
}

QString SlotRows(const QString& table, const QString& field, const MySQL::RowIdentity& identity,
                 const QStringList& keys) {
  const QString quotedTable = MySQL::QuoteName(table);
  const QString key = quotedTable + u'.' + MySQL::QuoteName(identity.columns.value(0));
  return QStringLiteral("SELECT ") + key + QStringLiteral(", CAST(") + quotedTable + u'.' + MySQL::QuoteName(field) +
         QStringLiteral(" AS BINARY) FROM ") + quotedTable + QStringLiteral(" WHERE ") + key + QStringLiteral(" IN (") +
         keys.join(u',') + QStringLiteral(");");
}

}  // namespace Rewrite
