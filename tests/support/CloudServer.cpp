#include "support/CloudServer.h"

#include <curl/curl.h>
#include <json/reader.h>

#include <cstdlib>

#include "core/Options.h"
#include "platform/SystemInfo.h"
#include "support/TempDir.h"

namespace zorp::test {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::string Escape(const std::string& text) {
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    std::string result = escaped ? escaped : "";
    curl_free(escaped);
    return result;
}

}  // namespace

CloudServer::CloudServer() : CloudServer(Config()) {}

CloudServer::CloudServer(Config config)
    : m_config(std::move(config)), m_dataDir(m_home.path() / "data") {}

CloudServer::~CloudServer() { Stop(); }

bool CloudServer::Launch(int port) {
    m_error.clear();
    std::vector<std::string> argv = {std::string(ZORP_BIN_DIR) + "/zorp-cloud", "--listen",
                                     "127.0.0.1:" + std::to_string(port), "--data",
                                     m_dataDir.string()};
    if (m_config.quota >= 0) {
        argv.insert(argv.end(), {"--quota", std::to_string(m_config.quota)});
    }
    if (!m_config.session.empty()) {
        argv.insert(argv.end(), {"--session", m_config.session});
    }
    m_process = std::make_unique<platform::ChildProcess>();
    if (!m_process->Start(argv)) {
        m_error = "cannot start " + argv[0];
        return false;
    }
    auto line = m_process->ReadLine(10000);
    const std::string prefix = "listening on 127.0.0.1:";
    if (!line || line->rfind(prefix, 0) != 0) {
        m_error = "zorp-cloud did not announce its port (got: " + line.value_or("nothing") + ")";
        m_process->Stop(0);
        return false;
    }
    m_port = std::atoi(line->c_str() + prefix.size());
    return m_port > 0;
}

bool CloudServer::Start() { return Launch(0); }

void CloudServer::Stop(bool kill) {
    if (m_process) {
        if (kill) {
            m_process->Kill();
        } else {
            m_process->Stop(5000);
        }
    }
}

bool CloudServer::Restart() {
    Stop();
    return Launch(m_port);
}

bool CloudServer::IsRunning() { return m_process && m_process->IsRunning(); }

std::string CloudServer::WebHost() const { return "web.localhost:" + std::to_string(m_port); }

std::string CloudServer::WebBaseUrl() const { return "http://" + WebHost(); }

std::string CloudServer::DownloadBaseUrl() const {
    return "http://download.localhost:" + std::to_string(m_port);
}

std::string CloudServer::DownloadUrl(int64_t fid) const {
    return COptions::GetInstance().GetUrls().download + "fid=" + std::to_string(fid);
}

void CloudServer::UseForOptions() const {
    const std::filesystem::path config =
        std::filesystem::path(platform::EnvOr("XDG_CONFIG_HOME", "")) / "zorp" / "appConfig";
    WriteFile(config, "{\"host\": \"" + WebHost() + "\"}");
    COptions::GetInstance().GenerateUrls();
}

Json::Value CloudServer::Admin(const std::string& pathAndQuery) {
    CURL* curl = curl_easy_init();
    if (!curl) {
        return Json::Value();
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    Json::Value root;
    if (result != CURLE_OK) {
        return root;
    }
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    reader->parse(body.data(), body.data() + body.size(), &root, &errors);
    return root;
}

bool CloudServer::SetFault(const std::string& action, const std::string& kind,
                           const std::map<std::string, std::string>& values) {
    std::string query = "/admin/fault?action=" + Escape(action) + "&kind=" + Escape(kind);
    for (const auto& [name, value] : values) {
        query += "&" + name + "=" + Escape(value);
    }
    Json::Value reply = Admin(query);
    return reply.isObject() && reply["status"].asInt() == 0;
}

bool CloudServer::ClearFaults() {
    Json::Value reply = Admin("/admin/clear");
    return reply.isObject() && reply["status"].asInt() == 0;
}

std::vector<std::vector<std::string>> CloudServer::RequestHeaderLines(const std::string& action) {
    std::vector<std::vector<std::string>> requests;
    Json::Value reply = Admin("/admin/requests?action=" + Escape(action));
    for (const auto& entry : reply["data"]) {
        std::vector<std::string> lines;
        for (const auto& line : entry["lines"]) {
            lines.push_back(line.asString());
        }
        requests.push_back(std::move(lines));
    }
    return requests;
}

std::vector<CloudServer::RequestText> CloudServer::RequestTexts(const std::string& action) {
    std::vector<RequestText> texts;
    Json::Value reply = Admin("/admin/requests?action=" + Escape(action));
    for (const auto& entry : reply["data"]) {
        texts.push_back({entry["lines"][0].asString(), entry["body"].asString()});
    }
    return texts;
}

std::vector<int64_t> CloudServer::DownloadBreakPoints() {
    static const std::string kParameter = "&breakPoint=";
    std::vector<int64_t> points;
    for (const auto& request : RequestTexts("download")) {
        if (request.line.rfind("GET ", 0) != 0) {
            continue;
        }
        const auto at = request.line.find(kParameter);
        points.push_back(at == std::string::npos
                             ? 0
                             : std::atoll(request.line.c_str() + at + kParameter.size()));
    }
    return points;
}

size_t CloudServer::ProbeCount() {
    size_t probes = 0;
    for (const auto& request : RequestTexts("download")) {
        probes += request.line.rfind("HEAD ", 0) == 0 ? 1 : 0;
    }
    return probes;
}

Json::Value CloudServer::State() { return Admin("/admin/state")["data"]; }

Json::Value CloudServer::Plant(const std::string& name, int64_t size, int64_t pid,
                               const std::string& fill, int64_t seed) {
    Json::Value reply = Admin("/admin/plant?name=" + Escape(name) + "&size=" + std::to_string(size) +
                              "&pid=" + std::to_string(pid) + "&fill=" + fill +
                              "&seed=" + std::to_string(seed));
    if (!reply.isObject() || reply["status"].asInt() != 0) {
        return Json::Value();
    }
    return reply["data"]["file"];
}

}  // namespace zorp::test
