// The host's windows: the settings dialog, the terminal with its transfer
// dialogs, and the two server windows.
#include <zor/app.h>
#include <zor/gui.h>
#include <zor/monitor.h>
#include <zor/strings.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>

namespace zor {
namespace {

QComboBox* fixedList(QWidget* parent, const char* name, int count, const std::function<QString(int)>& text) {
  auto* box = new QComboBox(parent);
  box->setObjectName(name);
  for (int i = 0; i < count; ++i) box->addItem(text(i));
  return box;
}

int listCount(const char* (*text)(int)) {
  int n = 0;
  while (text(n) != nullptr) ++n;
  return n;
}

QCheckBox* check(QWidget* parent, const char* name, const char* text) {
  auto* box = new QCheckBox(text, parent);
  box->setObjectName(name);
  return box;
}

void setChecked(QCheckBox* box, int on) { box->setChecked(on != 0); }

// The string table's open-file filter, "Text (*.a) | *.a|Other (*.*)|*.*||",
// in Qt's form: the descriptions, one a filter.
QString qtFilter(const char* table) {
  QStringList parts = QString::fromLatin1(table).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString text = parts[i].trimmed();
    // The stored text opens with a stray parenthesis.
    if (text.startsWith('(') && text.count('(') > text.count(')')) text.remove(0, 1);
    if (!text.isEmpty()) filters << text;
  }
  return filters.join(";;");
}

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

// ---------------------------------------------------------------- settings

CRunZorDlg::CRunZorDlg(bool serverMode, QWidget* parent) : QDialog(parent), CRunZorSettings(serverMode) {
  setObjectName("runZorDlg");
  setWindowTitle("RunZOR");
  setWindowIcon(zorAppIcon());

  m_port = new QComboBox(this);
  m_port->setObjectName("port");
  m_addressLabel = new QLabel("Server:", this);
  m_addressLabel->setObjectName("addressLabel");
  m_addressEdit = new QLineEdit(this);
  m_addressEdit->setObjectName("address");
  m_browse = new QPushButton("...", this);
  m_browse->setObjectName("browse");
  m_browse->setAutoDefault(false);
  m_ovRx = check(this, "overlappedRx", "Overlapped &RX");
  m_ovTx = check(this, "overlappedTx", "Overlapped &TX");
  m_xon = check(this, "xonXoff", "&XON / XOFF");
  m_loop = check(this, "loopback", "Loopback");
  m_rtsCts = check(this, "rtsCts", "RTS/CTS");
  m_baud = fixedList(this, "baudRate", BaudRateCount(), [](int i) { return QString::number(BaudRateAt(i)); });
  m_parity = fixedList(this, "parity", listCount(&ParityText), [](int i) { return QString(ParityText(i)); });
  m_dataBits =
      fixedList(this, "dataBits", listCount(&DataBitsText), [](int i) { return QString(DataBitsText(i)); });
  m_stopBits =
      fixedList(this, "stopBits", listCount(&StopBitsText), [](int i) { return QString(StopBitsText(i)); });
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("ok");
  ok->setDefault(true);
  auto* exitButton = new QPushButton("Exit", this);
  exitButton->setObjectName("exit");
  exitButton->setAutoDefault(false);
  auto* defaults = new QPushButton("Defaults", this);
  defaults->setObjectName("defaults");
  defaults->setAutoDefault(false);

  auto* portLabel = new QLabel("&Port:", this);
  portLabel->setBuddy(m_port);
  auto* top = new QGridLayout;
  top->addWidget(portLabel, 0, 0, Qt::AlignRight);
  top->addWidget(m_port, 0, 1);
  top->addWidget(m_addressLabel, 1, 0, Qt::AlignRight);
  top->addWidget(m_addressEdit, 1, 1, 1, 2);
  top->addWidget(m_browse, 1, 3);
  auto* checks = new QVBoxLayout;
  for (QCheckBox* c : {m_ovRx, m_ovTx, m_xon, m_loop}) checks->addWidget(c);
  top->addLayout(checks, 2, 1, 1, 2);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addWidget(exitButton);
  buttons->addStretch(1);
  buttons->addWidget(defaults);
  top->addLayout(buttons, 0, 4, 3, 1);
  top->setColumnStretch(2, 1);

  auto* com = new QGroupBox("&COM Settings", this);
  auto* comGrid = new QGridLayout(com);
  comGrid->addWidget(m_rtsCts, 1, 0);
  int column = 1;
  for (auto [text, box] : {std::pair{"Baud rate", m_baud}, std::pair{"Parity", m_parity},
                           std::pair{"Data Bit", m_dataBits}, std::pair{"Stop bit", m_stopBits}}) {
    comGrid->addWidget(new QLabel(text, com), 0, column);
    comGrid->addWidget(box, 1, column++);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(com);

  connect(m_browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
  connect(defaults, &QPushButton::clicked, this, [this] { ApplyPortDefaults(); });
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);

  // Opening: the port list, then the stored values (an index beyond the
  // list leaves it without a selection), then the enabling.
  for (int i = 0; i < PortEntryCount(); ++i) m_port->addItem(QString::fromStdString(PortEntryText(i)));
  showValues(true);
  UpdatePortControls(m_portIndex);
  // Only now: filling the list selects its first entry, which is no choice.
  connect(m_port, &QComboBox::currentIndexChanged, this, [this] { OnPortChange(); });
}

int CRunZorDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CRunZorDlg::showValues(bool withAddress) {
  const QSignalBlocker block(m_port);
  m_port->setCurrentIndex(m_portIndex >= 0 && m_portIndex < m_port->count() ? m_portIndex : -1);
  if (withAddress) m_addressEdit->setText(QString::fromLocal8Bit(GetAddress()));
  setChecked(m_ovRx, m_overlappedRx);
  setChecked(m_ovTx, m_overlappedTx);
  setChecked(m_xon, m_xonXoff);
  setChecked(m_loop, m_loopback);
  setChecked(m_rtsCts, m_hwHandshake);
  m_baud->setCurrentIndex(m_baudRateIndex);
  m_parity->setCurrentIndex(m_parityIndex);
  m_dataBits->setCurrentIndex(m_dataBitsIndex);
  m_stopBits->setCurrentIndex(m_stopBitsIndex);
}

void CRunZorDlg::takeValues() {
  m_portIndex = m_port->currentIndex();
  SetAddress(m_addressEdit->text().toLocal8Bit().constData());
  SetOverlappedRx(m_ovRx->isChecked());
  SetOverlappedTx(m_ovTx->isChecked());
  SetXonXoff(m_xon->isChecked());
  SetLoopback(m_loop->isChecked());
  SetHwHandshake(m_rtsCts->isChecked());
  SetBaudRateIndex(m_baud->currentIndex());
  SetParityIndex(m_parity->currentIndex());
  SetDataBitsIndex(m_dataBits->currentIndex());
  SetStopBitsIndex(m_stopBits->currentIndex());
}

void CRunZorDlg::UpdatePortControls(int entry) {
  const int kept = m_portIndex;
  m_portIndex = entry;
  const bool serial = IsEnabled(CONTROL_SERIAL);
  for (QWidget* w :
       {static_cast<QWidget*>(m_rtsCts), static_cast<QWidget*>(m_baud), static_cast<QWidget*>(m_parity),
        static_cast<QWidget*>(m_dataBits), static_cast<QWidget*>(m_stopBits)})
    w->setEnabled(serial);
  if (const char* label = AddressLabel()) m_addressLabel->setText(label);
  const bool address = IsEnabled(CONTROL_ADDRESS);
  m_addressLabel->setEnabled(address);
  m_addressEdit->setEnabled(address);
  m_browse->setEnabled(IsEnabled(CONTROL_BROWSE));
  const bool overlapped = IsEnabled(CONTROL_OVERLAPPED);
  for (QCheckBox* c : {m_ovRx, m_ovTx, m_xon}) c->setEnabled(overlapped);
  m_loop->setEnabled(IsEnabled(CONTROL_LOOPBACK));
  m_portIndex = kept;
}

void CRunZorDlg::OnPortChange() {
  takeValues();
  const int entry = SelectPort(m_port->currentIndex());
  UpdatePortControls(entry);
  showValues(false);
}

void CRunZorDlg::ApplyPortDefaults() {
  takeValues();
  CRunZorSettings::ApplyPortDefaults();
  showValues(false);
}

QString CRunZorDlg::askPlaybackFile() {
  return QFileDialog::getOpenFileName(this, "Open", QString(), qtFilter(zorString(150)));
}

void CRunZorDlg::OnBrowse() {
  // Only an entry whose address is a file enables the button (UpdatePortControls).
  if (!m_browse->isEnabled()) return;
  const QString path = askPlaybackFile();
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  m_addressEdit->setText(QFileInfo(path).absoluteFilePath());
}

void CRunZorDlg::OnOK() {
  takeValues();
  // The choice holds for this pass even when it cannot be kept for the next.
  if (!Store()) std::fprintf(stderr, "zor: the connection settings could not be written\n");
  done(QDialog::Accepted);
}

// ---------------------------------------------------------------- transfers

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

// ---------------------------------------------------------------- terminal

CRunZorMainDlg::CRunZorMainDlg(CDevice* device, QWidget* parent) : CRunZorModeless(device, parent) {
  setObjectName("runZorMainDlg");
  setWindowTitle("ZOR");
  auto* bar = new QMenuBar(this);
  QMenu* file = bar->addMenu("&File");
  addCommand(file, ID_HOST_SHOW_MONITOR, "Show &ZOR Monitor");
  addCommand(file, ID_HOST_FLUSH, "&Flush buffers");
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
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(bar);
  layout->addLayout(row);
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

// ---------------------------------------------------------------- servers

namespace {

QLabel* iconLabel(QWidget* parent, const char* name, const char* file) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setPixmap(QIcon(file).pixmap(32, 32));
  label->setFixedSize(32, 32);
  return label;
}

}  // namespace

CRunZorRelayDlg::CRunZorRelayDlg(CHostServer::Kind kind, const char* caption, CDevice* device,
                                 QWidget* parent)
    : CRunZorModeless(device, parent), m_server(kind, device, GetSafeHwnd()) {
  setObjectName(kind == CHostServer::REMOTE ? "runZorRemoteServerDlg" : "runZorServerDlg");
  setWindowTitle(caption);
  zorAppIcon();  // registers the icons
  auto* bar = new QMenuBar(this);
  QMenu* file = bar->addMenu("&File");
  addCommand(file, ID_HOST_SHOW_MONITOR, "Show &ZOR Monitor");
  addCommand(file, ID_HOST_FLUSH, "&Flush buffers");
  file->addSeparator();
  addCommand(file, ID_HOST_EXIT, "E&xit");
  QMenu* help = bar->addMenu("&Help");
  addCommand(help, ID_HOST_ABOUT, "&About...");

  m_field = new QLineEdit(this);
  m_field->setObjectName("host");
  m_field->setReadOnly(true);
  m_waiting = iconLabel(this, "iconWaiting", ":/zor/icons/server-waiting.png");
  m_connected = iconLabel(this, "iconConnected", ":/zor/icons/server-connected.png");
  m_connected->hide();
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Host name:", this));
  row->addWidget(m_field, 1);
  row->addWidget(m_waiting);
  row->addWidget(m_connected);
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(bar);
  layout->addLayout(row);
  resize(380, sizeHint().height());
}

CRunZorRelayDlg::~CRunZorRelayDlg() { m_server.Stop(); }

void CRunZorRelayDlg::OnInitDialog() {
  CRunZorModeless::OnInitDialog();
  if (m_server.IsRunning()) return;  // shown again
  if (!m_server.Start()) {
    m_field->setText("* Server error! *");
    return;
  }
  m_hostName = m_server.hostName();
  m_field->setText(QString::fromLocal8Bit(m_hostName.c_str()));
}

void CRunZorRelayDlg::onStop() { m_server.Stop(); }

void CRunZorRelayDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM) {
  if (msg != CHostServer::WM_PIPE_STATE) return;
  const bool connected = wParam == 1;
  m_waiting->setVisible(!connected);
  m_connected->setVisible(connected);
  // The client that connected last, even if it has gone again by now: the
  // message that says so follows.
  const std::string peer = connected ? m_server.lastPeerAddress() : std::string();
  m_field->setText(peer.empty() ? QString::fromLocal8Bit(m_hostName.c_str())
                                : QString::fromLocal8Bit(peer.c_str()) + " connected");
}

QString CRunZorRelayDlg::fieldText() const { return m_field->text(); }
bool CRunZorRelayDlg::clientShown() const { return !m_connected->isHidden(); }

CRunZorServerDlg::CRunZorServerDlg(CDevice* device, QWidget* parent)
    : CRunZorRelayDlg(CHostServer::INTRANET, "ZOR Server", device, parent) {}

CRunZorRemoteServerDlg::CRunZorRemoteServerDlg(CDevice* device, QWidget* parent)
    : CRunZorRelayDlg(CHostServer::REMOTE, "ZOR Remote Server", device, parent) {}

}  // namespace zor
