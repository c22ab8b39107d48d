#pragma once
// Tidewell takes its TLS trust (and the development switch for plain http)
// from the settings file in the data folder it is given, as a deployment
// does.

#include <filesystem>
#include <fstream>
#include <string>

inline void WriteTidewellSettings(const std::filesystem::path& dataFolder, const std::string& lines)
{
    std::filesystem::create_directories(dataFolder);
    std::ofstream(dataFolder / "ServiceSettings.ini", std::ios::binary) << "[Service]\n" << lines;
}
