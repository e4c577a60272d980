#include "shell/main.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QProcess>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTime>
#include <QWidget>
#include <cstdlib>
#include <stdexcept>

#include "shell/errorreport.h"
#include "shell/keyring.h"
#include "shell/skin.h"

// The shell library is static: its resources must be registered by hand.
static void InitShellResources() { Q_INIT_RESOURCE(shell); }

namespace Main {
namespace {

QString g_programFolder;
std::function<double()> g_draw;
std::function<bool(const QString&, const QStringList&)> g_starter;

double RealDraw() {
  // Seeded from the time of day, as the draw of each start-up is.
  QRandomGenerator generator(quint32(QTime::currentTime().msecsSinceStartOfDay()));
  return generator.generateDouble();
}

bool RealStart(const QString& program, const QStringList& arguments) {
  return QProcess::startDetached(program, arguments);
}

// The button-face colour on this platform.
QColor ButtonFace() { return QApplication::palette().color(QPalette::Button); }

bool TakesSystemColour(QWidget* w) {
  return qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w) || qobject_cast<QGroupBox*>(w) ||
         qobject_cast<QLabel*>(w);
}

void PaintBack(QWidget& w, const QColor& colour) {
  QPalette palette = w.palette();
  palette.setColor(QPalette::Window, colour);
  w.setPalette(palette);
  w.setAutoFillBackground(true);
}

}  // namespace

QString ProgramFolder() {
  if (!g_programFolder.isEmpty()) return g_programFolder;
  QString folder = QCoreApplication::applicationDirPath();
  while (folder.size() > 1 && folder.endsWith(u'/')) folder.chop(1);
  return folder;
}

void SetProgramFolder(const QString& folder) { g_programFolder = folder; }
QString SkinFilePath() { return ProgramFolder() + QStringLiteral("/x/o.cjs"); }
QString HandPointerFilePath() { return ProgramFolder() + QStringLiteral("/HAND-M.CUR"); }

QVariant NullToValue(const QVariant& value, const QVariant& replacement) {
  return value.isNull() ? replacement : value;
}

bool FileExists(const QString& path) {
  try {
    if (path.isEmpty()) return false;
    const QFileInfo info(path);
    return info.exists() && info.lastModified().isValid();
  } catch (...) {
    return false;
  }
}

void SetSystemBackColors(QWidget& window) {
  const QColor face = ButtonFace();
  const auto children = window.findChildren<QWidget*>();
  // Other controls keep the colours they have now: pin them before the
  // window's palette changes, or they would inherit the new colour.
  for (QWidget* child : children) {
    if (!TakesSystemColour(child)) {
      QPalette own = child->palette();
      for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base}) own.setColor(role, own.color(role));
      child->setPalette(own);
    }
  }
  PaintBack(window, face);
  for (QWidget* child : children) {
    if (TakesSystemColour(child)) PaintBack(*child, face);
  }
}

void ApplySkin(QWidget& window, SkinFramework& skin) {
  const QString path = SkinFilePath();
  if (!FileExists(path) || !QFileInfo(path).isFile()) return;
  SetSystemBackColors(window);
  skin.LoadSkin(path, QString());
  skin.SetOptions(skin.Options() | 1);
  skin.SetApplyOptions(true);
  skin.SetApplyDialogs(true);
  skin.ApplyWindow(window);
}

QString ShortenedTitle(const QString& title) {
  QString text = title;
  while (text.size() > 40) {
    const qsizetype space = text.lastIndexOf(u' ');
    if (space < 0) throw std::runtime_error("Invalid procedure call or argument");
    text.truncate(space);
  }
  return text;
}

namespace {
QString g_applicationTitle;
}

void SetApplicationTitle() { g_applicationTitle = ShortenedTitle(kProductTitle); }

QString ApplicationTitle() {
  // Until it is set, the program's name, as the platform would give it.
  return g_applicationTitle.isNull() ? QCoreApplication::applicationName() : g_applicationTitle;
}

void SetRandomDraw(std::function<double()> draw) { g_draw = std::move(draw); }
void SetProcessStarter(std::function<bool(const QString&, const QStringList&)> starter) {
  g_starter = std::move(starter);
}

void VisitWebSiteAtRandom() {
  const double r = g_draw ? g_draw() : RealDraw();
  const int n = int(r * 100) + 1;
  if (n != 7) return;
  const bool started = g_starter ? g_starter(QStringLiteral("xdg-open"), {kMakerWebAddress})
                                 : RealStart(QStringLiteral("xdg-open"), {kMakerWebAddress});
  if (!started) throw std::runtime_error("File not found");
}

QCursor LoadHandPointer(const QString& path) {
  QPixmap picture;
  if (!picture.load(path)) throw std::runtime_error("Invalid picture");
  // The hot spot is the fingertip of our hand image.
  return QCursor(picture, 15, 0);
}

QIcon ProgramIcon() {
  // A blue tile with "Aa": one letter in each case.
  InitShellResources();
  QIcon icon;
  for (int size : {16, 32, 48, 64, 256}) icon.addFile(QStringLiteral(":/norvale/norvale-%1.png").arg(size));
  return icon;
}

void EndProgram() {
  // A password on its way to the secret store lands first (bounded).
  FinishPasswordSaves();
  std::_Exit(0);
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded(QStringLiteral("Norvale"), QStringLiteral("event"), [&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

}  // namespace Main
