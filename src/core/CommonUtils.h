#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Json {
class Value;
}  // namespace Json

// File-system, shell, text and error helpers shared by many subsystems. Each is a free
// function without state; failures are reported by the result (and logged where told).
namespace CommonUtils {

// Creates every missing level of the path, in order from the root down, trying each level
// twice. True when the folder exists afterwards.
bool MakeFolderPath(const std::filesystem::path& path);

// Deletes what is inside the folder and, with removeFolder, the folder itself. A symbolic link
// is removed as a link; what it points to is never touched. Stops at the first entry that
// cannot be deleted (logged) and returns false. A missing path is no error.
bool DeleteFolderTree(const std::filesystem::path& path, bool removeFolder);

struct SplitResult {
    std::filesystem::path folder;
    std::string name;
};
// Folder = text before the last separator, name = text after it.
SplitResult SplitPath(const std::filesystem::path& path);

struct FileTimes {
    int64_t creation = 1;   // seconds since 1970-01-01 UTC; 1 when the file cannot be found
    int64_t lastWrite = 0;  // 0 when the file cannot be found
};
// Birth time where the filesystem records one (else the status change time) and last write.
FileTimes GetFileTimes(const std::filesystem::path& path);

// "%d%.2d%.2d" of the last write time in local time; empty when the file cannot be found.
std::string GetFileDateText(const std::filesystem::path& path);

// "%d%.2d%.2d%.2d%.2d%.2d" of the current local time.
std::string GetTimeStampText();

// Free bytes of the volume holding the folder.
std::optional<uint64_t> GetFreeDiskSpace(const std::filesystem::path& folder);

// Opens the file with its program; with none associated, offers the "open with" choice.
void OpenWithAssociatedProgram(const std::filesystem::path& path);

// Skin image for a file name: "cdBig_"/"cdSmall_" + the suffix chosen by extension.
std::string GetFileIconName(const std::string& fileName, bool big);

// Puts the backup folder icon ("abfoldicon.ico" in the program folder or the installed data
// folder: ProgramFiles) on each folder, or takes it off. Best effort.
void SetFolderIcons(const std::vector<std::filesystem::path>& folders, bool on);

// A text as a log line may hold it: at most `maxBytes` of it (never cutting a UTF-8
// character), then " ... (N bytes)" when it was longer.
std::string LogExcerpt(std::string_view text, size_t maxBytes = 4096);

// Reads a whole decimal 64-bit integer. On failure `error` (when given) receives
// "Unable to convert string '<text>' to integer!" and the line is logged.
std::optional<int64_t> StringToInt64(const std::string& text, std::string* error = nullptr);

// "Function [%s] failed: GetLastError [%u]" or "Function [%s(%s)] failed: GetLastError [%u]"
// with the current error number.
std::string SystemErrorText(const std::string& function, const std::string& argument = "");

// "(%d)%s" with the libcurl result code and its description.
std::string TransferErrorText(int curlCode);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF). Linux file names are bytes; the server takes names as UTF-8 text.
bool IsValidUtf8(std::string_view text);

// A name that may become one component of a local path: not empty, not "." or "..", and no
// "/" or NUL in it. Anything else (a name from the page, a server listing or the clipboard
// list) could place a file outside the folder it was meant for. Letter case is kept as it is:
// on Linux "a.txt" and "A.txt" are two files.
bool IsPlainName(std::string_view name);

// The text with every invalid UTF-8 sequence replaced by U+FFFD: a file name (bytes on
// Linux) made fit for a message that must be UTF-8.
std::string ToValidUtf8(const std::string& text);

// UTF-8 <-> UTF-16. Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

// Parses JSON text (comments are not collected). False, with the reader's words in `errors`
// when given, for text that does not parse, and for text nested deeper than kMaxJsonDepth,
// on which the reader would otherwise throw (a reply of a broken or hostile server must never
// end a worker thread).
inline constexpr int kMaxJsonDepth = 256;
bool ParseJson(std::string_view text, Json::Value& root, std::string* errors = nullptr);

// Reads a whole file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

}  // namespace CommonUtils
