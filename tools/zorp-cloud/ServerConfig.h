#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What the command line sets.
struct ServerConfig {
    std::string host = "127.0.0.1";  // bound exactly as given
    int port = 18080;                // 0: the system picks a free port
    std::filesystem::path dataDir;   // metadata, stored content and partial uploads
    int64_t quota = -1;              // bytes all files may take; negative: no limit
    std::string session;             // when set, requests must carry this session id
};
