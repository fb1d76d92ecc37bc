#include "app/home_page.h"

#include <QDesktopServices>
#include <QUrl>

namespace {
std::function<void(const std::string&)>& urlOpener() {
    static std::function<void(const std::string&)> opener;
    return opener;
}
}  // namespace

void openHomePage() {
    if (urlOpener()) {
        urlOpener()(kHomePageUrl);
        return;
    }
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kHomePageUrl)));
}

void setUrlOpener(std::function<void(const std::string& url)> opener) {
    urlOpener() = std::move(opener);
}
