#pragma once

#include <json/value.h>

#include <mutex>
#include <string>

#include "ContentStore.h"
#include "FaultInjector.h"
#include "MetadataStore.h"
#include "RequestLog.h"
#include "ServerConfig.h"
#include "UploadRegistry.h"

// Everything the actions share.
struct CloudContext {
    explicit CloudContext(ServerConfig serverConfig) : config(std::move(serverConfig)) {}

    ServerConfig config;
    MetadataStore metadata;
    ContentStore content;
    UploadRegistry uploads;
    FaultInjector faults;
    RequestLog requests;
    // Held while stored content gains or loses a holder (an upload completes, a file is
    // deleted), so content is never removed while a new file is being pointed at it.
    std::mutex contentMutex;

    // The record as a reply reports it; the wrong-break-point, omit and claim-complete faults
    // change what it says.
    Json::Value ReportFile(const FileRecord& record, const std::string& action) {
        Json::Value file = record.ToJson();
        if (auto fault = faults.Take(action, FaultInjector::Kind::kWrongBreakPoint)) {
            file["breakPoint"] =
                Json::Int64(fault->value != 0 ? fault->value : file["breakPoint"].asInt64() + 1);
        }
        if (auto fault = faults.Take(action, FaultInjector::Kind::kOmit)) {
            file.removeMember(fault->field);
        }
        if (faults.Take(action, FaultInjector::Kind::kClaimComplete)) {
            file["status"] = 1;
        }
        return file;
    }
};
