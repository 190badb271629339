#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

class QString;
class QWidget;

// One row of the transfer manager's lists, built in code and shared by the upload, download and
// history pages: the big file icon (50 x 50), a column with the file name, the size, the
// progress bar and a line with the direction icon and the status text, then the row's buttons
// and a 1 px separator line under it. A waiting or running row has the start/pause button
// "ctrl_btn" and the delete button "del_btn"; a finished row replaces the start/pause button by
// the links "re_upld" (when a retry is offered), "open_file" and "foldOpen" (inert "no_file" /
// "no_fold" where there is nothing to open).
//
// The row's own controls are named after the page: "<prefix>_name", "<prefix>_progress",
// "<prefix>_size", "<prefix>_status", "<prefix>_icon", "<prefix>_direction" and, on history
// rows, "<prefix>_time". Buttons and links carry the row's id and file; the page reads them
// back on a click (IdOf, FileOf).
//
// The rows' colours, fonts, link look, separator and progress bar images are one style sheet
// on the list that holds them (StyleList), matched by these names: Qt then parses it once for
// all rows instead of once for each row's widgets.
class TransferRow {
public:
    static constexpr int kRowHeight = 71;
    static constexpr int kSeparatorHeight = 1;
    static constexpr int kItemHeight = kRowHeight + kSeparatorHeight;

    enum class Direction { kUpload, kDownload };
    // The start/pause button: not started yet (disabled), running (pause), paused (play).
    enum class Control { kWaiting, kRunning, kPaused };

    struct Spec {
        std::string prefix;  // "upld", "dnld", "hist"
        Direction direction = Direction::kUpload;
        std::string fileName;  // picks the icon; also the name shown unless SetName changes it
        int32_t id = -1;
        bool progress = true;   // history rows have no bar
        bool controls = true;   // the start/pause button (history rows have none)
        bool deletable = true;  // the delete button
        bool time = false;      // the time label of history rows
        // Where the row will be shown (a list's viewport), hidden until then. Built in place,
        // its controls take the look of the list's style sheet once, instead of once in the
        // application style and again when the row is moved into the list.
        QWidget* parent = nullptr;
    };

    // What a finished row offers.
    struct Links {
        bool retry = false;   // "re_upld"
        bool open = false;    // "open_file", else the inert "no_file"
        bool folder = false;  // "foldOpen", else the inert "no_fold"
        std::filesystem::path file;
    };

    static QWidget* Make(const Spec& spec);
    // The look of the rows named after `prefix`; StyleList adds it to a list's own style sheet
    // (once) before rows are put into it.
    static QString StyleSheet(const std::string& prefix);
    static void StyleList(QWidget* list, const std::string& prefix);

    static void SetName(QWidget* row, const std::string& text);
    static void SetSize(QWidget* row, const std::string& text);
    static void SetStatus(QWidget* row, const std::string& text);
    static void SetTime(QWidget* row, const std::string& text);
    // A negative percentage leaves the bar where it is (the total is unknown).
    static void SetProgress(QWidget* row, int percent);
    static void SetControl(QWidget* row, Control look, bool enabled);
    // Turns the row into a finished row: the start/pause button goes, the links come before
    // the delete button. Done once; a second call changes nothing.
    static void Finish(QWidget* row, const Links& links);
    static bool IsFinished(const QWidget* row);

    // The id and the file a row's button or link carries (-1 and empty for other widgets).
    static int32_t IdOf(const QWidget* control);
    static std::filesystem::path FileOf(const QWidget* control);
    // The named control of a row (null when it has none).
    static QWidget* Find(const QWidget* row, const char* name);

    // Images of the start/pause and delete buttons.
    static constexpr const char* kStartImage = "file='btn_start.png' dest='0,18,16,34'";
    static constexpr const char* kPauseImage = "file='btn_pause.png' dest='0,18,16,34'";
    static constexpr const char* kPlayImage = "file='btn_play.png' dest='0,18,16,34'";
    static constexpr const char* kDeleteImage = "file='btn_del.png' dest='0,18,16,34'";
    static constexpr const char* kUploadImage = "file='tx_upload.png' dest='0,0,16,16'";
    static constexpr const char* kDownloadImage = "file='tx_download.png' dest='0,0,16,16'";
    static constexpr const char* kLinkColour = "#FF2587B8";
    static constexpr const char* kSeparatorColour = "#FFE1E1E3";
};
