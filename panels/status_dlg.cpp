#include "panels/status_dlg.h"

#include <QComboBox>
#include <QLabel>
#include <QtGlobal>
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "panels/forward_traffic.h"
#include "panels/traffic_graph.h"
#include "platform/qt/ui_text.h"
#include "platform/socket_loop_thread.h"
#include "resources/dialog_templates.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kRefreshInterval = 1s;
// The graph's height in pixels, and the room between it and its neighbours.
constexpr int kGraphHeight = 180;
constexpr int kGap = 4;

// The windows the graph offers, in the order of the choice; five minutes at first.
constexpr std::array<std::pair<TrafficWindow, const char*>, 3> kWindows{
    {{TrafficWindow::OneMinute, QT_TRANSLATE_NOOP("StatusDialog", "1分")},
     {TrafficWindow::FiveMinutes, QT_TRANSLATE_NOOP("StatusDialog", "5分")},
     {TrafficWindow::ThirtyMinutes, QT_TRANSLATE_NOOP("StatusDialog", "30分")}}};
constexpr int kFirstWindow = 1;

struct Column {
    const char* heading;
    int format;
    int width;
};

constexpr std::array<Column, 15> kColumns{{
    {QT_TRANSLATE_NOOP("StatusDialog", "AcceptPeer"), LVCFMT_LEFT, 80},
    {QT_TRANSLATE_NOOP("StatusDialog", "Port"), LVCFMT_RIGHT, 50},
    {QT_TRANSLATE_NOOP("StatusDialog", "BindIp"), LVCFMT_LEFT, 80},
    {QT_TRANSLATE_NOOP("StatusDialog", "Port"), LVCFMT_RIGHT, 50},
    {QT_TRANSLATE_NOOP("StatusDialog", "UsedBuff"), LVCFMT_RIGHT, 70},
    {QT_TRANSLATE_NOOP("StatusDialog", "BindIp"), LVCFMT_LEFT, 80},
    {QT_TRANSLATE_NOOP("StatusDialog", "Port"), LVCFMT_RIGHT, 50},
    {QT_TRANSLATE_NOOP("StatusDialog", "ConnectPeer"), LVCFMT_LEFT, 80},
    {QT_TRANSLATE_NOOP("StatusDialog", "Port"), LVCFMT_RIGHT, 50},
    {QT_TRANSLATE_NOOP("StatusDialog", "UsedBuff"), LVCFMT_RIGHT, 70},
    {QT_TRANSLATE_NOOP("StatusDialog", "Up"), LVCFMT_RIGHT, 90},
    {QT_TRANSLATE_NOOP("StatusDialog", "Down"), LVCFMT_RIGHT, 90},
    {QT_TRANSLATE_NOOP("StatusDialog", "Up/s"), LVCFMT_RIGHT, 80},
    {QT_TRANSLATE_NOOP("StatusDialog", "Down/s"), LVCFMT_RIGHT, 80},
    {QT_TRANSLATE_NOOP("StatusDialog", "Time"), LVCFMT_RIGHT, 60},
}};

std::string decimal(long long value) {
    return std::to_string(static_cast<int>(value));
}

// 1234567 as "1,234,567".
std::string grouped(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

std::string duration(std::chrono::steady_clock::duration lasted) {
    long long seconds = std::chrono::duration_cast<std::chrono::seconds>(lasted).count();
    char text[32] = {};
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

}  // namespace

namespace {

std::string rate(std::uint64_t now, std::uint64_t before, double seconds) {
    if (seconds <= 0 || now < before) {
        return readableRate(0);
    }
    return readableRate(static_cast<double>(now - before) / seconds);
}

}  // namespace

CStatusDlg::CStatusDlg(QWidget* parent) : CDialog(dialogTemplate(IDD_STATUS_DIALOG), parent) {
    QObject::connect(&refreshTimer_, &QTimer::timeout, [this] { refresh(); });
}

CStatusDlg::~CStatusDlg() = default;

void CStatusDlg::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_CONNECTION_LIST, list);
}

bool CStatusDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    // Building the window from its template gave it the template's caption.
    showTitle();
    // More columns than the template's width shows: the user may widen the dialog.
    templateSize_ = size();
    listAtTemplate_ = list->geometry();
    for (int id : {IDOK, IDC_DISCONNECT_BUTTON}) {
        if (QWidget* button = GetDlgItem(id)) {
            buttonsAtTemplate_.emplace_back(button, button->pos());
        }
    }
    addTrafficView();
    setMinimumSize(templateSize_);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    setSizeGripEnabled(true);
    list->SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    for (int column = 0; column < static_cast<int>(kColumns.size()); ++column) {
        const Column& c = kColumns[static_cast<std::size_t>(column)];
        list->InsertColumn(column, uiString("StatusDialog", c.heading), c.format, c.width);
    }
    QObject::connect(list, &QTableWidget::itemSelectionChanged, [this] { updateButtons(); });
    updateButtons();
    if (repeater == nullptr) {
        return true;
    }
    refresh();
    refreshTimer_.start(std::chrono::milliseconds(kRefreshInterval));
    return true;
}

void CStatusDlg::addTrafficView() {
    if (traffic == nullptr) {
        return;
    }
    QWidget* cut = GetDlgItem(IDC_DISCONNECT_BUTTON);
    const QRect buttons =
        cut != nullptr ? cut->geometry() : QRect(listAtTemplate_.right(), 0, 0, 0);
    windowChoice_ = std::make_unique<QComboBox>(this);
    for (const auto& [window, label] : kWindows) {
        windowChoice_->addItem(uiText("StatusDialog", label), static_cast<int>(window));
    }
    windowChoice_->setToolTip(uiText("StatusDialog", "グラフの期間"));
    const int choiceWidth = windowChoice_->sizeHint().width();
    windowChoice_->setGeometry(buttons.left() - kGap - choiceWidth, buttons.top(), choiceWidth,
                               buttons.height());
    totals_ = std::make_unique<QLabel>(this);
    totals_->setGeometry(listAtTemplate_.left(), buttons.top(),
                         windowChoice_->x() - kGap - listAtTemplate_.left(), buttons.height());
    graph_ = std::make_unique<TrafficGraph>(this);
    graph_->setHistory(&traffic->history());
    graphAtTemplate_ =
        QRect(listAtTemplate_.topLeft(), QSize(listAtTemplate_.width(), kGraphHeight));
    graph_->setGeometry(graphAtTemplate_);
    QObject::connect(windowChoice_.get(), &QComboBox::currentIndexChanged, [this](int index) {
        graph_->setWindow(static_cast<TrafficWindow>(windowChoice_->itemData(index).toInt()));
    });
    windowChoice_->setCurrentIndex(kFirstWindow);
    // The list moves down under the graph; the dialog grows by as much.
    listAtTemplate_.translate(0, kGraphHeight + kGap);
    list->setGeometry(listAtTemplate_);
    templateSize_ += QSize(0, kGraphHeight + kGap);
    resize(templateSize_);
    for (QWidget* shown :
         {static_cast<QWidget*>(totals_.get()), static_cast<QWidget*>(windowChoice_.get()),
          static_cast<QWidget*>(graph_.get())}) {
        shown->show();
    }
    showTraffic();
}

std::string CStatusDlg::totalsText() const {
    if (traffic == nullptr) {
        return {};
    }
    const ForwardTotals& totals = traffic->totals();
    const QString text =
        datagrams ? uiText("StatusDialog", "合計 上り %1  下り %2  セッション %3 (最大同時 %4)")
                  : uiText("StatusDialog", "合計 上り %1  下り %2  接続 %3 (最大同時 %4)");
    return text
        .arg(QString::fromStdString(readableBytes(totals.bytesUp)),
             QString::fromStdString(readableBytes(totals.bytesDown)),
             QString::fromStdString(grouped(totals.connectionsServed)),
             QString::number(totals.mostAtOnce))
        .toStdString();
}

void CStatusDlg::showTraffic() {
    if (!graph_) {
        return;
    }
    totals_->setText(QString::fromStdString(totalsText()));
    graph_->update();
}

std::vector<ConnectionRow> CStatusDlg::copyPairs() const {
    std::vector<ConnectionRow> rows;
    if (repeater != nullptr) {
        runOnSocketLoop(socketThread, [this, &rows] { rows = repeater->rows(); });
    }
    return rows;
}

void CStatusDlg::setForwardTitle(const std::string& title) {
    forwardTitle_ = title;
    showTitle();
}

void CStatusDlg::showTitle() {
    const QString caption = uiText(kResourceContext, dialogTemplate(IDD_STATUS_DIALOG).caption);
    setWindowTitle(forwardTitle_.empty()
                       ? caption
                       : caption + QStringLiteral("  ") + QString::fromStdString(forwardTitle_));
}

void CStatusDlg::refresh() {
    const std::vector<ConnectionRow> pairs = copyPairs();
    const std::uint64_t selected = selectedSerial();
    // Rows of pairs that have gone leave; the rest keep their order, which is slot order.
    for (int row = static_cast<int>(shown_.size()) - 1; row >= 0; --row) {
        std::uint64_t serial = shown_[static_cast<std::size_t>(row)].serial;
        if (std::none_of(pairs.begin(), pairs.end(),
                         [serial](const ConnectionRow& p) { return p.serial == serial; })) {
            list->removeRow(row);
            shown_.erase(shown_.begin() + row);
        }
    }
    for (std::size_t row = 0; row < pairs.size(); ++row) {
        const bool fresh = row >= shown_.size() || shown_[row].serial != pairs[row].serial;
        if (fresh) {
            list->InsertItem(static_cast<int>(row), "");
            shown_.insert(shown_.begin() + static_cast<std::ptrdiff_t>(row), Shown{});
        }
        fillRow(static_cast<int>(row), pairs[row], shown_[row], fresh);
    }
    select(selected);
    updateButtons();
    showTraffic();
}

void CStatusDlg::fillRow(int row, const ConnectionRow& pair, Shown& shown, bool fresh) {
    const std::array<std::string, 10> values{
        pair.acceptPeer.address,        decimal(pair.acceptPeer.port),
        pair.acceptBind.address,        decimal(pair.acceptBind.port),
        decimal(pair.acceptUsedBuffer), pair.connectBind.address,
        decimal(pair.connectBind.port), pair.connectPeer.address,
        decimal(pair.connectPeer.port), decimal(pair.connectUsedBuffer)};
    for (int column = 0; column < static_cast<int>(values.size()); ++column) {
        list->SetItemText(row, column, values[static_cast<std::size_t>(column)]);
    }
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - shown.at).count();
    list->SetItemText(row, 10, grouped(pair.bytesUp));
    list->SetItemText(row, 11, grouped(pair.bytesDown));
    list->SetItemText(row, 12, fresh ? readableRate(0) : rate(pair.bytesUp, shown.up, seconds));
    list->SetItemText(row, 13, fresh ? readableRate(0) : rate(pair.bytesDown, shown.down, seconds));
    list->SetItemText(row, 14, duration(now - pair.acceptedAt));
    shown = {pair.serial, pair.bytesUp, pair.bytesDown, now};
}

std::uint64_t CStatusDlg::selectedSerial() const {
    int row = list->currentRow();
    bool chosen = row >= 0 && static_cast<std::size_t>(row) < shown_.size() &&
                  !list->selectedItems().isEmpty();
    return chosen ? shown_[static_cast<std::size_t>(row)].serial : 0;
}

void CStatusDlg::select(std::uint64_t serial) {
    for (std::size_t row = 0; row < shown_.size() && serial != 0; ++row) {
        if (shown_[row].serial == serial) {
            list->selectRow(static_cast<int>(row));
            return;
        }
    }
    list->clearSelection();
}

void CStatusDlg::updateButtons() {
    if (QWidget* cut = GetDlgItem(IDC_DISCONNECT_BUTTON)) {
        cut->setEnabled(repeater != nullptr && selectedSerial() != 0);
    }
}

void CStatusDlg::resizeEvent(QResizeEvent* event) {
    CDialog::resizeEvent(event);
    if (templateSize_.isEmpty() || list == nullptr) {
        return;
    }
    const QSize grown = size() - templateSize_;
    list->setGeometry(listAtTemplate_.adjusted(0, 0, grown.width(), grown.height()));
    if (graph_) {
        graph_->setGeometry(graphAtTemplate_.adjusted(0, 0, grown.width(), 0));
    }
    for (const auto& [button, at] : buttonsAtTemplate_) {
        button->move(at.x() + grown.width(), at.y());
    }
    if (QWidget* cut = GetDlgItem(IDC_DISCONNECT_BUTTON); cut != nullptr && windowChoice_) {
        windowChoice_->move(cut->x() - kGap - windowChoice_->width(), windowChoice_->y());
        totals_->resize(windowChoice_->x() - kGap - totals_->x(), totals_->height());
    }
}

void CStatusDlg::OnCommand(int id) {
    if (id != IDC_DISCONNECT_BUTTON) {
        CDialog::OnCommand(id);
        return;
    }
    const std::uint64_t serial = selectedSerial();
    if (serial == 0 || repeater == nullptr) {
        return;
    }
    runOnSocketLoop(socketThread, [this, serial] { repeater->disconnect(serial); });
    refresh();
}
