#pragma once
// Every camera operation of the data source runs on one thread of its own.
// That thread holds its own COM apartment and Media Foundation start-up, so
// the source never puts a thread of the host application into an apartment,
// and the application's window stays responsive while a camera starts.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class Camera;

using CameraTask = std::function<void(Camera& camera)>;

class CameraWorker {
public:
    CameraWorker() = default;
    ~CameraWorker();
    CameraWorker(const CameraWorker&) = delete;
    CameraWorker& operator=(const CameraWorker&) = delete;

    void Start();
    // Runs the tasks already queued, closes the camera, stops Media
    // Foundation and joins the thread.
    void Stop();
    // Leaves the thread to the process's end: for a module unloaded while
    // still open, where waiting could deadlock in the loader.
    void Abandon();
    bool Running() const { return thread_.joinable(); }

    // Queues `task` and returns at once. No exception leaves a task: one that
    // throws simply ends there, its results left as they were.
    void Post(CameraTask task);
    // Runs `task` on the worker and waits for it, or for the worker to drop
    // it unrun (a worker that could not start its camera runs nothing).
    void Run(const CameraTask& task);

private:
    void Loop();
    void Serve(Camera& camera);

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<CameraTask> tasks_;
    bool stopping_ = false;
    bool accepting_ = false;  // false once the loop has ended
    std::thread thread_;
};
