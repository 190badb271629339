#pragma once

#include <filesystem>

#include "platform/Message.h"

// One folder to walk and the window that hears of its batches and failures.
struct TravelDirParam {
    platform::WindowHandle window = platform::kNoWindow;
    std::filesystem::path path;
};
