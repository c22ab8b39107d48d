// Image conversion family: a PNG and a JPEG made on the spot are converted in
// the background; the results arrive on this (the main) thread's loop.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "DemoSteps.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/imagecodec/Image.h"
#include "pelbo/imgconv/ImgConvApi.h"

namespace Demo {

namespace {

namespace fs = std::filesystem;

// A screenshot of a shared screen: flat panels, a photograph on a slide in
// the middle, and a translucent overlay.
bool MakeScreenshot(const fs::path& path)
{
    ImageCodec::CImage image;
    if (!image.Create(1280, 720, true))
        return false;
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> grain(0, 12);
    for (uint32_t y = 0; y < image.Height(); ++y)
        for (uint32_t x = 0; x < image.Width(); ++x) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(y) * image.Width() + x) * 4;
            const bool bar = y < 60;
            const bool side = x < 240;
            const bool slide = x >= 300 && x < 1220 && y >= 100 && y < 660;
            const bool row = !bar && !side && (y / 40) % 2 == 0;
            if (slide) {
                px[0] = static_cast<uint8_t>(40 + 180 * (x - 300) / 920 + grain(rng));
                px[1] = static_cast<uint8_t>(90 + 120 * (y - 100) / 560 + grain(rng));
                px[2] = static_cast<uint8_t>(200 - 100 * (x - 300) / 920 + grain(rng));
            } else {
                px[0] = bar ? 32 : side ? 236 : row ? 250 : 244;
                px[1] = bar ? 64 : side ? 238 : row ? 250 : 246;
                px[2] = bar ? 128 : side ? 242 : row ? 252 : 250;
            }
            px[3] = (x > 900 && y > 500) ? 160 : 255;
        }
    return image.Save(path.string().c_str(), ImageCodec::Format::Png);
}

// A photograph-like picture saved at camera quality.
bool MakePhoto(const fs::path& path)
{
    ImageCodec::CImage image;
    if (!image.Create(1600, 1200, false))
        return false;
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> grain(-8, 8);
    for (uint32_t y = 0; y < image.Height(); ++y)
        for (uint32_t x = 0; x < image.Width(); ++x) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(y) * image.Width() + x) * 4;
            const int sky = static_cast<int>(200 - y * 120 / image.Height());
            const int hill = (y > 700 + (x % 400) / 4) ? 1 : 0;
            auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
            px[0] = clamp((hill ? 70 : sky / 2) + grain(rng));
            px[1] = clamp((hill ? 120 : sky) + grain(rng));
            px[2] = clamp((hill ? 50 : 230) + grain(rng));
        }
    image.SetJpegQuality(95);
    return image.Save(path.string().c_str(), ImageCodec::Format::Jpeg);
}

struct Job {
    const char* label;
    fs::path src;
    fs::path dst;
    bool done = false;
    long result = 0;
    double seconds = 0;
};

// Hears every result on the main thread and ends the loop once all are in.
class Receiver : public Aux::ImgConv::CImgConvCallback {
public:
    explicit Receiver(std::vector<Job>& jobs) : m_jobs(jobs), m_start(std::chrono::steady_clock::now()) {}

    void OnImgConvResult(const long& result, const wchar_t* srcFile, const wchar_t*) override
    {
        size_t open = 0;
        for (Job& job : m_jobs) {
            if (!job.done && job.src.wstring() == srcFile) {
                job.done = true;
                job.result = result;
                job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
            }
            open += job.done ? 0 : 1;
        }
        if (open == 0)
            ThreadPoolV4::SetExitLoop(1);
    }

private:
    std::vector<Job>& m_jobs;
    std::chrono::steady_clock::time_point m_start;
};

// Ends the main loop when the results take longer than the demo allows.
class Deadline {
public:
    Deadline(uint64_t mainTask, int seconds)
        : m_thread([this, mainTask, seconds] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_changed.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_over; }))
                  ThreadPoolV4::SetExitLoopOf(mainTask);
          })
    {
    }
    ~Deadline()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_over = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_over = false;
    std::thread m_thread;
};

unsigned long long SizeOf(const fs::path& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<unsigned long long>(size);
}

}  // namespace

bool RunImgConvSteps(Context& context)
{
    BeginStep(context, "convert a PNG and a JPEG in the background");
    const fs::path folder = fs::path(context.dataFolder) / "imgconv-demo";
    std::error_code error;
    fs::create_directories(folder, error);
    std::vector<Job> jobs = {
        {"screenshot PNG", folder / "screenshot.png", folder / "screenshot-small.png"},
        {"photograph JPEG", folder / "photo.jpg", folder / "photo-q70.jpg"},
    };
    if (!MakeScreenshot(jobs[0].src) || !MakePhoto(jobs[1].src)) {
        Fail("could not write the source pictures into %s", folder.string().c_str());
        return false;
    }

    Receiver receiver(jobs);
    for (Job& job : jobs) {
        unsigned long long id = 0;
        const long started = Aux::ImgConv::Start(job.src.wstring().c_str(), job.dst.wstring().c_str(), &receiver, &id);
        if (started != Aux::ImgConv::kResultOk) {
            Fail("Start refused %s", job.label);
            return false;
        }
        Ok("job %llu: %s", id, job.label);
    }
    {
        Deadline deadline(ThreadPoolV4::GetCurrentTaskId(), context.options.timeoutSeconds);
        ThreadPoolV4::RunBaseLoop(nullptr);
    }

    bool ok = true;
    for (const Job& job : jobs) {
        if (!job.done) {
            Fail("%s: no result within %d s", job.label, context.options.timeoutSeconds);
            ok = false;
        } else if (job.result != Aux::ImgConv::kResultOk) {
            Fail("%s: conversion failed", job.label);
            ok = false;
        } else {
            const auto before = SizeOf(job.src);
            const auto after = SizeOf(job.dst);
            Ok("%s: %llu -> %llu bytes (%.0f%%) in %.0f ms", job.label, before, after,
               before ? 100.0 * static_cast<double>(after) / static_cast<double>(before) : 0.0, job.seconds * 1000);
        }
    }
    return ok;
}

}  // namespace Demo
