// Messages per second through the link, over a real loopback connection to a real
// ClientInterfaceMgr:
//   page to process: upload requests of one path each (In::kUpload), from the page's send until
//                    the dispatcher window has received the 0x854 of every one;
//   process to page: upload progress updates (pushUpldProgress) from the producer's call
//                    until the page has read every entry. Updates queued while the server
//                    thread is busy leave in one message; the "messages" counter shows how
//                    many messages carried them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkMessageSplitter.h"
#include "link/LinkProtocol.h"
#include "link/LinkRequestEncoder.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "platform/TcpConnection.h"
#include "upload/FileBackupMgr.h"

namespace {

class CountingWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_C2L_UPLD_REQ) {
            ++uploadRequests;
        }
        return 0;
    }
    int64_t uploadRequests = 0;
};

// A server and a connected page that has said hello.
struct Link {
    ClientInterfaceMgr mgr;
    std::unique_ptr<platform::TcpConnection> page;

    bool Open(platform::WindowHandle window) {
        logging::SetMinStderrSeverity(logging::LOG_ERROR);
        mgr.SetNotifyWindow(window);
        mgr.SetListenPort(0);
        mgr.start();
        if (!mgr.WaitForListening(5000)) {
            return false;
        }
        page = platform::TcpConnection::ConnectLoopback(mgr.GetListenPort());
        if (page) {
            page->SetReceiveTimeout(10000);  // a lost update ends the run instead of hanging it
        }
        if (!page || !page->SendAll(LinkProtocol::RequestText(
                         LinkProtocol::EncodeRequest(LinkProtocol::In::kHello)))) {
            return false;
        }
        char reply[16];
        return page->Receive(reply, sizeof(reply)).status == platform::TcpConnection::ReceiveResult::kData;
    }
    ~Link() {
        mgr.SetNotifyWindow(platform::kNoWindow);
        mgr.Shutdown(5000);
    }
};

void BM_PageToProcess_UploadRequests(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    platform::PlainMessageLoop loop;
    CountingWindow window;
    Link link;
    if (!link.Open(window.Attach())) {
        state.SkipWithError("link did not open");
        return;
    }
    std::vector<std::string> messages;
    for (int i = 0; i < batch; ++i) {
        const std::string path = "/home/user/data/file-" + std::to_string(100000 + i) + ".bin";
        messages.push_back(
            LinkProtocol::RequestText(LinkProtocol::EncodeUploads({{5, 0, {path}}})));
    }
    for (auto _ : state) {
        window.uploadRequests = 0;
        for (const auto& message : messages) {  // one send per message, as a page writes them
            link.page->SendAll(message);
        }
        if (!loop.RunUntil([&] { return window.uploadRequests == batch; }, 30000)) {
            state.SkipWithError("requests went missing");
            break;
        }
        state.PauseTiming();
        FileBackupMgr::GetInstance().reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PageToProcess_UploadRequests)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProcessToPage_Progress(benchmark::State& state) {
    const int64_t batch = state.range(0);
    Link link;
    if (!link.Open(platform::kNoWindow)) {
        state.SkipWithError("link did not open");
        return;
    }
    int64_t totalMessages = 0;
    for (auto _ : state) {
        std::atomic<int64_t> entries{0};
        int64_t messages = 0;
        std::thread reader([&] {
            LinkMessageSplitter splitter;
            std::vector<char> buffer(256 * 1024);
            while (entries < batch) {
                auto received = link.page->Receive(buffer.data(), buffer.size());
                if (received.status != platform::TcpConnection::ReceiveResult::kData) {
                    return;
                }
                for (const auto& message : splitter.Feed(std::string_view(buffer.data(), received.bytes)).messages) {
                    ++messages;
                    size_t at = 0;
                    while ((at = message.find("\"position\":", at)) != std::string::npos) {
                        ++entries;
                        ++at;
                    }
                }
            }
        });
        for (int64_t i = 0; i < batch; ++i) {
            link.mgr.pushUpldProgress(4242, 77, 1 << 30, i * 131072);
        }
        reader.join();
        totalMessages += messages;
        if (entries < batch) {
            state.SkipWithError("updates went missing");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
    state.counters["messages"] = benchmark::Counter(static_cast<double>(totalMessages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessToPage_Progress)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
