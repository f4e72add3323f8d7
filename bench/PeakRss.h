#pragma once

#include <fstream>
#include <string>

// The process's peak resident set size in KiB (VmHWM), or -1 where /proc
// does not exist.
inline long peakRssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}
