#pragma once

#include <httplib.h>

#include "CloudContext.h"

// The test controls under "/admin/", answered only to peers on the loopback interface:
//   /admin/fault?action=A&kind=K[&count=N][&skip=M][&ttl=S][&status=..|&code=..|&ms=..|&seconds=..[&bytes=..]|
//                &bytes=..|&breakPoint=..|&offset=..|&field=..][&complete=1]
//                                             switch a fault on (FaultInjector lists the kinds;
//                                             skip=M: the first M requests it would hit pass;
//                                             complete=1: a late reply only when complete)
//   /admin/clear                              switch every fault off, forget logged requests
//   /admin/requests[?action=A]                the last requests: raw header lines, form body
//   /admin/state                              file count, bytes used, live faults
//   /admin/plant?name=N&size=S[&pid=P][&share=1][&fill=zero|random][&seed=K]
//                                             a complete file of S bytes in folder P (0: the
//                                             root), made at once: zeros (a sparse file, so a
//                                             file of gigabytes costs no disk) or seeded
//                                             pseudo-random bytes; the name is taken as it is,
//                                             so tests can plant names no upload could make
class AdminActions {
public:
    explicit AdminActions(CloudContext& context) : m_context(context) {}

    static bool IsLoopbackPeer(const httplib::Request& request);

    void Fault(const httplib::Request& request, httplib::Response& response);
    void Clear(const httplib::Request& request, httplib::Response& response);
    void Requests(const httplib::Request& request, httplib::Response& response);
    void State(const httplib::Request& request, httplib::Response& response);
    void Plant(const httplib::Request& request, httplib::Response& response);

private:
    CloudContext& m_context;
};
