#include "windows/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPainter>
#include <QProxyStyle>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "conversion/engine.h"
#include "database/ado.h"
#include "shell/errorreport.h"
#include "shell/keyring.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "shell/skin.h"
#include "windows/form2.h"

namespace {

// Tab, Shift+Tab, a click, a mnemonic.
bool MovesFocusWithinWindow(Qt::FocusReason reason) {
  return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::MouseFocusReason ||
         reason == Qt::ShortcutFocusReason;
}

// Draws a group frame as a line only. Fusion fills a frame's inside with a
// light gray of its own; this window's frame shows the window's colour, so
// that it and its labels are white like the window (or take the skin's
// colours when the skin gives them).
class LineFrameStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element != PE_FrameGroupBox) {
      QProxyStyle::drawPrimitive(element, option, painter, widget);
      return;
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(option->palette.color(QPalette::Window).darker(140));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
    painter->restore();
  }
};

}  // namespace

Form1::Form1() : FixedWindow("Form1", 536, 245), pointer_(*this) {
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  const QFont small = ArialBold(9);
  const QFont large = ArialBold(11.25);
  Frame1 = Place(new QGroupBox(QStringLiteral("MySQL Login"), this), "Frame1", 8, 8, 520, 193, small);
  auto* frameStyle = new LineFrameStyle();
  frameStyle->setParent(this);
  Frame1->setStyle(frameStyle);
  Text1 = Place(new QLineEdit(Frame1), "Text1", 88, 24, 305, 23, small);
  Text5 = Place(new QLineEdit(Frame1), "Text5", 432, 24, 73, 23, small);
  Text2 = Place(new QLineEdit(Frame1), "Text2", 88, 56, 417, 23, small);
  Text3 = Place(new QLineEdit(Frame1), "Text3", 88, 88, 417, 23, small);
  Text3->setEchoMode(QLineEdit::Password);
  Text3->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));  // "*"
  Text4 = Place(new QLineEdit(Frame1), "Text4", 88, 120, 417, 22, small);
  PushButton5 = Place(new QPushButton(QStringLiteral("Test Connection"), Frame1), "PushButton5", 16, 152, 240, 27, large);
  PushButton4 = Place(new QPushButton(QStringLiteral("Help"), Frame1), "PushButton4", 264, 152, 240, 27, large);
  PushButton3 = Place(new QPushButton(QStringLiteral("Next >"), this), "PushButton3", 8, 210, 520, 27, large);
  Label9 = Place(new QLabel(QStringLiteral("Port:"), Frame1), "Label9", 400, 27, 33, 17, small);
  Label4 = Place(new QLabel(QStringLiteral("Password:"), Frame1), "Label4", 16, 91, 73, 17, small);
  Label3 = Place(new QLabel(QStringLiteral("Database:"), Frame1), "Label3", 16, 123, 65, 17, small);
  Label2 = Place(new QLabel(QStringLiteral("Server:"), Frame1), "Label2", 16, 27, 73, 17, small);
  Label1 = Place(new QLabel(QStringLiteral("Username:"), Frame1), "Label1", 16, 59, 73, 17, small);
  // Labels are painted over the boxes' left edge; keep the boxes on top.
  for (QLabel* label : {Label9, Label4, Label3, Label2, Label1}) label->lower();
  SkinFramework1 = new Main::SkinFramework(this);
  SkinFramework1->setObjectName(QStringLiteral("SkinFramework1"));

  setTabOrder(Text1, Text5);
  setTabOrder(Text5, Text2);
  setTabOrder(Text2, Text3);
  setTabOrder(Text3, Text4);
  setTabOrder(Text4, PushButton5);
  setTabOrder(PushButton5, PushButton4);
  setTabOrder(PushButton4, PushButton3);
  setTabOrder(PushButton3, Frame1);

  // Every change of a box is written to its setting at once. The password
  // is saved when the details are used and when the window closes (in the
  // desktop's secret store where one takes it, see SavePassword).
  const std::pair<QLineEdit*, const char*> settings[] = {
      {Text1, "MyServer"}, {Text2, "MyUser"}, {Text4, "MyDatabase"}, {Text5, "MyPort"}};
  for (const auto& [box, name] : settings) {
    const QString setting = QLatin1String(name);
    connect(box, &QLineEdit::textChanged, this, [setting](const QString& text) { Main::SaveSetting(setting, text); });
  }
  for (QLineEdit* box : {Text1, Text2, Text3, Text4, Text5}) box->installEventFilter(this);

  connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
  connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
  connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });

  // Pointer-move events: every control keeps its moves to itself, so the
  // frame and the window hear only moves over their own surface.
  TrackPointerMoves();
  for (QWidget* w : std::initializer_list<QWidget*>{this, Frame1, PushButton3, PushButton4, PushButton5})
    w->installEventFilter(this);

  guard_ = new InputGuard(*this);
}

Form1::~Form1() = default;

MySQL::ConnectionDetails Form1::Details() const {
  MySQL::ConnectionDetails d{Text1->text(), Text2->text(), Text3->text(), Text4->text(), Text5->text(), {}};
  d.netTimeout = Conversion::NetTimeout(Main::GetSetting(Conversion::kNetTimeoutSetting, QString()));
  return d;
}

Form2& Form1::GetForm2() {
  if (!form2_) {
    form2_ = std::make_unique<Form2>(*this);
    form2_->Form_Load();
  }
  return *form2_;
}

void Form1::Form_Load() {
  Main::Procedure p(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
  p.Line(100, [&] { Main::ApplySkin(*this, *SkinFramework1); });
  p.Line(104, [&] {
    setWindowTitle(Main::kProductTitle);
    setWindowIcon(Main::ProgramIcon());
    Main::SetApplicationTitle();
  });
  p.Line(106, [&] { Main::VisitWebSiteAtRandom(); });
  if (p.If(124, [&] { return Main::FileExists(Main::HandPointerFilePath()); })) {
    p.Line(126, [&] { pointer_.SetHandImage(Main::LoadHandPointer(Main::HandPointerFilePath())); });
  }
  p.Line(128, [&] { Text1->setText(Main::GetSetting(QStringLiteral("MyServer"), QStringLiteral("localhost"))); });
  p.Line(130, [&] { Text2->setText(Main::GetSetting(QStringLiteral("MyUser"), QString())); });
  p.Line(132, [&] {
    passwordPending_ = true;
    const QString account = Main::PasswordAccount(
        Text1->text(), Main::GetSetting(QStringLiteral("MyPort"), QStringLiteral("3306")), Text2->text());
    Main::ReadPassword(account, kPasswordPatienceMs, this,
                       [this, account](const Main::SavedPassword& saved) { PasswordRead(account, saved); });
  });
  p.Line(134, [&] { Text4->setText(Main::GetSetting(QStringLiteral("MyDatabase"), QString())); });
  p.Line(136, [&] { Text5->setText(Main::GetSetting(QStringLiteral("MyPort"), QStringLiteral("3306"))); });
  // A secret store slower than the load's patience answers while the window
  // shows; the details cannot be used until then, and the load goes on then.
  if (passwordPending_) {
    loadWaitsForPassword_ = true;
    return;
  }
  GoOnWithStoredDetails(p);
}

void Form1::PasswordRead(const QString& account, const Main::SavedPassword& saved) {
  passwordPending_ = false;
  // A password typed while the store was slow stays.
  if (!Text3->isModified()) Text3->setText(saved.text);
  // What the store answered is saved as it is; a password from the settings
  // file still has to move to the store.
  if (!saved.inFile) savedPassword_ = std::pair(account, saved.text);
  if (!loadWaitsForPassword_) return;  // answered while the load waited
  loadWaitsForPassword_ = false;
  Main::Procedure p(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
  GoOnWithStoredDetails(p);
}

void Form1::GoOnWithStoredDetails(Main::Procedure& p) {
  // Complete stored details that connect go straight on to the tables.
  if (p.If(138, [&] {
        return !Text1->text().isEmpty() && !Text2->text().isEmpty() && !Text3->text().isEmpty() &&
               !Text4->text().isEmpty();
      })) {
    if (p.If(140, [&] { return MySQL::CanConnect(Details()); })) {
      p.Line(142, [&] { PushButton3_Click(); });
    }
  }
}

void Form1::SavePassword() {
  // Until the store has answered the load, the box does not show the saved
  // password, and saving it would overwrite that.
  if (passwordPending_) return;
  const QString account = Main::PasswordAccount(Text1->text(), Text5->text(), Text2->text());
  auto password = std::pair(account, Text3->text());
  if (savedPassword_ == password) return;
  savedPassword_ = password;
  Main::SavePassword(account, Text3->text());
}

void Form1::PushButton3_Click() {
  Main::Procedure p(QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
  InputGuard::Hold hold(*guard_);
  SavePassword();  // the details are used: keep them
  bool connects = true;
  p.Line(100, [&] { connects = MySQL::CanConnect(Details()); });
  if (!connects) return;
  p.Line(102, [&] { MySQL::ListTables(Details(), *GetForm2().ListView1); });
  if (p.If(104, [&] { return GetForm2().ListView1->Count() >= 1; })) {
    p.Line(104, [&] { GetForm2().ListView1_Click(); });
  }
  p.Line(106, [&] { GetForm2().show(); });
  p.Line(108, [&] { hide(); });
}

QString Form1::HelpText() {
  const QString crcr = QStringLiteral("\r\r");
  return QStringLiteral("If you cannot establish connection to your database with this program, please go to: ") +
         crcr + kWorkbenchAddress + crcr +
         QStringLiteral("Download and install the MySQL Workbench. Try to connect to the same database (with the same "
                        "login information you are using here). This will determine if the login you are using is "
                        "correct.") +
         crcr +
         QStringLiteral("Finally, make sure your host allows a direct connection to your MySQL database -- not a web "
                        "based connection, for example.");
}

void Form1::PushButton4_Click() {
  Main::Procedure p(QStringLiteral("Form1"), QStringLiteral("PushButton4_Click"));
  QString message;
  p.Line(104, [&] { message = HelpText(); });
  p.Line(112, [&] { Main::MsgBox(message); });
}

void Form1::PushButton5_Click() {
  Main::Procedure p(QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
  std::unique_ptr<ADODB::Connection> connection;
  p.Line(100, [&] { connection = std::make_unique<ADODB::Connection>(); });
  InputGuard::Hold hold(*guard_);
  SavePassword();  // the details are used: keep them
  // From here a failure skips to the connection failure message.
  try {
    pointer_.Set(PointerState::Busy);                                     // 102
    QCoreApplication::processEvents();                                   // 104
    MySQL::ApplyOptions(*connection, MySQL::ProbeOptions);               // 106
    connection->Open(MySQL::ConnectionString(Details()));
    Main::MsgBox(QStringLiteral("Connection successful."));              // 108
    pointer_.Set(PointerState::Default);                                  // 110
  } catch (...) {
    Main::MsgBox(kConnectFailed);                                         // 114
    pointer_.Set(PointerState::Default);                                  // 116
  }
}

void Form1::Form_Unload() {
  SavePassword();
  FixedWindow::Form_Unload();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  // Until the saved password is in its box, the details cannot be used.
  if (passwordPending_ && (watched == PushButton3 || watched == PushButton5) && IsUserInput(*event)) return true;
  if (event->type() == QEvent::MouseMove) {
    if (watched == this || watched == Frame1 || watched == Text1 || watched == Text2 || watched == Text3 ||
        watched == Text4) {
      pointer_.MouseMove(PointerState::Default);   // Form_MouseMove, Frame1_MouseMove, Text1..4_MouseMove
    } else if (watched == PushButton3 || watched == PushButton4 || watched == PushButton5) {
      pointer_.MouseMove(PointerState::Hand);      // the buttons' pointer-move events
    }
  } else if (event->type() == QEvent::FocusIn) {
    // TextN_GotFocus: select the whole text so typing replaces it, when the
    // focus moves to the box within the window. The window becoming active
    // again or a box's own menu closing hands the focus back, and what the
    // user was typing stays as it was.
    auto* box = qobject_cast<QLineEdit*>(watched);
    if (box && MovesFocusWithinWindow(static_cast<QFocusEvent*>(event)->reason())) {
      QTimer::singleShot(0, box, [box] { box->selectAll(); });
    }
  }
  return QWidget::eventFilter(watched, event);
}
