// The monitor's window: its list over the record store, menus, buttons,
// labels and the statistics dialog. Everything here runs on the GUI thread
// but MonitorPoster::post, which the monitor calls from logging threads.
#pragma once

#include <zor/gui.h>
#include <zor/monitor.h>
#include <zor/platform.h>

#include <QAbstractTableModel>
#include <QDialog>
#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QLabel;
class QMenu;
class QPushButton;
class QTableView;

namespace zor {

// Command ids of the monitor's menu and buttons.
enum MonitorCommand {
  ID_FILTER_RX = 21702,
  ID_FILTER_TX = 21703,
  ID_ABOUT = 21704,
  ID_EXTERNAL_DEBUGGER = 21705,
  ID_LOG_TO_FILE = 21706,
  ID_VIEW_ASCII = 21708,
  ID_CLEAR = 21709,
  ID_VIEW_DECIMAL = 21710,
  ID_VIEW_HEX = 21711,
  ID_STATISTICS = 21712,
  ID_ALWAYS_ON_TOP = 21715,
  ID_PAUSE = 21717,
  ID_FILTER_RCV = 21718,
  ID_FILTER_SENT = 21719,
  ID_TRUE_PLAYBACK = 21720,
  ID_PAUSE_ON_EXIT = 21721,
  ID_ENABLE_MONITOR = 21722,
  ID_DUMP_USB = 21723,
};

// The window's hold on its monitor. A monitor destroyed on another thread
// detaches it first, so that the window, deleted later on its own thread,
// never reaches a monitor that is gone.
struct MonitorLink {
  std::mutex mutex;
  std::condition_variable closed;
  CMonitorDlg* monitor = nullptr;
};

// The list: rows are the store's records, read under the monitor mutex as
// the view asks for cells. It keeps only the row count.
class MonitorModel : public QAbstractTableModel {
  Q_OBJECT
public:
  explicit MonitorModel(MonitorLink* link, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  // Takes the store's current count; all: the rows' texts changed too (a
  // browsed log drawn in another view).
  void refresh(bool all = false);
  // Calls that came on a thread other than the model's (none is allowed).
  int offThreadCalls() const { return m_offThread.load(); }

private:
  bool onOwnThread() const;
  MonitorLink* m_link;
  int m_rows = 0;
  mutable std::atomic<int> m_offThread{0};
};

// Where the monitor posts from logging threads. Bursts coalesce: one queued
// call stands for any number of posts until the window has handled it.
class MonitorPoster : public MessageTarget {
public:
  explicit MonitorPoster(QObject* receiver) : m_receiver(receiver) {}
  bool post(UINT msg, WPARAM wParam, LPARAM lParam) override;
  // The GUI thread takes the pending state before it reads the monitor.
  bool takeAdded() { return m_added.exchange(false); }
  bool takeTxRunning() {
    m_txPending = false;
    return m_txRunning.load();
  }
  int queuedCalls() const { return m_queued.load(); }

private:
  QObject* m_receiver;
  std::atomic<bool> m_added{false};
  std::atomic<bool> m_txPending{false};
  std::atomic<bool> m_txRunning{false};
  std::atomic<int> m_queued{0};
};

class MonitorWindow : public QDialog {
  Q_OBJECT
public:
  explicit MonitorWindow(CMonitorDlg* monitor);
  ~MonitorWindow() override;

  // Ends every reach into the monitor (any thread).
  void detach();
  // Runs a command id as its menu item or button does.
  void command(int id);
  // Runs the update rules of every pop-up, as each does when it opens.
  void updateMenus();
  QAction* action(int id) const;
  MonitorModel* model() const { return m_model; }
  QTableView* view() const { return m_view; }
  MonitorPoster& poster() { return m_poster; }
  MonitorLink& link() { return m_link; }

signals:
  void closedByUser();

public slots:
  void onRecordsAdded();
  void onTxThread();

protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override { close(); }

private:
  template <class F>
  void withMonitor(F f) {
    std::lock_guard lock(m_link.mutex);
    if (m_link.monitor != nullptr) f(*m_link.monitor);
  }
  QMenu* addMenu(const char* title);
  QAction* addAction(QMenu* menu, int id, const char* text, bool checkable = true);
  void applyTopMost(bool onTop);
  // The save-as dialog of "&Log to file..."; empty when cancelled.
  QString chooseLogFile(const QString& startName);

  MonitorLink m_link;
  MonitorModel* m_model;
  MonitorPoster m_poster;
  QTableView* m_view;
  QPushButton* m_pause;
  QLabel* m_txThread;
  QLabel* m_playback;
};

// "ZOR Statistics": a snapshot of the three counters.
class CMonitorStat : public QDialog {
public:
  explicit CMonitorStat(QWidget* parent);
  void SetCounters(long long records, long long bytesReceived, long long bytesTransmitted);

private:
  QLabel* m_fields[3];
};

// The window the monitor owns, through the core's interface.
CMonitorWindow* makeMonitorWindow(CMonitorDlg* monitor);

// The installed dump of "&Dump USB Config..." (null: none).
zorUsbDumpFunc usbDumpFunc();

// Icon of a LineKind (10, a playback error's continuation, has the "PbEr" one).
const QIcon& lineIcon(int lineKind);

}  // namespace zor
