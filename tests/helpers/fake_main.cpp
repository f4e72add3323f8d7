// Stands in for the main application: records how it was started, then does
// what the file beside it, <its name>.behaviour, says, so that a package
// that replaces that file makes the new version behave otherwise:
//   run             stay alive until stopped, or a minute passes (the default)
//   abort, segv     crash at once
//   exit0, exit3    end at once with that code (exit0: the user closed it)
//   crash-once      crash at the first start, run from the second on
//   healthy         start the updater beside it in mode "healthy", then run
//   replace-updater put VaDeroru_temp in the place of VaDeroru, then run
//   reply           print a reply as Windows' ping does, then end with 0 (a
//                   stand-in ping, where the system's answers too late)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

#ifdef _WIN32
const char* const kUpdater = "VaDeroru.exe";
const char* const kNewUpdater = "VaDeroru_temp.exe";
#else
const char* const kUpdater = "VaDeroru";
const char* const kNewUpdater = "VaDeroru_temp";
#endif

std::string folderOf(const std::string& path)
{
    const std::string::size_type slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string behaviourOf(const std::string& program)
{
    std::ifstream in(program + ".behaviour");
    std::string behaviour;
    return std::getline(in, behaviour) ? behaviour : std::string("run");
}

void record(const std::string& path, int argc, char* argv[])
{
    {
        std::ofstream out(path + ".part");
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
    }
    // Appear complete at once, so a reader never sees half a record.
    std::remove(path.c_str());
    std::rename((path + ".part").c_str(), path.c_str());
}

// No core file: it would land in the installation.
[[noreturn]] void crash(const std::string& how)
{
#ifndef _WIN32
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
#endif
    if (how == "segv") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    std::abort();
}

// Crashes only while the mark of an earlier start is missing.
bool firstStart(const std::string& program)
{
    const std::string mark = program + ".started";
    if (std::ifstream(mark))
        return false;
    std::ofstream(mark) << "started\n";
    return true;
}

void act(const std::string& behaviour, const std::string& program)
{
    const std::string folder = folderOf(program);
    if (behaviour == "abort" || behaviour == "segv" ||
        (behaviour == "crash-once" && firstStart(program)))
        crash(behaviour);
    if (behaviour == "exit0" || behaviour == "exit3")
        std::exit(behaviour == "exit3" ? 3 : 0);
    if (behaviour == "reply") {
        std::puts("Reply from 127.0.0.1: bytes=32 time<1ms TTL=128");
        std::exit(0);
    }
    if (behaviour == "healthy")
        std::system(("\"" + folder + "/" + kUpdater + "\" healthy FlowApp FlowMain").c_str());
    if (behaviour == "replace-updater") {
        std::remove((folder + "/" + kUpdater).c_str());
        std::rename((folder + "/" + kNewUpdater).c_str(), (folder + "/" + kUpdater).c_str());
    }
}

// This program's file. On Windows argv[0] is only the first word of the
// command line, which a program started by its bare name ("ping") leaves
// without folder or suffix.
std::string programPath(char* argv0)
{
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        return std::string(path, length);
#endif
    return argv0;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string program = programPath(argv[0]);
    const char* recordPath = std::getenv("FAKE_MAIN_RECORD");
    record(recordPath ? recordPath : program + ".args", argc, argv);
    act(behaviourOf(program), program);
    for (int i = 0; i < 600; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
