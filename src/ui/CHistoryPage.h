#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ui/RowFileActions.h"

class QListWidget;
class QWidget;

// The history page of the transfer manager: the user's last 20 finished transfers read from the
// log database ("zor/log", table "log"), newest first, each as a row (TransferRow, controls
// "hist_name", ...) with the file's icon, name, direction, status, size and time. Downloads get
// the links "open_file" and "foldOpen"; uploads, whose file stays where the user keeps it, get
// the inert "no_file" and "no_fold". Loaded whenever the page is selected; "clearLogBtn" deletes
// the user's history.
class CHistoryPage {
public:
    static constexpr int kMaxEntries = 20;

    // Types of the log rows (written by CWriteDbMgr::AddLog).
    enum EntryType : int {
        kTypeUpload = 0,
        kTypeServerHeld = 1,  // an upload the server already held the content of
        kTypeDownload = 2,
    };

    struct Entry {
        std::string name;
        std::filesystem::path path;  // the folder that holds the file
        int64_t size = 0;
        int type = kTypeUpload;
        std::string timeText;  // CWriteDbMgr::HistoryTimeText of the end
        bool canOpen = false;  // the local file is the transfer's result: downloads only

        std::filesystem::path FullPath() const { return path / name; }
    };

    CHistoryPage();

    // The page's list; `bind` connects a new row's links to the window's notifications.
    void Attach(QListWidget* list, std::function<void(QWidget*)> bind);
    void SetFileActions(RowFileActions actions) { m_fileActions = std::move(actions); }
    // The log database; by default the options' "zor/log" of the user data folder.
    void SetLogDbPath(std::filesystem::path path) { m_logDbPath = std::move(path); }
    std::filesystem::path GetLogDbPath() const;

    // Reads the user's newest entries and rebuilds the list. A missing log database shows an
    // empty history (it is not created here).
    void Load();
    // Deletes the user's history, when there is any to delete and the database is open.
    void Clear();
    // "open_file" and "foldOpen" inside a row: true when it was one of them.
    bool OnRowClick(const std::string& name, QWidget* sender);

    const std::vector<Entry>& GetEntries() const { return m_entries; }
    QWidget* RowAt(int index) const;

    static std::string StatusText(const Entry& entry);
    // "Time: 14:05:09" for an entry of `today`'s date, "Date: 26-03-07" for an older one.
    static std::string TimeText(const std::string& timeText, std::time_t today);

private:
    void Rebuild();
    QWidget* MakeRow(const Entry& entry, int index);

    QListWidget* m_list = nullptr;
    std::function<void(QWidget*)> m_bind;
    RowFileActions m_fileActions = RowFileActions::Desktop();
    std::filesystem::path m_logDbPath;
    std::vector<Entry> m_entries;
};
