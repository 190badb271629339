#pragma once

#include <cstdint>
#include <string>

template <typename T>
class CFJobBase;

// What a pool reports about its jobs. Every operation defaults to doing nothing; the pool itself
// raises only begin, end and cancel.
template <typename T>
class IFThreadPoolCallBack {
public:
    virtual ~IFThreadPoolCallBack() = default;
    virtual void OnJobBegin(int /*jobIndex*/, CFJobBase<T>* /*job*/) {}
    virtual void OnJobEnd(int /*jobIndex*/, CFJobBase<T>* /*job*/) {}
    virtual void OnJobCancel(int /*jobIndex*/, CFJobBase<T>* /*job*/) {}
    virtual void OnJobProgress(int /*jobIndex*/, CFJobBase<T>* /*job*/, int64_t /*current*/,
                               int64_t /*total*/) {}
    virtual void OnJobError(int /*jobIndex*/, CFJobBase<T>* /*job*/, uint32_t /*errorCode*/,
                            const std::string& /*description*/) {}
};
