#include "conversion/servercase.h"

#include <QRegularExpression>
#include <openssl/evp.h>
#include <stdexcept>

#include "conversion/rangedigest.h"
#include "conversion/way.h"
#include "database/mysql.h"
#include "database/rewrite.h"

namespace Conversion {
namespace {

// The characters one question asks about.
constexpr int kAskedAtOnce = 200;

const char* FunctionName(int function) { return function == 0 ? "UPPER" : "LOWER"; }

QString KeyList(const MySQL::RowIdentity& identity) {
  const QString columns = Rewrite::KeyColumns(identity);
  return identity.columns.size() == 1 ? columns : u'(' + columns + u')';
}

}  // namespace

ServerCase::Function ServerCase::Of(Case::CaseMode mode) {
  if (mode == Case::CaseMode::CaseUpper) return Function::Upper;
  if (mode == Case::CaseMode::CaseLower) return Function::Lower;
  return Function::None;
}

ServerCase::ServerCase(QString charset, QString collation, Form form)
    : charset_(std::move(charset)), collation_(std::move(collation)), form_(form) {}

std::unique_ptr<ServerCase> ServerCase::For(ADODB::Connection& connection, const QString& table, const QString& field,
                                            const QString& charset, Form form) {
  if (form == Form::Other) return nullptr;
  auto row = connection.Execute(QStringLiteral("SELECT COLLATION_NAME FROM information_schema.COLUMNS WHERE "
                                               "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = %1 AND COLUMN_NAME = %2;")
                                    .arg(MySQL::TextLiteral(table), MySQL::TextLiteral(field)));
  if (!row || row->Eof() || row->Value(0).isNull()) return nullptr;
  // The names go into statements as they are: only plain ones.
  static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9_]+$"));
  const QString collation = row->Value(0).toString();
  if (!plainName.match(charset).hasMatch() || !plainName.match(collation).hasMatch()) return nullptr;
  return std::unique_ptr<ServerCase>(new ServerCase(charset, collation, form));
}

std::pair<char32_t, int> ServerCase::Next(const QByteArray& bytes, qsizetype at) const {
  const auto byte = [&](qsizetype i) { return char32_t(uchar(bytes[i])); };
  const qsizetype left = bytes.size() - at;
  switch (form_) {
    case Form::Other:
      return {0, 0};
    case Form::Single:
      return {byte(at), 1};
    case Form::Utf8: {
      const char32_t lead = byte(at);
      if (lead < 0x80) return {lead, 1};
      const int length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
      if (length == 0 || left < length) return {0, 0};
      char32_t c = lead & (0x7F >> length);
      for (int i = 1; i < length; ++i) {
        const char32_t next = byte(at + i);
        if ((next & 0xC0) != 0x80) return {0, 0};
        c = (c << 6) | (next & 0x3F);
      }
      // One character, one way of writing it.
      const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
      if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0, 0};
      return {c, length};
    }
    case Form::Utf16:
    case Form::Utf16Le: {
      const auto unit = [&](qsizetype i) {
        return form_ == Form::Utf16 ? (byte(i) << 8) | byte(i + 1) : (byte(i + 1) << 8) | byte(i);
      };
      if (left < 2) return {0, 0};
      const char32_t first = unit(at);
      if (first < 0xD800 || first > 0xDFFF) return {first, 2};
      if (first > 0xDBFF || left < 4) return {0, 0};
      const char32_t second = unit(at + 2);
      if (second < 0xDC00 || second > 0xDFFF) return {0, 0};
      return {0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00), 4};
    }
    case Form::Utf32: {
      if (left < 4) return {0, 0};
      const char32_t c = (byte(at) << 24) | (byte(at + 1) << 16) | (byte(at + 2) << 8) | byte(at + 3);
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0, 0};
      return {c, 4};
    }
  }
  return {0, 0};
}

const QByteArray* ServerCase::Written(int function, char32_t character) const {
  const Table& table = tables_[function];
  if (character < 256) return table.knowsLow[character] ? &table.low[character] : nullptr;
  const auto found = table.high.constFind(character);
  return found == table.high.constEnd() ? nullptr : &*found;
}

bool ServerCase::Computes(Function function, const QByteArray& oldBytes, const QByteArray& newBytes) {
  if (function == Function::None) return false;
  const int f = function == Function::Upper ? 0 : 1;
  // The server writes each character's own answer, one after the other:
  // they must make exactly the new bytes.
  bool agrees = true;
  qsizetype written = 0;
  for (qsizetype at = 0; at < oldBytes.size();) {
    const auto [character, length] = Next(oldBytes, at);
    if (length == 0) return false;
    const QByteArray* answer = Written(f, character);
    if (!answer) {
      if (!unanswered_[f].contains(character)) unknown_[f].insert(character, oldBytes.mid(at, length));
      agrees = false;
    } else if (agrees) {
      agrees = written + answer->size() <= newBytes.size() &&
               std::equal(answer->begin(), answer->end(), newBytes.begin() + written);
      written += answer->size();
    }
    at += length;
  }
  return agrees && written == newBytes.size();
}

void ServerCase::Learn(ADODB::Connection& connection) {
  for (int f = 0; f < 2; ++f) {
    const QList<char32_t> characters = unknown_[f].keys();
    for (qsizetype from = 0; from < characters.size(); from += kAskedAtOnce) {
      const qsizetype count = std::min<qsizetype>(kAskedAtOnce, characters.size() - from);
      QStringList asked;
      for (qsizetype i = from; i < from + count; ++i)
        asked << QStringLiteral("HEX(%1(_%2 X'%3' COLLATE %4))")
                     .arg(QLatin1String(FunctionName(f)), charset_,
                          QString::fromLatin1(unknown_[f].value(characters[i]).toHex()), collation_);
      auto row = connection.Execute(QStringLiteral("SELECT ") + asked.join(u',') + u';');
      for (qsizetype i = 0; i < count; ++i) {
        const char32_t c = characters[from + i];
        const QVariant answer = row && !row->Eof() ? row->Value(int(i)) : QVariant();
        if (answer.isNull()) {
          unanswered_[f].insert(c);
          continue;
        }
        const QByteArray bytes = QByteArray::fromHex(answer.toString().toLatin1());
        Table& table = tables_[f];
        if (c < 256) {
          table.low[c] = bytes;
          table.knowsLow[c] = true;
        } else {
          table.high.insert(c, bytes);
        }
      }
    }
    unknown_[f].clear();
  }
}

QString ServerCase::KeysIn(const MySQL::RowIdentity& identity, const QStringList& keys) {
  const bool one = identity.columns.size() == 1;
  QString text = KeyList(identity) + QStringLiteral(" IN (");
  qsizetype size = text.size() + 2;
  for (const QString& k : keys) size += k.size() + 3;
  text.reserve(size);
  bool first = true;
  for (const QString& k : keys) {
    if (!first) text += u',';
    first = false;
    if (one) {
      text += k;
    } else {
      text += u'(';
      text += k;
      text += u')';
    }
  }
  text += u')';
  return text;
}

bool ServerCase::Ranged(const MySQL::RowIdentity& identity) {
  return identity.columns.size() == 1 && identity.keyOrdered && !identity.keyValues.isEmpty();
}

QString ServerCase::Scope(const MySQL::RowIdentity& identity, const std::vector<Pair>& pairs) {
  if (Ranged(identity))
    return MySQL::QuoteName(identity.columns.front()) + QStringLiteral(" BETWEEN ") + pairs.front().keyValues +
           QStringLiteral(" AND ") + pairs.back().keyValues;
  QStringList keys;
  keys.reserve(qsizetype(pairs.size()));
  for (const Pair& p : pairs) keys << p.keyValues;
  return KeysIn(identity, keys);
}

QString ServerCase::LockingRead(Function function, const QString& table, const QString& field,
                                const MySQL::RowIdentity& identity, const QString& scope) {
  const QString bytes = QStringLiteral("CAST(") + MySQL::QuoteName(field) + QStringLiteral(" AS BINARY)");
  return QStringLiteral("SELECT ") + identity.keyValues + u',' + bytes + u',' + bytes + QStringLiteral(" <=> CAST(") +
         QLatin1String(FunctionName(function == Function::Upper ? 0 : 1)) + u'(' + MySQL::QuoteName(field) +
         QStringLiteral(") AS BINARY) FROM ") + MySQL::QuoteName(table) + QStringLiteral(" WHERE ") + scope +
         (Ranged(identity) ? QStringLiteral(" ORDER BY ") + MySQL::QuoteName(identity.columns.front()) : QString()) +
         QStringLiteral(" FOR UPDATE;");
}

QString ServerCase::DigestOf(const QString& field, const MySQL::RowIdentity& identity, const QString& adds) {
  const QString bytes = QStringLiteral("CAST(") + MySQL::QuoteName(field) + QStringLiteral(" AS BINARY)");
  // A row that adds nothing is NULL; the rest add "key,length,bytes", which
  // no other row's text can be read as. (The scan of the key's range gives
  // its rows in the key's order; should the server choose another, the
  // digests differ, and the rows go the slower way.)
  return QStringLiteral("SHA2(GROUP_CONCAT(IF(") + adds + QStringLiteral(", CONCAT(CAST(") + identity.keyValues +
         QStringLiteral(" AS BINARY), ',', LENGTH(") + bytes + QStringLiteral("), ',', ") + bytes +
         QStringLiteral("), NULL) SEPARATOR ','), 256)");
}

QString ServerCase::Changes(Function function, const QString& field, const MySQL::RowIdentity& identity,
                            const QStringList& other) {
  const QString column = MySQL::QuoteName(field);
  // The rows the function would change, but the others.
  return QStringLiteral("NOT (CAST(") + column + QStringLiteral(" AS BINARY) <=> CAST(") +
         QLatin1String(FunctionName(function == Function::Upper ? 0 : 1)) + u'(' + column +
         QStringLiteral(") AS BINARY)") + (other.isEmpty() ? QString() : QStringLiteral(" OR ") + KeysIn(identity, other)) +
         u')';
}

QString ServerCase::DigestRead(Function function, const QString& table, const QString& field,
                               const MySQL::RowIdentity& identity, const QString& scope, const QStringList& other) {
  return QStringLiteral("SELECT ") + DigestOf(field, identity, Changes(function, field, identity, other)) +
         QStringLiteral(" FROM ") + MySQL::QuoteName(table) + QStringLiteral(" WHERE ") + scope +
         QStringLiteral(" FOR UPDATE;");
}

QString ServerCase::Assignment(Function function, const QString& field) {
  const QString column = MySQL::QuoteName(field);
  return column + QStringLiteral(" = ") + QLatin1String(FunctionName(function == Function::Upper ? 0 : 1)) + u'(' +
         column + u')';
}

QString ServerCase::Digest(const std::vector<Pair>& rows, qint64* room) {
  QByteArray text;
  qsizetype size = 0;
  for (const Pair& p : rows) size += p.keyValues.size() * 4 + p.oldBytes.size() + 24;
  text.reserve(size);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) text += ',';
    AppendRow(text, rows[i]);
  }
  if (room) *room = text.size();
  return Sha256Hex(text);
}

QString ServerCase::Sha256Hex(const QByteArray& text) {
  // (libcrypto's hashing uses the processor's own instructions: a group's
  // tens of kilobytes hash several times faster than by QCryptographicHash.)
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.constData(), size_t(text.size()), sum, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available");
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(sum), int(size)).toHex());
}

QString ServerCase::Update(Function function, const QString& table, const QString& field,
                           const MySQL::RowIdentity& identity, const QString& scope, const QStringList& excluded) {
  QString text = QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") +
                 Assignment(function, field) + QStringLiteral(" WHERE ") + scope;
  if (!excluded.isEmpty()) text += QStringLiteral(" AND NOT ") + KeysIn(identity, excluded);
  return text + u';';
}

}  // namespace Conversion
