// The user's word list: words written as the user spells them, whatever case
// the mode gave them; and values already in mixed case, left alone.
#include <QHash>
#include <QStringList>

#include "caserules/case.h"
#include "caserules/case_internal.h"

namespace Case {

using Internal::IsApostrophe;
using Internal::IsHyphen;
using Internal::IsWordSeparator;

namespace {

// A word as the list is searched for it: lowered, every apostrophe as '.
QString Key(QStringView word) {
  QString key = LowerText(word.toString());
  for (QChar& c : key)
    if (IsApostrophe(c)) c = u'\'';
  return key;
}

// Around a word, but not of it: quotes, brackets and the punctuation that
// ends a clause. A full stop counts too, unless the entry holds it (Esq.).
bool IsAround(QChar c) {
  return c == u'"' || c == u'\'' || c == u'(' || c == u')' || c == u'[' || c == u']' || c == u'{' || c == u'}' ||
         c == u',' || c == u';' || c == u':' || c == u'!' || c == u'?' || c == u'.' || c == u'\x201C' ||
         c == u'\x201D' || c == u'\x2018' || c == u'\x2019' || c == u'\x00AB' || c == u'\x00BB';
}

}  // namespace

WordList WordList::FromText(const QString& text) {
  WordList list;
  QString body = text;
  if (body.startsWith(QChar(0xFEFF))) body.remove(0, 1);  // a byte-order mark an editor wrote
  for (QString line : body.split(u'\n')) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith(u'#')) continue;
    // One word a line: a line of several words matches no single word.
    if (std::any_of(line.begin(), line.end(), [](QChar c) { return IsWordSeparator(c) || c.isSpace(); })) continue;
    list.words_.insert(Key(line), line);
  }
  return list;
}

bool WordList::Respell(QString& text, qsizetype begin, qsizetype end) const {
  if (begin >= end) return false;
  const auto found = words_.constFind(Key(QStringView(text).mid(begin, end - begin)));
  if (found == words_.constEnd() || found->size() != end - begin) return false;
  // The entry's letters, with the value's own apostrophes.
  for (qsizetype i = 0; i < found->size(); ++i)
    if (!(IsApostrophe(text.at(begin + i)) && IsApostrophe(found->at(i)))) text[begin + i] = found->at(i);
  return true;
}

void WordList::Apply(QString& text, bool hyphenParts) const {
  if (words_.isEmpty()) return;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (IsWordSeparator(text.at(i))) continue;
    qsizetype begin = i;
    while (i < text.size() && !IsWordSeparator(text.at(i))) ++i;
    qsizetype end = i;
    // The word as it stands (Esq., McDonald's), else without what is
    // around it ("LLC," "(IBM)").
    if (Respell(text, begin, end)) continue;
    while (begin < end && IsAround(text.at(begin))) ++begin;
    while (end > begin && IsAround(text.at(end - 1))) --end;
    if (Respell(text, begin, end) || !hyphenParts) continue;
    // Name Case's words have parts: Smith-IBM is no name, but Jean-MARC is.
    for (qsizetype part = begin, k = begin; k <= end; ++k) {
      if (k == end || IsHyphen(text.at(k))) {
        Respell(text, part, k);
        part = k + 1;
      }
    }
  }
}

bool IsMixedCase(const QString& text) {
  bool upper = false, lower = false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char32_t c = text.at(i).isHighSurrogate() && i + 1 < text.size()
                           ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1))
                           : char32_t(text.at(i).unicode());
    if (c > 0xFFFF) ++i;
    upper = upper || QChar::isUpper(c) || QChar::isTitleCase(c);
    lower = lower || QChar::isLower(c);
    if (upper && lower) return true;
  }
  return false;
}

QString ConvertCase(CaseMode mode, const QString& text, const Rules& rules) {
  const bool worded = mode == CaseMode::CaseProper || mode == CaseMode::CaseSentence || mode == CaseMode::CaseName;
  if (rules.keepMixed && (mode == CaseMode::CaseProper || mode == CaseMode::CaseName) && IsMixedCase(text))
    return text;
  QString result = ConvertCase(mode, text);
  if (worded && rules.words) rules.words->Apply(result, mode == CaseMode::CaseName);
  return result;
}

}  // namespace Case
