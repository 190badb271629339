#pragma once

#include <cstdint>
#include <string>

namespace Json {
class Value;
}

// What the workers below the link tell the web page while they run: upload and folder
// notices and the local-edit download's progress and result. The link's message server
// implements it and installs itself at start-up; until then (and in tools and tests that
// run no link) the notices go nowhere. Callable from any thread.
class IPageNotifier {
public:
    virtual ~IPageNotifier() = default;

    virtual void pushUpldCreated(int64_t fid, int64_t pid, const Json::Value& info) = 0;
    virtual void pushUpldProgress(int64_t fid, int64_t pid, int64_t size, int64_t position) = 0;
    virtual void pushUpldComplete(int64_t fid, int64_t pid, const Json::Value& info) = 0;
    virtual void pushUpldRemoved(int64_t fid, int64_t pid) = 0;
    virtual void pushFolderCreated(int64_t fid, int64_t pid, const Json::Value& info) = 0;
    // `token` is the stored token text of the edit request (compact JSON).
    virtual void pushEditDnldProgress(int64_t fid, int64_t size, int64_t position,
                                      const std::string& name, const std::string& token) = 0;
    // `result` is the download's end state: completed (2) is reported as done, anything else
    // as failed.
    virtual void pushEditDnldResult(int64_t fid, const std::string& name, const std::string& token,
                                    int result) = 0;

    // The installed notifier, or one that drops everything.
    static IPageNotifier& Get();
    // Installs `notifier` (null: back to the one that drops everything). The notifier must
    // outlive every worker that may still report.
    static void Install(IPageNotifier* notifier);
};
