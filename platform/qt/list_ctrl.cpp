#include "platform/qt/list_ctrl.h"

#include <QHeaderView>
#include <algorithm>

namespace {

// Room the style takes on both sides of a cell's text.
constexpr int kCellPadding = 8;

Qt::Alignment alignmentFor(int format) {
    switch (format & 0x3) {
        case LVCFMT_RIGHT:
            return Qt::AlignRight | Qt::AlignVCenter;
        case LVCFMT_CENTER:
            return Qt::AlignHCenter | Qt::AlignVCenter;
        default:
            return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

}  // namespace

CListCtrl::CListCtrl(QWidget* parent) : QTableWidget(parent) {
    verticalHeader()->hide();
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setShowGrid(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void CListCtrl::SetExtendedStyle(unsigned styles) {
    extendedStyle_ = styles;
    setShowGrid((styles & LVS_EX_GRIDLINES) != 0);
    setSelectionBehavior((styles & LVS_EX_FULLROWSELECT) != 0 ? QAbstractItemView::SelectRows
                                                              : QAbstractItemView::SelectItems);
}

int CListCtrl::InsertColumn(int column, const std::string& heading, int format, int width) {
    column = std::clamp(column, 0, columnCount());
    insertColumn(column);
    auto* header = new QTableWidgetItem(QString::fromStdString(heading));
    header->setData(Qt::UserRole, format);
    header->setTextAlignment(alignmentFor(format));
    setHorizontalHeaderItem(column, header);
    setColumnWidth(column, width);
    return column;
}

int CListCtrl::InsertItem(int row, const std::string& text) {
    if (columnCount() == 0) {
        return -1;
    }
    row = std::clamp(row, 0, rowCount());
    insertRow(row);
    setRowHeight(row, fontMetrics().height() + 3);
    SetItemText(row, 0, text);
    return row;
}

bool CListCtrl::SetItemText(int row, int column, const std::string& text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) {
        return false;
    }
    QString shown = QString::fromStdString(text);
    // A list refreshed in place mostly sets what it shows already; such a cell stays as it is.
    if (const QTableWidgetItem* existing = item(row, column);
        existing != nullptr && existing->text() == shown) {
        return true;
    }
    auto* cell = new QTableWidgetItem(std::move(shown));
    cell->setTextAlignment(alignmentFor(columnFormat(column)));
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    // A cell keeps its column's width: a text cut with "…" is shown whole as the tooltip.
    if (fontMetrics().horizontalAdvance(cell->text()) + kCellPadding > columnWidth(column)) {
        cell->setToolTip(cell->text());
    }
    setItem(row, column, cell);
    return true;
}

std::string CListCtrl::GetItemText(int row, int column) const {
    const QTableWidgetItem* cell = item(row, column);
    return cell == nullptr ? std::string() : cell->text().toStdString();
}

std::string CListCtrl::columnHeading(int column) const {
    const QTableWidgetItem* header = horizontalHeaderItem(column);
    return header == nullptr ? std::string() : header->text().toStdString();
}

int CListCtrl::columnFormat(int column) const {
    const QTableWidgetItem* header = horizontalHeaderItem(column);
    return header == nullptr ? LVCFMT_LEFT : header->data(Qt::UserRole).toInt();
}
