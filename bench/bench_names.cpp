// How many real people's names Name Case and Proper Case give back exactly as
// their owners write them, from the name in capitals and in lower case.
//
//   bench_names [names.txt] [--misses]
//
// bench/names.txt holds names collected from package maintainers, AUTHORS and
// THANKS files: one name a line, in UTF-8, spelt as its owner spells it.
// --misses prints every name Name Case does not restore.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>

#include "caserules/case.h"

namespace {

// Whether a name has what the name rules are there for: a particle, a Mc or
// Mac prefix or an elision. Kept apart from the rules' own facts on purpose:
// names without any of these must not come out worse than Proper Case makes
// them.
bool HasNamePattern(const QString& name) {
  static const QRegularExpression pattern(
      QStringLiteral("(^|\\s)(van|von|vom|zu|zum|zur|de|der|den|du|da|di|del|della|la|le|los|las|dos|das|do|ten|ter|"
                     "bin|binti|ibn|al|y|i|e)(?=\\s)|(^|[\\s-])ma?c\\w|['\u2019\u02BC]"),
      QRegularExpression::CaseInsensitiveOption);
  return pattern.match(name).hasMatch();
}

struct Tally {
  int fromUpper = 0, fromLower = 0;
};

double Percent(int part, int whole) { return whole ? 100.0 * part / whole : 0.0; }

double NsPerName(const QStringList& names, QString (*rule)(const QString&)) {
  QElapsedTimer timer;
  timer.start();
  qsizetype length = 0;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    for (const QString& name : names) length += rule(name).size();
  }
  const double ns = double(timer.nsecsElapsed()) / (double(kRounds) * names.size());
  return length > 0 ? ns : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
  QString path = QStringLiteral(NORVALE_NAMES_FILE);
  bool printMisses = false;
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    if (arg == QStringLiteral("--misses")) {
      printMisses = true;
    } else {
      path = arg;
    }
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
    return 1;
  }
  QStringList names;
  for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
    if (!line.trimmed().isEmpty()) names << line;
  }
  if (names.isEmpty()) return 1;

  Tally name, proper;
  int withPattern = 0, regressions = 0;
  QStringList regressed, misses;
  for (const QString& owner : names) {
    const QString upper = Case::UpperText(owner), lower = Case::LowerText(owner);
    const bool nameUp = Case::NameCase(upper) == owner, nameLow = Case::NameCase(lower) == owner;
    const bool properUp = Case::ProperCase(upper) == owner, properLow = Case::ProperCase(lower) == owner;
    name.fromUpper += nameUp;
    name.fromLower += nameLow;
    proper.fromUpper += properUp;
    proper.fromLower += properLow;
    if (!nameUp || !nameLow) misses << owner + QStringLiteral("  ->  ") + Case::NameCase(lower);
    if (HasNamePattern(owner)) {
      ++withPattern;
    } else if ((properUp && !nameUp) || (properLow && !nameLow)) {
      ++regressions;
      regressed << owner + QStringLiteral("  ->  ") + Case::NameCase(lower);
    }
  }

  const int n = int(names.size());
  std::printf("%d names (%d with a particle, prefix or elision) from %s\n\n", n, withPattern, qPrintable(path));
  std::printf("%-12s %22s %22s\n", "restored", "from capitals", "from lower case");
  std::printf("%-12s %12d %8.2f %% %12d %8.2f %%\n", "Name Case", name.fromUpper, Percent(name.fromUpper, n),
              name.fromLower, Percent(name.fromLower, n));
  std::printf("%-12s %12d %8.2f %% %12d %8.2f %%\n", "Proper Case", proper.fromUpper, Percent(proper.fromUpper, n),
              proper.fromLower, Percent(proper.fromLower, n));
  std::printf("\nnames without a particle, prefix or elision that Name Case gets wrong and Proper Case right: %d\n",
              regressions);
  for (const QString& line : regressed) std::printf("  %s\n", qPrintable(line));
  if (printMisses) {
    std::printf("\nnames Name Case does not restore (%d):\n", int(misses.size()));
    for (const QString& line : misses) std::printf("  %s\n", qPrintable(line));
  }
  std::printf("\ntime per name: Name Case %.0f ns, Proper Case %.0f ns\n", NsPerName(names, Case::NameCase),
              NsPerName(names, Case::ProperCase));
  return 0;
}
