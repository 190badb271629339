#include "core/CommonUtils.h"

#include <curl/curl.h>
#include <fmt/printf.h>
#include <json/reader.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <ctime>
#include <fstream>
#include <system_error>

#include "core/Logging.h"
#include "core/ProgramFiles.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"
#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

namespace CommonUtils {

namespace {

bool CreateOneLevel(const fs::path& level) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::error_code ec;
        if (fs::create_directory(level, ec) || fs::is_directory(level, ec)) {
            return true;
        }
    }
    return false;
}

std::tm LocalTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

}  // namespace

bool MakeFolderPath(const fs::path& path) {
    std::error_code ec;
    if (path.empty()) {
        LOG(ERROR) << "CommonUtils::MakeFolderPath: empty path";
        return false;
    }
    if (fs::is_directory(path, ec)) {
        return true;
    }
    fs::path level;
    for (const auto& part : path) {
        level /= part;
        if (part == path.root_path() || part == path.root_directory() || part.empty()) {
            continue;
        }
        if (fs::is_directory(level, ec)) {
            continue;
        }
        if (!CreateOneLevel(level)) {
            LOG(ERROR) << SystemErrorText("CreateDirectory", level.string());
            return false;
        }
    }
    return fs::is_directory(path, ec);
}

bool DeleteFolderTree(const fs::path& path, bool removeFolder) {
    std::error_code ec;
    auto status = fs::symlink_status(path, ec);
    if (ec || !fs::exists(status)) {
        return true;  // nothing to delete
    }
    if (!fs::is_directory(status)) {
        LOGF(ERROR, "Find File Error: %d, %s, %s, %s", ENOTDIR, path.string(), path.string(),
             "not a folder");
        return false;
    }
    fs::directory_iterator it(path, ec);
    if (ec) {
        LOGF(ERROR, "Find File Error: %d, %s, %s, %s", ec.value(), (path / "*").string(),
             path.string(), ec.message());
        return false;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path entry = it->path();
        auto entryStatus = fs::symlink_status(entry, ec);
        if (!ec && fs::is_directory(entryStatus)) {
            // A real folder (symbolic links report their own status, not the target's).
            if (!DeleteFolderTree(entry, true)) {
                return false;
            }
            continue;
        }
        if (!fs::remove(entry, ec) || ec) {
            errno = ec.value();
            LOG(ERROR) << SystemErrorText("DeleteFile", entry.string());
            return false;
        }
    }
    if (ec) {
        LOGF(ERROR, "Find File Error: %d, %s, %s, %s", ec.value(), (path / "*").string(),
             path.string(), ec.message());
        return false;
    }
    if (removeFolder) {
        if (!fs::remove(path, ec) || ec) {
            errno = ec.value();
            LOG(ERROR) << SystemErrorText("RemoveDirectory", path.string());
            return false;
        }
    }
    return true;
}

SplitResult SplitPath(const fs::path& path) {
    const std::string text = path.string();
    auto pos = text.find_last_of('/');
    if (pos == std::string::npos) {
        return {fs::path(), text};
    }
    return {fs::path(text.substr(0, pos)), text.substr(pos + 1)};
}

FileTimes GetFileTimes(const fs::path& path) {
    FileTimes result;
    if (auto times = platform::GetFileTimes(path)) {
        result.creation = times->creation;
        result.lastWrite = times->lastWrite;
    }
    return result;
}

std::string GetFileDateText(const fs::path& path) {
    auto times = platform::GetFileTimes(path);
    if (!times) {
        return std::string();
    }
    std::tm local = LocalTime(static_cast<std::time_t>(times->lastWrite));
    return fmt::sprintf("%d%.2d%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::string GetTimeStampText() {
    std::tm local = LocalTime(std::time(nullptr));
    return fmt::sprintf("%d%.2d%.2d%.2d%.2d%.2d", local.tm_year + 1900, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

std::optional<uint64_t> GetFreeDiskSpace(const fs::path& folder) {
    return platform::FreeDiskSpace(folder);
}

void OpenWithAssociatedProgram(const fs::path& path) {
    auto result = platform::OpenWithAssociatedProgram(path);
    if (result == platform::OpenResult::kNoAssociation) {
        if (!platform::OpenWithChooser(path)) {
            LOG(ERROR) << "CommonUtils::OpenWithAssociatedProgram: no program for " << path.string();
        }
    } else if (result == platform::OpenResult::kFailed) {
        LOG(ERROR) << "CommonUtils::OpenWithAssociatedProgram: cannot open " << path.string();
    }
}

std::string GetFileIconName(const std::string& fileName, bool big) {
    struct Rule {
        const char* extensions[5];
        const char* suffix;
    };
    static const Rule kRules[] = {
        {{"txt"}, "txt.png"},
        {{"doc", "wps"}, "word.png"},
        {{"xls", "et"}, "excel.png"},
        {{"ppt", "dps"}, "ppt.png"},
        {{"pdf"}, "pdf.png"},
        {{"rar", "zip", "7z"}, "rar.png"},
        {{"csv"}, "csv.png"},
        {{"jpg", "jpeg", "png", "ico", "bmp"}, "img.png"},
        {{"grid"}, "grid.png"},
        {{"mp3", "wma", "wav"}, "audio.png"},
        {{"avi", "wmv", "mpeg", "rm", "rmvb"}, "video.png"},
        {{"vcf"}, "vcf.png"},
    };
    std::string prefix = big ? "cdBig_" : "cdSmall_";
    auto dot = fileName.find_last_of('.');
    if (dot != std::string::npos) {
        std::string extension = fileName.substr(dot + 1);
        for (auto& c : extension) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        for (const auto& rule : kRules) {
            for (const char* candidate : rule.extensions) {
                if (candidate && extension == candidate) {
                    return prefix + rule.suffix;
                }
            }
        }
    }
    return prefix + "default.png";
}

void SetFolderIcons(const std::vector<fs::path>& folders, bool on) {
    fs::path icon = on ? ProgramFiles::Find(platform::ExecutableDir(), "abfoldicon.ico") : fs::path();
    if (on && icon.empty()) {
        // An empty icon would take the icons off instead.
        VLOG(1) << "CommonUtils::SetFolderIcons: no abfoldicon.ico to put on the folders";
        return;
    }
    for (const auto& folder : folders) {
        if (!platform::SetFolderCustomIcon(folder, icon)) {
            VLOG(1) << "CommonUtils::SetFolderIcons: no folder icon service for " << folder.string();
        }
    }
}

std::optional<int64_t> StringToInt64(const std::string& text, std::string* error) {
    int64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        std::string message = "Unable to convert string '" + text + "' to integer!";
        LOG(ERROR) << message;
        if (error) {
            *error = message;
        }
        return std::nullopt;
    }
    return value;
}

std::string SystemErrorText(const std::string& function, const std::string& argument) {
    unsigned code = static_cast<unsigned>(platform::LastErrorNumber());
    if (argument.empty()) {
        return fmt::sprintf("Function [%s] failed: GetLastError [%u]", function, code);
    }
    return fmt::sprintf("Function [%s(%s)] failed: GetLastError [%u]", function, argument, code);
}

std::string TransferErrorText(int curlCode) {
    return fmt::sprintf("(%d)%s", curlCode, curl_easy_strerror(static_cast<CURLcode>(curlCode)));
}

bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool IsValidUtf8(std::string_view text) {
    const size_t n = text.size();
    size_t i = 0;
    auto continuation = [&](size_t at) {
        return at < n && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if ((c >> 5) == 0x6) {
            len = 2, cp = c & 0x1F, least = 0x80;
        } else if ((c >> 4) == 0xE) {
            len = 3, cp = c & 0x0F, least = 0x800;
        } else if ((c >> 3) == 0x1E) {
            len = 4, cp = c & 0x07, least = 0x10000;
        } else {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            if (!continuation(i + k)) {
                return false;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

bool ParseJson(std::string_view text, Json::Value& root, std::string* errors) {
    std::string said;
    bool parsed = false;
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["stackLimit"] = kMaxJsonDepth;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &said);
    } catch (const std::exception& e) {  // nested past the stack limit
        said = e.what();
        parsed = false;
    }
    if (!parsed) {
        root = Json::Value();
    }
    if (errors) {
        *errors = std::move(said);
    }
    return parsed;
}

std::string ToValidUtf8(const std::string& text) {
    return IsValidUtf8(text) ? text : Utf16ToUtf8(Utf8ToUtf16(text));
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 0x6 && i + 1 < n) {
            len = 2;
            cp = ((c & 0x1F) << 6) | (text[i + 1] & 0x3F);
            if ((text[i + 1] & 0xC0) != 0x80 || cp < 0x80) {
                cp = 0xFFFD, len = 1;
            }
        } else if ((c >> 4) == 0xE && i + 2 < n) {
            len = 3;
            cp = ((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
            if ((text[i + 1] & 0xC0) != 0x80 || (text[i + 2] & 0xC0) != 0x80 || cp < 0x800 ||
                (cp >= 0xD800 && cp <= 0xDFFF)) {
                cp = 0xFFFD, len = 1;
            }
        } else if ((c >> 3) == 0x1E && i + 3 < n) {
            len = 4;
            cp = ((c & 0x07) << 18) | ((text[i + 1] & 0x3F) << 12) | ((text[i + 2] & 0x3F) << 6) |
                 (text[i + 3] & 0x3F);
            if ((text[i + 1] & 0xC0) != 0x80 || (text[i + 2] & 0xC0) != 0x80 ||
                (text[i + 3] & 0xC0) != 0x80 || cp < 0x10000 || cp > 0x10FFFF) {
                cp = 0xFFFD, len = 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        content.append(buffer, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return content;
}

std::string LogExcerpt(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    size_t end = maxBytes;
    // Back to the start of a character: continuation bytes are 10xxxxxx.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text.substr(0, end)) + " ... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace CommonUtils
