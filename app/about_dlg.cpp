#include "app/about_dlg.h"

#include "app/home_page.h"
#include "app/version_text.h"
#include "platform/qt/ui_text.h"
#include "resources/dialog_templates.h"

namespace {

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::string::size_type at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

std::string aboutVersionText(const std::string& version) {
    return replaceAll(replaceAll(version, ",", "-"), ";", ".");
}

CAboutDlg::CAboutDlg(QWidget* owner) : CDialog(::dialogTemplate(IDD_ABOUTBOX), owner) {}

CAboutDlg::~CAboutDlg() = default;

bool CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    std::string version = aboutVersionText(getVersionText());
    versionLine_ = uiString("AboutBox", "ターンウィック Pico. ") + version;
    UpdateData(false);
    return true;
}

void CAboutDlg::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    DDX_Text(dx, IDC_VERSION_LINE, versionLine_);
}

void CAboutDlg::OnLinkClick(int id) {
    if (id == IDC_HOMEPAGE_LINK) {
        openHomePage();
    }
}
