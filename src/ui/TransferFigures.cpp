#include "ui/TransferFigures.h"

#include <algorithm>
#include <vector>

#include "core/MultiLanguage.h"
#include "download/DownloadQueue.h"
#include "ui/TransferProgressText.h"
#include "upload/UploadQueue.h"

namespace {

constexpr uint32_t kTextTransferring = 111;  // "Transferring"
constexpr uint32_t kTextFileLeft = 141;      // "  File Left:"
constexpr uint32_t kTextTimeLeft = 143;      // "Time Left:"

uint64_t Remaining(int64_t size, int64_t done) {
    return size > done ? static_cast<uint64_t>(size - done) : 0;
}

// One direction's running tasks and what is left, gathered from its queue's lists.
template <typename Estimator, typename Tasks, typename SizeOf, typename DoneOf, typename IdOf>
void Gather(TransferFigures::Direction& out, Estimator& estimator, const Tasks& tasks,
            SizeOf sizeOf, DoneOf doneOf, IdOf idOf, uint64_t nowMs) {
    std::vector<BatchTimeEstimator::Running> running;
    for (const auto& task : tasks) {
        out.bytesLeft += Remaining(sizeOf(*task), doneOf(*task));
        if (!task->running) {
            continue;
        }
        ++out.running;
        out.bytesPerSecond += task->speed;
        out.done += doneOf(*task);
        out.total += sizeOf(*task);
        running.push_back({idOf(*task), doneOf(*task), sizeOf(*task), task->speed});
    }
    estimator.Observe(nowMs, running, out.bytesPerSecond);
    out.timeLeft = estimator.EstimateLeft(static_cast<uint64_t>(std::max(out.left, 0)),
                                          out.bytesLeft,
                                          static_cast<uint32_t>(std::max(out.running, 1)));
}

}  // namespace

void TransferFigures::Observe(const UploadQueue* uploads, const DownloadQueue* downloads,
                              uint64_t nowMs) {
    m_up = {};
    m_down = {};
    if (uploads) {
        m_up.left = uploads->GetUploadCount();
        for (const auto& waiting : uploads->GetWaitingList()) {
            m_up.bytesLeft += Remaining(waiting.size, waiting.breakPoint > 1 ? waiting.breakPoint : 0);
        }
        Gather(m_up, m_upEstimator, uploads->GetTaskList(),
               [](const UpldTaskInfo& t) { return t.fileSize; },
               // A restored upload's break point of 1 only means "ask the server".
               [](const UpldTaskInfo& t) { return t.breakPoint > 1 ? t.breakPoint : int64_t{0}; },
               [](const UpldTaskInfo& t) { return static_cast<int64_t>(t.taskIndex); }, nowMs);
    }
    if (downloads) {
        m_down.left = downloads->GetDownloadCount();
        for (const auto& waiting : downloads->GetWaitingList()) {
            m_down.bytesLeft += Remaining(waiting.size, waiting.position);
        }
        Gather(m_down, m_downEstimator, downloads->GetTaskList(),
               [](const DnldTaskInfo& t) { return t.size; },
               [](const DnldTaskInfo& t) { return t.position; },
               [](const DnldTaskInfo& t) { return static_cast<int64_t>(t.taskId); }, nowMs);
    }
}

void TransferFigures::ResetMeasurements() {
    m_upEstimator.Reset();
    m_downEstimator.Reset();
}

std::string TransferFigures::SpeedText(uint64_t bytesPerSecond) {
    std::string text = TransferProgressText::Speed(bytesPerSecond);
    if (!text.empty() && text.back() == ')') {
        text.pop_back();
    }
    return text;
}

std::string TransferFigures::Text(const Direction& direction) {
    const CMultiLanguageMgr& language = CMultiLanguageMgr::GetInstance();
    std::string text = language.LoadString(kTextTransferring) + " " +
                       std::to_string(direction.running) + language.LoadString(kTextFileLeft) +
                       std::to_string(direction.left) + "\n" + SpeedText(direction.bytesPerSecond);
    if (direction.total > 0) {
        text += "   " + TransferProgressText::Size(direction.done, "/") +
                TransferProgressText::Size(direction.total, "");
    }
    text += "\n" + language.LoadString(kTextTimeLeft);
    if (direction.left == 0) {
        text += TransferProgressText::TimeLeft(0);
    } else if (direction.timeLeft.known) {
        text += TransferProgressText::TimeLeft(direction.timeLeft.TotalMs());
    } else {
        text += "--";
    }
    return text;
}
