// zorp-page: plays the cloud disk's web page against a running zorp, over the local link.
//
// A session is what a page does when it opens: connect, say hello, hand over its cookies and
// its proxy (which releases zorp's start-up wait), then send one command. Afterwards it can
// watch what zorp reports and wait for a given report. Closing the session is the page going
// away: zorp then quits, as it does when the user closes the page.
#include <CLI/CLI.hpp>
#include <json/reader.h>
#include <json/value.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PageSession.h"
#include "core/CommonUtils.h"
#include "link/ClientInterfaceMgr.h"
#include "platform/SystemInfo.h"

namespace {

enum ExitCode {
    kOk = 0,
    kUsage = 1,
    kNoLink = 2,    // could not connect, or zorp did not answer the hello
    kTimedOut = 3,  // the awaited message did not come in time
    kLinkClosed = 4,  // zorp closed the link before the awaited message
};

struct Settings {
    int port = ClientInterfaceMgr::ConfiguredPort();
    double connectTimeout = 10;
    std::vector<std::string> cookies;
    std::string cookieDomain = "web.localhost";
    std::string proxy;
    bool noHandshake = false;
    bool watch = false;
    std::vector<int> waitFor;
    int count = 1;
    double timeout = 30;
    bool fromStdin = false;
};

uint32_t Ms(double seconds) { return seconds <= 0 ? 0 : static_cast<uint32_t>(seconds * 1000); }

// "name=value" pairs from the options, else from ZORP_PAGE_COOKIES ("a=1; b=2").
Json::Value CookieValues(const Settings& settings) {
    std::vector<std::string> pairs = settings.cookies;
    if (pairs.empty()) {
        std::string env = platform::EnvOr("ZORP_PAGE_COOKIES", "");
        size_t start = 0;
        while (start < env.size()) {
            size_t end = env.find(';', start);
            std::string item = env.substr(start, end == std::string::npos ? std::string::npos : end - start);
            item.erase(0, item.find_first_not_of(' '));
            if (!item.empty()) {
                pairs.push_back(item);
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
    Json::Value values(Json::arrayValue);
    for (const auto& pair : pairs) {
        size_t eq = pair.find('=');
        Json::Value cookie;
        cookie["domain"] = settings.cookieDomain;
        cookie["name"] = pair.substr(0, eq);
        cookie["value"] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        cookie["path"] = "/";
        values.append(cookie);
    }
    return values;
}

Json::Value TypeOnly(int type) {
    Json::Value message;
    message["type"] = type;
    return message;
}

// "FID:NAME[:SIZE]" of the copy and batch commands. The name may itself hold colons.
bool ParseItem(const std::string& text, bool withSize, Json::Value* item) {
    size_t first = text.find(':');
    if (first == std::string::npos) {
        return false;
    }
    auto fid = CommonUtils::StringToInt64(text.substr(0, first));
    std::string rest = text.substr(first + 1);
    int64_t size = 0;
    if (withSize) {
        size_t last = rest.rfind(':');
        if (last == std::string::npos) {
            return false;
        }
        auto parsed = CommonUtils::StringToInt64(rest.substr(last + 1));
        if (!parsed) {
            return false;
        }
        size = *parsed;
        rest.resize(last);
    }
    if (!fid || rest.empty()) {
        return false;
    }
    (*item)["fid"] = Json::Int64(*fid);
    (*item)["name"] = rest;
    if (withSize) {
        (*item)["size"] = Json::Int64(size);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    CLI::App app{
        "zorp-page plays the cloud disk's web page against a running zorp over the local link.\n"
        "\n"
        "A session connects to 127.0.0.1:PORT, sends the hello {\"type\":0} and waits for zorp's\n"
        "answer, sends the cookies {\"type\":2} and the proxy {\"type\":12} (which releases zorp's\n"
        "start-up wait), then the one command given. With --watch every message zorp sends is\n"
        "printed as one JSON line; with --wait-for it waits for a message type and prints it.\n"
        "Leaving closes the link, and zorp takes that as the page going away: it quits.\n"
        "\n"
        "Exit status: 0 done, 1 usage, 2 no link (nobody listens, or no answer to the hello,\n"
        "e.g. because another page holds the link), 3 the awaited message did not come in time,\n"
        "4 zorp closed the link first.\n"
        "\n"
        "Examples:\n"
        "  zorp-page --wait-for 3 upload --pid 12 ~/Photos ~/notes.txt\n"
        "  zorp-page --watch --timeout 0 hello\n"
        "  zorp-page -c QSESSIONID=abc batch-download --path ~/Down --file 77:a.txt:1024 --folder 78:Pics\n"
        "  zorp-page raw '{\"type\":3}' '{\"type\":4}'\n"
        "  zorp-page quit",
        "zorp-page"};
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();

    app.add_option("-p,--port", settings.port, "Link port (default: $ZORP_LINK_PORT, else 23175)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--connect-timeout", settings.connectTimeout,
                   "Seconds to keep trying to connect while zorp starts");
    app.add_option("-c,--cookie", settings.cookies,
                   "Cookie NAME=VALUE to hand over (repeatable; default: $ZORP_PAGE_COOKIES, \"a=1; b=2\")");
    app.add_option("--cookie-domain", settings.cookieDomain, "Domain written into the cookie objects");
    app.add_option("--proxy", settings.proxy, "Proxy text of the type-12 message (empty: none)");
    app.add_flag("--no-handshake", settings.noHandshake,
                 "Send the command alone, without hello, cookies and proxy");
    app.add_flag("-w,--watch", settings.watch, "Print every message zorp sends as one JSON line");
    app.add_option("--wait-for", settings.waitFor,
                   "After the command, wait for a message of this type (repeat for any of several)");
    app.add_option("--count", settings.count, "How many such messages to wait for")->check(CLI::PositiveNumber);
    app.add_option("-t,--timeout", settings.timeout,
                   "Seconds for --wait-for, and how long --watch keeps watching (0: until zorp closes the link)");
    app.add_flag("--stdin", settings.fromStdin,
                 "After the command, send each line of standard input as one message");

    std::vector<Json::Value> messages;  // what the chosen command sends

    auto* hello = app.add_subcommand("hello", "Only the session start (hello, cookies, proxy)");
    (void)hello;

    int64_t pid = 0;
    int share = 0;
    std::vector<std::string> paths;
    auto* upload = app.add_subcommand("upload", "Upload local files or folders into a cloud folder (type 8)");
    upload->add_option("--pid", pid, "Cloud folder id that receives them")->required();
    upload->add_option("--share", share, "1 when the cloud folder is a shared space");
    upload->add_option("paths", paths, "Local files or folders")->required();

    int64_t size = 0;
    std::string url, path;
    auto* download = app.add_subcommand("download", "Download one file from a URL to a local path (type 7)");
    download->add_option("--size", size, "File size in bytes");
    download->add_option("--url", url, "Download URL")->required();
    download->add_option("--path", path, "Local target path (absolute)")->required();

    std::vector<std::string> files, folders;
    auto* batch = app.add_subcommand("batch-download", "Download cloud files and folders into a local folder (type 11)");
    batch->add_option("--path", path, "Local target folder (absolute)")->required();
    batch->add_option("--file", files, "File FID:NAME:SIZE (repeatable)");
    batch->add_option("--folder", folders, "Folder FID:NAME (repeatable)");
    batch->add_option("--share", share, "Share flag of the items");

    std::vector<std::string> fids;
    bool remove = false;
    auto* cancel = app.add_subcommand("cancel", "Cancel uploads by cloud file id (type 9)");
    cancel->add_option("fids", fids, "Cloud file ids")->required();
    cancel->add_flag("--remove", remove, "Ask zorp to report the ids it does not hold");

    int64_t fid = 0;
    std::string name, hash, token = "null";
    auto* edit = app.add_subcommand("edit", "Open a cloud file for local editing (type 10)");
    edit->add_option("--fid", fid, "Cloud file id")->required();
    edit->add_option("--pid", pid, "Cloud folder id")->required();
    edit->add_option("--name", name, "File name")->required();
    edit->add_option("--size", size, "File size in bytes");
    edit->add_option("--share", share, "Share flag");
    edit->add_option("--hash", hash, "The file's hash as the page knows it");
    edit->add_option("--token", token, "Token (any JSON), echoed back in the progress and result messages");

    auto* editCancel = app.add_subcommand("edit-cancel", "Cancel the local-edit download of a file (type 13)");
    editCancel->add_option("--fid", fid, "Cloud file id")->required();
    editCancel->add_option("--name", name, "File name")->required();

    auto* copy = app.add_subcommand("copy", "Copy cloud files to the clipboard for pasting (type 15)");
    copy->add_option("--file", files, "File FID:NAME:SIZE (repeatable)");
    copy->add_option("--folder", folders, "Folder FID:NAME (repeatable)");
    copy->add_option("--share", share, "Share flag of the items");

    struct Plain {
        const char* name;
        const char* help;
        int type;
    };
    const Plain plain[] = {
        {"quit", "Ask zorp to quit (type 1)", 1},
        {"show-hide", "Show or hide the floating window (type 3)", 3},
        {"show-manager", "Show the transfer manager (type 4)", 4},
        {"offline", "Go offline (type 5)", 5},
        {"online", "Come back online, handing over the cookies again (type 6)", 6},
        {"open-edit-dir", "Open the local-edit folder (type 14)", 14},
        {"backup-settings", "Show the automatic-backup settings (type 16)", 16},
    };
    std::vector<std::pair<CLI::App*, int>> plainCommands;
    for (const auto& p : plain) {
        plainCommands.emplace_back(app.add_subcommand(p.name, p.help), p.type);
    }

    std::vector<std::string> rawTexts;
    auto* raw = app.add_subcommand("raw", "Send messages given as JSON text, as they are (any type)");
    raw->add_option("json", rawTexts, "One message per argument")->required();

    CLI11_PARSE(app, argc, argv);

    // Build the command's messages.
    std::string usageError;
    if (upload->parsed()) {
        Json::Value file;
        file["pid"] = Json::Int64(pid);
        file["share"] = share;
        for (const auto& p : paths) {
            file["paths"].append(p);
        }
        Json::Value message = TypeOnly(8);
        message["files"].append(file);
        messages.push_back(message);
    } else if (download->parsed()) {
        Json::Value file;
        file["size"] = Json::Int64(size);
        file["url"] = url;
        file["path"] = path;
        Json::Value message = TypeOnly(7);
        message["files"].append(file);
        messages.push_back(message);
    } else if (batch->parsed() || copy->parsed()) {
        Json::Value items(Json::arrayValue);
        for (const auto& text : files) {
            Json::Value item;
            if (!ParseItem(text, true, &item)) {
                usageError = "--file wants FID:NAME:SIZE, not " + text;
            }
            item["type"] = 1;
            item["share"] = share;
            items.append(item);
        }
        for (const auto& text : folders) {
            Json::Value item;
            if (!ParseItem(text, false, &item)) {
                usageError = "--folder wants FID:NAME, not " + text;
            }
            item["type"] = 0;
            item["share"] = share;
            items.append(item);
        }
        Json::Value group;
        if (batch->parsed()) {
            group["path"] = path;
        }
        group["files"] = items;
        Json::Value message = TypeOnly(batch->parsed() ? 11 : 15);
        message["files"].append(group);
        messages.push_back(message);
    } else if (cancel->parsed()) {
        Json::Value group;
        for (const auto& id : fids) {
            group["fids"].append(id);
        }
        group["remove"] = remove ? 1 : 0;
        Json::Value message = TypeOnly(9);
        message["files"].append(group);
        messages.push_back(message);
    } else if (edit->parsed()) {
        Json::Value file;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(token.data(), token.data() + token.size(), &file["token"], &errors)) {
            usageError = "--token is not JSON: " + token;
        }
        file["share"] = share;
        file["size"] = Json::Int64(size);
        file["pid"] = Json::Int64(pid);
        file["fid"] = Json::Int64(fid);
        file["name"] = name;
        file["hash"] = hash;
        Json::Value message = TypeOnly(10);
        message["files"].append(file);
        messages.push_back(message);
    } else if (editCancel->parsed()) {
        Json::Value file;
        file["name"] = name;
        file["fid"] = Json::Int64(fid);
        Json::Value message = TypeOnly(13);
        message["files"].append(file);
        messages.push_back(message);
    }
    for (const auto& [command, type] : plainCommands) {
        if (command->parsed()) {
            Json::Value message = TypeOnly(type);
            if (type == 6) {
                message["values"] = CookieValues(settings);
            }
            messages.push_back(message);
        }
    }
    if (!usageError.empty()) {
        std::cerr << "zorp-page: " << usageError << "\n";
        return kUsage;
    }

    PageSession session;
    session.SetWatch(settings.watch);
    std::string error;
    if (!session.Connect(static_cast<uint16_t>(settings.port), Ms(settings.connectTimeout), &error)) {
        std::cerr << "zorp-page: can't connect to 127.0.0.1:" << settings.port << ": " << error << "\n";
        return kNoLink;
    }

    if (!settings.noHandshake) {
        session.Send(TypeOnly(0));
        if (!session.WaitFor({0}, std::max<uint32_t>(Ms(settings.connectTimeout), 1000))) {
            std::cerr << "zorp-page: no answer to the hello on port " << settings.port
                      << " (is another page connected?)\n";
            return kNoLink;
        }
        Json::Value cookies = TypeOnly(2);
        cookies["values"] = CookieValues(settings);
        session.Send(cookies);
        Json::Value proxy = TypeOnly(12);
        proxy["values"] = settings.proxy;
        session.Send(proxy);
    }

    for (const auto& message : messages) {
        session.Send(message);
    }
    for (const auto& text : rawTexts) {
        session.SendText(text);
    }
    if (settings.fromStdin) {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty()) {
                session.SendText(line);
            }
        }
    }

    if (!settings.waitFor.empty()) {
        for (int i = 0; i < settings.count; ++i) {
            auto message = session.WaitFor(settings.waitFor, Ms(settings.timeout));
            if (!message) {
                bool closed = session.IsClosed();
                std::cerr << "zorp-page: " << (closed ? "link closed" : "timed out") << " before a message of type";
                for (int type : settings.waitFor) {
                    std::cerr << " " << type;
                }
                std::cerr << " arrived\n";
                return closed ? kLinkClosed : kTimedOut;
            }
            if (!settings.watch) {  // a watcher has printed it already
                std::printf("%s\n", PageSession::OneLine(*message).c_str());
                std::fflush(stdout);
            }
        }
    } else if (settings.watch) {
        // Watch until the time passes or zorp closes the link; messages print as they come.
        while (session.WaitFor({-2}, Ms(settings.timeout))) {
        }
    }
    return kOk;
}
