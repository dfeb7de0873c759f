// The monitor's list: the rows' icons, the model over the record store, and
// the poster that brings the logging threads' news to the GUI thread.
#include "zor/gui/monitor_window.h"
#include "zor/gui/table_text.h"

#include <zor/strings.h>

#include <QPainter>
#include <QThread>

#include <array>

namespace zor {

// One colour per record kind; a continuation line has the hollow form.
const QIcon& lineIcon(int lineKind) {
  static const auto* icons = [] {
    auto* all = new std::array<QIcon, 11>;
    const QColor colours[] = {QColor(40, 90, 200),  QColor(30, 150, 60),  QColor(230, 140, 20),
                              QColor(140, 60, 180), QColor(20, 150, 160), QColor(200, 30, 30)};
    const int colourOf[] = {0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5};
    const bool first[] = {true, false, true, false, true, true, false, true, false, true, false};
    for (int k = 0; k < 11; ++k) {
      QPixmap pm(16, 16);
      pm.fill(Qt::transparent);
      QPainter paint(&pm);
      paint.setRenderHint(QPainter::Antialiasing);
      const QColor c = colours[colourOf[k]];
      paint.setPen(QPen(c.darker(130), 1.5));
      paint.setBrush(first[k] ? QBrush(c) : QBrush(Qt::NoBrush));
      if (k == 4) {
        paint.drawEllipse(QRectF(2.5, 2.5, 11, 11));  // an event: a dot
      } else {
        // An arrow: left for what goes out, right for what comes in.
        const bool out = k <= 1 || k == 5 || k == 6;
        QPolygonF arrow;
        if (out)
          arrow << QPointF(2, 8) << QPointF(9, 2) << QPointF(9, 5.5) << QPointF(14, 5.5) << QPointF(14, 10.5)
                << QPointF(9, 10.5) << QPointF(9, 14);
        else
          arrow << QPointF(14, 8) << QPointF(7, 2) << QPointF(7, 5.5) << QPointF(2, 5.5) << QPointF(2, 10.5)
                << QPointF(7, 10.5) << QPointF(7, 14);
        paint.drawPolygon(arrow);
      }
      paint.end();
      (*all)[k] = QIcon(pm);
    }
    return all;
  }();
  return (*icons)[lineKind >= 0 && lineKind <= 10 ? lineKind : 10];
}

MonitorModel::MonitorModel(MonitorLink* link, QObject* parent) : QAbstractTableModel(parent), m_link(link) {}

bool MonitorModel::onOwnThread() const {
  if (QThread::currentThread() == thread()) return true;
  ++m_offThread;
  return false;
}

int MonitorModel::rowCount(const QModelIndex& parent) const {
  if (!onOwnThread()) return 0;
  return parent.isValid() ? 0 : m_rows;
}

int MonitorModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant MonitorModel::data(const QModelIndex& index, int role) const {
  if (!onOwnThread() || !index.isValid()) return {};
  if (role != Qt::DisplayRole && !(role == Qt::DecorationRole && index.column() == 0)) return {};
  MonitorLine line;
  {
    std::lock_guard lock(m_link->mutex);
    if (m_link->monitor == nullptr || !m_link->monitor->GetLine(index.row(), line)) return {};
  }
  if (role == Qt::DecorationRole) return lineIcon(line.lineKind);
  const std::string& text = index.column() == 0 ? line.time : index.column() == 1 ? line.size : line.data;
  return QString::fromLatin1(text.data(), static_cast<int>(text.size()));
}

QVariant MonitorModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const unsigned ids[] = {IDS_COL_EVENT, IDS_COL_SIZE, IDS_COL_DATA};
  return section >= 0 && section < 3 ? tableText(ids[section]) : QVariant();
}

void MonitorModel::refresh(bool all) {
  if (!onOwnThread()) return;
  int count = 0;
  {
    std::lock_guard lock(m_link->mutex);
    if (m_link->monitor != nullptr) count = m_link->monitor->LineCount();
  }
  if (all) {
    beginResetModel();
    m_rows = count;
    endResetModel();
  } else if (count > m_rows) {
    beginInsertRows({}, m_rows, count - 1);
    m_rows = count;
    endInsertRows();
  } else if (count < m_rows) {
    beginResetModel();
    m_rows = count;
    endResetModel();
  }
}

bool MonitorPoster::post(UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_FASTLIST_ADDED) {
    if (m_added.exchange(true)) return true;
    ++m_queued;
    return QMetaObject::invokeMethod(m_receiver, "onRecordsAdded", Qt::QueuedConnection);
  }
  if (msg == WM_MONITOR_TXTHREAD) {
    m_txRunning = wParam != 0;
    if (m_txPending.exchange(true)) return true;
    ++m_queued;
    return QMetaObject::invokeMethod(m_receiver, "onTxThread", Qt::QueuedConnection);
  }
  return false;
}

}  // namespace zor
