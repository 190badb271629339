#include "ui/CHistoryPage.h"

#include <QListWidget>
#include <QWidget>

#include <string>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "ui/TransferProgressText.h"
#include "ui/TransferRow.h"

namespace {

constexpr const char* kRowPrefix = "hist";
constexpr uint32_t kTextCompleted = 140;        // "Completed"
constexpr uint32_t kTextTime = 148;             // "Time: "
constexpr uint32_t kTextDate = 149;             // "Date: "
constexpr uint32_t kTextServerCompleted = 155;  // "Completed", the server held the content

std::string Text(uint32_t id) { return CMultiLanguageMgr::GetInstance().LoadString(id); }

// The columns of the history query, in its order.
enum Column { kName, kPath, kSize, kType, kTime, kColumns };

}  // namespace

CHistoryPage::CHistoryPage() = default;

void CHistoryPage::Attach(QListWidget* list, std::function<void(QWidget*)> bind) {
    m_list = list;
    TransferRow::StyleList(m_list, kRowPrefix);
    m_bind = std::move(bind);
}

std::filesystem::path CHistoryPage::GetLogDbPath() const {
    return m_logDbPath.empty() ? COptions::GetInstance().GetDatabasePath(DBWrapper::kLogDb)
                               : m_logDbPath;
}

void CHistoryPage::Load() {
    m_entries.clear();
    const std::filesystem::path path = GetLogDbPath();
    std::error_code ec;
    DBWrapper db(path);
    // Opening a missing file would create an empty database beside the others, which the next
    // start would take for a complete set.
    if (!std::filesystem::exists(path, ec) || !db.openOrLog("CHistoryPage::Load")) {
        Rebuild();
        return;
    }
    // The user id is a number of ours, never text from outside.
    const int userId = COptions::GetInstance().GetUserId();
    const std::string sql = "SELECT name, path, size, type, timestr FROM log where userid=" +
                            std::to_string(userId) + " ORDER BY id DESC LIMIT " +
                            std::to_string(kMaxEntries) + ";";
    if (!db.query(sql)) {
        LOG(ERROR) << "CHistoryPage::Load: " << db.errorText();
    }
    for (const auto& row : db.rows()) {
        // NULL values are left out of a row: such a row cannot be read by its columns.
        if (row.size() < kColumns) {
            LOG(WARNING) << "CHistoryPage::Load: a log row with empty columns is skipped";
            continue;
        }
        Entry entry;
        entry.name = row[kName];
        entry.path = row[kPath];
        entry.size = CommonUtils::StringToInt64(row[kSize]).value_or(0);
        entry.type = static_cast<int>(CommonUtils::StringToInt64(row[kType]).value_or(kTypeUpload));
        entry.timeText = row[kTime];
        entry.canOpen = entry.type == kTypeDownload;
        m_entries.push_back(std::move(entry));
    }
    db.close();
    Rebuild();
}

void CHistoryPage::Clear() {
    if (m_entries.empty()) {
        return;
    }
    const std::filesystem::path path = GetLogDbPath();
    std::error_code ec;
    DBWrapper db(path);
    if (!std::filesystem::exists(path, ec) || !db.openOrLog("CHistoryPage::Clear")) {
        return;
    }
    const int userId = COptions::GetInstance().GetUserId();
    if (!db.executeSQL("DELETE FROM log where userid=" + std::to_string(userId) + ";")) {
        // What is still stored stays shown.
        LOG(ERROR) << "CHistoryPage::Clear: " << db.errorText();
        db.close();
        return;
    }
    db.close();
    m_entries.clear();
    Rebuild();
}

bool CHistoryPage::OnRowClick(const std::string& name, QWidget* sender) {
    if (!sender || !m_list || !m_list->isAncestorOf(sender) ||
        (name != "open_file" && name != "foldOpen")) {
        return false;
    }
    const int32_t index = TransferRow::IdOf(sender);
    if (index < 0 || index >= static_cast<int32_t>(m_entries.size()) ||
        !m_entries[index].canOpen) {
        return false;
    }
    const Entry& entry = m_entries[index];
    if (name == "open_file") {
        if (m_fileActions.openFile) {
            m_fileActions.openFile(entry.FullPath());
        }
    } else if (m_fileActions.openFolder) {
        m_fileActions.openFolder(entry.path);
    }
    return true;
}

QWidget* CHistoryPage::RowAt(int index) const {
    if (!m_list || index < 0 || index >= m_list->count()) {
        return nullptr;
    }
    return m_list->itemWidget(m_list->item(index));
}

std::string CHistoryPage::StatusText(const Entry& entry) {
    return Text(entry.type == kTypeServerHeld ? kTextServerCompleted : kTextCompleted);
}

std::string CHistoryPage::TimeText(const std::string& timeText, std::time_t today) {
    const size_t blank = timeText.find(' ');
    const std::string date = timeText.substr(0, blank);
    if (date.empty()) {
        return std::string();  // rows kept from before the history had times
    }
    const std::string todayText = CWriteDbMgr::HistoryTimeText(today);
    if (blank != std::string::npos && todayText.compare(0, todayText.find(' '), date) == 0) {
        return Text(kTextTime) + timeText.substr(blank + 1);
    }
    return Text(kTextDate) + date;
}

void CHistoryPage::Rebuild() {
    if (!m_list) {
        return;
    }
    // The rows' widgets go with their items (later, so a click inside one may rebuild).
    m_list->clear();
    const std::time_t now = std::time(nullptr);
    for (int i = 0; i < static_cast<int>(m_entries.size()); ++i) {
        QWidget* row = MakeRow(m_entries[i], i);
        TransferRow::SetTime(row, TimeText(m_entries[i].timeText, now));
        auto* item = new QListWidgetItem(m_list);
        item->setSizeHint(QSize(0, TransferRow::kItemHeight));
        m_list->setItemWidget(item, row);
        if (m_bind) {
            m_bind(row);
        }
    }
}

QWidget* CHistoryPage::MakeRow(const Entry& entry, int index) {
    TransferRow::Spec spec;
    spec.prefix = kRowPrefix;
    spec.direction = entry.type == kTypeDownload ? TransferRow::Direction::kDownload
                                                 : TransferRow::Direction::kUpload;
    spec.fileName = entry.name;
    spec.id = index;
    spec.progress = false;
    spec.controls = false;
    spec.deletable = false;
    spec.time = true;
    QWidget* row = TransferRow::Make(spec);
    TransferRow::Links links;
    links.open = entry.canOpen;
    links.folder = entry.canOpen;
    links.file = entry.FullPath();
    TransferRow::Finish(row, links);
    TransferRow::SetStatus(row, StatusText(entry));
    TransferRow::SetSize(row, TransferProgressText::HistorySize(entry.size));
    return row;
}
