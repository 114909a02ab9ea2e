#include "app/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QMenuBar>
#include <QMetaObject>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

#include "app/qt/function_model.h"
#include "app/qt/settings_window.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_port_driver.h"
#include "ui/main_window_layout.h"

// Pictures of the program, compiled into the library (res/qt/resources.qrc).
static void InitResources() {
  Q_INIT_RESOURCE(resources);
}

namespace bq::qt {

PortDriverFactory DesktopPortDrivers() {
  return [](const PartDatabase& parts) {
    return std::vector<std::shared_ptr<PortDriver>>{std::make_shared<PosixPortDriver>(),
                                                    std::make_shared<SimPortDriver>(&parts)};
  };
}

// The byte cell: Enter applies, Escape and focus loss abandon.
class ByteCellEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
  std::function<void(const std::string&)> onEnter;
  std::function<void()> onAbandon;

  void Detach() {
    onEnter = nullptr;
    onAbandon = nullptr;
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      if (auto f = onEnter) f(text().toStdString());
      return;
    }
    if (event->key() == Qt::Key_Escape) {
      if (auto f = onAbandon) f();
      return;
    }
    QLineEdit::keyPressEvent(event);
  }
  void focusOutEvent(QFocusEvent* event) override {
    QLineEdit::focusOutEvent(event);
    if (auto f = onAbandon) f();
  }
};

namespace {

constexpr int kPictureRole = Qt::UserRole;  // FieldPicture of a field row
constexpr int kEnumeratorRole = Qt::UserRole + 1;

const char* const kToolbarIcons[] = {"clear",       "load",   "save",  "write",    "read",
                                     "blank_check", "verify", "erase", "identify", "settings"};

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Column 2 of a field list: the check box picture of a bit field, or the named value with
// the drop arrow at the right of an enumerator.
class FieldValueDelegate : public QStyledItemDelegate {
 public:
  FieldValueDelegate(const QPixmap* boxes, const QPixmap& arrow, QObject* parent)
      : QStyledItemDelegate(parent), boxes_(boxes), arrow_(arrow) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const QRect r = option.rect;
    painter->fillRect(r, option.palette.base());
    const int picture = index.data(kPictureRole).toInt();
    if (picture < 0) return;
    if (index.data(kEnumeratorRole).toBool()) {
      painter->setPen(option.palette.text().color());
      painter->drawText(r.adjusted(6, 0, -18, 0), Qt::AlignVCenter | Qt::AlignLeft,
                        index.data(Qt::DisplayRole).toString());
      painter->drawPixmap(r.right() - 16, r.top() + (r.height() - 15) / 2, 16, 15, arrow_);
      return;
    }
    if (picture < 4) {
      painter->drawPixmap(r.left() + 6, r.top() + (r.height() - 15) / 2, 15, 15, boxes_[picture]);
    }
  }

 private:
  const QPixmap* boxes_;
  QPixmap arrow_;
};

QTableView* MakeGridList(QWidget* parent, int id) {
  auto* view = new QTableView(parent);
  view->setObjectName(QString("c%1").arg(id));
  view->horizontalHeader()->hide();
  view->verticalHeader()->hide();
  view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view->verticalHeader()->setDefaultSectionSize(20);
  view->setShowGrid(true);
  view->setSelectionMode(QAbstractItemView::NoSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setFocusPolicy(Qt::ClickFocus);
  view->setWordWrap(false);
  view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QFont font = view->font();
  font.setPixelSize(13);
  view->setFont(font);
  return view;
}

}  // namespace

MainWindow::MainWindow(SettingsStore& store, DialogHost& dialogs, PortDriverFactory drivers)
    : store_(store), dialogs_(dialogs), drivers_(std::move(drivers)) {
  InitResources();
  setWindowTitle(kMainWindowTitle);
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addFile(QString(":/images/app_icon_%1.png").arg(size));
  setWindowIcon(icon);
  const QPixmap logStrip[] = {QPixmap(":/images/log_info.png"), QPixmap(":/images/log_success.png"),
                              QPixmap(":/images/log_warning.png"),
                              QPixmap(":/images/log_error.png")};
  for (int i = 0; i < 4; ++i) logIcons_[i] = logStrip[i];
  const QPixmap boxes(":/images/check_boxes.png");
  const int boxWidth = boxes.width() / 6;
  for (int i = 0; i < 4; ++i) {
    checkBoxes_[i] = boxes.copy(boxWidth * i, 0, boxWidth, boxes.height());
  }
  dropArrow_ = QPixmap(":/images/drop_arrow.png");

  // The simulated programmer the port drivers hold, for the rescue's moves of its chip.
  auto sim = std::make_shared<std::weak_ptr<SimPortDriver>>();
  PortDriverFactory wrapped = [factory = drivers_, sim](const PartDatabase& parts) {
    auto list = factory ? factory(parts) : std::vector<std::shared_ptr<PortDriver>>{};
    for (auto& d : list) {
      if (auto s = std::dynamic_pointer_cast<SimPortDriver>(d)) *sim = s;
    }
    return list;
  };
  app_ = std::make_unique<Application>(*this, store_, std::move(wrapped));
  app_->SetSimulatedChipMover([sim](const std::string& port, ChipPlace place) {
    if (auto s = sim->lock(); s && ParseSimPortName(port)) {
      s->MoveChip(port, place == ChipPlace::Socket ? SimConnect::kSocket : SimConnect::kIsp);
    }
  });
  // Worker events: the worker only posts a call; the events are delivered on this thread.
  app_->SetWakeCallback([this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (app_) app_->Drain();
        },
        Qt::QueuedConnection);
  });

  BuildMenu();
  BuildToolbar();
  // The watch of the Program command looks at its file twice a second.
  auto* tick = new QTimer(this);
  connect(tick, &QTimer::timeout, this, [this] {
    if (app_) app_->Tick();
  });
  tick->start(500);
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(2, 4, 2, 2);
  layout->setSpacing(6);
  layout->addWidget(BuildInfoRow());
  BuildTabs();
  layout->addWidget(tabs_, 44);
  layout->addWidget(BuildLog(), 13);
  setCentralWidget(central);
  statusBar()->setSizeGripEnabled(true);
  statusBar()->setObjectName(QString("c%1").arg(kIdStatusBar));
  controls_[kIdStatusBar] = statusBar();
  setAcceptDrops(true);
  resize(1000, 700);
}

MainWindow::~MainWindow() {
  // The worker stops before any widget it reports to goes away.
  CloseCellEditor();
  app_.reset();
}

int MainWindow::Start(const StartOptions& options) {
  return app_->Start(options);
}

void MainWindow::BuildMenu() {
  struct Item {
    const char* text;
    int id;
    QKeySequence keys;
    bool separatorBefore;
  };
  auto addMenu = [this](const char* title, std::initializer_list<Item> items) {
    QMenu* menu = menuBar()->addMenu(tr(title));
    menu->setToolTipsVisible(true);
    for (const Item& item : items) {
      if (item.separatorBefore) menu->addSeparator();
      QAction* action = menu->addAction(item.text);
      action->setShortcut(item.keys);
      action->setObjectName(QString("m%1").arg(item.id));
      const int id = item.id;
      connect(action, &QAction::triggered, this, [this, id] { app_->Command(id); });
      menuActions_[id] = action;
    }
  };
  addMenu("&File", {{"Settings", kMenuSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma), false},
                    {"Exit", kMenuExit, QKeySequence(Qt::CTRL | Qt::Key_Q), true}});
  addMenu("&Buffer", {{"Clear", kMenuClear, QKeySequence(Qt::CTRL | Qt::Key_N), false},
                      {"Load from file", kMenuLoad, QKeySequence(Qt::CTRL | Qt::Key_O), true},
                      {"Save to file", kMenuSave, QKeySequence(Qt::CTRL | Qt::Key_S), false},
                      {"Reload", kMenuReload, QKeySequence(Qt::Key_F5), false}});
  addMenu(
      "&Chip",
      {{"Identify", kMenuIdentify, QKeySequence(Qt::CTRL | Qt::Key_I), false},
       {"Write buffer into chip", kMenuWrite, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W), true},
       {"Read chipcode into buffer", kMenuRead, QKeySequence(Qt::CTRL | Qt::Key_R), false},
       {"Blank check", kMenuBlankCheck, QKeySequence(Qt::CTRL | Qt::Key_B), true},
       {"Erase", kMenuErase, QKeySequence(Qt::CTRL | Qt::Key_E), false},
       {"Verify", kMenuVerify, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V), true},
       {"Program", kMenuProgram, QKeySequence(Qt::CTRL | Qt::Key_P), true},
       {"Program again when the file changes", kMenuProgramWatch, QKeySequence(), false},
       {"Rescue...", kMenuRescue, QKeySequence(), true}});
  // A click toggles the mark; the command then sets it to what the application did
  // (CheckMenuItem).
  menuActions_[kMenuProgramWatch]->setCheckable(true);
}

void MainWindow::BuildToolbar() {
  QToolBar* bar = addToolBar("Toolbar");
  bar->setObjectName(QString("c%1").arg(kIdToolbar));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setIconSize(QSize(16, 16));
  bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  bar->toggleViewAction()->setEnabled(false);
  setContextMenuPolicy(Qt::NoContextMenu);  // the toolbar cannot be hidden
  controls_[kIdToolbar] = bar;
  auto button = [this, bar](int id) {
    const int index =
        static_cast<int>(std::find(std::begin(kToolbarButtons), std::end(kToolbarButtons), id) -
                         std::begin(kToolbarButtons));
    QAction* action =
        bar->addAction(QIcon(QString(":/images/toolbar_%1.png").arg(kToolbarIcons[index])), "");
    action->setObjectName(QString("t%1").arg(id));
    connect(action, &QAction::triggered, this, [this, id] { app_->Command(id); });
    toolbarActions_[id] = action;
  };
  auto selector = [this, bar](int id) {
    auto* combo = new QComboBox(bar);
    combo->setObjectName(QString("c%1").arg(id));
    combo->setFixedWidth(150);
    combo->setMaxVisibleItems(20);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    bar->addWidget(combo);
    controls_[id] = combo;
    return combo;
  };
  button(kIdClearBuffer);
  button(kIdLoadBuffer);
  button(kIdSaveBuffer);
  bar->addSeparator();
  button(kIdWriteChip);
  button(kIdReadChip);
  bar->addSeparator();
  button(kIdBlankCheck);
  button(kIdVerifyChip);
  button(kIdEraseChip);
  bar->addSeparator();
  chipSelector_ = selector(kIdChipSelector);
  button(kIdIdentify);
  bar->addSeparator();
  modeSelector_ = selector(kIdModeSelector);
  bar->addSeparator();
  button(kIdSettings);
  connect(chipSelector_, &QComboBox::activated, this,
          [this](int index) { app_->ChipSelectorChanged(index); });
  connect(modeSelector_, &QComboBox::activated, this,
          [this](int index) { app_->ModeSelectorChanged(index); });
  RefreshTooltips();
}

QWidget* MainWindow::BuildInfoRow() {
  auto* row = new QWidget(this);
  auto* grid = new QGridLayout(row);
  grid->setContentsMargins(13, 0, 13, 0);
  grid->setHorizontalSpacing(5);
  grid->setVerticalSpacing(3);
  auto label = [row](const char* text, int width) {
    auto* l = new QLabel(text, row);
    l->setFixedWidth(width);
    return l;
  };
  auto field = [this, row](int id) {
    auto* edit = new QLineEdit(row);
    edit->setObjectName(QString("c%1").arg(id));
    edit->setReadOnly(true);
    edit->setFixedSize(120, 22);
    chipInfo_[id] = edit;
    controls_[id] = edit;
    return edit;
  };
  grid->addWidget(label("Chip", 65), 0, 0);
  grid->addWidget(field(kIdChipName), 0, 1);
  grid->addWidget(label("Signature", 65), 1, 0);
  grid->addWidget(field(kIdSignature), 1, 1);
  grid->setColumnMinimumWidth(2, 25);
  grid->addWidget(label("Flash Size", 95), 0, 3);
  grid->addWidget(field(kIdFlashSize), 0, 4);
  grid->addWidget(label("EEPROM Size", 95), 1, 3);
  grid->addWidget(field(kIdEepromSize), 1, 4);
  grid->setColumnMinimumWidth(5, 5);
  progress_ = new QProgressBar(row);
  progress_->setObjectName(QString("c%1").arg(kIdProgressBar));
  progress_->setTextVisible(false);
  progress_->setFixedHeight(20);
  progress_->setMinimumWidth(200);
  progress_->hide();
  QSizePolicy keep = progress_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  progress_->setSizePolicy(keep);
  controls_[kIdProgressBar] = progress_;
  grid->addWidget(progress_, 1, 6);
  auto* stop = new QPushButton("Stop", row);
  stop->setObjectName(QString("c%1").arg(kIdStop));
  stop->setEnabled(false);
  connect(stop, &QPushButton::clicked, this, [this] { app_->Command(kIdStop); });
  controls_[kIdStop] = stop;
  grid->addWidget(stop, 1, 7);
  grid->setColumnStretch(6, 1);
  return row;
}

void MainWindow::BuildTabs() {
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QString("c%1").arg(kIdTabControl));
  controls_[kIdTabControl] = tabs_;
  tabs_->addTab(BuildHexPage(MEMORY_FLASH, kIdFlashHexView), kTabTexts[0]);
  tabs_->addTab(BuildHexPage(MEMORY_EEPROM, kIdEepromHexView), kTabTexts[1]);
  tabs_->addTab(
      BuildEditorPage(FuseEditorKind::Fuses, kIdFuseFieldList, kIdFuseByteList, kIdFuseSetDefault),
      kTabTexts[2]);
  tabs_->addTab(BuildEditorPage(FuseEditorKind::LockBits, kIdLockFieldList, kIdLockByteList,
                                kIdLockSetDefault),
                kTabTexts[3]);
  tabs_->addTab(BuildCalibrationPage(), kTabTexts[4]);
  tabs_->setCurrentIndex(0);
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
    if (!app_->running() || index < 0) return;
    app_->SwitchTab(static_cast<MainTab>(index));
    RefreshTooltips();
  });
}

QWidget* MainWindow::BuildHexPage(MemoryKind kind, int id) {
  auto* page = new QWidget(tabs_);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);
  auto* view = new QListView(page);
  view->setObjectName(QString("c%1").arg(id));
  view->setUniformItemSizes(true);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(14);
  font.setBold(true);
  view->setFont(font);
  auto* model = new FunctionModel(
      1, [this, kind] { return static_cast<int>(app_->hexView(kind).RowCount()); },
      [this, kind](int row, int, int role) -> QVariant {
        if (role == Qt::DisplayRole) {
          return Q(app_->hexView(kind).RowText(static_cast<std::uint32_t>(row)));
        }
        if (role == Qt::ForegroundRole) {
          const std::uint32_t rgb =
              HexRowRgb(app_->HexRowColourOf(kind, static_cast<std::uint32_t>(row)));
          return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
        }
        return {};
      },
      view);
  view->setModel(model);
  (kind == MEMORY_EEPROM ? eepromModel_ : flashModel_) = model;
  layout->addWidget(view);
  controls_[id] = view;
  return page;
}

QPushButton* MainWindow::PageButton(const char* text, int id) {
  auto* button = new QPushButton(text);
  button->setObjectName(QString("c%1").arg(id));
  button->setFixedSize(120, 30);
  connect(button, &QPushButton::clicked, this, [this, id] { app_->Command(id); });
  controls_[id] = button;
  return button;
}

QWidget* MainWindow::BuildEditorPage(FuseEditorKind which, int fieldId, int byteId,
                                     int firstButton) {
  auto* page = new QWidget(tabs_);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);
  EditorWidgets& w = editorWidgets(which);

  w.fields = MakeGridList(page, fieldId);
  w.fieldModel = new FunctionModel(
      3, [this, which] { return static_cast<int>(app_->editor(which).fieldRows().size()); },
      [this, which](int row, int column, int role) -> QVariant {
        const FuseEditor& e = app_->editor(which);
        const auto it = e.fieldRows().find(static_cast<std::uint32_t>(row));
        if (it == e.fieldRows().end()) return {};
        const auto r = static_cast<std::uint32_t>(row);
        if (role == Qt::DisplayRole) {
          if (column == 0) return Q(it->second.name);
          if (column == 1) return Q(it->second.text);
          return it->second.isEnumerator ? Q(e.CurrentChoiceText(r)) : QString();
        }
        if (role == kPictureRole) return e.FieldPicture(r);
        if (role == kEnumeratorRole) return it->second.isEnumerator;
        if (role == Qt::ToolTipRole && column == 2 && !it->second.isEnumerator) {
          return Q(e.FieldDisplayText(r));
        }
        return {};
      },
      w.fields);
  w.fields->setModel(w.fieldModel);
  w.fields->setItemDelegateForColumn(2, new FieldValueDelegate(checkBoxes_, dropArrow_, w.fields));
  const std::array<int, 2> columns = FieldNameColumns(false);
  w.fields->setColumnWidth(0, columns[0]);
  w.fields->setColumnWidth(1, columns[1]);
  w.fields->horizontalHeader()->setStretchLastSection(true);
  w.fields->viewport()->installEventFilter(this);
  controls_[fieldId] = w.fields;
  layout->addWidget(w.fields, 1);

  auto* bottom = new QHBoxLayout;
  w.bytes = MakeGridList(page, byteId);
  w.byteModel = new FunctionModel(
      2, [this, which] { return static_cast<int>(app_->editor(which).byteRows().size()); },
      [this, which](int row, int column, int role) -> QVariant {
        if (role != Qt::DisplayRole) return {};
        const auto& rows = app_->editor(which).byteRows();
        const auto it = rows.find(static_cast<std::uint32_t>(row));
        if (it == rows.end()) return {};
        return Q(column == 0 ? it->second.label : it->second.valueText);
      },
      w.bytes);
  w.bytes->setModel(w.byteModel);
  w.bytes->setColumnWidth(0, 90);
  w.bytes->horizontalHeader()->setStretchLastSection(true);
  const LayoutRect byteList = EditorLists({}, false).bytes;
  w.bytes->setFixedSize(byteList.width, byteList.height);
  w.bytes->viewport()->installEventFilter(this);
  controls_[byteId] = w.bytes;
  bottom->addWidget(w.bytes, 0, Qt::AlignBottom);
  bottom->addStretch(1);
  const char* texts[] = {"Set Default", "Write", "Verify", "Read"};
  for (int i = 0; i < 4; ++i) {
    bottom->addSpacing(i == 0 ? 0 : 20);
    bottom->addWidget(PageButton(texts[i], firstButton + i), 0, Qt::AlignBottom);
  }
  layout->addLayout(bottom);
  // The page keeps the room its lists and buttons need while they are hidden on another
  // tab, so the window cannot be made so small that the buttons cover the lists.
  page->setMinimumSize(layout->minimumSize());
  return page;
}

QWidget* MainWindow::BuildCalibrationPage() {
  auto* page = new QWidget(tabs_);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);
  QTableView* list = MakeGridList(page, kIdCalibrationList);
  calibrationModel_ = new FunctionModel(
      2, [this] { return static_cast<int>(app_->state().calibration.entries().size()); },
      [this](int row, int column, int role) -> QVariant {
        if (role != Qt::DisplayRole) return {};
        const CalibrationView& c = app_->state().calibration;
        const auto it = c.entries().find(static_cast<std::uint32_t>(row));
        if (it == c.entries().end()) return {};
        return column == 0 ? Q(it->second.label) : Q(c.ValueText(it->first));
      },
      list);
  list->setModel(calibrationModel_);
  list->setColumnWidth(0, 90);
  list->horizontalHeader()->setStretchLastSection(true);
  controls_[kIdCalibrationList] = list;
  layout->addWidget(list, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(PageButton("Read", kIdCalibrationRead));
  layout->addLayout(bottom);
  // The page keeps the room its lists and buttons need while they are hidden on another
  // tab, so the window cannot be made so small that the buttons cover the lists.
  page->setMinimumSize(layout->minimumSize());
  return page;
}

QListView* MainWindow::BuildLog() {
  auto* view = new QListView(this);
  view->setObjectName(QString("c%1").arg(kIdMessageLog));
  view->setUniformItemSizes(true);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setIconSize(QSize(16, 16));
  QFont font = view->font();
  font.setPixelSize(13);
  view->setFont(font);
  logModel_ = new FunctionModel(
      1, [this] { return static_cast<int>(app_->state().log.RowCount()); },
      [this](int row, int, int role) -> QVariant {
        if (role != Qt::DisplayRole && role != Qt::DecorationRole) return {};
        const LogEntry entry = app_->state().log.Row(static_cast<std::size_t>(row));
        if (role == Qt::DisplayRole) return Q(entry.text);
        const int kind = static_cast<int>(entry.kind);
        return kind >= 0 && kind < 4 ? QVariant(logIcons_[kind]) : QVariant();
      },
      view);
  view->setModel(logModel_);
  controls_[kIdMessageLog] = view;
  return view;
}

void MainWindow::RefreshTooltips() {
  for (const auto& [id, action] : toolbarActions_) {
    const QString tip = Q(app_->ToolbarTooltip(id));
    action->setToolTip(tip);
    action->setText(tip);
  }
}

QWidget* MainWindow::DialogParent() {
  return isVisible() ? this : nullptr;
}

MainWindow::EditorWidgets& MainWindow::editorWidgets(FuseEditorKind which) {
  return which == FuseEditorKind::Fuses ? fuses_ : locks_;
}

QWidget* MainWindow::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}
QAction* MainWindow::ToolbarAction(int id) const {
  const auto it = toolbarActions_.find(id);
  return it == toolbarActions_.end() ? nullptr : it->second;
}
QAction* MainWindow::MenuAction(int id) const {
  const auto it = menuActions_.find(id);
  return it == menuActions_.end() ? nullptr : it->second;
}
QLineEdit* MainWindow::chipInfoField(int id) const {
  const auto it = chipInfo_.find(id);
  return it == chipInfo_.end() ? nullptr : it->second;
}
QComboBox* MainWindow::choiceCell() const {
  return qobject_cast<QComboBox*>(cellWidget_);
}
QLineEdit* MainWindow::byteCell() const {
  return qobject_cast<QLineEdit*>(cellWidget_);
}

QRect MainWindow::EditorCellRect(FuseEditorKind which, EditorList list, int row, int column) const {
  const EditorWidgets& w = which == FuseEditorKind::Fuses ? fuses_ : locks_;
  QTableView* view = list == EditorList::Fields ? w.fields : w.bytes;
  return view->visualRect(view->model()->index(row, column));
}

// Message boxes.
void MainWindow::ShowError(const std::string& text) {
  dialogs_.Message(DialogParent(), BoxIcon::Error, kCaptionError, text);
}
void MainWindow::ShowNotice(const std::string& text) {
  dialogs_.Message(DialogParent(), BoxIcon::None, "", text);
}
bool MainWindow::AskWarningYesNo(const std::string& text) {
  return dialogs_.AskYesNo(DialogParent(), BoxIcon::Warning, kCaptionWarning, text);
}
bool MainWindow::AskWarningYesNoDefaultNo(const std::string& text) {
  return dialogs_.AskYesNoDefaultNo(DialogParent(), BoxIcon::Warning, kCaptionWarning, text);
}
bool MainWindow::AskExitYesNo(const std::string& text) {
  return dialogs_.AskYesNo(DialogParent(), BoxIcon::Question, kCaptionExit, text);
}
void MainWindow::ShowInfo(const std::string& text) {
  dialogs_.Message(DialogParent(), BoxIcon::Information, kCaptionInfo, text);
}

// The toolbar lists and the chip information.
namespace {
void FillCombo(QComboBox* combo, const std::vector<std::string>& entries, int index) {
  const QSignalBlocker block(combo);
  combo->clear();
  for (const std::string& e : entries) combo->addItem(QString::fromStdString(e));
  combo->setCurrentIndex(index);
}
}  // namespace

void MainWindow::RefreshChipSelector() {
  FillCombo(chipSelector_, app_->selection().chipEntries(), app_->selection().chipIndex());
}
void MainWindow::RefreshModeSelector() {
  FillCombo(modeSelector_, app_->selection().modeEntries(), app_->selection().modeIndex());
}
void MainWindow::ShowChipInfo(const ChipInfoTexts& texts) {
  chipInfo_[kIdChipName]->setText(Q(texts.name));
  chipInfo_[kIdSignature]->setText(Q(texts.signature));
  chipInfo_[kIdFlashSize]->setText(Q(texts.flash));
  chipInfo_[kIdEepromSize]->setText(Q(texts.eeprom));
}

// Lists.
void MainWindow::RefreshLog() {
  logModel_->Reset();
}
void MainWindow::RefillHexView(MemoryKind kind) {
  (kind == MEMORY_EEPROM ? eepromModel_ : flashModel_)->Refresh();
}
void MainWindow::RedrawHexViewColours(MemoryKind kind) {
  (kind == MEMORY_EEPROM ? eepromModel_ : flashModel_)->Refresh();
}
void MainWindow::RefreshFieldList(FuseEditorKind editor) {
  EditorWidgets& w = editorWidgets(editor);
  const bool named = app_->editor(editor).IsNamed();
  const std::array<int, 2> columns = FieldNameColumns(named);
  if (w.fields->columnWidth(0) != columns[0]) {
    w.fields->setColumnWidth(0, columns[0]);
    w.fields->setColumnWidth(1, columns[1]);
  }
  const int byteListHeight = EditorLists({}, named).bytes.height;
  if (w.bytes->height() != byteListHeight) w.bytes->setFixedHeight(byteListHeight);
  w.fieldModel->Refresh();
}
void MainWindow::RefreshByteList(FuseEditorKind editor) {
  editorWidgets(editor).byteModel->Refresh();
}
void MainWindow::RefreshCalibration() {
  calibrationModel_->Reset();
}

// The cell editor over a fuse or lock-bit list.
void MainWindow::OpenChoiceCell(FuseEditorKind editor, std::uint32_t row,
                                const std::vector<std::string>& choices, std::size_t selected) {
  CloseCellEditor();
  QTableView* list = editorWidgets(editor).fields;
  auto* combo = new QComboBox(list->viewport());
  QFont font = combo->font();
  font.setPixelSize(13);
  combo->setFont(font);
  for (const std::string& c : choices) combo->addItem(Q(c));
  combo->setCurrentIndex(static_cast<int>(selected));
  combo->setGeometry(
      EditorCellRect(editor, EditorList::Fields, static_cast<int>(row), 2).adjusted(0, -3, 0, 3));
  connect(combo, &QComboBox::activated, this,
          [this](int index) { app_->ChoiceCellChosen(static_cast<std::size_t>(index)); });
  cellWidget_ = combo;
  combo->show();
  combo->setFocus();
  if (isVisible() && QGuiApplication::platformName() != "offscreen") combo->showPopup();
}

void MainWindow::OpenByteCell(FuseEditorKind editor, std::uint32_t row, const std::string& text) {
  CloseCellEditor();
  QTableView* list = editorWidgets(editor).bytes;
  auto* edit = new ByteCellEdit(Q(text), list->viewport());
  edit->setGeometry(EditorCellRect(editor, EditorList::Bytes, static_cast<int>(row), 1));
  edit->setCursorPosition(static_cast<int>(edit->text().size()));
  edit->deselect();
  edit->onEnter = [this](const std::string& t) { app_->ByteCellEntered(t); };
  edit->onAbandon = [this] { app_->ByteCellAbandoned(); };
  cellWidget_ = edit;
  edit->show();
  edit->setFocus();
}

void MainWindow::CloseCellEditor() {
  if (cellWidget_ == nullptr) return;
  QWidget* cell = cellWidget_;
  cellWidget_ = nullptr;
  if (auto* edit = dynamic_cast<ByteCellEdit*>(cell)) edit->Detach();
  cell->disconnect(this);
  cell->hide();
  cell->deleteLater();
}

// The progress bar: determinate for transfers, a busy indicator for the blank check.
void MainWindow::ProgressSmooth() {}
void MainWindow::ProgressMarquee() {}
void MainWindow::ProgressRange(std::uint16_t maximum) {
  progressMaximum_ = maximum;
  progress_->setRange(0, maximum);
}
void MainWindow::ProgressPosition(std::uint32_t position) {
  progress_->setValue(static_cast<int>(std::min<std::uint32_t>(position, progressMaximum_)));
}
void MainWindow::ProgressMarqueeStart() {
  progress_->setRange(0, 0);
}
void MainWindow::ProgressMarqueeStop() {
  progress_->setRange(0, progressMaximum_);
  progress_->setValue(0);
}
void MainWindow::ProgressShow() {
  progress_->show();
}
void MainWindow::ProgressHide() {
  progress_->hide();
}

void MainWindow::SetControlVisible(int controlId, bool visible) {
  if (QWidget* w = Control(controlId)) w->setVisible(visible);
}
void MainWindow::EnableToolbarButton(int buttonId, bool enabled) {
  QAction* a = ToolbarAction(buttonId);
  if (a == nullptr) return;
  a->setEnabled(enabled);
  if (app_) a->setToolTip(Q(app_->ToolbarTooltip(buttonId)));  // why it is disabled
}
void MainWindow::EnableMenuItem(int itemId, bool enabled) {
  QAction* a = MenuAction(itemId);
  if (a == nullptr) return;
  a->setEnabled(enabled);
  // A chip command the programmer cannot do says why when the pointer rests on it.
  const std::string why = app_ && !enabled ? app_->ToolbarTooltip(itemId) : "";
  a->setToolTip(why.empty() ? a->text().remove('&') : Q(why));
}
void MainWindow::CheckMenuItem(int itemId, bool checked) {
  if (QAction* a = MenuAction(itemId)) a->setChecked(checked);
}
void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && app_ &&
      app_->EscapePressed()) {
    event->accept();
    return;
  }
  QMainWindow::keyPressEvent(event);
}
void MainWindow::EnableControl(int controlId, bool enabled, const std::string& tooltip) {
  QWidget* w = Control(controlId);
  if (w == nullptr) return;
  w->setEnabled(enabled);
  w->setToolTip(Q(tooltip));
}

std::optional<std::string> MainWindow::AskOpenFileName(const FileDialogRequest& request) {
  return dialogs_.OpenFile(DialogParent(), request);
}
std::optional<std::string> MainWindow::AskSaveFileName(const FileDialogRequest& request) {
  return dialogs_.SaveFile(DialogParent(), request);
}

void MainWindow::RunSettingsDialog(SettingsDialog& dialog) {
  SettingsWindow window(dialog, dialogs_, DialogParent());
  dialog.Open();
  dialogs_.RunDialog(window);
  dialog.SetView(nullptr);
}

void MainWindow::CloseMainWindow() {
  closeConfirmed_ = true;
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closeConfirmed_ || !app_->running()) {
    event->accept();
    return;
  }
  event->ignore();
  app_->ConfirmExit();  // closes the window through CloseMainWindow when confirmed
}

std::string MainWindow::DroppedFile(const QMimeData* mime) const {
  if (mime == nullptr || !mime->hasUrls()) return "";
  for (const QUrl& url : mime->urls()) {
    if (!url.isLocalFile()) continue;
    const std::string path = url.toLocalFile().toStdString();
    if (app_->AcceptsDropOnCurrentTab(path)) return path;
  }
  return "";
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedFile(event->mimeData()).empty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  const std::string path = DroppedFile(event->mimeData());
  if (path.empty()) return;
  event->acceptProposedAction();
  app_->LoadDroppedFile(path);
}

// Left clicks on the fuse and lock-bit lists go to the cell editor rules.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton) {
      for (FuseEditorKind which : {FuseEditorKind::Fuses, FuseEditorKind::LockBits}) {
        const EditorWidgets& w = editorWidgets(which);
        for (QTableView* view : {w.fields, w.bytes}) {
          if (watched != view->viewport()) continue;
          const QModelIndex index = view->indexAt(mouse->position().toPoint());
          const EditorList list = view == w.fields ? EditorList::Fields : EditorList::Bytes;
          app_->EditorCellClicked(which, list,
                                  static_cast<std::uint32_t>(index.isValid() ? index.row() : 0),
                                  index.isValid() ? index.column() : -1);
          return false;
        }
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace bq::qt
