#pragma once

#include <cstdint>

#include "platform/Message.h"

// The program's window messages: WM_USER plus a fixed offset. Workers post them to the
// floating drop window (the dispatcher) or to the transfer manager window.
inline constexpr uint32_t WM_MENU_COMMAND = platform::WM_USER + 1008;          // 0x7F0
inline constexpr uint32_t WM_DNLD_ALL_DONE = platform::WM_USER + 1099;         // 0x84B
inline constexpr uint32_t WM_DNLD_STATUS = platform::WM_USER + 1100;           // 0x84C (sent)
inline constexpr uint32_t WM_DNLD_PROGRESS = platform::WM_USER + 1101;         // 0x84D
inline constexpr uint32_t WM_DNLD_END = platform::WM_USER + 1102;              // 0x84E
inline constexpr uint32_t WM_BACKUP_WORK = platform::WM_USER + 1103;           // 0x84F
inline constexpr uint32_t WM_UPLD_PROGRESS = platform::WM_USER + 1104;         // 0x850
inline constexpr uint32_t WM_UPLD_END = platform::WM_USER + 1105;              // 0x851
inline constexpr uint32_t WM_UPLD_STATUS = platform::WM_USER + 1106;           // 0x852 (sent)
inline constexpr uint32_t WM_UPLD_INFO = platform::WM_USER + 1107;             // 0x853
inline constexpr uint32_t WM_C2L_UPLD_REQ = platform::WM_USER + 1108;          // 0x854
inline constexpr uint32_t WM_C2L_DNLD_REQ = platform::WM_USER + 1109;          // 0x855
inline constexpr uint32_t WM_UPLD_CANCEL = platform::WM_USER + 1110;           // 0x856
inline constexpr uint32_t WM_GO_ONLINE = platform::WM_USER + 1111;             // 0x857
inline constexpr uint32_t WM_NETWORK_ERROR = platform::WM_USER + 1112;         // 0x858
inline constexpr uint32_t WM_NETWORK_OK = platform::WM_USER + 1113;            // 0x859
inline constexpr uint32_t WM_CLIENT_MSG_COME = platform::WM_USER + 1114;       // 0x85A
inline constexpr uint32_t WM_UPLD_ALL_DONE = platform::WM_USER + 1115;         // 0x85B
inline constexpr uint32_t WM_TRAVEL_FAILED = platform::WM_USER + 1116;         // 0x85C
inline constexpr uint32_t WM_CALC_SHA_FINISH = platform::WM_USER + 1117;       // 0x85D
inline constexpr uint32_t WM_SHOW_TX_TAB = platform::WM_USER + 1118;           // 0x85E (sent)
inline constexpr uint32_t WM_GO_OFFLINE = platform::WM_USER + 1119;            // 0x85F
inline constexpr uint32_t WM_CMP_UPLOAD = platform::WM_USER + 1120;            // 0x860
inline constexpr uint32_t WM_SHOW_BACKUP_CONFIG = platform::WM_USER + 1121;    // 0x861
inline constexpr uint32_t WM_CHECK_DIR_EXIT = platform::WM_USER + 1122;        // 0x862
inline constexpr uint32_t WM_TX_REFRESH = platform::WM_USER + 1123;            // 0x863
inline constexpr uint32_t WM_TRAVEL_BATCH = platform::WM_USER + 1124;          // 0x864
inline constexpr uint32_t WM_CMP_LOOP_OVER = platform::WM_USER + 1125;         // 0x865
inline constexpr uint32_t WM_SHOW_HIDE = platform::WM_USER + 1126;             // 0x866
inline constexpr uint32_t WM_SHOW_TX_MANAGER = platform::WM_USER + 1127;       // 0x867
inline constexpr uint32_t WM_LOCALEDIT_REQ = platform::WM_USER + 1128;         // 0x868
inline constexpr uint32_t WM_LOCALEDIT_SHA = platform::WM_USER + 1129;         // 0x869
inline constexpr uint32_t WM_BATCH_DNLD_REQ = platform::WM_USER + 1130;        // 0x86A
inline constexpr uint32_t WM_LOCALEDIT_DNLD_END = platform::WM_USER + 1131;    // 0x86B
inline constexpr uint32_t WM_LOCALEDIT_NAMES = platform::WM_USER + 1132;       // 0x86C
inline constexpr uint32_t WM_OPEN_EDIT_DIR = platform::WM_USER + 1133;         // 0x86D
inline constexpr uint32_t WM_CLIPBOARD_COPY = platform::WM_USER + 1134;        // 0x86E
inline constexpr uint32_t WM_PASTE_DETECTED = platform::WM_USER + 1135;        // 0x86F
inline constexpr uint32_t WM_GET_FILE_PID = platform::WM_USER + 1136;          // 0x870
// The local edit workers' hand-overs to the local edit manager, each carrying its data: the
// files the edit folder's watcher saw saved (std::vector<std::filesystem::path>), and the
// hash of a saved copy (CalcShaResult).
inline constexpr uint32_t WM_LOCALEDIT_FILE_CHANGE = platform::WM_USER + 1137;  // 0x871
inline constexpr uint32_t WM_LOCALEDIT_HASH_DONE = platform::WM_USER + 1138;    // 0x872
// A folder walk's entries that are not sent and are reported as failed uploads (names that
// are not UTF-8, unreadable folders, links out of the dropped tree...), as
// std::vector<std::filesystem::path>; posted before the walk's batch that follows them.
inline constexpr uint32_t WM_TRAVEL_SKIPPED = platform::WM_USER + 1139;          // 0x873
// What a WM_BACKUP_WORK asks for; the message carries the value as an int record.
enum BackupWorkType : int {
    kBackupCheckListReady = 0,  // a start-up check job put its folder's list in the queue
    // The backup settings window confirmed a new folder selection: it is stored in the options
    // (records and backup paths) before this is posted, so the backup engine reads it from
    // there, watches the new folders and stops watching the removed ones.
    kBackupFoldersChanged = 1,
};

static_assert(WM_MENU_COMMAND == 0x7F0 && WM_DNLD_ALL_DONE == 0x84B && WM_GET_FILE_PID == 0x870);
