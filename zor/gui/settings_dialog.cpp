// The host's settings dialog: the device to open and its line settings.
#include "zor/gui/table_text.h"

#include <zor/gui.h>
#include <zor/strings.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>
#include <functional>

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

}  // namespace

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

  // Opening: the port list, then the stored values (an entry the list does
  // not have leaves it without a selection), then the enabling.
  for (int i = 0; i < PortEntryCount(); ++i)
    m_port->addItem(QString::fromStdString(PortEntryText(PortEntryAt(i))));
  showValues(true);
  UpdatePortControls(m_portIndex);
  // Only now: filling the list selects its first entry, which is no choice.
  connect(m_port, &QComboBox::currentIndexChanged, this, [this] { OnPortChange(); });
}

int CRunZorDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CRunZorDlg::showValues(bool withAddress) {
  const QSignalBlocker block(m_port);
  m_port->setCurrentIndex(PortPosition(m_portIndex));
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
  m_portIndex = PortEntryAt(m_port->currentIndex());
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
  const int entry = SelectPort(PortEntryAt(m_port->currentIndex()));
  UpdatePortControls(entry);
  showValues(false);
}

void CRunZorDlg::ApplyPortDefaults() {
  takeValues();
  CRunZorSettings::ApplyPortDefaults();
  showValues(false);
}

QString CRunZorDlg::askPlaybackFile() {
  return QFileDialog::getOpenFileName(this, "Open", QString(), tableFilter(IDS_LOG_FILTER));
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

}  // namespace zor
