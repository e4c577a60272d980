#include "database/columnbytes.h"

#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <QStringEncoder>

#include "database/mysql.h"
#include "database/rowkey.h"

namespace Rewrite {

namespace {

QByteArray Utf8(const QString& text) {
  // The conversion reserves room for three bytes a character: a large
  // value keeps only what it needs.
  QByteArray bytes = text.toUtf8();
  if (bytes.capacity() - bytes.size() > 64 * 1024) bytes.squeeze();
  return bytes;
}
// A text's characters one at a time, as toUcs4() gives them (an unpaired
// surrogate reads as U+FFFD), without a copy of the text four bytes a
// character.
class Characters {
 public:
  explicit Characters(const QString& text) : text_(text) {}
  bool AtEnd() const { return at_ >= text_.size(); }
  char32_t Next() {
    const char16_t u = text_[at_++].unicode();
    if (!QChar::isSurrogate(u)) return u;
    if (QChar::isHighSurrogate(u) && at_ < text_.size() && QChar::isLowSurrogate(text_[at_].unicode()))
      return QChar::surrogateToUcs4(u, text_[at_++].unicode());
    return QChar::ReplacementCharacter;
  }

 private:
  const QString& text_;
  qsizetype at_ = 0;
};

QByteArray Utf16(const QString& text) { return QStringEncoder(QStringConverter::Utf16BE).encode(text); }
QByteArray Utf16Le(const QString& text) { return QStringEncoder(QStringConverter::Utf16LE).encode(text); }
QByteArray Utf32(const QString& text) { return QStringEncoder(QStringConverter::Utf32BE).encode(text); }

// The Unicode character sets, whose bytes the text gives back exactly.
struct UnicodeForm {
  const char* name;
  QByteArray (*encode)(const QString&);
};
const UnicodeForm kUnicode[] = {{"utf8mb4", Utf8}, {"utf8mb3", Utf8}, {"utf8", Utf8},       {"ucs2", Utf16},
                                {"utf16", Utf16},  {"utf16le", Utf16Le}, {"utf32", Utf32}};

// The character sets of more than one byte a character, by the family of
// their lead bytes.
struct MultiForm {
  const char* name;
  int layout;  // ColumnBytes::Layout
};
const MultiForm kMulti[] = {{"sjis", 0}, {"cp932", 0}, {"ujis", 1},   {"eucjpms", 1}, {"big5", 2},
                            {"gbk", 3},  {"euckr", 3}, {"gb2312", 4}, {"gb18030", 5}};

bool In(uchar b, uchar low, uchar high) { return b >= low && b <= high; }

}  // namespace

ColumnBytes::Form ColumnBytes::CharacterForm() const {
  if (kind_ == Kind::Single) return Form::Single;
  if (kind_ != Kind::Unicode) return Form::Other;
  if (unicode_ == Utf8) return Form::Utf8;
  if (unicode_ == Utf16) return Form::Utf16;
  if (unicode_ == Utf16Le) return Form::Utf16Le;
  return Form::Utf32;
}

QString ColumnBytes::NotExact(const QString& charset) {
  return QStringLiteral("The column's character set (%1) cannot hold the converted value exactly as the other "
                        "characters stand, so the value was left as it is.")
      .arg(charset);
}

ColumnBytes::ColumnBytes(ADODB::Connection& connection, const QString& charset) : connection_(connection) {
  // The name goes into statements as it is: only one that is plainly a name.
  static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9_]+$"));
  if (charset.isEmpty() || charset.compare(QLatin1String("binary"), Qt::CaseInsensitive) == 0 ||
      !plainName.match(charset).hasMatch())
    return;
  charset_ = charset;
  const QString lower = charset.toLower();
  for (const UnicodeForm& u : kUnicode)
    if (lower == QLatin1String(u.name)) {
      kind_ = Kind::Unicode;
      unicode_ = u.encode;
      return;
    }
  for (const MultiForm& m : kMulti)
    if (lower == QLatin1String(m.name)) {
      kind_ = Kind::Multi;
      layout_ = Layout(m.layout);
      return;
    }
  // Any other character set the server offers writes one byte a character;
  // one it says is longer, and not known here, converts nothing.
  kind_ = Kind::Unknown;
  auto longest = connection_.Execute(
      QStringLiteral("SELECT MAXLEN FROM information_schema.CHARACTER_SETS WHERE CHARACTER_SET_NAME = ") +
      MySQL::TextLiteral(charset));
  if (longest && !longest->Eof() && longest->Value(0).toInt() == 1) kind_ = Kind::Single;
}

QString ColumnBytes::LiteralCharset() const {
  const QString lower = charset_.toLower();
  if (MySQL::DeprecatedOnMySql(lower)) return {};  // its name draws a warning on MySQL 8.4
  return lower == QLatin1String("utf8") || lower == QLatin1String("utf8mb3") ? QStringLiteral("utf8mb4") : charset_;
}

QByteArray ColumnBytes::Old(const QString& text, const QVariant& stored) const {
  if (kind_ == Kind::Unicode) return unicode_(text);
  if (ReadsStored()) return stored.toByteArray();
  return text.toUtf8();
}

int ColumnBytes::CharacterLength(const QByteArray& bytes, qsizetype at) const {
  const qsizetype left = bytes.size() - at;
  const uchar b = uchar(bytes[at]);
  int length = 1;
  if (kind_ == Kind::Multi) {
    switch (layout_) {
      case Layout::Sjis: length = In(b, 0x81, 0x9F) || In(b, 0xE0, 0xFC) ? 2 : 1; break;
      case Layout::Ujis: length = b == 0x8F ? 3 : b == 0x8E || In(b, 0xA1, 0xFE) ? 2 : 1; break;
      case Layout::Big5: length = In(b, 0xA1, 0xF9) ? 2 : 1; break;
      case Layout::Gbk: length = In(b, 0x81, 0xFE) ? 2 : 1; break;
      case Layout::Gb2312: length = In(b, 0xA1, 0xF7) ? 2 : 1; break;
      case Layout::Gb18030:
        length = !In(b, 0x81, 0xFE) ? 1 : left >= 2 && In(uchar(bytes[at + 1]), 0x30, 0x39) ? 4 : 2;
        break;
    }
  }
  return length <= left ? length : 0;
}

void ColumnBytes::Learn(const std::vector<char32_t>& characters) {
  if (kind_ == Kind::Single || kind_ == Kind::Multi) Ask(characters);
}

bool ColumnBytes::AskChanging(const QString& before, const QString& after) {
  std::vector<char32_t> unknown;
  QSet<char32_t> listed;  // a value of many megabytes lists each character once
  const auto list = [&](char32_t c) {
    if (!written_.contains(c) && !listed.contains(c)) {
      listed.insert(c);
      unknown.push_back(c);
    }
  };
  Characters b(before), a(after);
  while (!b.AtEnd() && !a.AtEnd()) {
    const char32_t was = b.Next(), is = a.Next();
    if (was == is) continue;
    list(was);
    list(is);
  }
  if (!b.AtEnd() || !a.AtEnd()) return false;
  Ask(unknown);
  return true;
}

bool ColumnBytes::LearnBytes() {
  if (kind_ != Kind::Single) return false;
  QByteArray every(256, '\0');
  for (int b = 0; b < 256; ++b) every[b] = char(b);
  auto answer = connection_.Execute(QStringLiteral("SELECT CONVERT(") + MySQL::ByteLiteral(every, charset_) +
                                    QStringLiteral(" USING utf8mb4);"));
  if (!answer || answer->Eof() || MySQL::IsBytes(answer->Value(0))) return false;
  const QString text = answer->Value(0).toString();
  if (text.size() != 256) return false;  // a byte read as nothing, or as a pair
  decoded_.assign(reinterpret_cast<const char16_t*>(text.utf16()), reinterpret_cast<const char16_t*>(text.utf16()) + 256);
  if (std::any_of(decoded_.begin(), decoded_.end(), [](char16_t c) { return QChar::isSurrogate(c); })) {
    decoded_.clear();
    return false;
  }
  return true;
}

QString ColumnBytes::Decode(const QByteArray& bytes) const {
  QString text(bytes.size(), Qt::Uninitialized);
  auto* out = reinterpret_cast<char16_t*>(text.data());
  for (const char b : bytes) *out++ = decoded_[uchar(b)];
  return text;
}

void ColumnBytes::Ask(const std::vector<char32_t>& characters) {
  // One statement for all of them, a line each: no character set here
  // writes a line break but as the byte 0A, nor 0A inside another
  // character. A character the column cannot hold comes back as "?".
  std::vector<char32_t> asked;
  QString text;
  for (const char32_t c : characters) {
    if (written_.contains(c)) continue;
    written_.insert(c, QByteArray());  // asked once, even twice in this list
    if (!asked.empty()) text += u'\n';
    text += QString::fromUcs4(&c, 1);
    asked.push_back(c);
  }
  if (asked.empty()) return;
  auto answer = connection_.Execute(QStringLiteral("SELECT HEX(CONVERT(") + MySQL::TextLiteral(text) +
                                    QStringLiteral(" USING ") + charset_ + QStringLiteral("));"));
  const QList<QByteArray> lines =
      answer && !answer->Eof() ? QByteArray::fromHex(answer->Value(0).toByteArray()).split('\n') : QList<QByteArray>();
  if (lines.size() != qsizetype(asked.size())) return;  // none is known: all are taken as not held
  for (size_t i = 0; i < asked.size(); ++i) {
    const QByteArray& bytes = lines[qsizetype(i)];
    if (bytes.isEmpty() || (bytes == "?" && asked[i] != U'?')) continue;
    written_.insert(asked[i], bytes);
  }
}

bool ColumnBytes::ReadsAs(const QByteArray& bytes, char32_t character) {
  auto found = read_.constFind(bytes);
  if (found == read_.constEnd()) {
    QString text;
    auto answer = connection_.Execute(QStringLiteral("SELECT CONVERT(") + MySQL::ByteLiteral(bytes, charset_) +
                                      QStringLiteral(" USING utf8mb4);"));
    if (answer && !answer->Eof() && !MySQL::IsBytes(answer->Value(0))) text = answer->Value(0).toString();
    found = read_.insert(bytes, text);
  }
  return *found == QString::fromUcs4(&character, 1);
}

QByteArray ColumnBytes::New(const QString& oldText, const QByteArray& oldBytes, const QString& newText) {
  if (kind_ == Kind::Unicode) return unicode_(newText);
  if (!ReadsStored()) return newText.toUtf8();
  if (kind_ == Kind::Unknown) throw ADODB::Error(NotExact(charset_));
  if (kind_ == Kind::Single) return NewSingle(oldText, newText, oldBytes);
  if (!AskChanging(oldText, newText)) throw ADODB::Error(NotExact(charset_));
  // The old bytes, a character at a time, must be exactly the old text's.
  QByteArray bytes;
  bytes.reserve(oldBytes.size() + 8);
  Characters before(oldText), after(newText);
  qsizetype at = 0;
  for (; at < oldBytes.size() && !before.AtEnd(); ) {
    const int length = CharacterLength(oldBytes, at);
    if (length == 0) throw ADODB::Error(NotExact(charset_));
    const QByteArray old = QByteArray::fromRawData(oldBytes.constData() + at, length);
    at += length;
    const char32_t was = before.Next(), is = after.Next();
    if (was == is) {
      bytes += old;
      continue;
    }
    const QByteArray replacement = written_.value(is);
    // A character that changes must be the one the text says stands there,
    // written as the server writes it or as another code of it.
    if (replacement.isEmpty() || (old != written_.value(was) && !ReadsAs(QByteArray(old), was)))
      throw ADODB::Error(NotExact(charset_));
    bytes += replacement;
  }
  if (at != oldBytes.size() || !before.AtEnd()) throw ADODB::Error(NotExact(charset_));
  return bytes;
}

QByteArray ColumnBytes::NewSingle(const QString& oldText, const QString& newText, const QByteArray& oldBytes) {
  // A byte a character: the old bytes with each character that changes
  // written over, under the same tests as any other set's. The characters'
  // bytes are mostly known by then: they are asked for when one is not, and
  // the value is made again.
  for (bool asked = false;; asked = true) {
    QByteArray bytes = oldBytes;
    char* out = bytes.data();
    Characters before(oldText), after(newText);
    qsizetype i = 0;
    bool unknown = false;
    for (; i < bytes.size() && !before.AtEnd() && !after.AtEnd(); ++i) {
      const char32_t was = before.Next(), is = after.Next();
      if (was == is) continue;
      const auto replacement = written_.constFind(is);
      const auto old = written_.constFind(was);
      if (replacement == written_.constEnd() || old == written_.constEnd()) {
        unknown = true;
        break;
      }
      if (replacement->size() != 1 ||
          ((old->size() != 1 || old->at(0) != out[i]) && !ReadsAs(QByteArray(1, out[i]), was)))
        throw ADODB::Error(NotExact(charset_));
      out[i] = replacement->at(0);
    }
    if (unknown) {
      if (asked || !AskChanging(oldText, newText)) throw ADODB::Error(NotExact(charset_));
      continue;
    }
    if (i != bytes.size() || !before.AtEnd() || !after.AtEnd()) throw ADODB::Error(NotExact(charset_));
    return bytes;
  }
}

}  // namespace Rewrite
