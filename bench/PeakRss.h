#pragma once

#include <cstring>
#include <fstream>
#include <string>

// A field of /proc/self/status in KiB, such as "VmHWM:", or -1 where /proc
// does not exist.
inline long statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
}

// The process's peak resident set size in KiB (VmHWM), or -1.
inline long peakRssKiB()
{
    return statusKiB("VmHWM:");
}
