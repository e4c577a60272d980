#include "journal/pack.h"

#include <cstring>

namespace Journal {

namespace {

// Each item: its key, old and new values, each with its length (four bytes,
// least significant first), then one byte of rows and four of field.
constexpr qsizetype kItemFraming = 3 * 4 + 1 + 4;

char* PutLength(char* at, qsizetype n) {
  const quint32 v = quint32(n);
  at[0] = char(v & 0xFF);
  at[1] = char((v >> 8) & 0xFF);
  at[2] = char((v >> 16) & 0xFF);
  at[3] = char((v >> 24) & 0xFF);
  return at + 4;
}

char* PutPart(char* at, const char* bytes, qsizetype n) {
  at = PutLength(at, n);
  if (n > 0) std::memcpy(at, bytes, size_t(n));
  return at + n;
}

// What follows an item's key.
char* PutRest(char* at, const QByteArray& oldValue, const QByteArray& newValue, qint64 rows, int field) {
  at = PutPart(at, oldValue.constData(), oldValue.size());
  at = PutPart(at, newValue.constData(), newValue.size());
  *at++ = char(rows > 0 ? 1 : 0);
  return PutLength(at, field);
}

}  // namespace

QByteArray Pack(const EntryView* from, const EntryView* to, qint64& bytes) {
  // A key of digits and letters is its own UTF-8, a byte a character; any
  // other is made once.
  std::vector<QByteArray> wide;
  qsizetype size = 0;
  for (const EntryView* e = from; e != to; ++e) {
    qsizetype key = e->key->size();
    if (!QtPrivate::isAscii(QStringView(*e->key))) {
      if (wide.empty()) wide.resize(size_t(to - from));
      QByteArray& utf8 = wide[size_t(e - from)];
      utf8 = e->key->toUtf8();
      key = utf8.size();
    }
    size += kItemFraming + key + e->oldValue->size() + e->newValue->size();
    bytes += key + e->oldValue->size() + e->newValue->size() + kEntryBytes;
  }
  QByteArray out(size, Qt::Uninitialized);
  char* at = out.data();
  for (const EntryView* e = from; e != to; ++e) {
    const QByteArray* utf8 = wide.empty() || wide[size_t(e - from)].isNull() ? nullptr : &wide[size_t(e - from)];
    if (utf8) {
      at = PutPart(at, utf8->constData(), utf8->size());
    } else {
      at = PutLength(at, e->key->size());
      for (const QChar c : *e->key) *at++ = char(c.unicode());
    }
    at = PutRest(at, *e->oldValue, *e->newValue, e->rows, e->field);
  }
  return out;
}

QByteArray Pack(const std::vector<Packed>& items) {
  qsizetype size = 0;
  for (const Packed& p : items) size += kItemFraming + p.key.size() + p.oldValue.size() + p.newValue.size();
  QByteArray out(size, Qt::Uninitialized);
  char* at = out.data();
  for (const Packed& p : items) {
    at = PutPart(at, p.key.constData(), p.key.size());
    at = PutRest(at, p.oldValue, p.newValue, p.rows, p.field);
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
