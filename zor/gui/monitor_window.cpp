// The monitor's window: its menus and buttons over the list, the statistics
// dialog, and the handle through which the core owns the window.
#include "zor/gui/monitor_window.h"
#include "zor/gui/table_text.h"

#include <zor/app.h>
#include <zor/device.h>
#include <zor/strings.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QVBoxLayout>

namespace zor {

namespace {

bool isPlayback(const CMonitorDlg& m) { return m.Device() != nullptr && m.Device()->Type() == ZOR_PLAYBACK; }

// A file transfer of the host's terminal forces the filters meanwhile.
bool transferring() {
  CRunZorModeless* host = theApp.m_pHostDlg.load();
  return host != nullptr && host->isTransferring();
}

}  // namespace

MonitorWindow::MonitorWindow(CMonitorDlg* monitor) : m_poster(this) {
  m_link.monitor = monitor;
  setObjectName("monitor");
  setWindowTitle("ZOR Monitor");
  setWindowIcon(zorAppIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);

  auto* bar = new QMenuBar(this);
  QMenu* log = addMenu("&Log");
  bar->addMenu(log);
  addAction(log, ID_EXTERNAL_DEBUGGER, "E&xternal debugger");
  addAction(log, ID_LOG_TO_FILE, "&Log to file...");
  log->addSeparator();
  addAction(log, ID_TRUE_PLAYBACK, "&True speed playback");
  log->addSeparator();
  addAction(log, ID_PAUSE_ON_EXIT, "&Pause on exit");
  addAction(log, ID_ENABLE_MONITOR, "E&nable Monitor");
  QMenu* view = addMenu("&View");
  bar->addMenu(view);
  addAction(view, ID_VIEW_DECIMAL, "&Decimal");
  addAction(view, ID_VIEW_HEX, "&Hexadecimal");
  addAction(view, ID_VIEW_ASCII, "&ASCII");
  view->addSeparator();
  addAction(view, ID_STATISTICS, "&Statistics...", false);
  view->addSeparator();
  addAction(view, ID_ALWAYS_ON_TOP, "Always on &Top");
  QMenu* filter = addMenu("&Filter");
  bar->addMenu(filter);
  addAction(filter, ID_FILTER_RX, "&Received data");
  addAction(filter, ID_FILTER_TX, "&Transmitted data");
  addAction(filter, ID_FILTER_RCV, "Server: Received data");
  addAction(filter, ID_FILTER_SENT, "Server: Sent data");
  QMenu* help = addMenu("&Help");
  bar->addMenu(help);
  addAction(help, ID_DUMP_USB, "&Dump USB Config...", false);
  help->addSeparator();
  addAction(help, ID_ABOUT, "&About...", false);

  m_pause = new QPushButton("Pause", this);
  m_pause->setObjectName("pause");
  m_pause->setCheckable(true);
  m_pause->setProperty("commandId", ID_PAUSE);
  connect(m_pause, &QPushButton::clicked, this, [this] { command(ID_PAUSE); });
  m_txThread = new QLabel("TX Thrd", this);
  m_txThread->setObjectName("txThread");
  m_txThread->hide();
  m_playback = new QLabel("* Playback *", this);
  m_playback->setObjectName("playback");
  m_playback->hide();
  auto* clear = new QPushButton("&Clear", this);
  clear->setObjectName("clear");
  clear->setProperty("commandId", ID_CLEAR);
  clear->setAutoDefault(false);
  m_pause->setAutoDefault(false);
  connect(clear, &QPushButton::clicked, this, [this] { command(ID_CLEAR); });

  m_model = new MonitorModel(&m_link, this);
  m_view = new QTableView(this);
  m_view->setObjectName("list");
  m_view->setModel(m_model);
  m_view->setSelectionMode(QAbstractItemView::SingleSelection);
  m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_view->setSortingEnabled(false);
  m_view->setShowGrid(false);
  m_view->setWordWrap(false);
  m_view->setIconSize(QSize(16, 16));
  m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  m_view->verticalHeader()->hide();
  // Fixed row heights let the view place any row without asking for the others.
  m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_view->verticalHeader()->setDefaultSectionSize(qMax(18, m_view->fontMetrics().height() + 2));
  m_view->horizontalHeader()->setSectionsClickable(false);
  m_view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_view->horizontalHeader()->setStretchLastSection(true);
  // 90 and 40 pixels, unless the font needs more for an icon and a time stamp.
  const int iconAndTime = 16 + 20 + m_view->fontMetrics().horizontalAdvance("00:00:00.000");
  m_view->setColumnWidth(0, qMax(90, iconAndTime));
  m_view->setColumnWidth(1, qMax(40, 12 + m_view->fontMetrics().horizontalAdvance("99999")));

  auto* top = new QHBoxLayout;
  top->addWidget(m_pause);
  top->addWidget(m_txThread);
  top->addStretch(2);
  top->addWidget(m_playback);
  top->addStretch(3);
  top->addWidget(clear);
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(bar);
  layout->setContentsMargins(12, 6, 12, 12);
  layout->setSpacing(6);
  layout->addLayout(top);
  layout->addWidget(m_view, 1);
  resize(564, 344);

  bool onTop = false;
  withMonitor([&](CMonitorDlg& m) {
    onTop = m.IsAlwaysOnTop();
    m_pause->setChecked(m.IsPaused());
    if (isPlayback(m)) m_playback->show();
    m.SetListTarget(&m_poster);
    m.SetWindowTarget(&m_poster);
  });
  // What was logged before the window existed is listed too.
  m_model->refresh();
  m_view->scrollToBottom();
  updateMenus();
  applyTopMost(onTop);
  show();
}

MonitorWindow::~MonitorWindow() { detach(); }

void MonitorWindow::detach() {
  std::lock_guard lock(m_link.mutex);
  if (m_link.monitor == nullptr) return;
  m_link.monitor->SetListTarget(nullptr);
  m_link.monitor->SetWindowTarget(nullptr);
  m_link.monitor = nullptr;
}

QMenu* MonitorWindow::addMenu(const char* title) {
  auto* menu = new QMenu(title, this);
  connect(menu, &QMenu::aboutToShow, this, &MonitorWindow::updateMenus);
  return menu;
}

QAction* MonitorWindow::addAction(QMenu* menu, int id, const char* text, bool checkable) {
  QAction* a = menu->addAction(text);
  a->setData(id);
  a->setObjectName(QString("command%1").arg(id));
  a->setCheckable(checkable);
  connect(a, &QAction::triggered, this, [this, id] { command(id); });
  return a;
}

QAction* MonitorWindow::action(int id) const { return findChild<QAction*>(QString("command%1").arg(id)); }

void MonitorWindow::updateMenus() {
  withMonitor([&](CMonitorDlg& m) {
    const bool playback = isPlayback(m);
    const bool host = theApp.m_pHostDlg.load() != nullptr;
    const bool filtersFree = !transferring();
    auto rule = [this](int id, bool enabled, bool checked) {
      if (QAction* a = action(id)) {
        a->setEnabled(enabled);
        a->setChecked(checked);
      }
    };
    rule(ID_EXTERNAL_DEBUGGER, true, m.IsExternalDebugger());
    rule(ID_LOG_TO_FILE, !playback, !playback && m.IsLogToFile());
    rule(ID_TRUE_PLAYBACK, playback, theApp.m_truePlayback);
    rule(ID_PAUSE_ON_EXIT, !host, !host && theApp.m_pauseOnExit);
    rule(ID_ENABLE_MONITOR, true, theApp.m_showMonitor);
    rule(ID_VIEW_DECIMAL, true, theApp.m_monitorView == MONITOR_VIEW_DECIMAL);
    rule(ID_VIEW_HEX, true, theApp.m_monitorView == MONITOR_VIEW_HEX);
    rule(ID_VIEW_ASCII, true, theApp.m_monitorView == MONITOR_VIEW_ASCII);
    rule(ID_ALWAYS_ON_TOP, true, m.IsAlwaysOnTop());
    rule(ID_FILTER_RX, filtersFree, theApp.m_filterRX);
    rule(ID_FILTER_TX, filtersFree, theApp.m_filterTX);
    rule(ID_FILTER_RCV, filtersFree, theApp.m_filterRcv);
    rule(ID_FILTER_SENT, filtersFree, theApp.m_filterSent);
    rule(ID_DUMP_USB, m.Device() != nullptr && m.Device()->Type() == ZOR_USB, false);
  });
}

void MonitorWindow::command(int id) {
  // Dialogs run outside the link's lock: their own loop paints the list.
  CDevice* device = nullptr;
  bool onTop = false;
  long long counters[3] = {0, 0, 0};
  bool chooseFile = false;
  QString startName;
  withMonitor([&](CMonitorDlg& m) {
    device = m.Device();
    switch (id) {
      case ID_EXTERNAL_DEBUGGER:
        m.ToggleExternalDebugger();
        break;
      case ID_LOG_TO_FILE:
        if (isPlayback(m)) break;
        if (m.IsLogToFile()) {
          m.ToggleLogFile(nullptr);
        } else {
          chooseFile = true;
          startName = QString::fromStdString(m.StoredLogFileName());
        }
        break;
      case ID_TRUE_PLAYBACK:
        m.ToggleTruePlayback();
        break;
      case ID_PAUSE_ON_EXIT:
        m.TogglePauseOnExit();
        break;
      case ID_ENABLE_MONITOR:
        m.ToggleShowMonitor();
        break;
      case ID_VIEW_DECIMAL:
        m.SetView(MONITOR_VIEW_DECIMAL);
        break;
      case ID_VIEW_HEX:
        m.SetView(MONITOR_VIEW_HEX);
        break;
      case ID_VIEW_ASCII:
        m.SetView(MONITOR_VIEW_ASCII);
        break;
      case ID_FILTER_RX:
        m.ToggleFilterRX();
        break;
      case ID_FILTER_TX:
        m.ToggleFilterTX();
        break;
      case ID_FILTER_RCV:
        m.ToggleFilterRcv();
        break;
      case ID_FILTER_SENT:
        m.ToggleFilterSent();
        break;
      case ID_ALWAYS_ON_TOP:
        m.ToggleAlwaysOnTop();
        onTop = m.IsAlwaysOnTop();
        break;
      case ID_PAUSE:
        m.TogglePause();
        m_pause->setChecked(m.IsPaused());
        break;
      case ID_CLEAR:
        m.Clear();
        break;
      case ID_STATISTICS:
        counters[0] = static_cast<long long>(m.RecordsProcessed());
        counters[1] = static_cast<long long>(m.BytesReceived());
        counters[2] = static_cast<long long>(m.BytesTransmitted());
        break;
      default:
        break;
    }
  });
  switch (id) {
    case ID_LOG_TO_FILE: {
      if (!chooseFile) break;
      const QString path = chooseLogFile(startName);
      if (!path.isEmpty())
        withMonitor([&](CMonitorDlg& m) { m.ToggleLogFile(path.toLocal8Bit().constData()); });
      break;
    }
    case ID_ALWAYS_ON_TOP:
      applyTopMost(onTop);
      break;
    case ID_CLEAR:
      m_model->refresh();
      break;
    case ID_VIEW_DECIMAL:
    case ID_VIEW_HEX:
    case ID_VIEW_ASCII:
      m_model->refresh(true);
      break;
    case ID_STATISTICS: {
      CMonitorStat stat(this);
      stat.SetCounters(counters[0], counters[1], counters[2]);
      stat.exec();
      break;
    }
    case ID_ABOUT: {
      CAboutDlg about(this);
      about.exec();
      break;
    }
    case ID_DUMP_USB: {
      if (device == nullptr || device->Type() != ZOR_USB) break;
      zorUsbDumpFunc dump = usbDumpFunc();
      CUsbDumpDlg dlg(dump != nullptr ? dump(device) : std::vector<std::string>{}, this);
      dlg.exec();
      break;
    }
    default:
      break;
  }
}

QString MonitorWindow::chooseLogFile(const QString& startName) {
  QFileDialog dialog(this, QString(), startName, tableFilter(IDS_LOG_FILTER));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(tableText(IDS_LOG_EXTENSION).remove(0, 1));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

void MonitorWindow::applyTopMost(bool onTop) {
  if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop) return;
  const bool visible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
  if (visible) show();  // changing the flags hides a window
}

void MonitorWindow::onRecordsAdded() {
  m_poster.takeAdded();
  m_model->refresh();
  m_view->scrollToBottom();
}

void MonitorWindow::onTxThread() { m_txThread->setVisible(m_poster.takeTxRunning()); }

void MonitorWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
  {
    std::lock_guard lock(m_link.mutex);
    if (m_link.monitor != nullptr) m_link.monitor->OnWindowClosed();
  }
  m_link.closed.notify_all();
  emit closedByUser();
}

// --- statistics ---

CMonitorStat::CMonitorStat(QWidget* parent) : QDialog(parent) {
  setObjectName("statistics");
  setWindowTitle("ZOR Statistics");
  auto* grid = new QGridLayout(this);
  const char* names[] = {"items in list", "bytes received", "bytes transmitted"};
  const char* objects[] = {"records", "bytesReceived", "bytesTransmitted"};
  for (int i = 0; i < 3; ++i) {
    m_fields[i] = new QLabel(this);
    m_fields[i]->setObjectName(objects[i]);
    m_fields[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_fields[i]->setMinimumWidth(90);
    grid->addWidget(m_fields[i], i, 0);
    grid->addWidget(new QLabel(names[i], this), i, 1);
  }
  auto* close = new QPushButton("&Close", this);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  grid->setColumnStretch(2, 1);
  grid->addWidget(close, 2, 3);
}

void CMonitorStat::SetCounters(long long records, long long bytesReceived, long long bytesTransmitted) {
  const long long values[] = {records, bytesReceived, bytesTransmitted};
  for (int i = 0; i < 3; ++i) m_fields[i]->setText(QString::number(values[i]));
}

// --- the core's window ---

namespace {

class MonitorWindowHandle final : public CMonitorWindow {
public:
  explicit MonitorWindowHandle(MonitorWindow* window) : m_window(window) {}
  ~MonitorWindowHandle() override {
    if (onGuiThread()) {
      delete m_window;
    } else {
      m_window->detach();
      m_window->deleteLater();
    }
  }
  void Unhide() override {
    if (onGuiThread()) {
      m_window->show();
      m_window->raise();
    } else {
      QMetaObject::invokeMethod(m_window, "show", Qt::QueuedConnection);
    }
  }
  void WaitForClose() override {
    if (!onGuiThread()) {
      // The window's own thread serves it; this one waits for the close.
      MonitorLink& link = m_window->link();
      std::unique_lock lock(link.mutex);
      link.closed.wait(lock, [&] { return link.monitor == nullptr || link.monitor->IsHidden(); });
      return;
    }
    if (m_window->isMinimized()) m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    QApplication::alert(m_window);
    QEventLoop loop;
    QObject::connect(m_window, &MonitorWindow::closedByUser, &loop, &QEventLoop::quit);
    if (m_window->isVisible()) loop.exec();
  }

private:
  bool onGuiThread() const { return QThread::currentThread() == m_window->thread(); }
  MonitorWindow* m_window;
};

}  // namespace

CMonitorWindow* makeMonitorWindow(CMonitorDlg* monitor) {
  if (monitor == nullptr || !zorGuiEnsureApplication()) return nullptr;
  return new MonitorWindowHandle(new MonitorWindow(monitor));
}

}  // namespace zor
