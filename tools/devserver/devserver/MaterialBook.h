#pragma once
// The local server's materials: documents of a corporation, added after
// their upload and "converted" into page images over time. In memory,
// guarded by one lock; every member is safe to call from any thread.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace DevServer {

// "convert_flag" values.
namespace ConvertFlag {
constexpr uint32_t Converting = 1;
constexpr uint32_t Done = 3;
}  // namespace ConvertFlag

struct Material {
    int64_t id = 0;
    uint32_t corpId = 0;
    uint32_t userId = 0;
    std::string title;
    uint32_t fileId = 0;
    std::string fileUrl;
    uint64_t addTime = 0;  // milliseconds since 1970
    uint32_t fileSize = 0;
    uint32_t convertFlag = ConvertFlag::Converting;
    std::string roomCode;
    uint32_t pages = 0;  // page images once converted
};

class MaterialBook {
public:
    // How long a conversion takes; tests set 0 to have it done at once.
    void SetConversionTime(std::chrono::milliseconds time);
    std::chrono::milliseconds ConversionTime() const;

    // Stores the material under a fresh id; returns it as stored.
    Material Add(Material material, const std::string& urlPrefix);
    // The corporation's materials, newest first, one page (page from 1,
    // page size above 0), and how many there are in all.
    std::vector<Material> Page(uint32_t corpId, uint32_t page, uint32_t pageSize, uint32_t* count) const;
    std::optional<Material> Find(int64_t id) const;
    // Removes all of the ids or, when one is unknown, none of them.
    bool Remove(const std::vector<int64_t>& ids);
    bool Rename(int64_t id, const std::string& title);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        Material material;
        Clock::time_point ready;
    };

    // The material with its conversion state as of now.
    static Material AsOfNow(const Entry& entry);

    mutable std::mutex m_mutex;
    std::chrono::milliseconds m_conversionTime{2000};
    int64_t m_nextId = 8001;
    std::map<int64_t, Entry> m_materials;
};

}  // namespace DevServer
