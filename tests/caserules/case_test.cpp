#include <QFile>
#include <QHash>
#include <gtest/gtest.h>

#include "caserules/case.h"

using Case::CaseMode;

namespace {

const QChar CR(13), LF(10), TAB(9);

// A plain list for the list routines.
class PlainList : public Case::TextList {
 public:
  explicit PlainList(QStringList items) : items(std::move(items)) {}
  int ItemCount() const override { return int(items.size()); }
  QString ItemText(int position) const override { return items.at(position - 1); }
  void SetItemText(int position, const QString& text) override {
    items[position - 1] = text;
    ++writes;
  }
  QStringList items;
  int writes = 0;
};

QString S(const char16_t* text) { return QString::fromUtf16(text); }

// Unicode's simple case mappings of the BMP, from UnicodeData.txt. A mapping
// that leaves the BMP is left out: one unit stays one unit.
struct SimpleMappings {
  QHash<uint, uint> upper, lower;
  bool loaded = false;
  uint Upper(uint u) const { return upper.value(u, u) > 0xFFFF ? u : upper.value(u, u); }
  uint Lower(uint u) const { return lower.value(u, u) > 0xFFFF ? u : lower.value(u, u); }
};

SimpleMappings LoadSimpleMappings() {
  SimpleMappings m;
  QFile data("/usr/share/unicode/UnicodeData.txt");
  if (!data.open(QIODevice::ReadOnly)) return m;
  while (!data.atEnd()) {
    const QList<QByteArray> f = data.readLine().split(';');
    if (f.size() < 14) continue;
    const uint code = f[0].toUInt(nullptr, 16);
    if (!f[12].isEmpty()) m.upper.insert(code, f[12].toUInt(nullptr, 16));
    if (!f[13].isEmpty()) m.lower.insert(code, f[13].toUInt(nullptr, 16));
  }
  m.loaded = true;
  return m;
}

}  // namespace

TEST(CaseRules, EmptyTextStaysEmptyInEveryMode) {
  for (int m = 0; m < 5; ++m) EXPECT_EQ(Case::ConvertCase(CaseMode(m), QString()), QString());
}

TEST(CaseRules, ProperCaseRaisesAfterSpaceTabAndCarriageReturnOnly) {
  EXPECT_EQ(Case::ProperCase("hello world"), "Hello World");
  EXPECT_EQ(Case::ProperCase("HELLO   WORLD"), "Hello   World");
  EXPECT_EQ(Case::ProperCase(" leading space"), " Leading Space");
  EXPECT_EQ(Case::ProperCase("trailing "), "Trailing ");
  EXPECT_EQ(Case::ProperCase("McDONALD"), "Mcdonald");
  EXPECT_EQ(Case::ProperCase("iPHONE case"), "Iphone Case");
  EXPECT_EQ(Case::ProperCase("o'neil"), "O'neil");
  EXPECT_EQ(Case::ProperCase("jean-luc picard"), "Jean-luc Picard");
  EXPECT_EQ(Case::ProperCase("3rd street"), "3rd Street");
  EXPECT_EQ(Case::ProperCase("hello,world"), "Hello,world");
  EXPECT_EQ(Case::ProperCase("(note) two"), "(note) Two");
  EXPECT_EQ(Case::ProperCase(QString("one") + CR + "two"), QString("One") + CR + "Two");
  EXPECT_EQ(Case::ProperCase(QString("a") + TAB + "b"), QString("A") + TAB + "B");
  EXPECT_EQ(Case::ProperCase(QString("one") + LF + "two"), QString("One") + LF + "two");
  EXPECT_EQ(Case::ProperCase(QString("one") + CR + LF + "two"), QString("One") + CR + LF + "two");
  // Other white space does not separate words.
  EXPECT_EQ(Case::ProperCase(S(u"a\u00A0b\u000Bc\u000Cd")), S(u"A\u00A0b\u000Bc\u000Cd"));
}

TEST(CaseRules, ProperCaseOverflowsAt32767Units) {
  const QString fits(32766, u'a');
  const QString result = Case::ProperCase(fits);
  EXPECT_EQ(result.size(), 32766);
  EXPECT_EQ(result.at(0), u'A');
  EXPECT_THROW(Case::ProperCase(QString(32767, u'a')), Case::Overflow);
  EXPECT_THROW(Case::ConvertCase(CaseMode::CaseProper, QString(40000, u'a')), Case::Overflow);
  try {
    Case::ProperCase(QString(32768, u'a'));
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Overflow");
  }
  // The other rules have no limit.
  EXPECT_EQ(Case::SentenceCase(QString(40000, u'a')).size(), 40000);
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseUpper, QString(40000, u'a')), QString(40000, u'A'));
}

TEST(CaseRules, SentenceCaseRaisesOnlyTheFirstCharacter) {
  EXPECT_EQ(Case::SentenceCase("HELLO. HOW ARE YOU?"), "Hello. how are you?");
  EXPECT_EQ(Case::SentenceCase(" hello"), " hello");
  EXPECT_EQ(Case::SentenceCase("1ST PLACE"), "1st place");
  EXPECT_EQ(Case::SentenceCase("a"), "A");
  EXPECT_EQ(Case::SentenceCase(QString("ONE") + CR + LF + "TWO"), QString("One") + CR + LF + "two");
}

TEST(CaseRules, MappingIsOneUnitToOneUnit) {
  // ß has no single upper-case character: it stays, and the length holds.
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseUpper, S(u"straße")), S(u"STRAßE"));
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseLower, S(u"İSTANBUL")), S(u"istanbul"));
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseUpper, S(u"ıi")), S(u"II"));
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseUpper, S(u"\u1F80\u1FB3\u1FF3")), S(u"\u1F88\u1FBC\u1FFC"));
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseLower, S(u"\u1F88\u1FBC")), S(u"\u1F80\u1FB3"));
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseLower, S(u"ΣΟΦΟΣ")), S(u"σοφοσ"));
  // Characters outside the BMP whose mapping is also outside it: Deseret,
  // Osage, Adlam.
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseUpper, S(u"\U00010428\U000104D8\U0001E922")),
            S(u"\U00010400\U000104B0\U0001E900"));
  EXPECT_EQ(Case::ConvertCase(CaseMode::CaseLower, S(u"\U00010400\U000104B0\U0001E900")),
            S(u"\U00010428\U000104D8\U0001E922"));
  EXPECT_EQ(Case::ProperCase(S(u"\U00010428\U00010428 \U00010400")), S(u"\U00010400\U00010428 \U00010400"));
  // Emoji and lone surrogate halves stay as they are.
  const QString odd = S(u"a\U0001F600b") + QChar(0xD800) + "c" + QChar(0xDC00);
  const QString upper = Case::ConvertCase(CaseMode::CaseUpper, odd);
  EXPECT_EQ(upper, S(u"A\U0001F600B") + QChar(0xD800) + "C" + QChar(0xDC00));
}

// Every UTF-16 unit against Unicode's own simple mappings.
TEST(CaseRules, EveryUnitFollowsUnicodeSimpleMappings) {
  const SimpleMappings unicode = LoadSimpleMappings();
  ASSERT_TRUE(unicode.loaded) << "unicode-data is needed (scripts/install-deps)";
  int checked = 0;
  for (uint u = 0; u <= 0xFFFF; ++u) {
    const QString one{QChar(char16_t(u))};
    const QString up = Case::ConvertCase(CaseMode::CaseUpper, one);
    const QString low = Case::ConvertCase(CaseMode::CaseLower, one);
    ASSERT_EQ(up.size(), 1) << std::hex << u;
    ASSERT_EQ(low.size(), 1) << std::hex << u;
    const uint expectUp = unicode.Upper(u);
    const uint expectLow = unicode.Lower(u);
    if (QChar::isSurrogate(char16_t(u))) {
      EXPECT_EQ(up.at(0).unicode(), u);
      EXPECT_EQ(low.at(0).unicode(), u);
      continue;
    }
    EXPECT_EQ(up.at(0).unicode(), expectUp) << "upper of U+" << std::hex << u;
    EXPECT_EQ(low.at(0).unicode(), expectLow) << "lower of U+" << std::hex << u;
    ++checked;
  }
  EXPECT_EQ(checked, 65536 - 2048);
}

// Sentence case raises the first character as it stands; Proper Case lowers
// the whole text first. They part wherever upper(lower(c)) is not upper(c).
TEST(CaseRules, SentenceCaseRaisesTheFirstCharacterWithoutLoweringIt) {
  EXPECT_EQ(Case::SentenceCase(S(u"İSTANBUL ırmak")), S(u"İstanbul ırmak"));
  EXPECT_EQ(Case::ProperCase(S(u"İSTANBUL ırmak")), S(u"Istanbul Irmak"));
  // Capital sharp s, capital theta symbol, Kelvin, Ångström and ohm signs.
  for (const char16_t* first : {u"ẞ", u"ϴ", u"\u212A", u"\u212B", u"\u2126"}) {
    EXPECT_EQ(Case::SentenceCase(S(first) + S(u"ÉTÉ")), S(first) + S(u"été")) << QString::fromUtf16(first).toStdString();
    EXPECT_NE(Case::ProperCase(S(first) + S(u"ÉTÉ")), S(first) + S(u"été"));
  }
  // A first character outside the BMP is one character; a lone half stays.
  EXPECT_EQ(Case::SentenceCase(S(u"\U00010428\U00010400\U00010400")), S(u"\U00010400\U00010428\U00010428"));
  EXPECT_EQ(Case::SentenceCase(QString(QChar(0xD801)) + "AB"), QString(QChar(0xD801)) + "ab");
  EXPECT_EQ(Case::SentenceCase(S(u"\u0301ÉCOLE")), S(u"\u0301école"));  // a combining mark first raises nothing

  const SimpleMappings unicode = LoadSimpleMappings();
  ASSERT_TRUE(unicode.loaded) << "unicode-data is needed (scripts/install-deps)";
  // Every BMP unit as the first character of a text whose rest is lowered.
  const QString rest = S(u" ΣΟΦΟΣ İSTANBUL Ǆ");
  const QString restLowered = S(u" σοφοσ istanbul ǆ");
  int differences = 0, differFromProperCase = 0;
  for (uint u = 0; u <= 0xFFFF; ++u) {
    if (QChar::isSurrogate(char16_t(u))) continue;
    const QString text = QChar(char16_t(u)) + rest;
    const QString expected = QChar(char16_t(unicode.Upper(u))) + restLowered;
    const QString got = Case::SentenceCase(text);
    if (got != expected) {
      ++differences;
      ADD_FAILURE() << "first character U+" << std::hex << u << " gives U+" << uint(got.at(0).unicode());
    }
    if (unicode.Upper(unicode.Lower(u)) != unicode.Upper(u)) {
      ++differFromProperCase;
      EXPECT_NE(Case::ProperCase(text).at(0), got.at(0)) << std::hex << u;
    }
    EXPECT_EQ(Case::ConvertCase(CaseMode::CaseSentence, text), got);
  }
  EXPECT_EQ(differences, 0);
  // İ, ẞ, ϴ and the Kelvin, Ångström and ohm signs: the walk meets them all.
  EXPECT_GE(differFromProperCase, 6);
}

TEST(CaseRules, ModeFromTextUsesTheSearchOrder) {
  EXPECT_EQ(Case::CaseModeFromText("UPPER CASE"), CaseMode::CaseUpper);
  EXPECT_EQ(Case::CaseModeFromText("lower case"), CaseMode::CaseLower);
  EXPECT_EQ(Case::CaseModeFromText("Proper Case"), CaseMode::CaseProper);
  EXPECT_EQ(Case::CaseModeFromText("Sentence case"), CaseMode::CaseSentence);
  EXPECT_EQ(Case::CaseModeFromText(""), std::nullopt);
  EXPECT_EQ(Case::CaseModeFromText("title case"), std::nullopt);
  EXPECT_EQ(Case::CaseModeFromText("lower or upper"), CaseMode::CaseUpper);
  EXPECT_EQ(Case::CaseModeFromText("SENTENCE"), CaseMode::CaseSentence);
  // "name" is tried last.
  EXPECT_EQ(Case::CaseModeFromText("Name Case"), CaseMode::CaseName);
  EXPECT_EQ(Case::CaseModeFromText("NAMES"), CaseMode::CaseName);
  EXPECT_EQ(Case::CaseModeFromText("proper name"), CaseMode::CaseProper);
  EXPECT_EQ(Case::CaseModeFromText("name in sentence case"), CaseMode::CaseSentence);
}

TEST(CaseLists, ConvertEveryItemInOrder) {
  PlainList empty({});
  Case::UpperCaseList(empty);
  EXPECT_EQ(empty.writes, 0);

  PlainList three({"ann o'neil", "BOB SMITH", "  carl"});
  Case::ProperCaseList(three);
  EXPECT_EQ(three.items, QStringList({"Ann O'neil", "Bob Smith", "  Carl"}));
  Case::SentenceCaseList(three);
  EXPECT_EQ(three.items, QStringList({"Ann o'neil", "Bob smith", "  carl"}));
  PlainList raised({QString::fromUtf16(u"İSTANBUL ırmak"), QString::fromUtf16(u"\u212AELVIN")});
  Case::SentenceCaseList(raised);
  EXPECT_EQ(raised.items, QStringList({QString::fromUtf16(u"İstanbul ırmak"), QString::fromUtf16(u"\u212Aelvin")}));
  Case::UpperCaseList(three);
  EXPECT_EQ(three.items, QStringList({"ANN O'NEIL", "BOB SMITH", "  CARL"}));
  Case::LowerCaseList(three);
  EXPECT_EQ(three.items, QStringList({"ann o'neil", "bob smith", "  carl"}));
}

TEST(CaseLists, CountOverflowAndPartialFailure) {
  PlainList tooMany(QStringList(32768, "x"));
  EXPECT_THROW(Case::UpperCaseList(tooMany), Case::Overflow);
  EXPECT_EQ(tooMany.writes, 0);

  PlainList exactly(QStringList(32767, "x"));
  EXPECT_THROW(Case::UpperCaseList(exactly), Case::Overflow);
  EXPECT_EQ(exactly.writes, 32767);  // converted all, then the counter overflowed
  EXPECT_EQ(exactly.items.back(), "X");

  // A failing item leaves the items before it converted, the rest unchanged.
  PlainList mixed({"one two", QString(40000, u'a'), "three"});
  EXPECT_THROW(Case::ProperCaseList(mixed), Case::Overflow);
  EXPECT_EQ(mixed.items[0], "One Two");
  EXPECT_EQ(mixed.items[2], "three");
}

TEST(NameCase, FollowsTheNameRules) {
  struct Row {
    const char16_t* in;
    const char16_t* out;
  };
  const Row rows[] = {
      // Plain Proper Case.
      {u"new york", u"New York"}, {u"JOHN  SMITH\tJR", u"John  Smith\tJr"}, {u"ann\nsmith", u"Ann\nsmith"},
      // Mc always, Mac in the known names only, in any part of a name.
      {u"mcdonald", u"McDonald"}, {u"RONALD MCDONALD", u"Ronald McDonald"}, {u"mc", u"Mc"},
      {u"macdonald macleod mackenzie macarthur", u"MacDonald MacLeod MacKenzie MacArthur"},
      {u"macmillan macgregor macintyre macneil macpherson maclean mackay",
       u"MacMillan MacGregor MacIntyre MacNeil MacPherson MacLean MacKay"},
      {u"mackall maciel macedo machado mack macey mace mac", u"Mackall Maciel Macedo Machado Mack Macey Mace Mac"},
      {u"smith-mcdonald macleod-smith", u"Smith-McDonald MacLeod-Smith"}, {u"macdonalds", u"Macdonalds"},
      // Elisions; other apostrophes raise nothing.
      {u"o'neil", u"O'Neil"}, {u"PATRICK O'BRIEN", u"Patrick O'Brien"}, {u"d'angelo", u"D'Angelo"},
      {u"matthew d'errico", u"Matthew D'Errico"}, {u"l'heureux dell'acqua", u"L'Heureux Dell'Acqua"},
      {u"o\u2019neil o\u02BCneil", u"O\u2019Neil O\u02BCNeil"}, {u"ts'o har'el o'", u"Ts'o Har'el O'"},
      // Particles inside a name, not first nor last.
      {u"ludwig van beethoven", u"Ludwig van Beethoven"}, {u"VAN GOGH", u"Van Gogh"}, {u"de vries", u"De Vries"},
      {u"robert h. de vries", u"Robert H. de Vries"}, {u"hugo van der sanden", u"Hugo van der Sanden"},
      {u"juan de la cruz", u"Juan de la Cruz"}, {u"florian la roche", u"Florian La Roche"},
      {u"maria dos santos da silva", u"Maria dos Santos da Silva"}, {u"anh do", u"Anh Do"}, {u"amit das", u"Amit Das"},
      {u"mohammed bin salman", u"Mohammed bin Salman"}, {u"wolfgang meyer zu bergsten", u"Wolfgang Meyer zu Bergsten"},
      {u"luigi di maio diego della valle", u"Luigi Di Maio Diego Della Valle"}, {u"ursula le guin", u"Ursula Le Guin"},
      {u"pau garcia i quiles", u"Pau Garcia i Quiles"}, {u"jose ortega y gasset", u"Jose Ortega y Gasset"},
      {u"t i quiles", u"T I Quiles"}, {u"james e keenan", u"James E Keenan"},
      // Hyphenated parts.
      {u"jean-luc picard", u"Jean-Luc Picard"}, {u"SMITH-JONES", u"Smith-Jones"},
      {u"anna\u2010maria", u"Anna\u2010Maria"},
      // Roman numerals after the first word.
      {u"john smith iii", u"John Smith III"}, {u"henry viii", u"Henry VIII"}, {u"louis xiv", u"Louis XIV"},
      {u"henry vi", u"Henry VI"}, {u"malcolm x", u"Malcolm X"}, {u"louis xxi", u"Louis Xxi"},
      {u"chen xi", u"Chen Xi"}, {u"vi nguyen", u"Vi Nguyen"}, {u"xi jinping", u"Xi Jinping"}, {u"ii", u"Ii"},
      // Initials and St.
      {u"j.r.r. tolkien", u"J.R.R. Tolkien"}, {u"j. r. r. tolkien", u"J. R. R. Tolkien"},
      {u"thomas m.ott", u"Thomas M.Ott"}, {u"st. john", u"St. John"}, {u"st.john", u"St.John"},
      {u"ste. marie", u"Ste. Marie"}, {u"luc st-louis", u"Luc St-Louis"},
      // All of Unicode.
      {u"ΓΙΏΡΓΟΣ ΠΑΠΑΔΌΠΟΥΛΟΣ", u"Γιώργοσ Παπαδόπουλοσ"}, {u"НИКОЛАЙ РИМСКИЙ-КОРСАКОВ", u"Николай Римский-Корсаков"},
      {u"JOSE\u0301 DE LA CRUZ", u"Jose\u0301 de la Cruz"}, {u"MC\u0301DONALD", u"Mc\u0301donald"},
      {u"O'N\u0303EIL", u"O'N\u0303eil"}, {u"İLKER MCDONALD", u"Ilker McDonald"}, {u"HENRY VİİI", u"Henry VIII"},
      {u"MAC\u212AAY", u"MacKay"}, {u"\U00010428\U00010428-\U00010428", u"\U00010400\U00010428-\U00010400"},
      // Nicknames in quotes; a single quote only around a whole word.
      {u"PAUL 'RUSTY' RUSSELL", u"Paul 'Rusty' Russell"}, {u"paul \"rusty\" russell", u"Paul \"Rusty\" Russell"},
      {u"ROBERT (BOB) \u201CBOBBY\u201D DOE", u"Robert (Bob) \u201CBobby\u201D Doe"},
      {u"gerard 't hooft", u"Gerard 't Hooft"},
      // Post-nominals after the first word; Md first is Mohammad, Ma a family name.
      {u"JOHN SMITH MD", u"John Smith MD"}, {u"jane doe, phd", u"Jane Doe, PhD"}, {u"ANN LEE, DDS, CPA", u"Ann Lee, DDS, CPA"},
      {u"md rahman", u"Md Rahman"}, {u"yo-yo ma", u"Yo-Yo Ma"}, {u"jack ma", u"Jack Ma"}, {u"JOHN DOE JR.", u"John Doe Jr."},
      {u"amal clooney esq.", u"Amal Clooney Esq."}, {u"j. smith ph.d.", u"J. Smith Ph.D."},
      // A family name that starts with its particles.
      {u"VAN DER BERG", u"Van der Berg"}, {u"de la cruz", u"De la Cruz"}, {u"DE LOS SANTOS", u"De los Santos"},
      {u"van der", u"Van Der"},
      // Apostrophes inside given names.
      {u"DE'ANDRE JONES", u"De'Andre Jones"}, {u"la'tonya smith", u"La'Tonya Smith"},
      {u"da'ud sha'ban", u"Da'ud Sha'ban"}, {u"CHIDI MBA", u"Chidi Mba"},
      {u"N'GOLO KANTÉ", u"N'Golo Kanté"}, {u"ja'far al-sadiq", u"Ja'far al-Sadiq"}, {u"mu'awiya", u"Mu'awiya"},
      // A word's first letter takes its title case: Georgian stays Mkhedruli,
      // a digraph becomes its title form.
      {u"ვლადიმერ ჯაფარიძე", u"ვლადიმერ ჯაფარიძე"}, {u"ᲕᲚᲐᲓᲘᲛᲔᲠ", u"ვლადიმერ"},
      // The Arabic article before a hyphen, and Al alone as a house's name.
      {u"BASHAR AL-ASSAD", u"Bashar al-Assad"}, {u"muhammad zia-ul-haq", u"Muhammad Zia-ul-Haq"},
      {u"TAMIM BIN HAMAD AL THANI", u"Tamim bin Hamad Al Thani"}, {u"al-khwarizmi", u"Al-Khwarizmi"},
      // Korean and Chinese given names beside their family name; not others.
      {u"KIM DAE-JUNG", u"Kim Dae-jung"}, {u"ban ki-moon", u"Ban Ki-moon"}, {u"KANG-MIN LIU", u"Kang-min Liu"},
      {u"tony leung chiu-wai", u"Tony Leung Chiu-wai"}, {u"jean-luc lee", u"Jean-Luc Lee"},
      {u"MARY-KATE PARK", u"Mary-Kate Park"}, {u"anna-lena kim", u"Anna-Lena Kim"}, {u"yo-yo ma", u"Yo-Yo Ma"},
      {u"JEAN-PAUL PARK", u"Jean-Paul Park"},
      {u"\u01C4URO \u01C7UBI\u0106", u"\u01C5uro \u01C8ubi\u0107"}, {u"ǳenana", u"ǲenana"},
  };
  for (const Row& row : rows) {
    const QString in = S(row.in), out = S(row.out);
    EXPECT_EQ(Case::NameCase(in), out) << in.toStdString();
    EXPECT_EQ(Case::ConvertCase(CaseMode::CaseName, Case::UpperText(out)), out) << in.toStdString();
  }
  EXPECT_EQ(Case::NameCase(QString(32766, u'a')).size(), 32766);
  EXPECT_THROW(Case::NameCase(QString(32767, u'a')), Case::Overflow);
  EXPECT_THROW(Case::ConvertCase(CaseMode::CaseName, QString(40000, u'a')), Case::Overflow);
}

// Without a name pattern Name Case is Proper Case: every BMP character alone,
// inside a first word and starting a later one. But a word's first letter
// takes its title case where that is not its upper case, and a quote or
// bracket opening a word raises the letter after it.
TEST(NameCase, IsProperCaseWithoutANamePattern) {
  const QString patterns = S(u"-\u2010\u2011.'\u2019\u02BC\"(\u201C\u00AB\u201E");
  int checked = 0, titled = 0;
  for (uint u = 0; u <= 0xFFFF; ++u) {
    const QString c{QChar(char16_t(u))};
    if (QChar::isSurrogate(u) || patterns.contains(c)) continue;
    const uint lower = QChar::toLower(u), title = QChar::toTitleCase(lower);
    const bool differs = title != QChar::toUpper(lower) && title <= 0xFFFF;
    titled += differs;
    for (const QString& text : {c, "x" + c + "k wz", "wz " + c + "k"}) {
      QString expected = Case::ProperCase(text);
      if (differs && text.front() == c.front()) expected[0] = QChar(char16_t(title));
      if (differs && text.startsWith("wz ")) expected[3] = QChar(char16_t(title));
      ASSERT_EQ(Case::NameCase(text), expected) << "U+" << std::hex << u;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 65536 - 2048 - 12);
  EXPECT_GT(titled, 40);  // the Georgian letters and the digraphs
}

// The user's word list, in the three modes that raise letters: whole words
// only, however they are cased, apostrophes and hyphens as each mode counts
// words; and with no list each mode is exactly what it was.
TEST(WordList, WritesTheUsersWordsAsTheySpellThem) {
  const Case::WordList words = Case::WordList::FromText(
      "# company words\nLLC\nIBM\n  iPhone  \nMcDonald's\nPhD\nGmbH\nVan\nEsq.\nCoca-Cola\ntwo words\n\n");
  EXPECT_EQ(words.Size(), 9);
  const struct {
    CaseMode mode;
    const char16_t* in;
    const char16_t* out;
  } rows[] = {
      {CaseMode::CaseProper, u"ACME LLC", u"Acme LLC"},
      {CaseMode::CaseProper, u"IBM EUROPE", u"IBM Europe"},
      {CaseMode::CaseProper, u"THE IPHONE STORE", u"The iPhone Store"},
      {CaseMode::CaseSentence, u"THE IPHONE STORE", u"The iPhone store"},
      {CaseMode::CaseSentence, u"iphone cases, ibm (gmbh).", u"iPhone cases, IBM (GmbH)."},
      {CaseMode::CaseName, u"ACME LLC", u"Acme LLC"},
      {CaseMode::CaseName, u"BART VAN ASSCHE", u"Bart Van Assche"},
      {CaseMode::CaseProper, u"ACME, LLC.", u"Acme, LLC."},
      {CaseMode::CaseProper, u"LLCS IBMX XIBM", u"Llcs Ibmx Xibm"},
      {CaseMode::CaseProper, u"IBM-COMPATIBLE", u"Ibm-compatible"},
      {CaseMode::CaseName, u"SMITH-IBM", u"Smith-IBM"},
      {CaseMode::CaseProper, u"MCDONALD\u2019S MENU", u"McDonald\u2019s Menu"},
      {CaseMode::CaseProper, u"coca-cola", u"Coca-Cola"},
      {CaseMode::CaseName, u"JOHN SMITH ESQ.", u"John Smith Esq."},
      {CaseMode::CaseProper, u"TWO WORDS", u"Two Words"},
      {CaseMode::CaseUpper, u"iphone llc", u"IPHONE LLC"},
      {CaseMode::CaseLower, u"IPHONE LLC", u"iphone llc"},
      {CaseMode::CaseProper, u"ΟΔΥΣΣΕΥΣ IBM\tLLC\rIPHONE", u"Οδυσσευσ IBM\tLLC\riPhone"},
  };
  for (const auto& row : rows) {
    const QString in = S(row.in);
    EXPECT_EQ(Case::ConvertCase(row.mode, in, {&words, false}), S(row.out)) << in.toStdString();
    // Nothing listed, nothing different.
    const Case::WordList none = Case::WordList::FromText("# nothing yet\n");
    EXPECT_EQ(Case::ConvertCase(row.mode, in, {&none, false}), Case::ConvertCase(row.mode, in)) << in.toStdString();
  }
}

// Values already in mixed case stay as they are in Proper and Name Case,
// and only there.
TEST(WordList, MixedCaseValuesAreKeptWhereAsked) {
  const struct {
    CaseMode mode;
    const char16_t* in;
    const char16_t* out;
  } rows[] = {
      {CaseMode::CaseProper, u"DeShawn McDonald", u"DeShawn McDonald"},
      {CaseMode::CaseProper, u"iPhone repair", u"iPhone repair"},
      {CaseMode::CaseProper, u"JOHN SMITH", u"John Smith"},
      {CaseMode::CaseName, u"john mcdonald", u"John McDonald"},
      {CaseMode::CaseName, u"ǅuro", u"ǅuro"},  // a title-case letter counts as a capital
      {CaseMode::CaseProper, u"東京 TOWER", u"東京 Tower"},  // letters without case count for neither
      {CaseMode::CaseSentence, u"DeShawn", u"Deshawn"},
      {CaseMode::CaseUpper, u"DeShawn", u"DESHAWN"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(Case::ConvertCase(row.mode, S(row.in), {nullptr, true}), S(row.out)) << S(row.in).toStdString();
  PlainList list({"MARY-JANE O'NEIL", "Mary-Jane O'neil"});
  Case::NameCaseList(list, {nullptr, true});
  EXPECT_EQ(list.items, QStringList({"Mary-Jane O'Neil", "Mary-Jane O'neil"}));
}

TEST(CaseLists, NameCaseListConvertsEveryItem) {
  PlainList names({"ann o'neil", "LUDWIG VAN BEETHOVEN", "  mcdonald-smith iii", ""});
  Case::NameCaseList(names);
  EXPECT_EQ(names.items, QStringList({"Ann O'Neil", "Ludwig van Beethoven", "  McDonald-Smith III", ""}));
  EXPECT_EQ(names.writes, 4);
  PlainList mixed({"jean-luc", QString(32767, u'a'), "o'neil"});
  EXPECT_THROW(Case::NameCaseList(mixed), Case::Overflow);
  EXPECT_EQ(mixed.items, QStringList({"Jean-Luc", QString(32767, u'a'), "o'neil"}));
}
