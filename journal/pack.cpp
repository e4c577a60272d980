#include "journal/pack.h"

#include <cstring>

namespace Journal {

namespace {

void PutLength(QByteArray& out, qsizetype n) {
  const quint32 v = quint32(n);
  const char bytes[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char((v >> 24) & 0xFF)};
  out.append(bytes, 4);
}

}  // namespace

// Each item: its key, old and new values, each with its length (four bytes,
// least significant first), then one byte of rows and four of field.
QByteArray Pack(const std::vector<Packed>& items) {
  qsizetype size = 0;
  for (const Packed& p : items) size += 12 + p.key.size() + p.oldValue.size() + p.newValue.size() + 5;
  QByteArray out;
  out.reserve(size);
  for (const Packed& p : items) {
    for (const QByteArray* part : {&p.key, &p.oldValue, &p.newValue}) {
      PutLength(out, part->size());
      out.append(*part);
    }
    out.append(char(p.rows > 0 ? 1 : 0));
    PutLength(out, p.field);
  }
  return out;
}

std::vector<Packed> Unpack(const QByteArray& bytes, const QString& path) {
  std::vector<Packed> items;
  qsizetype at = 0;
  const auto length = [&]() -> qsizetype {
    if (bytes.size() - at < 4) throw Damaged(path, QStringLiteral("an entry is cut short"));
    const auto* b = reinterpret_cast<const uchar*>(bytes.constData() + at);
    at += 4;
    return qsizetype(quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24));
  };
  const auto part = [&]() {
    const qsizetype n = length();
    if (n > bytes.size() - at) throw Damaged(path, QStringLiteral("an entry is cut short"));
    QByteArray value = bytes.mid(at, n);
    at += n;
    return value;
  };
  while (at < bytes.size()) {
    Packed p;
    p.key = part();
    p.oldValue = part();
    p.newValue = part();
    if (at >= bytes.size()) throw Damaged(path, QStringLiteral("an entry is cut short"));
    p.rows = bytes[at++] != 0 ? 1 : 0;
    p.field = int(length());
    items.push_back(std::move(p));
  }
  return items;
}

qint64 LiveRows(const std::vector<Packed>& items) {
  qint64 rows = 0;
  for (const Packed& p : items) rows += p.rows > 0 ? 1 : 0;
  return rows;
}

}  // namespace Journal
