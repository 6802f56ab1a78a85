// The line thread as the store and the faces see it, without a line: every
// write is stored as read back and answered written, at once; a tag named
// after an outcome ("refused", "silent", "failed") is answered with it, and
// a write of "stuck" is never answered.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "serve/store.h"

namespace mira::test {

class FakeLine {
public:
    explicit FakeLine(serve::TagStore& store) : store_(store), thread_([this] { Run(); }) {}
    ~FakeLine() {
        store_.Stop();
        thread_.join();
    }
    // The writes taken since the last call, as "tag=value".
    std::vector<std::string> Written() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(written_, {});
    }
    std::atomic<int> writes{0};  // those stored

private:
    using Outcome = serve::WriteOutcome;
    using Value = serve::Value;
    // Until the store stops: WaitForWork returns false then, and only then within the hour.
    void Run() {
        static const std::map<std::string, Outcome> kOutcomes = {
            {"refused", Outcome::BadValue}, {"silent", Outcome::NoReply}, {"failed", Outcome::Failed}};
        while (store_.WaitForWork(std::chrono::steady_clock::now() + std::chrono::hours(1)))
            while (auto w = store_.TakeWrite()) {
                std::lock_guard<std::mutex> lock(mutex_);
                written_.push_back(w->info.name + "=" + w->json.dump());
                if (w->info.name == "stuck") {
                    held_.push_back(std::move(*w));
                } else if (const auto o = kOutcomes.find(w->info.name); o != kOutcomes.end()) {
                    w->Complete({o->second, 16, "no", {}});
                } else {
                    const uint32_t type = w->value.valueType;
                    const Value v = type == MIRA_VALUE_STRING   ? Value(w->json.get<std::string>())
                                    : type == MIRA_VALUE_DOUBLE ? Value(w->value.value.real)
                                                                : Value(w->value.value.integer);
                    store_.Update({{w->tag, v, serve::kQualityGood, 1, 0, ""}});
                    ++writes;
                    w->Complete({Outcome::Written, 0, "", store_.Get(w->tag)->value});
                }
            }
    }
    serve::TagStore& store_;
    std::mutex mutex_;
    std::vector<std::string> written_;
    std::vector<serve::PendingWrite> held_;
    std::thread thread_;
};

}  // namespace mira::test
