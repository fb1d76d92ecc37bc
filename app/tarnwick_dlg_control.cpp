// The main window's answers to the command line: listing, switching and reloading forwards.
#include <QApplication>
#include <QTimer>

#include "app/tarnwick_dlg.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "platform/qt/message_box.h"
#include "relay/connection_log.h"
#include "settings/forward_config_store.h"
#include "settings/port_settings.h"

namespace {

constexpr const char* kEditing = "the settings are being edited";

std::string label(bool udp, int port) {
    return std::string(udp ? "UDP:" : "TCP:") + std::to_string(port);
}

}  // namespace

std::vector<ForwardListing> CTarnwickDlg::forwardListings() {
    std::vector<ForwardListing> listings;
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        CPortDlg& panel = *panels_[i];
        ForwardListing listing;
        listing.panel = static_cast<int>(i) + 1;
        listing.on = panel.getSwitchState() != 0;
        // ON shows what relays; OFF what the panel holds for its next start.
        const ForwardConfig& running = panel.getForwardConfig();
        listing.name = panel.getName();
        listing.udp = listing.on ? running.udp : panel.isUdp();
        listing.port = listing.on ? running.listenPort : panel.getListenPort();
        listing.listen = listing.on ? running.listenHost
                                    : loadForwardConfig(iniPath_, static_cast<int>(i)).listenHost;
        listing.destination =
            listing.on ? ConnectionLog::endText(running.forwardHost,
                                                static_cast<unsigned int>(running.forwardPort))
                       : ConnectionLog::endText(panel.getForwardHost(),
                                                static_cast<unsigned int>(panel.getForwardPort()));
        if (listing.on) {
            const CPortDlg::Figures figures = panel.figures();
            listing.connections = figures.connections;
            listing.bytesUp = figures.bytesUp;
            listing.bytesDown = figures.bytesDown;
        }
        listings.push_back(listing);
    }
    return listings;
}

ControlReply CTarnwickDlg::switchForwards(const std::string& named, bool on) {
    ControlReply reply;
    const std::vector<ForwardListing> listings = forwardListings();
    const std::vector<std::size_t> matches = matchForwards(named, listings);
    if (matches.empty()) {
        reply.err.push_back("unknown forward: " + named);
        reply.status = 1;
        return reply;
    }
    for (std::size_t index : matches) {
        // A dialog answered meanwhile may have ended the window or removed panels.
        if (!isWindowLive() || index >= panels_.size()) {
            reply.err.push_back(forwardLabel(listings[index]) + ": the window is ending");
            reply.status = 1;
            continue;
        }
        std::string refusal;
        if (!panels_[index]->switchFromCommand(on, refusal)) {
            reply.err.push_back(forwardLabel(listings[index]) + ": " + refusal);
            reply.status = 1;
        }
    }
    return reply;
}

bool CTarnwickDlg::reloadSettings(std::vector<std::string>& problems) {
    if (!isWindowLive() || life_ >= WindowLife::Ending) {
        problems.emplace_back("the window is ending");
        return false;
    }
    bool editing = settingDlg_ != nullptr && settingDlg_->isAttached();
    for (const std::unique_ptr<CPortDlg>& panel : panels_) {
        editing = editing || panel->editingOptions();
    }
    if (editing) {
        problems.emplace_back(kEditing);
        return false;
    }
    if (QApplication::activeModalWidget() == nullptr) {
        retired_.clear();
    }
    const std::size_t count = static_cast<std::size_t>(countPortSections(iniPath_));
    bool done = true;
    // A refused start says so as it does at any start, once the reply has gone.
    std::vector<std::pair<std::string, unsigned int>> boxes;
    for (std::size_t i = 0; i < panels_.size() && i < count; ++i) {
        CPortDlg& panel = *panels_[i];
        const std::string before = label(panel.isUdp(), panel.getListenPort());
        std::string problem;
        if (!panel.reloadSection(problem)) {
            problems.push_back(before + ": " + problem);
            boxes.emplace_back(problem, panel.lastRefusalType());
            done = false;
        }
    }
    while (panels_.size() > count) {
        std::unique_ptr<CPortDlg> gone = std::move(panels_.back());
        panels_.pop_back();
        gone->stopForRemoval();
        gone->hide();
        retired_.push_back(std::move(gone));
    }
    for (std::size_t i = panels_.size(); i < count; ++i) {
        std::string refusal;
        createPanel(static_cast<int>(i), &refusal);
        if (!refusal.empty()) {
            const CPortDlg& panel = *panels_.back();
            problems.push_back(label(panel.isUdp(), panel.getListenPort()) + ": " + refusal);
            boxes.emplace_back(refusal, panel.lastRefusalType());
            done = false;
        }
    }
    layoutPanels();
    publishSummary();
    if (!boxes.empty()) {
        QTimer::singleShot(0, this, [boxes] {
            for (const auto& [text, type] : boxes) {
                AfxMessageBox(text, type);
            }
        });
    }
    return done;
}

ControlReply CTarnwickDlg::answerControl(const std::string& line) {
    ControlReply reply;
    std::string why;
    const std::optional<ControlRequest> request = parseControlRequest(line, why);
    if (!request) {
        reply.err.push_back(why);
        reply.status = 1;
        return reply;
    }
    switch (request->verb) {
        case ControlVerb::List:
            reply.out = listingLines(forwardListings());
            break;
        case ControlVerb::ListJson:
            reply.out.push_back(listingJson(forwardListings()));
            break;
        case ControlVerb::On:
        case ControlVerb::Off:
            reply = switchForwards(request->forward, request->verb == ControlVerb::On);
            break;
        case ControlVerb::Reload:
            if (!reloadSettings(reply.err)) {
                reply.status = 1;
            }
            break;
    }
    return reply;
}
