// Stands in for the main application: records how it was started, then stays
// alive until it is stopped (or a minute passes, so nothing lingers).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

int main(int argc, char* argv[])
{
    const char* record = std::getenv("FAKE_MAIN_RECORD");
    std::string path = record ? record : std::string(argv[0]) + ".args";
    {
        std::ofstream out(path + ".part");
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
    }
    // Appear complete at once, so a reader never sees half a record.
    std::rename((path + ".part").c_str(), path.c_str());
    for (int i = 0; i < 600; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
