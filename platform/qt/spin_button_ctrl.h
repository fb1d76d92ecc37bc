#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

// Up-down control with a buddy edit.
//
// The arrows step the position by one within the range, never wrapping, and write it into
// the buddy as plain decimal. GetPos reads the buddy: its number when the text is a whole
// number within the range, else the last valid position. The buddy accepts any text; what
// the user typed is never silently changed.
// Ownership: a child widget of its dialog; the buddy is a sibling, not owned. UI thread.
class CSpinButtonCtrl : public QWidget {
  public:
    explicit CSpinButtonCtrl(QWidget* parent = nullptr);

    void SetBuddy(QLineEdit* buddy);
    QLineEdit* GetBuddy() const { return buddy_; }
    void SetRange32(int lower, int upper);
    void SetRange(int lower, int upper) { SetRange32(lower, upper); }
    void GetRange32(int& lower, int& upper) const;
    // Clamps into the range and writes the position into the buddy.
    void SetPos32(int position);
    void SetPos(int position) { SetPos32(position); }
    int GetPos32();
    int GetPos() { return GetPos32(); }

    // The up and down arrow keys in the buddy step the position.
    void setArrowKeys(bool enabled) { arrowKeys_ = enabled; }

    // One step as if an arrow was clicked: +1 up, -1 down.
    void step(int delta);

    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void writeBuddy();

    QLineEdit* buddy_ = nullptr;
    QToolButton* up_ = nullptr;
    QToolButton* down_ = nullptr;
    int lower_ = 0;
    int upper_ = 100;
    int position_ = 0;
    bool arrowKeys_ = false;
};
