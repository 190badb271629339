// zorp-page: plays the cloud disk's web page against a running zorp, over the local link.
//
// A session is what a page does when it opens: connect, say hello, hand over its cookies and
// its proxy (which releases zorp's start-up wait), then send one command. Afterwards it can
// watch what zorp reports and wait for a given report. Closing the session is the page going
// away: zorp then quits, as it does when the user closes the page.
#include <CLI/CLI.hpp>
#include <fmt/format.h>
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
#include "link/LinkProtocol.h"
#include "link/LinkRequestEncoder.h"
#include "platform/SystemInfo.h"

namespace {

using LinkProtocol::In;
using LinkProtocol::Number;
using LinkProtocol::Out;

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
    bool print = false;
};

uint32_t Ms(double seconds) { return seconds <= 0 ? 0 : static_cast<uint32_t>(seconds * 1000); }

// "name=value" pairs from the options, else from ZORP_PAGE_COOKIES ("a=1; b=2").
std::vector<LinkProtocol::Cookie> Cookies(const Settings& settings) {
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
    std::vector<LinkProtocol::Cookie> cookies;
    for (const auto& pair : pairs) {
        size_t eq = pair.find('=');
        cookies.push_back({settings.cookieDomain, pair.substr(0, eq),
                           eq == std::string::npos ? "" : pair.substr(eq + 1), "/"});
    }
    return cookies;
}

// A cloud item of the copy and batch commands.
struct Item {
    int64_t fid = 0;
    std::string name;
    int64_t size = 0;
    int32_t type = 0;  // LinkProtocol::kFileItem, or 0 for a folder
};

// "FID:NAME[:SIZE]" of the copy and batch commands. The name may itself hold colons.
bool ParseItem(const std::string& text, bool withSize, Item* item) {
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
    item->fid = *fid;
    item->name = rest;
    item->size = size;
    return true;
}

// A subcommand's help, with the type of the message it sends.
std::string Help(const std::string& text, In type) {
    return fmt::format("{} (type {})", text, Number(type));
}

std::string Description() {
    return fmt::format(
        "zorp-page plays the cloud disk's web page against a running zorp over the local link.\n"
        "\n"
        "A session connects to 127.0.0.1:PORT, sends the hello {{\"type\":{}}} and waits for\n"
        "zorp's answer, sends the cookies {{\"type\":{}}} and the proxy {{\"type\":{}}} (which\n"
        "releases zorp's start-up wait), then the one command given. With --watch every message\n"
        "zorp sends is printed as one JSON line; with --wait-for it waits for a message type and\n"
        "prints it.\n"
        "Leaving closes the link, and zorp takes that as the page going away: it quits.\n"
        "\n"
        "Exit status: 0 done, 1 usage, 2 no link (nobody listens, or no answer to the hello,\n"
        "e.g. because another page holds the link), 3 the awaited message did not come in time,\n"
        "4 zorp closed the link first.\n"
        "\n"
        "Examples:\n"
        "  zorp-page --wait-for {} upload --pid 12 ~/Photos ~/notes.txt\n"
        "  zorp-page --watch --timeout 0 hello\n"
        "  zorp-page -c QSESSIONID=abc batch-download --path ~/Down --file 77:a.txt:1024 "
        "--folder 78:Pics\n"
        "  zorp-page raw '{{\"type\":{}}}' '{{\"type\":{}}}'\n"
        "  zorp-page quit",
        Number(In::kHello), Number(In::kCookies), Number(In::kProxy), Number(Out::kUploadsFinished),
        Number(In::kShowHide), Number(In::kShowManager));
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    CLI::App app{Description(), "zorp-page"};
    app.set_version_flag("--version", std::string("zorp-page ") + ZORP_VERSION);
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();

    app.add_option("-p,--port", settings.port, "Link port (default: $ZORP_LINK_PORT, else 23175)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--connect-timeout", settings.connectTimeout,
                   "Seconds to keep trying to connect while zorp starts");
    app.add_option("-c,--cookie", settings.cookies,
                   "Cookie NAME=VALUE to hand over (repeatable; default: $ZORP_PAGE_COOKIES, \"a=1; b=2\")");
    app.add_option("--cookie-domain", settings.cookieDomain, "Domain written into the cookie objects");
    app.add_option(
        "--proxy", settings.proxy,
        fmt::format("Proxy text of the type-{} message (empty: none)", Number(In::kProxy)));
    app.add_flag("--no-handshake", settings.noHandshake,
                 "Send the command alone, without hello, cookies and proxy");
    app.add_flag("-w,--watch", settings.watch, "Print every message zorp sends as one JSON line");
    app.add_option("--wait-for", settings.waitFor,
                   "After the command, wait for a message of this type (repeat for any of several)");
    app.add_option("--count", settings.count, "How many such messages to wait for")->check(CLI::PositiveNumber);
    app.add_option("-t,--timeout", settings.timeout,
                   "Seconds for --wait-for, and how long --watch keeps watching (0: until zorp closes the link)");
    app.add_flag("--print", settings.print,
                 "Print the command's messages as JSON lines instead of sending them (lines for the --stdin of a session)");
    app.add_flag("--stdin", settings.fromStdin,
                 "After the command, send each line of standard input as one message");

    std::vector<Json::Value> messages;  // what the chosen command sends

    auto* hello = app.add_subcommand("hello", "Only the session start (hello, cookies, proxy)");
    (void)hello;

    int64_t pid = 0;
    int share = 0;
    std::vector<std::string> paths;
    auto* upload = app.add_subcommand(
        "upload", Help("Upload local files or folders into a cloud folder", In::kUpload));
    upload->add_option("--pid", pid, "Cloud folder id that receives them")->required();
    upload->add_option("--share", share, "1 when the cloud folder is a shared space");
    upload->add_option("paths", paths, "Local files or folders")->required();

    int64_t size = 0;
    std::string path;
    std::vector<std::string> urls, targets;
    std::vector<int64_t> sizes;
    auto* download = app.add_subcommand(
        "download",
        Help("Download files from URLs to local paths (repeat --url, --path and --size; the "
             "n-th of each belong together)",
             In::kDownload));
    download->add_option("--size", sizes, "File size in bytes (0 or left out: unknown)");
    download->add_option("--url", urls, "Download URL")->required();
    download->add_option("--path", targets, "Local target path (absolute)")->required();

    std::vector<std::string> files, folders;
    auto* batch = app.add_subcommand(
        "batch-download",
        Help("Download cloud files and folders into a local folder", In::kBatchDownload));
    batch->add_option("--path", path, "Local target folder (absolute)")->required();
    batch->add_option("--file", files, "File FID:NAME:SIZE (repeatable)");
    batch->add_option("--folder", folders, "Folder FID:NAME (repeatable)");
    batch->add_option("--share", share, "Share flag of the items");

    std::vector<int64_t> fids;
    bool remove = false;
    auto* cancel =
        app.add_subcommand("cancel", Help("Cancel uploads by cloud file id", In::kCancelUpload));
    cancel->add_option("fids", fids, "Cloud file ids")->required();
    cancel->add_flag("--remove", remove, "Ask zorp to report the ids it does not hold");

    int64_t fid = 0;
    std::string name, hash, token = "null";
    auto* edit =
        app.add_subcommand("edit", Help("Open a cloud file for local editing", In::kLocalEdit));
    edit->add_option("--fid", fid, "Cloud file id")->required();
    edit->add_option("--pid", pid, "Cloud folder id")->required();
    edit->add_option("--name", name, "File name")->required();
    edit->add_option("--size", size, "File size in bytes");
    edit->add_option("--share", share, "Share flag");
    edit->add_option("--hash", hash, "The file's hash as the page knows it");
    edit->add_option("--token", token, "Token (any JSON), echoed back in the progress and result messages");

    auto* editCancel = app.add_subcommand(
        "edit-cancel", Help("Cancel the local-edit download of a file", In::kEditNames));
    editCancel->add_option("--fid", fid, "Cloud file id")->required();
    editCancel->add_option("--name", name, "File name")->required();

    auto* copy = app.add_subcommand(
        "copy", Help("Copy cloud files to the clipboard for pasting", In::kClipboardCopy));
    copy->add_option("--file", files, "File FID:NAME:SIZE (repeatable)");
    copy->add_option("--folder", folders, "Folder FID:NAME (repeatable)");
    copy->add_option("--share", share, "Share flag of the items");

    struct Plain {
        const char* name;
        const char* help;
        In type;
    };
    const Plain plain[] = {
        {"quit", "Ask zorp to quit", In::kQuit},
        {"show-hide", "Show or hide the floating window", In::kShowHide},
        {"show-manager", "Show the transfer manager", In::kShowManager},
        {"offline", "Go offline", In::kGoOffline},
        {"online", "Come back online, handing over the cookies again", In::kGoOnline},
        {"open-edit-dir", "Open the local-edit folder", In::kOpenEditDir},
        {"backup-settings", "Show the automatic-backup settings", In::kShowBackupConfig},
    };
    std::vector<std::pair<CLI::App*, In>> plainCommands;
    for (const auto& p : plain) {
        plainCommands.emplace_back(app.add_subcommand(p.name, Help(p.help, p.type)), p.type);
    }

    std::vector<std::string> rawTexts;
    auto* raw = app.add_subcommand("raw", "Send messages given as JSON text, as they are (any type)");
    raw->add_option("json", rawTexts, "One message per argument")->required();

    CLI11_PARSE(app, argc, argv);

    // Build the command's messages.
    std::string usageError;
    if (upload->parsed()) {
        messages.push_back(LinkProtocol::EncodeUploads({{pid, share, paths}}));
    } else if (download->parsed()) {
        if (urls.size() != targets.size() || sizes.size() > urls.size()) {
            usageError = "download wants one --path per --url, and at most one --size for each";
        }
        std::vector<LinkProtocol::DownloadObject> objects;
        for (size_t i = 0; i < urls.size() && i < targets.size(); ++i) {
            objects.push_back({i < sizes.size() ? sizes[i] : 0, urls[i], targets[i]});
        }
        messages.push_back(LinkProtocol::EncodeDownloads(objects));
    } else if (batch->parsed() || copy->parsed()) {
        // Files first, then folders, each in the order given.
        std::vector<Item> items;
        for (const auto& text : files) {
            Item item;
            if (!ParseItem(text, true, &item)) {
                usageError = "--file wants FID:NAME:SIZE, not " + text;
            }
            item.type = LinkProtocol::kFileItem;
            items.push_back(item);
        }
        for (const auto& text : folders) {
            Item item;
            if (!ParseItem(text, false, &item)) {
                usageError = "--folder wants FID:NAME, not " + text;
            }
            items.push_back(item);
        }
        if (batch->parsed()) {
            LinkProtocol::BatchObject object{path, {}};
            for (const auto& item : items) {
                object.files.push_back({item.fid, item.name, item.type, share, item.size});
            }
            messages.push_back(LinkProtocol::EncodeBatchDownloads({object}));
        } else {
            std::vector<LinkProtocol::ClipboardItem> copied;
            for (const auto& item : items) {
                copied.push_back({item.fid, item.name, share, item.type, item.size});
            }
            messages.push_back(LinkProtocol::EncodeClipboardCopy(copied));
        }
    } else if (cancel->parsed()) {
        messages.push_back(LinkProtocol::EncodeCancels({{fids, remove ? 1 : 0}}));
    } else if (edit->parsed()) {
        Json::Value parsed;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(token.data(), token.data() + token.size(), &parsed, &errors)) {
            usageError = "--token is not JSON: " + token;
        }
        messages.push_back(
            LinkProtocol::EncodeLocalEdits({{token, share, size, pid, fid, name, hash}}));
    } else if (editCancel->parsed()) {
        messages.push_back(LinkProtocol::EncodeEditNames({{name, fid}}));
    }
    for (const auto& [command, type] : plainCommands) {
        if (command->parsed()) {
            messages.push_back(type == In::kGoOnline
                                   ? LinkProtocol::EncodeCookies(type, Cookies(settings))
                                   : LinkProtocol::EncodeRequest(type));
        }
    }
    if (!usageError.empty()) {
        std::cerr << "zorp-page: " << usageError << "\n";
        return kUsage;
    }

    if (settings.print) {
        for (const auto& message : messages) {
            std::printf("%s\n", LinkProtocol::RequestText(message).c_str());
        }
        return kOk;
    }

    PageSession session;
    session.SetWatch(settings.watch);
    std::string error;
    if (!session.Connect(static_cast<uint16_t>(settings.port), Ms(settings.connectTimeout), &error)) {
        std::cerr << "zorp-page: can't connect to 127.0.0.1:" << settings.port << ": " << error << "\n";
        return kNoLink;
    }

    if (!settings.noHandshake) {
        session.Send(LinkProtocol::EncodeRequest(In::kHello));
        if (!session.WaitFor({Out::kHelloReply},
                             std::max<uint32_t>(Ms(settings.connectTimeout), 1000))) {
            std::cerr << "zorp-page: no answer to the hello on port " << settings.port
                      << " (is another page connected?)\n";
            return kNoLink;
        }
        session.Send(LinkProtocol::EncodeCookies(In::kCookies, Cookies(settings)));
        session.Send(LinkProtocol::EncodeProxy(settings.proxy));
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
        // The command line names the types by their numbers.
        std::vector<Out> awaited;
        for (int type : settings.waitFor) {
            awaited.push_back(static_cast<Out>(type));
        }
        for (int i = 0; i < settings.count; ++i) {
            auto message = session.WaitFor(awaited, Ms(settings.timeout));
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
        session.Watch(Ms(settings.timeout));
    }
    return kOk;
}
