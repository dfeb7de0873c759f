// The host's window base, the about box and the USB dump's window.
#include "zor/gui/host_poster.h"

#include <zor/app.h>
#include <zor/gui.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace zor {

bool HostPoster::post(UINT msg, WPARAM wParam, LPARAM lParam) {
  bool wake = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_queue.size() >= m_limit) return false;
    m_queue.push_back(MSG{msg, wParam, lParam});
    wake = !m_wakePending;
    m_wakePending = true;
  }
  return !wake || QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void HostPoster::deliver() {
  std::deque<MSG> batch;
  {
    std::lock_guard lock(m_mutex);
    batch.swap(m_queue);
    m_wakePending = false;
  }
  for (const MSG& m : batch) m_handler(m);
}

CRunZorModeless::CRunZorModeless(CDevice* device, QWidget* parent)
    : QDialog(parent), m_pDevice(device), m_poster(std::make_unique<HostPoster>([this](const MSG& m) {
        OnMessage(m.message, m.wParam, m.lParam);
      })) {}

HWND CRunZorModeless::GetSafeHwnd() { return m_poster.get(); }

CRunZorModeless::~CRunZorModeless() {
  CRunZorModeless* self = this;
  theApp.m_pHostDlg.compare_exchange_strong(self, nullptr);
}

void CRunZorModeless::OnInitDialog() {
  setWindowIcon(zorAppIcon());
  m_running = true;
}

bool CRunZorModeless::runModeless() {
  if (!zorGuiEnsureApplication()) return false;
  OnInitDialog();
  show();
  // Blocks while nothing is waiting, then handles everything that is: a
  // burst of posts costs no sleep per message, an idle window no wake-ups.
  while (m_running) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  hide();
  return true;
}

void CRunZorModeless::OnCancel() {
  onStop();
  m_running = false;
}

void CRunZorModeless::closeEvent(QCloseEvent* event) {
  event->ignore();
  OnCancel();
}

void CRunZorModeless::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    bool hasDefault = false;
    for (QPushButton* b : findChildren<QPushButton*>())
      hasDefault = hasDefault || (b->isVisible() && (b->isDefault() || (b->autoDefault() && b->hasFocus())));
    if (!hasDefault) {
      OnOK();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

bool CRunZorModeless::OnCommand(int id) {
  switch (id) {
    case ID_HOST_EXIT:
      OnCancel();
      return true;
    case ID_HOST_FLUSH:
      if (m_pDevice != nullptr) m_pDevice->Flush(true, true);
      return true;
    case ID_HOST_ABOUT: {
      CAboutDlg about(this);
      about.exec();
      return true;
    }
    case ID_HOST_SHOW_MONITOR:
      if (m_pDevice != nullptr) m_pDevice->ShowMonitor();
      return true;
    default:
      return false;
  }
}

QAction* CRunZorModeless::addCommand(QMenu* menu, int id, const char* text) {
  QAction* a = menu->addAction(text);
  a->setData(id);
  a->setObjectName(QString("command%1").arg(id));
  connect(a, &QAction::triggered, this, [this, id] { OnCommand(id); });
  return a;
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), m_version(zorVersionText(3)), m_second(zorVersionText(5)) {
  setObjectName("about");
  setWindowTitle("About ZOR");
  setWindowIcon(zorAppIcon());
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel("ZOR Version", this), 0, 0);
  auto* version = new QLabel(QString::fromStdString(m_version), this);
  version->setObjectName("version");
  grid->addWidget(version, 0, 1);
  auto* second = new QLabel(QString::fromStdString(m_second), this);
  second->setObjectName("second");
  grid->addWidget(second, 1, 0, 1, 3);
  auto* ok = new QPushButton("OK", this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  grid->setColumnStretch(2, 1);
  grid->addWidget(ok, 2, 2, Qt::AlignRight);
  setFixedSize(sizeHint());
}

CUsbDumpDlg::CUsbDumpDlg(const std::vector<std::string>& lines, QWidget* parent) : QDialog(parent) {
  setObjectName("usbDump");
  setWindowTitle("USB Diagnostic");
  m_list = new QListWidget(this);
  m_list->setObjectName("list");
  m_list->setSortingEnabled(false);
  m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_list, 1);
  layout->addWidget(buttons);
  resize(880, 560);
  setLines(lines);
}

void CUsbDumpDlg::setLines(const std::vector<std::string>& lines) {
  m_list->clear();
  for (const std::string& line : lines) {
    // Some lines of the dump end in a newline, which a list row has no use for.
    std::size_t n = line.size();
    while (n > 0 && line[n - 1] == '\n') --n;
    m_list->addItem(QString::fromLatin1(line.data(), static_cast<int>(n)));
  }
}

}  // namespace zor
