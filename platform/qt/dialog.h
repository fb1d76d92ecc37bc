#pragma once

#include <QColor>
#include <QDialog>
#include <optional>
#include <string>

#include "platform/qt/dialog_builder.h"
#include "platform/qt/dialog_template.h"

class CDialog;

// Which part of a dialog a colour request is for.
enum class CtlColor { Dialog, Button, Static, Edit, ListBox, ScrollBar };

// Direction of a data exchange: refreshing moves fields into controls, reading (save and
// validate) moves controls into fields.
class CDataExchange {
  public:
    CDataExchange(CDialog& dialog, bool saveAndValidate)
        : m_pDlgWnd(&dialog), m_bSaveAndValidate(saveAndValidate) {}

    CDialog* m_pDlgWnd;
    bool m_bSaveAndValidate;
};

// A dialog made from a template: modal (DoModal), modeless or child (Create).
//
// The window system's dialog behaviour on top of QDialog: controls found by identifier,
// clicks routed to OnCommand by control identifier, Enter as the default button, Escape
// and the close box as IDCANCEL (a child dialog leaves keys to its parent), data exchange
// through DoDataExchange, colour requests through OnCtlColor before each control paints,
// link clicks through OnLinkClick.
// Ownership: the controls are child widgets of the dialog. Thread: the UI thread.
class CDialog : public QDialog {
  public:
    explicit CDialog(const DialogTemplate& dialogTemplate, QWidget* parent = nullptr);
    ~CDialog() override;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Makes the window from the template as a child of (or a window owned by) parent and
    // runs OnInitDialog; shown only when the template says so. False when already made.
    bool Create(QWidget* parent);
    // Makes the window, runs OnInitDialog and a nested loop until EndDialog; returns the
    // value given to EndDialog (IDOK, IDCANCEL, ...). Modal to its owner only. An owned
    // dialog that nobody could answer (answersWithoutDisplay) writes its caption to
    // standard error and returns IDCANCEL at once.
    int DoModal();
    void EndDialog(int result);
    bool isCreated() const { return created_; }

    // True: controls to fields; false: fields to controls.
    bool UpdateData(bool saveAndValidate = true);

    QWidget* GetDlgItem(int id) const { return controls_.find(id); }
    template <class T>
    T* dlgItem(int id) const {
        return controls_.findAs<T>(id);
    }
    const DialogControls& controls() const { return controls_; }
    std::string GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const std::string& text);
    // The window's own caption.
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;

    // Centres over the given window; without one, over the parent window, or the screen.
    void CenterWindow(QWidget* alternateOwner = nullptr);

    const DialogTemplate& templateData() const { return template_; }

    // A button click as the user would make it (the window system's BN_CLICKED).
    void clickControl(int id);

  protected:
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange& dx);
    // Button clicks by identifier; IDOK and IDCANCEL go to OnOK and OnCancel.
    virtual void OnCommand(int id);
    virtual void OnOK();
    virtual void OnCancel();
    // A click on a link control (NM_CLICK).
    virtual void OnLinkClick(int id);
    // The brush behind a control, or the dialog itself (id IDC_STATIC, CtlColor::Dialog),
    // before it paints; nothing leaves the default look.
    virtual std::optional<QColor> OnCtlColor(int id, CtlColor kind);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void accept() override;
    void reject() override;

  private:
    void build(QWidget* parent);
    // Enter: the default button of this window, never one of a window it owns.
    void pressDefaultButton(QKeyEvent* event);
    void paintControlBackground(QWidget* widget, const BuiltControl& control);

    const DialogTemplate& template_;
    DialogControls controls_;
    bool created_ = false;
};

// Ends every open dialog and message box except keep, innermost first, as if Cancel were
// pressed (a box without Cancel: its default button); open popup menus close. Windows that
// are no dialogs (the debug console) stay.
void cancelOtherWindows(const QWidget* keep);

// Data exchange helpers: text of any control with text, check state of a check box or
// push-like toggle (0 or 1; a value outside 0 to 2 is refreshed as 0), and binding of a
// control object to the widget with the identifier.
void DDX_Text(CDataExchange& dx, int id, std::string& value);
void DDX_Check(CDataExchange& dx, int id, int& value);
template <class T>
void DDX_Control(CDataExchange& dx, int id, T*& control) {
    if (control == nullptr) {
        control = dx.m_pDlgWnd->template dlgItem<T>(id);
    }
}
