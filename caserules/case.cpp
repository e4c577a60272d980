#include "caserules/case.h"

#include <array>

#include "caserules/case_internal.h"

namespace Case {

using Internal::CharacterLength;
using Internal::IsWordSeparator;
using Internal::kCounterMax;
using Internal::RaiseAt;

namespace {

// Characters whose simple mapping Qt leaves alone because they also have a
// multi-character special casing. Each pair is (lower, upper).
constexpr std::array<std::pair<char16_t, char16_t>, 27> kGreekIota = [] {
  std::array<std::pair<char16_t, char16_t>, 27> pairs{};
  int n = 0;
  for (char16_t base : {u'\x1F80', u'\x1F90', u'\x1FA0'}) {
    for (char16_t i = 0; i < 8; ++i) pairs[n++] = {char16_t(base + i), char16_t(base + 8 + i)};
  }
  pairs[n++] = {u'\x1FB3', u'\x1FBC'};
  pairs[n++] = {u'\x1FC3', u'\x1FCC'};
  pairs[n++] = {u'\x1FF3', u'\x1FFC'};
  return pairs;
}();

char16_t UpperUnit(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? char16_t(c - 0x20) : c;
  if (c < kGreekIota.front().first || c > kGreekIota.back().first) return QChar::toUpper(c);
  for (const auto& [lower, upper] : kGreekIota) {
    if (c == lower) return upper;
  }
  return QChar::toUpper(c);
}

char16_t LowerUnit(char16_t c) {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? char16_t(c + 0x20) : c;
  if (c == u'\x0130') return u'i';
  return QChar::toLower(c);
}

// Maps every character of the text with one of the unit mappings above. A
// surrogate pair is mapped as one character when its mapping is also a pair,
// so the length never changes; a lone surrogate half stays as it is.
template <typename UnitMap, typename CodePointMap>
QString MapText(const QString& text, UnitMap unitMap, CodePointMap codePointMap) {
  QString result(text);
  char16_t* out = reinterpret_cast<char16_t*>(result.data());
  const qsizetype n = result.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = out[i];
    if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(out[i + 1])) {
      const char32_t mapped = codePointMap(QChar::surrogateToUcs4(c, out[i + 1]));
      if (QChar::requiresSurrogates(mapped)) {
        out[i] = QChar::highSurrogate(mapped);
        out[i + 1] = QChar::lowSurrogate(mapped);
      }
      ++i;
    } else if (!QChar::isSurrogate(c)) {
      out[i] = unitMap(c);
    }
  }
  return result;
}

}  // namespace

namespace Internal {

qsizetype CharacterLength(const QString& text, qsizetype i) {
  return i + 1 < text.size() && text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate() ? 2 : 1;
}

void RaiseAt(QString& text, qsizetype i) {
  // One unit on its own maps as UpperText maps it.
  if (const char16_t c = text.at(i).unicode(); !QChar::isSurrogate(c)) {
    text[i] = QChar(UpperUnit(c));
    return;
  }
  const QString raised = UpperText(text.mid(i, CharacterLength(text, i)));
  text.replace(i, raised.size(), raised);
}

void TitleAt(QString& text, qsizetype i) {
  const qsizetype n = CharacterLength(text, i);
  const char32_t c = n == 2 ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : char32_t(text.at(i).unicode());
  const char32_t title = QChar::toTitleCase(c);
  // Where the title case is the upper case (nearly always), the upper case
  // mapping decides, with its own exceptions.
  if (title == QChar::toUpper(c) || QChar::requiresSurrogates(title) != (n == 2)) return RaiseAt(text, i);
  if (n == 2) {
    text[i] = QChar::highSurrogate(title);
    text[i + 1] = QChar::lowSurrogate(title);
  } else {
    text[i] = QChar(char16_t(title));
  }
}

bool IsApostrophe(QChar c) { return c == u'\'' || c == u'\x2019' || c == u'\x02BC'; }

bool IsHyphen(QChar c) { return c == u'-' || c == u'\x2010' || c == u'\x2011'; }

bool IsWordSeparator(QChar c) {
  return c == u' ' || c == u'\t' || c == u'\r';
}

}  // namespace Internal

QString UpperText(const QString& text) {
  return MapText(text, UpperUnit, [](char32_t c) { return QChar::toUpper(c); });
}

QString LowerText(const QString& text) {
  return MapText(text, LowerUnit, [](char32_t c) { return QChar::toLower(c); });
}

QString ProperCase(const QString& text) {
  // The position counter is a 16-bit signed integer: it cannot step past the
  // last position of a text of 32767 units or more.
  if (text.size() >= kCounterMax) throw Overflow();
  QString result = LowerText(text);
  bool raiseNext = true;
  for (qsizetype i = 0; i < result.size(); ++i) {
    if (raiseNext) RaiseAt(result, i);
    raiseNext = IsWordSeparator(result.at(i));
  }
  return result;
}

QString SentenceCase(const QString& text) {
  // The first character is raised as it stands, not lowered first: an upper
  // case letter whose lower case maps back to another letter (İ, ẞ, the
  // Kelvin sign) keeps its own form.
  if (text.isEmpty()) return text;
  const qsizetype first = CharacterLength(text, 0);
  return UpperText(text.left(first)) + LowerText(text.mid(first));
}

QString ConvertCase(CaseMode mode, const QString& text) {
  switch (mode) {
    case CaseMode::CaseUpper: return UpperText(text);
    case CaseMode::CaseLower: return LowerText(text);
    case CaseMode::CaseProper: return ProperCase(text);
    case CaseMode::CaseSentence: return SentenceCase(text);
    case CaseMode::CaseName: return NameCase(text);
  }
  return text;
}

std::optional<CaseMode> CaseModeFromText(const QString& text) {
  static const std::pair<const char16_t*, CaseMode> kSearchWords[] = {
      {u"upper", CaseMode::CaseUpper},
      {u"lower", CaseMode::CaseLower},
      {u"proper", CaseMode::CaseProper},
      {u"sentence", CaseMode::CaseSentence},
      {u"name", CaseMode::CaseName},
  };
  const QString lowered = LowerText(text);
  for (const auto& [word, mode] : kSearchWords) {
    if (lowered.contains(QString::fromUtf16(word), Qt::CaseSensitive)) return mode;
  }
  return std::nullopt;
}

void ConvertList(CaseMode mode, TextList& list, const Rules& rules) {
  // The item count is read once; the counter is 16-bit, so more than 32767
  // items fail at once and exactly 32767 fail after the last item.
  const int count = list.ItemCount();
  if (count > kCounterMax) throw Overflow();
  for (int position = 1; position <= count; ++position) {
    list.SetItemText(position, ConvertCase(mode, list.ItemText(position), rules));
  }
  if (count == kCounterMax) throw Overflow();
}

void UpperCaseList(TextList& list) { ConvertList(CaseMode::CaseUpper, list); }
void LowerCaseList(TextList& list) { ConvertList(CaseMode::CaseLower, list); }
void ProperCaseList(TextList& list, const Rules& rules) { ConvertList(CaseMode::CaseProper, list, rules); }
void SentenceCaseList(TextList& list, const Rules& rules) { ConvertList(CaseMode::CaseSentence, list, rules); }
void NameCaseList(TextList& list, const Rules& rules) { ConvertList(CaseMode::CaseName, list, rules); }

}  // namespace Case
