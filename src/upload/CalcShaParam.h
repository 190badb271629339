#pragma once

#include <filesystem>

#include "platform/Message.h"

// One file to hash and the window that receives the result.
struct CalcShaParam {
    platform::WindowHandle window = platform::kNoWindow;
    std::filesystem::path path;
};
