#pragma once

#include <cstdint>
#include <string>

#include "core/MultiLanguage.h"

// The status texts an upload task ends with: entries of the string table, in the current
// language.
namespace UploadStatusTexts {

constexpr uint32_t kTextTransmissionError = 123;  // "Transmission Error"
constexpr uint32_t kTextInitFail = 124;           // "Upload Initialization fail"
constexpr uint32_t kTextNoFileInfo = 125;         // "Can't get file info"
constexpr uint32_t kTextUploadFailed = 127;       // "Upload failed"
constexpr uint32_t kTextCantOpen = 129;           // "Can't open file"
constexpr uint32_t kTextNotExists = 135;          // "File not exists"
constexpr uint32_t kTextCompleted = 140;          // "Completed"
// The string table has no entry for a file that changed under the upload. Failed tasks show
// their state's name alone, so this text reaches the logs and the task's status, not a row.
constexpr const char* kTextFileChanged = "File changed during upload";

inline std::string Text(uint32_t id) {
    return CMultiLanguageMgr::GetInstance().LoadString(id);
}

}  // namespace UploadStatusTexts
