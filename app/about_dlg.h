#pragma once

#include <string>

#include "platform/qt/dialog.h"

// The version as the about box shows it: every "," becomes "-", then every ";" becomes ".".
std::string aboutVersionText(const std::string& version);

// The about box: the program's name with the product version from the version record, and
// a link to the maker's home page. Made, run modally and destroyed by the main window.
// UI thread.
class CAboutDlg : public CDialog {
  public:
    explicit CAboutDlg(QWidget* owner = nullptr);
    ~CAboutDlg() override;

    const std::string& versionLine() const { return versionLine_; }

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;
    void OnLinkClick(int id) override;

  private:
    std::string versionLine_;
};
