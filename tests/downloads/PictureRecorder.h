#pragma once
// Collects what UpdatePicture and QRCodeDonload report, and lets a test wait
// for reports that arrive on the download service's thread.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/ServiceEvent.h"

class PictureRecorder {
public:
    struct Picture {
        int result;
        UniKey key;
        std::wstring path;
    };
    struct QrCode {
        int code;
        std::wstring query;
    };

    PictureRecorder()
        : m_pictures(ServiceEvent::UpdatePicture().connect([this](int result, UniKey key, const wchar_t* path) {
              std::lock_guard<std::mutex> guard(m_lock);
              m_picture.push_back({result, key, path != nullptr ? path : L"<null>"});
              m_changed.notify_all();
          })),
          m_qrCodes(ServiceEvent::QRCodeDonload().connect([this](int code, const wchar_t* query) {
              std::lock_guard<std::mutex> guard(m_lock);
              m_qr.push_back({code, query != nullptr ? query : L"<null>"});
              m_changed.notify_all();
          }))
    {
    }

    std::vector<Picture> Pictures()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_picture;
    }
    std::vector<QrCode> QrCodes()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_qr;
    }

    bool WaitPictures(size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, timeout, [&] { return m_picture.size() >= count; });
    }
    bool WaitQrCodes(size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, timeout, [&] { return m_qr.size() >= count; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Picture> m_picture;
    std::vector<QrCode> m_qr;
    event::scoped_connection m_pictures;
    event::scoped_connection m_qrCodes;
};
