// The host's terminal window and the dialogs of its file transfers.
#include <zor/app.h>
#include <zor/gui.h>
#include <zor/monitor.h>

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace zor {
namespace {

QString formatCount(unsigned long long n) { return QString::asprintf("%lld", static_cast<long long>(n)); }

void pendingEvents() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr) QCoreApplication::processEvents();
}

// A dialog that shows a transfer: no close box, Escape is its button.
void transferWindow(QDialog* dialog, const char* name, const char* title) {
  dialog->setObjectName(name);
  dialog->setWindowTitle(title);
  dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
}

}  // namespace

CSendFileDlg::CSendFileDlg(QWidget* parent) : QDialog(parent) {
  transferWindow(this, "sendFileDlg", "Send File");
  m_size = new QLabel(this);
  m_size->setObjectName("size");
  m_sent = new QLabel(this);
  m_sent->setObjectName("sent");
  m_bar = new QProgressBar(this);
  m_bar->setObjectName("progress");
  m_bar->setRange(0, 100);
  m_bar->setValue(0);
  m_bar->setTextVisible(false);
  m_abort = new QPushButton("Abort", this);
  m_abort->setObjectName("abort");
  connect(m_abort, &QPushButton::clicked, this, [this] { OnAbort(); });
  auto* form = new QFormLayout;
  form->addRow("File size:", m_size);
  form->addRow("Bytes sent:", m_sent);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(m_bar);
  layout->addWidget(m_abort, 0, Qt::AlignHCenter);
  setMinimumWidth(320);
}

void CSendFileDlg::CreateAndShow() {
  show();
  pendingEvents();
}

void CSendFileDlg::SetProgress(unsigned long long sent, unsigned long long total) {
  const int percent = total == 0 ? 0 : static_cast<int>(sent * 100 / total);
  m_bar->setValue(percent);
  m_size->setText(formatCount(total));
  m_sent->setText(formatCount(sent) + QString::asprintf(" (%i%%)", percent));
  pendingEvents();
}

void CSendFileDlg::HandleEvents() { pendingEvents(); }

void CSendFileDlg::OnAbort() {
  m_abort->setEnabled(false);
  m_aborted = true;
}

CRcvFileDlg::CRcvFileDlg(QWidget* parent) : QDialog(parent) {
  transferWindow(this, "rcvFileDlg", "Receive file");
  m_count = new QLabel(this);
  m_count->setObjectName("received");
  m_close = new QPushButton("Close", this);
  m_close->setObjectName("close");
  connect(m_close, &QPushButton::clicked, this, [this] { OnClose(); });
  auto* form = new QFormLayout;
  form->addRow("Bytes received so far:", m_count);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(m_close, 0, Qt::AlignHCenter);
  setMinimumWidth(320);
}

void CRcvFileDlg::CreateAndShow() {
  show();
  pendingEvents();
}

void CRcvFileDlg::SetReceived(unsigned long long count) {
  m_count->setText(formatCount(count));
  pendingEvents();
}

void CRcvFileDlg::HandleEvents() { pendingEvents(); }

void CRcvFileDlg::OnClose() {
  m_close->setEnabled(false);
  m_closed = true;
}

CRunZorMainDlg::CRunZorMainDlg(CDevice* device, QWidget* parent) : CRunZorModeless(device, parent) {
  setObjectName("runZorMainDlg");
  setWindowTitle("ZOR");
  auto* bar = new QMenuBar(this);
  QMenu* file = bar->addMenu("&File");
  addCommand(file, ID_HOST_SHOW_MONITOR, "Show &ZOR Monitor");
  addCommand(file, ID_HOST_FLUSH, "&Flush buffers");
  m_publish = file->addAction("Publish as &pseudo-terminal");
  m_publish->setObjectName("publishPty");
  m_publish->setCheckable(true);
  connect(m_publish, &QAction::triggered, this, [this](bool on) { PublishPty(on); });
  file->addSeparator();
  addCommand(file, ID_HOST_EXIT, "E&xit");
  QMenu* xfer = bar->addMenu("&Xfer");
  xfer->setObjectName("xferMenu");
  m_sendFile = xfer->addAction("&Send file...");
  m_sendFile->setObjectName(QString("command%1").arg(ID_HOST_SEND_FILE));
  m_receiveFile = xfer->addAction("&Receive file...");
  m_receiveFile->setObjectName(QString("command%1").arg(ID_HOST_RECEIVE_FILE));
  connect(m_sendFile, &QAction::triggered, this, [this] { OnSendFile(); });
  connect(m_receiveFile, &QAction::triggered, this, [this] { OnReceiveFile(); });
  connect(xfer, &QMenu::aboutToShow, this, [this] { updateTransferItems(); });
  QMenu* help = bar->addMenu("&Help");
  addCommand(help, ID_HOST_ABOUT, "&About...");

  m_text = new QLineEdit(this);
  m_text->setObjectName("text");
  auto* send = new QPushButton("&Send", this);
  send->setObjectName("send");
  send->setDefault(true);
  connect(send, &QPushButton::clicked, this, [this] { OnSend(); });
  auto* row = new QHBoxLayout;
  row->addWidget(m_text, 1);
  row->addWidget(send);
  m_ptyPath = new QLabel(this);
  m_ptyPath->setObjectName("ptyPath");
  m_ptyPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_ptyPath->hide();
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(bar);
  layout->addLayout(row);
  layout->addWidget(m_ptyPath);
  resize(420, sizeHint().height());
}

namespace {

// The device's threads read the filters under its monitor's lock.
bool forceFilter(CDevice* device, int kind, bool on) {
  if (CMonitorDlg* monitor = device->Monitor()) return monitor->SetTransferFilter(kind, on);
  bool& filter = kind == LOG_TX ? theApp.m_filterTX : theApp.m_filterRX;
  const bool was = filter;
  filter = on;
  return was;
}

}  // namespace

void CRunZorMainDlg::OnSend() {
  if (m_pDevice == nullptr) return;
  // One byte a character, as the text is typed.
  const QByteArray text = m_text->text().toLatin1();
  sendText(*m_pDevice, text.constData(), theApp.m_monitorView);
}

bool CRunZorMainDlg::PublishPty(bool on) {
  bool ok = true;
  if (!on) {
    m_pty.Stop();
  } else if (!m_pty.IsRunning()) {
    ok = m_pDevice != nullptr && m_pty.Start(*m_pDevice);
    if (!ok)
      showResult(
          m_pDevice == nullptr ? "No device to publish" : ("Pseudo-terminal: " + m_pty.ErrorText()).c_str(),
          false);
  }
  const bool running = m_pty.IsRunning();
  m_publish->setChecked(running);
  m_ptyPath->setText(running ? QString("Pseudo-terminal: %1").arg(QString::fromStdString(m_pty.SlavePath()))
                             : QString());
  m_ptyPath->setVisible(running);
  return ok;
}

void CRunZorMainDlg::updateTransferItems() {
  m_sendFile->setEnabled(!m_transferring);
  m_receiveFile->setEnabled(!m_transferring);
}

QString CRunZorMainDlg::askFileName(bool save) {
  return save ? QFileDialog::getSaveFileName(this) : QFileDialog::getOpenFileName(this);
}

void CRunZorMainDlg::showResult(const char* text, bool success) {
  if (success)
    QMessageBox::information(this, "ZOR", text);
  else
    QMessageBox::warning(this, "ZOR", text);
}

void CRunZorMainDlg::OnSendFile() {
  if (m_transferring) return;
  const QString path = askFileName(false);
  if (!path.isEmpty()) SendFileAt(path.toLocal8Bit().toStdString());
}

void CRunZorMainDlg::OnReceiveFile() {
  if (m_transferring) return;
  const QString path = askFileName(true);
  if (!path.isEmpty()) ReceiveFileAt(path.toLocal8Bit().toStdString());
}

bool CRunZorMainDlg::SendFileAt(const std::string& path) { return transfer(true, path); }

bool CRunZorMainDlg::ReceiveFileAt(const std::string& path) { return transfer(false, path); }

bool CRunZorMainDlg::transfer(bool sending, const std::string& path) {
  if (m_pDevice == nullptr || m_transferring) return false;
  const int kind = sending ? LOG_TX : LOG_RX;
  const bool filter = forceFilter(m_pDevice, kind, true);
  m_transferring = true;
  updateTransferItems();
  bool ok;
  if (sending) {
    CSendFileDlg dlg(this);
    dlg.CreateAndShow();
    ok = SendFile(*m_pDevice, path.c_str(), dlg);
  } else {
    CRcvFileDlg dlg(this);
    dlg.CreateAndShow();
    ok = ReceiveFile(*m_pDevice, path.c_str(), dlg);
  }
  if (sending)
    showResult(ok ? "SendFile: File sent successfully" : "SendFile: Error", ok);
  else
    showResult(ok ? "File received successfully" : "Receive File: Error", ok);
  m_transferring = false;
  updateTransferItems();
  forceFilter(m_pDevice, kind, filter);
  return ok;
}

}  // namespace zor
