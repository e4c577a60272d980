#include "windows/form2.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QScreen>
#include <QShortcut>
#include <cmath>

#include "database/ado.h"
#include "database/mysql.h"
#include "shell/errorreport.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "windows/form1.h"

namespace {

// Sets the pointer back to the arrow when an operation ends, also when it
// ends with a failure.
class DefaultPointerOnExit {
 public:
  explicit DefaultPointerOnExit(PointerState& p) : pointer_(p) {}
  ~DefaultPointerOnExit() { pointer_.Set(PointerState::Default); }
  DefaultPointerOnExit(const DefaultPointerOnExit&) = delete;
  DefaultPointerOnExit& operator=(const DefaultPointerOnExit&) = delete;
 private:
  PointerState& pointer_;
};

// Holds back a list's painting while it is being filled.
class UpdatesPaused {
 public:
  explicit UpdatesPaused(QWidget* w) : widget_(w) { widget_->setUpdatesEnabled(false); }
  ~UpdatesPaused() { widget_->setUpdatesEnabled(true); }
  UpdatesPaused(const UpdatesPaused&) = delete;
  UpdatesPaused& operator=(const UpdatesPaused&) = delete;
 private:
  QWidget* widget_;
};

// Reads a stored position as a 16-bit whole number: a decimal text, rounded
// half to even; anything else is a type mismatch, anything larger an overflow.
int ToInteger16(const QString& text) {
  bool ok = false;
  const double value = text.trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(value)) throw std::runtime_error("Type mismatch");
  const double rounded = std::nearbyint(value);  // halves go to the even neighbour
  if (rounded < -32768 || rounded > 32767) throw std::runtime_error("Overflow");
  return int(rounded);
}

}  // namespace

Form2::Form2(Form1& form1) : FixedWindow("Form2", 512, 529), form1_(form1), pointer_(*this) {
  setFont(ArialBold(9));
  const QFont small = ArialBold(9);
  const QFont large = ArialBold(11.25);

  ListView1 = Place(new ListView(this), "ListView1", 8, 8, 496, 169);
  ListView2 = Place(new ListView(this), "ListView2", 8, 184, 238, 178);
  ListView3 = Place(new ListView(this), "ListView3", 256, 184, 248, 178);
  for (ListView* list : {ListView1, ListView2, ListView3}) {
    list->setFont(small);
    list->setToolTip(kListTip);
  }
  Frame1 = Place(new QGroupBox(QStringLiteral("Change All Fields To"), this), "Frame1", 8, 367, 496, 53);
  Combo1 = Place(new QComboBox(Frame1), "Combo1", 16, 20, 465, 23);
  Combo1->setEditable(false);
  PushButton5 = Place(new QPushButton(QStringLiteral("< Back"), this), "PushButton5", 8, 462, 496, 27);
  PushButton1 = Place(new QPushButton(QStringLiteral("Start Changing"), this), "PushButton1", 8, 427, 496, 27);
  PushButton5->setFont(large);
  PushButton1->setFont(large);
  ProgressBar1 = Place(new QProgressBar(this), "ProgressBar1", 8, 498, 496, 27);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setFormat(QStringLiteral("Progress Bar"));
  ProgressBar1->setTextVisible(true);
  ProgressBar1->setAlignment(Qt::AlignCenter);

  setTabOrder(ListView1, ListView2);
  setTabOrder(ListView2, ListView3);
  setTabOrder(ListView3, Combo1);
  setTabOrder(Combo1, PushButton5);
  setTabOrder(PushButton5, PushButton1);

  connect(ListView1, &ListView::Click, this, [this] {
    Main::Guarded(QStringLiteral("Form2"), QStringLiteral("ListView1_Click"), [this] { ListView1_Click(); });
  });
  connect(ListView2, &ListView::Click, this, [this] {
    Main::Guarded(QStringLiteral("Form2"), QStringLiteral("ListView2_Click"), [this] { ListView2_Click(); });
  });
  connect(Combo1, &QComboBox::currentIndexChanged, this, [this] {
    Main::Guarded(QStringLiteral("Form2"), QStringLiteral("Combo1_Click"), [this] { Combo1_Click(); });
  });
  connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
  connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
  // Undo Last Run: Ctrl+Z anywhere in the window, or the preview's menu.
  const auto undo = [this] {
    Main::Guarded(QStringLiteral("Form2"), QStringLiteral("UndoLastRun"), [this] { UndoLastRun(); });
  };
  auto* undoShortcut = new QShortcut(QKeySequence::Undo, this);
  connect(undoShortcut, &QShortcut::activated, this, undo);
  ListView3->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListView3, &QWidget::customContextMenuRequested, this, [this, undo](const QPoint& at) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("Undo Last Run\u2026"), this, undo);
    menu.addAction(QStringLiteral("Edit Word List\u2026"), this, [this] {
      Main::Guarded(QStringLiteral("Form2"), QStringLiteral("EditWordList"), [this] { EditWordList(); });
    });
    menu.exec(ListView3->viewport()->mapToGlobal(at));
  });

  TrackPointerMoves();
  installEventFilter(this);
  for (QWidget* w : std::initializer_list<QWidget*>{Frame1, PushButton1, PushButton5}) w->installEventFilter(this);
  for (ListView* list : {ListView1, ListView2, ListView3}) {
    list->installEventFilter(this);
    list->viewport()->installEventFilter(this);
    list->header()->installEventFilter(this);
  }
  guard_ = new InputGuard(*this);
}

Form2::~Form2() = default;

void Form2::EditWordList() {
  const QString path = Main::WordsFilePath();
  QFile file(path);
  if (!file.exists()) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!file.open(QIODevice::WriteOnly)) {
      Main::MsgBox(QStringLiteral("The word list %1 cannot be made: %2").arg(path, file.errorString()));
      return;
    }
    file.write("# Words that Proper Case, Sentence case and Name Case write as they are written here,\n"
               "# one a line, matched whatever their case: LLC, IBM, iPhone, McDonald's, PhD, GmbH.\n"
               "# Lines that start with # are comments.\n");
    file.close();
  }
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
    Main::MsgBox(QStringLiteral("No editor opened the word list. It is %1.").arg(path));
}

void Form2::Form_Load() {
  Main::Procedure p(QStringLiteral("Form2"), QStringLiteral("Form_Load"));
  p.Line(100, [&] { Main::SetSystemBackColors(*this); });
  p.Line(102, [&] { setWindowIcon(Main::ProgramIcon()); });
  if (p.If(106, [&] { return Main::FileExists(Main::HandPointerFilePath()); })) {
    p.Line(108, [&] { pointer_.SetHandImage(Main::LoadHandPointer(Main::HandPointerFilePath())); });
  }
  p.Line(110, [&] { setWindowTitle(Main::kProductTitle); });
  {
    // Adding items selects nothing; the stored position is chosen below.
    const QSignalBlocker quiet(Combo1);
    p.Line(116, [&] { Combo1->addItem(QStringLiteral("UPPER CASE")); });
    p.Line(118, [&] { Combo1->addItem(QStringLiteral("lower case")); });
    p.Line(120, [&] { Combo1->addItem(QStringLiteral("Proper Case")); });
    p.Line(122, [&] { Combo1->addItem(QStringLiteral("Sentence case")); });
    p.Line(123, [&] { Combo1->addItem(QStringLiteral("Name Case")); });
    Combo1->setCurrentIndex(-1);
  }
  p.Line(124, [&] {
    const int position = ToInteger16(Main::GetSetting(QStringLiteral("Combo1"), QStringLiteral("0")));
    if (position < -1 || position >= Combo1->count()) throw std::runtime_error("Invalid property value");
    if (position == Combo1->currentIndex()) return;
    {
      const QSignalBlocker quiet(Combo1);
      Combo1->setCurrentIndex(position);
    }
    Combo1_Click();
  });
  p.Line(126, [&] { ListView1->AddColumn(QStringLiteral("Table(s)")); });
  p.Line(128, [&] { ListView1->SetColumnWidthTwips(5300); });
  p.Line(130, [&] { ListView2->AddColumn(QStringLiteral("Field(s)")); });
  p.Line(132, [&] { ListView2->SetColumnWidthTwips(5300); });
  p.Line(134, [&] { ListView3->AddColumn(QStringLiteral("First 100 Entries (Preview)")); });
  p.Line(136, [&] { ListView3->SetColumnWidthTwips(5300); });
}

void Form2::Combo1_Click() { Main::SaveSetting(QStringLiteral("Combo1"), QString::number(Combo1->currentIndex())); }

void Form2::ListView1_Click() {
  if (ListView1->Count() == 0) return;
  ADODB::RecordSet columns;
  InputGuard::Hold hold(*guard_);
  DefaultPointerOnExit arrowAtEnd(pointer_);
  pointer_.Set(PointerState::Busy);
  auto connection = MySQL::OpenConnection(form1_.Details(), MySQL::BrowseOptions);
  const QString table = ListView1->SelectedText();
  // Only the column names are needed: the query is described, not run, so
  // no row crosses the network however large the table is.
  columns.OpenFieldsOnly(QStringLiteral("SELECT * FROM ") + MySQL::QuoteName(table), *connection);
  ListView2->Clear();
  ListView3->Clear();
  const UpdatesPaused paused(ListView2);
  for (int i = 0; i < columns.FieldCount(); ++i) {
    QCoreApplication::processEvents();
    ListView2->AddItem(columns.FieldName(i));
  }
  pointer_.Set(PointerState::Default);
  if (ListView2->Count() >= 1) ListView2_Click();
}

void Form2::ListView2_Click() {
  ADODB::RecordSet values;
  if (ListView2->Count() == 0) return;
  InputGuard::Hold hold(*guard_);
  DefaultPointerOnExit arrowAtEnd(pointer_);
  pointer_.Set(PointerState::Busy);
  auto connection = MySQL::OpenConnection(form1_.Details(), MySQL::BrowseOptions);
  const QString field = ListView2->SelectedText();
  const QString table = ListView1->SelectedText();
  // The preview shows at most 101 values: ask the server for no more.
  values.MaxRecords = 101;
  values.Open(QStringLiteral("SELECT ") + MySQL::QuoteName(field) + QStringLiteral(" FROM ") + MySQL::QuoteName(table),
              *connection, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  ListView3->Clear();
  // The list is painted once it holds its values, not after every value.
  const UpdatesPaused paused(ListView3);
  int rows = 0;
  QCoreApplication::processEvents();
  for (;;) {
    if (values.Eof()) break;
    QCoreApplication::processEvents();
    ListView3->AddItem(PreviewText(Main::NullToValue(values.Value(0), QString())));
    values.MoveNext();
    ++rows;
    if (rows > 100) break;
  }
  values.Close();
  pointer_.Set(PointerState::Default);
}

QString Form2::PreviewText(const QVariant& value) {
  if (!MySQL::IsBytes(value)) return MySQL::ValueText(value);
  // Bytes have no text form: show their start in hex.
  constexpr int kShownBytes = 32;
  const QByteArray bytes = value.toByteArray();
  QString text = QStringLiteral("0x") + QString::fromLatin1(bytes.left(kShownBytes).toHex().toUpper());
  if (bytes.size() > kShownBytes) text += QChar(0x2026);
  return text;
}

void Form2::PushButton5_Click() {
  Main::Procedure p(QStringLiteral("Form2"), QStringLiteral("PushButton5_Click"));
  p.Line(100, [&] { form1_.show(); });
  p.Line(102, [&] { hide(); });
}

bool Form2::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseMove) {
    if (watched == PushButton1 || watched == PushButton5) {
      pointer_.MouseMove(PointerState::Hand);
    } else if (watched == this || watched == Frame1) {
      pointer_.MouseMove(PointerState::Default);
    } else {
      for (ListView* list : {ListView1, ListView2, ListView3}) {
        if (watched == list || watched == list->viewport() || watched == list->header()) {
          pointer_.MouseMove(PointerState::Default);  // ListViewN_MouseMove
        }
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}
