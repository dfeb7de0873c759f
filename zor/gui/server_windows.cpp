// The two server windows: the relay's host name, and who is connected.
#include <zor/gui.h>

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QVBoxLayout>

namespace zor {

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
  setObjectName(kind == CHostServer::INTRANET ? "runZorServerDlg" : "runZorRemoteServerDlg");
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
  // A caller turned away while a client is served leaves that client served.
  if (wParam == CHostServer::LINK_DROPPED && clientShown()) return;
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

CRunZorRemoteServerDlg::CRunZorRemoteServerDlg(CDevice* device, QWidget* parent, CHostServer::Kind kind)
    : CRunZorRelayDlg(kind,
                      kind == CHostServer::RFC2217 ? "ZOR Remote Server (RFC 2217)"
                      : kind == CHostServer::RAW   ? "ZOR Remote Server (raw)"
                                                   : "ZOR Remote Server",
                      device, parent) {}

}  // namespace zor
