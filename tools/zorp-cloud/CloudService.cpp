#include "CloudService.h"

#include <json/reader.h>

#include <memory>
#include <thread>

#include "ActionRequest.h"
#include "CloudStatus.h"
#include "ConnectionStream.h"
#include "Reply.h"

namespace {

constexpr const char* kUploadAction = "upload";
constexpr const char* kDownloadAction = "download";

}  // namespace

CloudService::CloudService(ServerConfig config)
    : m_context(std::move(config)),
      m_folders(m_context),
      m_uploads(m_context),
      m_download(m_context),
      m_locks(m_context),
      m_admin(m_context) {
    // Each connection keeps a thread while it is open (the client keeps its connections
    // alive between chunks), so there are many more threads than cores.
    m_server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    m_server.set_payload_max_length(UploadActions::kMaxChunkBody);
    RegisterRoutes();
}

CloudService::~CloudService() { Stop(); }

bool CloudService::Start(std::string* error) {
    const auto& config = m_context.config;
    std::error_code ec;
    std::filesystem::create_directories(config.dataDir, ec);
    if (ec) {
        *error = "cannot create " + config.dataDir.string() + ": " + ec.message();
        return false;
    }
    if (!m_context.metadata.Open(config.dataDir / "metadata.db", error) ||
        !m_context.content.Open(config.dataDir, error)) {
        return false;
    }
    if (config.port == 0) {
        m_port = m_server.bind_to_any_port(config.host);
    } else {
        m_port = m_server.bind_to_port(config.host, config.port) ? config.port : -1;
    }
    if (m_port <= 0) {
        *error = "cannot listen on " + config.host + ":" + std::to_string(config.port);
        return false;
    }
    return true;
}

void CloudService::Run() {
    m_runEntered = true;
    if (!m_stopRequested) {
        m_server.listen_after_bind();
    }
    m_runFinished = true;
}

void CloudService::Stop() {
    m_stopRequested = true;
    m_context.faults.Shutdown();  // ends delays and stalls at once
    // The library ignores a stop before its loop runs; Run may be just entering it.
    for (int i = 0; i < 100 && m_runEntered && !m_runFinished && !m_server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_server.stop();
}

void CloudService::Serve(const char* action, const httplib::Request& request,
                         httplib::Response& response, const Body& body) {
    auto* connection = ConnectionStream::Current();
    // A chunk's body is still unread here (it streams into the upload); form bodies are read.
    m_context.requests.Add({action, request.method, request.target,
                            connection ? connection->RawHeaders() : "", request.body});
    const bool upload = std::string(action) == kUploadAction;
    const bool download = std::string(action) == kDownloadAction;
    // A chunk upload refused before its body was read must not leave the body behind.
    auto refused = [&] {
        if (upload) {
            UploadActions::SkipUnreadBody(request, response);
        }
    };

    // The network check sends no cookie: the root answers everyone.
    const bool root = std::string(action) == "root";
    if (!root && !ActionRequest(request).HasSession(m_context.config.session)) {
        Reply::Error(response, kStatusBadSession);
        if (download) {
            response.status = 403;
        }
        return refused();
    }
    auto& faults = m_context.faults;
    // A server that stops during a delay or a stall drops the request rather than serving it
    // half way through its shutdown.
    auto wait = [&](int64_t ms) {
        if (!faults.Sleep(ms) && connection) {
            connection->Drop();
            return false;
        }
        return true;
    };
    if (auto delay = faults.Take(action, FaultInjector::Kind::kDelay)) {
        if (!wait(delay->value)) {
            return;
        }
    }
    if (!download) {
        if (auto stall = faults.Take(action, FaultInjector::Kind::kStall)) {
            if (!wait(stall->value)) {
                return;
            }
        }
    }
    if (auto http = faults.Take(action, FaultInjector::Kind::kHttp)) {
        Reply::Error(response, kStatusStorageError, "injected HTTP error");
        response.status = static_cast<int>(http->value);
        return refused();
    }
    if (auto status = faults.Take(action, FaultInjector::Kind::kStatus)) {
        Reply::Error(response, static_cast<int>(status->value), "injected fault");
        return refused();
    }
    if (auto html = faults.Take(action, FaultInjector::Kind::kHtml)) {
        response.status = static_cast<int>(html->value);
        response.set_content(
            "<!DOCTYPE html>\n<html><head><title>Gateway</title></head>"
            "<body><h1>The service is busy</h1><p>Please try again later.</p></body></html>\n",
            "text/html;charset=UTF-8");
        return refused();
    }

    body();

    const auto replyComplete = [&] {
        Json::Value root;
        Json::CharReaderBuilder builder;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        const std::string& text = response.body;
        return reader->parse(text.data(), text.data() + text.size(), &root, &errors) &&
               root.isObject() && root["data"].isObject() && root["data"]["file"].isObject() &&
               root["data"]["file"]["status"].asInt() == 1;
    };
    if (auto late = faults.Take(action, FaultInjector::Kind::kLateReply,
                                [&](const FaultInjector::Rule& rule) {
                                    return !rule.completeOnly || replyComplete();
                                })) {
        if (!wait(late->value)) {
            return;
        }
    }

    if (!download && faults.Take(action, FaultInjector::Kind::kMalformed)) {
        // Cut inside the envelope, so no JSON reader accepts it.
        std::string text = response.body.substr(0, response.body.size() / 2);
        response.set_content(text.empty() ? std::string("{\"status\":") : text,
                             "application/json;charset=UTF-8");
    }
    if (!upload && !download) {
        if (auto drop = faults.Take(action, FaultInjector::Kind::kDrop)) {
            // Announce the whole reply, send the first bytes, then let the connection fall.
            auto text = std::make_shared<std::string>(response.body);
            const size_t cut = static_cast<size_t>(std::min<int64_t>(drop->value, text->size()));
            const std::string type = response.get_header_value("Content-Type");
            response.body.clear();
            response.set_content_provider(
                text->size(), type, [text, cut](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset >= cut) {
                        return false;
                    }
                    return sink.write(text->data() + offset, cut - offset);
                });
        }
    }
}

void CloudService::RegisterRoutes() {
    auto route = [this](const char* action, auto member, auto& actions) {
        return [this, action, member, &actions](const httplib::Request& request,
                                                httplib::Response& response) {
            Serve(action, request, response, [&] { (actions.*member)(request, response); });
        };
    };
    // The network check fetches the web host's root.
    m_server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
        Serve("root", request, response, [&] {
            Json::Value data(Json::objectValue);
            data["server"] = "zorp-cloud";
            Reply::Ok(response, data);
        });
    });

    struct Entry {
        const char* path;
        const char* action;
        void (FolderActions::*member)(const httplib::Request&, httplib::Response&);
    };
    const Entry folderRoutes[] = {
        {"/qcd/filebackup/createPathAction.json", "createPath", &FolderActions::CreatePath},
        {"/qcd/filebackup/getSubFilesAction.json", "getSubFiles", &FolderActions::GetSubFiles},
        {"/qcd/filebackup/getFileAction.json", "getFile", &FolderActions::GetFile},
        {"/qcd/filebackup/deleteFileAction.json", "deleteFile", &FolderActions::DeleteFile},
        {"/qcd/getFileByNameAction.json", "getFileByName", &FolderActions::GetFileByName},
    };
    // Every action answers GET and POST: the client posts some and gets others, and the
    // parameters may stand in the query or in a form body either way.
    for (const auto& entry : folderRoutes) {
        m_server.Get(entry.path, route(entry.action, entry.member, m_folders));
        m_server.Post(entry.path, route(entry.action, entry.member, m_folders));
    }
    for (const char* method : {"GET", "POST"}) {
        auto init = route("uploadInit", &UploadActions::Init, m_uploads);
        auto lock = route("lockFile", &LockActions::Lock, m_locks);
        auto unlock = route("unlockFile", &LockActions::Unlock, m_locks);
        if (std::string(method) == "GET") {
            m_server.Get("/qcd/filebackup/breakPointUploadInitAction.json", init);
            m_server.Get("/qcd/fileshare/lockFileByAppAction.json", lock);
            m_server.Get("/qcd/fileshare/unlockFileByAppAction.json", unlock);
        } else {
            m_server.Post("/qcd/filebackup/breakPointUploadInitAction.json", init);
            m_server.Post("/qcd/fileshare/lockFileByAppAction.json", lock);
            m_server.Post("/qcd/fileshare/unlockFileByAppAction.json", unlock);
        }
    }
    m_server.Post("/qcd/filebackup/breakPointUploadAction.json",
                  [this](const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader) {
                      Serve(kUploadAction, request, response,
                            [&] { m_uploads.Chunk(request, response, reader); });
                  });
    // GET serves HEAD as well (the library answers it without the body).
    m_server.Get("/qcd/fileshare/downloadFileAction.json",
                 route(kDownloadAction, &DownloadAction::Get, m_download));

    struct AdminEntry {
        const char* path;
        void (AdminActions::*member)(const httplib::Request&, httplib::Response&);
    };
    const AdminEntry adminRoutes[] = {
        {"/admin/fault", &AdminActions::Fault},
        {"/admin/clear", &AdminActions::Clear},
        {"/admin/requests", &AdminActions::Requests},
        {"/admin/state", &AdminActions::State},
        {"/admin/plant", &AdminActions::Plant},
    };
    for (const auto& entry : adminRoutes) {
        auto handler = [this, member = entry.member](const httplib::Request& request,
                                                     httplib::Response& response) {
            if (!AdminActions::IsLoopbackPeer(request)) {
                response.status = 403;
                return;
            }
            (m_admin.*member)(request, response);
        };
        m_server.Get(entry.path, handler);
        m_server.Post(entry.path, handler);
    }
}
