#pragma once

#include <httplib.h>

#include "CloudContext.h"

// Locking a file for one application while it uploads a new version of it. The lock lapses
// when it is not renewed in time (the client renews it every 58 seconds), so a client that
// vanished does not keep the file locked.
class LockActions {
public:
    explicit LockActions(CloudContext& context) : m_context(context) {}

    void Lock(const httplib::Request& request, httplib::Response& response);
    void Unlock(const httplib::Request& request, httplib::Response& response);

private:
    // Takes (`lock`) or gives up the lock of the requested file for the request's key.
    void Change(const httplib::Request& request, httplib::Response& response, bool lock);

    CloudContext& m_context;
};
