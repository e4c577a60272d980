#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QWidget>
#include <gtest/gtest.h>

#include "shell/errorreport.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "shell/skin.h"
#include "tests/support/realboxes.h"
#include "tests/support/recorder.h"

namespace {

const QString kLocation = QStringLiteral("in Norvale2021/08/31.Form1.PushButton3_Click ");

QString ReportFor(int line, const QString& description) {
  return description + "\r\n" + kLocation + "at line " + QString::number(line) +
         "\r\rPlease email screenshot of this message to " + Main::kSupportAddress;
}

void Fail(const char* what) { throw std::runtime_error(what); }

// A folder that stands in for the program folder.
class ProgramFolder {
 public:
  ProgramFolder() { Main::SetProgramFolder(dir.path()); }
  ~ProgramFolder() { Main::SetProgramFolder(QString()); }
  void Write(const QString& relative, const QByteArray& content) {
    QDir(dir.path()).mkpath(QFileInfo(relative).path());
    QFile f(dir.filePath(relative));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
  }
  QTemporaryDir dir;
};

}  // namespace

TEST(ErrorReport, TextTitleAndIconAreExact) {
  BoxRecorder boxes;
  Main::ShowErrorReport(kLocation, 104, "Table 'shop.x' doesn't exist");
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, ReportFor(104, "Table 'shop.x' doesn't exist"));
  EXPECT_EQ(boxes.boxes[0].title, "Application Error");
  EXPECT_EQ(boxes.boxes[0].icon, Main::BoxIcon::Warning);
  // An empty description leaves the first line empty.
  Main::ShowErrorReport(kLocation, 100, "");
  EXPECT_TRUE(boxes.boxes[1].text.startsWith("\r\n" + kLocation + "at line 100\r\r"));
}

TEST(ErrorReport, LocationTextsOfTheReportingProcedures) {
  EXPECT_EQ(Main::LocationText("Form1", "PushButton3_Click"), kLocation);
  EXPECT_EQ(Main::LocationText("Form2", "Form_Load"), "in Norvale2021/08/31.Form2.Form_Load ");
}

TEST(NumberedLines, CarryOnAfterFailuresWithTheCallersLine) {
  BoxRecorder boxes;
  QStringList ran;
  Main::Procedure p("Form1", "PushButton3_Click");
  p.Line(100, [&] { ran << "100"; });
  // A failure deep inside a called routine is reported at the caller's line.
  const auto routine = [&] {
    ran << "102 start";
    Fail("deep failure");
    ran << "102 never";
  };
  EXPECT_FALSE(p.Line(102, routine));
  EXPECT_TRUE(p.Line(104, [&] { ran << "104"; }));
  p.Line(106, [&] { Fail("second"); });
  p.Line(108, [&] { ran << "108"; });
  EXPECT_EQ(ran, QStringList({"100", "102 start", "104", "108"}));
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[0].text, ReportFor(102, "deep failure"));
  EXPECT_EQ(boxes.boxes[1].text, ReportFor(106, "second"));
  EXPECT_EQ(p.Reports(), 2);
}

TEST(NumberedLines, AFailingTestEntersItsBlock) {
  BoxRecorder boxes;
  Main::Procedure p("Form1", "PushButton3_Click");
  EXPECT_TRUE(p.If(104, [&]() -> bool {
    Fail("test failed");
    return false;
  }));
  EXPECT_FALSE(p.If(106, [] { return false; }));
  EXPECT_TRUE(p.If(108, [] { return true; }));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, ReportFor(104, "test failed"));
}

TEST(Guarded, ShowsTheFailureNamingTheProcedureAndGoesOn) {
  BoxRecorder boxes;
  bool after = false;
  Main::Guarded("Form2", "ListView1_Click", [] { Fail("Table 'x.t' doesn't exist"); });
  after = true;
  EXPECT_TRUE(after);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].title, "Application Error");
  EXPECT_TRUE(boxes.boxes[0].text.contains("Table 'x.t' doesn't exist"));
  EXPECT_TRUE(boxes.boxes[0].text.contains("Form2.ListView1_Click"));
}

TEST(MsgBox, PlainBoxWithTheApplicationTitle) {
  BoxRecorder boxes;
  Main::SetApplicationTitle();
  Main::MsgBox("Connection successful.");
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].title, "Norvale");
  EXPECT_EQ(boxes.boxes[0].icon, Main::BoxIcon::None);
  // The title is our own: Qt's display name, which the window system would
  // append to every caption, stays unset.
  EXPECT_EQ(Main::ApplicationTitle(), "Norvale");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
}

// The real boxes, not the recorder: texts that look like markup are shown
// exactly, each report with its three lines and the blank one.
TEST(MessageBoxes, RealBoxesShowPlainTextWithTheirLineBreaks) {
  Main::SetApplicationTitle();
  const QString table = "Table 'shop.<b>pages</b>' doesn't exist";
  const OpenBox report = ReadBoxWhileOpen([&] { Main::ShowErrorReport(kLocation, 104, table); });
  ASSERT_TRUE(report.seen);
  EXPECT_EQ(report.title, "Application Error");
  EXPECT_EQ(report.format, Qt::PlainText);
  EXPECT_EQ(report.text, table + "\n" + kLocation + "at line 104\n\nPlease email screenshot of this message to " +
                             Main::kSupportAddress);
  EXPECT_EQ(report.icon, QMessageBox::Warning);
  EXPECT_EQ(report.buttons, 1);

  const QString markup = "<i>Connection</i> &amp; <a href='x'>successful</a>.\r\rsecond";
  const OpenBox plain = ReadBoxWhileOpen([&] { Main::MsgBox(markup); });
  ASSERT_TRUE(plain.seen);
  EXPECT_EQ(plain.title, "Norvale");
  EXPECT_EQ(plain.format, Qt::PlainText);
  EXPECT_EQ(plain.text, "<i>Connection</i> &amp; <a href='x'>successful</a>.\n\nsecond");
  EXPECT_EQ(plain.icon, QMessageBox::NoIcon);
  EXPECT_EQ(plain.buttons, 1);

  const OpenBox guarded = ReadBoxWhileOpen([] { Main::Guarded("Form2", "ListView1_Click", [] { Fail("<h1>gone</h1>"); }); });
  ASSERT_TRUE(guarded.seen);
  EXPECT_EQ(guarded.title, "Application Error");
  EXPECT_EQ(guarded.format, Qt::PlainText);
  EXPECT_EQ(guarded.text, "<h1>gone</h1>\nin Norvale2021/08/31.Form2.ListView1_Click ");
}

TEST(ApplicationTitle, ShortenedAtWordBoundaries) {
  EXPECT_EQ(Main::ShortenedTitle("Norvale"), "Norvale");
  EXPECT_EQ(Main::ShortenedTitle(QString(40, u'x')), QString(40, u'x'));
  EXPECT_EQ(Main::ShortenedTitle("Norvale, the letter case changer for MySQL databases"),
            "Norvale, the letter case changer for");
  EXPECT_EQ(Main::ShortenedTitle("A title that ends in a very,long,punctuated,word"), "A title that ends in a");
  EXPECT_THROW(Main::ShortenedTitle(QString(41, u'x')), std::runtime_error);
}

TEST(FileExists, TrueOnlyForReadableTimes) {
  EXPECT_FALSE(Main::FileExists(""));
  EXPECT_FALSE(Main::FileExists("/no/such/folder/file"));
  QTemporaryDir dir;
  QFile f(dir.filePath("here.txt"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  EXPECT_TRUE(Main::FileExists(dir.filePath("here.txt")));
  EXPECT_FALSE(Main::FileExists(dir.filePath("missing.txt")));
}

TEST(NullToValue, KeepsTypeOrReplacesNull) {
  const QVariant n = Main::NullToValue(QVariant(qlonglong(42)), QString());
  EXPECT_EQ(n.typeId(), QMetaType::LongLong);
  EXPECT_EQ(n.toLongLong(), 42);
  EXPECT_EQ(Main::NullToValue(QVariant(), QString()).typeId(), QMetaType::QString);
  EXPECT_EQ(Main::NullToValue(QVariant(QString("x")), QString()).toString(), "x");
}

namespace {
struct Window {
  Window() {
    white.setColor(QPalette::Window, Qt::white);
    w.setPalette(white);
    frame = new QGroupBox("Frame", &w);
    label = new QLabel("Label", frame);
    check = new QCheckBox("Check", &w);
    option = new QRadioButton("Option", &w);
    box = new QLineEdit(&w);
    button = new QPushButton("Button", &w);
  }
  QPalette white;
  QWidget w;
  QGroupBox* frame;
  QLabel* label;
  QCheckBox* check;
  QRadioButton* option;
  QLineEdit* box;
  QPushButton* button;
};
QColor Back(QWidget* w) { return w->palette().color(QPalette::Window); }
}  // namespace

TEST(SystemColours, FramesLabelsChecksAndOptionsOnly) {
  Window win;
  const QColor buttonBack = Back(win.button), boxBack = win.box->palette().color(QPalette::Base);
  Main::SetSystemBackColors(win.w);
  const QColor face = QApplication::palette().color(QPalette::Button);
  for (QWidget* w : std::initializer_list<QWidget*>{&win.w, win.frame, win.label, win.check, win.option})
    EXPECT_EQ(Back(w), face) << w->metaObject()->className();
  EXPECT_EQ(Back(win.button), buttonBack);
  EXPECT_EQ(win.box->palette().color(QPalette::Base), boxBack);
}

TEST(Skin, AbsentPresentAndUnreadable) {
  ProgramFolder folder;
  {
    Window win;
    Main::SkinFramework skin;
    Main::ApplySkin(win.w, skin);  // no file: nothing changes
    EXPECT_EQ(Back(&win.w), QColor(Qt::white));
    EXPECT_TRUE(win.w.styleSheet().isEmpty());
  }
  folder.Write("x/o.cjs", "QPushButton { font-weight: bold; }");
  {
    Window win;
    const QColor buttonBack = Back(win.button);
    Main::SkinFramework skin;
    Main::ApplySkin(win.w, skin);
    EXPECT_EQ(Back(&win.w), QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(Back(win.label), QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(Back(win.button), buttonBack);
    EXPECT_EQ(win.w.styleSheet(), "QPushButton { font-weight: bold; }");
    EXPECT_EQ(skin.Options() & 1, 1);
  }
  folder.Write("x/o.cjs", QByteArray("\x00\xff\xfe binary", 10));
  {
    Window win;
    Main::SkinFramework skin;
    EXPECT_THROW(Main::ApplySkin(win.w, skin), std::runtime_error);
    // The colours set before the failure stay.
    EXPECT_EQ(Back(&win.w), QApplication::palette().color(QPalette::Button));
  }
}

TEST(WebVisit, OnlyADrawOfSevenStartsTheBrowser) {
  QStringList started;
  Main::SetProcessStarter([&](const QString& program, const QStringList& args) {
    started << program + " " + args.join(" ");
    return true;
  });
  Main::SetRandomDraw([] { return 0.07; });  // n = 8
  Main::VisitWebSiteAtRandom();
  EXPECT_TRUE(started.isEmpty());
  Main::SetRandomDraw([] { return 0.065; });  // n = 7
  Main::VisitWebSiteAtRandom();
  EXPECT_EQ(started, QStringList({"xdg-open " + Main::kMakerWebAddress}));
  Main::SetProcessStarter([](const QString&, const QStringList&) { return false; });
  EXPECT_THROW(Main::VisitWebSiteAtRandom(), std::runtime_error);
  Main::SetRandomDraw({});
  Main::SetProcessStarter({});
}

TEST(HandPointer, LoadsOurCursorFileAndRefusesOtherFiles) {
  const QCursor hand = Main::LoadHandPointer(QStringLiteral(NORVALE_SOURCE_DIR "/resources/HAND-M.CUR"));
  EXPECT_EQ(hand.pixmap().size(), QSize(32, 32));
  EXPECT_EQ(hand.hotSpot(), QPoint(15, 0));
  QTemporaryDir dir;
  QFile f(dir.filePath("HAND-M.CUR"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("not a picture");
  f.close();
  EXPECT_THROW(Main::LoadHandPointer(f.fileName()), std::runtime_error);
}

TEST(Settings, DefaultsEmptyValuesFlushAndMode) {
  QFile::remove(Main::SettingsFilePath());
  EXPECT_EQ(Main::GetSetting("MyServer", "localhost"), "localhost");
  Main::SaveSetting("MyServer", "");
  EXPECT_EQ(Main::GetSetting("MyServer", "localhost"), "");
  Main::SaveSetting("MyPassword", "p,a;s's\"w\\ord");
  EXPECT_EQ(Main::GetSetting("MyPassword", ""), "p,a;s's\"w\\ord");
  // Written to disk at once, in section [Norvale], readable by the owner only.
  QFile file(Main::SettingsFilePath());
  EXPECT_TRUE(file.fileName().endsWith("/Halvorik.conf"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray content = file.readAll();
  EXPECT_TRUE(content.contains("[Norvale]"));
  EXPECT_TRUE(content.contains("MyServer="));
  EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
            QFile::Permissions());
}

TEST(ProgramIcon, HasEverySize) {
  const QIcon icon = Main::ProgramIcon();
  for (int size : {16, 48, 256}) EXPECT_EQ(icon.pixmap(size, size).size(), QSize(size, size)) << size;
}
