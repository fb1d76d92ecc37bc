#pragma once

#include <QTableWidget>
#include <string>

// Column alignment and extended styles of a report list view.
inline constexpr int LVCFMT_LEFT = 0x0000;
inline constexpr int LVCFMT_RIGHT = 0x0001;
inline constexpr int LVCFMT_CENTER = 0x0002;
inline constexpr unsigned LVS_EX_GRIDLINES = 0x00000001;
inline constexpr unsigned LVS_EX_FULLROWSELECT = 0x00000020;

// Report-style list view: columns with header, alignment and width in pixels; rows that
// keep the index they were inserted at; cells that show the text given. Read-only for the
// user; single selection.
// Ownership: a child widget of its dialog. UI thread.
class CListCtrl : public QTableWidget {
  public:
    explicit CListCtrl(QWidget* parent = nullptr);

    void SetExtendedStyle(unsigned styles);
    unsigned GetExtendedStyle() const { return extendedStyle_; }
    int InsertColumn(int column, const std::string& heading, int format, int width);
    int InsertItem(int row, const std::string& text);
    bool SetItemText(int row, int column, const std::string& text);

    int GetItemCount() const { return rowCount(); }
    std::string GetItemText(int row, int column) const;
    std::string columnHeading(int column) const;
    int columnFormat(int column) const;

  private:
    unsigned extendedStyle_ = 0;
};
