// The bytes a column's own character set stores for a value. The run reads
// every value as utf8mb4 text, but a column in another character set does
// not always get back the bytes it held when that text is written back: in
// sjis both 5C and 815F read as a backslash and the server writes 815F; in
// cp932 the NEC and IBM duplicate codes fold into one; tis620 A0 reads as
// U+FFFD. So the run writes bytes, not text: the new value is the old
// value's own bytes, with only the characters whose case changes replaced,
// each by the bytes the server itself writes for it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>
#include <vector>

#include "database/ado.h"

namespace Rewrite {

class ColumnBytes {
 public:
  // For a column of `charset` (as information_schema names it). Reads the
  // character set's longest character from the server where its layout is
  // not known here.
  ColumnBytes(ADODB::Connection& connection, const QString& charset);

  // The character set's name as it goes into statements; empty when the
  // column holds no text.
  // The name its literals go under: utf8mb3 bytes are utf8mb4 bytes, and
  // MySQL warns of the older name.
  QString LiteralCharset() const;
  // Whether the field's stored bytes must be read beside its text: the
  // text alone does not tell them.
  bool ReadsStored() const { return kind_ != Kind::Unicode && kind_ != Kind::None; }

  // Learns up front how the character set writes these characters (those
  // whose case a mode can change), in one round trip.
  void Learn(const std::vector<char32_t>& characters);

  // For a set of a byte a character: learns the character each byte reads
  // as, in one round trip, so that the stored bytes alone tell the text as
  // the server would give it. False where the server's answer is not one
  // character a byte; the text is then read beside the bytes.
  bool LearnBytes();
  QString Decode(const QByteArray& bytes) const;
  // Every character the set holds, by byte; empty unless LearnBytes learnt them.
  QString Held() const { return QString::fromUtf16(decoded_.data(), qsizetype(decoded_.size())); }

  // The value's bytes in the column: `stored` as read beside the text, or
  // the text in the column's Unicode form.
  QByteArray Old(const QString& text, const QVariant& stored) const;
  // The bytes that hold the new text: the old bytes of every character that
  // stays, and the server's own bytes for each one that changes. Raises
  // ADODB::Error, with the text to report, when the column cannot hold the
  // new text exactly that way; the value must then be left as it is.
  QByteArray New(const QString& oldText, const QByteArray& oldBytes, const QString& newText);

  // How the set writes a character: one byte each, or one of Unicode's
  // forms; Other for any set of several bytes a character but Unicode's.
  enum class Form { Other, Single, Utf8, Utf16, Utf16Le, Utf32 };
  Form CharacterForm() const;

  // The report of a value left as it is.
  static QString NotExact(const QString& charset);

 private:
  enum class Kind { None, Unicode, Single, Multi, Unknown };
  // New for a set of a byte a character.
  QByteArray NewSingle(const QString& before, const QString& after, const QByteArray& oldBytes);
  // For Multi: the family of its lead bytes.
  enum class Layout { Sjis, Ujis, Big5, Gbk, Gb2312, Gb18030 };
  // The length of the character starting at `at`, 0 when the bytes end
  // inside it.
  int CharacterLength(const QByteArray& bytes, qsizetype at) const;
  // The bytes the server writes for each character, asked for those not
  // yet known: empty for a character the column cannot hold.
  void Ask(const std::vector<char32_t>& characters);
  // Asks for the characters that change between the two texts (by
  // position) and what they become; false where the texts are not of as
  // many characters.
  bool AskChanging(const QString& before, const QString& after);
  // Whether these bytes of the column read as the character (a duplicate
  // code of it, say), asked once per byte sequence.
  bool ReadsAs(const QByteArray& bytes, char32_t character);

  ADODB::Connection& connection_;
  QString charset_;
  Kind kind_ = Kind::None;
  Layout layout_ = Layout::Sjis;
  QByteArray (*unicode_)(const QString&) = nullptr;
  QHash<char32_t, QByteArray> written_;
  QHash<QByteArray, QString> read_;
  std::vector<char16_t> decoded_;  // by byte, for LearnBytes
};

}  // namespace Rewrite
