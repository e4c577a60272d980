// The Main module: start-up routines and the routines both windows share.
#pragma once

#include <QApplication>
#include <QCursor>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

class QWidget;

namespace Main {

class SkinFramework;

// The product title, shown whole as the windows' captions.
inline const QString kProductTitle = QStringLiteral("Norvale");
// The maker's web address, opened by the occasional start-up visit.
inline const QString kMakerWebAddress = QStringLiteral("https://halvorik.example/norvale");

// The folder of the program's executable, without a trailing separator.
QString ProgramFolder();
// Tests point the program folder elsewhere; an empty text restores it.
void SetProgramFolder(const QString& folder);
QString SkinFilePath();         // <folder>/x/o.cjs
QString HandPointerFilePath();  // <folder>/HAND-M.CUR

// The value, or the replacement when the value is the database null.
QVariant NullToValue(const QVariant& value, const QVariant& replacement);

// True when the path's last-modified time can be read; never raises.
bool FileExists(const QString& path);

// Gives the window and its frames, labels, check boxes and option buttons
// the platform's button-face colour.
void SetSystemBackColors(QWidget& window);

// Skins the connection window from the skin file beside the program, when
// that file exists.
void ApplySkin(QWidget& window, SkinFramework& skin);

// Sets the application title from the product title, shortened at word
// boundaries to at most 40 characters.
void SetApplicationTitle();
// The application title: the caption of every message box that has no title
// of its own. It is kept here, not as Qt's application display name, which
// the window system would append to every window's caption.
QString ApplicationTitle();
QString ShortenedTitle(const QString& title);

// About one start-up in a hundred opens the maker's web site.
void VisitWebSiteAtRandom();
// Seams for tests: the draw (from 0 up to but excluding 1) and the process
// start (program and arguments; false when it could not start). Empty
// functions restore the real ones.
void SetRandomDraw(std::function<double()> draw);
void SetProcessStarter(std::function<bool(const QString&, const QStringList&)> starter);

// Loads the hand pointer file as a cursor; raises when it is not a picture.
QCursor LoadHandPointer(const QString& path);

// The program's icon, shared by both windows.
QIcon ProgramIcon();

// Ends the program at once: no further event procedure runs.
[[noreturn]] void EndProgram();

// The application object: no exception ever leaves a Qt event handler.
class Application : public QApplication {
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace Main
