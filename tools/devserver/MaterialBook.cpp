#include "devserver/MaterialBook.h"

#include <algorithm>

namespace DevServer {

void MaterialBook::SetConversionTime(std::chrono::milliseconds time)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_conversionTime = time;
}

std::chrono::milliseconds MaterialBook::ConversionTime() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_conversionTime;
}

Material MaterialBook::Add(Material material, const std::string& urlPrefix)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    material.id = m_nextId++;
    material.fileUrl = urlPrefix + std::to_string(material.fileId);
    material.addTime = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count());
    material.convertFlag = ConvertFlag::Converting;
    // One page per started 64 KiB, at least one: enough to page through.
    material.pages = std::max<uint32_t>(1, (material.fileSize + 65535) / 65536);
    Entry entry{material, Clock::now() + m_conversionTime};
    m_materials[material.id] = entry;
    return AsOfNow(entry);
}

std::vector<Material> MaterialBook::Page(uint32_t corpId, uint32_t page, uint32_t pageSize, uint32_t* count) const
{
    std::vector<Material> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_materials.rbegin(); it != m_materials.rend(); ++it) {
            if (it->second.material.corpId == corpId)
                all.push_back(AsOfNow(it->second));
        }
    }
    *count = static_cast<uint32_t>(all.size());
    std::vector<Material> result;
    const size_t first = static_cast<size_t>(page - 1) * pageSize;
    for (size_t i = first; i < all.size() && i < first + pageSize; ++i)
        result.push_back(all[i]);
    return result;
}

std::optional<Material> MaterialBook::Find(int64_t id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_materials.find(id);
    if (it == m_materials.end())
        return std::nullopt;
    return AsOfNow(it->second);
}

bool MaterialBook::Remove(const std::vector<int64_t>& ids)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int64_t id : ids) {
        if (m_materials.count(id) == 0)
            return false;
    }
    for (int64_t id : ids)
        m_materials.erase(id);
    return true;
}

bool MaterialBook::Rename(int64_t id, const std::string& title)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_materials.find(id);
    if (it == m_materials.end())
        return false;
    it->second.material.title = title;
    return true;
}

Material MaterialBook::AsOfNow(const Entry& entry)
{
    Material material = entry.material;
    if (Clock::now() >= entry.ready)
        material.convertFlag = ConvertFlag::Done;
    return material;
}

}  // namespace DevServer
