#include "camera_worker.h"

#include <memory>

#include "camera/camera.h"
#include "camera/devices.h"

namespace {

// Wakes a waiting Run when the last copy of its queued task goes, whether the
// task ran, threw, or was dropped unrun.
class Completion {
public:
    void Finish() {
        std::lock_guard<std::mutex> hold(lock_);
        done_ = true;
        signal_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> wait(lock_);
        signal_.wait(wait, [&] { return done_; });
    }

private:
    std::mutex lock_;
    std::condition_variable signal_;
    bool done_ = false;
};

class FinishOnRelease {
public:
    explicit FinishOnRelease(std::shared_ptr<Completion> completion)
        : completion_(std::move(completion)) {}
    ~FinishOnRelease() { completion_->Finish(); }
    FinishOnRelease(const FinishOnRelease&) = delete;
    FinishOnRelease& operator=(const FinishOnRelease&) = delete;

private:
    std::shared_ptr<Completion> completion_;
};

}  // namespace

CameraWorker::~CameraWorker() {
    Stop();
}

void CameraWorker::Start() {
    if (thread_.joinable()) return;
    stopping_ = false;
    accepting_ = true;
    thread_ = std::thread([this] { Loop(); });
}

void CameraWorker::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void CameraWorker::Abandon() {
    if (thread_.joinable()) thread_.detach();
}

void CameraWorker::Post(CameraTask task) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!accepting_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void CameraWorker::Run(const CameraTask& task) {
    if (!thread_.joinable()) return;
    auto completion = std::make_shared<Completion>();
    {
        auto finish = std::make_shared<FinishOnRelease>(completion);
        Post([finish, &task](Camera& camera) { task(camera); });
    }
    completion->Wait();
}

void CameraWorker::Loop() {
    // Without Media Foundation the enumeration finds nothing and every open
    // fails, which the source reports as "no camera".
    StartMediaFoundation();
    try {
        Camera camera(OpenCameraReader);
        Serve(camera);
        camera.Close();
    } catch (...) {
        // Only the camera's own making gets here: tasks catch their own.
    }
    std::deque<CameraTask> dropped;
    {
        std::lock_guard<std::mutex> hold(lock_);
        accepting_ = false;
        dropped.swap(tasks_);
    }
    dropped.clear();  // wakes whoever waits for them
    StopMediaFoundation();
}

void CameraWorker::Serve(Camera& camera) {
    for (;;) {
        CameraTask task;
        {
            std::unique_lock<std::mutex> wait(lock_);
            wake_.wait(wait, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task(camera);
        } catch (...) {
            // A failed operation: its caller finds its results unset.
        }
    }
}
