#pragma once

#include <QPixmap>
#include <QSize>
#include <functional>
#include <vector>

#include "platform/qt/dialog_template.h"
#include "platform/qt/dialog_units.h"

class QLabel;
class DialogControls;
class QWidget;

// One control made from a template entry.
struct BuiltControl {
    int id = IDC_STATIC;
    ControlKind kind = ControlKind::Label;
    QWidget* widget = nullptr;  // owned by the host widget
};

// The controls of one dialog, in template order (which is also their stacking and tab
// order), found by identifier.
class DialogControls {
  public:
    QWidget* find(int id) const;
    template <class T>
    T* findAs(int id) const {
        return dynamic_cast<T*>(find(id));
    }
    const BuiltControl* describe(const QWidget* widget) const;
    const std::vector<BuiltControl>& all() const { return controls_; }
    void add(const BuiltControl& control) { controls_.push_back(control); }

  private:
    std::vector<BuiltControl> controls_;
};

// Makes the template's controls as children of host, which takes the template's font and
// client size; kinds map to widgets as follows:
//   PushButton QPushButton, PushLikeCheck checkable QPushButton, CheckBox QCheckBox,
//   Edit QLineEdit, Label and Icon QLabel, GroupBox QGroupBox, UpDown CSpinButtonCtrl
//   (buddy: the control before it), ListView CListCtrl, Link CLinkCtrl, ComboBox QComboBox
//   (editable unless kDropDownList).
// Captions, window flags and behaviour are the dialog's business (CDialog).
DialogControls buildDialogControls(const DialogTemplate& dialog, QWidget* host);

// A label never paints over a neighbour or takes its clicks: it grows from its alignment
// edge only into room that no sibling control takes (the fallback fonts run wider than the
// template's), and a text still too wide is cut with "…" at its end (the start stays
// readable) and shown whole as the tooltip. Siblings: the controls of the label's dialog.
void setLabelText(QLabel& label, const QString& text, const DialogControls* siblings);
// The whole text last given to the label, which may show less of it.
QString labelFullText(const QLabel& label);

// The template's font with the Linux fallbacks, and its base units.
QFont templateFont(const DialogTemplate& dialog);
DialogBaseUnits templateBaseUnits(const DialogTemplate& dialog);
// Client size of the dialog in pixels.
QSize templateClientSize(const DialogTemplate& dialog);

// Supplies the picture of an Icon control from its resource number, at the size given.
// Without a loader icon controls stay empty.
using DialogIconLoader = std::function<QPixmap(int resourceId, QSize size)>;
void setDialogIconLoader(DialogIconLoader loader);
