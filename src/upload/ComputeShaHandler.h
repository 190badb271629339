#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/CFJobBase.h"
#include "upload/CalcShaParam.h"
#include "upload/QuorvaFileHasher.h"

// One hash job of the hash pool: hashes one file and posts WM_CALC_SHA_FINISH to the job's
// window with a CalcShaResult, or with no record when the job was stopped.
class ComputeShaHandler : public CFJobBase<std::unique_ptr<CalcShaParam>> {
public:
    static constexpr size_t kBlockSize = QuorvaFileHasher::kBlockSize;

    explicit ComputeShaHandler(std::unique_ptr<CalcShaParam> param);
    void Run() override;

    // The file hash the server knows (QuorvaFileHasher) of the file's content. `goOn` is
    // asked before every block; when it says stop, the hash stays empty. Returns the last answer of `goOn` (true: the hash ran to its end).
    // `size` receives the size found (0 when the file cannot be opened or is empty).
    static bool GenerateQuorvaFileHash(const std::filesystem::path& path, std::string& hash,
                                       int64_t& size, const std::function<bool()>& goOn);

private:
    bool m_goOn = true;
};
