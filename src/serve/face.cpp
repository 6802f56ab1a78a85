#include "serve/face.h"

#include <atomic>
#include <thread>

namespace mira::serve {

struct FaceRunner::Impl {
    std::unique_ptr<Face> face;
    TagStore& store;
    std::unique_ptr<Subscription> subscription;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool started = false;

    Impl(std::unique_ptr<Face> f, TagStore& s) : face(std::move(f)), store(s) {}

    void Deliver() {
        while (!stopping.load()) {
            // The wait ends early for every change; its bound only lets a
            // closed subscription be noticed without one.
            Changes changes = subscription->Wait(std::chrono::milliseconds(500));
            if (changes.closed || stopping.load()) break;
            if (!changes.empty()) face->Changed(changes);
        }
    }
};

FaceRunner::FaceRunner(std::unique_ptr<Face> face, TagStore& store)
    : impl_(std::make_unique<Impl>(std::move(face), store)) {}

FaceRunner::~FaceRunner() { Stop(); }

bool FaceRunner::Start(std::string* why) {
    // Subscribed first, so that nothing the face could miss happens between
    // its start and its first wait.
    impl_->subscription = impl_->store.Subscribe();
    if (!impl_->face->Start(why)) {
        impl_->subscription.reset();
        return false;
    }
    impl_->started = true;
    impl_->thread = std::thread([this] { impl_->Deliver(); });
    return true;
}

void FaceRunner::Stop() {
    if (!impl_->started) return;
    impl_->started = false;
    impl_->stopping.store(true);
    impl_->subscription->Close();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->face->Stop();
    impl_->subscription.reset();
}

}  // namespace mira::serve
