#include "camera_worker.h"

#include "camera/camera.h"
#include "camera/devices.h"

CameraWorker::~CameraWorker() {
    Stop();
}

void CameraWorker::Start() {
    if (thread_.joinable()) return;
    stopping_ = false;
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
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void CameraWorker::Run(const CameraTask& task) {
    if (!thread_.joinable()) return;
    std::mutex doneLock;
    std::condition_variable doneSignal;
    bool done = false;
    Post([&](Camera& camera) {
        task(camera);
        std::lock_guard<std::mutex> hold(doneLock);
        done = true;
        doneSignal.notify_all();
    });
    std::unique_lock<std::mutex> wait(doneLock);
    doneSignal.wait(wait, [&] { return done; });
}

void CameraWorker::Loop() {
    // Without Media Foundation the enumeration finds nothing and every open
    // fails, which the source reports as "no camera".
    StartMediaFoundation();
    {
        Camera camera(OpenCameraReader);
        for (;;) {
            CameraTask task;
            {
                std::unique_lock<std::mutex> wait(lock_);
                wake_.wait(wait, [&] { return stopping_ || !tasks_.empty(); });
                if (tasks_.empty()) break;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task(camera);
        }
        camera.Close();
    }
    StopMediaFoundation();
}
