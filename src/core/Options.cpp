#include "core/Options.h"

#include <json/json.h>

#include <ctime>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

COptions& COptions::GetInstance() {
    static COptions* instance = new COptions();  // lives until process exit
    return *instance;
}

COptions::COptions() {
    m_programDir = platform::ExecutableDir();
    ComputeDates();
    GenerateUrls();
}

COptions::~COptions() = default;

void COptions::ComputeDates() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startDate = fmt::sprintf("%d%.2d%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    m_shortStartDate =
        fmt::sprintf("%d-%.2d-%.2d", (local.tm_year + 1900) % 2000, local.tm_mon + 1, local.tm_mday);
    m_logFileName = fmt::sprintf("mg_log_%d_%.2d_%.2d_%.2d_%.2d_%.2d.log", local.tm_year + 1900,
                                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                 local.tm_sec);
}

fs::path COptions::GetProgramDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_programDir;
}

fs::path COptions::GetUserDataDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_userDataDir;
}

fs::path COptions::GetWorkDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_workDir;
}

fs::path COptions::GetDatabasePath(const char* name) const { return GetUserDataDir() / name; }

std::string COptions::GetStartDate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_startDate;
}

std::string COptions::GetShortStartDate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shortStartDate;
}

std::string COptions::GetLogFileName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logFileName;
}

std::string COptions::GetUserAccount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_userAccount;
}

void COptions::ClearCookies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cookies.clear();
}

void COptions::AddCookie(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (name == "cookieUserAccount") {
        m_userAccount = value;
    } else if (name == "cookieUid") {
        m_uid = CommonUtils::StringToInt64(value).value_or(0);
    }
    m_cookies.emplace_back(name, value);
}

void COptions::RebuildCookieStrings() {
    static const std::string kSessionCookie = "QSESSIONID";
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cookieString.clear();
    for (const auto& [name, value] : m_cookies) {
        // The session cookie: a name made only of the letters of "QSESSIONID" that contains it.
        if (name.find(kSessionCookie) != std::string::npos &&
            name.find_first_not_of(kSessionCookie) == std::string::npos) {
            m_sessionString = "qSessionId" + name.substr(std::min<size_t>(10, name.size())) + "=" + value;
        }
        m_cookieString += name + "=" + value + ";";
    }
}

std::vector<std::pair<std::string, std::string>> COptions::GetCookies() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cookies;
}

std::string COptions::GetSessionString() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessionString;
}

std::string COptions::GetCookieString() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cookieString;
}

void COptions::SetProxy(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (text.find("socks5") != std::string::npos) {
        // A SOCKS5 proxy always resolves host names on the proxy side.
        m_proxy = "socks5h" + (text.size() > 6 ? text.substr(6) : std::string());
    } else {
        m_proxy = text;
    }
}

std::string COptions::GetProxy() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_proxy;
}

bool COptions::ShouldUseProxy() const {
    int type = m_proxyType;
    std::lock_guard<std::mutex> lock(m_mutex);
    return (type == 1 || type == 2) && !m_proxy.empty();
}

void COptions::GenerateUrls() {
    std::string host;
    fs::path programDir = GetProgramDir();
    std::vector<fs::path> candidates = {programDir / "appConfig"};
    candidates.push_back(fs::path(platform::EnvOr("XDG_CONFIG_HOME",
                                                  (platform::HomeDir() / ".config").string())) /
                         "zorp" / "appConfig");
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (!fs::exists(candidate, ec)) {
            continue;
        }
        auto text = CommonUtils::ReadWholeFile(candidate);
        Json::Value root;
        Json::CharReaderBuilder builder;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (text && reader->parse(text->data(), text->data() + text->size(), &root, &errors) &&
            root.isObject() && root["host"].isString() &&
            root["host"].asString().find('.') != std::string::npos) {
            host = root["host"].asString();
        }
        break;  // the first file found decides, as when only the program folder is read
    }
    if (host.empty()) {
        VLOG(1) << "COptions::genereateUrls() use default urls";
        host = kDefaultWebHost;
    }
    const std::string domain = host.substr(host.find('.') + 1);
    ServerUrls urls;
    urls.webHost = host;
    urls.webHostLine = "Host web." + domain;
    urls.downloadHostLine = "Host download." + domain;
    urls.download = "http://download." + domain + "/qcd/fileshare/downloadFileAction.json?";
    urls.getFileByName = "http://" + host + "/qcd/getFileByNameAction.json";
    urls.breakPointUpload = "http://" + host + "/qcd/filebackup/breakPointUploadAction.json?";
    urls.breakPointUploadInit = "http://" + host + "/qcd/filebackup/breakPointUploadInitAction.json?";
    urls.createPath = "http://" + host + "/qcd/filebackup/createPathAction.json?";
    urls.getSubFiles = "http://" + host + "/qcd/filebackup/getSubFilesAction.json?";
    urls.getFile = "http://" + host + "/qcd/filebackup/getFileAction.json?";
    urls.deleteFile = "http://" + host + "/qcd/filebackup/deleteFileAction.json?";
    urls.lockFile = "http://" + host + "/qcd/fileshare/lockFileByAppAction.json?";
    urls.unlockFile = "http://" + host + "/qcd/fileshare/unlockFileByAppAction.json?";
    std::lock_guard<std::mutex> lock(m_mutex);
    m_urls = std::move(urls);
}

COptions::ServerUrls COptions::GetUrls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_urls;
}
